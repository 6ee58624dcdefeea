#include "sim/pcap.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "sim/bus.h"
#include "tests/support/scripted_station.h"

namespace sim {
namespace {

namespace fs = std::filesystem;

uint32_t Le32(const std::vector<uint8_t>& b, size_t at) {
  return static_cast<uint32_t>(b[at]) | static_cast<uint32_t>(b[at + 1]) << 8 |
         static_cast<uint32_t>(b[at + 2]) << 16 | static_cast<uint32_t>(b[at + 3]) << 24;
}

class PcapTest : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = fs::temp_directory_path() /
            ("tarnix-pcap-" + std::to_string(getpid()) + "-" +
             ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".pcap");
  }
  void TearDown() override { fs::remove(path_); }

  std::vector<uint8_t> ReadFile() const {
    std::ifstream in(path_, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }

  fs::path path_;
};

TEST_F(PcapTest, FileHeaderAndRecordsFollowTheCaptureFormat) {
  PcapWriter writer;
  std::string error;
  ASSERT_TRUE(writer.Open(path_.string(), 1'700'000'000'250'000, &error)) << error;
  ScannedFrame token{.octets = test_support::MakeFrame(0, 6, 5), .start = 1'800'000};
  ScannedFrame broken{.octets = {0x55, 0xFF, 0x06, 0x01}, .start = 2'000'001};
  writer.Write(token);
  writer.Write(broken);
  writer.Close();

  const auto file = ReadFile();
  ASSERT_EQ(file.size(), 24u + 16 + 8 + 16 + 4);
  EXPECT_EQ(Le32(file, 0), 0xA1B2C3D4u);  // microsecond timestamps
  EXPECT_EQ(file[4] | file[5] << 8, 2);   // version 2.4
  EXPECT_EQ(file[6] | file[7] << 8, 4);
  EXPECT_EQ(Le32(file, 16), 65535u);      // snapshot length
  EXPECT_EQ(Le32(file, 20), 165u);        // BACnet MS/TP

  EXPECT_EQ(Le32(file, 24), 1'700'000'002u);
  EXPECT_EQ(Le32(file, 28), 50'000u);
  EXPECT_EQ(Le32(file, 32), 8u);
  EXPECT_EQ(Le32(file, 36), 8u);
  EXPECT_EQ(std::vector<uint8_t>(file.begin() + 40, file.begin() + 48), token.octets);

  EXPECT_EQ(Le32(file, 48), 1'700'000'002u);
  EXPECT_EQ(Le32(file, 52), 250'001u);
  EXPECT_EQ(Le32(file, 56), 4u);
  EXPECT_EQ(std::vector<uint8_t>(file.begin() + 64, file.end()), broken.octets);
  EXPECT_EQ(writer.Records(), 2u);
}

TEST_F(PcapTest, UnwritablePathIsReported) {
  PcapWriter writer;
  std::string error;
  EXPECT_FALSE(writer.Open("/nonexistent-dir/x.pcap", 0, &error));
  EXPECT_NE(error.find("/nonexistent-dir/x.pcap"), std::string::npos);
}

std::string RunCommand(const std::string& command) {
  std::string output;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return output;
  char buffer[256];
  while (fgets(buffer, sizeof buffer, pipe) != nullptr) output += buffer;
  pclose(pipe);
  return output;
}

TEST_F(PcapTest, AnalyserDecodesBusTrafficAsMstpWithItsChecksumVerdicts) {
  if (std::system("command -v tshark >/dev/null 2>&1") != 0) GTEST_SKIP() << "tshark not installed";
  Bus bus(BusFaults{});
  PcapWriter writer;
  std::string error;
  ASSERT_TRUE(writer.Open(path_.string(), 0, &error)) << error;
  bus.SetFrameSink([&writer](const ScannedFrame& frame) { writer.Write(frame); });
  test_support::ScriptedStation a, b;
  bus.Attach(&a, false);
  bus.Attach(&b, false);
  a.SendAt(0, test_support::MakeFrame(0, 6, 5));
  b.SendAt(5'000, test_support::MakeFrame(1, 7, 6));
  a.SendAt(10'000, test_support::MakeFrame(5, 6, 5, {0x61, 0x62, 0x63}));
  auto damaged = test_support::MakeFrame(6, 5, 6, {1, 2, 3});
  damaged[9] ^= 0x10;
  b.SendAt(20'000, damaged);
  bus.RunUntil(100'000);
  writer.Close();

  const std::string fields = RunCommand(
      "tshark -r " + path_.string() +
      " --disable-protocol bacnet -T fields -e frame.protocols"
      " -e mstp.frame_type -e mstp.checksum.status 2>/dev/null");
  std::istringstream lines(fields);
  std::vector<std::string> rows;
  for (std::string line; std::getline(lines, line);) rows.push_back(line);
  ASSERT_EQ(rows.size(), 4u) << fields;
  EXPECT_EQ(rows[0], "mstp\t0\t1");
  EXPECT_EQ(rows[1], "mstp\t1\t1");
  EXPECT_EQ(rows[2], "mstp:data\t5\t1,1");
  EXPECT_EQ(rows[3], "mstp:data\t6\t1,0");  // good header, bad data checksum
}

}  // namespace
}  // namespace sim
