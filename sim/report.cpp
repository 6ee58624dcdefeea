#include "sim/report.h"

#include <array>
#include <cstdio>

namespace sim {

std::string JsonString(std::string_view text) {
  std::string out = "\"";
  for (char c : text) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          std::array<char, 8> escaped{};
          std::snprintf(escaped.data(), escaped.size(), "\\u%04x",
                        static_cast<unsigned>(static_cast<unsigned char>(c)));
          out += escaped.data();
        } else {
          out += c;
        }
    }
  }
  return out + "\"";
}

namespace {

std::string Number(double value) {
  std::array<char, 32> text{};
  std::snprintf(text.data(), text.size(), "%.6g", value);
  return text.data();
}

}  // namespace

std::string ReportJson(const RunReport& report) {
  const BusCounters& c = report.counters;
  std::string out = "{\n  \"bus\": {\n";
  out += "    \"seconds\": " + Number(report.seconds) + ",\n";
  out += "    \"seed\": " + std::to_string(report.seed) + ",\n";
  out += "    \"faults\": {\"corrupt_rate\": " + Number(report.faults.corrupt_rate) +
         ", \"loss_rate\": " + Number(report.faults.loss_rate) +
         ", \"latency_us\": " + std::to_string(report.faults.latency) +
         ", \"jitter_us\": " + std::to_string(report.faults.jitter) + "},\n";
  out += "    \"octets\": " + std::to_string(c.octets) + ",\n";
  out += "    \"frames\": " + std::to_string(c.frames) + ",\n";
  out += "    \"bad_frames\": " + std::to_string(c.bad_frames) + ",\n";
  out += "    \"collided_octets\": " + std::to_string(c.collided_octets) + ",\n";
  out += "    \"corrupted_octets\": " + std::to_string(c.corrupted_octets) + ",\n";
  out += "    \"lost_frames\": " + std::to_string(c.lost_frames) + ",\n";
  out += "    \"lost_octets\": " + std::to_string(c.lost_octets) + ",\n";
  out += "    \"misrate_octets\": " + std::to_string(c.misrate_octets) + ",\n";
  out += "    \"turnaround_damaged\": " + std::to_string(c.turnaround_damaged) + ",\n";
  out += "    \"adapter\": {\"latency_ms\": " + std::to_string(report.adapter.latencyMs) +
         ", \"packet\": " + std::to_string(report.adapter.packet) + "},\n";
  out += "    \"pcap_records\": " + std::to_string(report.pcap_records) + ",\n";
  out += "    \"ports\": [";
  for (size_t i = 0; i < report.ports.size(); ++i) {
    const PortReport& port = report.ports[i];
    out += i == 0 ? "\n" : ",\n";
    out += "      {\"name\": " + JsonString(port.name) + ", \"link\": " + JsonString(port.link) +
           ", \"terminal\": " + JsonString(port.terminal) +
           ", \"octets_in\": " + std::to_string(port.octets_in) +
           ", \"octets_out\": " + std::to_string(port.octets_out) +
           ", \"octets_dropped\": " + std::to_string(port.octets_dropped) +
           ", \"packets_out\": " + std::to_string(port.packets_out) + "}";
  }
  out += report.ports.empty() ? "]\n  },\n" : "\n    ]\n  },\n";
  out += "  \"controllers\": [";
  for (size_t i = 0; i < report.controllers.size(); ++i) {
    out += i == 0 ? "\n    " : ",\n    ";
    out += report.controllers[i];
  }
  out += report.controllers.empty() ? "]\n}\n" : "\n  ]\n}\n";
  return out;
}

}  // namespace sim
