#include "app/fleet_board.h"

#include <utility>

namespace {

// Lines on a terminal are cut and padded to this width, so that a rewritten
// line covers the one before it and none wraps onto the next row.
constexpr std::size_t kWidth = 79;

std::string Padded(const std::string& text) {
  std::string line = text.substr(0, kWidth);
  line.resize(kWidth, ' ');
  return line + "\r\n";
}

}  // namespace

FleetBoard::FleetBoard(plat::Console& console, std::size_t controllers)
    : console_(console),
      terminal_(console.IsTerminal()),
      lines_(controllers),
      shown_(controllers),
      inFlight_(controllers, false) {}

void FleetBoard::SetLine(std::size_t i, std::string text) {
  std::lock_guard<std::mutex> hold(lock_);
  lines_[i] = std::move(text);
  inFlight_[i] = true;
}

void FleetBoard::Ended(std::size_t i, std::string text) {
  std::lock_guard<std::mutex> hold(lock_);
  inFlight_[i] = false;
  lines_[i].clear();
  shown_[i].clear();
  endedLines_.push_back(std::move(text));
}

int FleetBoard::Ask(std::size_t i, std::string question) {
  Question asked{i, std::move(question)};
  std::unique_lock<std::mutex> hold(lock_);
  if (closed_) return -1;
  questions_.push_back(&asked);
  answered_.wait(hold, [&] { return asked.answered; });
  return asked.answer;
}

void FleetBoard::CloseQuestions() {
  std::lock_guard<std::mutex> hold(lock_);
  closed_ = true;
  for (Question* q : questions_) {
    q->answer = -1;
    q->answered = true;
  }
  questions_.clear();
  answered_.notify_all();
}

void FleetBoard::Redraw() {
  // Every controller that leaves the block leaves its last line in its
  // place, so the rows written never fall short of the block drawn before.
  if (blockRow_ >= 0) console_.SetCursor(0, blockRow_);
  for (const std::string& line : endedLines_) console_.Print(Padded(line));
  int drawn = 0;
  for (std::size_t i = 0; i < lines_.size(); ++i) {
    if (!inFlight_[i]) continue;
    console_.Print(Padded(lines_[i]));
    ++drawn;
  }
  int column = 0;
  int row = 0;
  // Counted back from where the writing ended, as the screen may have
  // scrolled under it.
  blockRow_ = console_.GetCursor(&column, &row) ? row - drawn : -1;
}

void FleetBoard::WriteChanged() {
  for (const std::string& line : endedLines_) console_.Print(line + "\r\n");
  for (std::size_t i = 0; i < lines_.size(); ++i) {
    if (!inFlight_[i] || lines_[i] == shown_[i]) continue;
    console_.Print(lines_[i] + "\r\n");
    shown_[i] = lines_[i];
  }
}

void FleetBoard::Show() {
  std::unique_lock<std::mutex> hold(lock_);
  if (terminal_) {
    Redraw();
  } else {
    WriteChanged();
  }
  endedLines_.clear();
  if (questions_.empty()) return;
  Question* asked = questions_.front();
  questions_.pop_front();
  const std::string text = asked->text;
  hold.unlock();
  // The question goes below the block, and the block is drawn anew below
  // the answer.
  console_.Print(text);
  const int key = console_.ReadKey();
  console_.Print("\r\n");
  hold.lock();
  blockRow_ = -1;
  asked->answer = key;
  asked->answered = true;
  answered_.notify_all();
}
