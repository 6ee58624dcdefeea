// The identity of every device a discovery found running its application,
// kept under HKEY_LOCAL_MACHINE\Software\Dorvik\Brevane\Network\<port>\<address>,
// so that a device later found stuck in its bootloader, which reports no full
// identity, can be given it back. Registry failures are silent.
#pragma once

#include <cstdint>

#include "client/scan.h"

inline constexpr const char* RegistryRootKey = "Software\\Dorvik\\Brevane\\Network";

// Writes a key with the eight identity values for every record not in its
// bootloader. 0 when the root key can be neither opened nor created, else 1.
int Registry_SaveDevices(const DeviceRecord* records, uint32_t count);
// Fills the identity of `record` from the key of its port and address. A value
// that is missing, or a text too long for its field, leaves the field as it
// was. 0 when the key cannot be opened, else 1.
int Registry_LoadDevice(DeviceRecord* record);
