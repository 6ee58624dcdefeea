// What keeps a device's settings, identity and address safe around the menu
// loop: the check of the backup folder, the registry's trouble said once, the
// journal of address moves reported and undone, the plan for a device chosen
// in its bootloader, and the stop after an interrupt.
#pragma once

#include <cstdint>

#include "app/front_end.h"
#include "platform/console.h"

// At start-up: the backup folder from BREVANE_BACKUPS, the folder checked
// when backups are on, and any address move an earlier run left open.
void Safety_StartUp();

// After a discovery: says once when the registry could not be written, and
// moves back every device an earlier run left moved on the ports scanned,
// once no station of that port sits in its bootloader and the address is free.
void Safety_AfterDiscovery(DeviceRecord* discovered, uint32_t count, int registrySaved);

// After a device of `port` is finished: moves back what an earlier run left
// moved on that port, as soon as the address it had is free.
void Safety_AfterDevice(const char* port);

// Before a device is processed: for one chosen in its bootloader, whether the
// registry gives its identity and whether a whole backup waits for it, which
// decide the factory-settings write and the restore.
// What it says goes to `console` (a controller's line when several are
// updated at once).
void Safety_PrepareDevice(DeviceReport* report, plat::Console& console);

// A backup taken in this run for a device that was then left untouched
// (interrupted, or its address move not recorded) is removed: kept, a later
// run would take it for the settings of an update that did not finish and
// put them back over whatever was set meanwhile.
void Safety_DropUnusedBackup(const DeviceReport& report, plat::Console& console);

// The restore's plan for the current device.
RestorePlan Safety_RestorePlan(const DeviceReport& report);

// Called when an interrupt was requested: stops what runs at a safe point,
// says per device where it stands and what to do, and returns the exit
// status (ExitInterrupted).
int Safety_StopAfterInterrupt(FrontEndState* state);
// After an interrupt of several controllers' updates at once, which each
// stopped at its own safe point: says per device where it stands, and
// returns ExitInterrupted.
int Safety_StandAfterInterrupt(FrontEndState* state);
