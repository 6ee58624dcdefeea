#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/front_end.h"
#include "app/menus.h"
#include "app/run_log.h"
#include "app/run_report.h"
#include "app/safety.h"
#include "app/settings.h"
#include "app/summary.h"
#include "app/unattended.h"
#include "client/client.h"
#include "client/services.h"
#include "platform/console.h"
#include "platform/interrupt.h"
#include "platform/thread.h"
#include "update/update_steps.h"

namespace {

// Large: a menu loop's state with its device tables does not belong on the stack.
FrontEndState g_frontEnd;
Preselection g_preselection = Preselection::Selected;

int ExitStatus(const FrontEndState& state) {
  // Unattended mode that found nothing to process has done nothing it was asked to.
  if (state.unattended && state.reportCount == 0) return ExitNothingToProcess;
  // The device waits for a power cycle: said apart from any other failure.
  if (state.unattended && state.programmingError) return ExitProgrammingError;
  return ExitStatusOf(state.reports, state.reportCount, &state.gaps);
}

// The run ends with `status`: unattended, a run that did nothing or left a
// device not updated says why on standard error, and the run report is
// written when one was asked for.
void EndRun(int status) {
  std::fflush(stdout);
  if (g_frontEnd.unattended) {
    char reason[512];
    if (IsFleetRun()) {
      FleetExitReason(g_frontEnd, g_preselection, status, reason, sizeof reason);
    } else {
      UnattendedExitReason(g_frontEnd, g_preselection, PreselectedPort(), PreselectedAddress(),
                           status, reason, sizeof reason);
    }
    if (reason[0] != '\0') {
      std::fprintf(stderr, "%s\n", reason);
      plat::con_note("%s", reason);
    }
  }
  if (const char* path = ReportFileSetting()) {
    char why[600];
    if (!RunReport_Write(path, g_frontEnd, status, why, sizeof why)) {
      std::fprintf(stderr, "brevane-flash: the run report was not written (%s).\n", why);
      plat::con_note("the run report was not written (%s)", why);
    }
  }
  std::fflush(stderr);
  RunLog_Close(status);
}

}  // namespace

int main(int argc, char** argv) {
  // Before anything else: help and a refused command line end the program
  // before a thread starts or a port is opened.
  const CommandLineCheck check = CheckCommandLine(argc, argv);
  if (check.verdict == CommandLineVerdict::Help) {
    std::fputs(UsageText(), stdout);
    return ExitDone;
  }
  if (check.verdict == CommandLineVerdict::Refused) {
    std::fprintf(stderr, "%s\n", check.refusal.c_str());
    return ExitCommandLineRefused;
  }
  for (const std::string& warning : check.warnings) std::fprintf(stderr, "%s\n", warning.c_str());
  RunReport_Start();

  // Before any thread starts, so that the signals reach the main thread only.
  plat::interrupt_install();
  g_frontEnd = FrontEndState{};
  // The update steps' waits show themselves through the main thread's client waits.
  Client_SetWaitTick(Update_WaitTick);

  ParseCommandLine(argc, argv);
  // The run log (-lFILE), once the command line is read.
  if (const char* log = LogFileSetting()) RunLog_Open(log, argc, argv);
  Safety_StartUp();
  if (IsPreselected()) {
    g_frontEnd.unattended = true;
    const StartupSettings& settings = Settings();
    if (IsFleetRun()) {
      // One address over several ports is a list of one.
      const bool one = settings.addressChoice == AddressChoice::One;
      g_preselection = PreselectFleet(
          &g_frontEnd, settings.commandPorts, one ? AddressChoice::List : settings.addressChoice,
          one ? std::vector<uint8_t>{settings.commandAddress} : settings.commandAddresses);
    } else {
      g_preselection = Preselect(&g_frontEnd, PreselectedPort(), PreselectedAddress());
    }
  }
  if (VersionSetting() == YesNoSetting::Yes) {
    plat::con_printf("Brevane(TM) Flash Loader PC Application %d.%02d.%02d\r\n", ToolVersionMajor,
                     ToolVersionMinor, ToolVersionPatch);
  }
  RunMenuLoop(&g_frontEnd);
  // A discovery cut short, or a programming job that did not stop in time,
  // may still run on its thread: the process ends without tearing down what
  // its threads use.
  if (g_frontEnd.interrupted) {
    EndRun(g_frontEnd.interruptStatus);
    std::_Exit(g_frontEnd.interruptStatus);
  }
  // The link's threads must not be running on an open port while the
  // process winds down; closing a port that is already closed does nothing.
  if (IsPreselected()) {
    for (const std::string& port : Settings().commandPorts) Client_Close(port.c_str());
  }
  const int status = ExitStatus(g_frontEnd);
  EndRun(status);
  return status;
}
