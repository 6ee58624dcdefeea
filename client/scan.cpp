#include "client/scan.h"

#include <bitset>
#include <cstdio>
#include <cstring>

#include "client/client.h"
#include "client/services.h"
#include "client/typed_value.h"
#include "link/tarnix_link.h"

namespace {

constexpr uint8_t kServiceHeader = 0x01;
constexpr uint8_t kServiceReadInstance = 0x05;
constexpr uint8_t kServiceBootIdentity = 0xEB;
constexpr uint8_t kIdentityClass = 1;
constexpr std::size_t kSearchRecords = 32;

template <std::size_t N>
void CopyText(char (&field)[N], const char* text) {
  std::snprintf(field, N, "%s", text);
}

int32_t AsField(uint32_t word) { return static_cast<int32_t>(word); }

}  // namespace

int DecodeIdentityItems(const uint8_t* reply, std::size_t length, DeviceRecord* record) {
  constexpr std::size_t kCountAt = 4;
  if (length <= kCountAt) return 0;
  DeviceRecord decoded = *record;
  const unsigned items = reply[kCountAt];
  std::size_t at = kCountAt + 1;
  for (unsigned i = 0; i < items; ++i) {
    if (at >= length) return 0;
    const uint8_t member = reply[at++];
    char text[32] = {};
    TypedValue value;
    value.buffer = text;
    value.bufferSize = sizeof text;
    const uint16_t taken = TypedValue_Decode(reply + at, length - at, &value);
    if (taken == 0) return 0;
    at += taken;
    switch (member) {
      case 1: decoded.hardwareId = AsField(value.value); break;
      case 2: decoded.softwareId = AsField(value.value); break;
      case 3: decoded.release = AsField(value.value); break;
      case 4: decoded.prototype = AsField(value.value); break;
      case 5: decoded.build = AsField(value.value); break;
      case 7: decoded.serialNumber = AsField(value.value); break;
      case 9: CopyText(decoded.modelNumber, text); break;
      case 11: CopyText(decoded.deviceName, text); break;
      default: break;
    }
  }
  *record = decoded;
  return 1;
}

int Client_ReadIdentity(const char* portName, uint8_t station, uint8_t instance,
                        DeviceRecord* record) {
  const uint8_t request[] = {kServiceHeader, kServiceReadInstance, kIdentityClass, instance};
  uint8_t reply[512];
  uint16_t length = 0;
  uint8_t status = 0;
  if (Client_Request(portName, station, request, sizeof request, 1, nullptr, reply, sizeof reply,
                     &length, &status) != 0 ||
      status != Delivered) {
    return 0;
  }
  return DecodeIdentityItems(reply, length, record);
}

int Client_ReadBootIdentity(const char* portName, uint8_t station, DeviceRecord* record) {
  const uint8_t request[] = {kServiceHeader, kServiceBootIdentity};
  uint8_t reply[512];
  uint16_t length = 0;
  uint8_t status = 0;
  constexpr uint16_t kModelAt = 3;
  if (Client_Request(portName, station, request, sizeof request, 1, nullptr, reply, sizeof reply,
                     &length, &status) != 0 ||
      status != Delivered || length < kModelAt) {
    return 0;
  }
  record->hardwareId = reply[2];
  std::memset(record->modelNumber, 0, sizeof record->modelNumber);
  std::size_t modelLength = length - kModelAt;
  if (modelLength > sizeof record->modelNumber - 1) modelLength = sizeof record->modelNumber - 1;
  std::memcpy(record->modelNumber, reply + kModelAt, modelLength);
  return 1;
}

namespace {

enum class Presence { Silent, Unidentified, Identified };

// Probes one station, asking again while what answers cannot be read, and
// reads the identity of a station that answered readably, again after a
// failed read. The record is written only by a read that succeeds.
Presence Identify(ScanSteps& steps, uint8_t station, DeviceRecord* record) {
  int probe = ProbeSilent;
  bool answered = false;
  for (int attempt = 0; attempt < ScanProbeAttempts; ++attempt) {
    probe = steps.Probe(station);
    if (probe == ProbeApplication || probe == ProbeBootloader) break;
    if (probe == ProbeUnreadable) {
      answered = true;
    } else if (!answered) {
      return Presence::Silent;
    }
  }
  if (probe != ProbeApplication && probe != ProbeBootloader) return Presence::Unidentified;
  const bool boot = probe == ProbeBootloader;
  for (int attempt = 0; attempt < ScanIdentityAttempts; ++attempt) {
    const int read =
        boot ? steps.ReadBootIdentity(station, record) : steps.ReadIdentity(station, record);
    if (read == 1) {
      record->address = station;
      record->inBootloader = boot ? 1 : 0;
      return Presence::Identified;
    }
  }
  return Presence::Unidentified;
}

bool InBand(unsigned address) { return address >= ScanBandLow && address <= ScanBandHigh; }

class BusScan : public ScanSteps {
 public:
  explicit BusScan(const char* portName) : portName_(portName) {}
  int Probe(uint8_t station) override { return Client_Probe(portName_, station); }
  int ReadIdentity(uint8_t station, DeviceRecord* record) override {
    return Client_ReadIdentity(portName_, station, 1, record);
  }
  int ReadBootIdentity(uint8_t station, DeviceRecord* record) override {
    return Client_ReadBootIdentity(portName_, station, record);
  }

 private:
  const char* portName_;
};

}  // namespace

std::size_t Scan_Range(ScanSteps& steps, uint8_t first, uint8_t last, DeviceRecord* records,
                       std::size_t capacity) {
  std::size_t count = 0;
  std::bitset<256> silent;
  unsigned highestInBand = 0;  // 0: no station of the band answered
  for (unsigned address = first; address <= last && count < capacity; ++address) {
    const Presence presence = Identify(steps, static_cast<uint8_t>(address), &records[count]);
    if (presence == Presence::Silent) {
      silent.set(address);
      continue;
    }
    if (InBand(address)) highestInBand = address;
    if (presence == Presence::Identified) ++count;
  }
  // Second tries go to the silent addresses of the band up to the one above
  // the highest station that answered (the first one scanned when none did);
  // a station found here widens the reach.
  const unsigned bandFirst = first > ScanBandLow ? first : ScanBandLow;
  for (unsigned address = bandFirst; address <= ScanBandHigh && count < capacity; ++address) {
    const unsigned reach = highestInBand == 0 ? bandFirst : highestInBand + 1;
    if (address > reach) break;
    if (!silent.test(address)) continue;
    DeviceRecord record = records[count];
    const Presence presence = Identify(steps, static_cast<uint8_t>(address), &record);
    if (presence == Presence::Silent) continue;
    if (address > highestInBand) highestInBand = address;
    if (presence == Presence::Unidentified) continue;
    std::size_t at = count;
    while (at > 0 && records[at - 1].address > address) {
      records[at] = records[at - 1];
      --at;
    }
    records[at] = record;
    ++count;
  }
  return count;
}

uint8_t Client_ScanRange(const char* portName, uint8_t first, uint8_t last, DeviceRecord* records,
                         std::size_t capacity) {
  BusScan steps(portName);
  const std::size_t count = Scan_Range(steps, first, last, records, capacity);
  for (std::size_t i = 0; i < count; ++i) CopyText(records[i].portName, portName);
  return static_cast<uint8_t>(count);
}

bool BootModelFits(const char* bootModel, const char* modelNumber) {
  for (std::size_t i = 0; bootModel[i] != '\0' && modelNumber[i] != '\0'; ++i) {
    const char c = bootModel[i];
    if (c != '*' && c != 'X' && c != modelNumber[i]) return false;
  }
  return true;
}

uint8_t Client_FindBootloader(const char* portName, uint8_t first, uint8_t last,
                              const char* modelNumber) {
  DeviceRecord records[kSearchRecords];
  const uint8_t found = Client_ScanRange(portName, first, last, records, kSearchRecords);
  for (uint8_t i = 0; i < found; ++i) {
    if (records[i].inBootloader == 1 && BootModelFits(records[i].modelNumber, modelNumber)) {
      return records[i].address;
    }
  }
  return 255;
}

uint8_t Client_FindDevice(const char* portName, uint8_t first, uint8_t last,
                          const char* modelNumber, int32_t serialNumber) {
  DeviceRecord records[kSearchRecords];
  const uint8_t found = Client_ScanRange(portName, first, last, records, kSearchRecords);
  for (uint8_t i = 0; i < found; ++i) {
    if (records[i].inBootloader != 1 && records[i].serialNumber == serialNumber &&
        std::strcmp(records[i].modelNumber, modelNumber) == 0) {
      return records[i].address;
    }
  }
  return 255;
}
