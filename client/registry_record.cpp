#include "client/registry_record.h"

#include <cstdio>
#include <cstring>

#include "client/port_name.h"
#include "platform/registry.h"

namespace {

constexpr std::size_t kShownPortMax = 31;
constexpr uint32_t kTextRoom = 33;  // 32 characters and the terminator

void ShownPort(const DeviceRecord& record, char (&out)[kShownPortMax + 1]) {
  std::snprintf(out, sizeof out, "%s", ShownPortName(record.portName));
}

void SetText(plat::RegKey key, const char* name, const char* text) {
  plat::reg_set_value(key, name, plat::RegType::String, text,
                      static_cast<uint32_t>(std::strlen(text) + 1));
}

void SetNumber(plat::RegKey key, const char* name, int32_t value) {
  uint32_t word = 0;
  std::memcpy(&word, &value, sizeof word);
  plat::reg_set_value(key, name, plat::RegType::Dword, &word, sizeof word);
}

template <std::size_t N>
void LoadText(plat::RegKey key, const char* name, char (&field)[N]) {
  static_assert(N >= kTextRoom);
  char text[kTextRoom] = {};
  uint32_t size = kTextRoom;
  plat::RegType type{};
  // A longer value does not fit the room: the query fails and the field
  // stays as it was.
  if (!plat::reg_query_value(key, name, &type, text, &size)) return;
  // A value stored without its terminator still ends inside the field.
  std::size_t length = 0;
  while (length < kTextRoom - 1 && text[length] != '\0') ++length;
  std::memcpy(field, text, length);
  field[length] = '\0';
}

void LoadNumber(plat::RegKey key, const char* name, int32_t* field) {
  uint32_t word = 0;
  uint32_t size = sizeof word;
  plat::RegType type{};
  if (!plat::reg_query_value(key, name, &type, &word, &size)) return;
  std::memcpy(field, &word, sizeof word);
}

}  // namespace

int Registry_SaveDevices(const DeviceRecord* records, uint32_t count) {
  plat::RegKey root = plat::reg_create_key(nullptr, RegistryRootKey);
  if (root == nullptr) return 0;
  for (uint32_t i = 0; i < count; ++i) {
    const DeviceRecord& record = records[i];
    if (record.inBootloader == 1) continue;
    char port[kShownPortMax + 1];
    ShownPort(record, port);
    plat::RegKey portKey = plat::reg_create_key(root, port);
    if (portKey == nullptr) continue;
    char address[4];
    std::snprintf(address, sizeof address, "%d", record.address);
    plat::RegKey device = plat::reg_create_key(portKey, address);
    plat::reg_close(portKey);
    if (device == nullptr) continue;
    SetText(device, "Model Number", record.modelNumber);
    SetText(device, "Device Name", record.deviceName);
    SetNumber(device, "Serial Number", record.serialNumber);
    SetNumber(device, "Hardware Id", record.hardwareId);
    SetNumber(device, "Software Id", record.softwareId);
    SetNumber(device, "Release", record.release);
    SetNumber(device, "Prototype", record.prototype);
    SetNumber(device, "Build", record.build);
    plat::reg_close(device);
  }
  plat::reg_close(root);
  return 1;
}

int Registry_LoadDevice(DeviceRecord* record) {
  char port[kShownPortMax + 1];
  ShownPort(*record, port);
  char path[128];
  std::snprintf(path, sizeof path, "%s\\%s\\%d", RegistryRootKey, port, record->address);
  plat::RegKey key = plat::reg_open_key(nullptr, path);
  if (key == nullptr) return 0;
  LoadText(key, "Model Number", record->modelNumber);
  LoadText(key, "Device Name", record->deviceName);
  LoadNumber(key, "Serial Number", &record->serialNumber);
  LoadNumber(key, "Hardware Id", &record->hardwareId);
  LoadNumber(key, "Software Id", &record->softwareId);
  LoadNumber(key, "Release", &record->release);
  LoadNumber(key, "Prototype", &record->prototype);
  LoadNumber(key, "Build", &record->build);
  plat::reg_close(key);
  return 1;
}
