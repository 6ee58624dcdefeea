// One port's controllers on real threads with fake steps that take a few
// milliseconds each: turns never overlap, a controller's occupant is moved
// for the whole turn, backups overlap the turn before them, and each way an
// update can end without its turn reaches the controllers it should.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <memory>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "app/fleet.h"
#include "app/port_run.h"

namespace {

using Clock = std::chrono::steady_clock;

struct World;

class FakeController final : public ControllerSteps {
 public:
  FakeController(World& world, std::size_t index) : world_(world), index_(index) {}
  bool BackUp() override;
  TurnEnd TakeTurn() override;
  void Finish(const std::function<void()>& leftStandardAddress) override;
  void Skip(NoTurn why) override;

  std::string end;  // "updated", or why there was no turn

 private:
  World& world_;
  std::size_t index_;
};

struct RunCase {
  std::string name;
  std::vector<ScheduledDevice> devices;
  std::string backups;  // per device: 'y' saved, 'n' not saved
  std::string turns;    // per device: '.' clean, 'b' left in its bootloader, 's' at the standard address
  int stopAfterTurns;   // the stop is raised once this many turns have ended; -1: never
  std::vector<std::string> ends;  // per device, "" for a bystander
  bool overlap;  // some backup ran while another controller had its turn
};

void PrintTo(const RunCase& c, std::ostream* os) { *os << c.name; }

struct World final : AddressMoves {
  explicit World(const RunCase& c) : run(c) {
    for (std::size_t i = 0; i < c.devices.size(); ++i) controllers.emplace_back(*this, i);
  }

  Off MoveOff(std::size_t occupant) override {
    std::lock_guard<std::mutex> hold(lock);
    moved.push_back(occupant);
    return {true, true};
  }
  bool MoveBack(std::size_t occupant) override {
    std::lock_guard<std::mutex> hold(lock);
    std::erase(moved, occupant);
    return true;
  }

  void Fail(const std::string& what) {
    std::lock_guard<std::mutex> hold(lock);
    problems.push_back(what);
  }

  const RunCase& run;
  std::vector<FakeController> controllers;
  std::mutex lock;
  std::vector<std::size_t> moved;
  std::vector<std::string> problems;
  std::atomic<int> onBus{0};
  std::atomic<int> turnsEnded{0};
  std::atomic<bool> overlapSeen{false};
  std::atomic<bool> stop{false};
};

void Pause(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// Turns on the bus across every port of a test, and the most at once.
std::atomic<int> gTurnsNow{0};
std::atomic<int> gMostTurnsAtOnce{0};

// A backup that starts just as another controller's turn begins may look
// before that turn has begun: it looks throughout.
bool FakeController::BackUp() {
  for (int ms = 0; ms < 30; ++ms) {
    if (world_.onBus.load() > 0) world_.overlapSeen = true;
    Pause(1);
  }
  return world_.run.backups[index_] == 'y';
}

TurnEnd FakeController::TakeTurn() {
  if (world_.onBus.fetch_add(1) != 0) world_.Fail("two turns at once");
  const int now = ++gTurnsNow;
  int most = gMostTurnsAtOnce.load();
  while (now > most && !gMostTurnsAtOnce.compare_exchange_weak(most, now)) {
  }
  const int occupant = world_.run.devices[index_].occupant;
  for (int step = 0; step < 4; ++step) {
    if (occupant >= 0) {
      std::lock_guard<std::mutex> hold(world_.lock);
      if (std::find(world_.moved.begin(), world_.moved.end(), static_cast<std::size_t>(occupant)) ==
          world_.moved.end()) {
        world_.problems.push_back("a turn with its occupant in place");
      }
    }
    Pause(5);
  }
  --gTurnsNow;
  world_.onBus.fetch_sub(1);
  if (++world_.turnsEnded == world_.run.stopAfterTurns) world_.stop = true;
  const char turn = world_.run.turns[index_];
  return TurnEnd{turn == 'b', turn == 's'};
}

void FakeController::Finish(const std::function<void()>& leftStandardAddress) {
  Pause(10);
  if (world_.run.turns[index_] == 's') leftStandardAddress();
  Pause(10);
  end = "updated";
}

void FakeController::Skip(NoTurn why) {
  switch (why) {
    case NoTurn::OccupantNotMoved: end = "occupant not moved"; break;
    case NoTurn::BootloaderOccupied: end = "bootloader occupied"; break;
    case NoTurn::OccupantNotBack: end = "occupant not back"; break;
    case NoTurn::Stopped: end = "stopped"; break;
    case NoTurn::NoThread: end = "no thread"; break;
  }
}

ScheduledDevice Chosen(int occupant = -1) { return ScheduledDevice{true, occupant}; }
ScheduledDevice Bystander() { return ScheduledDevice{false, -1}; }

const RunCase kRuns[] = {
    {"FourPipelined", {Chosen(), Chosen(), Chosen(), Chosen()}, "yyyy", "....", -1,
     {"updated", "updated", "updated", "updated"}, true},
    {"OccupantMovedForTheOthersThenUpdated", {Chosen(), Chosen(0), Chosen(0)}, "yyy", "...", -1,
     {"updated", "updated", "updated"}, true},
    {"BystanderMovedForAll", {Bystander(), Chosen(0), Chosen(0)}, "yyy", "...", -1,
     {"", "updated", "updated"}, true},
    {"BackupNotSavedTheOthersGoOn", {Chosen(), Chosen(), Chosen()}, "yny", "...", -1,
     {"updated", "", "updated"}, true},
    {"LeftInItsBootloaderTheRestWait", {Chosen(), Chosen(), Chosen()}, "yyy", "b..", -1,
     {"updated", "bootloader occupied", "bootloader occupied"}, true},
    {"BackAtTheStandardAddressHoldsTheNextTurn", {Chosen(), Chosen()}, "yy", "s.", -1,
     {"updated", "updated"}, true},
    {"StoppedAfterTheFirstTurn", {Chosen(), Chosen(), Chosen()}, "yyy", "...", 1,
     {"updated", "stopped", "stopped"}, true},
};

class PortRunTest : public ::testing::TestWithParam<RunCase> {};

TEST_P(PortRunTest, OrdersTheControllersOfAPort) {
  const RunCase& c = GetParam();
  World world(c);
  std::vector<ControllerSteps*> steps;
  for (std::size_t i = 0; i < c.devices.size(); ++i) {
    steps.push_back(c.devices[i].chosen ? &world.controllers[i] : nullptr);
  }
  PortSchedule schedule(c.devices);
  const auto began = Clock::now();
  RunPort(schedule, steps, world, &world.stop);
  EXPECT_LT(Clock::now() - began, std::chrono::seconds(10));
  EXPECT_TRUE(schedule.Finished());
  EXPECT_TRUE(world.moved.empty());
  for (const std::string& p : world.problems) ADD_FAILURE() << p;
  for (std::size_t i = 0; i < c.devices.size(); ++i) {
    EXPECT_EQ(c.ends[i], world.controllers[i].end) << "controller " << i;
  }
  EXPECT_EQ(c.overlap, world.overlapSeen.load());
}

std::string RunName(const ::testing::TestParamInfo<RunCase>& param) { return param.param.name; }

INSTANTIATE_TEST_SUITE_P(Ports, PortRunTest, ::testing::ValuesIn(kRuns), RunName);

class SilentConsole final : public plat::Console {
 public:
  void Print(std::string_view text) override {
    std::lock_guard<std::mutex> hold(lock_);
    written += text;
  }
  void Note(std::string_view) override {}
  int ReadKey() override { return -1; }
  bool IsTerminal() override { return false; }
  bool GetCursor(int*, int*) override { return false; }
  bool SetCursor(int, int) override { return false; }
  std::string written;

 private:
  std::mutex lock_;
};

std::atomic<bool> gInterrupt{false};
bool Interrupted() { return gInterrupt.load(); }

// Three ports of two controllers each: the ports' turns overlap and each
// port keeps its own order; an interrupt raised before any backup has ended
// reaches every port, and no controller has its turn.
TEST(FleetTest, PortsRunSideBySideAndAnInterruptReachesThemAll) {
  for (const bool interrupt : {false, true}) {
    SCOPED_TRACE(interrupt ? "interrupted" : "whole run");
    const RunCase port{"port", {Chosen(), Chosen()}, "yy", "..", -1, {}, true};
    std::vector<std::unique_ptr<World>> worlds;
    std::vector<std::unique_ptr<PortSchedule>> schedules;
    std::vector<FleetPort> ports;
    for (int n = 0; n < 3; ++n) {
      worlds.push_back(std::make_unique<World>(port));
      schedules.push_back(std::make_unique<PortSchedule>(port.devices));
      ports.push_back(FleetPort{schedules.back().get(),
                                {&worlds.back()->controllers[0], &worlds.back()->controllers[1]},
                                worlds.back().get()});
    }
    gMostTurnsAtOnce = 0;
    gInterrupt = interrupt;
    SilentConsole console;
    FleetBoard board(console, 6);
    std::atomic<bool> stop{false};
    RunFleet(ports, board, stop, Interrupted);
    EXPECT_EQ(interrupt, stop.load());
    if (interrupt) {
      EXPECT_EQ(0, gMostTurnsAtOnce.load());
    } else {
      EXPECT_GE(gMostTurnsAtOnce.load(), 2);
    }
    for (const std::unique_ptr<World>& world : worlds) {
      for (const std::string& p : world->problems) ADD_FAILURE() << p;
      for (const FakeController& controller : world->controllers) {
        EXPECT_EQ(interrupt ? "stopped" : "updated", controller.end);
      }
    }
  }
}

}  // namespace
