// What the operator sees while several controllers are updated at once: one
// line per controller in flight, and the questions the updates ask, one at a
// time. The updates run on threads of their own and only hand over texts;
// the main thread shows them and reads the answers, so that an interrupt
// reaches the one console read there is.
//
// On a terminal the lines of the controllers in flight stand together at the
// bottom and are rewritten in place; a controller's last line is written
// above them once it has ended. Anywhere else each line is written when it
// changes.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "platform/console.h"

class FleetBoard {
 public:
  FleetBoard(plat::Console& console, std::size_t controllers);

  // Any thread: the line of controller `i` while it is in flight.
  void SetLine(std::size_t i, std::string text);
  // Any thread: controller `i` has ended; `text` is its last line.
  void Ended(std::size_t i, std::string text);
  // Any thread but the main one: shows `question` (with the controller's
  // line before it, so that it names the controller) once no other question
  // is open, and waits for one key. The key, or -1 when input has ended or
  // the run was interrupted.
  int Ask(std::size_t i, std::string question);

  // Main thread: writes what changed and answers the oldest open question.
  void Show();
  // Main thread: no question will be answered any more (input ended or an
  // interrupt); every open and later one gets -1.
  void CloseQuestions();

 private:
  struct Question {
    std::size_t controller;
    std::string text;
    int answer = 0;
    bool answered = false;
  };

  // With `lock_` held.
  void Redraw();
  void WriteChanged();

  plat::Console& console_;
  const bool terminal_;
  std::mutex lock_;
  std::condition_variable answered_;
  std::vector<std::string> lines_;
  std::vector<std::string> shown_;
  std::vector<bool> inFlight_;
  std::vector<std::string> endedLines_;
  std::deque<Question*> questions_;
  bool closed_ = false;
  // Terminal: the row where the block of lines in flight begins (-1: not
  // drawn yet, or a question was written below it).
  int blockRow_ = -1;
};
