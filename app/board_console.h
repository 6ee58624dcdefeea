// One controller's console while several are updated at once. What its
// update writes becomes its line on the board: the line it is writing, or
// else the last one it finished (lines of dots alone, the signs of a wait,
// leave the line as it was); every finished line also goes to the run log,
// after the controller's name. A key its update reads becomes a question on
// the board, made of the controller's name and the line the update was
// writing (its prompt). It stands for a pipe: no cursor moves.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "app/fleet_board.h"
#include "platform/console.h"

class BoardConsole final : public plat::Console {
 public:
  BoardConsole(FleetBoard& board, std::size_t index, std::string name);

  void Print(std::string_view text) override;
  void Note(std::string_view text) override;
  int ReadKey() override;
  bool IsTerminal() override { return false; }
  bool GetCursor(int*, int*) override { return false; }
  bool SetCursor(int, int) override { return false; }

  // The last line shown for the controller, without its name.
  const std::string& Shown() const { return shown_; }

 private:
  void Show(const std::string& line);

  FleetBoard& board_;
  std::size_t index_;
  std::string name_;
  std::string partial_;  // the line being written
  std::string shown_;
};
