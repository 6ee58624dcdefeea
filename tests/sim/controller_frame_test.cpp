// Frames as the controllers build and reassemble them.
#include <gtest/gtest.h>

#include "sim/mstp_frame.h"
#include "tests/sim/controller_test_harness.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Result = sim::FrameReceiver::Result;

// The first outcome other than kNone while feeding the octets, 260 µs apart.
Result Feed(sim::FrameReceiver& rx, const Bytes& octets, sim::Micros start = 0) {
  Result r = Result::kNone;
  sim::Micros t = start;
  for (uint8_t o : octets) {
    t += 260;
    Result now = rx.Push(o, t);
    if (r == Result::kNone) r = now;
  }
  return r;
}

TEST(ControllerFrameTest, EncodesTheWorkedFrames) {
  EXPECT_EQ(sim::EncodeFrame(0, 6, 5, {}), (Bytes{0x55, 0xFF, 0x00, 0x06, 0x05, 0x00, 0x00, 0x37}));
  EXPECT_EQ(sim::EncodeFrame(1, 6, 5, {}), (Bytes{0x55, 0xFF, 0x01, 0x06, 0x05, 0x00, 0x00, 0xB1}));
  EXPECT_EQ(sim::EncodeFrame(5, 6, 5, {0x61, 0x62, 0x63}),
            (Bytes{0x55, 0xFF, 0x05, 0x06, 0x05, 0x00, 0x03, 0xAE, 0x61, 0x62, 0x63, 0x25, 0x9E}));
}

TEST(ControllerFrameTest, ChecksumsAgreeWithABitwiseReferenceOverLongData) {
  Bytes data;
  for (int i = 0; i < 501; ++i) data.push_back(uint8_t(i * 7 + 3));
  EXPECT_EQ(sim::EncodeFrame(6, 255, 127, data), simtest::TestFrame(6, 255, 127, data));
}

TEST(ControllerFrameTest, ReceiverAcceptsGoodFramesAndRejectsDamagedOnes) {
  sim::FrameReceiver rx;
  Bytes good = simtest::TestFrame(5, 16, 3, {0x01, 0x01});
  ASSERT_EQ(Feed(rx, good), Result::kValid);
  EXPECT_EQ(rx.frame().type, 5);
  EXPECT_EQ(rx.frame().dest, 16);
  EXPECT_EQ(rx.frame().src, 3);
  EXPECT_EQ(rx.frame().data, (Bytes{0x01, 0x01}));

  Bytes badHeader = good;
  badHeader.at(7) ^= 0x01;
  EXPECT_EQ(Feed(rx, badHeader, 10'000), Result::kInvalid);

  Bytes badData = good;
  badData.at(9) ^= 0x40;
  EXPECT_EQ(Feed(rx, badData, 20'000), Result::kInvalid);

  // The receiver is in step again for the next frame.
  EXPECT_EQ(Feed(rx, simtest::TestFrame(0, 16, 3), 30'000), Result::kValid);
}

TEST(ControllerFrameTest, LengthAbove501IsInvalid) {
  sim::FrameReceiver rx;
  Bytes f = simtest::TestFrame(6, 16, 3, Bytes(502, 0));
  EXPECT_EQ(Feed(rx, Bytes(f.begin(), f.begin() + 8)), Result::kInvalid);
  Bytes most = simtest::TestFrame(6, 16, 3, Bytes(501, 0));
  EXPECT_EQ(Feed(rx, most, 10'000'000), Result::kValid);
}

TEST(ControllerFrameTest, LongGapInsideAFrameDropsIt) {
  sim::FrameReceiver rx;
  Bytes f = simtest::TestFrame(5, 16, 3, {0x01, 0x01});
  Bytes head(f.begin(), f.begin() + 5);
  Bytes tail(f.begin() + 5, f.end());
  EXPECT_EQ(Feed(rx, head), Result::kNone);
  EXPECT_EQ(Feed(rx, tail, 100'000), Result::kNone);
  EXPECT_EQ(Feed(rx, f, 200'000), Result::kValid);
}

}  // namespace
