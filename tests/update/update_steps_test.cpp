// The update steps against a fake bus, registry, programming engine and
// screen: every rule of the address change, the identity repair, finding the
// device again and the progress line, without a port or a pause.
#include <gtest/gtest.h>

#include <algorithm>
#include <barrier>
#include <cstdio>
#include <cstring>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "image/carried_image.h"
#include "update/image_package.h"
#include "update/update_steps.h"

namespace {

using Bytes = std::vector<uint8_t>;
// What the fake job answers a wait for it: nothing while it runs, else how it
// ended.
using JobAnswer = std::optional<Outcome>;
constexpr JobAnswer kRunning = std::nullopt;

DeviceRecord Device(const char* port, uint8_t address, int32_t serial = 1000,
                    const char* model = "QD4010A-6AC1100", int32_t hardwareId = 28) {
  DeviceRecord r;
  std::snprintf(r.portName, sizeof r.portName, "%s", port);
  r.address = address;
  r.hardwareId = hardwareId;
  r.serialNumber = serial;
  r.release = 14;
  r.build = 172;
  std::snprintf(r.modelNumber, sizeof r.modelNumber, "%s", model);
  std::snprintf(r.deviceName, sizeof r.deviceName, "Boiler");
  return r;
}

// A screen of `rows` rows: text overwrites what is under the cursor, "\r"
// goes to the first column, "\n" goes down a row and scrolls the whole screen
// up when it is on the last one, as a terminal does.
class Screen {
 public:
  Screen(int rows, int row) : lines_(static_cast<std::size_t>(rows)), row_(row) {}
  void Print(const std::string& text) {
    for (const char c : text) {
      if (c == '\r') {
        column_ = 0;
      } else if (c == '\n') {
        if (row_ + 1 == static_cast<int>(lines_.size())) {
          lines_.erase(lines_.begin());
          lines_.emplace_back();
        } else {
          ++row_;
        }
      } else {
        std::string& line = lines_[static_cast<std::size_t>(row_)];
        if (line.size() <= static_cast<std::size_t>(column_)) {
          line.resize(static_cast<std::size_t>(column_) + 1, ' ');
        }
        line[static_cast<std::size_t>(column_++)] = c;
      }
    }
  }
  void Move(int column, int row) {
    column_ = column;
    row_ = row;
  }
  int column() const { return column_; }
  int row() const { return row_; }
  const std::vector<std::string>& lines() const { return lines_; }

 private:
  std::vector<std::string> lines_;
  int column_ = 0;
  int row_ = 0;
};

struct Message {
  std::string port;
  uint8_t station;
  Bytes data;
};

struct AddressRequest {
  std::string port;
  uint8_t station;
  uint8_t newAddress;
};

class FakeIo : public UpdateIo {
 public:
  // Bus.
  std::vector<DeviceRecord> answering;  // stations that answer a scan
  int zoneResult = 1;
  std::vector<AddressRequest> addressRequests;
  std::vector<Message> messages;
  std::deque<bool> delivered;  // per exchange; delivered once they run out
  std::vector<std::string> opened, closed;
  std::vector<uint8_t> settled;
  uint8_t relocateResult = 255;
  int relocations = 0;
  int scans = 0;
  // Registry.
  bool registryHasDevice = false;
  DeviceRecord registry;
  // Job: WaitProgramming answers, and the percentage at each answer.
  std::deque<JobAnswer> jobAnswers;
  std::deque<uint32_t> percentages;
  uint32_t percent = 0;
  DeviceRecord* programmed = nullptr;
  bool defaultsWrite = true;
  bool aborted = false;
  bool interrupted = false;
  bool journalWritable = true;
  std::vector<AddressMove> journal;
  // Clock: each wait for the job takes pollMs, a settle wait settleMs (the
  // client's wait ticks coming every 100 ms).
  uint32_t now = 0;
  uint32_t pollMs = 500;
  uint32_t settleMs = 0;
  std::deque<ProgrammerState> states;  // the job's state at each wait for it
  ProgrammerState state = ProgrammerState::Transfer;
  // Console.
  std::string output;
  std::vector<uint32_t> printedAt;
  std::vector<std::string> logged;
  bool terminal = false;
  Screen screen{25, 0};
  std::deque<int> keys;
  // Shared with another device's fake: each wait for the job and each tick
  // of a settle wait waits there for the other device's, so that the two
  // updates run their steps side by side.
  std::barrier<>* lockstep = nullptr;

  int Open(const char* port) override {
    opened.emplace_back(port);
    return 0;
  }
  int Close(const char* port) override {
    closed.emplace_back(port);
    return 0;
  }
  bool Exchange(const char* port, uint8_t station, const uint8_t* data, uint16_t length) override {
    messages.push_back({port, station, Bytes(data, data + length)});
    if (delivered.empty()) return true;
    const bool d = delivered.front();
    delivered.pop_front();
    return d;
  }
  int SetZoneAddress(const char* port, uint8_t station, uint8_t newAddress) override {
    addressRequests.push_back({port, station, newAddress});
    return zoneResult;
  }
  int WaitSettled(const char*, uint8_t station) override {
    for (uint32_t waited = 0; waited < settleMs; waited += 100) {
      if (lockstep != nullptr) lockstep->arrive_and_wait();
      now += 100;
      Update_WaitTick();
    }
    settled.push_back(station);
    return 1;
  }
  uint8_t ScanRange(const char* port, uint8_t first, uint8_t last, DeviceRecord* records,
                    uint8_t capacity) override {
    ++scans;
    uint8_t n = 0;
    for (const DeviceRecord& r : answering) {
      if (std::strcmp(r.portName, port) == 0 && r.address >= first && r.address <= last &&
          n < capacity) {
        records[n++] = r;
      }
    }
    return n;
  }
  uint8_t Relocate(const char*, uint8_t, uint8_t, uint16_t, const char*, int32_t) override {
    ++relocations;
    return relocateResult;
  }
  int LoadDevice(DeviceRecord* record) override {
    if (!registryHasDevice) return 0;
    std::memcpy(record->modelNumber, registry.modelNumber, sizeof record->modelNumber);
    std::memcpy(record->deviceName, registry.deviceName, sizeof record->deviceName);
    record->serialNumber = registry.serialNumber;
    return 1;
  }
  bool RecordMove(const AddressMove& move, char* why, std::size_t size) override {
    if (!journalWritable) {
      std::snprintf(why, size, "No space left on device");
      return false;
    }
    journal.push_back(move);
    return true;
  }
  bool ClearMove(const char* port, int32_t serialNumber, char*, std::size_t) override {
    for (auto it = journal.begin(); it != journal.end(); ++it) {
      if (std::strcmp(it->port, port) == 0 && it->serialNumber == serialNumber) {
        journal.erase(it);
        break;
      }
    }
    return true;
  }
  void StartProgramming(DeviceUpdate* update) override {
    programmed = update->device;
    defaultsWrite = update->defaultsWrite;
  }
  void AbortProgramming(DeviceUpdate*) override { aborted = true; }
  bool EntrySent(const DeviceUpdate&) override { return programmed != nullptr; }
  bool Interrupted() override { return interrupted; }
  bool WaitProgramming(DeviceUpdate*, uint32_t, Result* ending) override {
    if (lockstep != nullptr) lockstep->arrive_and_wait();
    now += pollMs;
    if (!states.empty()) {
      state = states.front();
      states.pop_front();
    }
    EXPECT_FALSE(jobAnswers.empty()) << "the job was waited for once more than scripted";
    const JobAnswer answer = jobAnswers.empty() ? kRunning : jobAnswers.front();
    if (!jobAnswers.empty()) jobAnswers.pop_front();
    if (!percentages.empty()) {
      percent = percentages.front();
      percentages.pop_front();
    }
    if (!answer.has_value()) return false;
    *ending = *answer;
    return true;
  }
  uint32_t Progress(const DeviceUpdate&) override { return percent; }
  ProgrammerState JobState(const DeviceUpdate&) override { return state; }
  uint32_t NowMs() override { return now; }
  void Print(const char* text) override {
    output += text;
    printedAt.push_back(now);
    if (terminal) screen.Print(text);
  }
  void Log(const char* text) override { logged.emplace_back(text); }
  int ReadKey() override {
    if (keys.empty()) return -1;
    const int k = keys.front();
    keys.pop_front();
    return k;
  }
  bool IsTerminal() override { return terminal; }
  bool GetCursor(int* column, int* row) override {
    if (!terminal) return false;
    *column = screen.column();
    *row = screen.row();
    return true;
  }
  bool SetCursor(int column, int row) override {
    if (!terminal) return false;
    screen.Move(column, row);
    return true;
  }
};

class UpdateSteps : public ::testing::Test {
 protected:
  // An update of `device` through the fake, after the discovery `discovered`.
  DeviceUpdate UpdateOf(DeviceRecord* device, DeviceRecord* discovered = nullptr,
                        uint32_t discoveredCount = 0) {
    DeviceUpdate update;
    update.io = &io;
    update.device = device;
    update.discovered = discovered;
    update.discoveredCount = discoveredCount;
    return update;
  }
  FakeIo io;
};

// --- Freeing the standard bus address -------------------------------------

struct AddressCase {
  const char* name;
  std::vector<DeviceRecord> discovered;
  DeviceRecord device;
  int result;
  // The request expected: station and new address, or none (station 0).
  uint8_t station;
  uint8_t newAddress;
};

TEST_F(UpdateSteps, ClearStandardAddressMovesOnlyAnOccupantOfTheSameBus) {
  DeviceRecord byModel = Device("Com1", 20);
  byModel.matchedByModel = 1;
  std::vector<DeviceRecord> full;
  for (uint8_t a = 16; a <= 31; ++a) full.push_back(Device("Com1", a));
  full.push_back(Device("Com1", 40));
  const std::vector<AddressCase> cases = {
      {"one device", {Device("Com1", 20)}, Device("Com1", 20), 1, 0, 0},
      {"already standard", {Device("Com1", 16), Device("Com1", 17)}, Device("Com1", 16), 1, 0, 0},
      {"matched by model", {Device("Com1", 16), byModel}, byModel, 1, 0, 0},
      {"no occupant", {Device("Com1", 17), Device("Com1", 20)}, Device("Com1", 20), 1, 0, 0},
      {"16 17 18 and 20",
       {Device("Com1", 16), Device("Com1", 17), Device("Com1", 18), Device("Com1", 20)},
       Device("Com1", 20), 1, 16, 19},
      {"standard 32 of hardware id 25",
       {Device("Com1", 32, 1, "QT1100C-2BA0010", 25), Device("Com1", 16), Device("Com1", 20)},
       Device("Com1", 20, 2, "QT1100C-2BA0010", 25), 1, 32, 17},
      {"every address of the range taken", full, Device("Com1", 40), 0, 0, 0},
      {"occupant on another port", {Device("Com2", 16), Device("Com1", 20)}, Device("Com1", 20),
       1, 0, 0},
      {"another port's devices take free addresses",
       {Device("Com1", 16), Device("Com2", 17), Device("Com1", 20)}, Device("Com1", 20), 1, 16,
       18},
  };
  for (const AddressCase& c : cases) {
    SCOPED_TRACE(c.name);
    io.addressRequests.clear();
    std::vector<DeviceRecord> discovered = c.discovered;
    DeviceRecord device = c.device;
    DeviceUpdate update =
        UpdateOf(&device, discovered.data(), static_cast<uint32_t>(discovered.size()));
    // The occupant that several devices' turns share is the one moved here.
    const DeviceRecord* occupant = Update_Occupant(update);
    const uint8_t standard = Image_StandardAddress(device.hardwareId);
    if (c.station != 0 || c.result == 0) {
      ASSERT_NE(occupant, nullptr);
      EXPECT_EQ(occupant->address, standard);
      EXPECT_STREQ(occupant->portName, device.portName);
    } else {
      EXPECT_EQ(occupant, nullptr);
    }
    EXPECT_EQ(Update_ClearStandardAddress(&update), c.result);
    if (c.station == 0) {
      EXPECT_TRUE(io.addressRequests.empty());
      EXPECT_EQ(Update_RestoreDisplaced(&update), 1);
      EXPECT_TRUE(io.addressRequests.empty());
      continue;
    }
    ASSERT_EQ(io.addressRequests.size(), 1u);
    // Sent on the programmed device's port, to the occupant.
    EXPECT_EQ(io.addressRequests[0].port, c.device.portName);
    EXPECT_EQ(io.addressRequests[0].station, c.station);
    EXPECT_EQ(io.addressRequests[0].newAddress, c.newAddress);
    const auto moved = std::find_if(discovered.begin(), discovered.end(), [&](const DeviceRecord& d) {
      return d.address == c.newAddress && std::strcmp(d.portName, c.device.portName) == 0;
    });
    ASSERT_NE(moved, discovered.end());
    // Written down before it was sent.
    ASSERT_EQ(io.journal.size(), 1u);
    EXPECT_EQ(io.journal[0].from, c.station);
    EXPECT_EQ(io.journal[0].to, c.newAddress);
    EXPECT_EQ(io.journal[0].serialNumber, moved->serialNumber);

    // Moved back at the end, and the discovery list and the journal say so.
    EXPECT_EQ(Update_RestoreDisplaced(&update), 1);
    EXPECT_TRUE(io.journal.empty());
    ASSERT_EQ(io.addressRequests.size(), 2u);
    EXPECT_EQ(io.addressRequests[1].station, c.newAddress);
    EXPECT_EQ(io.addressRequests[1].newAddress, c.station);
    EXPECT_EQ(moved->address, c.station);
  }
  EXPECT_EQ(io.output, "");
}

TEST_F(UpdateSteps, RefusedAddressChangeIsReportedAndNothingIsMovedBack) {
  std::vector<DeviceRecord> discovered = {Device("Com1", 16), Device("Com1", 20)};
  DeviceUpdate update = UpdateOf(&discovered[1], discovered.data(), 2);
  io.zoneResult = 0;
  EXPECT_EQ(Update_ClearStandardAddress(&update), 0);
  EXPECT_EQ(io.output, "Failed to change address\r\n");
  EXPECT_EQ(discovered[0].address, 16);
  EXPECT_EQ(Update_RestoreDisplaced(&update), 1);
  EXPECT_EQ(io.addressRequests.size(), 1u);
}

TEST_F(UpdateSteps, DisplacedDeviceIsMovedBackOnce) {
  std::vector<DeviceRecord> discovered = {Device("Com1", 16), Device("Com1", 20)};
  DeviceUpdate update = UpdateOf(&discovered[1], discovered.data(), 2);
  ASSERT_EQ(Update_ClearStandardAddress(&update), 1);
  EXPECT_EQ(Update_RestoreDisplaced(&update), 1);
  EXPECT_EQ(Update_RestoreDisplaced(&update), 1);
  EXPECT_EQ(io.addressRequests.size(), 2u);
}

TEST_F(UpdateSteps, FailedMoveBackIsReportedAndTheRecordKeepsTheNewAddress) {
  std::vector<DeviceRecord> discovered = {Device("Com1", 16), Device("Com1", 20)};
  DeviceUpdate update = UpdateOf(&discovered[1], discovered.data(), 2);
  ASSERT_EQ(Update_ClearStandardAddress(&update), 1);
  io.zoneResult = 0;
  EXPECT_EQ(Update_RestoreDisplaced(&update), 0);
  EXPECT_EQ(io.output.rfind("Failed to change back address.\r\n", 0), 0u);
  EXPECT_EQ(discovered[0].address, 17);
  // The next run finds the move in the journal.
  ASSERT_EQ(io.journal.size(), 1u);
  EXPECT_EQ(io.journal[0].to, 17);
}

// A move the journal cannot hold is not made, and nothing is programmed: a
// run that ended before the move back would leave the device moved for good.
TEST_F(UpdateSteps, MoveThatCannotBeWrittenDownIsNotMadeAndNothingIsProgrammed) {
  std::vector<DeviceRecord> discovered = {Device("Com1", 16), Device("Com1", 20)};
  io.journalWritable = false;
  DeviceUpdate update = UpdateOf(&discovered[1], discovered.data(), 2);
  EXPECT_EQ(Update_StartProgramming(&update), UpdateNext::FinishDevice);
  EXPECT_TRUE(update.moveNotRecorded);
  EXPECT_FALSE(update.started);
  EXPECT_TRUE(io.addressRequests.empty());
  EXPECT_EQ(io.programmed, nullptr);
  EXPECT_NE(io.output.find("No space left on device"), std::string::npos);
  // Finishing it sends nothing to the device it left alone.
  EXPECT_EQ(Update_Finish(&update), UpdateNext::NextDevice);
  EXPECT_TRUE(io.messages.empty());
  EXPECT_TRUE(io.settled.empty());
}

// When several devices of a port take their turns, the occupant of the
// standard address is moved once for all of them by whoever runs the turns:
// a device's own steps neither move it nor move it back.
TEST_F(UpdateSteps, AnOccupantMovedForTheDeviceIsLeftAlone) {
  std::vector<DeviceRecord> discovered = {Device("Com1", 16), Device("Com1", 17),
                                          Device("Com1", 20)};
  DeviceUpdate update = UpdateOf(&discovered[2], discovered.data(), 3);
  update.occupantMovedForUs = true;
  EXPECT_EQ(Update_StartProgramming(&update), UpdateNext::ProgressAgain);
  EXPECT_TRUE(update.started);
  Update_Finish(&update);
  EXPECT_TRUE(io.addressRequests.empty());
  EXPECT_TRUE(io.journal.empty());
  EXPECT_EQ(discovered[0].address, 16);
}

// The front end's choice of the factory-settings write reaches the job, and
// an interrupt while the job runs asks it to stop.
TEST_F(UpdateSteps, JobGetsTheDefaultsChoiceAndIsStoppedByAnInterrupt) {
  std::vector<DeviceRecord> discovered = {Device("Com1", 20)};
  DeviceUpdate update = UpdateOf(&discovered[0], discovered.data(), 1);
  update.defaultsWrite = false;
  EXPECT_EQ(Update_StartProgramming(&update), UpdateNext::ProgressAgain);
  EXPECT_TRUE(update.started);
  EXPECT_FALSE(io.defaultsWrite);
  io.jobAnswers = {kRunning, kRunning};
  EXPECT_EQ(Update_PollProgress(&update), UpdateNext::ProgressAgain);
  EXPECT_FALSE(io.aborted);
  io.interrupted = true;
  EXPECT_EQ(Update_PollProgress(&update), UpdateNext::ProgressAgain);
  EXPECT_TRUE(io.aborted);
  EXPECT_FALSE(update.programming.has_value());
  // Stopping it after the interrupt: a job that does not end in time counts
  // as stopped, one that ends says how.
  io.aborted = false;
  io.jobAnswers = {kRunning};
  Update_StopProgramming(&update, 15000);
  EXPECT_TRUE(io.aborted);
  EXPECT_EQ(update.programming, Outcome::Stopped);
  EXPECT_EQ(Update_JobStatus(update), 5);
  update.programming.reset();
  io.jobAnswers = {Outcome::NotFound};
  Update_StopProgramming(&update, 15000);
  EXPECT_EQ(update.programming, Outcome::NotFound);
  // A job that has ended is not stopped again.
  io.aborted = false;
  Update_StopProgramming(&update, 15000);
  EXPECT_FALSE(io.aborted);
}

// --- Identity repair -------------------------------------------------------

Bytes Lock(uint8_t a, uint8_t b) { return {0x01, 0x04, 0x01, 0x0F, 0x01, 0x03, a, b}; }

Bytes IdentityWrite(const std::string& model, const std::string& name, int32_t serial) {
  Bytes m = {0x01, 0x0A, 0x01, 0x01, 0x03};
  auto text = [&](uint8_t member, const std::string& t) {
    m.push_back(member);
    m.push_back(0x09);
    m.push_back(static_cast<uint8_t>(t.size() + 1));
    m.insert(m.end(), t.begin(), t.end());
    m.push_back(0);
  };
  text(0x09, model);
  text(0x0B, name);
  m.push_back(0x07);
  m.push_back(0x06);
  for (int shift = 24; shift >= 0; shift -= 8) {
    m.push_back(static_cast<uint8_t>(static_cast<uint32_t>(serial) >> shift));
  }
  return m;
}

TEST_F(UpdateSteps, IdentityIsWrittenBackOnlyWhenTheModelReadHoldsACapitalX) {
  struct Case {
    const char* modelRead;
    bool written;
  };
  for (const Case& c : {Case{"QD4010A-6AC1100", false}, Case{"", false},
                        Case{"qd3x000-6aaaaaa", false}, Case{"QD3X000-6AAAAAA", true}}) {
    SCOPED_TRACE(c.modelRead);
    io.messages.clear();
    DeviceRecord record = Device("Com1", 16, 4410021);
    DeviceUpdate update = UpdateOf(&record);
    EXPECT_EQ(Update_RestoreIdentity(&update, c.modelRead), 1);
    if (!c.written) {
      EXPECT_TRUE(io.messages.empty());
      continue;
    }
    ASSERT_EQ(io.messages.size(), 3u);
    EXPECT_EQ(io.messages[0].data, Lock(IdentityUnlockCode[0], IdentityUnlockCode[1]));
    EXPECT_EQ(io.messages[1].data, IdentityWrite("QD4010A-6AC1100", "Boiler", 4410021));
    EXPECT_EQ(io.messages[1].data.size(), 8u + 18u + 9u + 5u);
    EXPECT_EQ(io.messages[2].data, Lock(0, 0));
    for (const Message& m : io.messages) EXPECT_EQ(m.station, 16);
  }
}

TEST_F(UpdateSteps, UnansweredUnlockWritesNothingMore) {
  DeviceRecord record = Device("Com1", 16);
  DeviceUpdate update = UpdateOf(&record);
  io.delivered = {false};
  EXPECT_EQ(Update_RestoreIdentity(&update, "QD4XXXX-XXXXXXX"), 1);
  ASSERT_EQ(io.messages.size(), 1u);
  EXPECT_EQ(io.messages[0].data[3], 0x0F);
}

TEST_F(UpdateSteps, DeviceFoundInItsBootloaderTakesItsIdentityFromTheRegistry) {
  DeviceRecord record = Device("Com1", 19, 0, "QD4XXXX-XXXXXXX");
  record.inBootloader = 1;
  DeviceUpdate update = UpdateOf(&record);
  EXPECT_EQ(Update_RestoreIdentity(&update, "QD4XXXX-XXXXXXX"), 0);
  EXPECT_EQ(io.closed, std::vector<std::string>{"Com1"});
  EXPECT_TRUE(io.messages.empty());

  io.registryHasDevice = true;
  io.registry = Device("Com1", 19, 4410555, "QD4020A-6AD1200");
  EXPECT_EQ(Update_RestoreIdentity(&update, "QD4XXXX-XXXXXXX"), 1);
  ASSERT_EQ(io.messages.size(), 3u);
  EXPECT_EQ(io.messages[1].data, IdentityWrite("QD4020A-6AD1200", "Boiler", 4410555));
}

// --- Finding the device again ----------------------------------------------

class Reconnect : public UpdateSteps {
 protected:
  DeviceRecord device = Device("Com1", 16, 4410021);
  DeviceUpdate update;
  void SetUp() override {
    UpdateSteps::SetUp();
    update = UpdateOf(&device);
  }
  DeviceRecord Running(uint8_t address, const char* model) {
    DeviceRecord r = Device("Com1", address, 4410021, model);
    r.build = 180;
    return r;
  }
};

TEST_F(Reconnect, DeviceAtItsAddressIsRefreshedAndItsNewVersionKept) {
  io.answering = {Running(16, "QD4010A-6AC1100")};
  EXPECT_EQ(Update_Reconnect(&update), UpdateNext::RestoreSettings);
  EXPECT_TRUE(update.foundAgain);
  EXPECT_TRUE(update.versionRead);
  EXPECT_EQ(update.build, 180);
  EXPECT_EQ(io.relocations, 0);
  EXPECT_TRUE(io.messages.empty());
  EXPECT_EQ(io.settled, std::vector<uint8_t>{16});
  EXPECT_EQ(io.output, "");
}

TEST_F(Reconnect, ALongSettleWaitIsShownAndKeepsMoving) {
  struct Case {
    const char* name;
    bool terminal;
    uint32_t settleMs;
    const char* output;
  };
  for (const Case& c :
       {Case{"short, nothing shown", true, 3900, ""},
        Case{"terminal", true, 9000, "Waiting for the controller's settings to settle..\r\n"},
        Case{"pipe", false, 9000,
             "Waiting for the controller's settings to settle (4 s)\r\n"
             "Waiting for the controller's settings to settle (8 s)\r\n"}}) {
    SCOPED_TRACE(c.name);
    io.terminal = c.terminal;
    io.settleMs = c.settleMs;
    io.output.clear();
    io.answering = {Running(16, "QD4010A-6AC1100")};
    EXPECT_EQ(Update_Reconnect(&update), UpdateNext::RestoreSettings);
    EXPECT_EQ(io.output, c.output);
  }
  // Outside an update step's wait, the client's ticks show nothing.
  io.output.clear();
  io.now += 60000;
  Update_WaitTick();
  EXPECT_EQ(io.output, "");
}

TEST_F(Reconnect, PlaceholderModelCountsAsTheDeviceAndItsIdentityIsWrittenBack) {
  io.answering = {Running(16, "QD4XXXX-XXXXXXX")};
  EXPECT_EQ(Update_Reconnect(&update), UpdateNext::RestoreSettings);
  EXPECT_TRUE(update.foundAgain);
  ASSERT_EQ(io.messages.size(), 3u);
  EXPECT_EQ(io.messages[1].data, IdentityWrite("QD4010A-6AC1100", "Boiler", 4410021));
  // The record keeps the model number it had, not the placeholder.
  EXPECT_STREQ(device.modelNumber, "QD4010A-6AC1100");
}

TEST_F(Reconnect, AnotherDeviceAtTheAddressIsNotTakenForIt) {
  DeviceRecord other = Running(16, "QD4XXXX-XXXXXXX");
  other.serialNumber = 5;
  io.answering = {other};
  io.keys = {'x'};
  EXPECT_EQ(Update_Reconnect(&update), UpdateNext::AfterProgramming);
  EXPECT_EQ(io.relocations, 1);
  EXPECT_FALSE(update.foundAgain);
}

TEST_F(Reconnect, DeviceFoundElsewhereCarriesItsNewAddressIntoTheRefresh) {
  io.answering = {Running(22, "QD4XXXX-XXXXXXX")};
  io.relocateResult = 22;
  EXPECT_EQ(Update_Reconnect(&update), UpdateNext::RestoreSettings);
  EXPECT_EQ(device.address, 22);
  ASSERT_EQ(io.messages.size(), 3u);
  EXPECT_EQ(io.messages[0].station, 22);
  EXPECT_EQ(io.settled, std::vector<uint8_t>{22});
}

TEST_F(Reconnect, LostDeviceAsksForAPowerCycleAndTriesAgainAfterAKey) {
  device.address = 20;
  io.keys = {' '};
  EXPECT_EQ(Update_Reconnect(&update), UpdateNext::AfterProgramming);
  EXPECT_EQ(io.output,
            "Error: Communication Failure.\r\n"
            "Please Power Cycle the Device and Ensure that it is in Standard Bus Address 5.\r\n"
            "Press any key to continue...\r\n");
  EXPECT_FALSE(update.givenUp);

  // Input ended: the device is given up rather than asked for without end.
  io.output.clear();
  EXPECT_EQ(Update_Reconnect(&update), UpdateNext::FinishDevice);
  EXPECT_TRUE(update.givenUp);
  EXPECT_FALSE(update.foundAgain);
  EXPECT_NE(io.output.find("Press any key to continue...\r\nInput has ended"), std::string::npos);
}

// Without its identity the device is only looked at where it is: whether it
// runs the new firmware is read, and nothing is written to it.
TEST_F(Reconnect, BootloaderDeviceWithoutARegistryRecordIsOnlyReadWhereItIs) {
  device.inBootloader = 1;
  EXPECT_EQ(Update_Reconnect(&update), UpdateNext::RestoreSettings);
  EXPECT_TRUE(update.identityUnknown);
  EXPECT_FALSE(update.foundAgain);
  io.answering = {Running(device.address, "QD4XXXX-XXXXXXX")};
  EXPECT_EQ(Update_Reconnect(&update), UpdateNext::RestoreSettings);
  EXPECT_TRUE(update.foundAgain);
  EXPECT_TRUE(update.versionRead);
  EXPECT_EQ(io.relocations, 0);
  EXPECT_TRUE(io.messages.empty());
}

TEST_F(Reconnect, BootloaderDeviceIsLookedForUnderItsRegistryIdentity) {
  device = Device("Com1", 19, 0, "QD4XXXX-XXXXXXX");
  device.inBootloader = 1;
  io.registryHasDevice = true;
  io.registry = Device("Com1", 19, 4410555, "QD4020A-6AD1200");
  DeviceRecord running = Device("Com1", 19, 4410555, "QD4XXXX-XXXXXXX");
  io.answering = {running};
  EXPECT_EQ(Update_Reconnect(&update), UpdateNext::RestoreSettings);
  EXPECT_TRUE(update.foundAgain);
  EXPECT_EQ(device.serialNumber, 4410555);
  ASSERT_EQ(io.messages.size(), 3u);
  EXPECT_EQ(io.messages[1].data, IdentityWrite("QD4020A-6AD1200", "Boiler", 4410555));
}

TEST_F(Reconnect, FinishFollowsADeviceThatTheRestoreMovedBack) {
  update.started = true;
  // The restored communication settings put it back at 17.
  io.answering = {Running(17, "QD4010A-6AC1100")};
  io.relocateResult = 17;
  EXPECT_EQ(Update_Finish(&update), UpdateNext::NextDevice);
  EXPECT_EQ(device.address, 17);
  EXPECT_EQ(io.settled, std::vector<uint8_t>{17});
  ASSERT_EQ(io.messages.size(), 1u);
  EXPECT_EQ(io.messages[0].station, 17);
  EXPECT_EQ(io.messages[0].data[1], 0xEF);
}

// --- Start and finish -------------------------------------------------------

TEST_F(UpdateSteps, StartFreesTheAddressThenStartsTheJobOnTheDevicesRecord) {
  std::vector<DeviceRecord> discovered = {Device("Com1", 16), Device("Com1", 17),
                                          Device("Com1", 18), Device("Com1", 20)};
  DeviceRecord device = discovered[3];
  DeviceUpdate update = UpdateOf(&device, discovered.data(), 4);
  EXPECT_EQ(Update_StartProgramming(&update), UpdateNext::ProgressAgain);
  EXPECT_EQ(io.opened, std::vector<std::string>{"Com1"});
  EXPECT_EQ(io.programmed, &device);
  EXPECT_EQ(discovered[0].address, 19);
  EXPECT_EQ(io.output, "\r\nProgramming: 0%\r\n");

  update.foundAgain = true;
  EXPECT_EQ(Update_Finish(&update), UpdateNext::NextDevice);
  EXPECT_EQ(discovered[0].address, 16);
  EXPECT_EQ(io.settled, std::vector<uint8_t>{20});
  ASSERT_EQ(io.messages.size(), 1u);
  Bytes restart = {0x01, 0xEF};
  restart.insert(restart.end(), std::begin(ApplicationRestartCode), std::end(ApplicationRestartCode));
  EXPECT_EQ(io.messages[0].data, restart);
  EXPECT_EQ(io.messages[0].station, 20);
  EXPECT_EQ(io.closed, std::vector<std::string>{"Com1"});
}

TEST_F(UpdateSteps, FinishOfAGivenUpDeviceOnlyMovesTheDisplacedOneBackAndClosesThePort) {
  std::vector<DeviceRecord> discovered = {Device("Com1", 16), Device("Com1", 20)};
  DeviceRecord device = discovered[1];
  DeviceUpdate update = UpdateOf(&device, discovered.data(), 2);
  io.jobAnswers = {Outcome::Done};
  Update_StartProgramming(&update);
  update.givenUp = true;
  EXPECT_EQ(Update_Finish(&update), UpdateNext::NextDevice);
  EXPECT_EQ(discovered[0].address, 16);
  EXPECT_TRUE(io.settled.empty());
  EXPECT_TRUE(io.messages.empty());
  EXPECT_EQ(io.closed, std::vector<std::string>{"Com1"});
}

// --- The progress line ------------------------------------------------------

class Progress : public UpdateSteps {
 protected:
  DeviceRecord device = Device("Com1", 16);
  DeviceUpdate update;
  void SetUp() override {
    UpdateSteps::SetUp();
    update = UpdateOf(&device, &device, 1);
  }
  // Runs the job through the answers given, the percentage at each.
  void Run(std::deque<JobAnswer> answers, std::deque<uint32_t> percentages) {
    io.jobAnswers = std::move(answers);
    io.percentages = std::move(percentages);
    ASSERT_EQ(Update_StartProgramming(&update), UpdateNext::ProgressAgain);
    UpdateNext state = UpdateNext::ProgressAgain;
    while (state == UpdateNext::ProgressAgain) state = Update_PollProgress(&update);
    EXPECT_EQ(state, UpdateNext::AfterProgramming);
  }
};

TEST_F(Progress, PlainOutputGetsALineWheneverThePercentageMovedByFiveOrReachedAHundred) {
  struct Case {
    const char* name;
    std::deque<uint32_t> percentages;
    const char* lines;
  };
  for (const Case& c :
       {Case{"small steps add up", {0, 3, 4, 5, 9, 10, 98, 100},
             "Programming: 5%\r\nProgramming: 10%\r\nProgramming: 98%\r\nProgramming: 100%\r\n"},
        Case{"large steps", {7, 7, 50, 100},
             "Programming: 7%\r\nProgramming: 50%\r\nProgramming: 100%\r\n"},
        // A transfer that starts over from block 0 goes down.
        Case{"back to the start", {40, 41, 2, 100},
             "Programming: 40%\r\nProgramming: 2%\r\nProgramming: 100%\r\n"},
        // Where the job ended is a line of its own.
        Case{"short of a hundred", {1, 4, 6, 99}, "Programming: 6%\r\nProgramming: 99%\r\n"}}) {
    SCOPED_TRACE(c.name);
    io.output.clear();
    std::deque<JobAnswer> answers(c.percentages.size(), kRunning);
    answers.push_back(Outcome::Done);
    Run(answers, c.percentages);
    EXPECT_EQ(io.output, std::string("\r\nProgramming: 0%\r\n") + c.lines + "\r\n");
    EXPECT_EQ(update.programming, Outcome::Done);
    EXPECT_EQ(Update_JobStatus(update), 0);
  }
}

// The waits of the job while the percentage stands still (the erase before
// the transfer, the pauses and the restart after it), 40 s in all.
TEST_F(Progress, AStillPercentageShowsWhatTheJobWaitsForAndKeepsMoving) {
  std::deque<JobAnswer> answers(80, kRunning);
  answers.push_back(Outcome::Done);
  std::deque<uint32_t> percentages(80, 100);
  percentages[0] = 0;
  percentages[1] = 0;
  std::deque<ProgrammerState> states(80, ProgrammerState::TransferDone);
  std::fill(states.begin() + 40, states.end(), ProgrammerState::ConfirmApplication);
  states.front() = ProgrammerState::ReadyCheck;

  // A pipe: a line at least every 4 s, saying what the job waits for.
  io.states = states;
  Run(answers, percentages);
  EXPECT_NE(io.output.find("Waiting for the controller to write its flash (4 s)\r\n"),
            std::string::npos);
  EXPECT_NE(io.output.find("Waiting for the controller to restart ("), std::string::npos);
  for (std::size_t i = 1; i < io.printedAt.size(); ++i) {
    EXPECT_LE(io.printedAt[i] - io.printedAt[i - 1], 4000u) << "print " << i;
  }
  EXPECT_LE(io.now - io.printedAt.back(), 4000u);

  // A terminal: the same waits behind the percentage, gone when the job ends,
  // and in the run log.
  io.terminal = true;
  io.output.clear();
  io.logged.clear();
  io.now = 0;
  io.screen = Screen(6, 0);
  io.states = states;
  Run(answers, percentages);
  // The note behind the percentage leaves blanks where it stood.
  std::vector<std::string> shown;
  for (std::string l : io.screen.lines()) {
    l.erase(l.find_last_not_of(' ') + 1);
    if (!l.empty()) shown.push_back(l);
  }
  EXPECT_EQ(shown, std::vector<std::string>{"Programming: 100%"});
  EXPECT_NE(io.output.find(" waiting for the controller to restart."), std::string::npos);
  const std::vector<std::string> logged = {
      "Programming job: erasing, then asking whether the flash is ready",
      "Programming job: pausing while the flash is written",
      "Programming: 100%",
      "Waiting for the controller to write its flash",
      "Programming job: looking for the restarted application",
      "Waiting for the controller to restart"};
  EXPECT_EQ(io.logged, logged);
}

TEST_F(Progress, JobThatFailsBeforeTheFirstRefreshLeavesFailedBehindThePercentage) {
  Run({Outcome::PortNotOpened}, {0});
  EXPECT_EQ(io.output, "\r\nProgramming: 0%\r\nFAILED\r\n");
  EXPECT_EQ(update.programming, Outcome::PortNotOpened);
  EXPECT_EQ(io.logged, std::vector<std::string>{"Programming failed: job status 2"});
}

// A programming error: the percentage stays as it was, the error's three
// lines follow it, and the device is finished without a word to it (no
// search, no identity, no settle wait, no restart), while the device moved
// off the standard address goes back and the port is closed.
TEST_F(UpdateSteps, ProgrammingErrorIsSaidAndNothingMoreGoesToTheDevice) {
  std::vector<DeviceRecord> discovered = {Device("Com1", 16), Device("Com1", 20)};
  DeviceRecord device = discovered[1];
  DeviceUpdate update = UpdateOf(&device, discovered.data(), 2);
  io.jobAnswers = {kRunning, kRunning, Outcome::ProgrammingError};
  io.percentages = {5, 12, 20};
  ASSERT_EQ(Update_StartProgramming(&update), UpdateNext::ProgressAgain);
  ASSERT_EQ(discovered[0].address, 17);
  EXPECT_EQ(Update_PollProgress(&update), UpdateNext::ProgressAgain);
  EXPECT_EQ(Update_PollProgress(&update), UpdateNext::ProgressAgain);
  EXPECT_EQ(Update_PollProgress(&update), UpdateNext::FinishDevice);
  EXPECT_EQ(io.output,
            "\r\nProgramming: 0%\r\nProgramming: 5%\r\nProgramming: 12%\r\n"
            "\r\nPROGRAMMING ERROR (0x8A)\r\n"
            "Please Power Cycle The Unit and Restart This Application.\r\n");
  EXPECT_EQ(update.programming, Outcome::ProgrammingError);
  EXPECT_EQ(Update_JobStatus(update), 6);

  const std::size_t scans = static_cast<std::size_t>(io.scans);
  EXPECT_EQ(Update_Finish(&update), UpdateNext::NextDevice);
  EXPECT_EQ(discovered[0].address, 16);
  ASSERT_EQ(io.addressRequests.size(), 2u);
  EXPECT_EQ(io.addressRequests[1].station, 17);
  EXPECT_TRUE(io.messages.empty());
  EXPECT_TRUE(io.settled.empty());
  EXPECT_EQ(static_cast<std::size_t>(io.scans), scans);
  EXPECT_EQ(io.relocations, 0);
  EXPECT_EQ(io.closed, std::vector<std::string>{"Com1"});
}

TEST_F(Progress, OnATerminalThePercentageIsRewrittenInPlaceWhereverTheLineStarts) {
  struct Case {
    const char* name;
    int startRow;
    Outcome ending;
    const char* line;
  };
  const int rows = 6;
  for (const Case& c :
       {Case{"top row", 0, Outcome::Done, "Programming: 100%"},
        Case{"last row", rows - 1, Outcome::Done, "Programming: 100%"},
        Case{"last row, failed", rows - 1, Outcome::EntryFailed, "Programming: 100%FAILED"}}) {
    SCOPED_TRACE(c.name);
    io.terminal = true;
    io.output.clear();
    io.screen = Screen(rows, c.startRow);
    io.screen.Print("above");
    Run({kRunning, kRunning, kRunning, kRunning, c.ending}, {5, 40, 99, 100, 100});
    // Every percentage went into the one line, and the lines around it hold
    // nothing else.
    std::vector<std::string> shown;
    for (const std::string& l : io.screen.lines()) {
      if (!l.empty()) shown.push_back(l);
    }
    EXPECT_EQ(shown, (std::vector<std::string>{"above", c.line}));
    EXPECT_EQ(io.screen.column(), 0);
  }
}

// --- Two devices at once ------------------------------------------------------

// One device on a bus of its own, with the fake its update goes through: it
// displaces the device at the standard address 16, runs through the given
// percentages to the end of its job, and settles for 9 s when it is found
// again and when it is finished.
struct OwnBus {
  FakeIo io;
  std::vector<DeviceRecord> discovered;
  DeviceRecord device;
  DeviceUpdate update;

  OwnBus(const char* port, bool terminal, const std::vector<uint8_t>& addresses,
         int32_t firstSerial, const std::deque<uint32_t>& percentages) {
    for (const uint8_t address : addresses) {
      discovered.push_back(Device(port, address, firstSerial++));
    }
    device = discovered.back();
    DeviceRecord running = device;
    running.build = 180;
    io.answering = {running};
    io.terminal = terminal;
    io.screen = Screen(6, 0);
    io.settleMs = 9000;
    io.percentages = percentages;
    io.jobAnswers.assign(percentages.size() - 1, kRunning);
    io.jobAnswers.push_back(Outcome::Done);
    update.io = &io;
    update.device = &device;
    update.discovered = discovered.data();
    update.discoveredCount = static_cast<uint32_t>(discovered.size());
  }
  OwnBus(const OwnBus&) = delete;
  OwnBus& operator=(const OwnBus&) = delete;

  // The whole update: start, the progress line to the job's end, finding the
  // device again, and the finish.
  void Run() {
    UpdateNext next = Update_StartProgramming(&update);
    while (next == UpdateNext::ProgressAgain) next = Update_PollProgress(&update);
    EXPECT_EQ(next, UpdateNext::AfterProgramming);
    EXPECT_EQ(Update_Reconnect(&update), UpdateNext::RestoreSettings);
    EXPECT_EQ(Update_Finish(&update), UpdateNext::NextDevice);
  }
};

std::vector<std::string> PercentLines(const std::vector<uint32_t>& percentages) {
  std::vector<std::string> lines;
  for (const uint32_t p : percentages) lines.push_back("Programming: " + std::to_string(p) + "%");
  return lines;
}

// Two devices' updates, each on a thread of its own and in step with the
// other, show and do exactly what each shows and does when it runs alone:
// the progress line, the waits and the address change of one never reach
// the other.
TEST(TwoDevicesAtOnce, EachUpdateKeepsItsOwnProgressAddressChangeAndWaits) {
  // Device A on a terminal, B in a pipe; their percentages differ.
  const std::deque<uint32_t> percentA = {10, 20, 30, 40, 50, 60, 70, 80, 90, 100, 100};
  const std::deque<uint32_t> percentB = {5, 15, 25, 35, 45, 55, 65, 75, 85, 95, 100};
  auto makeA = [&] {
    return std::make_unique<OwnBus>("Com1", true, std::vector<uint8_t>{16, 20}, 100, percentA);
  };
  auto makeB = [&] {
    return std::make_unique<OwnBus>("Com2", false, std::vector<uint8_t>{16, 17, 20}, 200, percentB);
  };

  const auto aloneA = makeA();
  aloneA->Run();
  const auto aloneB = makeB();
  aloneB->Run();

  const auto a = makeA();
  const auto b = makeB();
  std::barrier<> lockstep(2);
  a->io.lockstep = &lockstep;
  b->io.lockstep = &lockstep;
  std::thread runA([&] { a->Run(); });
  std::thread runB([&] { b->Run(); });
  runA.join();
  runB.join();

  // Each shows what it shows alone.
  EXPECT_EQ(a->io.output, aloneA->io.output);
  EXPECT_EQ(a->io.screen.lines(), aloneA->io.screen.lines());
  EXPECT_EQ(a->io.logged, aloneA->io.logged);
  EXPECT_EQ(b->io.output, aloneB->io.output);
  EXPECT_EQ(b->io.logged, aloneB->io.logged);

  // A's percentages, rewritten in place, go to its run log; B's are lines.
  std::vector<std::string> loggedA;
  for (const std::string& line : a->io.logged) {
    if (line.rfind("Programming: ", 0) == 0) loggedA.push_back(line);
  }
  EXPECT_EQ(loggedA, PercentLines({10, 20, 30, 40, 50, 60, 70, 80, 90, 100}));
  std::string linesB = "\r\nProgramming: 0%\r\n";
  for (const std::string& line : PercentLines({5, 15, 25, 35, 45, 55, 65, 75, 85, 95, 100})) {
    linesB += line + "\r\n";
  }
  linesB += "\r\n";
  for (int wait = 0; wait < 2; ++wait) {
    linesB += "Waiting for the controller's settings to settle (4 s)\r\n"
              "Waiting for the controller's settings to settle (8 s)\r\n";
  }
  EXPECT_EQ(b->io.output, linesB);
  // None of B's percentages reached A's field.
  for (const unsigned percent : {5u, 15u, 25u, 35u, 45u, 55u, 65u, 75u, 85u, 95u}) {
    char field[8];
    std::snprintf(field, sizeof field, "%3u%%", percent);
    EXPECT_EQ(a->io.output.find(field), std::string::npos) << field;
  }
  // Each wait as its own screen shows it: dots on the terminal, lines in the pipe.
  EXPECT_NE(a->io.output.find("Waiting for the controller's settings to settle.."),
            std::string::npos);
  EXPECT_EQ(a->io.output.find(" s)"), std::string::npos);

  // Each displaced device was moved off 16 and back exactly once, on its own
  // bus, by its own update.
  const auto requests = [](const FakeIo& io) {
    std::vector<std::string> shown;
    for (const AddressRequest& r : io.addressRequests) {
      shown.push_back(r.port + " " + std::to_string(r.station) + "->" +
                      std::to_string(r.newAddress));
    }
    return shown;
  };
  EXPECT_EQ(requests(a->io), (std::vector<std::string>{"Com1 16->17", "Com1 17->16"}));
  EXPECT_EQ(requests(b->io), (std::vector<std::string>{"Com2 16->18", "Com2 18->16"}));
  EXPECT_EQ(a->discovered[0].address, 16);
  EXPECT_EQ(b->discovered[0].address, 16);
  EXPECT_TRUE(a->io.journal.empty());
  EXPECT_TRUE(b->io.journal.empty());
  EXPECT_EQ(a->io.settled, (std::vector<uint8_t>{20, 20}));
  EXPECT_EQ(b->io.settled, (std::vector<uint8_t>{20, 20}));
  EXPECT_EQ(a->io.closed, std::vector<std::string>{"Com1"});
  EXPECT_EQ(b->io.closed, std::vector<std::string>{"Com2"});
}

}  // namespace
