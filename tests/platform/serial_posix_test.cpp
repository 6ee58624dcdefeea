// Serial ports on POSIX hosts, tested against pseudo-terminals.
#include <sys/ioctl.h>
#include <sys/stat.h>

#include <cstring>
#include <filesystem>
#include <string>

#include "platform/posix/port_map.h"
#include "platform/serial.h"
#include "tests/platform/posix_test_util.h"

namespace {

using brevane_test::elapsed_ms;
using brevane_test::Pty;
using brevane_test::run_in_child;
using brevane_test::ScopedEnv;
using brevane_test::TempDir;

class SerialPortTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(dir_.path().empty());
    ASSERT_GE(pty_.master, 0);
  }

  // Makes `entry` in the port directory a link to the test's pty.
  void link_as(const std::string& entry) {
    ASSERT_EQ(symlink(pty_.slave_path.c_str(), (dir_.path() + "/" + entry).c_str()), 0);
  }

  // Reads whatever arrives within `wait_ms`, up to `length` octets.
  static std::string read_for(plat::SerialHandle port, uint32_t length, uint32_t wait_ms) {
    EXPECT_TRUE(plat::serial_set_timeouts(port, plat::Timeouts{0, 0, wait_ms, 0, 0}));
    std::string buffer(length, '\0');
    uint32_t done = 0;
    EXPECT_TRUE(plat::serial_read(port, buffer.data(), length, &done));
    buffer.resize(done);
    return buffer;
  }

  TempDir dir_;
  ScopedEnv ports_{"BREVANE_PORTS", dir_.path()};
  Pty pty_;
};

TEST_F(SerialPortTest, ComNamesResolveThroughThePortDirectoryInAnyLetterCase) {
  link_as("com3");
  link_as("COM12");
  for (const char* name : {"Com3", "COM3", "cOm3", "\\\\.\\Com3", "Com12", "\\\\.\\cOM12"}) {
    SCOPED_TRACE(name);
    plat::SerialHandle port = plat::serial_open(name, plat::Access::ReadWrite);
    ASSERT_NE(port, nullptr) << "errno " << plat::last_error();
    // The name led to this pty: an octet from its far end arrives.
    pty_.send("Z");
    EXPECT_EQ(read_for(port, 1, 1000), "Z");
    EXPECT_TRUE(plat::serial_close(port));
  }
  EXPECT_STREQ(plat::port_directory(), dir_.path().c_str());
}

TEST_F(SerialPortTest, NamesWithoutAMatchingPortFailWithNotFound) {
  link_as("com3");
  for (const char* name : {"Com4", "Com31", "Com", "Cox3", "Com3x", "\\\\.\\Com", "ttyS0", ""}) {
    SCOPED_TRACE(name);
    EXPECT_EQ(plat::serial_open(name, plat::Access::ReadWrite), nullptr);
    EXPECT_EQ(plat::last_error(), static_cast<uint32_t>(ENOENT));
  }
}

TEST_F(SerialPortTest, NameWithSlashIsUsedAsAPath) {
  plat::SerialHandle port = plat::serial_open(pty_.slave_path.c_str(), plat::Access::ReadWrite);
  ASSERT_NE(port, nullptr);
  EXPECT_TRUE(plat::serial_close(port));

  EXPECT_EQ(plat::serial_open((dir_.path() + "/com3").c_str(), plat::Access::ReadWrite), nullptr);
  EXPECT_EQ(plat::last_error(), static_cast<uint32_t>(ENOENT));
}

TEST_F(SerialPortTest, FileThatIsNotATerminalIsRefused) {
  const std::string path = dir_.path() + "/com5";
  FILE* plain = std::fopen(path.c_str(), "w");
  ASSERT_NE(plain, nullptr);
  std::fclose(plain);
  EXPECT_EQ(plat::serial_open("Com5", plat::Access::ReadWrite), nullptr);
  EXPECT_EQ(plat::last_error(), static_cast<uint32_t>(ENOTTY));
}

TEST_F(SerialPortTest, PortHeldOpenCannotBeOpenedAgainUntilClosed) {
  link_as("com3");
  plat::SerialHandle first = plat::serial_open("Com3", plat::Access::ReadWrite);
  ASSERT_NE(first, nullptr);

  EXPECT_EQ(plat::serial_open("Com3", plat::Access::ReadWrite), nullptr);
  EXPECT_EQ(plat::last_error(), static_cast<uint32_t>(EBUSY));
  EXPECT_EQ(plat::serial_open("\\\\.\\COM3", plat::Access::Read), nullptr);
  EXPECT_EQ(plat::serial_open(pty_.slave_path.c_str(), plat::Access::Read), nullptr);

  // Another program (here a child process) is turned away as well.
  EXPECT_EQ(run_in_child([] { return plat::serial_open("Com3", plat::Access::ReadWrite) == nullptr ? 0 : 1; }), 0);

  ASSERT_TRUE(plat::serial_close(first));
  plat::SerialHandle again = plat::serial_open("Com3", plat::Access::ReadWrite);
  ASSERT_NE(again, nullptr);
  EXPECT_TRUE(plat::serial_close(again));
}

TEST_F(SerialPortTest, PortMadeExclusiveByAnotherProgramIsRefused) {
  link_as("com3");
  // Another program holds the tty with TIOCEXCL but takes no lock of ours.
  const int foreign = open(pty_.slave_path.c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(foreign, 0);
  ASSERT_EQ(ioctl(foreign, TIOCEXCL), 0);
  EXPECT_EQ(plat::serial_open("Com3", plat::Access::ReadWrite), nullptr);
  EXPECT_EQ(plat::last_error(), static_cast<uint32_t>(EBUSY));
  // Our refusal must not have lifted the other program's claim.
  int exclusive = 0;
  ASSERT_EQ(ioctl(foreign, TIOCGEXCL, &exclusive), 0);
  EXPECT_NE(exclusive, 0);

  ASSERT_EQ(ioctl(foreign, TIOCNXCL), 0);
  close(foreign);
  plat::SerialHandle port = plat::serial_open("Com3", plat::Access::ReadWrite);
  ASSERT_NE(port, nullptr);
  EXPECT_TRUE(plat::serial_close(port));
}

TEST_F(SerialPortTest, DiscardNullDropsNulOctetsFromWhatIsRead) {
  link_as("com3");
  plat::SerialHandle port = plat::serial_open("Com3", plat::Access::ReadWrite);
  ASSERT_NE(port, nullptr);
  plat::LineSettings line;
  ASSERT_TRUE(plat::serial_get_line(port, &line));
  line.discard_null = true;
  ASSERT_TRUE(plat::serial_set_line(port, line));
  pty_.send(std::string("a\0\0b\0c", 6));
  EXPECT_EQ(read_for(port, 3, 1000), "abc");

  line.discard_null = false;
  ASSERT_TRUE(plat::serial_set_line(port, line));
  pty_.send(std::string("a\0b", 3));
  EXPECT_EQ(read_for(port, 3, 1000), std::string("a\0b", 3));
  EXPECT_TRUE(plat::serial_close(port));
}

TEST_F(SerialPortTest, IntervalTimeoutCountsOnlyOnceTheFirstOctetHasCome) {
  link_as("com3");
  plat::SerialHandle port = plat::serial_open("Com3", plat::Access::ReadWrite);
  ASSERT_NE(port, nullptr);
  ASSERT_TRUE(plat::serial_set_timeouts(port, plat::Timeouts{50, 0, 400, 0, 0}));

  char buffer[16];
  uint32_t done = 99;
  // Nothing arrives: the 50 ms interval does not apply, the 400 ms total does.
  long long ms = elapsed_ms([&] { EXPECT_TRUE(plat::serial_read(port, buffer, 16, &done)); });
  EXPECT_EQ(done, 0u);
  EXPECT_GE(ms, 390);
  EXPECT_LT(ms, 1500);

  // Three octets, then silence: the read ends one interval after the last.
  pty_.send("xyz");
  ms = elapsed_ms([&] { EXPECT_TRUE(plat::serial_read(port, buffer, 16, &done)); });
  EXPECT_EQ(std::string(buffer, done), "xyz");
  EXPECT_GE(ms, 45);
  EXPECT_LT(ms, 350);
  EXPECT_TRUE(plat::serial_close(port));
}

TEST_F(SerialPortTest, ReadWithoutTimeoutsEndsWhenTheBufferIsFull) {
  link_as("com3");
  plat::SerialHandle port = plat::serial_open("Com3", plat::Access::ReadWrite);
  ASSERT_NE(port, nullptr);
  ASSERT_TRUE(plat::serial_set_timeouts(port, plat::Timeouts{}));
  pty_.send("12345678");
  char buffer[5];
  uint32_t done = 0;
  EXPECT_TRUE(plat::serial_read(port, buffer, sizeof buffer, &done));
  EXPECT_EQ(std::string(buffer, done), "12345");
  // The rest stays for the next read.
  EXPECT_EQ(read_for(port, 8, 200), "678");
  EXPECT_TRUE(plat::serial_close(port));
}

TEST_F(SerialPortTest, WrittenOctetsReachTheFarSideUnchanged) {
  link_as("com3");
  plat::SerialHandle port = plat::serial_open("Com3", plat::Access::ReadWrite);
  ASSERT_NE(port, nullptr);
  // Raw mode: no CR/LF translation, no flow-control characters eaten.
  const std::string frame("\x55\xFF\x00\x11\x13\r\n\x7F", 8);
  uint32_t done = 0;
  EXPECT_TRUE(plat::serial_write(port, frame.data(), static_cast<uint32_t>(frame.size()), &done));
  EXPECT_EQ(done, frame.size());
  EXPECT_EQ(pty_.receive(frame.size()), frame);

  pty_.send(frame);
  EXPECT_EQ(read_for(port, 16, 500), frame);
  EXPECT_TRUE(plat::serial_close(port));
}

TEST_F(SerialPortTest, PortOpenedForReadingRefusesWrites) {
  link_as("com3");
  plat::SerialHandle port = plat::serial_open("Com3", plat::Access::Read);
  ASSERT_NE(port, nullptr);
  uint32_t done = 7;
  EXPECT_FALSE(plat::serial_write(port, "x", 1, &done));
  EXPECT_EQ(done, 0u);
  EXPECT_EQ(plat::last_error(), static_cast<uint32_t>(EBADF));
  pty_.send("r");
  EXPECT_EQ(read_for(port, 1, 500), "r");
  EXPECT_TRUE(plat::serial_close(port));
}

TEST_F(SerialPortTest, PurgeDiscardsReceivedInput) {
  link_as("com3");
  plat::SerialHandle port = plat::serial_open("Com3", plat::Access::ReadWrite);
  ASSERT_NE(port, nullptr);
  pty_.send("stale");
  usleep(50 * 1000);
  EXPECT_TRUE(plat::serial_purge(port, plat::kPurgeRx | plat::kPurgeTx));
  EXPECT_EQ(read_for(port, 8, 100), "");
  pty_.send("fresh");
  EXPECT_EQ(read_for(port, 5, 500), "fresh");
  EXPECT_FALSE(plat::serial_purge(port, 0x10u));
  EXPECT_TRUE(plat::serial_close(port));
}

TEST_F(SerialPortTest, LineSettingsReachTheTerminalAndOtherFieldsSurvive) {
  link_as("com3");
  plat::SerialHandle port = plat::serial_open("Com3", plat::Access::ReadWrite);
  ASSERT_NE(port, nullptr);

  // Hardware flow control is not a field of LineSettings: it must survive.
  termios before = pty_.slave_settings();
  before.c_cflag |= CRTSCTS;
  ASSERT_EQ(tcsetattr(pty_.master, TCSANOW, &before), 0);

  // A pty always carries 8 data bits without parity, whatever it is told, so
  // only the rate and the stop bits can be seen on the far side here.
  plat::LineSettings line;
  ASSERT_TRUE(plat::serial_get_line(port, &line));
  line.baud_rate = 19200;
  line.stop_bits = 2;
  ASSERT_TRUE(plat::serial_set_line(port, line));

  termios after = pty_.slave_settings();
  EXPECT_EQ(cfgetospeed(&after), static_cast<speed_t>(B19200));
  EXPECT_EQ(cfgetispeed(&after), static_cast<speed_t>(B19200));
  EXPECT_NE(after.c_cflag & CSTOPB, 0u);
  EXPECT_NE(after.c_cflag & CRTSCTS, 0u);

  plat::LineSettings read_back;
  ASSERT_TRUE(plat::serial_get_line(port, &read_back));
  EXPECT_EQ(read_back.baud_rate, 19200u);
  EXPECT_EQ(read_back.byte_size, 8);
  EXPECT_EQ(read_back.stop_bits, 2);

  // The link's own settings: 38400 8N1.
  line = plat::LineSettings{};
  line.baud_rate = 38400;
  ASSERT_TRUE(plat::serial_set_line(port, line));
  after = pty_.slave_settings();
  EXPECT_EQ(cfgetospeed(&after), static_cast<speed_t>(B38400));
  EXPECT_EQ(after.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_EQ(after.c_cflag & (PARENB | CSTOPB), 0u);
  EXPECT_TRUE(plat::serial_close(port));
}

TEST_F(SerialPortTest, UnsupportedLineSettingsFailAndChangeNothing) {
  link_as("com3");
  plat::SerialHandle port = plat::serial_open("Com3", plat::Access::ReadWrite);
  ASSERT_NE(port, nullptr);
  plat::LineSettings line;
  ASSERT_TRUE(plat::serial_get_line(port, &line));
  line.baud_rate = 9600;
  ASSERT_TRUE(plat::serial_set_line(port, line));

  plat::LineSettings odd_rate = line;
  odd_rate.baud_rate = 12345;
  plat::LineSettings bad_size = line;
  bad_size.byte_size = 9;
  plat::LineSettings half_stop = line;
  half_stop.stop_bits = 1;  // only with five data bits
  plat::LineSettings bad_parity = line;
  bad_parity.parity = 5;
  for (const plat::LineSettings& bad : {odd_rate, bad_size, half_stop, bad_parity}) {
    EXPECT_FALSE(plat::serial_set_line(port, bad));
    EXPECT_EQ(plat::last_error(), static_cast<uint32_t>(EINVAL));
  }
  const termios after = pty_.slave_settings();
  EXPECT_EQ(cfgetospeed(&after), static_cast<speed_t>(B9600));
  EXPECT_EQ(after.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_TRUE(plat::serial_close(port));
}

TEST(PortDirectory, DefaultsToTheRuntimeDirectoryThenToTmp) {
  ScopedEnv no_ports("BREVANE_PORTS", nullptr);
  {
    ScopedEnv runtime("XDG_RUNTIME_DIR", "/run/user/4321");
    EXPECT_STREQ(plat::port_directory(), "/run/user/4321/brevane/ports");
  }
  ScopedEnv no_runtime("XDG_RUNTIME_DIR", nullptr);
  EXPECT_EQ(std::string(plat::port_directory()), "/tmp/brevane-" + std::to_string(getuid()) + "/ports");
}

TEST(PortDirectory, OnlyTheToolsOwnDirectoryGetsAutomaticEntries) {
  TempDir runtime;
  ScopedEnv xdg("XDG_RUNTIME_DIR", runtime.path());
  const std::string own = runtime.path() + "/brevane/ports";
  const std::string record = std::string("/") + plat::posix::kAutoRecordName;
  {
    TempDir chosen;
    ScopedEnv ports("BREVANE_PORTS", chosen.path());
    EXPECT_EQ(plat::serial_open("Com255", plat::Access::ReadWrite), nullptr);
    EXPECT_FALSE(std::filesystem::exists(chosen.path() + record));
    EXPECT_FALSE(std::filesystem::exists(own));
  }
  ScopedEnv no_ports("BREVANE_PORTS", nullptr);
  EXPECT_EQ(plat::serial_open("Com255", plat::Access::ReadWrite), nullptr);
  EXPECT_EQ(plat::last_error(), static_cast<uint32_t>(ENOENT));
  // The lookup made the directory, private to the user, and mapped the
  // devices of this host into it.
  struct stat st {};
  ASSERT_EQ(stat(own.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  EXPECT_TRUE(std::filesystem::exists(own + record));
}

}  // namespace
