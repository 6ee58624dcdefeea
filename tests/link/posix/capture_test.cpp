// The capture file written while BREVANE_CAPTURE is set: what is recorded of
// the frames a port sends and receives, and that records stay whole when
// several ports and threads send at once.
#include "link/capture.h"

#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "../frame_builder.h"
#include "link/tarnix_link.h"
#include "pty_peer.h"

namespace {

using tarnix_test::BuildFrame;
using tarnix_test::Octets;

uint32_t Le32(const Octets& blob, size_t at) {
  return static_cast<uint32_t>(blob[at]) | static_cast<uint32_t>(blob[at + 1]) << 8 |
         static_cast<uint32_t>(blob[at + 2]) << 16 | static_cast<uint32_t>(blob[at + 3]) << 24;
}

// The records of a capture file; fails the test when its header is not that
// of a microsecond MS/TP capture.
std::vector<Octets> ReadCapture(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  const Octets blob((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  std::vector<Octets> records;
  if (blob.size() < 24) {
    ADD_FAILURE() << path << " holds " << blob.size() << " octets";
    return records;
  }
  EXPECT_EQ(Le32(blob, 0), 0xA1B2C3D4u);
  EXPECT_EQ(Le32(blob, 20), 165u);
  size_t at = 24;
  while (at + 16 <= blob.size()) {
    const uint32_t length = Le32(blob, at + 8);
    EXPECT_EQ(Le32(blob, at + 12), length);
    at += 16;
    if (at + length > blob.size()) {
      ADD_FAILURE() << "record cut short at " << at;
      break;
    }
    records.emplace_back(blob.begin() + static_cast<long>(at), blob.begin() + static_cast<long>(at + length));
    at += length;
  }
  EXPECT_EQ(at, blob.size());
  return records;
}

class CaptureTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/link-capture-XXXXXX";
    const int fd = mkstemp(pattern);
    ASSERT_GE(fd, 0);
    close(fd);
    unlink(pattern);  // the link makes it
    path = pattern;
    setenv(tarnix::kCaptureVariable, path.c_str(), 1);
  }

  void TearDown() override {
    for (const char* name : {"Com3", "Com4"}) TarnixLink_UnInit(name);
    unsetenv(tarnix::kCaptureVariable);
    unlink(path.c_str());
  }

  static void StartPassive(const char* name, int32_t station = 5) {
    LinkConfig config{name, 38400, 15, 3, station, nullptr, nullptr};
    ASSERT_EQ(0, TarnixLink_Init(&config));
    TarnixLink_DisableMasterServices(name, 1);
  }

  std::string path;
  tarnix_test::PortDirectory dir;
  tarnix_test::PtyPeer com3{dir, "com3"};
};

TEST_F(CaptureTest, RecordsEveryFrameFromItsPreambleInTheOrderOfTheLine) {
  StartPassive("Com3");
  const Octets toUs = BuildFrame(6, 5, 9, {1, 2, 3});
  const Octets toOther = BuildFrame(6, 7, 9, {4, 5, 6, 7});  // data not taken, still recorded
  Octets badData = BuildFrame(6, 5, 9, {8});
  badData.back() ^= 0x01;
  Octets badHeader = BuildFrame(0, 5, 9, {});
  badHeader.back() ^= 0x01;
  const Octets oversize = BuildFrame(6, 5, 9, Octets(502, 0));
  const Octets tooLong(oversize.begin(), oversize.begin() + 8);  // a header announcing 502 octets
  const Octets token = BuildFrame(0, 5, 9, {});
  Octets repeatedPreamble = {0x55};
  repeatedPreamble.insert(repeatedPreamble.end(), token.begin(), token.end());
  for (const Octets& frame : {toUs, toOther, badData, badHeader, tooLong, repeatedPreamble}) {
    com3.Send(frame);
  }
  const Octets sent = BuildFrame(6, 9, 5, {0xAB});
  EXPECT_EQ(0, TarnixLink_SendFrameEx("Com3", 9, sent.data() + 8, 1, 0, 0));
  // Raw octets are not a frame and are left out.
  TarnixLink_DisableMSTPFraming("Com3", 1);
  EXPECT_EQ(0, TarnixLink_SendFrameEx("Com3", 9, sent.data(), 8, 0, 0));
  com3.Drain();
  EXPECT_EQ(0, TarnixLink_UnInit("Com3"));

  const std::vector<Octets> records = ReadCapture(path);
  const std::vector<Octets> expected = {toUs, toOther, badData, badHeader, tooLong, token, sent};
  EXPECT_EQ(records, expected);
}

TEST_F(CaptureTest, FrameBrokenOffBySilenceIsRecordedAsFarAsItGot) {
  StartPassive("Com3");
  const Octets frame = BuildFrame(6, 5, 9, {1, 2, 3, 4});
  const Octets start(frame.begin(), frame.begin() + 10);
  com3.Send(start);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));  // beyond the 125 ms frame abort
  com3.Send(frame);
  EXPECT_EQ(0, TarnixLink_UnInit("Com3"));
  EXPECT_EQ(ReadCapture(path), (std::vector<Octets>{start, frame}));
}

TEST_F(CaptureTest, LaterStartsOfThePortAddToTheSameFile) {
  const Octets frame = BuildFrame(6, 9, 5, {0x11});
  for (int run = 0; run < 2; ++run) {
    StartPassive("Com3");
    EXPECT_EQ(0, TarnixLink_SendFrameEx("Com3", 9, frame.data() + 8, 1, 0, 0));
    EXPECT_EQ(0, TarnixLink_UnInit("Com3"));
  }
  EXPECT_EQ(ReadCapture(path), (std::vector<Octets>{frame, frame}));
}

TEST_F(CaptureTest, WithoutTheVariableNoFileIsMade) {
  unsetenv(tarnix::kCaptureVariable);
  StartPassive("Com3");
  com3.Send(BuildFrame(6, 5, 9, {1}));
  EXPECT_EQ(0, TarnixLink_SendFrameEx("Com3", 9, Octets{1}.data(), 1, 0, 0));
  EXPECT_EQ(0, TarnixLink_UnInit("Com3"));
  EXPECT_NE(0, access(path.c_str(), F_OK));
}

TEST_F(CaptureTest, FramesSentAtOnceFromTwoPortsAndThreadsStayWhole) {
  tarnix_test::PtyPeer com4{dir, "com4"};
  StartPassive("Com3", 5);
  StartPassive("Com4", 6);
  const Octets data3(40, 0x33);
  const Octets data4(40, 0x44);
  constexpr int kFrames = 50;
  std::thread other([&data4] {
    for (int i = 0; i < kFrames; ++i) TarnixLink_SendFrameEx("Com4", 9, data4.data(), 40, 0, 0);
  });
  for (int i = 0; i < kFrames; ++i) TarnixLink_SendFrameEx("Com3", 9, data3.data(), 40, 0, 0);
  other.join();
  com3.Drain();
  com4.Drain();
  EXPECT_EQ(0, TarnixLink_UnInit("Com3"));
  EXPECT_EQ(0, TarnixLink_UnInit("Com4"));

  const Octets frame3 = BuildFrame(6, 9, 5, data3);
  const Octets frame4 = BuildFrame(6, 9, 6, data4);
  int seen3 = 0;
  int seen4 = 0;
  for (const Octets& record : ReadCapture(path)) {
    seen3 += record == frame3 ? 1 : 0;
    seen4 += record == frame4 ? 1 : 0;
    EXPECT_TRUE(record == frame3 || record == frame4);
  }
  EXPECT_EQ(seen3, kFrames);
  EXPECT_EQ(seen4, kFrames);
}

}  // namespace
