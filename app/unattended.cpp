#include "app/unattended.h"

#include "app/safety.h"
#include "client/client.h"
#include "client/registry_record.h"
#include "platform/console.h"
#include "update/image_package.h"
#include "update/update_steps.h"

namespace {

constexpr uint8_t kScanLow = 4;
constexpr uint8_t kScanHigh = 32;

DeviceRecord g_fitting[MaxDiscovered];

}  // namespace

void Preselect(FrontEndState* state, const char* portName, uint8_t address) {
  state->currentPort = 0;
  state->currentDevice = 0;
  state->portCount = 1;
  if (Client_Open(portName) != 0) {
    plat::con_printf(
        "Can't open %s: it is missing, in use by another program, or its bus has no free station "
        "address 0 to 3. Check the port given with -c and close other programs that use it.\r\n",
        portName);
    state->deviceCount = 0;
    state->menuState = MenuState::Quit;
    return;
  }
  Update_WaitFor("the controllers on the port to answer");
  state->discoveredCount =
      Client_ScanRange(portName, kScanLow, kScanHigh, state->discovered, MaxDiscovered);
  Update_EndWait();
  // Filed as from the menus: should the update leave the device in its
  // bootloader (a crash, a power cut), the next run takes its identity from
  // here to find it again and to restore its model number.
  const int saved = Registry_SaveDevices(state->discovered, state->discoveredCount);
  Safety_AfterDiscovery(state->discovered, state->discoveredCount, saved);
  const uint32_t fitting = Image_SelectDevices(state->discovered, state->discoveredCount, g_fitting);
  state->deviceCount = fitting < MaxDevices ? fitting : MaxDevices;
  for (uint32_t i = 0; i < state->deviceCount; ++i) {
    if (g_fitting[i].address == address) {
      state->devices[0] = g_fitting[i];
      state->deviceCount = 1;
      state->menuState = MenuState::NextDevice;
      return;
    }
  }
  // Without an address (-c alone) a port's single fitting device is the one
  // meant. With one, another device is never taken in its place: the device
  // asked for may only have missed the discovery on a faulty line.
  if (state->deviceCount == 1 && address == 0) {
    state->devices[0] = g_fitting[0];
    state->menuState = MenuState::NextDevice;
  } else {
    state->menuState = MenuState::Quit;
    // Nothing to process: the port is not left open for the rest of the run.
    Client_Close(portName);
  }
}
