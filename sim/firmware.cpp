#include "sim/firmware.h"

#include <array>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace sim {
namespace {

constexpr std::array<uint32_t, 256> MakeCrcTable() {
  std::array<uint32_t, 256> table{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t c = i;
    for (int k = 0; k < 8; ++k) c = (c & 1u) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    table[i] = c;
  }
  return table;
}

constexpr std::array<uint32_t, 256> kCrcTable = MakeCrcTable();

void PutLe(std::vector<uint8_t>& v, size_t at, uint32_t value, size_t width) {
  for (size_t i = 0; i < width; ++i) v[at + i] = static_cast<uint8_t>(value >> (8 * i));
}

uint32_t GetLe(const uint8_t* p, size_t width) {
  uint32_t value = 0;
  for (size_t i = 0; i < width; ++i) value |= static_cast<uint32_t>(p[i]) << (8 * i);
  return value;
}

}  // namespace

uint32_t Crc32(const uint8_t* bytes, size_t size) {
  uint32_t c = 0xFFFFFFFFu;
  for (size_t i = 0; i < size; ++i) c = kCrcTable[(c ^ bytes[i]) & 0xFFu] ^ (c >> 8);
  return c ^ 0xFFFFFFFFu;
}

std::vector<uint8_t> BuildImage(uint8_t hardwareId, uint8_t release, uint8_t prototype,
                                uint16_t build, size_t blockCount, size_t blockSize) {
  size_t size = blockCount * blockSize;
  if (blockSize == 0 || size < kMinImageSize || size > kFlashSize) {
    throw std::invalid_argument("image size out of range");
  }
  std::vector<uint8_t> image(size);
  // Filler from a small LCG seeded with the identity, standing in for code.
  uint32_t x = 0x9E3779B9u ^ (static_cast<uint32_t>(hardwareId) << 24) ^
               (static_cast<uint32_t>(release) << 16) ^ (static_cast<uint32_t>(prototype) << 8) ^
               build;
  for (auto& b : image) {
    x = x * 1664525u + 1013904223u;
    b = static_cast<uint8_t>(x >> 24);
  }
  // A plausible vector table: initial stack pointer and reset handler.
  PutLe(image, 0, 0x20008000u, 4);
  PutLe(image, 4, kFlashBase + 0x401u, 4);
  for (size_t i = 0; i < 4; ++i) image[kHeaderOffset + i] = kHeaderMagic[i];
  image[kHeaderOffset + 4] = kHeaderFormat;
  image[kHeaderOffset + 5] = hardwareId;
  image[kHeaderOffset + 6] = release;
  image[kHeaderOffset + 7] = prototype;
  PutLe(image, kHeaderOffset + 8, build, 2);
  PutLe(image, kHeaderOffset + 10, 0, 2);
  PutLe(image, kHeaderOffset + 12, static_cast<uint32_t>(size), 4);
  PutLe(image, size - 4, Crc32(image.data(), size - 4), 4);
  return image;
}

std::optional<ImageInfo> ValidateImage(const uint8_t* bytes, size_t size) {
  if (size < kMinImageSize) return std::nullopt;
  const uint8_t* h = bytes + kHeaderOffset;
  for (size_t i = 0; i < 4; ++i) {
    if (h[i] != kHeaderMagic[i]) return std::nullopt;
  }
  if (h[4] != kHeaderFormat) return std::nullopt;
  ImageInfo info;
  info.hardwareId = h[5];
  info.release = h[6];
  info.prototype = h[7];
  info.build = static_cast<uint16_t>(GetLe(h + 8, 2));
  info.length = GetLe(h + 12, 4);
  if (info.length < kMinImageSize || info.length > size) return std::nullopt;
  if (Crc32(bytes, info.length - 4) != GetLe(bytes + info.length - 4, 4)) return std::nullopt;
  return info;
}

std::vector<uint8_t> ReadImageFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read image file " + path);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace sim
