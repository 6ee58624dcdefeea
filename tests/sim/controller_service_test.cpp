// Service messages answered by an application, request by request, as a
// client on the bus sees them.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <memory>

#include "sim/controller.h"
#include "tests/sim/controller_test_harness.h"

namespace {

using simtest::Heard;
using simtest::TestBus;
using Bytes = std::vector<uint8_t>;
using sim::Micros;

constexpr uint8_t kPc = 3;

class ServiceTest : public ::testing::Test {
 protected:
  void Start(sim::ControllerConfig config = {}) {
    config.address = 16;
    config.hardwareId = 28;
    config.serialNumber = 4410021;
    config.modelNumber = "QD4010A-6AC1100";
    config.deviceName = "Boiler 1";
    config.release = 14;
    config.prototype = 0;
    config.build = 172;
    config.settleMs = 7000;
    controller = std::make_unique<sim::Controller>(config, protocol);
    bus.Attach(controller.get());
  }

  Bytes Ask(const Bytes& request, uint8_t station = 16) {
    std::optional<Heard> h = bus.Exchange(5, station, kPc, request);
    if (!h) {
      ADD_FAILURE() << "no answer";
      return {0x00, 0x00};  // lets the caller's checks fail without reading past the end
    }
    EXPECT_TRUE(h->valid);
    EXPECT_EQ(h->type, 6);
    return h->data;
  }

  sim::DeviceProtocol protocol;
  std::unique_ptr<sim::Controller> controller;
  TestBus bus;
};

TEST_F(ServiceTest, ProbeAnswersAsApplication) {
  Start();
  Bytes a = Ask({0x01, 0x01});
  ASSERT_GE(a.size(), 4u);
  EXPECT_EQ(a[1], 0x01);
  EXPECT_NE(a[3], 0xCC);
}

TEST_F(ServiceTest, ReadInstanceOfIdentityDecodesToTheConfiguredIdentity) {
  Start();
  Bytes a = Ask({0x01, 0x05, 0x01, 0x01});
  ASSERT_GE(a.size(), 5u);
  EXPECT_EQ(a[2], 1);
  EXPECT_EQ(a[3], 1);
  // Walk the items as a scan does: member byte, type byte, value.
  std::map<uint8_t, Bytes> items;
  size_t at = 5;
  for (unsigned n = 0; n < a[4]; ++n) {
    ASSERT_LT(at + 1, a.size());
    uint8_t member = a[at++];
    uint8_t type = a[at];
    size_t size = (type == 5 || type == 6) ? 5 : (type == 9 || type == 7) ? a[at + 1] + 2u : 0;
    ASSERT_NE(size, 0u) << "unexpected type " << int(type);
    items[member] = Bytes(a.begin() + long(at), a.begin() + long(at + size));
    at += size;
  }
  EXPECT_EQ(at, a.size());
  EXPECT_EQ(items[1], (Bytes{5, 0, 0, 0, 28}));
  EXPECT_EQ(items[3], (Bytes{5, 0, 0, 0, 14}));
  EXPECT_EQ(items[4], (Bytes{5, 0, 0, 0, 0}));
  EXPECT_EQ(items[5], (Bytes{5, 0, 0, 0, 172}));
  EXPECT_EQ(items[7], (Bytes{6, 0x00, 0x43, 0x4A, 0xA5}));  // 4410021
  Bytes model{9, 16};
  for (char ch : std::string("QD4010A-6AC1100")) model.push_back(uint8_t(ch));
  model.push_back(0);
  EXPECT_EQ(items[9], model);
  EXPECT_EQ(items[11], (Bytes{9, 9, 'B', 'o', 'i', 'l', 'e', 'r', ' ', '1', 0}));
}

TEST_F(ServiceTest, DirectoryListsClassesAndInstances) {
  Start();
  Bytes classes = Ask({0x01, 0x02, 0x02});
  ASSERT_GE(classes.size(), 4u);
  Bytes list(classes.begin() + 4, classes.end());
  EXPECT_EQ(list.size(), classes[3]);
  EXPECT_EQ(list, (Bytes{1, 2, 3, 5, 16, 17}));

  Bytes inputs = Ask({0x01, 0x02, 0x03, 0x03});
  ASSERT_GE(inputs.size(), 5u);
  EXPECT_EQ(inputs[4], 3);
  EXPECT_EQ(Bytes(inputs.begin() + 5, inputs.end()), (Bytes{1, 2, 3}));

  EXPECT_EQ(Ask({0x01, 0x02, 0x03, 0x09}), (Bytes{0x01, sim::kUnknownItem}));
}

TEST_F(ServiceTest, WrittenMemberReadsBackAndIsReportedAsChanged) {
  Start();
  Bytes read = Ask({0x01, 0x03, 0x01, 0x02, 0x01, 0x01});
  ASSERT_EQ(read.size(), 9u);
  EXPECT_EQ(read[6], 4);  // setpoint is a type-4 value

  Bytes w = Ask({0x01, 0x04, 0x02, 0x01, 0x01, 0x04, 0x03, 0x20});
  EXPECT_EQ(w[1], 0x04);
  EXPECT_EQ(Ask({0x01, 0x03, 0x01, 0x02, 0x01, 0x01}),
            (Bytes{0x01, 0x03, 0x01, 0x02, 0x01, 0x01, 0x04, 0x03, 0x20}));
  EXPECT_EQ(controller->ChangedSettings(), (std::vector<std::string>{"2.1.1"}));
}

TEST_F(ServiceTest, RefusesWritesItCannotTake) {
  Start();
  uint32_t digest = controller->SettingsDigest();
  // Wrong type for a type-4 member.
  EXPECT_EQ(Ask({0x01, 0x04, 0x02, 0x01, 0x01, 0x03, 0x03, 0x20})[1], sim::kWrongType);
  // Factory calibration is read-only.
  EXPECT_EQ(Ask({0x01, 0x04, 0x03, 0x07, 0x01, 0x0D, 0x01, 0x02, 0x03})[1], sim::kReadOnly);
  // No such member.
  EXPECT_EQ(Ask({0x01, 0x04, 0x02, 0x63, 0x01, 0x01, 0x00})[1], sim::kUnknownItem);
  // Live status is never a setting.
  EXPECT_EQ(Ask({0x01, 0x04, 0x10, 0x09, 0x01, 0x06, 0, 0, 0, 1})[1], sim::kReadOnly);
  // A value that runs past the message.
  EXPECT_EQ(Ask({0x01, 0x04, 0x02, 0x01, 0x01, 0x04, 0x03})[1], sim::kWrongType);
  EXPECT_EQ(controller->SettingsDigest(), digest);
}

TEST_F(ServiceTest, ReadInstanceAnswerWrittenBackAsWriteInstanceIsAccepted) {
  Start();
  Bytes before = Ask({0x01, 0x05, 0x02, 0x02});
  ASSERT_GT(before.size(), 5u);
  ASSERT_EQ(Ask({0x01, 0x04, 0x02, 0x02, 0x02, 0x03, 0x00, 0x07})[1], 0x04);
  ASSERT_EQ(controller->ChangedSettings().size(), 1u);
  Bytes restore{0x01, 0x0A};
  restore.insert(restore.end(), before.begin() + 2, before.end());
  Bytes a = Ask(restore);
  EXPECT_EQ(a[1], 0x0A);
  EXPECT_TRUE(controller->ChangedSettings().empty());
  EXPECT_EQ(Ask({0x01, 0x05, 0x02, 0x02}), before);
}

TEST_F(ServiceTest, WriteInstanceWithOneRefusedMemberChangesNothing) {
  Start();
  Bytes inputs = Ask({0x01, 0x05, 0x03, 0x01});
  ASSERT_GT(inputs.size(), 5u);
  ASSERT_EQ(Ask({0x01, 0x04, 0x03, 0x01, 0x01, 0x01, 0x09})[1], 0x04);
  Bytes restore{0x01, 0x0A};
  restore.insert(restore.end(), inputs.begin() + 2, inputs.end());
  // The instance holds the read-only calibration member 7.
  EXPECT_EQ(Ask(restore)[1], sim::kReadOnly);
  EXPECT_EQ(controller->ChangedSettings(), (std::vector<std::string>{"3.1.1"}));
}

TEST_F(ServiceTest, IdentityRefusesWritesUntilUnlockedAndAfterLocking) {
  Start();
  Bytes serial{0x01, 0x04, 0x01, 0x07, 0x01, 0x06, 0x00, 0x00, 0x30, 0x39};
  EXPECT_EQ(Ask(serial)[1], sim::kLocked);
  EXPECT_EQ(Ask({0x01, 0x04, 0x01, 0x0F, 0x01, 0x03, 0x12, 0x34})[1], sim::kBadValue);
  EXPECT_EQ(Ask(serial)[1], sim::kLocked);

  Bytes unlock{0x01, 0x04, 0x01, 0x0F, 0x01, 0x03, protocol.unlockCode[0], protocol.unlockCode[1]};
  EXPECT_EQ(Ask(unlock)[1], 0x04);
  Bytes identity{0x01, 0x0A, 0x01, 0x01, 0x03, 0x09, 0x09, 0x03, 'Q', 'Z', 0x00,
                 0x0B, 0x09, 0x02, 'N', 0x00, 0x07, 0x06, 0x00, 0x00, 0x30, 0x39};
  EXPECT_EQ(Ask(identity)[1], 0x0A);
  EXPECT_EQ(controller->IdentityText(9), "QZ");
  EXPECT_EQ(controller->IdentityText(11), "N");
  EXPECT_EQ(controller->IdentityNumber(7), 12345u);

  EXPECT_EQ(Ask({0x01, 0x04, 0x01, 0x0F, 0x01, 0x03, 0x00, 0x00})[1], 0x04);
  EXPECT_EQ(Ask({0x01, 0x04, 0x01, 0x0B, 0x01, 0x09, 0x02, 'M', 0x00})[1], sim::kLocked);
  EXPECT_EQ(controller->IdentityText(11), "N");
  // Version numbers are never writable.
  EXPECT_EQ(Ask(unlock)[1], 0x04);
  EXPECT_EQ(Ask({0x01, 0x04, 0x01, 0x05, 0x01, 0x05, 0, 0, 0, 181})[1], sim::kReadOnly);
}

TEST_F(ServiceTest, DefaultsWriteRestoresFactorySettingsButKeepsCommunication) {
  Start();
  ASSERT_TRUE(controller->ChangedSettings().empty());
  ASSERT_EQ(Ask({0x01, 0x04, 0x11, 0x01, 0x01, 0x01, 0x04})[1], 0x04);
  bus.RunFor(10'000);
  ASSERT_EQ(controller->address(), 19);
  EXPECT_EQ(Ask({0x01, 0x04, 0x01, 0x0D, 0x01, 0x07, 0x01, 0x1F}, 19)[1], 0x04);
  std::vector<std::string> changed = controller->ChangedSettings();
  EXPECT_GT(changed.size(), 10u);
  EXPECT_EQ(std::count(changed.begin(), changed.end(), "17.1.1"), 1);  // the move, not the reset
  EXPECT_EQ(controller->address(), 19);
  EXPECT_EQ(Ask({0x01, 0x03, 0x01, 0x11, 0x01, 0x01}, 19).back(), 4);
  // The set selector still reads as before.
  EXPECT_EQ(Ask({0x01, 0x03, 0x01, 0x01, 0x0D, 0x01}, 19).back(), 1);
}

TEST_F(ServiceTest, AddressSettingAnswersFromOldAddressThenMoves) {
  Start();
  // Zone 4 is station address 19.
  std::optional<Heard> a = bus.Exchange(5, 16, kPc, {0x01, 0x04, 0x11, 0x01, 0x01, 0x01, 0x04});
  ASSERT_TRUE(a);
  EXPECT_EQ(a->src, 16);
  EXPECT_EQ(a->data[1], 0x04);
  bus.RunFor(10'000);
  EXPECT_EQ(controller->address(), 19);
  EXPECT_FALSE(bus.Exchange(5, 16, kPc, {0x01, 0x01}, 100'000));
  Bytes zone = Ask({0x01, 0x03, 0x01, 0x11, 0x01, 0x01}, 19);
  EXPECT_EQ(zone.back(), 4);
  EXPECT_EQ(Ask({0x01, 0x04, 0x11, 0x01, 0x01, 0x01, 0x00}, 19)[1], sim::kBadValue);
}

TEST_F(ServiceTest, StatusMemberNineChangesWhileSettlingThenHoldsStill) {
  Start();
  Bytes settle{0x01, 0x04, 0x11, 0x33, 0x01, 0x07, 0x01, 0x6A};
  Bytes read{0x01, 0x03, 0x01, 0x10, 0x09, 0x01};
  Bytes idle1 = Ask(read);
  bus.RunFor(5'000'000);
  EXPECT_EQ(Ask(read), idle1);

  EXPECT_EQ(Ask(settle)[1], 0x04);
  std::vector<Bytes> reads;
  for (int i = 0; i < 4; ++i) {
    bus.RunFor(5'000'000);
    reads.push_back(Ask(read));
  }
  EXPECT_NE(reads[0], idle1);
  EXPECT_NE(reads[1], reads[0]);  // 10 s in: still within the first read's settle
  EXPECT_EQ(reads[2], reads[1]);  // settled after 7 s
  EXPECT_EQ(reads[3], reads[2]);
}

TEST_F(ServiceTest, UnknownServiceAndBootloaderServicesAreRefusedByTheApplication) {
  Start();
  EXPECT_EQ(Ask({0x01, 0x42}), (Bytes{0x01, sim::kUnknownItem}));
  EXPECT_EQ(Ask({0x01, 0xEC}), (Bytes{0x01, sim::kUnknownItem}));
  EXPECT_EQ(Ask({0x02, 0x01}), (Bytes{0x01, sim::kMalformed}));
}

TEST_F(ServiceTest, DataNotExpectingReplyIsCarriedOutButNeverAnswered) {
  Start();
  bus.Send(simtest::TestFrame(6, 16, kPc, {0x01, 0x04, 0x02, 0x01, 0x01, 0x04, 0x01, 0x00}));
  bus.RunFor(200'000);
  for (const Heard& h : bus.frames()) EXPECT_NE(h.dest, kPc);
  EXPECT_EQ(controller->ChangedSettings(), (std::vector<std::string>{"2.1.1"}));
}

TEST_F(ServiceTest, AnswerStartsWithinTheAnswerWindow) {
  Start();
  bus.Send(simtest::TestFrame(5, 16, kPc, {0x01, 0x01}));
  bus.RunFor(3'000);
  Micros sent = bus.now();
  std::optional<Heard> h;
  bus.RunUntil([&] {
    for (const Heard& f : bus.frames()) if (f.dest == kPc) h = f;
    return h.has_value();
  }, sent + 300'000);
  ASSERT_TRUE(h);
  Micros frameTime = 14 * 260;  // 14 octets at 38400
  EXPECT_LT(h->end - frameTime - sent, 45'000);
}

}  // namespace

namespace {

TEST_F(ServiceTest, AddressSettingMovesEvenWhileRequestsKeepComing) {
  Start();
  ASSERT_TRUE(bus.Exchange(5, 16, kPc, {0x01, 0x04, 0x11, 0x01, 0x01, 0x01, 0x04}));
  // A client that does not know whether the move happened probes both
  // stations in turn; the device must not stay at 16 because of it.
  bool answeredAtNew = false;
  for (int round = 0; round < 10 && !answeredAtNew; ++round) {
    bus.Exchange(5, 16, kPc, {0x01, 0x01}, 150'000);
    answeredAtNew = bus.Exchange(5, 19, kPc, {0x01, 0x01}, 150'000).has_value();
  }
  EXPECT_TRUE(answeredAtNew);
  EXPECT_EQ(controller->address(), 19);
}

}  // namespace
