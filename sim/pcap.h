// Writes the frames seen on the bus to a capture file that packet analysers
// read as BACnet MS/TP (link type 165): each record holds one frame from the
// 0x55 of its preamble to its last octet, good or bad.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "sim/frame_scanner.h"
#include "sim/node.h"

namespace sim {

inline constexpr uint32_t kPcapLinkTypeMstp = 165;

class PcapWriter {
 public:
  PcapWriter() = default;
  PcapWriter(const PcapWriter&) = delete;
  PcapWriter& operator=(const PcapWriter&) = delete;
  ~PcapWriter();

  // Creates (or truncates) `path` and writes the file header. Bus time 0 is
  // stamped as `epoch_micros` microseconds after 1970. Returns false with a
  // message when the file cannot be written.
  bool Open(const std::string& path, int64_t epoch_micros, std::string* error);

  void Write(const ScannedFrame& frame);
  // Pushes what is buffered to the file, so that a reader sees it while the
  // bus still runs.
  void Flush();
  void Close();

  uint64_t Records() const { return records_; }

 private:
  std::FILE* file_ = nullptr;
  int64_t epoch_micros_ = 0;
  uint64_t records_ = 0;
};

}  // namespace sim
