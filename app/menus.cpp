#include "app/menus.h"

#include <cstdio>

#include "app/backup_steps.h"
#include "app/device_flow.h"
#include "app/discovery.h"
#include "app/run_report.h"
#include "app/safety.h"
#include "client/bus.h"
#include "client/client.h"
#include "client/registry_record.h"
#include "client/typed_value.h"
#include "platform/clock.h"
#include "platform/console.h"
#include "platform/interrupt.h"
#include "update/image_package.h"
#include "update/update_steps.h"

namespace {

constexpr uint32_t kDiscoverSliceMs = 250;
constexpr int kDiscoverDotsPerLine = 12;
constexpr uint32_t kLoopPauseMs = 10;

// Holds what the image matching lets through of one whole discovery before
// the device list, which is shorter, takes the first of them.
DeviceRecord g_selected[MaxDiscovered];

void AdvancePort(FrontEndState* state) {
  const int next = state->currentPort + 1;
  state->currentPort = next >= state->portCount ? 0 : static_cast<uint8_t>(next);
}

// A port whose adapter went away fails every exchange at once, which would
// otherwise read as silent devices: say which port it was, what the system
// said, and what to do.
void ReportLostPort(const char* port, const char* during) {
  char why[ClientLostTextMax];
  if (Client_PortLost(port, why, sizeof why) != 1) return;
  plat::con_printf("Port %s was lost %s: %s.\r\n", ShownPortName(port), during, why);
  plat::con_printf("Check that its adapter is plugged in and its cable is sound, then choose the "
                   "port again.\r\n");
}

// A port that did not open for the discovery looks like a bus without
// devices: say what the system said and what to do.
void ReportPortNotOpened(const char* port) {
  const Result why = Client_OpenFailure(port);
  if (why.Ok()) return;
  char line[400];
  DescribePortNotOpened(port, why, "Close other programs that use it, then choose the port again",
                        line, sizeof line);
  plat::con_printf("%s\r\n", line);
}

// The dots of a discovery under way, one per slice. Anywhere but on a
// terminal the dots go in lines, each begun by its first dot, so that a pipe
// or a log gets a line every 3 s.
struct DiscoveryDots {
  bool inLines = false;
  int dots = 0;
};

bool ShowDiscoveryDot(void* context) {
  // Nothing on the bus is changed by a discovery: an interrupt ends it.
  if (plat::interrupt_requested()) return false;
  DiscoveryDots& shown = *static_cast<DiscoveryDots*>(context);
  plat::con_printf(shown.inLines && shown.dots > 0 && shown.dots % kDiscoverDotsPerLine == 0
                       ? "\r\n."
                       : ".");
  ++shown.dots;
  return true;
}

void ScanOnePort(FrontEndState* state) {
  state->currentPort = static_cast<uint8_t>(state->currentPort % state->portCount);
  const char* port = state->ports.names[state->currentPort];
  ReportAdapterLatency(port);
  plat::con_printf("Discovering Devices @ %s ..", port);
  DiscoveryDots shown;
  shown.inLines = !plat::con_is_terminal();
  uint32_t found = 0;
  // Devices beyond the table's room are dropped.
  const Result discovery =
      Discover(Client_Bus(), port, DiscoveryPort::Close, kDiscoverSliceMs, ShowDiscoveryDot,
               &shown, state->discovered + state->discoveredCount,
               MaxDiscovered - state->discoveredCount, &found);
  if (discovery.outcome == Outcome::Stopped) return;
  plat::con_printf("\r\n");
  ReportPortNotOpened(port);
  ReportLostPort(port, "during the discovery");
  state->discoveredCount += found;
}

void PrintDeviceRow(int number, const DeviceRecord& device) {
  plat::con_printf("[%2d]   %2d  ", number, ZoneOfAddress(device.address));
  plat::con_printf("%16s  ", device.deviceName);
  plat::con_printf("%16s  ", device.modelNumber);
  plat::con_printf("%10d  ", device.serialNumber);
  if (static_cast<int32_t>(Image_GetBuild(device.hardwareId)) > device.build) {
    plat::con_printf("%02d.%02d.%02d%c ", device.release, device.prototype, device.build,
                     UpgradeMark);
  } else {
    plat::con_printf("%02d.%02d.%02d  ", device.release, device.prototype, device.build);
  }
  plat::con_printf("%s\r\n", ShownPortName(device.portName));
}

MenuState NoDevicesMenu(FrontEndState* state) {
  plat::con_printf("No Devices Found!\r\n[ 1] Rescan\r\n[ 2] Next Port\r\n[ 3] Quit\r\n");
  int choice = 0;
  if (!ReadChoice("Select an option: ", &choice)) return MenuState::Quit;
  if (choice == 1) return MenuState::Discover;
  if (choice == 2) {
    AdvancePort(state);
    return MenuState::Discover;
  }
  return MenuState::Quit;
}

MenuState DeviceMenu(FrontEndState* state) {
  const int count = static_cast<int>(state->deviceCount);
  const char* const options[] = {"All", "Upgrade Only", "Rescan", "Scan Next Port"};
  for (int i = 0; i < 4; ++i) plat::con_printf("[%2d] %s\r\n", count + 1 + i, options[i]);
  char legend[16];
  std::snprintf(legend, sizeof legend, "(%c) Upgrade.", UpgradeMark);
  plat::con_printf("%74s\r\n", legend);
  int choice = 0;
  if (!ReadChoice("Select: ", &choice)) return MenuState::Quit;
  if (choice >= 1 && choice <= count) {
    if (choice != 1) state->devices[0] = state->devices[choice - 1];
    state->currentDevice = 0;
    state->deviceCount = 1;
    return MenuState::NextDevice;
  }
  if (choice == count + 1) {
    state->currentDevice = 0;
    return MenuState::NextDevice;
  }
  if (choice == count + 2) {
    state->currentDevice = 0;
    state->deviceCount = Image_SelectUpgradable(state->devices, state->deviceCount, g_selected);
    for (uint32_t i = 0; i < state->deviceCount; ++i) state->devices[i] = g_selected[i];
    return MenuState::NextDevice;
  }
  if (choice == count + 3) return MenuState::Discover;
  if (choice == count + 4) {
    AdvancePort(state);
    return MenuState::Discover;
  }
  plat::con_printf("Invalid Choice\r\n");
  return MenuState::Quit;
}

// The menu state that carries on with what the update steps say comes next
// for the device.
MenuState StateAfter(UpdateNext next) {
  switch (next) {
    case UpdateNext::ProgressAgain: return MenuState::ProgrammingProgress;
    case UpdateNext::AfterProgramming: return MenuState::AfterProgramming;
    case UpdateNext::RestoreSettings: return MenuState::RestoreSettings;
    case UpdateNext::FinishDevice: return MenuState::FinishDevice;
    case UpdateNext::NextDevice: return MenuState::NextDevice;
  }
  return MenuState::NextDevice;
}

DeviceReport& CurrentReport(FrontEndState* state) { return state->reports[state->currentDevice]; }

DeviceRecord* CurrentDevice(FrontEndState* state) {
  return &state->devices[state->currentDevice];
}

// A device that reported a programming error is finished without a word to
// it (the update steps see to that). Unattended, nobody is there to power
// cycle the unit: the run ends after it, with its own exit status.
MenuState PollProgress(FrontEndState* state) {
  const DeviceUpdate& update = CurrentReport(state).update;
  const UpdateNext next = Update_PollProgress(&CurrentReport(state).update);
  if (update.programming == Outcome::ProgrammingError) state->programmingError = true;
  return StateAfter(next);
}

}  // namespace

bool ReadChoice(const char* prompt, int* choice) {
  for (;;) {
    plat::con_printf("%s", prompt);
    if (plat::con_read_int(choice)) return true;
    if (plat::con_at_end() || plat::interrupt_requested()) return false;
  }
}

MenuState ShowPortMenu(FrontEndState* state) {
  state->portCount = EnumeratePorts(&state->ports);
  plat::con_printf("Available Ports: \r\n");
  for (int i = 0; i < state->portCount; ++i) {
    const char* description = state->ports.descriptions[i];
    plat::con_printf("[%2d] %s%s%s\r\n", i + 1, ShownPortName(state->ports.names[i]),
                     description[0] != '\0' ? "  " : "", description);
  }
  plat::con_printf("[%2d] %s\r\n", state->portCount + 1, "Rescan");
  plat::con_printf("[%2d] %s\r\n", state->portCount + 2, "Scan All");
  int choice = 0;
  if (state->portCount == 0) {
    plat::con_printf("Ports not available!\r\n[ 1] Rescan\r\n[ 2] Quit\r\n");
    if (!ReadChoice("", &choice)) return MenuState::Quit;
    return choice == 1 ? MenuState::SelectPort : MenuState::Quit;
  }
  if (!ReadChoice("Select a port: ", &choice)) return MenuState::Quit;
  if (choice >= 1 && choice <= state->portCount) {
    state->currentPort = static_cast<uint8_t>(choice - 1);
    state->portsToScan = 1;
    return MenuState::Discover;
  }
  if (choice == state->portCount + 1) return MenuState::SelectPort;
  state->portsToScan = static_cast<uint8_t>(state->portCount);
  return MenuState::Discover;
}

void PrintDeviceTable(const FrontEndState& state) {
  plat::con_printf("\r\n");
  plat::con_printf("%4s %s  %16s  %16s  %10s  %9s %s\r\n", "", "ZONE", "Name", "Model Number", "SN",
                   "Version", "Port");
  plat::con_printf(
      "     --------------------------------------------------------------------\r\n");
  for (uint32_t i = 0; i < state.deviceCount; ++i) {
    PrintDeviceRow(static_cast<int>(i + 1), state.devices[i]);
  }
}

MenuState DiscoverAndShowDevices(FrontEndState* state) {
  state->discoveredCount = 0;
  // A discovery needs a port; the menus reach here only with one, but the
  // modulo below must never divide by zero.
  if (state->portCount <= 0) return MenuState::SelectPort;
  uint8_t scanned = 0;
  do {
    ScanOnePort(state);
    ++scanned;
    if (scanned < state->portsToScan) {
      state->currentPort = static_cast<uint8_t>(state->currentPort + 1);
    }
  } while (scanned < state->portsToScan && !plat::interrupt_requested());
  if (plat::interrupt_requested()) return MenuState::Quit;

  const int saved = Registry_SaveDevices(state->discovered, state->discoveredCount);
  Safety_AfterDiscovery(state->discovered, state->discoveredCount, saved);
  const uint32_t fitting = Image_SelectDevices(state->discovered, state->discoveredCount, g_selected);
  // Fitting devices beyond the list's room are dropped.
  state->deviceCount = fitting < MaxDevices ? fitting : MaxDevices;
  for (uint32_t i = 0; i < state->deviceCount; ++i) state->devices[i] = g_selected[i];

  PrintDeviceTable(*state);
  if (state->deviceCount == 0) return NoDevicesMenu(state);
  return DeviceMenu(state);
}

MenuState ShowNextDevice(FrontEndState* state) {
  if (state->currentDevice >= state->deviceCount) {
    PrintSummary(state->reports, state->devices, state->reportCount, &state->gaps);
    return MenuState::AllDone;
  }
  if (state->currentDevice == 0 && state->deviceCount > 1) {
    RunChosenControllers(state);
    return state->interrupted ? MenuState::Quit : MenuState::AllDone;
  }
  DeviceRecord* device = CurrentDevice(state);
  DeviceReport& report = CurrentReport(state);
  report = DeviceReport{};
  report.before = *device;
  report.update.io = &Update_ClientIo();
  report.update.device = device;
  report.update.discovered = state->discovered;
  report.update.discoveredCount = state->discoveredCount;
  state->reportCount = state->currentDevice + 1u;
  plat::con_note("Updating %s serial %d \"%s\" at station %d on %s, version %d.%02d.%d%s",
                 device->modelNumber, static_cast<int>(device->serialNumber), device->deviceName,
                 device->address, device->portName, static_cast<int>(device->release),
                 static_cast<int>(device->prototype), static_cast<int>(device->build),
                 device->inBootloader == 1 ? ", found in its bootloader" : "");
  Safety_PrepareDevice(&report, plat::system_console());
  plat::con_printf("\r\nZONE: %d\r\n", ZoneOfAddress(device->address));
  plat::con_printf("------------\r\n");
  return MenuState::BackupSettings;
}

MenuState RunMenuState(FrontEndState* state, MenuState current) {
  switch (current) {
    case MenuState::ShowImages:
      plat::con_printf("%s\r\n", Image_GetDescription(0));
      return MenuState::SelectPort;
    case MenuState::SelectPort:
      return ShowPortMenu(state);
    case MenuState::Discover:
      return DiscoverAndShowDevices(state);
    case MenuState::NextDevice:
      return ShowNextDevice(state);
    case MenuState::BackupSettings: {
      DeviceReport& report = CurrentReport(state);
      BackupFacts facts;
      const MenuState next =
          BackupDevice(System_BackupWorld(), CurrentDevice(state), &report.backup, &facts);
      if (report.backup == SettingsOutcome::Complete) {
        std::snprintf(report.backupFile, sizeof report.backupFile, "%s", facts.fileName);
        report.earlierKept = facts.earlierKept;
      }
      return next;
    }
    case MenuState::StartProgramming:
      return StateAfter(Update_StartProgramming(&CurrentReport(state).update));
    case MenuState::ProgrammingProgress:
      return PollProgress(state);
    case MenuState::AfterProgramming:
      return StateAfter(Update_Reconnect(&CurrentReport(state).update));
    case MenuState::RestoreSettings:
      return RestoreDevice(System_BackupWorld(), CurrentDevice(state),
                           Safety_RestorePlan(CurrentReport(state)),
                           &CurrentReport(state).restore);
    case MenuState::FinishDevice: {
      Safety_DropUnusedBackup(CurrentReport(state), plat::system_console());
      const DeviceUpdate& update = CurrentReport(state).update;
      plat::con_note("Programming job status %d; found again: %s; with the factory settings write: %s",
                     Update_JobStatus(update), update.foundAgain ? "yes" : "no",
                     update.defaultsWrite ? "yes" : "no");
      const MenuState next = StateAfter(Update_Finish(&CurrentReport(state).update));
      ReportLostPort(CurrentDevice(state)->portName, "while the device was processed");
      Safety_AfterDevice(CurrentDevice(state)->portName);
      ++state->currentDevice;
      return next;
    }
    case MenuState::AllDone:
    case MenuState::Quit:
      break;
  }
  return current;
}

int RunMenuLoop(FrontEndState* state) {
  while (state->menuState != MenuState::AllDone && state->menuState != MenuState::Quit) {
    if (plat::interrupt_requested()) {
      state->interrupted = true;
      state->interruptStatus = Safety_StopAfterInterrupt(state);
      return 0;
    }
    const MenuState current = state->menuState;
    const uint32_t device = state->currentDevice;
    const uint32_t began = plat::now_ms();
    state->menuState = RunMenuState(state, current);
    plat::sleep_ms(kLoopPauseMs);
    RunReport_AddTime(device, current, plat::now_ms() - began);
  }
  return state->menuState == MenuState::AllDone ? 1 : 0;
}
