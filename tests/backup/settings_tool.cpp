// Backs up or restores the settings of the controller at station 16 on Com1,
// as the front end would, so that a test can kill it part-way.
// Usage: settings_tool backup|restore. Exit status: 0 Complete, 1 Failed,
// 2 nothing taken, 3 no controller found, 4 wrong use.
#include <cstdio>
#include <cstring>

#include "backup/backup.h"
#include "client/client.h"
#include "platform/thread.h"
#include "update/image_package.h"

int main(int argc, char** argv) {
  if (argc != 2 || (std::strcmp(argv[1], "backup") != 0 && std::strcmp(argv[1], "restore") != 0)) {
    std::fprintf(stderr, "usage: settings_tool backup|restore\n");
    return 4;
  }
  if (Backup_Init() == 0 || plat::thread_start(Backup_Run, nullptr, 64 * 1024) == nullptr) return 4;
  Image_SetPolicy(YesNoSetting::Unset, YesNoSetting::Unset);
  DeviceRecord device;
  if (Client_Open("Com1") != 0 || Client_ScanRange("Com1", 16, 16, &device, 1) != 1) return 3;
  SettingsOutcome outcome = SettingsOutcome::NotTaken;
  if (std::strcmp(argv[1], "backup") == 0) {
    BackupDevice(&device, &outcome);
  } else {
    // A new program run: only a device recovered from its bootloader gets an
    // earlier run's backup, which is the case this tool stands for.
    RestorePlan plan;
    plan.foundInBootloader = true;
    RestoreDevice(&device, plan, &outcome);
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
