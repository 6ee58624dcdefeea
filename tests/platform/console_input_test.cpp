// Answers and keys read from redirected standard input, through the platform
// interface only: both backends must take the same typed text the same way.
#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <filesystem>
#include <string>

#include "platform/console.h"

namespace {

class ConsoleInput : public ::testing::Test {
 protected:
  // Standard input now reads `text`, byte for byte.
  void type(const std::string& text) {
    file_ = std::filesystem::temp_directory_path() /
            ("brevane-input-" + std::string(::testing::UnitTest::GetInstance()
                                                ->current_test_info()
                                                ->name()));
    std::FILE* out = std::fopen(file_.string().c_str(), "wb");
    ASSERT_NE(out, nullptr);
    ASSERT_EQ(std::fwrite(text.data(), 1, text.size(), out), text.size());
    ASSERT_EQ(std::fclose(out), 0);
    ASSERT_NE(std::freopen(file_.string().c_str(), "r", stdin), nullptr);
  }
  void TearDown() override {
    std::error_code ignored;
    std::filesystem::remove(file_, ignored);
  }

  // The answer as a number, or "none" when the line holds no number.
  static std::string answer() {
    int value = INT_MIN + 1;
    return plat::con_read_int(&value) ? std::to_string(value) : "none";
  }

  std::filesystem::path file_;
};

TEST_F(ConsoleInput, NumberAnswerMayHaveBlanksAroundIt) {
  type(" 12 \n-7\n\t+3\t\n0\n");
  EXPECT_EQ(answer(), "12");
  EXPECT_EQ(answer(), "-7");
  EXPECT_EQ(answer(), "3");
  EXPECT_EQ(answer(), "0");
}

TEST_F(ConsoleInput, LineThatIsNotJustANumberIsUsedUpWithoutAValue) {
  type("3x\n\n   \nabc\n5\n");
  int value = 99;
  EXPECT_FALSE(plat::con_read_int(&value));
  EXPECT_EQ(value, 99);
  EXPECT_EQ(answer(), "none");
  EXPECT_EQ(answer(), "none");
  EXPECT_EQ(answer(), "none");
  EXPECT_EQ(answer(), "5");
}

TEST_F(ConsoleInput, NumberBeyondTheRangeOfAnIntIsRefused) {
  type("99999999999\n-2147483648\n2147483648\n2147483647\n");
  EXPECT_EQ(answer(), "none");
  EXPECT_EQ(answer(), std::to_string(INT_MIN));
  EXPECT_EQ(answer(), "none");
  EXPECT_EQ(answer(), std::to_string(INT_MAX));
}

TEST_F(ConsoleInput, OverlongLineIsOneAnswerAndTheNextLineStillCounts) {
  type(std::string(300, '1') + "\n42\n");
  EXPECT_EQ(answer(), "none");
  EXPECT_EQ(answer(), "42");
}

TEST_F(ConsoleInput, KeysAndAnswersShareOneInput) {
  type("y\n7\nn");
  EXPECT_EQ(plat::con_read_key(), 'y');
  EXPECT_EQ(plat::con_read_key(), '\n');
  EXPECT_EQ(answer(), "7");
  EXPECT_EQ(plat::con_read_key(), 'n');
  EXPECT_EQ(plat::con_read_key(), -1);
  EXPECT_TRUE(plat::con_at_end());
}

TEST_F(ConsoleInput, LastLineWithoutLineEndStillCountsThenInputHasEnded) {
  type("8");
  EXPECT_EQ(answer(), "8");
  EXPECT_EQ(answer(), "none");
  EXPECT_TRUE(plat::con_at_end());
  EXPECT_EQ(plat::con_read_key(), -1);
}

}  // namespace
