#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "client/scan.h"

namespace {

using Bytes = std::vector<uint8_t>;

void Append(Bytes& b, const Bytes& more) { b.insert(b.end(), more.begin(), more.end()); }

Bytes TextItem(uint8_t member, const std::string& text) {
  Bytes item = {member, 9, static_cast<uint8_t>(text.size() + 1)};
  item.reserve(item.size() + text.size() + 1);
  for (char c : text) item.push_back(static_cast<uint8_t>(c));
  item.push_back(0);
  return item;
}

Bytes WordItem(uint8_t member, uint8_t type, uint32_t word) {
  return {member, type, static_cast<uint8_t>(word >> 24), static_cast<uint8_t>(word >> 16),
          static_cast<uint8_t>(word >> 8), static_cast<uint8_t>(word)};
}

// A read-instance reply of class 1, instance 1 with the given items.
Bytes IdentityReply(const std::vector<Bytes>& items) {
  Bytes reply = {0x01, 0x05, 0x01, 0x01, static_cast<uint8_t>(items.size())};
  for (const Bytes& item : items) Append(reply, item);
  return reply;
}

TEST(DecodeIdentityItems, FillsEveryIdentityField) {
  const Bytes reply = IdentityReply({
      WordItem(1, 5, 28), WordItem(2, 5, 3), WordItem(3, 5, 14), WordItem(4, 5, 2),
      WordItem(5, 5, 180), WordItem(7, 6, 1234567),
      {6, 1, 0x99},  // a member the record does not keep
      TextItem(9, "QD4010A-6AC1100"), TextItem(11, "Boiler room"),
  });
  DeviceRecord record;
  EXPECT_EQ(DecodeIdentityItems(reply.data(), reply.size(), &record), 1);
  EXPECT_EQ(record.hardwareId, 28);
  EXPECT_EQ(record.softwareId, 3);
  EXPECT_EQ(record.release, 14);
  EXPECT_EQ(record.prototype, 2);
  EXPECT_EQ(record.build, 180);
  EXPECT_EQ(record.serialNumber, 1234567);
  EXPECT_STREQ(record.modelNumber, "QD4010A-6AC1100");
  EXPECT_STREQ(record.deviceName, "Boiler room");
}

TEST(DecodeIdentityItems, OneByteNumberKeepsItsPlaceInTheWord) {
  const Bytes reply = IdentityReply({{1, 1, 0x17}, {3, 3, 0x00, 0x0E}});
  DeviceRecord record;
  ASSERT_EQ(DecodeIdentityItems(reply.data(), reply.size(), &record), 1);
  EXPECT_EQ(static_cast<uint32_t>(record.hardwareId), 0x17000000u);
  EXPECT_EQ(static_cast<uint32_t>(record.release), 0x000E0000u);
}

TEST(DecodeIdentityItems, LeavesFieldsTheReplyDoesNotMention) {
  const Bytes reply = IdentityReply({WordItem(7, 6, 42), TextItem(9, "AB")});
  DeviceRecord record;
  std::strcpy(record.deviceName, "kept");
  record.build = 77;
  ASSERT_EQ(DecodeIdentityItems(reply.data(), reply.size(), &record), 1);
  EXPECT_STREQ(record.deviceName, "kept");
  EXPECT_EQ(record.build, 77);
  EXPECT_EQ(record.serialNumber, 42);
}

TEST(DecodeIdentityItems, CutsTextsToWhatTheRecordHolds) {
  const std::string long_name(60, 'n');
  const Bytes reply = IdentityReply({TextItem(11, long_name), TextItem(9, long_name)});
  DeviceRecord record;
  ASSERT_EQ(DecodeIdentityItems(reply.data(), reply.size(), &record), 1);
  EXPECT_EQ(std::string(record.deviceName), std::string(31, 'n'));
  EXPECT_EQ(std::string(record.modelNumber), std::string(31, 'n'));
}

// A reply cut short anywhere is a failed read and changes nothing, not even the
// items that came before the cut.
TEST(DecodeIdentityItems, RefusesARepliesCutShortAndKeepsTheRecord) {
  const Bytes reply = IdentityReply({WordItem(1, 5, 28), TextItem(9, "QD40"), WordItem(7, 6, 5)});
  for (std::size_t cut = 0; cut < reply.size(); ++cut) {
    DeviceRecord record;
    record.hardwareId = -1;
    std::strcpy(record.modelNumber, "old");
    EXPECT_EQ(DecodeIdentityItems(reply.data(), cut, &record), 0) << "cut to " << cut;
    EXPECT_EQ(record.hardwareId, -1);
    EXPECT_STREQ(record.modelNumber, "old");
  }
  const Bytes no_items = IdentityReply({});
  DeviceRecord record;
  EXPECT_EQ(DecodeIdentityItems(no_items.data(), no_items.size(), &record), 1);
}

TEST(BootModelFits, StarAndXStandForAnyCharacterAndTheShorterTextDecides) {
  EXPECT_TRUE(BootModelFits("AB**X7", "ABC9Z7Q"));
  EXPECT_TRUE(BootModelFits("AB", "ABC9Z7Q"));
  EXPECT_FALSE(BootModelFits("AC", "ABC9Z7Q"));
  EXPECT_TRUE(BootModelFits("QD4XXXX-XXXXXXX", "QD4010A-6AC1100"));
  EXPECT_FALSE(BootModelFits("QD5XXXX", "QD4010A"));
  EXPECT_TRUE(BootModelFits("anything", ""));
  EXPECT_TRUE(BootModelFits("", "QD4010A"));
  // Wildcards are the bootloader's, not the caller's.
  EXPECT_FALSE(BootModelFits("QD4", "QX*"));
}

}  // namespace
