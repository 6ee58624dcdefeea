// The emulated firmware image format.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <stdexcept>

#include "sim/firmware.h"

namespace {

TEST(FirmwareImageTest, Crc32MatchesTheStandardCheckValue) {
  const char* text = "123456789";
  EXPECT_EQ(sim::Crc32(reinterpret_cast<const uint8_t*>(text), std::strlen(text)), 0xCBF43926u);
}

TEST(FirmwareImageTest, BuiltImageValidatesAndNamesItsHardwareAndVersion) {
  std::vector<uint8_t> image = sim::BuildImage(28, 14, 0, 180, 1904, 128);
  ASSERT_EQ(image.size(), sim::kFlashSize);
  std::optional<sim::ImageInfo> info = sim::ValidateImage(image);
  ASSERT_TRUE(info);
  EXPECT_EQ(info->hardwareId, 28);
  EXPECT_EQ(info->release, 14);
  EXPECT_EQ(info->prototype, 0);
  EXPECT_EQ(info->build, 180);
  EXPECT_EQ(info->length, sim::kFlashSize);
  // Header bytes at their documented places.
  EXPECT_EQ(std::memcmp(image.data() + 0x200, "BVFW", 4), 0);
  EXPECT_EQ(image[0x205], 28);
  EXPECT_EQ(image[0x208], 180);
  EXPECT_EQ(image[0x209], 0);
}

TEST(FirmwareImageTest, AnyChangedByteMakesTheImageInvalid) {
  std::vector<uint8_t> image = sim::BuildImage(28, 14, 0, 180, 16, 128);
  for (size_t at : {size_t{0}, size_t{0x200}, size_t{0x207}, size_t{1000}, image.size() - 1}) {
    std::vector<uint8_t> damaged = image;
    damaged[at] ^= 0x10;
    EXPECT_FALSE(sim::ValidateImage(damaged)) << "byte " << at;
  }
}

TEST(FirmwareImageTest, SmallImageInAnErasedFlashStillValidates) {
  std::vector<uint8_t> image = sim::BuildImage(23, 9, 2, 41, 8, 128);
  std::vector<uint8_t> flash(sim::kFlashSize, 0xFF);
  std::copy(image.begin(), image.end(), flash.begin());
  std::optional<sim::ImageInfo> info = sim::ValidateImage(flash);
  ASSERT_TRUE(info);
  EXPECT_EQ(info->length, 1024u);
  EXPECT_FALSE(sim::ValidateImage(std::vector<uint8_t>(sim::kFlashSize, 0xFF)));
  // A length that claims more than there is.
  image.resize(1000);
  EXPECT_FALSE(sim::ValidateImage(image));
}

TEST(FirmwareImageTest, DifferentVersionsGiveDifferentBytes) {
  EXPECT_NE(sim::BuildImage(28, 14, 0, 180, 16, 128), sim::BuildImage(28, 14, 0, 179, 16, 128));
  EXPECT_EQ(sim::BuildImage(28, 14, 0, 180, 16, 128), sim::BuildImage(28, 14, 0, 180, 16, 128));
}

TEST(FirmwareImageTest, RefusesSizesOutsideTheFlashOrBelowTheHeader) {
  EXPECT_THROW(sim::BuildImage(28, 14, 0, 180, 4, 128), std::invalid_argument);
  EXPECT_THROW(sim::BuildImage(28, 14, 0, 180, 1905, 128), std::invalid_argument);
  EXPECT_NO_THROW(sim::BuildImage(28, 14, 0, 180, 5, 128));
}

TEST(FirmwareImageTest, ReadsAnImageFileBackUnchanged) {
  std::vector<uint8_t> image = sim::BuildImage(28, 14, 0, 180, 16, 128);
  std::string path = ::testing::TempDir() + "firmware_image_test.bin";
  {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(image.data()), std::streamsize(image.size()));
  }
  EXPECT_EQ(sim::ReadImageFile(path), image);
  EXPECT_THROW(sim::ReadImageFile(path + ".missing"), std::runtime_error);
}

}  // namespace
