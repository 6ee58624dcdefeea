#include "app/console_io.h"

#include "platform/console.h"
#include "platform/interrupt.h"

namespace {

class SystemConsoleIo final : public ConsoleIo {
 public:
  void Print(const char* text) override { plat::con_printf("%s", text); }
  int ReadKey() override { return plat::con_read_key(); }
  bool IsTerminal() override { return plat::con_is_terminal(); }
  uint32_t LastOutputMs() override { return plat::con_last_output_ms(); }
  bool InterruptRequested() override { return plat::interrupt_requested(); }
};

}  // namespace

ConsoleIo& System_ConsoleIo() {
  static SystemConsoleIo console;
  return console;
}
