// Files, the registry and redirected console output, through the platform
// interface only.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <random>
#include <string>

#include "platform/console.h"
#include "platform/file.h"
#include "platform/registry.h"

namespace {

std::string random_tag() {
  std::random_device random;
  return std::to_string(random()) + std::to_string(random());
}

class FileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() / ("brevane-files-" + random_tag());
    ASSERT_TRUE(std::filesystem::create_directories(dir_));
  }
  void TearDown() override {
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }
  std::string path(const char* name) const { return (dir_ / name).string(); }

  static void write_file(const std::string& file, const std::string& text) {
    plat::FileHandle handle = plat::file_open(file.c_str(), plat::FileMode::CreateAlways);
    ASSERT_NE(handle, nullptr);
    uint32_t done = 0;
    ASSERT_TRUE(plat::file_write(handle, text.data(), static_cast<uint32_t>(text.size()), &done));
    ASSERT_EQ(done, text.size());
    ASSERT_TRUE(plat::file_flush(handle));
    ASSERT_TRUE(plat::file_close(handle));
  }

  // The whole content, or "<missing>" when the file cannot be opened.
  static std::string read_file(const std::string& file) {
    plat::FileHandle handle = plat::file_open(file.c_str(), plat::FileMode::OpenRead);
    if (handle == nullptr) return "<missing>";
    std::string text(256, '\0');
    uint32_t done = 0;
    EXPECT_TRUE(plat::file_read(handle, text.data(), static_cast<uint32_t>(text.size()), &done));
    EXPECT_TRUE(plat::file_close(handle));
    text.resize(done);
    return text;
  }

  std::filesystem::path dir_;
};

TEST_F(FileTest, CreateAlwaysMakesANewFileOrEmptiesAnOldOne) {
  const std::string file = path("Com3-16.qsv");
  write_file(file, "first contents");
  EXPECT_EQ(read_file(file), "first contents");
  write_file(file, "new");
  EXPECT_EQ(read_file(file), "new");
}

TEST_F(FileTest, SeekMovesReadsAndWritesAndReportsThePosition) {
  const std::string file = path("seek.bin");
  write_file(file, "0123456789");
  plat::FileHandle handle = plat::file_open(file.c_str(), plat::FileMode::OpenReadWrite);
  ASSERT_NE(handle, nullptr);
  uint64_t at = 0;
  EXPECT_TRUE(plat::file_seek(handle, 0, plat::SeekFrom::End, &at));
  EXPECT_EQ(at, 10u);
  EXPECT_TRUE(plat::file_seek(handle, 4, plat::SeekFrom::Begin, &at));
  char two[2];
  uint32_t done = 0;
  EXPECT_TRUE(plat::file_read(handle, two, 2, &done));
  EXPECT_EQ(std::string(two, done), "45");
  EXPECT_TRUE(plat::file_seek(handle, 1, plat::SeekFrom::Current, &at));
  EXPECT_EQ(at, 7u);
  EXPECT_TRUE(plat::file_write(handle, "xy", 2, &done));
  EXPECT_TRUE(plat::file_seek(handle, -1, plat::SeekFrom::End, &at));
  EXPECT_EQ(at, 9u);
  // Reading past the end stops there without failing.
  char rest[8];
  EXPECT_TRUE(plat::file_read(handle, rest, sizeof rest, &done));
  EXPECT_EQ(std::string(rest, done), "9");
  EXPECT_TRUE(plat::file_close(handle));
  EXPECT_EQ(read_file(file), "0123456xy9");
}

TEST_F(FileTest, MissingFileCannotBeOpenedAndReadOnlyFileCannotBeWritten) {
  EXPECT_EQ(plat::file_open(path("absent").c_str(), plat::FileMode::OpenRead), nullptr);
  EXPECT_EQ(plat::file_open(path("absent").c_str(), plat::FileMode::OpenReadWrite), nullptr);
  write_file(path("ro"), "keep");
  plat::FileHandle handle = plat::file_open(path("ro").c_str(), plat::FileMode::OpenRead);
  ASSERT_NE(handle, nullptr);
  uint32_t done = 5;
  EXPECT_FALSE(plat::file_write(handle, "x", 1, &done));
  EXPECT_EQ(done, 0u);
  EXPECT_TRUE(plat::file_close(handle));
  EXPECT_EQ(read_file(path("ro")), "keep");
}

TEST_F(FileTest, ReplaceAndDelete) {
  write_file(path("backup.tmp"), "new settings");
  write_file(path("backup.qsv"), "old settings");
  EXPECT_TRUE(plat::file_replace(path("backup.tmp").c_str(), path("backup.qsv").c_str()));
  EXPECT_EQ(read_file(path("backup.qsv")), "new settings");
  EXPECT_EQ(read_file(path("backup.tmp")), "<missing>");
  EXPECT_FALSE(plat::file_replace(path("backup.tmp").c_str(), path("backup.qsv").c_str()));

  EXPECT_TRUE(plat::file_delete(path("backup.qsv").c_str()));
  EXPECT_EQ(read_file(path("backup.qsv")), "<missing>");
  EXPECT_FALSE(plat::file_delete(path("backup.qsv").c_str()));
}

TEST_F(FileTest, RenameNewNeverReplacesAnExistingFile) {
  write_file(path("backup.tmp"), "second run");
  write_file(path("backup.qsv"), "first run");
  EXPECT_TRUE(plat::file_exists(path("backup.qsv").c_str()));
  EXPECT_FALSE(plat::file_rename_new(path("backup.tmp").c_str(), path("backup.qsv").c_str()));
  EXPECT_EQ(read_file(path("backup.qsv")), "first run");
  EXPECT_EQ(read_file(path("backup.tmp")), "second run");

  EXPECT_FALSE(plat::file_exists(path("other.qsv").c_str()));
  EXPECT_TRUE(plat::file_rename_new(path("backup.tmp").c_str(), path("other.qsv").c_str()));
  EXPECT_EQ(read_file(path("other.qsv")), "second run");
  EXPECT_FALSE(plat::file_exists(path("backup.tmp").c_str()));
}

// Registry tests work under a key of their own for each run, so that values
// from an earlier run cannot make them pass.
class RegistryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    base_ = "Software\\Brevane Tests\\" + random_tag();
    root_ = plat::reg_create_key(nullptr, base_.c_str());
    ASSERT_NE(root_, nullptr);
  }
  void TearDown() override {
    if (root_ != nullptr) {
      EXPECT_TRUE(plat::reg_close(root_));
    }
  }

  static bool set_text(plat::RegKey key, const char* name, const std::string& text) {
    return plat::reg_set_value(key, name, plat::RegType::String, text.c_str(),
                               static_cast<uint32_t>(text.size() + 1));
  }
  static bool set_number(plat::RegKey key, const char* name, uint32_t number) {
    return plat::reg_set_value(key, name, plat::RegType::Dword, &number, sizeof number);
  }

  std::string base_;
  plat::RegKey root_ = nullptr;
};

TEST_F(RegistryTest, ValuesOfBothTypesComeBackAsWritten) {
  plat::RegKey device = plat::reg_create_key(root_, "Com12\\16");
  ASSERT_NE(device, nullptr);
  ASSERT_TRUE(set_text(device, "Model Number", "QX-100"));
  ASSERT_TRUE(set_number(device, "Serial Number", 123456u));
  ASSERT_TRUE(plat::reg_close(device));

  plat::RegKey opened = plat::reg_open_key(nullptr, (base_ + "\\Com12\\16").c_str());
  ASSERT_NE(opened, nullptr);
  char text[33] = {};
  uint32_t size = sizeof text;
  plat::RegType type = plat::RegType::Dword;
  ASSERT_TRUE(plat::reg_query_value(opened, "Model Number", &type, text, &size));
  EXPECT_EQ(type, plat::RegType::String);
  EXPECT_EQ(size, 7u);
  EXPECT_STREQ(text, "QX-100");

  uint32_t number = 0;
  size = sizeof number;
  ASSERT_TRUE(plat::reg_query_value(opened, "Serial Number", &type, &number, &size));
  EXPECT_EQ(type, plat::RegType::Dword);
  EXPECT_EQ(size, 4u);
  EXPECT_EQ(number, 123456u);
  EXPECT_TRUE(plat::reg_close(opened));
}

TEST_F(RegistryTest, KeyAndValueNamesIgnoreLetterCase) {
  plat::RegKey device = plat::reg_create_key(root_, "Com12\\17");
  ASSERT_NE(device, nullptr);
  ASSERT_TRUE(set_number(device, "Build", 5u));
  ASSERT_TRUE(plat::reg_close(device));

  plat::RegKey opened = plat::reg_open_key(root_, "COM12\\17");
  ASSERT_NE(opened, nullptr);
  uint32_t number = 0;
  uint32_t size = sizeof number;
  EXPECT_TRUE(plat::reg_query_value(opened, "BUILD", nullptr, &number, &size));
  EXPECT_EQ(number, 5u);
  EXPECT_TRUE(plat::reg_close(opened));
}

TEST_F(RegistryTest, TooSmallBufferFailsAndLeavesItUntouched) {
  ASSERT_TRUE(set_text(root_, "Device Name", "Boiler Room 2"));
  unsigned char buffer[8];
  std::memset(buffer, 0xAA, sizeof buffer);
  uint32_t size = sizeof buffer;
  EXPECT_FALSE(plat::reg_query_value(root_, "Device Name", nullptr, buffer, &size));
  for (const unsigned char octet : buffer) EXPECT_EQ(octet, 0xAA);
  EXPECT_EQ(size, 14u);  // the room it would take

  // Without a buffer only the type and the size are told.
  plat::RegType type = plat::RegType::Dword;
  size = 0;
  EXPECT_TRUE(plat::reg_query_value(root_, "Device Name", &type, nullptr, &size));
  EXPECT_EQ(type, plat::RegType::String);
  EXPECT_EQ(size, 14u);

  // Exactly the room needed is enough.
  char exact[14];
  size = sizeof exact;
  EXPECT_TRUE(plat::reg_query_value(root_, "Device Name", nullptr, exact, &size));
  EXPECT_EQ(size, 14u);
  EXPECT_STREQ(exact, "Boiler Room 2");
}

TEST_F(RegistryTest, MissingValuesAndKeysAreReportedAsFailures) {
  uint32_t number = 77;
  uint32_t size = sizeof number;
  EXPECT_FALSE(plat::reg_query_value(root_, "Hardware Id", nullptr, &number, &size));
  EXPECT_EQ(number, 77u);
  EXPECT_EQ(plat::reg_open_key(root_, "Com99"), nullptr);
  EXPECT_EQ(plat::reg_open_key(nullptr, (base_ + "\\Com12\\200").c_str()), nullptr);
}

TEST_F(RegistryTest, WritingAgainReplacesTheWholeValue) {
  ASSERT_TRUE(set_number(root_, "Build", 5u));
  ASSERT_TRUE(set_number(root_, "Build", 7u));
  ASSERT_TRUE(set_text(root_, "Model Number", "LONG-MODEL-NAME"));
  ASSERT_TRUE(set_text(root_, "Model Number", "QX"));

  uint32_t number = 0;
  uint32_t size = sizeof number;
  ASSERT_TRUE(plat::reg_query_value(root_, "Build", nullptr, &number, &size));
  EXPECT_EQ(number, 7u);
  char text[32];
  size = sizeof text;
  plat::RegType type = plat::RegType::Dword;
  ASSERT_TRUE(plat::reg_query_value(root_, "Model Number", &type, text, &size));
  EXPECT_EQ(type, plat::RegType::String);
  EXPECT_EQ(size, 3u);
  EXPECT_STREQ(text, "QX");
}

TEST_F(RegistryTest, CreatingAnExistingKeyOpensItWithItsValues) {
  plat::RegKey first = plat::reg_create_key(root_, "Com3");
  ASSERT_NE(first, nullptr);
  ASSERT_TRUE(set_number(first, "Release", 2u));
  plat::RegKey again = plat::reg_create_key(root_, "Com3");
  ASSERT_NE(again, nullptr);
  uint32_t number = 0;
  uint32_t size = sizeof number;
  EXPECT_TRUE(plat::reg_query_value(again, "Release", nullptr, &number, &size));
  EXPECT_EQ(number, 2u);
  EXPECT_TRUE(plat::reg_close(first));
  EXPECT_TRUE(plat::reg_close(again));
}

// Output to a redirected stdout: text arrives, cursor calls print nothing and fail.
TEST(Console, RedirectedOutputGetsTextButNoCursorMoves) {
  ::testing::internal::CaptureStdout();
  plat::con_printf("Discovering Devices @ %s ..", "Com3");
  const bool terminal = plat::con_is_terminal();
  int column = -1;
  int row = -1;
  const bool got = plat::con_get_cursor(&column, &row);
  const bool set = plat::con_set_cursor(3, 4);
  plat::con_printf("%3d|", 42);
  const std::string printed = ::testing::internal::GetCapturedStdout();

  EXPECT_FALSE(terminal);
  EXPECT_FALSE(got);
  EXPECT_FALSE(set);
  // No line ends here: text-mode streams on some hosts would rewrite them.
  EXPECT_EQ(printed, "Discovering Devices @ Com3 .. 42|");
}

}  // namespace
