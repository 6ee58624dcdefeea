#include "sim/pcap.h"

#include <array>
#include <cerrno>
#include <cstring>

namespace sim {

namespace {

constexpr uint32_t kMagicMicros = 0xA1B2C3D4;
constexpr uint32_t kSnapLength = 65535;

// The format is little endian as written here; readers detect the order
// from the magic number, so the host's order would do, but a fixed order
// keeps the files identical on every host.
void Put16(std::FILE* file, uint16_t value) {
  const std::array<unsigned char, 2> octets{static_cast<unsigned char>(value),
                                            static_cast<unsigned char>(value >> 8)};
  std::fwrite(octets.data(), 1, octets.size(), file);
}

void Put32(std::FILE* file, uint32_t value) {
  Put16(file, static_cast<uint16_t>(value));
  Put16(file, static_cast<uint16_t>(value >> 16));
}

}  // namespace

PcapWriter::~PcapWriter() { Close(); }

bool PcapWriter::Open(const std::string& path, int64_t epoch_micros, std::string* error) {
  Close();
  file_ = std::fopen(path.c_str(), "wb");
  if (file_ == nullptr) {
    *error = "cannot create " + path + ": " + std::strerror(errno);
    return false;
  }
  epoch_micros_ = epoch_micros;
  records_ = 0;
  Put32(file_, kMagicMicros);
  Put16(file_, 2);  // version 2.4
  Put16(file_, 4);
  Put32(file_, 0);  // time zone offset
  Put32(file_, 0);  // timestamp accuracy
  Put32(file_, kSnapLength);
  Put32(file_, kPcapLinkTypeMstp);
  std::fflush(file_);
  return true;
}

void PcapWriter::Write(const ScannedFrame& frame) {
  if (file_ == nullptr) return;
  const int64_t stamp = epoch_micros_ + frame.start;
  const auto length = static_cast<uint32_t>(frame.octets.size());
  Put32(file_, static_cast<uint32_t>(stamp / 1'000'000));
  Put32(file_, static_cast<uint32_t>(stamp % 1'000'000));
  Put32(file_, length);
  Put32(file_, length);
  std::fwrite(frame.octets.data(), 1, frame.octets.size(), file_);
  ++records_;
}

void PcapWriter::Flush() {
  if (file_ != nullptr) std::fflush(file_);
}

void PcapWriter::Close() {
  if (file_ == nullptr) return;
  std::fclose(file_);
  file_ = nullptr;
}

}  // namespace sim
