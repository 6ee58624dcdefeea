#include "link/capture.h"

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "link/crc.h"
#include "platform/file.h"

namespace tarnix {
namespace {

constexpr uint16_t kHeaderOctets = 8;
constexpr uint8_t kBroadcast = 0xFF;
constexpr uint32_t kPathMax = 1024;
constexpr uint32_t kRecordMax = sizeof(RxCapture::Octets);
constexpr uint32_t kRecordHeaderSize = 16;

std::mutex gCaptureLock;
plat::FileHandle gFile = nullptr;
// The file the process has made, so that a later Init appends to it rather
// than starting it again.
char gPath[kPathMax] = {};

void PutLe32(uint8_t* out, uint32_t value) {
  for (int i = 0; i < 4; ++i) {
    out[i] = static_cast<uint8_t>(value >> (8 * i));
  }
}

void PutLe16(uint8_t* out, uint16_t value) {
  out[0] = static_cast<uint8_t>(value & 0xFF);
  out[1] = static_cast<uint8_t>(value >> 8);
}

bool WriteAll(const uint8_t* octets, uint32_t count) {
  uint32_t done = 0;
  return plat::file_write(gFile, octets, count, &done) && done == count;
}

bool WriteFileHeader() {
  uint8_t header[24] = {};
  PutLe32(header, 0xA1B2C3D4u);  // microsecond time stamps
  PutLe16(header + 4, 2);
  PutLe16(header + 6, 4);
  PutLe32(header + 16, 65535);   // longest record
  PutLe32(header + 20, kCaptureLinkType);
  return WriteAll(header, sizeof header);
}

void Emit(RxCapture& capture) {
  CaptureWrite(capture.Octets, capture.Count, capture.StartMicros);
  capture.Count = 0;
  capture.Trailing = 0;
}

void Start(RxCapture& capture, uint8_t octet) {
  capture.Octets[0] = octet;
  capture.Count = 1;
  capture.Trailing = 0;
  capture.StartMicros = CaptureClock();
}

void Append(RxCapture& capture, uint8_t octet) {
  if (capture.Count < kRecordMax) {
    capture.Octets[capture.Count++] = octet;
  }
}

}  // namespace

bool CaptureStart() {
  const char* path = std::getenv(kCaptureVariable);
  std::lock_guard<std::mutex> guard(gCaptureLock);
  if (gFile != nullptr) {
    return true;
  }
  if (path == nullptr || path[0] == '\0' || std::strlen(path) >= kPathMax) {
    return false;
  }
  if (std::strcmp(path, gPath) == 0) {
    uint64_t end = 0;
    gFile = plat::file_open(path, plat::FileMode::OpenReadWrite);
    if (gFile != nullptr && plat::file_seek(gFile, 0, plat::SeekFrom::End, &end)) {
      return true;
    }
  }
  if (gFile != nullptr) {
    plat::file_close(gFile);
  }
  gFile = plat::file_open(path, plat::FileMode::CreateAlways);
  if (gFile == nullptr) {
    return false;
  }
  if (!WriteFileHeader()) {
    plat::file_close(gFile);
    gFile = nullptr;
    return false;
  }
  std::strcpy(gPath, path);
  return true;
}

void CaptureStop() {
  std::lock_guard<std::mutex> guard(gCaptureLock);
  if (gFile != nullptr) {
    plat::file_close(gFile);
    gFile = nullptr;
  }
}

int64_t CaptureClock() {
  return std::chrono::duration_cast<std::chrono::microseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

void CaptureWrite(const uint8_t* octets, size_t count, int64_t micros) {
  if (count == 0 || count > kRecordMax) {
    return;
  }
  uint8_t record[kRecordHeaderSize + kRecordMax];
  const auto length = static_cast<uint32_t>(count);
  PutLe32(record, static_cast<uint32_t>(micros / 1000000));
  PutLe32(record + 4, static_cast<uint32_t>(micros % 1000000));
  PutLe32(record + 8, length);
  PutLe32(record + 12, length);
  std::memcpy(record + kRecordHeaderSize, octets, count);
  std::lock_guard<std::mutex> guard(gCaptureLock);
  if (gFile != nullptr) {
    WriteAll(record, kRecordHeaderSize + length);
  }
}

void CaptureReceived(NodeState& node, uint8_t octet, uint8_t before, uint8_t after) {
  RxCapture& capture = node.Capture;
  if (capture.Trailing > 0) {
    Append(capture, octet);
    if (--capture.Trailing == 0) {
      Emit(capture);
    }
    return;
  }
  switch (before) {
    case kRxIdle:
      if (after == kRxPreamble) {
        Start(capture, octet);
      }
      break;
    case kRxPreamble:
      if (after == kRxPreamble) {
        Start(capture, octet);  // a repeated first preamble octet starts the frame again
      } else if (after == kRxHeader) {
        Append(capture, octet);
      } else {
        capture.Count = 0;
      }
      break;
    case kRxHeader:
      if (capture.Count == 0) {
        break;
      }
      Append(capture, octet);
      if (after != kRxIdle) {
        break;
      }
      // The receiver takes no data for another station, but a reader of the
      // capture wants the whole frame: follow its data and checksum.
      if (capture.Count == kHeaderOctets && node.HeaderCrc == kHeaderCrcGood &&
          node.DestinationAddress != node.ThisStation && node.DestinationAddress != kBroadcast &&
          node.DataLength > 0 && node.DataLength <= kMaxDataLength) {
        capture.Trailing = static_cast<uint16_t>(node.DataLength + 2);
      } else {
        Emit(capture);
      }
      break;
    case kRxData:
      if (capture.Count == 0) {
        break;
      }
      Append(capture, octet);
      if (after == kRxIdle) {
        Emit(capture);
      }
      break;
    default:
      break;
  }
}

void CaptureBrokenOff(NodeState& node) {
  RxCapture& capture = node.Capture;
  // A lone first preamble octet is not yet a frame.
  if (capture.Count >= 2) {
    Emit(capture);
  }
  capture.Count = 0;
  capture.Trailing = 0;
}

}  // namespace tarnix
