#include "client/relocate.h"

#include "client/client.h"
#include "client/modbus.h"
#include "client/scan.h"
#include "client/services.h"
#include "platform/clock.h"
#include "platform/interrupt.h"

namespace {

constexpr uint32_t kSettleAfterSwitchMs = 1000;
constexpr uint32_t kModbusBaud = 9600;
constexpr uint8_t kModbusSlave = 1;

class BusSteps : public RelocateSteps {
 public:
  BusSteps(const char* portName, uint8_t first, uint8_t last, uint16_t selectRegister,
           const char* modelNumber, int32_t serialNumber)
      : portName_(portName),
        first_(first),
        last_(last),
        selectRegister_(selectRegister),
        modelNumber_(modelNumber),
        serialNumber_(serialNumber) {}

  uint8_t Look() override {
    return Client_FindDevice(portName_, first_, last_, modelNumber_, serialNumber_);
  }

  // The link owns the port while it runs, so it is stopped for the Modbus
  // write and started again afterwards. No result stops the sequence: the scan
  // that follows is the only judge.
  void SwitchBack() override {
    Client_Close(portName_);
    ModbusPort modbus;
    modbus.Open(portName_, kModbusBaud);
    modbus.WriteSingleRegister(kModbusSlave, selectRegister_, ModbusSelectTokenBus);
    modbus.Close();
    Client_Open(portName_);
    Client_WaitTick();
    plat::sleep_ms(kSettleAfterSwitchMs);
    Client_WaitTick();
  }

  uint32_t NowMs() override { return plat::now_ms(); }

  bool PortLost() override { return Client_PortLost(portName_, nullptr, 0) == 1; }

  bool Interrupted() override { return plat::interrupt_requested(); }

 private:
  const char* portName_;
  uint8_t first_;
  uint8_t last_;
  uint16_t selectRegister_;
  const char* modelNumber_;
  int32_t serialNumber_;
};

}  // namespace

uint8_t Relocate_Search(RelocateSteps& steps, uint32_t searchMs) {
  const uint32_t start = steps.NowMs();
  do {
    if (steps.Interrupted()) return 255;
    const uint8_t found = steps.Look();
    if (found != 255) return found;
    if (steps.PortLost() || steps.Interrupted()) return 255;
    steps.SwitchBack();
    const uint8_t again = steps.Look();
    if (again != 255) return again;
  } while (steps.NowMs() - start < searchMs);
  return 255;
}

uint8_t Client_Relocate(const char* portName, uint8_t first, uint8_t last, uint16_t selectRegister,
                        const char* modelNumber, int32_t serialNumber) {
  if (portName == nullptr || modelNumber == nullptr) return 255;
  BusSteps steps(portName, first, last, selectRegister, modelNumber, serialNumber);
  return Relocate_Search(steps, RelocateSearchMs);
}
