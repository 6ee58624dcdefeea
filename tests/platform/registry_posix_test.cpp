// The registry's file store: where it lives, that names cannot leave it, and
// that every value is replaced in one step.
#include <sys/stat.h>

#include <atomic>
#include <filesystem>
#include <string>
#include <thread>

#include "platform/registry.h"
#include "platform/serial.h"
#include "tests/platform/posix_test_util.h"

namespace {

using brevane_test::ScopedEnv;
using brevane_test::TempDir;
namespace fs = std::filesystem;

class RegistryStoreTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_FALSE(dir_.path().empty()); }
  std::string store() const { return dir_.path() + "/store"; }

  // Every path below the temporary directory, relative to it.
  std::vector<std::string> all_paths() const {
    std::vector<std::string> paths;
    for (const auto& entry : fs::recursive_directory_iterator(dir_.path())) {
      paths.push_back(fs::relative(entry.path(), dir_.path()).string());
    }
    return paths;
  }

  TempDir dir_;
  ScopedEnv registry_{"BREVANE_REGISTRY", dir_.path() + "/store"};
};

TEST_F(RegistryStoreTest, HostileNamesStayInsideTheStoreAndStayDistinct) {
  plat::RegKey key = plat::reg_create_key(nullptr, "..\\..\\escape\\.");
  ASSERT_NE(key, nullptr);
  const char* names[] = {"../../evil", "a/b", "/etc/passwd", ".", "..", "x.v", "", "Model Number"};
  uint32_t number = 0;
  for (const char* name : names) {
    ASSERT_TRUE(plat::reg_set_value(key, name, plat::RegType::Dword, &number, 4)) << name;
    ++number;
  }
  for (const std::string& path : all_paths()) {
    EXPECT_EQ(path.rfind("store", 0), 0u) << path;
    EXPECT_EQ(path.find("/../"), std::string::npos) << path;
  }
  // Each name reads back its own value.
  for (uint32_t i = 0; i < std::size(names); ++i) {
    uint32_t value = 99;
    uint32_t size = sizeof value;
    ASSERT_TRUE(plat::reg_query_value(key, names[i], nullptr, &value, &size)) << names[i];
    EXPECT_EQ(value, i) << names[i];
  }
  EXPECT_TRUE(plat::reg_close(key));
  EXPECT_EQ(plat::reg_create_key(nullptr, "Software\\\\Twice"), nullptr);
  EXPECT_EQ(plat::reg_create_key(nullptr, "\\Leading"), nullptr);
}

TEST_F(RegistryStoreTest, WritesLeaveNoTemporaryFilesBehind) {
  plat::RegKey key = plat::reg_create_key(nullptr, "Software\\Dorvik\\Brevane\\Network\\Com3\\16");
  ASSERT_NE(key, nullptr);
  for (uint32_t i = 0; i < 100; ++i) {
    ASSERT_TRUE(plat::reg_set_value(key, "Build", plat::RegType::Dword, &i, sizeof i));
  }
  for (const std::string& path : all_paths()) {
    const std::string leaf = fs::path(path).filename().string();
    EXPECT_NE(leaf.front(), '.') << path;
  }
  EXPECT_TRUE(fs::exists(store() + "/software/dorvik/brevane/network/com3/16/build.v"));
  EXPECT_TRUE(plat::reg_close(key));
}

TEST_F(RegistryStoreTest, ReaderSeesTheOldValueOrTheNewNeverAMixture) {
  plat::RegKey key = plat::reg_create_key(nullptr, "Software\\Race");
  ASSERT_NE(key, nullptr);
  const std::string short_text(100, 'A');
  const std::string long_text(3000, 'B');
  ASSERT_TRUE(plat::reg_set_value(key, "Text", plat::RegType::String, short_text.data(), 100));

  std::atomic<bool> stop{false};
  std::atomic<int> writes{0};
  std::thread writer([&] {
    for (int i = 0; !stop.load(); ++i) {
      const std::string& text = i % 2 == 0 ? long_text : short_text;
      plat::reg_set_value(key, "Text", plat::RegType::String, text.data(),
                          static_cast<uint32_t>(text.size()));
      writes.fetch_add(1);
    }
  });
  int torn = 0;
  // Keep reading while the writer replaces the value many times over.
  for (int i = 0; i < 300 || (writes.load() < 40 && i < 1000000); ++i) {
    std::string buffer(4096, '\0');
    uint32_t size = static_cast<uint32_t>(buffer.size());
    if (!plat::reg_query_value(key, "Text", nullptr, buffer.data(), &size)) {
      ++torn;
      continue;
    }
    buffer.resize(size);
    if (buffer != short_text && buffer != long_text) ++torn;
  }
  stop = true;
  writer.join();
  EXPECT_EQ(torn, 0);
  EXPECT_TRUE(plat::reg_close(key));
}

TEST_F(RegistryStoreTest, OversizedValueIsRefusedAndTheOldOneKept) {
  plat::RegKey key = plat::reg_create_key(nullptr, "Software\\Big");
  ASSERT_NE(key, nullptr);
  ASSERT_TRUE(plat::reg_set_value(key, "Device Name", plat::RegType::String, "Pump", 5));
  const std::string huge(4097, 'x');
  EXPECT_FALSE(plat::reg_set_value(key, "Device Name", plat::RegType::String, huge.data(), 4097));
  EXPECT_EQ(plat::last_error(), static_cast<uint32_t>(E2BIG));
  char text[8] = {};
  uint32_t size = sizeof text;
  ASSERT_TRUE(plat::reg_query_value(key, "Device Name", nullptr, text, &size));
  EXPECT_STREQ(text, "Pump");
  const std::string largest(4096, 'y');
  EXPECT_TRUE(plat::reg_set_value(key, "Device Name", plat::RegType::String, largest.data(), 4096));
  EXPECT_TRUE(plat::reg_close(key));
}

TEST_F(RegistryStoreTest, DamagedValueFileIsNotTakenForAValue) {
  plat::RegKey key = plat::reg_create_key(nullptr, "Software\\Damaged");
  ASSERT_NE(key, nullptr);
  FILE* file = std::fopen((store() + "/software/damaged/build.v").c_str(), "w");
  ASSERT_NE(file, nullptr);
  std::fputs("ab", file);  // shorter than the type header
  std::fclose(file);
  uint32_t number = 5;
  uint32_t size = sizeof number;
  EXPECT_FALSE(plat::reg_query_value(key, "Build", nullptr, &number, &size));
  EXPECT_EQ(number, 5u);
  EXPECT_TRUE(plat::reg_close(key));
}

TEST(RegistryStoreLocation, FollowsTheStateDirectoryWhenNotGiven) {
  TempDir dir;
  ScopedEnv no_store("BREVANE_REGISTRY", nullptr);
  {
    ScopedEnv state("XDG_STATE_HOME", dir.path() + "/state");
    plat::RegKey key = plat::reg_create_key(nullptr, "Software");
    ASSERT_NE(key, nullptr);
    EXPECT_TRUE(plat::reg_close(key));
    EXPECT_TRUE(fs::is_directory(dir.path() + "/state/brevane/registry/software"));
  }
  ScopedEnv no_state("XDG_STATE_HOME", nullptr);
  ScopedEnv home("HOME", dir.path() + "/home");
  plat::RegKey key = plat::reg_create_key(nullptr, "Software");
  ASSERT_NE(key, nullptr);
  EXPECT_TRUE(plat::reg_close(key));
  EXPECT_TRUE(fs::is_directory(dir.path() + "/home/.local/state/brevane/registry/software"));
}

}  // namespace
