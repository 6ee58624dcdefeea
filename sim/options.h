// The command line of tarnix-sim.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "sim/scenario.h"

namespace sim {

struct Options {
  std::string ports_dir;          // where the ports are linked, e.g. DIR/com1
  std::string scenario;           // empty: the built-in scenario
  std::string pcap;               // empty: no capture
  std::string report;             // empty: no report
  std::optional<double> duration;  // seconds; none: until SIGINT or SIGTERM
  std::optional<uint64_t> seed;
  std::optional<double> corrupt_rate;
  std::optional<double> loss_rate;
  std::optional<uint32_t> latency_ms;
  std::optional<uint32_t> jitter_ms;
  std::optional<uint32_t> adapter_latency_ms;
  std::optional<uint32_t> adapter_packet;
  bool help = false;
};

// Parses the arguments after the program name. Returns nothing and sets
// `error` when they are wrong; `--ports` is required unless help is asked.
std::optional<Options> ParseOptions(const std::vector<std::string>& args, std::string* error);

// What --help prints.
std::string Usage();

// Puts the command line's settings over the scenario's.
void ApplyOptions(const Options& options, Scenario* scenario);

}  // namespace sim
