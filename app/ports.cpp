#include "app/ports.h"

#include <cstdio>
#include <set>
#include <string>

#include "platform/console.h"

namespace {

// Measured on one update: the transfer took 116 s with a 16 ms timer and 92 s
// without one, so each millisecond of the timer costs about 1.5 s.
uint32_t SecondsPerUpdate(uint32_t timerMs) { return (timerMs * 3 + 1) / 2; }

// Ports already reported on in this run; used from the main thread only.
std::set<std::string> g_latencyReported;

}  // namespace

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

void DescribeAdapterLatency(const char* portName, const plat::AdapterLatency& latency, char* text,
                            std::size_t size) {
  if (text == nullptr || size == 0) return;
  text[0] = '\0';
  if (latency.state != plat::LatencyState::Slow) return;
  const char* port = ShownPortName(portName);
  const unsigned timer = latency.timer_ms;
  const unsigned cost = SecondsPerUpdate(latency.timer_ms);
  if (latency.error != 0) {
    // The system let the tool try and refused.
    char why[128];
    plat::error_text(latency.error, why, sizeof why);
    std::snprintf(text, size,
                  "%s: the USB adapter's latency timer is %u ms and could not be set to 1 ms (%s), "
                  "which costs about %u s per update; a udev rule can set it whenever the adapter "
                  "is plugged in (see \"Slow USB adapters\" in the README).",
                  port, timer, why, cost);
  } else {
    std::snprintf(text, size,
                  "%s: the USB adapter's latency timer is %u ms, which costs about %u s per update; "
                  "set it to 1 ms in Device Manager: the port's Properties > Port Settings > "
                  "Advanced > Latency Timer.",
                  port, timer, cost);
  }
}

void ReportAdapterLatency(const char* portName) {
  if (!g_latencyReported.insert(ShownPortName(portName)).second) return;
  char line[400];
  DescribeAdapterLatency(portName, plat::serial_latency(portName), line, sizeof line);
  if (line[0] != '\0') plat::con_printf("%s\r\n", line);
}

void DescribePortNotOpened(const char* portName, const Result& why, const char* remedy,
                           char* text, std::size_t size) {
  const char* port = ShownPortName(portName);
  if (why.outcome == Outcome::NoFreeStation) {
    std::snprintf(text, size,
                  "Can't join the bus on %s: station addresses 0 to 3, which the PC takes one of, "
                  "are all in use by other masters. Disconnect another PC or master from that "
                  "bus.",
                  port);
    return;
  }
  std::snprintf(text, size, "Can't open %s: %s. %s.", port,
                why.text.empty() ? "the system gave no reason" : why.text.c_str(), remedy);
}
