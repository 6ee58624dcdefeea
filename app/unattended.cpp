#include "app/unattended.h"

#include <cstdio>

#include "app/discovery.h"
#include "app/safety.h"
#include "app/settings.h"
#include "app/summary.h"
#include "client/bus.h"
#include "client/client.h"
#include "client/port_name.h"
#include "client/registry_record.h"
#include "client/typed_value.h"
#include "platform/console.h"
#include "update/image_package.h"
#include "update/update_steps.h"

namespace {

constexpr uint32_t kWaitSliceMs = 100;

DeviceRecord g_fitting[MaxDiscovered];

// The discovery's signs of life, as the update steps show their waits.
bool ShowWait(void*) {
  Update_WaitTick();
  return true;
}

}  // namespace

Preselection Preselect(FrontEndState* state, const char* portName, uint8_t address) {
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
    return Preselection::PortNotOpened;
  }
  ReportAdapterLatency(portName);
  Update_WaitFor("the controllers on the port to answer");
  // The port stays open for the device's processing. Nothing on the bus is
  // changed by the discovery, and it is short: an interrupt is seen after it.
  uint32_t found = 0;
  Discover(Client_Bus(), portName, DiscoveryPort::KeepOpen, kWaitSliceMs, ShowWait, nullptr,
           state->discovered, MaxDiscovered, &found);
  state->discoveredCount = found;
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
      return Preselection::Selected;
    }
  }
  // Without an address (-c alone) a port's single fitting device is the one
  // meant. With one, another device is never taken in its place: the device
  // asked for may only have missed the discovery on a faulty line.
  if (state->deviceCount == 1 && address == 0) {
    state->devices[0] = g_fitting[0];
    state->menuState = MenuState::NextDevice;
    return Preselection::Selected;
  }
  state->menuState = MenuState::Quit;
  // Nothing to process: the port is not left open for the rest of the run.
  Client_Close(portName);
  return Preselection::NothingToProcess;
}

void UnattendedExitReason(const FrontEndState& state, Preselection selection,
                          const char* portName, uint8_t address, int exitStatus, char* text,
                          std::size_t size) {
  text[0] = '\0';
  const char* port = ShownPortName(portName);
  if (exitStatus == ExitNothingToProcess) {
    if (selection == Preselection::PortNotOpened) {
      std::snprintf(text, size,
                    "brevane-flash: nothing updated: %s could not be opened (missing, in use by "
                    "another program, or no free station address 0 to 3 on its bus)",
                    port);
    } else if (address == 0) {
      std::snprintf(text, size,
                    "brevane-flash: nothing updated: -c without -a takes the one controller on %s "
                    "that the carried firmware fits, and %u were found; name one with -a",
                    port, static_cast<unsigned>(state.deviceCount));
    } else {
      std::snprintf(text, size,
                    "brevane-flash: nothing updated: no controller that the carried firmware fits "
                    "was found at station address %d on %s (%u found at other addresses)",
                    address, port, static_cast<unsigned>(state.deviceCount));
    }
    return;
  }
  if (exitStatus != ExitDeviceFailed) return;
  for (uint32_t i = 0; i < state.reportCount; ++i) {
    const DeviceReport& report = state.reports[i];
    if (OutcomeOf(report) == DeviceOutcome::Updated) continue;
    char outcome[BackupPathMax + 96];
    OutcomeText(report, outcome, sizeof outcome);
    std::snprintf(text, size, "brevane-flash: not updated completely: ZONE %d %s %d on %s: %s",
                  ZoneOfAddress(report.before.address), report.before.modelNumber,
                  static_cast<int>(report.before.serialNumber),
                  ShownPortName(report.before.portName), outcome);
    return;
  }
}
