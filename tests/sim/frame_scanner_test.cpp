#include "sim/frame_scanner.h"

#include <gtest/gtest.h>

#include <vector>

#include "tests/support/scripted_station.h"

namespace sim {
namespace {

class FrameScannerTest : public ::testing::Test {
 protected:
  void Feed(const std::vector<uint8_t>& octets, Micros start = 0, Micros gap = 260) {
    for (size_t i = 0; i < octets.size(); ++i) {
      scanner_.Feed(octets[i], start + static_cast<Micros>(i) * gap);
    }
  }

  std::vector<ScannedFrame> frames_;
  FrameScanner scanner_{[this](const ScannedFrame& frame) { frames_.push_back(frame); }};
};

TEST(FrameChecksums, WorkedFramesCheckOut) {
  const std::vector<uint8_t> header{0x00, 0x06, 0x05, 0x00, 0x00, 0x37};
  EXPECT_EQ(HeaderCrcRegister(header), 0x55);
  const std::vector<uint8_t> data{0x61, 0x62, 0x63, 0x25, 0x9E};
  EXPECT_EQ(DataCrcRegister(data), 0xF0B8);
  EXPECT_EQ(test_support::MakeFrame(0, 6, 5),
            (std::vector<uint8_t>{0x55, 0xFF, 0x00, 0x06, 0x05, 0x00, 0x00, 0x37}));
  EXPECT_EQ(test_support::MakeFrame(1, 6, 5),
            (std::vector<uint8_t>{0x55, 0xFF, 0x01, 0x06, 0x05, 0x00, 0x00, 0xB1}));
  EXPECT_EQ(test_support::MakeFrame(5, 6, 5, {0x61, 0x62, 0x63}),
            (std::vector<uint8_t>{0x55, 0xFF, 0x05, 0x06, 0x05, 0x00, 0x03, 0xAE, 0x61, 0x62,
                                  0x63, 0x25, 0x9E}));
}

TEST_F(FrameScannerTest, FindsFramesBetweenStrayOctets) {
  const auto token = test_support::MakeFrame(0, 6, 5);
  const auto data = test_support::MakeFrame(5, 6, 5, {0x61, 0x62, 0x63});
  std::vector<uint8_t> line{0x00, 0x55, 0x12};  // a lone 0x55 opens nothing
  line.insert(line.end(), token.begin(), token.end());
  line.push_back(0x55);  // a repeated first preamble octet
  line.insert(line.end(), data.begin(), data.end());
  Feed(line, 1'000);
  ASSERT_EQ(frames_.size(), 2u);
  EXPECT_EQ(frames_[0].octets, token);
  EXPECT_EQ(frames_[0].start, 1'000 + 3 * 260);
  EXPECT_TRUE(frames_[0].Good());
  EXPECT_EQ(frames_[1].octets, data);
  EXPECT_EQ(frames_[1].start, 1'000 + 12 * 260);
  EXPECT_TRUE(frames_[1].Good());
  EXPECT_FALSE(scanner_.InFrame());
}

TEST_F(FrameScannerTest, ReportsDamagedFramesAsBad) {
  auto bad_header = test_support::MakeFrame(0, 6, 5);
  bad_header[7] ^= 0x01;
  auto bad_data = test_support::MakeFrame(6, 6, 5, {1, 2, 3});
  bad_data[9] ^= 0x40;
  Feed(bad_header);
  Feed(bad_data, 10'000);
  ASSERT_EQ(frames_.size(), 2u);
  EXPECT_FALSE(frames_[0].header_ok);
  EXPECT_EQ(frames_[0].octets.size(), 8u);
  EXPECT_TRUE(frames_[1].header_ok);
  EXPECT_FALSE(frames_[1].data_ok);
  EXPECT_EQ(frames_[1].octets, bad_data);
}

TEST_F(FrameScannerTest, HeaderAnnouncingTooMuchDataIsBadAndEndsAtTheHeader) {
  auto oversized = test_support::MakeFrame(6, 6, 5, std::vector<uint8_t>(502, 0xAB));
  Feed(oversized);
  ASSERT_EQ(frames_.size(), 1u);
  EXPECT_FALSE(frames_[0].Good());
  EXPECT_EQ(frames_[0].octets.size(), 8u);
  const auto largest = test_support::MakeFrame(6, 6, 5, std::vector<uint8_t>(501, 0xAB));
  frames_.clear();
  Feed(largest, 1'000'000);
  ASSERT_EQ(frames_.size(), 1u);
  EXPECT_TRUE(frames_[0].Good());
}

TEST_F(FrameScannerTest, LongSilenceBreaksAFrameOff) {
  const auto data = test_support::MakeFrame(6, 6, 5, {1, 2, 3, 4});
  Feed(std::vector<uint8_t>(data.begin(), data.begin() + 10));
  EXPECT_TRUE(frames_.empty());
  Feed(std::vector<uint8_t>(data.begin() + 10, data.end()),
       10 * 260 + FrameScanner::kAbortGap + 1);
  ASSERT_EQ(frames_.size(), 1u);
  EXPECT_FALSE(frames_[0].complete);
  EXPECT_EQ(frames_[0].octets.size(), 10u);

  frames_.clear();
  Feed(std::vector<uint8_t>(data.begin(), data.begin() + 5), 2'000'000);
  scanner_.Flush();
  ASSERT_EQ(frames_.size(), 1u);
  EXPECT_FALSE(frames_[0].Good());
  EXPECT_EQ(frames_[0].octets.size(), 5u);
}

}  // namespace
}  // namespace sim
