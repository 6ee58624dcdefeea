// The port listing on Linux: which entries of the port directory the menu
// offers, and what it says about them.
#include "app/ports.h"

#include <string>

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

}  // namespace
