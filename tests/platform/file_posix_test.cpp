// What the POSIX file backend adds to the shared file tests: links, special
// files, times and the system's reasons for failures.
#include <sys/stat.h>
#include <utime.h>

#include <cstring>
#include <string>

#include "platform/file.h"
#include "platform/serial.h"
#include "tests/platform/posix_test_util.h"

namespace {

using brevane_test::TempDir;

void make_file(const std::string& path, const std::string& text) {
  FILE* file = std::fopen(path.c_str(), "w");
  ASSERT_NE(file, nullptr) << path;
  std::fputs(text.c_str(), file);
  std::fclose(file);
}

std::string content_of(const std::string& path) {
  FILE* file = std::fopen(path.c_str(), "r");
  if (file == nullptr) return "<missing>";
  std::string text;
  int c = 0;
  while ((c = std::fgetc(file)) != EOF) text += static_cast<char>(c);
  std::fclose(file);
  return text;
}

std::string error_text_of(uint32_t code) {
  char text[256] = {};
  plat::error_text(code, text, sizeof text);
  return text;
}

TEST(FilePosix, OnlyRegularFilesCountAsRegular) {
  TempDir dir;
  ASSERT_FALSE(dir.path().empty());
  const std::string file = dir.path() + "/settings.qsv";
  make_file(file, "data");
  const std::string directory = dir.path() + "/folder";
  ASSERT_EQ(mkdir(directory.c_str(), 0700), 0);
  const std::string link_to_file = dir.path() + "/link.qsv";
  ASSERT_EQ(symlink(file.c_str(), link_to_file.c_str()), 0);
  const std::string fifo = dir.path() + "/fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);

  struct Case {
    const char* what;
    std::string path;
    bool regular;
  };
  const Case cases[] = {
      {"regular file", file, true},
      {"directory", directory, false},
      {"symbolic link to a regular file", link_to_file, false},
      {"named pipe", fifo, false},
      {"missing", dir.path() + "/missing.qsv", false},
      {"device", "/dev/null", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(plat::file_is_regular(c.path.c_str()), c.regular);
  }
  EXPECT_FALSE(plat::file_is_regular(nullptr));
  // A missing file is reported with the system's own reason.
  ASSERT_FALSE(plat::file_is_regular((dir.path() + "/missing.qsv").c_str()));
  EXPECT_EQ(plat::last_error(), static_cast<uint32_t>(ENOENT));
  EXPECT_EQ(error_text_of(plat::last_error()), std::strerror(ENOENT));
}

TEST(FilePosix, ModifiedTimeIsTheContentsLastChangeInSecondsSince1970) {
  TempDir dir;
  ASSERT_FALSE(dir.path().empty());
  const std::string file = dir.path() + "/image.bin";
  make_file(file, "firmware");
  const std::string link_to_file = dir.path() + "/image-link.bin";
  ASSERT_EQ(symlink(file.c_str(), link_to_file.c_str()), 0);

  // 2100-01-01 needs more than 32 bits.
  const int64_t times[] = {0, 1, 1600000000, 4102444800};
  for (const int64_t when : times) {
    SCOPED_TRACE(when);
    utimbuf stamp{};
    stamp.actime = static_cast<time_t>(when == 0 ? 1 : 0);  // differs from the modification time
    stamp.modtime = static_cast<time_t>(when);
    ASSERT_EQ(utime(file.c_str(), &stamp), 0);
    int64_t seconds = -12345;
    ASSERT_TRUE(plat::file_modified_time(file.c_str(), &seconds));
    EXPECT_EQ(seconds, when);
    // A link reports the file it names.
    seconds = -12345;
    ASSERT_TRUE(plat::file_modified_time(link_to_file.c_str(), &seconds));
    EXPECT_EQ(seconds, when);
  }

  int64_t seconds = -12345;
  EXPECT_FALSE(plat::file_modified_time((dir.path() + "/missing.bin").c_str(), &seconds));
  EXPECT_EQ(plat::last_error(), static_cast<uint32_t>(ENOENT));
  EXPECT_EQ(seconds, -12345);
  EXPECT_FALSE(plat::file_modified_time(file.c_str(), nullptr));
}

TEST(FilePosix, RenameNewNeverReplacesAndLeavesNoSecondName) {
  TempDir dir;
  ASSERT_FALSE(dir.path().empty());
  const std::string from = dir.path() + "/backup.tmp";
  const std::string taken = dir.path() + "/backup.qsv";
  const std::string free_name = dir.path() + "/backup-2.qsv";
  make_file(from, "new settings");
  make_file(taken, "old settings");

  EXPECT_FALSE(plat::file_rename_new(from.c_str(), taken.c_str()));
  EXPECT_EQ(plat::last_error(), static_cast<uint32_t>(EEXIST));
  EXPECT_EQ(content_of(taken), "old settings");
  EXPECT_EQ(content_of(from), "new settings");

  ASSERT_TRUE(plat::file_rename_new(from.c_str(), free_name.c_str()));
  EXPECT_EQ(content_of(free_name), "new settings");
  EXPECT_FALSE(plat::file_exists(from.c_str()));
  struct stat info {};
  ASSERT_EQ(stat(free_name.c_str(), &info), 0);
  EXPECT_EQ(info.st_nlink, 1U);

  EXPECT_FALSE(plat::file_rename_new((dir.path() + "/missing").c_str(), (dir.path() + "/other").c_str()));
  EXPECT_EQ(plat::last_error(), static_cast<uint32_t>(ENOENT));
  EXPECT_FALSE(plat::file_exists((dir.path() + "/other").c_str()));
}

}  // namespace
