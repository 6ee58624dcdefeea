// Backs up or restores the settings of the controller at station 16 on Com1,
// as the front end would, so that a test can kill it part-way.
// Usage: settings_tool backup|restore. Exit status: 0 Complete, 1 Failed,
// 2 nothing taken, 3 no controller found, 4 wrong use.
#include <cstdio>
#include <cstring>

#include "app/backup_steps.h"
#include "client/client.h"
#include "update/image_package.h"

int main(int argc, char** argv) {
  if (argc != 2 || (std::strcmp(argv[1], "backup") != 0 && std::strcmp(argv[1], "restore") != 0)) {
    std::fprintf(stderr, "usage: settings_tool backup|restore\n");
    return 4;
  }
  Image_SetPolicy(YesNoSetting::Unset, YesNoSetting::Unset);
  DeviceRecord device;
  if (Client_Open("Com1") != 0 || Client_ScanRange("Com1", 16, 16, &device, 1) != 1) return 3;
  SettingsOutcome outcome = SettingsOutcome::NotTaken;
  if (std::strcmp(argv[1], "backup") == 0) {
    BackupFacts facts;
    BackupDevice(System_BackupWorld(), &device, &outcome, &facts);
  } else {
    // A new program run: only a device recovered from its bootloader gets an
    // earlier run's backup, which is the case this tool stands for.
    RestorePlan plan;
    plan.foundInBootloader = true;
    RestoreDevice(System_BackupWorld(), &device, plan, &outcome);
  }
  Client_Close("Com1");
  switch (outcome) {
    case SettingsOutcome::Complete: return 0;
    case SettingsOutcome::Failed: return 1;
    case SettingsOutcome::NotTaken:
    case SettingsOutcome::Missing: return 2;
  }
  return 2;
}
