#include <cstdio>
#include <cstdlib>

#include "app/front_end.h"
#include "app/menus.h"
#include "app/run_log.h"
#include "app/safety.h"
#include "app/settings.h"
#include "app/summary.h"
#include "app/unattended.h"
#include "backup/backup.h"
#include "client/client.h"
#include "platform/console.h"
#include "platform/interrupt.h"
#include "platform/thread.h"
#include "update/programmer.h"
#include "update/update_steps.h"

namespace {

// Large: a menu loop's state with its device tables does not belong on the stack.
FrontEndState g_frontEnd;

int ExitStatus(const FrontEndState& state) {
  // Unattended mode that found nothing to process has done nothing it was asked to.
  if (state.unattended && state.reportCount == 0) return ExitNothingToProcess;
  return ExitStatusOf(state.reports, state.reportCount);
}

}  // namespace

int main(int argc, char** argv) {
  // Before any thread starts, so that the signals reach the main thread only.
  plat::interrupt_install();
  Programmer_Init();
  Backup_Init();
  g_frontEnd = FrontEndState{};
  Update_SetIo(&Update_ClientIo());
  // The workers run until the process ends and are never joined.
  plat::thread_close(plat::thread_start(Programmer_Run, nullptr, 0));
  plat::thread_close(plat::thread_start(Backup_Run, nullptr, 0));

  ParseCommandLine(argc, argv);
  // The run log (-lFILE), once the command line is read.
  if (const char* log = FindOption("-l", argc, argv)) RunLog_Open(log, argc, argv);
  Safety_StartUp();
  if (IsPreselected()) {
    g_frontEnd.unattended = true;
    Preselect(&g_frontEnd, PreselectedPort(), PreselectedAddress());
  }
  if (VersionSetting() == YesNoSetting::Yes) {
    plat::con_printf("Brevane(TM) Flash Loader PC Application %d.%02d.%02d\r\n", 0, 14, 16);
  }
  RunMenuLoop(&g_frontEnd);
  // A discovery cut short may still run on the programming worker: the
  // process ends without tearing down what its threads use.
  if (g_frontEnd.interrupted) {
    RunLog_Close(g_frontEnd.interruptStatus);
    std::fflush(stdout);
    std::_Exit(g_frontEnd.interruptStatus);
  }
  // The engine has halted on a programming error, its port's master thread
  // stopped for good: nothing can be closed cleanly, and nothing may be sent.
  if (g_frontEnd.programmingHalted) {
    RunLog_Close(ExitProgrammingError);
    std::_Exit(ExitProgrammingError);
  }
  // The link's threads must not be running on an open port while the
  // process winds down; closing a port that is already closed does nothing.
  if (IsPreselected()) Client_Close(PreselectedPort());
  const int status = ExitStatus(g_frontEnd);
  RunLog_Close(status);
  return status;
}
