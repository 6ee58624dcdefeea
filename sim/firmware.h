// The emulated controllers' firmware image format (described in FIRMWARE.md):
// the image is the flash contents from the start of the application area; a
// 16-byte header at a fixed offset names the hardware and the version, and
// the last four bytes of the image hold a CRC-32 of everything before them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace sim {

inline constexpr uint32_t kFlashBase = 0x08003000;
inline constexpr uint32_t kFlashEnd = 0x0803E800;  // first address past the flash
inline constexpr size_t kFlashSize = kFlashEnd - kFlashBase;

inline constexpr size_t kHeaderOffset = 0x200;
inline constexpr size_t kHeaderSize = 16;
inline constexpr uint8_t kHeaderMagic[4] = {'B', 'V', 'F', 'W'};
inline constexpr uint8_t kHeaderFormat = 1;
// Header, smallest image and CRC must fit.
inline constexpr size_t kMinImageSize = kHeaderOffset + kHeaderSize + 4;

struct ImageInfo {
  uint8_t hardwareId = 0;
  uint8_t release = 0;
  uint8_t prototype = 0;
  uint16_t build = 0;
  uint32_t length = 0;  // bytes of the image, its CRC included
};

// CRC-32 as used by Ethernet and zip (reflected 0x04C11DB7, all ones in and out).
uint32_t Crc32(const uint8_t* bytes, size_t size);

// A valid image of blockCount * blockSize bytes for the given hardware and
// version; its filler bytes depend on all of them, so two versions differ.
// Throws std::invalid_argument when it would not fit the header or the flash.
std::vector<uint8_t> BuildImage(uint8_t hardwareId, uint8_t release, uint8_t prototype,
                                uint16_t build, size_t blockCount, size_t blockSize);

// Reads the header of an image, or of flash contents that start with one,
// and checks its CRC. Empty when there is no valid image.
std::optional<ImageInfo> ValidateImage(const uint8_t* bytes, size_t size);
inline std::optional<ImageInfo> ValidateImage(const std::vector<uint8_t>& bytes) {
  return ValidateImage(bytes.data(), bytes.size());
}

// The bytes of an image file; throws std::runtime_error when unreadable.
std::vector<uint8_t> ReadImageFile(const std::string& path);

}  // namespace sim
