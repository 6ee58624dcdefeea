#include "app/board_console.h"

#include <utility>

#include "platform/console.h"

namespace {

bool OnlyDots(const std::string& line) { return line.find_first_not_of(". ") == std::string::npos; }

}  // namespace

BoardConsole::BoardConsole(FleetBoard& board, std::size_t index, std::string name)
    : board_(board), index_(index), name_(std::move(name)) {}

void BoardConsole::Show(const std::string& line) {
  if (OnlyDots(line) || line == shown_) return;
  shown_ = line;
  board_.SetLine(index_, name_ + ": " + line);
}

void BoardConsole::Print(std::string_view text) {
  for (const char c : text) {
    if (c == '\r') continue;
    if (c != '\n') {
      partial_ += c;
      continue;
    }
    if (!OnlyDots(partial_)) plat::con_note("%s: %s", name_.c_str(), partial_.c_str());
    Show(partial_);
    partial_.clear();
  }
  Show(partial_);
}

void BoardConsole::Note(std::string_view text) {
  plat::con_note("%s: %.*s", name_.c_str(), static_cast<int>(text.size()), text.data());
}

int BoardConsole::ReadKey() {
  const std::string prompt = partial_;
  partial_.clear();
  if (!prompt.empty()) plat::con_note("%s: %s", name_.c_str(), prompt.c_str());
  return board_.Ask(index_, name_ + ": " + prompt);
}
