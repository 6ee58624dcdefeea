// Several ports' pipelines at once: each port's controllers run through their
// updates in the order its schedule allows, on a thread per port, while the
// main thread shows the board, answers the updates' questions and watches
// for an interrupt.
#pragma once

#include <atomic>
#include <vector>

#include "app/fleet_board.h"
#include "app/port_run.h"
#include "app/port_schedule.h"

struct FleetPort {
  PortSchedule* schedule = nullptr;
  std::vector<ControllerSteps*> steps;  // null for a bystander
  AddressMoves* moves = nullptr;
};

// Returns once every port has ended. `interrupted` is asked between two
// showings of the board; once it says yes, `stop` is raised (every port ends
// at its next safe point) and open and later questions are answered as if
// input had ended.
void RunFleet(std::vector<FleetPort>& ports, FleetBoard& board, std::atomic<bool>& stop,
              bool (*interrupted)());
