#include "sim/options.h"

#include <charconv>
#include <cmath>
#include <limits>
#include <system_error>

namespace sim {

namespace {

template <typename T>
bool ParseNumber(const std::string& text, T* value) {
  const char* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, *value);
  return ec == std::errc{} && ptr == end;
}

bool ParseRate(const std::string& text, double* rate) {
  return ParseNumber(text, rate) && *rate >= 0.0 && *rate <= 1.0;
}

}  // namespace

std::string Usage() {
  return "usage: tarnix-sim --ports DIR [options]\n"
         "Emulates a Tarnix bus with controllers on it; the PC reaches it through\n"
         "pseudo-terminals linked as DIR/com1 and so on.\n"
         "\n"
         "  --ports DIR      directory for the port links (created if needed)\n"
         "  --scenario FILE  bus and controllers to run (default: the built-in one)\n"
         "  --pcap FILE      write every frame seen on the bus to FILE (link type 165)\n"
         "  --report FILE    write a JSON report to FILE on exit\n"
         "  --duration S     stop after S seconds (default: run until SIGINT/SIGTERM)\n"
         "  --seed N         seed of the line faults and the controllers\n"
         "  --corrupt RATE   share of octets with one bit flipped (0 to 1)\n"
         "  --loss RATE      share of frames lost on the line (0 to 1)\n"
         "  --latency MS     extra delay before every controller transmission\n"
         "  --jitter MS      random extra delay of 0 to MS on top of the latency\n"
         "  --adapter-latency MS\n"
         "                   hand octets to the PC in packets, as a USB-RS485 adapter\n"
         "                   does: a packet goes MS after its first octet arrived\n"
         "                   (its latency timer), or once full (default: off, each\n"
         "                   octet as it arrives)\n"
         "  --adapter-packet N\n"
         "                   octets that fill a packet (default 62)\n"
         "  --help           show this text\n";
}

std::optional<Options> ParseOptions(const std::vector<std::string>& args, std::string* error) {
  Options options;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& name = args[i];
    if (name == "--help" || name == "-h") {
      options.help = true;
      continue;
    }
    if (i + 1 >= args.size()) {
      *error = name.rfind("--", 0) == 0 ? name + " needs a value" : "unknown argument " + name;
      return std::nullopt;
    }
    const std::string& value = args[++i];
    bool ok = true;
    if (name == "--ports") {
      options.ports_dir = value;
      ok = !value.empty();
    } else if (name == "--scenario") {
      options.scenario = value;
    } else if (name == "--pcap") {
      options.pcap = value;
    } else if (name == "--report") {
      options.report = value;
    } else if (name == "--duration") {
      double seconds = 0;
      ok = ParseNumber(value, &seconds) && std::isfinite(seconds) && seconds > 0 &&
           seconds < 1e9;
      options.duration = seconds;
    } else if (name == "--seed") {
      uint64_t seed = 0;
      ok = ParseNumber(value, &seed);
      options.seed = seed;
    } else if (name == "--corrupt") {
      double rate = 0;
      ok = ParseRate(value, &rate);
      options.corrupt_rate = rate;
    } else if (name == "--loss") {
      double rate = 0;
      ok = ParseRate(value, &rate);
      options.loss_rate = rate;
    } else if (name == "--latency" || name == "--jitter") {
      uint32_t ms = 0;
      ok = ParseNumber(value, &ms) && ms <= 60'000;
      (name == "--latency" ? options.latency_ms : options.jitter_ms) = ms;
    } else if (name == "--adapter-latency") {
      uint32_t ms = 0;
      ok = ParseNumber(value, &ms) && ms <= 1000;
      options.adapter_latency_ms = ms;
    } else if (name == "--adapter-packet") {
      uint32_t octets = 0;
      ok = ParseNumber(value, &octets) && octets >= 1 && octets <= 4096;
      options.adapter_packet = octets;
    } else {
      *error = "unknown option " + name;
      return std::nullopt;
    }
    if (!ok) {
      *error = "bad value for " + name + ": " + value;
      return std::nullopt;
    }
  }
  if (!options.help && options.ports_dir.empty()) {
    *error = "--ports DIR is required";
    return std::nullopt;
  }
  return options;
}

void ApplyOptions(const Options& options, Scenario* scenario) {
  if (options.seed) scenario->seed = *options.seed;
  if (options.corrupt_rate) scenario->faults.corruptRate = *options.corrupt_rate;
  if (options.loss_rate) scenario->faults.lossRate = *options.loss_rate;
  if (options.latency_ms) scenario->faults.latencyMs = *options.latency_ms;
  if (options.jitter_ms) scenario->faults.jitterMs = *options.jitter_ms;
  if (options.adapter_latency_ms) scenario->adapter.latencyMs = *options.adapter_latency_ms;
  if (options.adapter_packet) scenario->adapter.packet = *options.adapter_packet;
}

}  // namespace sim
