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

}  // namespace
