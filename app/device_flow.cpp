#include "app/device_flow.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "app/backup_steps.h"
#include "app/board_console.h"
#include "app/fleet.h"
#include "app/fleet_board.h"
#include "app/port_run.h"
#include "app/port_schedule.h"
#include "app/run_report.h"
#include "app/safety.h"
#include "app/summary.h"
#include "client/bus.h"
#include "client/client.h"
#include "client/port_name.h"
#include "client/services.h"
#include "client/typed_value.h"
#include "platform/clock.h"
#include "platform/console.h"
#include "platform/file.h"
#include "platform/interrupt.h"
#include "update/image_package.h"
#include "update/update_steps.h"

namespace {

// The client's calls for one controller among several of its port: what it
// says goes to its line on the board, and the port stays open for the
// others (it is closed once the whole pipeline has ended).
class SharedPortIo final : public UpdateIo {
 public:
  SharedPortIo(UpdateIo& calls, plat::Console& console) : calls_(calls), console_(console) {}

  int Open(const char* port) override { return calls_.Open(port); }
  int Close(const char*) override { return 0; }
  bool Exchange(const char* port, uint8_t station, const uint8_t* data, uint16_t length) override {
    return calls_.Exchange(port, station, data, length);
  }
  int SetZoneAddress(const char* port, uint8_t station, uint8_t newAddress) override {
    return calls_.SetZoneAddress(port, station, newAddress);
  }
  int WaitSettled(const char* port, uint8_t station) override {
    return calls_.WaitSettled(port, station);
  }
  uint8_t ScanRange(const char* port, uint8_t first, uint8_t last, DeviceRecord* records,
                    uint8_t capacity) override {
    return calls_.ScanRange(port, first, last, records, capacity);
  }
  uint8_t Relocate(const char* port, uint8_t first, uint8_t last, uint16_t selectRegister,
                   const char* modelNumber, int32_t serialNumber) override {
    return calls_.Relocate(port, first, last, selectRegister, modelNumber, serialNumber);
  }
  int LoadDevice(DeviceRecord* record) override { return calls_.LoadDevice(record); }
  bool RecordMove(const AddressMove& move, char* why, std::size_t size) override {
    return calls_.RecordMove(move, why, size);
  }
  bool ClearMove(const char* port, int32_t serialNumber, char* why, std::size_t size) override {
    return calls_.ClearMove(port, serialNumber, why, size);
  }
  void StartProgramming(DeviceUpdate* update) override { calls_.StartProgramming(update); }
  bool WaitProgramming(DeviceUpdate* update, uint32_t timeoutMs, Result* ending) override {
    return calls_.WaitProgramming(update, timeoutMs, ending);
  }
  void AbortProgramming(DeviceUpdate* update) override { calls_.AbortProgramming(update); }
  bool EntrySent(const DeviceUpdate& update) override { return calls_.EntrySent(update); }
  uint32_t Progress(const DeviceUpdate& update) override { return calls_.Progress(update); }
  ProgrammerState JobState(const DeviceUpdate& update) override { return calls_.JobState(update); }
  bool Interrupted() override { return calls_.Interrupted(); }
  uint32_t NowMs() override { return calls_.NowMs(); }

  void Print(const char* text) override { console_.Print(text); }
  void Log(const char* text) override { console_.Note(text); }
  int ReadKey() override { return console_.ReadKey(); }
  bool IsTerminal() override { return console_.IsTerminal(); }
  bool GetCursor(int* column, int* row) override { return console_.GetCursor(column, row); }
  bool SetCursor(int column, int row) override { return console_.SetCursor(column, row); }

 private:
  UpdateIo& calls_;
  plat::Console& console_;
};

std::string NameOf(const DeviceRecord& device) {
  char text[120];
  std::snprintf(text, sizeof text, "ZONE %2d %s %d on %s", ZoneOfAddress(device.address),
                device.modelNumber, static_cast<int>(device.serialNumber),
                ShownPortName(device.portName));
  return text;
}

// One controller's update among several: the steps a controller updated
// alone goes through, in the parts its port's schedule orders.
class DeviceFlow final : public ControllerSteps {
 public:
  DeviceFlow(FrontEndState* state, uint32_t index, FleetBoard& board)
      : state_(*state),
        index_(index),
        board_(board),
        name_(NameOf(state->devices[index])),
        console_(board, index, name_),
        io_(Update_ClientIo(), console_),
        world_{Client_Bus(), plat::system_clock(), plat::system_files(), console_,
               plat::interrupt_requested} {
    DeviceRecord& device = Device();
    DeviceReport& report = Report();
    report = DeviceReport{};
    report.before = device;
    report.update.io = &io_;
    report.update.device = &device;
    report.update.discovered = state->discovered;
    report.update.discoveredCount = state->discoveredCount;
    // The occupant of the standard bus address is moved by the port's
    // pipeline, once for every controller that needs it moved.
    report.update.occupantMovedForUs = true;
    board_.SetLine(index_, name_ + ": waiting for its turn");
  }

  bool BackUp() override {
    // The client's waits on this thread show this controller's waits.
    Client_SetWaitTick(Update_WaitTick);
    DeviceRecord& device = Device();
    DeviceReport& report = Report();
    char line[200];
    std::snprintf(line, sizeof line, "Updating %s serial %d \"%s\" at station %d on %s, version %d.%02d.%d%s",
                  device.modelNumber, static_cast<int>(device.serialNumber), device.deviceName,
                  device.address, device.portName, static_cast<int>(device.release),
                  static_cast<int>(device.prototype), static_cast<int>(device.build),
                  device.inBootloader == 1 ? ", found in its bootloader" : "");
    console_.Note(line);
    Safety_PrepareDevice(&report, console_);
    const uint32_t began = plat::now_ms();
    BackupFacts facts;
    const MenuState next = BackupDevice(world_, &device, &report.backup, &facts);
    if (report.backup == SettingsOutcome::Complete) {
      std::snprintf(report.backupFile, sizeof report.backupFile, "%s", facts.fileName);
      report.earlierKept = facts.earlierKept;
    }
    RunReport_AddTime(index_, MenuState::BackupSettings, plat::now_ms() - began);
    if (next == MenuState::StartProgramming && !plat::interrupt_requested()) return true;
    // Left as it was: the backup is not saved, or the run was interrupted.
    report.interrupted = plat::interrupt_requested();
    End({});
    return false;
  }

  TurnEnd TakeTurn() override {
    DeviceRecord& device = Device();
    DeviceReport& report = Report();
    DeviceUpdate& update = report.update;
    uint32_t began = plat::now_ms();
    UpdateNext next = Update_StartProgramming(&update);
    while (next == UpdateNext::ProgressAgain) next = Update_PollProgress(&update);
    RunReport_AddTime(index_, MenuState::ProgrammingProgress, plat::now_ms() - began);
    report.entrySent = Update_EntrySent(update);
    if (update.programming == Outcome::Stopped) report.interrupted = true;
    if (next == UpdateNext::AfterProgramming && LeftTheStandardAddress()) {
      // Running again and at its own address: the bus is the next one's,
      // and finding it again goes with the rest of its update.
      next_ = next;
      return TurnEnd{};
    }
    // Anywhere else, finding it again is part of the turn: a controller that
    // comes back speaking Modbus is switched back on a port that nobody else
    // uses then.
    next = FindAgain(next);
    next_ = next;
    TurnEnd end;
    // Not seen running again after the bootloader entry: its bootloader may
    // still answer at the standard bus address.
    end.mayBeInBootloader = report.entrySent && !update.foundAgain;
    const uint8_t standard = Image_StandardAddress(device.hardwareId);
    if (update.foundAgain && device.address == standard && report.before.address != standard &&
        io_.SetZoneAddress(device.portName, standard, report.before.address) == 1) {
      // Back with its factory settings at the standard bus address: it goes
      // back to its own address at once (the restore would put it there
      // too), so that the next controller's bootloader has the standard
      // address to itself without waiting for this one's restore.
      device.address = report.before.address;
    }
    end.atStandardAddress =
        update.foundAgain && device.address == standard && report.before.address != standard;
    return end;
  }

  void Finish(const std::function<void()>& leftStandardAddress) override {
    DeviceReport& report = Report();
    next_ = FindAgain(next_);
    if (next_ == UpdateNext::RestoreSettings && !report.interrupted) {
      const uint32_t began = plat::now_ms();
      RestoreDevice(world_, &Device(), Safety_RestorePlan(report), &report.restore);
      RunReport_AddTime(index_, MenuState::RestoreSettings, plat::now_ms() - began);
      if (report.restore == SettingsOutcome::Failed && plat::interrupt_requested()) {
        report.interrupted = true;
      }
    }
    End(leftStandardAddress);
  }

  void Skip(NoTurn why) override {
    DeviceReport& report = Report();
    // A controller left in its bootloader by the interrupt holds up the
    // rest of its port as well: what the operator did is the reason told.
    if (why == NoTurn::BootloaderOccupied && plat::interrupt_requested()) why = NoTurn::Stopped;
    report.noTurn = why;
    if (why == NoTurn::Stopped) report.interrupted = true;
    Safety_DropUnusedBackup(report, console_);
    Ended();
  }

 private:
  DeviceRecord& Device() { return state_.devices[index_]; }
  DeviceReport& Report() { return state_.reports[index_]; }

  // A controller programmed with its factory settings comes back at the
  // standard bus address: when it answers there, running, it is moved to
  // its own address at once. True when it was.
  bool LeftTheStandardAddress() {
    DeviceRecord& device = Device();
    DeviceReport& report = Report();
    DeviceUpdate& update = report.update;
    const uint8_t standard = Image_StandardAddress(device.hardwareId);
    if (update.programming != Outcome::Done || !update.defaultsWrite ||
        report.before.inBootloader == 1 ||
        report.before.address == standard || !Update_AnswersAt(&update, standard) ||
        io_.SetZoneAddress(device.portName, standard, report.before.address) != 1) {
      return false;
    }
    device.address = report.before.address;
    return true;
  }

  // Update_Reconnect until the controller is found again or given up.
  UpdateNext FindAgain(UpdateNext next) {
    DeviceReport& report = Report();
    const uint32_t began = plat::now_ms();
    while (next == UpdateNext::AfterProgramming) {
      if (plat::interrupt_requested()) {
        report.interrupted = true;
        next = UpdateNext::FinishDevice;
        break;
      }
      next = Update_Reconnect(&report.update);
    }
    RunReport_AddTime(index_, MenuState::AfterProgramming, plat::now_ms() - began);
    return next;
  }

  // What a controller updated alone goes through once its steps are done.
  void End(const std::function<void()>& leftStandardAddress) {
    DeviceReport& report = Report();
    DeviceUpdate& update = report.update;
    DeviceRecord& device = Device();
    const uint32_t began = plat::now_ms();
    Safety_DropUnusedBackup(report, console_);
    char line[160];
    std::snprintf(line, sizeof line,
                  "Programming job status %d; found again: %s; with the factory settings write: %s",
                  Update_JobStatus(update), update.foundAgain ? "yes" : "no",
                  update.defaultsWrite ? "yes" : "no");
    console_.Note(line);
    // Stopped after its bootloader entry, it is left for the next run.
    if (!(update.programming == Outcome::Stopped && report.entrySent)) {
      const uint8_t standard = Image_StandardAddress(device.hardwareId);
      Update_Finish(&update, [&] {
        if (leftStandardAddress && device.address != standard) leftStandardAddress();
      });
    }
    RunReport_AddTime(index_, MenuState::FinishDevice, plat::now_ms() - began);
    Ended();
  }

  void Ended() {
    char outcome[BackupPathMax + 96];
    OutcomeText(Report(), outcome, sizeof outcome);
    board_.Ended(index_, name_ + ": " + outcome);
  }

  FrontEndState& state_;
  const uint32_t index_;
  FleetBoard& board_;
  const std::string name_;
  BoardConsole console_;
  SharedPortIo io_;
  BackupWorld world_;
  UpdateNext next_ = UpdateNext::FinishDevice;
};

// The moves of a port's occupants off the standard bus address and back,
// made with the steps a controller updated alone makes for its own
// occupant, for the first controller that needs each moved. `lock` is held
// around every move: the discovered records are every port's.
class FleetMoves final : public AddressMoves {
 public:
  FleetMoves(std::mutex& lock, std::size_t count)
      : lock_(lock), movers_(count), devices_(count) {}

  // The occupant `o` is moved for `update` (its device as it was chosen,
  // its discovery, and the console its texts go to).
  void SetMover(std::size_t o, const DeviceUpdate& update) {
    devices_[o] = *update.device;
    movers_[o] = DeviceUpdate{};
    movers_[o].io = update.io;
    movers_[o].device = &devices_[o];
    movers_[o].discovered = update.discovered;
    movers_[o].discoveredCount = update.discoveredCount;
  }

  Off MoveOff(std::size_t o) override {
    const std::lock_guard<std::mutex> hold(lock_);
    DeviceUpdate& mover = movers_[o];
    const int freed = Update_ClearStandardAddress(&mover);
    return Off{mover.change.moved, freed >= 0};
  }

  bool MoveBack(std::size_t o) override {
    Client_SetWaitTick(Update_WaitTick);
    const std::lock_guard<std::mutex> hold(lock_);
    return Update_RestoreDisplaced(&movers_[o]) == 1;
  }

 private:
  std::mutex& lock_;
  std::vector<DeviceUpdate> movers_;
  std::vector<DeviceRecord> devices_;
};

// One port's pipeline as the fleet runs it.
struct PortPlan {
  std::string port;
  std::vector<ScheduledDevice> entries;
  std::vector<ControllerSteps*> steps;
  std::unique_ptr<PortSchedule> schedule;
  std::unique_ptr<FleetMoves> moves;
};

bool SameDevice(const DeviceRecord& a, const DeviceRecord& b) {
  return a.serialNumber == b.serialNumber && a.address == b.address &&
         std::strcmp(a.portName, b.portName) == 0;
}

}  // namespace

void RunChosenControllers(FrontEndState* state) {
  FrontEndState& s = *state;
  FleetBoard board(plat::system_console(), s.deviceCount);
  std::vector<std::unique_ptr<DeviceFlow>> flows;
  for (uint32_t i = 0; i < s.deviceCount; ++i) {
    flows.push_back(std::make_unique<DeviceFlow>(state, i, board));
  }
  s.reportCount = s.deviceCount;

  std::mutex movesLock;
  std::vector<std::unique_ptr<PortPlan>> plans;
  for (uint32_t i = 0; i < s.deviceCount; ++i) {
    const char* port = s.devices[i].portName;
    PortPlan* plan = nullptr;
    for (const std::unique_ptr<PortPlan>& p : plans) {
      if (p->port == port) plan = p.get();
    }
    if (plan == nullptr) {
      plans.push_back(std::make_unique<PortPlan>());
      plan = plans.back().get();
      plan->port = port;
    }
    plan->entries.push_back(ScheduledDevice{true, -1});
    plan->steps.push_back(flows[i].get());
  }
  // Each port's occupants: a chosen controller of the port, or a bystander
  // that gets an entry of its own.
  std::vector<std::vector<uint32_t>> reportOf(plans.size());
  for (std::size_t p = 0; p < plans.size(); ++p) {
    for (uint32_t i = 0; i < s.deviceCount; ++i) {
      if (plans[p]->port == s.devices[i].portName) reportOf[p].push_back(i);
    }
  }
  for (std::size_t p = 0; p < plans.size(); ++p) {
    PortPlan& plan = *plans[p];
    std::vector<DeviceRecord*> occupants(plan.entries.size(), nullptr);
    std::vector<const DeviceUpdate*> needs(plan.entries.size(), nullptr);
    for (std::size_t k = 0; k < reportOf[p].size(); ++k) {
      const DeviceUpdate& update = s.reports[reportOf[p][k]].update;
      DeviceRecord* occupant = Update_Occupant(update);
      if (occupant == nullptr) continue;
      int at = -1;
      for (std::size_t j = 0; j < reportOf[p].size() && at < 0; ++j) {
        if (SameDevice(s.devices[reportOf[p][j]], *occupant)) at = static_cast<int>(j);
      }
      for (std::size_t j = reportOf[p].size(); j < occupants.size() && at < 0; ++j) {
        if (occupants[j] == occupant) at = static_cast<int>(j);
      }
      if (at < 0) {
        plan.entries.push_back(ScheduledDevice{false, -1});
        plan.steps.push_back(nullptr);
        occupants.push_back(occupant);
        needs.push_back(nullptr);
        at = static_cast<int>(plan.entries.size() - 1);
      }
      plan.entries[k].occupant = at;
      if (needs[static_cast<std::size_t>(at)] == nullptr) needs[static_cast<std::size_t>(at)] = &update;
    }
    plan.moves = std::make_unique<FleetMoves>(movesLock, plan.entries.size());
    for (std::size_t o = 0; o < needs.size(); ++o) {
      if (needs[o] != nullptr) plan.moves->SetMover(o, *needs[o]);
    }
    plan.schedule = std::make_unique<PortSchedule>(plan.entries);
  }

  std::vector<FleetPort> ports;
  for (const std::unique_ptr<PortPlan>& plan : plans) {
    ports.push_back(FleetPort{plan->schedule.get(), plan->steps, plan->moves.get()});
  }
  // Each port stays open for its whole pipeline, so that no controller's
  // end closes it under another; one that does not open fails each job with
  // the system's words.
  for (const std::unique_ptr<PortPlan>& plan : plans) Client_Open(plan->port.c_str());
  std::atomic<bool> stop{false};
  RunFleet(ports, board, stop, plat::interrupt_requested);

  for (uint32_t i = 0; i < s.deviceCount; ++i) {
    if (s.reports[i].update.programming == Outcome::ProgrammingError) s.programmingError = true;
  }
  if (plat::interrupt_requested()) {
    s.interrupted = true;
    s.interruptStatus = Safety_StandAfterInterrupt(state);
    return;
  }
  for (const std::unique_ptr<PortPlan>& plan : plans) {
    Client_Close(plan->port.c_str());
    Safety_AfterDevice(plan->port.c_str());
  }
  s.currentDevice = static_cast<uint8_t>(s.deviceCount);
  PrintSummary(s.reports, s.devices, s.reportCount, &s.gaps);
}
