#include "app/ports.h"
#include "platform/console.h"

int main() {
  app::PortList ports;
  const uint8_t count = app::EnumeratePorts(&ports);
  plat::con_printf("Available Ports: \r\n");
  for (int i = 0; i < count; ++i) {
    plat::con_printf("[%2d] %s\r\n", i + 1, app::ShownPortName(ports.names[i]));
  }
  if (count == 0) {
    plat::con_printf("Ports not available!\r\n");
  }
  return 0;
}
