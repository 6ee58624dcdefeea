#include "client/relocate.h"

#include <cstring>

#include "client/client.h"
#include "client/modbus.h"
#include "client/scan.h"
#include "platform/clock.h"

namespace {

constexpr uint32_t kSearchMs = 60000;
constexpr uint32_t kSettleAfterSwitchMs = 1000;
constexpr uint32_t kModbusBaud = 9600;
constexpr uint8_t kModbusSlave = 1;

// Whether a scan found the device running its application.
uint8_t FoundInScan(const DeviceRecord* records, uint8_t count, const char* modelNumber,
                    int32_t serialNumber) {
  for (uint8_t i = 0; i < count; ++i) {
    const DeviceRecord& r = records[i];
    if (r.inBootloader != 1 && r.serialNumber == serialNumber &&
        std::strcmp(r.modelNumber, modelNumber) == 0) {
      return r.address;
    }
  }
  return 255;
}

// The link owns the port while it runs, so it is stopped for the Modbus write
// and started again afterwards. No result stops the sequence: the scan that
// follows is the only judge.
void SwitchBackFromModbus(const char* portName, uint16_t selectRegister) {
  Client_Close(portName);
  Modbus_OpenPort(portName, kModbusBaud);
  Modbus_WriteSingleRegister(kModbusSlave, selectRegister, ModbusSelectTokenBus);
  Modbus_ClosePort();
  Client_Open(portName);
  plat::sleep_ms(kSettleAfterSwitchMs);
}

}  // namespace

uint8_t Client_Relocate(const char* portName, uint8_t first, uint8_t last, uint16_t selectRegister,
                        const char* modelNumber, int32_t serialNumber) {
  const uint32_t start = plat::now_ms();
  DeviceRecord records[256];
  do {
    const uint8_t count = Client_ScanRange(portName, first, last, records, 256);
    const uint8_t found = FoundInScan(records, count, modelNumber, serialNumber);
    if (found != 255) return found;
    SwitchBackFromModbus(portName, selectRegister);
    const uint8_t again = Client_FindDevice(portName, first, last, modelNumber, serialNumber);
    if (again != 255) return again;
  } while (plat::now_ms() - start < kSearchMs);
  return 255;
}
