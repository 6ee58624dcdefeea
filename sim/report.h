// The JSON report that tarnix-sim writes on exit: the bus's own counters,
// its ports, and each controller's part as the controller reports it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "sim/bus.h"
#include "sim/scenario.h"

namespace sim {

// `text` as a JSON string, quotes included.
std::string JsonString(std::string_view text);

struct PortReport {
  std::string name;
  std::string link;
  std::string terminal;
  uint64_t octets_in = 0;   // written by the PC onto the bus
  uint64_t octets_out = 0;  // delivered to the PC
  uint64_t octets_dropped = 0;
  uint64_t packets_out = 0;  // hand-overs to the PC (one per octet without batching)
};

struct RunReport {
  double seconds = 0;  // bus time run
  uint64_t seed = 0;
  BusFaults faults;
  AdapterBatching adapter;
  BusCounters counters;
  uint64_t pcap_records = 0;
  std::vector<PortReport> ports;
  std::vector<std::string> controllers;  // one JSON object each
};

std::string ReportJson(const RunReport& report);

}  // namespace sim
