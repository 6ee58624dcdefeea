// Serial devices found in a fake device tree and mapped to "comN" entries of
// a port directory, and their descriptions.
#include "platform/posix/port_map.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/types.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "platform/serial.h"
#include "tests/platform/fake_devices.h"

namespace {

using brevane_test::FakeDevices;
using brevane_test::UsbAdapter;
using plat::posix::adapter_latency;
using plat::posix::describe_serial_device;
using plat::posix::find_serial_devices;
using plat::posix::map_serial_devices;

const UsbAdapter kFtdi{"ttyUSB0", "usb-FTDI_USB-RS485_Cable_FT123456-if00-port0", "1-1",
                       "FTDI", "USB-RS485 Cable", "FT123456"};
const UsbAdapter kProlific{"ttyUSB1", "usb-Prolific_USB-Serial_Controller_AB998877-if00-port0",
                           "1-2", "Prolific Technology Inc.", "USB-Serial Controller", "AB998877"};
const UsbAdapter kCh340{"ttyUSB2", "usb-1a86_USB2.0-Ser_-if00-port0", "1-3", "", "USB2.0-Ser!", ""};

// The port directory's entries: name to link text ("file" for anything not
// a link), without the record of automatic entries.
std::map<std::string, std::string> entries(const std::string& dir) {
  std::map<std::string, std::string> out;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    const std::string name = entry.path().filename().string();
    if (name == plat::posix::kAutoRecordName) continue;
    out[name] = entry.is_symlink() ? std::filesystem::read_symlink(entry.path()).string() : "file";
  }
  return out;
}

ino_t inode(const std::string& path) {
  struct stat st {};
  return lstat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

class PortMapTest : public ::testing::Test {
 protected:
  bool map() { return map_serial_devices(tree_.ports(), tree_.root()); }
  std::string port(const std::string& name) const { return tree_.ports() + "/" + name; }

  FakeDevices tree_;
};

TEST_F(PortMapTest, AdaptersByIdComeFirstThenOtherUsbNodesThenUartsWithHardware) {
  tree_.plug(kProlific);
  tree_.plug(kFtdi);
  // No by-id names (no udev): found by node, in number order.
  tree_.plug({"ttyUSB10", "", "2-1", "", "", ""});
  tree_.plug({"ttyUSB9", "", "2-2", "", "", ""});
  tree_.plug({"ttyACM0", "", "2-3", "", "", ""});
  tree_.uart("ttyS1", "4");
  tree_.uart("ttyS0", "0");                      // serial8250 placeholder
  tree_.uart("ttyS2", "4", /*with_device=*/false);  // no hardware behind it
  tree_.uart("ttyS10", "4");
  // A by-id name whose node is gone leads nowhere.
  ASSERT_EQ(symlink("../../ttyUSB7", tree_.by_id("usb-Gone_Cable-if00-port0").c_str()), 0);

  std::vector<std::string> targets;
  for (const auto& device : find_serial_devices(tree_.root())) targets.push_back(device.target);
  EXPECT_EQ(targets, (std::vector<std::string>{
                         tree_.by_id(kFtdi.by_id), tree_.by_id(kProlific.by_id),
                         tree_.dev("ttyUSB9"), tree_.dev("ttyUSB10"), tree_.dev("ttyACM0"),
                         tree_.dev("ttyS1"), tree_.dev("ttyS10")}));
}

TEST_F(PortMapTest, TwoAdaptersAndAUartTakeTheFirstThreeNumbersAndKeepThem) {
  tree_.plug(kProlific);
  tree_.plug(kFtdi);
  tree_.uart("ttyS0", "4");
  ASSERT_TRUE(map());
  const std::map<std::string, std::string> first = entries(tree_.ports());
  EXPECT_EQ(first, (std::map<std::string, std::string>{{"com1", tree_.by_id(kFtdi.by_id)},
                                                       {"com2", tree_.by_id(kProlific.by_id)},
                                                       {"com3", tree_.dev("ttyS0")}}));
  const ino_t com1 = inode(port("com1"));

  // Another run with the same devices changes nothing, not even the links.
  ASSERT_TRUE(map());
  EXPECT_EQ(entries(tree_.ports()), first);
  EXPECT_EQ(inode(port("com1")), com1);
}

TEST_F(PortMapTest, UnpluggedAdapterFreesItsNumberForTheNextNewcomerAndOthersKeepTheirs) {
  tree_.plug(kFtdi);
  tree_.plug(kProlific);
  tree_.uart("ttyS0", "4");
  ASSERT_TRUE(map());
  const ino_t com2 = inode(port("com2"));
  const ino_t com3 = inode(port("com3"));

  tree_.unplug(kFtdi);
  ASSERT_TRUE(map());
  EXPECT_EQ(entries(tree_.ports()),
            (std::map<std::string, std::string>{{"com2", tree_.by_id(kProlific.by_id)},
                                                {"com3", tree_.dev("ttyS0")}}));

  tree_.plug(kCh340);
  ASSERT_TRUE(map());
  EXPECT_EQ(entries(tree_.ports()),
            (std::map<std::string, std::string>{{"com1", tree_.by_id(kCh340.by_id)},
                                                {"com2", tree_.by_id(kProlific.by_id)},
                                                {"com3", tree_.dev("ttyS0")}}));
  EXPECT_EQ(inode(port("com2")), com2);
  EXPECT_EQ(inode(port("com3")), com3);
}

TEST_F(PortMapTest, EntriesMadeByOthersSurviveAndTheirDevicesGetNoSecondEntry) {
  tree_.plug(kFtdi);
  tree_.plug(kProlific);
  FakeDevices::write(tree_.dev("pts/3"), "");
  tree_.own_link("com1", tree_.dev("pts/3"));                 // the emulator's
  tree_.own_link("COM2", "/nonexistent/ttyUSB9");             // dangling, any case
  tree_.own_link("com7", "../dev/" + kProlific.node);       // names a device
  FakeDevices::write(port("com4"), "");                       // not even a link
  tree_.own_link("com03", tree_.dev("pts/3"));                // answers to no port number
  const auto before = entries(tree_.ports());

  ASSERT_TRUE(map());
  auto expected = before;
  expected["com3"] = tree_.by_id(kFtdi.by_id);  // the lowest number nobody holds
  EXPECT_EQ(entries(tree_.ports()), expected);

  // All devices gone: only the automatic entry goes with them.
  tree_.unplug(kFtdi);
  tree_.unplug(kProlific);
  ASSERT_TRUE(map());
  EXPECT_EQ(entries(tree_.ports()), before);
}

TEST_F(PortMapTest, AutomaticEntryMadeAnewBySomeoneElseIsNoLongerTouched) {
  tree_.plug(kFtdi);
  tree_.plug(kProlific);
  ASSERT_TRUE(map());
  // The emulator replaces com1 with its own link (rename over it), and the
  // user replaces com2 with a link of the same text: both are theirs now.
  FakeDevices::write(tree_.dev("pts/5"), "");
  tree_.own_link("com1.new", tree_.dev("pts/5"));
  ASSERT_EQ(rename(port("com1.new").c_str(), port("com1").c_str()), 0);
  tree_.own_link("com2.new", tree_.by_id(kProlific.by_id));
  ASSERT_EQ(rename(port("com2.new").c_str(), port("com2").c_str()), 0);

  tree_.unplug(kProlific);
  ASSERT_TRUE(map());
  EXPECT_EQ(entries(tree_.ports()),
            (std::map<std::string, std::string>{{"com1", tree_.dev("pts/5")},
                                                {"com2", tree_.by_id(kProlific.by_id)},
                                                {"com3", tree_.by_id(kFtdi.by_id)}}));
}

TEST_F(PortMapTest, RecordThatDoesNotMatchItsLinkNeverRemovesIt) {
  tree_.own_link("com1", tree_.by_id("usb-Gone_Cable-if00-port0"));
  tree_.own_link("com2", tree_.by_id("usb-Gone_Cable-if00-port1"));
  tree_.own_link("com3", tree_.by_id("usb-Gone_Cable-if00-port2"));
  // A wrong inode, an unreadable one, and a last line cut off.
  const std::string record =
      "com1 " + std::to_string(inode(port("com1")) + 1) + " " +
      tree_.by_id("usb-Gone_Cable-if00-port0") + "\ncom2 x " +
      tree_.by_id("usb-Gone_Cable-if00-port1") + "\ncom3 " + std::to_string(inode(port("com3"))) +
      " " + tree_.by_id("usb-Gone_Cable-if00-port2");
  FakeDevices::write(tree_.ports() + "/" + plat::posix::kAutoRecordName, record);
  const auto before = entries(tree_.ports());
  ASSERT_TRUE(map());
  EXPECT_EQ(entries(tree_.ports()), before);
}

TEST_F(PortMapTest, DirectoryLockedByAnotherCallerIsLeftAsItIs) {
  tree_.plug(kFtdi);
  const int holder = open(tree_.ports().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_EQ(flock(holder, LOCK_EX), 0);
  EXPECT_FALSE(map());
  EXPECT_EQ(plat::last_error(), static_cast<uint32_t>(EWOULDBLOCK));
  EXPECT_TRUE(entries(tree_.ports()).empty());
  close(holder);
  ASSERT_TRUE(map());
  EXPECT_EQ(entries(tree_.ports()).size(), 1u);
}

TEST_F(PortMapTest, PortDirectoryThatIsMissingIsAFailure) {
  EXPECT_FALSE(map_serial_devices(tree_.ports() + "/missing", tree_.root()));
  EXPECT_EQ(plat::last_error(), static_cast<uint32_t>(ENOENT));
}

TEST_F(PortMapTest, DescriptionsComeFromSysfs) {
  tree_.plug(kFtdi);
  tree_.plug(kProlific);
  tree_.plug(kCh340);
  tree_.plug({"ttyACM0", "", "1-4", "Acme", "Acme RS485 Bridge", ""});
  tree_.plug({"ttyUSB3", "", "1-5", "", "", "Q42"});
  tree_.plug({"ttyUSB4", "", "1-6", "Evil\x1b[2J", "Cable\tX", ""});
  tree_.uart("ttyS0", "4");
  FakeDevices::write(tree_.dev("pts/3"), "");
  tree_.own_link("com1", tree_.by_id(kFtdi.by_id));
  const struct {
    std::string path;
    std::string text;
  } cases[] = {
      {port("com1"), "FTDI USB-RS485 Cable, serial FT123456 (" + tree_.dev("ttyUSB0") + ")"},
      {tree_.dev("ttyUSB1"), "Prolific Technology Inc. USB-Serial Controller, serial AB998877 (" +
                                 tree_.dev("ttyUSB1") + ")"},
      {tree_.dev("ttyUSB2"), "USB2.0-Ser! (" + tree_.dev("ttyUSB2") + ")"},
      {tree_.dev("ttyACM0"), "Acme RS485 Bridge (" + tree_.dev("ttyACM0") + ")"},
      {tree_.dev("ttyUSB3"), "serial Q42 (" + tree_.dev("ttyUSB3") + ")"},
      {tree_.dev("ttyUSB4"), "Evil?[2J Cable?X (" + tree_.dev("ttyUSB4") + ")"},
      {tree_.dev("ttyS0"), tree_.dev("ttyS0")},
      {tree_.dev("pts/3"), ""},                // no sysfs entry
      {tree_.dev("ttyUSB8"), ""},              // no such device
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(describe_serial_device(c.path, tree_.root()), c.text);
  }
}

TEST_F(PortMapTest, LongTextsFromTheDeviceAreCut) {
  const std::string long_product(200, 'P');
  tree_.plug({"ttyUSB0", "", "1-1", "", long_product, ""});
  EXPECT_EQ(describe_serial_device(tree_.dev("ttyUSB0"), tree_.root()),
            std::string(48, 'P') + " (" + tree_.dev("ttyUSB0") + ")");
}

// Root writes through any file mode, so a read-only attribute is tried as
// another user while the test runs as root.
class Unprivileged {
 public:
  Unprivileged() : was_(geteuid()) {
    if (was_ == 0) {
      EXPECT_EQ(seteuid(kNobody), 0);
    }
  }
  ~Unprivileged() {
    if (was_ == 0) {
      EXPECT_EQ(seteuid(0), 0);
    }
  }
  Unprivileged(const Unprivileged&) = delete;
  Unprivileged& operator=(const Unprivileged&) = delete;

 private:
  static constexpr uid_t kNobody = 65534;
  uid_t was_;
};

std::string contents(const std::string& path) {
  std::ifstream in(path);
  std::string text;
  std::getline(in, text, '\0');
  return text;
}

TEST_F(PortMapTest, AdapterLatencyTimerIsLoweredToOneMillisecondWhereItCanBe) {
  using plat::LatencyState;
  enum class Where { Device, UsbSerialBus, Nowhere };
  struct Case {
    const char* what;
    UsbAdapter adapter;
    Where where;
    std::string timer;  // the attribute's text
    bool read_only;
    LatencyState state;
    uint32_t ms;
    uint32_t error;
    std::string after;  // the attribute's text afterwards
  };
  const Case cases[] = {
      {"16 ms, writable, reached through a comN entry and a by-id link",
       {"ttyUSB0", "usb-Acme_USB-RS485_AC1-if00-port0", "1-1", "Acme", "USB-RS485", "AC1"},
       Where::Device, "16\n", false, LatencyState::Lowered, 16, 0, "1"},
      {"16 ms, read-only", {"ttyUSB1", "", "1-2", "Acme", "USB-RS485", "AC2"}, Where::Device,
       "16\n", true, LatencyState::Slow, 16, EACCES, "16\n"},
      {"32 ms, writable, found under the usb-serial bus only",
       {"ttyUSB2", "", "1-3", "", "", ""}, Where::UsbSerialBus, "32\n", false,
       LatencyState::Lowered, 32, 0, "1"},
      {"1 ms already", {"ttyUSB3", "", "1-4", "", "", ""}, Where::Device, "1\n", true,
       LatencyState::Fine, 1, 0, "1\n"},
      {"no latency timer", {"ttyACM0", "", "1-5", "", "", ""}, Where::Nowhere, "", false,
       LatencyState::None, 0, 0, ""},
      {"not a number", {"ttyUSB4", "", "1-6", "", "", ""}, Where::Device, "fast\n", false,
       LatencyState::None, 0, 0, "fast\n"},
  };
  // The tree must be reachable by the unprivileged user too.
  std::filesystem::permissions(std::filesystem::path(tree_.root().dev).parent_path(),
                               std::filesystem::perms::owner_all |
                                   std::filesystem::perms::group_read |
                                   std::filesystem::perms::group_exec |
                                   std::filesystem::perms::others_read |
                                   std::filesystem::perms::others_exec);
  std::filesystem::create_directories(tree_.sys("bus/usb-serial/devices"));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    tree_.plug(c.adapter);
    std::string timer;
    if (c.where == Where::Device) {
      timer = tree_.sys("class/tty/" + c.adapter.node + "/device/latency_timer");
    } else if (c.where == Where::UsbSerialBus) {
      const std::string dir = tree_.sys("bus/usb-serial/devices/" + c.adapter.node);
      std::filesystem::create_directories(dir);
      timer = dir + "/latency_timer";
    }
    if (!timer.empty()) {
      FakeDevices::write(timer, c.timer);
      using std::filesystem::perms;
      const perms read = perms::owner_read | perms::group_read | perms::others_read;
      const perms write = perms::owner_write | perms::group_write | perms::others_write;
      std::filesystem::permissions(timer, c.read_only ? read : read | write);
    }
    std::string path = tree_.dev(c.adapter.node);
    if (!c.adapter.by_id.empty()) {
      tree_.own_link("com1", tree_.by_id(c.adapter.by_id));
      path = port("com1");
    }

    plat::AdapterLatency got;
    {
      const Unprivileged user;
      got = adapter_latency(path, tree_.root());
    }
    EXPECT_EQ(got.state, c.state);
    EXPECT_EQ(got.timer_ms, c.ms);
    EXPECT_EQ(got.error, c.error);
    if (!timer.empty()) {
      EXPECT_EQ(contents(timer), c.after);
    }
  }
  // A pseudo-terminal, a device that is not there.
  FakeDevices::write(tree_.dev("pts/3"), "");
  EXPECT_EQ(adapter_latency(tree_.dev("pts/3"), tree_.root()).state, LatencyState::None);
  EXPECT_EQ(adapter_latency(tree_.dev("ttyUSB9"), tree_.root()).state, LatencyState::None);
}

}  // namespace
