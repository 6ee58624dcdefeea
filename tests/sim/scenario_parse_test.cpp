// Scenario files: what they set, and the errors that name the offending line.
#include <gtest/gtest.h>

#include <fstream>

#include "sim/scenario.h"

namespace {

std::string ErrorOf(const std::string& text) {
  try {
    sim::ParseScenario(text, "s.txt");
  } catch (const sim::ScenarioError& e) {
    return e.what();
  }
  return "";
}

TEST(ScenarioParseTest, ReadsBusAndControllerSettings) {
  sim::Scenario s = sim::ParseScenario(R"(
# two stations
[bus]
ports = com1 com2
baud = 38400
seed = 42
corrupt_rate = 0.001
loss_rate = 0.01
latency_ms = 5
jitter_ms = 2
adapter_latency_ms = 16
adapter_packet = 32
entry_code = 0x01 02 03 04
restart_code = AA BB CC DD
unlock_code = 12 34
expected_image = images/qd.bin

[controller]
address = 16
hardware_id = 25
version = 11.01.77
serial = -5
model = QT1100C-2BA0010
name = Tank level 2
start = bootloader
protocol = modbus
max_master = 31
program_error_block = 100
power_cut_at = block 12
reboot_at = time 2500
after_update_settings = lose
after_update_address = standard
after_update_protocol = modbus
after_update_model = placeholder
silent = no
reply_postponed = yes
latency_ms = 300
driver_release_ms = 1.04

[controller]
address = 17
)", "s.txt");
  EXPECT_EQ(s.ports, (std::vector<std::string>{"com1", "com2"}));
  EXPECT_EQ(s.seed, 42u);
  EXPECT_DOUBLE_EQ(s.faults.corruptRate, 0.001);
  EXPECT_DOUBLE_EQ(s.faults.lossRate, 0.01);
  EXPECT_EQ(s.faults.latencyMs, 5u);
  EXPECT_EQ(s.faults.jitterMs, 2u);
  EXPECT_EQ(s.adapter.latencyMs, 16u);
  EXPECT_EQ(s.adapter.packet, 32u);
  EXPECT_EQ(s.protocol.entryCode, (std::array<uint8_t, 4>{1, 2, 3, 4}));
  EXPECT_EQ(s.protocol.restartCode, (std::array<uint8_t, 4>{0xAA, 0xBB, 0xCC, 0xDD}));
  EXPECT_EQ(s.protocol.unlockCode, (std::array<uint8_t, 2>{0x12, 0x34}));
  EXPECT_EQ(s.expectedImage, "images/qd.bin");
  ASSERT_EQ(s.controllers.size(), 2u);
  const sim::ControllerConfig& c = s.controllers[0];
  EXPECT_EQ(c.address, 16);
  EXPECT_EQ(c.hardwareId, 25);
  EXPECT_EQ(c.release, 11);
  EXPECT_EQ(c.prototype, 1);
  EXPECT_EQ(c.build, 77);
  EXPECT_EQ(c.serialNumber, -5);
  EXPECT_EQ(c.deviceName, "Tank level 2");
  EXPECT_TRUE(c.startInBootloader);
  EXPECT_TRUE(c.startInModbus);
  EXPECT_EQ(c.maxMaster, 31);
  EXPECT_TRUE(c.programError);
  EXPECT_EQ(c.programErrorBlock, 100u);
  EXPECT_EQ(c.powerCut.kind, sim::Moment::Kind::kBlock);
  EXPECT_EQ(c.powerCut.value, 12u);
  EXPECT_EQ(c.reboot.kind, sim::Moment::Kind::kTime);
  EXPECT_EQ(c.reboot.value, 2500u);
  EXPECT_FALSE(c.keepSettingsAfterUpdate);
  EXPECT_TRUE(c.standardAddressAfterUpdate);
  EXPECT_TRUE(c.modbusAfterUpdate);
  EXPECT_TRUE(c.placeholderModelAfterUpdate);
  EXPECT_FALSE(c.silent);
  EXPECT_TRUE(c.replyPostponed);
  EXPECT_EQ(c.latencyMs, 300u);
  EXPECT_EQ(c.driverReleaseUs, 1040u);
  // Unset keys keep their defaults.
  EXPECT_EQ(s.controllers[1].driverReleaseUs, 1000u);
  EXPECT_EQ(sim::ParseScenario("[controller]\n", "s.txt").adapter.latencyMs, 0u);
  EXPECT_EQ(s.controllers[1].hardwareId, 28);
  EXPECT_TRUE(s.controllers[1].keepSettingsAfterUpdate);
  EXPECT_FALSE(s.controllers[1].programError);
}

TEST(ScenarioParseTest, CutsAtACountOfSettingsReadsOrWrites) {
  sim::Scenario s = sim::ParseScenario("[controller]\npower_cut_at = read 3\nreboot_at = write 7\n",
                                       "s.txt");
  EXPECT_EQ(s.controllers[0].powerCut.kind, sim::Moment::Kind::kRead);
  EXPECT_EQ(s.controllers[0].powerCut.value, 3u);
  EXPECT_EQ(s.controllers[0].reboot.kind, sim::Moment::Kind::kWrite);
  EXPECT_EQ(s.controllers[0].reboot.value, 7u);
}

TEST(ScenarioParseTest, ErrorsNameTheFileAndLine) {
  EXPECT_EQ(ErrorOf("[bus]\nbaud = 12345\n[controller]\n"), "s.txt:2: baud must be 9600, 19200 or 38400");
  EXPECT_EQ(ErrorOf("[controller]\naddress = 128\n"), "s.txt:2: number too large: 128");
  EXPECT_EQ(ErrorOf("[controller]\n\n# c\ncolour = red\n"), "s.txt:4: unknown controller key 'colour'");
  EXPECT_EQ(ErrorOf("address = 16\n"), "s.txt:1: 'address' outside a section");
  EXPECT_EQ(ErrorOf("[controller]\naddress 16\n"), "s.txt:2: expected key = value");
  EXPECT_EQ(ErrorOf("[controller]\naddress = 16\naddress = 17\n"), "s.txt:3: 'address' given twice");
  EXPECT_EQ(ErrorOf("[controller]\naddress = 16\n[controller]\naddress = 16\n"),
            "s.txt:3: address 16 used twice");
  EXPECT_EQ(ErrorOf("[bus]\nunlock_code = 55 4E 4C 4B\n[controller]\n"), "s.txt:2: expected 2 bytes");
  EXPECT_EQ(ErrorOf("[bus]\nentry_code = 42 52 5G 4E\n[controller]\n"),
            "s.txt:2: not a hexadecimal byte: '5G'");
  EXPECT_EQ(ErrorOf("[controller]\nversion = 14.0\n"), "s.txt:2: version must be RELEASE.PROTOTYPE.BUILD");
  EXPECT_EQ(ErrorOf("[controller]\npower_cut_at = soon 5\n"),
            "s.txt:2: expected 'time MS', 'block N', 'read N' or 'write N': 'soon 5'");
  EXPECT_EQ(ErrorOf("[controller]\nsilent = maybe\n"), "s.txt:2: expected yes or no: 'maybe'");
  EXPECT_EQ(ErrorOf("[bus]\nloss_rate = 1.5\n[controller]\n"),
            "s.txt:2: rate must be between 0 and 1: '1.5'");
  EXPECT_EQ(ErrorOf("[bus]\nadapter_packet = 0\n[controller]\n"),
            "s.txt:2: adapter_packet must be at least 1");
  EXPECT_EQ(ErrorOf("[controller]\ndriver_release_ms = 0.0005\n"),
            "s.txt:2: expected milliseconds with up to three decimals: '0.0005'");
  EXPECT_EQ(ErrorOf("[controller]\ndriver_release_ms = 100.5\n"), "s.txt:2: number too large: 100.5");
  EXPECT_EQ(ErrorOf("[controller]\ndriver_release_ms = 1.\n"),
            "s.txt:2: expected milliseconds with up to three decimals: '1.'");
  EXPECT_EQ(ErrorOf("[bus]\n"), "s.txt:0: no [controller] section");
  EXPECT_EQ(ErrorOf("[busses]\n"), "s.txt:1: unknown section [busses]");
  EXPECT_EQ(ErrorOf("[controller]\nmodel = QD4010A-6AC1100-0123456789ABCDEF\n"),
            "s.txt:2: text must have 1 to 31 characters");
}

TEST(ScenarioParseTest, PortNamesThatLeaveThePortDirectoryOrRepeatAreRefused) {
  struct Case {
    const char* ports;
    const char* error;
  };
  const Case refused[] = {
      {"/tmp/victim", "s.txt:2: port name '/tmp/victim' is a path; name a port like com1, without '/'"},
      {"com1 ../x", "s.txt:2: port name '../x' is a path; name a port like com1, without '/'"},
      {"sub/com1", "s.txt:2: port name 'sub/com1' is a path; name a port like com1, without '/'"},
      {"..", "s.txt:2: port name '..' is a path; name a port like com1, without '/'"},
      {".", "s.txt:2: port name '.' is a path; name a port like com1, without '/'"},
      {"com1 com2 com1", "s.txt:2: port 'com1' named twice"},
      {"com1 COM1", "s.txt:2: port 'COM1' named twice (as 'com1')"},
  };
  for (const Case& c : refused) {
    EXPECT_EQ(ErrorOf(std::string("[bus]\nports = ") + c.ports + "\n[controller]\n"), c.error) << c.ports;
  }
  const sim::Scenario s =
      sim::ParseScenario("[bus]\nports = com1 com10 ...x .com2\n[controller]\n", "s.txt");
  EXPECT_EQ(s.ports, (std::vector<std::string>{"com1", "com10", "...x", ".com2"}));
}

TEST(ScenarioParseTest, DefaultScenarioHasFourApplicationsAndOneBootloaderOnCom1) {
  sim::Scenario s = sim::DefaultScenario();
  EXPECT_EQ(s.ports, (std::vector<std::string>{"com1"}));
  EXPECT_EQ(s.baud, 38400u);
  EXPECT_EQ(s.protocol.entryCode, (std::array<uint8_t, 4>{0x42, 0x52, 0x56, 0x4E}));
  EXPECT_EQ(s.protocol.restartCode, (std::array<uint8_t, 4>{0x52, 0x53, 0x54, 0x21}));
  ASSERT_EQ(s.controllers.size(), 5u);
  std::vector<int> addresses;
  int inBootloader = 0;
  int older = 0;
  int current = 0;
  for (const sim::ControllerConfig& c : s.controllers) {
    addresses.push_back(c.address);
    if (c.startInBootloader) {
      ++inBootloader;
      EXPECT_EQ(c.address, 19);
    }
    if (c.hardwareId == 28 && !c.startInBootloader) {
      (c.build < 180 ? older : current) += 1;
    }
  }
  EXPECT_EQ(addresses, (std::vector<int>{16, 17, 18, 19, 20}));
  EXPECT_EQ(inBootloader, 1);
  EXPECT_EQ(older, 1);
  EXPECT_EQ(current, 1);
}

TEST(ScenarioParseTest, LoadTakesARelativeImagePathFromTheScenarioFolder) {
  std::string dir = ::testing::TempDir();
  std::string path = dir + "scenario_parse_test.txt";
  {
    std::ofstream out(path);
    out << "[bus]\nexpected_image = qd.bin\n[controller]\naddress = 16\n";
  }
  sim::Scenario s = sim::LoadScenario(path);
  EXPECT_EQ(s.expectedImage, dir + "qd.bin");
  EXPECT_THROW(sim::LoadScenario(path + ".missing"), sim::ScenarioError);
}

TEST(ScenarioParseTest, BootModelKeepsPrefixAndDashes) {
  EXPECT_EQ(sim::BootModelOf("QD4010A-6AC1100"), "QD4XXXX-XXXXXXX");
  EXPECT_EQ(sim::BootModelOf("AB"), "AB");
}

}  // namespace
