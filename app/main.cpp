#include "app/front_end.h"
#include "app/menus.h"
#include "app/settings.h"
#include "app/unattended.h"
#include "client/client.h"
#include "platform/console.h"
#include "platform/thread.h"
#include "update/programmer.h"

namespace {

// Large: a menu loop's state with its device tables does not belong on the stack.
FrontEndState g_frontEnd;

}  // namespace

int main(int argc, char** argv) {
  Programmer_Init();
  g_frontEnd = FrontEndState{};
  // The worker runs until the process ends and is never joined.
  plat::thread_close(plat::thread_start(Programmer_Run, nullptr, 0));

  ParseCommandLine(argc, argv);
  if (IsPreselected()) Preselect(&g_frontEnd, PreselectedPort(), PreselectedAddress());
  if (VersionSetting() == YesNoSetting::Yes) {
    plat::con_printf("Brevane(TM) Flash Loader PC Application %d.%02d.%02d\r\n", 0, 14, 16);
  }
  RunMenuLoop(&g_frontEnd);
  // The link's threads must not be running on an open port while the
  // process winds down; closing a port that is already closed does nothing.
  if (IsPreselected()) Client_Close(PreselectedPort());
  return 0;
}
