#include "app/unattended.h"

#include <cstdio>

#include "app/discovery.h"
#include "app/menus.h"
#include "app/safety.h"
#include "app/settings.h"
#include "app/summary.h"
#include "client/bus.h"
#include "client/client.h"
#include "client/port_name.h"
#include "client/registry_record.h"
#include "client/typed_value.h"
#include "platform/console.h"
#include "platform/interrupt.h"
#include "update/image_package.h"
#include "update/update_steps.h"

namespace {

constexpr uint32_t kWaitSliceMs = 100;

// The discovery's signs of life, as the update steps show their waits.
bool ShowWait(void* wait) {
  Update_WaitTick(Update_ClientIo(), static_cast<UpdateWait*>(wait));
  return true;
}

DeviceRecord g_fitting[MaxDiscovered];
DeviceRecord g_upgradable[MaxDiscovered];

// Scans the open port `portName` into state->discovered behind what is there,
// files the records in the registry and runs the safety checks after a
// discovery; returns how many records it added.
uint32_t DiscoverOpenPort(FrontEndState* state, const char* portName) {
  ReportAdapterLatency(portName);
  DeviceRecord* records = state->discovered + state->discoveredCount;
  UpdateWait wait;
  Update_WaitFor(Update_ClientIo(), &wait, "the controllers on the port to answer");
  // The port stays open for the devices' processing. Nothing on the bus is
  // changed by the discovery, and it is short: an interrupt is seen after it.
  uint32_t found = 0;
  Discover(Client_Bus(), portName, DiscoveryPort::KeepOpen, kWaitSliceMs, ShowWait, &wait,
           records, MaxDiscovered - state->discoveredCount, &found);
  Update_EndWait(Update_ClientIo(), &wait);
  // Filed as from the menus: should the update leave the device in its
  // bootloader (a crash, a power cut), the next run takes its identity from
  // here to find it again and to restore its model number.
  const int saved = Registry_SaveDevices(records, found);
  Safety_AfterDiscovery(records, found, saved);
  state->discoveredCount += found;
  return found;
}

void AddGap(FrontEndState* state, GapKind kind, const char* port, uint8_t address,
            const char* why) {
  RunGaps& gaps = state->gaps;
  if (gaps.count == MaxRunGaps) return;
  RunGap& gap = gaps.gaps[gaps.count++];
  gap.kind = kind;
  std::snprintf(gap.port, sizeof gap.port, "%s", port);
  gap.address = address;
  std::snprintf(gap.why, sizeof gap.why, "%s", why);
}

// Makes `device` one of the run's devices, or notes that the run has no room.
void Choose(FrontEndState* state, const DeviceRecord& device, const char* port) {
  if (state->deviceCount < MaxDevices) {
    state->devices[state->deviceCount++] = device;
    return;
  }
  plat::con_printf("More than %u controllers chosen: zone %d on %s is left for another run.\r\n",
                   static_cast<unsigned>(MaxDevices), ZoneOfAddress(device.address),
                   ShownPortName(port));
  AddGap(state, GapKind::NoRoom, port, device.address, "");
}

// The first report of a device not updated, as the line that says so; the
// text stays as it is when every device was updated.
void FirstNotUpdated(const FrontEndState& state, char* text, std::size_t size) {
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

uint32_t PortsNotOpened(const RunGaps& gaps) {
  uint32_t count = 0;
  for (uint32_t i = 0; i < gaps.count; ++i) {
    if (gaps.gaps[i].kind == GapKind::PortNotOpened) ++count;
  }
  return count;
}

}  // namespace

Preselection Preselect(FrontEndState* state, const char* portName, uint8_t address) {
  state->currentPort = 0;
  state->currentDevice = 0;
  state->portCount = 1;
  if (Client_Open(portName) != 0) {
    char line[400];
    DescribePortNotOpened(portName, Client_OpenFailure(portName),
                          "Check the port given with -c and close other programs that use it",
                          line, sizeof line);
    plat::con_printf("%s\r\n", line);
    state->deviceCount = 0;
    state->menuState = MenuState::Quit;
    return Preselection::PortNotOpened;
  }
  state->discoveredCount = 0;
  DiscoverOpenPort(state, portName);
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

Preselection PreselectFleet(FrontEndState* state, const std::vector<std::string>& ports,
                            AddressChoice choice, const std::vector<uint8_t>& addresses) {
  state->currentPort = 0;
  state->currentDevice = 0;
  state->portCount = static_cast<int32_t>(ports.size());
  state->discoveredCount = 0;
  state->deviceCount = 0;
  state->gaps.count = 0;
  uint32_t opened = 0;
  for (const std::string& name : ports) {
    // Nothing on the bus has changed yet: the menu loop ends the run.
    if (plat::interrupt_requested()) break;
    const char* port = name.c_str();
    if (Client_Open(port) != 0) {
      const Result why = Client_OpenFailure(port);
      char line[400];
      DescribePortNotOpened(port, why,
                            "Check the ports given with -c and close other programs that use "
                            "them; the other ports go on",
                            line, sizeof line);
      plat::con_printf("%s\r\n", line);
      AddGap(state, GapKind::PortNotOpened, port, 0,
             why.outcome == Outcome::NoFreeStation ? "no free station address 0 to 3 on its bus"
             : why.text.empty()                    ? "the system gave no reason"
                                                   : why.text.c_str());
      continue;
    }
    ++opened;
    const uint32_t first = state->discoveredCount;
    const uint32_t found = DiscoverOpenPort(state, port);
    // Each device's processing opens its port again; between, the PC leaves
    // the bus to its controllers.
    Client_Close(port);
    const uint32_t fitting = Image_SelectDevices(state->discovered + first, found, g_fitting);
    if (choice == AddressChoice::All) {
      for (uint32_t i = 0; i < fitting; ++i) Choose(state, g_fitting[i], port);
    } else if (choice == AddressChoice::Upgrade) {
      const uint32_t older = Image_SelectUpgradable(g_fitting, fitting, g_upgradable);
      for (uint32_t i = 0; i < older; ++i) Choose(state, g_upgradable[i], port);
    } else {
      for (const uint8_t address : addresses) {
        const DeviceRecord* match = nullptr;
        for (uint32_t i = 0; i < fitting && match == nullptr; ++i) {
          if (g_fitting[i].address == address) match = &g_fitting[i];
        }
        if (match != nullptr) {
          Choose(state, *match, port);
          continue;
        }
        // The controller asked for may only have missed the discovery on a
        // faulty line: no other one is taken in its place.
        plat::con_printf("No controller that the carried firmware fits answered at station "
                         "address %d (zone %d) on %s: it is left out.\r\n",
                         address, ZoneOfAddress(address), ShownPortName(port));
        AddGap(state, GapKind::NotFound, port, address, "");
      }
    }
  }
  if (state->deviceCount == 0) {
    state->menuState = MenuState::Quit;
    return opened == 0 ? Preselection::PortNotOpened : Preselection::NothingToProcess;
  }
  PrintDeviceTable(*state);
  state->menuState = MenuState::NextDevice;
  return Preselection::Selected;
}

void FleetExitReason(const FrontEndState& state, Preselection selection, int exitStatus,
                     char* text, std::size_t size) {
  text[0] = '\0';
  if (exitStatus == ExitNothingToProcess) {
    if (selection == Preselection::PortNotOpened) {
      std::snprintf(text, size, "brevane-flash: nothing updated: none of the ports could be opened");
    } else {
      std::snprintf(text, size,
                    "brevane-flash: nothing updated: no controller asked for was found on the "
                    "ports that opened (addresses not found: %u, ports not opened: %u)",
                    static_cast<unsigned>(state.gaps.count - PortsNotOpened(state.gaps)),
                    static_cast<unsigned>(PortsNotOpened(state.gaps)));
    }
    return;
  }
  if (exitStatus != ExitDeviceFailed) return;
  FirstNotUpdated(state, text, size);
  if (text[0] != '\0' || state.gaps.count == 0) return;
  const RunGap& gap = state.gaps.gaps[0];
  if (gap.address == 0) {
    std::snprintf(text, size, "brevane-flash: not updated completely: %s could not be opened (%s)",
                  ShownPortName(gap.port), gap.why);
  } else {
    std::snprintf(text, size, "brevane-flash: not updated completely: station address %d on %s: %s",
                  gap.address, ShownPortName(gap.port), to_string(gap.kind));
  }
}

void UnattendedExitReason(const FrontEndState& state, Preselection selection,
                          const char* portName, uint8_t address, int exitStatus, char* text,
                          std::size_t size) {
  text[0] = '\0';
  const char* port = ShownPortName(portName);
  if (exitStatus == ExitNothingToProcess) {
    if (selection == Preselection::PortNotOpened) {
      const Result why = Client_OpenFailure(portName);
      std::snprintf(text, size, "brevane-flash: nothing updated: %s could not be opened (%s)", port,
                    why.outcome == Outcome::NoFreeStation ? "no free station address 0 to 3 on its bus"
                    : why.text.empty()                    ? "the system gave no reason"
                                                          : why.text.c_str());
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
  if (exitStatus == ExitDeviceFailed) FirstNotUpdated(state, text, size);
}
