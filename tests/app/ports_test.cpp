// The port listing on Linux: which entries of the port directory the menu
// offers, and what it says about them; and the line about a slow adapter.
#include "app/ports.h"

#include <cerrno>
#include <string>
#include <vector>

#include <gmock/gmock.h>

#include "platform/posix/port_map.h"
#include "platform/serial.h"
#include "tests/platform/fake_devices.h"

namespace {

using brevane_test::FakeDevices;
using brevane_test::Pty;
using brevane_test::ScopedEnv;

TEST(PortListing, OnlyPortsThatOpenAreListedAndAPseudoTerminalGetsNoDescription) {
  FakeDevices tree;
  // com1: an adapter mapped automatically whose node does not open as a
  // terminal; com2: a free pty; com3: a pty held by another user of the port.
  tree.plug({"ttyUSB0", "usb-FTDI_USB-RS485_Cable_FT123456-if00-port0", "1-1", "FTDI",
             "USB-RS485 Cable", "FT123456"});
  ASSERT_TRUE(plat::posix::map_serial_devices(tree.ports(), tree.root()));
  Pty free_port;
  Pty held_port;
  tree.own_link("com2", free_port.slave_path);
  tree.own_link("com3", held_port.slave_path);
  ScopedEnv ports("BREVANE_PORTS", tree.ports());
  plat::SerialHandle holder = plat::serial_open("Com3", plat::Access::ReadWrite);
  ASSERT_NE(holder, nullptr);

  PortList list;
  list.descriptions[0][0] = 'x';  // whatever a slot held before is replaced
  EXPECT_EQ(EnumeratePorts(&list), 1);
  EXPECT_STREQ(list.names[0], "Com2");
  EXPECT_STREQ(list.descriptions[0], "");
  EXPECT_TRUE(plat::serial_close(holder));

  EXPECT_EQ(EnumeratePorts(&list), 2);
  EXPECT_STREQ(list.names[1], "Com3");
}

TEST(AdapterLatencyLine, OnlyASlowTimerIsReportedWithItsCostAndTheWayToChangeIt) {
  using plat::LatencyState;
  using ::testing::HasSubstr;
  using ::testing::Not;
  char permission_denied[128];
  plat::error_text(EACCES, permission_denied, sizeof permission_denied);
  const struct {
    const char* port;
    plat::AdapterLatency latency;
    std::vector<std::string> says;  // empty: no line at all
    const char* never;
  } cases[] = {
      {"Com3", {LatencyState::Slow, 16, EACCES},
       {"Com3: ", "16 ms", "could not be set to 1 ms", permission_denied, "about 24 s per update",
        "udev rule"},
       "Device Manager"},
      {"\\\\.\\Com12", {LatencyState::Slow, 3, 0},
       {"Com12: ", "3 ms", "about 5 s per update", "Device Manager", "Latency Timer"},
       "udev"},
      {"Com4", {LatencyState::Fine, 2, 0}, {}, ""},
      {"Com5", {LatencyState::Lowered, 16, 0}, {}, ""},
      {"Com6", {LatencyState::None, 0, 0}, {}, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.port);
    char line[400] = "stale";
    DescribeAdapterLatency(c.port, c.latency, line, sizeof line);
    if (c.says.empty()) {
      EXPECT_STREQ(line, "");
      continue;
    }
    for (const std::string& part : c.says) EXPECT_THAT(line, HasSubstr(part));
    EXPECT_THAT(line, Not(HasSubstr(c.never)));
    EXPECT_THAT(line, Not(HasSubstr("\\")));
    EXPECT_THAT(line, Not(HasSubstr("\n")));
  }
}

}  // namespace
