#include "app/ports.h"

#include <cstdio>

#include "platform/serial.h"

uint8_t EnumeratePorts(PortList* list) {
  int count = 0;
  for (int number = 1; number <= 255 && count < MaxPorts; ++number) {
    char* slot = list->names[count];
    std::snprintf(slot, PortNameSize, number < 10 ? "Com%d" : "\\\\.\\Com%d", number);
    plat::SerialHandle port = plat::serial_open(slot, plat::Access::ReadWrite);
    if (port != nullptr) {
      plat::serial_close(port);
      plat::serial_describe(slot, list->descriptions[count], PortDescriptionSize);
      ++count;
    }
  }
  return static_cast<uint8_t>(count);
}
