// A fake device tree in a temporary directory: device nodes and
// /dev/serial/by-id links under dev/, the sysfs entries behind them under
// sys/, shaped like a Linux host's, and an empty port directory ports/.
// The nodes are plain files, so none of them opens as a terminal.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "platform/posix/port_map.h"
#include "tests/platform/posix_test_util.h"

namespace brevane_test {

// A USB serial adapter as the kernel shows it.
struct UsbAdapter {
  std::string node;     // "ttyUSB0"
  std::string by_id;    // its /dev/serial/by-id name, empty for none
  std::string usb;      // its place on the USB tree, "1-2"
  std::string maker;    // sysfs attributes; empty ones are left out
  std::string product;
  std::string serial;
};

class FakeDevices {
 public:
  FakeDevices() {
    for (const char* dir :
         {"dev/serial/by-id", "dev/pts", "sys/class/tty", "sys/devices", "ports"}) {
      std::filesystem::create_directories(top_.path() + "/" + dir);
    }
  }

  plat::posix::DeviceRoot root() const { return {top_.path() + "/dev", top_.path() + "/sys"}; }
  std::string ports() const { return top_.path() + "/ports"; }
  std::string dev(const std::string& name) const { return top_.path() + "/dev/" + name; }
  std::string by_id(const std::string& name) const { return dev("serial/by-id/" + name); }

  void plug(const UsbAdapter& adapter) {
    const std::string usb_dir = sys("devices/pci0000:00/usb1/" + adapter.usb);
    const std::string port_dir = usb_dir + "/" + adapter.usb + ":1.0/" + adapter.node;
    std::filesystem::create_directories(port_dir + "/tty/" + adapter.node);
    write(usb_dir + "/idVendor", "0403\n");
    if (!adapter.maker.empty()) write(usb_dir + "/manufacturer", adapter.maker + "\n");
    if (!adapter.product.empty()) write(usb_dir + "/product", adapter.product + "\n");
    if (!adapter.serial.empty()) write(usb_dir + "/serial", adapter.serial + "\n");
    link(port_dir, port_dir + "/tty/" + adapter.node + "/device");
    link(port_dir + "/tty/" + adapter.node, sys("class/tty/" + adapter.node));
    write(dev(adapter.node), "");
    if (!adapter.by_id.empty()) link("../../" + adapter.node, by_id(adapter.by_id));
  }

  void unplug(const UsbAdapter& adapter) {
    remove(sys("devices/pci0000:00/usb1/" + adapter.usb));
    remove(sys("class/tty/" + adapter.node));
    remove(dev(adapter.node));
    if (!adapter.by_id.empty()) remove(by_id(adapter.by_id));
  }

  // A ttyS port; `type` is its UART type in sysfs (0: the serial8250
  // driver's placeholder), `with_device` whether sysfs shows a device.
  void uart(const std::string& node, const std::string& type, bool with_device = true) {
    const std::string class_dir = sys("class/tty/" + node);
    std::filesystem::create_directories(class_dir);
    write(class_dir + "/type", type + "\n");
    if (with_device) {
      const std::string device =
          sys(type == "0" ? "devices/platform/serial8250" : "devices/pnp0/00:01");
      std::filesystem::create_directories(device);
      link(device, class_dir + "/device");
    }
    write(dev(node), "");
  }

  // A link in the port directory made by someone other than the mapping.
  void own_link(const std::string& name, const std::string& target) const {
    link(target, ports() + "/" + name);
  }

  std::string sys(const std::string& name) const { return top_.path() + "/sys/" + name; }

  static void write(const std::string& path, const std::string& text) {
    std::ofstream(path) << text;
  }

 private:
  static void link(const std::string& target, const std::string& path) {
    ASSERT_EQ(symlink(target.c_str(), path.c_str()), 0) << path;
  }
  static void remove(const std::string& path) {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
  }

  TempDir top_;
};

}  // namespace brevane_test
