// What the emulator runs: one bus with its endpoints, line faults, the
// device-protocol constants and the controllers on it. The file format is
// described in README-scenario.md.
#pragma once

#include <array>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace sim {

// Constants that the devices' protocol uses and the product must know.
struct DeviceProtocol {
  std::array<uint8_t, 4> entryCode{0x42, 0x52, 0x56, 0x4E};    // "BRVN"
  std::array<uint8_t, 4> restartCode{0x52, 0x53, 0x54, 0x21};  // "RST!"
  std::array<uint8_t, 2> unlockCode{0x55, 0x4C};               // "UL"
};

struct LineFaults {
  double corruptRate = 0.0;  // probability that an octet is garbled
  double lossRate = 0.0;     // probability that a frame is lost
  uint32_t latencyMs = 0;    // extra delay of every answer
  uint32_t jitterMs = 0;     // random extra delay of every answer, 0..jitter
};

// A moment at which something happens to a controller: a bus time, or the
// arrival of a given firmware block.
struct Moment {
  enum class Kind { kNone, kTime, kBlock, kRead, kWrite };
  Kind kind = Kind::kNone;
  // ms of bus time; block number (128-byte blocks from the flash start); or
  // the count, from 1, of the settings read or write requests received
  uint64_t value = 0;
};

struct ControllerConfig {
  uint8_t address = 16;
  uint8_t hardwareId = 28;
  uint32_t softwareId = 1;
  uint8_t release = 14;
  uint8_t prototype = 0;
  uint16_t build = 180;
  int32_t serialNumber = 1;
  std::string modelNumber = "QD4010A-6AC1100";
  std::string deviceName = "Controller";
  std::string bootModel;  // empty: derived from the model number

  uint8_t maxMaster = 127;
  uint8_t maxInfoFrames = 1;
  uint32_t usageTimeoutMs = 50;

  bool startInBootloader = false;
  bool startInModbus = false;

  bool silent = false;
  uint32_t latencyMs = 0;
  // How long the line driver stays on after the station's last octet.
  uint32_t driverReleaseUs = 1000;
  bool replyPostponed = false;

  uint32_t eraseMs = 3000;
  uint32_t settleMs = 4000;
  uint32_t bootMs = 500;

  bool programError = false;
  uint32_t programErrorBlock = 0;
  Moment powerCut;
  uint32_t powerOffMs = 2000;
  Moment reboot;

  // How the application comes up after its firmware was replaced.
  bool keepSettingsAfterUpdate = true;
  bool standardAddressAfterUpdate = false;
  bool modbusAfterUpdate = false;
  bool placeholderModelAfterUpdate = false;
};

// How the PC's USB-RS485 adapter hands received octets to the PC: in
// packets, when `packet` octets have gathered or `latencyMs` after the first
// of them arrived. Latency 0: each octet as its stop bit ends.
struct AdapterBatching {
  uint32_t latencyMs = 0;
  uint32_t packet = 62;
};

struct Scenario {
  std::vector<std::string> ports{"com1"};
  AdapterBatching adapter;
  uint32_t baud = 38400;
  uint64_t seed = 1;
  LineFaults faults;
  DeviceProtocol protocol;
  std::string expectedImage;  // image file the flashes are compared with; may be empty
  std::vector<ControllerConfig> controllers;
};

class ScenarioError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Parses scenario text; `origin` names it in error messages
// ("origin:line: message"). Relative image paths stay as written.
Scenario ParseScenario(std::string_view text, const std::string& origin);
// Reads and parses a file; a relative image path is taken from the file's folder.
Scenario LoadScenario(const std::string& path);
Scenario DefaultScenario();

// The model text that a bootloader reports for a model number: its first
// three characters and its dashes kept, every other character 'X'.
std::string BootModelOf(const std::string& modelNumber);

}  // namespace sim
