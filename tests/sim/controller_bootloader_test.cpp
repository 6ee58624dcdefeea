// Firmware updates through the bootloader and how the application comes up
// afterwards.
#include <gtest/gtest.h>

#include <memory>

#include "sim/controller.h"
#include "sim/firmware.h"
#include "tests/sim/controller_test_harness.h"

namespace {

using sim::Micros;
using simtest::Heard;
using simtest::TestBus;
using Bytes = std::vector<uint8_t>;

constexpr uint8_t kPc = 3;

class BootloaderTest : public ::testing::Test {
 protected:
  void Start() {
    controller = std::make_unique<sim::Controller>(config, protocol);
    bus.Attach(controller.get());
  }

  std::optional<Bytes> Ask(const Bytes& request) {
    std::optional<Heard> h = bus.Exchange(5, controller->address(), kPc, request);
    if (!h) return std::nullopt;
    return h->data;
  }

  Bytes Must(const Bytes& request) {
    std::optional<Bytes> a = Ask(request);
    if (!a) {
      ADD_FAILURE() << "no answer";
      return {0, 0, 0, 0};
    }
    return *a;
  }

  void Enter() {
    bus.Send(simtest::TestFrame(6, controller->address(), kPc,
                                {0x01, 0xEA, protocol.entryCode[0], protocol.entryCode[1],
                                 protocol.entryCode[2], protocol.entryCode[3]}));
    bus.RunFor(1'000'000);
  }

  void PrepareAndWait() {
    ASSERT_EQ(Must({0x01, 0xEC}), (Bytes{0x01, 0xEC}));
    bus.RunFor(static_cast<Micros>(config.eraseMs) * 1000);
    ASSERT_EQ(Must({0x01, 0xEE}), (Bytes{0x01, 0xED}));
  }

  static Bytes Block(uint32_t address, const uint8_t* data, uint8_t length) {
    Bytes b{0x01, 0xED, uint8_t(address >> 24), uint8_t(address >> 16), uint8_t(address >> 8),
            uint8_t(address), 0x00, length};
    b.insert(b.end(), data, data + length);
    return b;
  }

  // Sends the image block by block; the number of blocks acknowledged with
  // their own address.
  size_t Transfer(const Bytes& image) {
    size_t acked = 0;
    for (size_t i = 0; i * 128 < image.size(); ++i) {
      uint32_t address = sim::kFlashBase + uint32_t(i * 128);
      std::optional<Bytes> a = Ask(Block(address, image.data() + i * 128, 128));
      Bytes ack = Block(address, image.data(), 0);
      ack.resize(6);
      if (a != ack) break;
      ++acked;
    }
    return acked;
  }

  void Restart() {
    EXPECT_EQ(Must({0x01, 0xEF})[1], 0xEF);
    bus.RunFor(static_cast<Micros>(config.bootMs) * 1000 + 100'000);
  }

  bool InBootloader() { return Must({0x01, 0x01})[3] == 0xCC; }

  void Update(const Bytes& image) {
    Enter();
    PrepareAndWait();
    ASSERT_EQ(Transfer(image), image.size() / 128);
    Restart();
  }

  sim::ControllerConfig config = [] {
    sim::ControllerConfig c;
    c.address = 17;
    c.hardwareId = 28;
    c.release = 14;
    c.prototype = 0;
    c.build = 172;
    c.modelNumber = "QD4010A-6AC1100";
    c.eraseMs = 2500;
    return c;
  }();
  sim::DeviceProtocol protocol;
  std::unique_ptr<sim::Controller> controller;
  TestBus bus;
  Bytes newImage = sim::BuildImage(28, 14, 0, 180, 24, 128);
};

TEST_F(BootloaderTest, EntryCodeStartsTheBootloaderWhichIdentifiesItself) {
  Start();
  Enter();
  EXPECT_TRUE(InBootloader());
  Bytes id = Must({0x01, 0xEB});
  ASSERT_GE(id.size(), 3u);
  EXPECT_EQ(id[2], 28);
  EXPECT_EQ(std::string(id.begin() + 3, id.end()), "QD4XXXX-XXXXXXX");
}

TEST_F(BootloaderTest, WrongEntryCodeIsIgnored) {
  Start();
  bus.Send(simtest::TestFrame(6, 17, kPc, {0x01, 0xEA, 0x42, 0x52, 0x56, 0x00}));
  bus.RunFor(1'000'000);
  EXPECT_FALSE(InBootloader());
  EXPECT_EQ(controller->mode(), sim::Controller::Mode::kApplication);
}

TEST_F(BootloaderTest, ReadyCheckAnswersReadyOnlyOnceTheEraseIsDone) {
  Start();
  Enter();
  EXPECT_EQ(Must({0x01, 0xEC}), (Bytes{0x01, 0xEC}));
  EXPECT_NE(Must({0x01, 0xEE})[1], 0xED);
  Bytes early = Block(sim::kFlashBase, newImage.data(), 128);
  EXPECT_EQ(Must(early), (Bytes{0x01, sim::kNotErased}));
  bus.RunFor(2'000'000);
  EXPECT_NE(Must({0x01, 0xEE})[1], 0xED);
  bus.RunFor(600'000);
  EXPECT_EQ(Must({0x01, 0xEE}), (Bytes{0x01, 0xED}));
}

TEST_F(BootloaderTest, FullImageUpdateBringsTheApplicationBackWithTheNewVersion) {
  Start();
  Bytes full = sim::BuildImage(28, 14, 0, 180, 1904, 128);
  controller->SetExpectedImage(full);
  EXPECT_FALSE(controller->FlashHoldsExpected());
  Update(full);
  EXPECT_FALSE(InBootloader());
  EXPECT_EQ(controller->mode(), sim::Controller::Mode::kApplication);
  EXPECT_EQ(controller->IdentityNumber(5), 180u);
  EXPECT_TRUE(controller->FlashHoldsExpected());
  std::string report = controller->ReportJson();
  EXPECT_NE(report.find("\"version\": \"14.00.180\""), std::string::npos) << report;
  EXPECT_NE(report.find("\"flash_matches_expected\": true"), std::string::npos) << report;
  EXPECT_NE(report.find("\"mode\": \"application\""), std::string::npos) << report;
  EXPECT_EQ(controller->address(), 17);
  EXPECT_TRUE(controller->ChangedSettings().empty());
  // The version as a scan reads it.
  EXPECT_EQ(Must({0x01, 0x03, 0x01, 0x01, 0x05, 0x01}), (Bytes{0x01, 0x03, 0x01, 0x01, 0x05, 0x01,
                                                             0x05, 0, 0, 0, 180}));
}

TEST_F(BootloaderTest, InvalidImageLeavesTheStationInItsBootloader) {
  Start();
  Bytes bad = newImage;
  bad[1000] ^= 0x01;
  Update(bad);
  EXPECT_TRUE(InBootloader());
  EXPECT_EQ(controller->mode(), sim::Controller::Mode::kBootloader);
}

TEST_F(BootloaderTest, ImageForOtherHardwareLeavesTheStationInItsBootloader) {
  Start();
  Update(sim::BuildImage(23, 14, 0, 180, 24, 128));
  EXPECT_TRUE(InBootloader());
}

TEST_F(BootloaderTest, BlockOutsideTheFlashIsAProgrammingError) {
  Start();
  Enter();
  PrepareAndWait();
  EXPECT_EQ(Must(Block(sim::kFlashEnd - 64, newImage.data(), 128)),
            (Bytes{0x01, sim::kProgrammingError}));
  EXPECT_EQ(Must(Block(sim::kFlashBase - 128, newImage.data(), 128)),
            (Bytes{0x01, sim::kProgrammingError}));
}

TEST_F(BootloaderTest, ProgrammingErrorAtTheConfiguredBlock) {
  config.programError = true;
  config.programErrorBlock = 5;
  Start();
  Enter();
  PrepareAndWait();
  EXPECT_EQ(Transfer(newImage), 5u);
  EXPECT_EQ(Must(Block(sim::kFlashBase + 5 * 128, newImage.data() + 5 * 128, 128)),
            (Bytes{0x01, sim::kProgrammingError}));
}

TEST_F(BootloaderTest, PowerCutDuringTransferLeavesTheStationInItsBootloader) {
  config.powerCut = {sim::Moment::Kind::kBlock, 10};
  config.powerOffMs = 1500;
  Start();
  Enter();
  PrepareAndWait();
  EXPECT_EQ(Transfer(newImage), 10u);
  EXPECT_EQ(controller->mode(), sim::Controller::Mode::kOff);
  EXPECT_FALSE(Ask({0x01, 0x01}));
  bus.RunFor(1'600'000);
  EXPECT_TRUE(InBootloader());
}

TEST_F(BootloaderTest, RebootAtAChosenTimeComesBackAsTheApplication) {
  config.reboot = {sim::Moment::Kind::kTime, 200};
  config.bootMs = 800;
  Start();
  bus.RunFor(300'000);
  EXPECT_EQ(controller->mode(), sim::Controller::Mode::kOff);
  EXPECT_FALSE(Ask({0x01, 0x01}));
  bus.RunFor(800'000);
  EXPECT_FALSE(InBootloader());
}

TEST_F(BootloaderTest, ControllerFoundInItsBootloaderStaysThereUntilProgrammed) {
  config.startInBootloader = true;
  Start();
  EXPECT_TRUE(InBootloader());
  Restart();
  EXPECT_TRUE(InBootloader());
  PrepareAndWait();
  ASSERT_EQ(Transfer(newImage), 24u);
  Restart();
  EXPECT_FALSE(InBootloader());
  EXPECT_EQ(controller->IdentityNumber(5), 180u);
}

TEST_F(BootloaderTest, ApplicationRestartNeedsTheRestartCode) {
  Start();
  EXPECT_EQ(Must({0x01, 0xEF, 0x00, 0x00, 0x00, 0x00}), (Bytes{0x01, sim::kBadValue}));
  EXPECT_EQ(controller->mode(), sim::Controller::Mode::kApplication);
  Bytes restart{0x01, 0xEF, protocol.restartCode[0], protocol.restartCode[1],
                protocol.restartCode[2], protocol.restartCode[3]};
  EXPECT_EQ(Must(restart), (Bytes{0x01, 0xEF}));
  bus.RunFor(50'000);
  EXPECT_EQ(controller->mode(), sim::Controller::Mode::kOff);
  bus.RunFor(600'000);
  EXPECT_FALSE(InBootloader());
}

TEST_F(BootloaderTest, AfterUpdateKeepsSettingsByDefaultOrLosesThemWhenSoConfigured) {
  config.keepSettingsAfterUpdate = false;
  Start();
  Update(newImage);
  EXPECT_FALSE(InBootloader());
  std::vector<std::string> changed = controller->ChangedSettings();
  EXPECT_FALSE(changed.empty());
  EXPECT_EQ(std::count(changed.begin(), changed.end(), "2.1.1"), 1);
  EXPECT_NE(controller->ReportJson().find("\"settings_changed\": [\"2.1.1\", "), std::string::npos);
}

TEST_F(BootloaderTest, AfterUpdateComesUpAtTheStandardAddressOfItsHardware) {
  config.standardAddressAfterUpdate = true;
  Start();
  Update(newImage);
  EXPECT_EQ(controller->address(), 16);
  EXPECT_FALSE(bus.Exchange(5, 17, kPc, {0x01, 0x01}, 100'000));
  ASSERT_TRUE(bus.Exchange(5, 16, kPc, {0x01, 0x01}));

  config.hardwareId = 25;
  config.address = 20;
  sim::Controller other(config, protocol);
  TestBus otherBus;
  otherBus.Attach(&other);
  controller.reset();
  EXPECT_EQ(other.address(), 20);
  Bytes image25 = sim::BuildImage(25, 12, 0, 3, 24, 128);
  otherBus.Send(simtest::TestFrame(6, 20, kPc, {0x01, 0xEA, 0x42, 0x52, 0x56, 0x4E}));
  otherBus.RunFor(1'000'000);
  ASSERT_TRUE(otherBus.Exchange(5, 20, kPc, {0x01, 0xEC}));
  otherBus.RunFor(3'000'000);
  for (size_t i = 0; i < 24; ++i) {
    ASSERT_TRUE(otherBus.Exchange(5, 20, kPc, Block(sim::kFlashBase + uint32_t(i * 128),
                                                    image25.data() + i * 128, 128)));
  }
  ASSERT_TRUE(otherBus.Exchange(5, 20, kPc, {0x01, 0xEF}));
  otherBus.RunFor(700'000);
  EXPECT_EQ(other.address(), 32);
  EXPECT_EQ(other.mode(), sim::Controller::Mode::kApplication);
}

TEST_F(BootloaderTest, AfterUpdateComesUpInModbusMode) {
  config.modbusAfterUpdate = true;
  Start();
  Update(newImage);
  EXPECT_EQ(controller->mode(), sim::Controller::Mode::kApplication);
  EXPECT_TRUE(controller->modbus());
  EXPECT_EQ(controller->Baud(), 9600u);
  EXPECT_FALSE(Ask({0x01, 0x01}));
}

TEST_F(BootloaderTest, AfterUpdateModelNumberHoldsPlaceholders) {
  config.placeholderModelAfterUpdate = true;
  Start();
  Update(newImage);
  EXPECT_EQ(controller->IdentityText(9), "QD4XXXX-XXXXXXX");
  EXPECT_EQ(controller->IdentityText(11), config.deviceName);
}

// A power cut or reboot set for the Nth settings read or write (a backup's or
// a restore's) takes that request unanswered; identity and status reads and
// the settle request around them are not counted.
struct SettingsCut {
  sim::Moment::Kind kind;
  uint64_t count;
  bool powerCut;
  size_t unansweredRequest;  // index into the sequence below
};

class SettingsCutTest : public BootloaderTest, public ::testing::WithParamInterface<SettingsCut> {};

TEST_P(SettingsCutTest, TakesTheCountedRequestUnansweredAndComesBack) {
  const SettingsCut cut = GetParam();
  (cut.powerCut ? config.powerCut : config.reboot) = {cut.kind, cut.count};
  Start();
  const Bytes identity{0x01, 0x03, 0x01, 0x01, 0x07, 0x01};
  const Bytes status{0x01, 0x05, 0x10, 0x01};
  const Bytes settle{0x01, 0x04, 0x11, 0x33, 0x01, 0x07, 0x01, 0x6A};
  // Reads of loops 1 and 2, each written back as read (empty: the write).
  const std::vector<Bytes> sequence{identity, status, {0x01, 0x05, 0x02, 0x01}, settle,
                                    {},       {0x01, 0x05, 0x02, 0x02},      {}};
  Bytes lastRead;
  for (size_t i = 0; i < sequence.size(); ++i) {
    Bytes request = sequence[i];
    if (request.empty()) {
      request = lastRead;
      request[1] = 0x0A;
    }
    std::optional<Bytes> answer = Ask(request);
    if (i == cut.unansweredRequest) {
      EXPECT_FALSE(answer) << "request " << i;
      EXPECT_EQ(controller->mode(), sim::Controller::Mode::kOff);
      break;
    }
    ASSERT_TRUE(answer) << "request " << i;
    if (request[1] == 0x05) lastRead = *answer;
  }
  bus.RunFor(static_cast<Micros>(cut.powerCut ? config.powerOffMs : config.bootMs) * 1000 +
             200'000);
  EXPECT_EQ(controller->mode(), sim::Controller::Mode::kApplication);
  EXPECT_EQ(Must(identity)[1], 0x03);
  const std::string counted = cut.powerCut ? "\"power_cuts\": 1" : "\"reboots\": 1";
  EXPECT_NE(controller->ReportJson().find(counted), std::string::npos) << controller->ReportJson();
}

INSTANTIATE_TEST_SUITE_P(
    ReadsAndWrites, SettingsCutTest,
    ::testing::Values(SettingsCut{sim::Moment::Kind::kRead, 1, false, 2},
                      SettingsCut{sim::Moment::Kind::kRead, 2, true, 5},
                      SettingsCut{sim::Moment::Kind::kWrite, 1, true, 4},
                      SettingsCut{sim::Moment::Kind::kWrite, 2, false, 6}));

}  // namespace
