// The journal of address moves on a real disk: what is written is read back
// by the next run, entries are struck out one by one, and a folder that takes
// no file refuses the move.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "update/address_journal.h"
#include "update/backup_folder.h"

namespace {

class Journal : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           ("brevane-journal-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
            "-" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_);
    BackupFolder_Set(dir_.string().c_str());
  }
  void TearDown() override {
    BackupFolder_Set(nullptr);
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }
  static AddressMove Move(const char* port, int32_t serial, uint8_t from, uint8_t to) {
    AddressMove m;
    std::snprintf(m.port, sizeof m.port, "%s", port);
    m.serialNumber = serial;
    std::snprintf(m.modelNumber, sizeof m.modelNumber, "QD4010A-6AC1100");
    m.from = from;
    m.to = to;
    return m;
  }
  std::vector<AddressMove> Load() {
    AddressMove moves[AddressJournalCapacity];
    uint32_t count = 0;
    char why[256];
    EXPECT_TRUE(Journal_Load(moves, AddressJournalCapacity, &count, why, sizeof why)) << why;
    return std::vector<AddressMove>(moves, moves + count);
  }
  std::filesystem::path dir_;
};

TEST_F(Journal, MovesSurviveTheRunAndAreStruckOutOneByOne) {
  char why[256];
  EXPECT_TRUE(Load().empty());
  ASSERT_TRUE(Journal_Add(Move("Com1", 4410400, 16, 17), why, sizeof why)) << why;
  ASSERT_TRUE(Journal_Add(Move("\\\\.\\Com12", -5, 32, 18), why, sizeof why)) << why;
  // The same device moved again replaces its entry.
  ASSERT_TRUE(Journal_Add(Move("Com1", 4410400, 16, 19), why, sizeof why)) << why;
  std::vector<AddressMove> moves = Load();
  ASSERT_EQ(moves.size(), 2u);
  EXPECT_STREQ(moves[0].port, "\\\\.\\Com12");
  EXPECT_EQ(moves[0].serialNumber, -5);
  EXPECT_EQ(moves[0].from, 32);
  EXPECT_EQ(moves[1].to, 19);
  EXPECT_STREQ(moves[1].modelNumber, "QD4010A-6AC1100");

  ASSERT_TRUE(Journal_Remove("Com1", 4410400, why, sizeof why));
  moves = Load();
  ASSERT_EQ(moves.size(), 1u);
  EXPECT_EQ(moves[0].serialNumber, -5);
  // The last entry struck out takes the journal with it.
  ASSERT_TRUE(Journal_Remove("\\\\.\\Com12", -5, why, sizeof why));
  EXPECT_TRUE(Load().empty());
  EXPECT_FALSE(std::filesystem::exists(dir_ / AddressJournalName));
  EXPECT_FALSE(std::filesystem::exists(dir_ / (std::string(AddressJournalName) + ".tmp")));
}

TEST_F(Journal, LinesThatAreNoMoveAreSkipped) {
  std::ofstream(dir_ / AddressJournalName)
      << "Com1\t4410400\tQD4010A-6AC1100\t16\t17\n"
      << "garbage\n"
      << "Com2\tx\tQD\t16\t17\n"
      << "Com3\t1\tQD\t300\t17\n"
      << "Com4\t2\tQD4010A\t16\t18";  // no line end: the journal was cut there
  const std::vector<AddressMove> moves = Load();
  ASSERT_EQ(moves.size(), 2u);
  EXPECT_STREQ(moves[0].port, "Com1");
  EXPECT_STREQ(moves[1].port, "Com4");
  EXPECT_EQ(moves[1].to, 18);
}

TEST_F(Journal, AFolderThatTakesNoFileRefusesTheMoveAndSaysWhy) {
  BackupFolder_Set((dir_ / "missing" / "folder").string().c_str());
  char why[256] = "";
  EXPECT_FALSE(Journal_Add(Move("Com1", 1, 16, 17), why, sizeof why));
  EXPECT_NE(std::string(why).find("missing"), std::string::npos) << why;
  FolderCheckStep failed = FolderCheckStep::Remove;
  const Result refused = BackupFolder_Probe(plat::system_files(), &failed);
  EXPECT_EQ(refused.outcome, Outcome::FileFailed);
  EXPECT_EQ(failed, FolderCheckStep::Create);
  EXPECT_FALSE(refused.text.empty());
  BackupFolder_Set(dir_.string().c_str());
  const Result taken = BackupFolder_Probe(plat::system_files(), &failed);
  EXPECT_TRUE(taken.Ok()) << taken.text;
  EXPECT_TRUE(std::filesystem::is_empty(dir_));
}

}  // namespace
