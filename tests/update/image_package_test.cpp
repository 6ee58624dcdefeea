#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "update/image_package.h"

namespace {

DeviceRecord Device(int32_t hardwareId, int32_t build, const char* model = "QD4010A-6AC1100",
                    uint8_t address = 16) {
  DeviceRecord record;
  record.hardwareId = hardwareId;
  record.build = build;
  record.address = address;
  std::snprintf(record.modelNumber, sizeof record.modelNumber, "%s", model);
  return record;
}

std::vector<uint8_t> ReadFile(const char* path) {
  std::vector<uint8_t> bytes;
  std::FILE* f = std::fopen(path, "rb");
  if (f == nullptr) return bytes;
  int c = 0;
  while ((c = std::fgetc(f)) != EOF) bytes.push_back(static_cast<uint8_t>(c));
  std::fclose(f);
  return bytes;
}

TEST(ImagePackage, CarriesTheDescriptorOfHardware28) {
  const ImagePackage* package = Image_Find(28);
  ASSERT_NE(package, nullptr);
  EXPECT_EQ(package->release, 14);
  EXPECT_EQ(package->prototype, 0);
  EXPECT_EQ(Image_GetBuild(28), 180);
  EXPECT_EQ(Image_GetBlockCount(28), 1904);
  EXPECT_EQ(Image_IsKnown(28), 1);
  // Only the 8-bit id matches: wider values never alias onto it.
  EXPECT_EQ(Image_Find(28 + 256), nullptr);
  EXPECT_EQ(Image_Find(-228), nullptr);
  EXPECT_EQ(Image_GetBuild(27), 0);
  EXPECT_EQ(Image_GetBlockCount(27), 0);
}

TEST(ImagePackage, BlocksCoverTheFlashWithoutGapAndHoldTheImageFileBytes) {
  const std::vector<uint8_t> file = ReadFile(BREVANE_TEST_IMAGE_FILE);
  ASSERT_EQ(file.size(), 243712u);
  uint32_t expected = 0x08003000;
  for (uint16_t i = 0; i < 1904; ++i) {
    const ImageBlock* block = Image_GetBlock(28, i);
    ASSERT_NE(block, nullptr) << i;
    ASSERT_EQ(block->flashAddress, expected) << i;
    ASSERT_EQ(block->length, 128u) << i;
    ASSERT_EQ(std::memcmp(block->data, file.data() + (expected - 0x08003000), 128), 0) << i;
    expected += block->length;
  }
  EXPECT_EQ(expected, 0x0803E800u);
  EXPECT_EQ(Image_GetBlock(28, 1903)->flashAddress, 0x0803E780u);
  EXPECT_EQ(Image_GetBlock(28, 1904), nullptr);
  EXPECT_EQ(Image_GetBlock(27, 0), nullptr);
}

TEST(ImagePackage, DescriptionOfAPackageAndListOfAll) {
  const std::string description =
      "Upgrades:  Brevane QD to revision 14.00.180\r\n\r\n"
      "           Power cycle if control displays 'rEtn 100' after loading.\r\n\r\n";
  EXPECT_EQ(Image_GetDescription(28), description);
  EXPECT_EQ(Image_GetDescription(0), description + "\r\n");
  EXPECT_EQ(Image_GetDescription(255), description + "\r\n");
  // The list is rebuilt on each call, not appended to.
  EXPECT_EQ(Image_GetDescription(0), description + "\r\n");
}

TEST(ImagePackage, PatternsAndTheWholeTextPatternMap) {
  ASSERT_EQ(Image_PatternCount(), 3);
  EXPECT_STREQ(Image_GetPattern(0), "TVX************");
  EXPECT_STREQ(Image_GetPattern(2), "TVZ************");
  EXPECT_EQ(Image_GetPattern(3), nullptr);
  EXPECT_EQ(Image_HardwareIdForPattern("QD*****-6******"), 32);
  EXPECT_EQ(Image_HardwareIdForPattern("QD1234A-6AAAAAA"), 255);
  EXPECT_EQ(Image_HardwareIdForPattern("QD*****-6*****"), 255);
}

TEST(ImagePackage, PolicyIsOnUnlessTheSettingSaysNo) {
  Image_SetPolicy(YesNoSetting::Unset, YesNoSetting::Unset);
  EXPECT_EQ(Image_BackupEnabled(28), 1);
  EXPECT_EQ(Image_DefaultsWriteEnabled(28), 1);
  Image_SetPolicy(YesNoSetting::No, YesNoSetting::Yes);
  EXPECT_EQ(Image_BackupEnabled(28), 0);
  EXPECT_EQ(Image_BackupEnabled(99), 0);
  EXPECT_EQ(Image_DefaultsWriteEnabled(28), 1);
  Image_SetPolicy(YesNoSetting::Yes, YesNoSetting::No);
  EXPECT_EQ(Image_BackupEnabled(28), 1);
  EXPECT_EQ(Image_DefaultsWriteEnabled(28), 0);
  Image_SetPolicy(YesNoSetting::Unset, YesNoSetting::Unset);
}

TEST(DeviceMatching, KeepsCarriedHardwareUnchangedAndDropsTheRestInOrder) {
  DeviceRecord in[] = {Device(28, 172, "anything", 16), Device(23, 41, "QM2200B-4AA0100", 18),
                       Device(28, 180, "", 17), Device(25, 77, "QT1100C-2BA0010", 20)};
  in[2].matchedByModel = 7;
  DeviceRecord out[4];
  ASSERT_EQ(Image_SelectDevices(in, 4, out), 2u);
  EXPECT_EQ(out[0].address, 16);
  EXPECT_STREQ(out[0].modelNumber, "anything");
  EXPECT_EQ(out[1].address, 17);
  EXPECT_EQ(out[1].matchedByModel, 7);
  EXPECT_EQ(out[1].hardwareId, 28);
}

TEST(DeviceMatching, RelatedModelsWithoutAMappedPatternAreDropped) {
  // TVX1234 fits the first pattern, whose hardware id is unknown: dropped
  // without trying the others; an empty model fits every pattern alike.
  const DeviceRecord in[] = {Device(27, 1, "TVX1234"), Device(99, 1, ""),
                             Device(27, 1, "TVY9999999999999999")};
  DeviceRecord out[3];
  EXPECT_EQ(Image_SelectDevices(in, 3, out), 0u);
}

TEST(UpgradeFilter, KeepsOnlyBuildsBelowTheCarriedOne) {
  const DeviceRecord in[] = {Device(28, 179, "a", 16), Device(28, 180, "b", 17),
                             Device(28, 181, "c", 18), Device(27, 0, "d", 19),
                             Device(27, -1, "e", 20), Device(28, -5, "f", 21)};
  DeviceRecord out[6];
  ASSERT_EQ(Image_SelectUpgradable(in, 6, out), 3u);
  EXPECT_EQ(out[0].address, 16);
  EXPECT_EQ(out[1].address, 20);
  EXPECT_EQ(out[2].address, 21);
}

}  // namespace
