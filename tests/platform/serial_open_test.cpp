// Opening serial ports by path, through the platform interface only.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "platform/serial.h"

namespace {

// A configuration mistake (a port name that leads to a file) must not give the
// link a handle whose line settings and time-outs silently do nothing.
TEST(SerialOpen, PlainFileIsNotASerialPortAndIsLeftUntouched) {
  const std::filesystem::path file =
      std::filesystem::temp_directory_path() / "brevane-not-a-port.bin";
  {
    std::ofstream out(file, std::ios::binary);
    out << "contents";
  }
  EXPECT_EQ(plat::serial_open(file.string().c_str(), plat::Access::ReadWrite), nullptr);
  EXPECT_NE(plat::last_error(), 0u);
  EXPECT_EQ(plat::serial_open(file.string().c_str(), plat::Access::Read), nullptr);

  std::ifstream in(file, std::ios::binary);
  std::string kept(32, '\0');
  in.read(kept.data(), static_cast<std::streamsize>(kept.size()));
  kept.resize(static_cast<std::size_t>(in.gcount()));
  in.close();
  EXPECT_EQ(kept, "contents");
  std::error_code ignored;
  std::filesystem::remove(file, ignored);
}

// The one rule every layer uses to turn a port name into the path it opens.
TEST(DevicePath, ShortComNamesGoThroughTheDeviceNamespaceOthersAsTheyAre) {
  char path[64];
  for (const char* name : {"COM3", "com12", "cOm7", "Com255"}) {
    plat::device_path(name, path, sizeof path);
    EXPECT_EQ(std::string("\\\\.\\") + name, path);
  }
  for (const char* name : {"COM1234", "CO", "COM", "\\\\.\\COM12", "/dev/ttyS0", "tty3", "xom3"}) {
    plat::device_path(name, path, sizeof path);
    EXPECT_STREQ(name, path);
  }
}

TEST(DevicePath, LongNamesAreCutToTheRoomGiven) {
  char path[6];
  plat::device_path("COM12", path, sizeof path);
  EXPECT_STREQ("\\\\.\\C", path);
  plat::device_path("/dev/ttyUSB0", path, sizeof path);
  EXPECT_STREQ("/dev/", path);
}

TEST(ErrorText, GivesTheSystemsMessageWithoutALineEnd) {
  char text[128];
  plat::error_text(5, text, sizeof text);  // EIO on POSIX, access denied on Windows
  const std::string message = text;
  EXPECT_FALSE(message.empty());
  EXPECT_EQ(message.find_first_of("\r\n"), std::string::npos);
  char small[4];
  plat::error_text(5, small, sizeof small);
  EXPECT_EQ(std::string(small), message.substr(0, 3));
}

}  // namespace
