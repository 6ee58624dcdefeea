#include "client/scan.h"

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

uint8_t Client_ScanRange(const char* portName, uint8_t first, uint8_t last, DeviceRecord* records,
                         std::size_t capacity) {
  std::size_t count = 0;
  for (unsigned address = first; address <= last && count < capacity; ++address) {
    const auto station = static_cast<uint8_t>(address);
    const int probe = Client_Probe(portName, station);
    if (probe == 0) continue;
    DeviceRecord& record = records[count];
    record.address = station;
    CopyText(record.portName, portName);
    if (probe == 2) {
      if (Client_ReadBootIdentity(portName, station, &record) == 1) {
        record.inBootloader = 1;
        ++count;
      }
    } else if (Client_ReadIdentity(portName, station, 1, &record) == 1) {
      record.address = station;
      record.inBootloader = 0;
      ++count;
    }
  }
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
