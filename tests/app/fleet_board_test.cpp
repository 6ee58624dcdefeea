// The board of controllers in flight on a screen that scrolls like a
// terminal's, and in a pipe: what the operator ends up seeing.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "app/board_console.h"
#include "app/fleet_board.h"

namespace {

class FakeScreen final : public plat::Console {
 public:
  FakeScreen(bool terminal, int height) : terminal_(terminal), rows_(static_cast<std::size_t>(height)) {}

  void Print(std::string_view text) override {
    written += text;
    for (char c : text) {
      if (c == '\r') {
        column_ = 0;
      } else if (c == '\n') {
        if (++row_ == static_cast<int>(rows_.size())) {
          rows_.erase(rows_.begin());
          rows_.emplace_back();
          --row_;
        }
      } else {
        std::string& line = rows_[static_cast<std::size_t>(row_)];
        if (line.size() <= static_cast<std::size_t>(column_)) line.resize(static_cast<std::size_t>(column_) + 1, ' ');
        line[static_cast<std::size_t>(column_++)] = c;
      }
    }
  }
  void Note(std::string_view) override {}
  int ReadKey() override { return keys.empty() ? -1 : Take(); }
  bool IsTerminal() override { return terminal_; }
  bool GetCursor(int* column, int* row) override {
    *column = column_;
    *row = row_;
    return terminal_;
  }
  bool SetCursor(int column, int row) override {
    column_ = column;
    row_ = row;
    return terminal_;
  }

  // The screen's rows without trailing blanks, the empty ones at the end left out.
  std::vector<std::string> Rows() const {
    std::vector<std::string> rows;
    for (std::string line : rows_) {
      line.erase(line.find_last_not_of(' ') + 1);
      rows.push_back(line);
    }
    while (!rows.empty() && rows.back().empty()) rows.pop_back();
    return rows;
  }

  std::string written;
  std::vector<int> keys;

 private:
  int Take() {
    const int key = keys.front();
    keys.erase(keys.begin());
    return key;
  }
  bool terminal_;
  std::vector<std::string> rows_;
  int column_ = 0;
  int row_ = 0;
};

TEST(FleetBoardTest, APipeGetsEachLineOnceWhenItChanges) {
  FakeScreen pipe(false, 24);
  FleetBoard board(pipe, 2);
  board.SetLine(0, "ZONE 1: Programming: 0%");
  board.SetLine(1, "ZONE 2: Backing up");
  board.Show();
  board.Show();
  board.SetLine(0, "ZONE 1: Programming: 5%");
  board.SetLine(1, "ZONE 2: Backing up");
  board.Show();
  board.Ended(1, "ZONE 2: updated");
  board.Show();
  EXPECT_EQ(
      "ZONE 1: Programming: 0%\r\nZONE 2: Backing up\r\nZONE 1: Programming: 5%\r\n"
      "ZONE 2: updated\r\n",
      pipe.written);
}

TEST(FleetBoardTest, ATerminalShowsEndedLinesAboveTheControllersInFlight) {
  // Five rows: the first draw of the block scrolls the screen by one.
  FakeScreen screen(true, 5);
  screen.Print("Brevane\r\nUpdating 3 controllers\r\n");
  FleetBoard board(screen, 3);
  for (std::size_t i = 0; i < 3; ++i) board.SetLine(i, "ZONE " + std::to_string(i + 1) + ": waiting");
  board.Show();
  board.SetLine(0, "ZONE 1: Programming: 40%");
  board.Show();
  board.Ended(1, "ZONE 2: not updated: settings backup could not be saved");
  board.SetLine(0, "ZONE 1: Programming: 45%");
  board.Show();
  board.Ended(2, "ZONE 3: updated");
  board.Show();
  board.Ended(0, "ZONE 1: updated");
  board.Show();
  EXPECT_EQ((std::vector<std::string>{"Updating 3 controllers",
                                      "ZONE 2: not updated: settings backup could not be saved",
                                      "ZONE 3: updated", "ZONE 1: updated"}),
            screen.Rows());
}

TEST(FleetBoardTest, ABlockAtTheBottomOfAFullScreenIsRewrittenInPlace) {
  FakeScreen screen(true, 4);
  for (int i = 0; i < 4; ++i) screen.Print("earlier " + std::to_string(i) + "\r\n");
  FleetBoard board(screen, 2);
  for (int percent = 0; percent <= 100; percent += 25) {
    board.SetLine(0, "ZONE 1: Programming: " + std::to_string(percent) + "%");
    board.SetLine(1, "ZONE 2: Restoring");
    board.Show();
  }
  EXPECT_EQ((std::vector<std::string>{"earlier 3", "ZONE 1: Programming: 100%", "ZONE 2: Restoring"}),
            screen.Rows());
}

TEST(FleetBoardTest, QuestionsAreAskedOneAtATimeAndAnsweredFromTheMainThread) {
  FakeScreen pipe(false, 24);
  pipe.keys = {'a', 'b'};
  FleetBoard board(pipe, 2);
  std::atomic<int> answers[2] = {0, 0};
  std::thread first([&] { answers[0] = board.Ask(0, "ZONE 1: Press any key to continue..."); });
  std::thread second([&] { answers[1] = board.Ask(1, "ZONE 2: Press any key to continue..."); });
  for (int i = 0; i < 2000 && (answers[0] == 0 || answers[1] == 0); ++i) {
    board.Show();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  first.join();
  second.join();
  EXPECT_EQ('a' + 'b', answers[0] + answers[1]);
  EXPECT_NE(answers[0], answers[1]);
  // Each question is whole before the next begins.
  const std::string one = "ZONE 1: Press any key to continue...\r\n";
  const std::string two = "ZONE 2: Press any key to continue...\r\n";
  EXPECT_TRUE(pipe.written == one + two || pipe.written == two + one) << pipe.written;
}

TEST(FleetBoardTest, ClosedQuestionsAreAnsweredAsInputEnded) {
  FakeScreen pipe(false, 24);
  FleetBoard board(pipe, 1);
  std::atomic<int> answer{0};
  std::thread asker([&] { answer = board.Ask(0, "ZONE 1: Press any key to continue..."); });
  board.CloseQuestions();
  asker.join();
  EXPECT_EQ(-1, answer.load());
  EXPECT_EQ(-1, board.Ask(0, "asked after the close"));
}

// A controller's update writes as it would to a pipe: the board shows the
// line it is writing or the last one it finished, never a line of dots, and
// a key it reads is asked on the board with its prompt and the controller's
// name.
TEST(BoardConsoleTest, AnUpdatesTextBecomesItsLineAndItsKeyReadAQuestion) {
  FakeScreen pipe(false, 24);
  pipe.keys = {'k'};
  FleetBoard board(pipe, 2);
  BoardConsole console(board, 1, "ZONE  3 on Com1");
  const struct {
    const char* printed;
    const char* shown;
  } steps[] = {
      {"\r\nZONE: 3\r\n------------\r\n", "------------"},
      {"Backing up Device Settings...", "Backing up Device Settings..."},
      // The first dots go on the label's line, the rest in lines of their own.
      {".\r\n..........\r\n", "Backing up Device Settings...."},
      {"\r\nProgramming: 0%\r\n", "Programming: 0%"},
      {"Programming: 45%\r\n", "Programming: 45%"},
      {"Waiting for the controller to answer (8 s)\r\n",
       "Waiting for the controller to answer (8 s)"},
  };
  for (const auto& step : steps) {
    console.Print(step.printed);
    EXPECT_EQ(step.shown, console.Shown()) << step.printed;
  }
  board.Show();
  EXPECT_EQ("ZONE  3 on Com1: Waiting for the controller to answer (8 s)\r\n", pipe.written);

  console.Print("Press any key to continue...");
  std::atomic<int> key{0};
  std::thread update([&] { key = console.ReadKey(); });
  for (int i = 0; i < 2000 && key == 0; ++i) {
    board.Show();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  update.join();
  EXPECT_EQ('k', key.load());
  EXPECT_NE(std::string::npos,
            pipe.written.find("ZONE  3 on Com1: Press any key to continue...\r\n"));
}

}  // namespace
