#include "sim/scenario.h"

#include <cctype>
#include <charconv>
#include <fstream>
#include <set>
#include <sstream>

namespace sim {
namespace {

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t' || s.front() == '\r')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
  return s;
}

bool SameIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

class Parser {
 public:
  Parser(std::string origin) : origin_(std::move(origin)) {}

  [[noreturn]] void Fail(const std::string& message) const {
    throw ScenarioError(origin_ + ":" + std::to_string(line_) + ": " + message);
  }

  Scenario Parse(std::string_view text) {
    Scenario s;
    s.controllers.clear();
    enum class Section { kNone, kBus, kController } section = Section::kNone;
    std::set<std::string> seen;
    std::vector<unsigned> controllerLines;
    while (!text.empty()) {
      ++line_;
      size_t end = text.find('\n');
      std::string_view raw = text.substr(0, end);
      text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
      std::string_view l = Trim(raw);
      if (l.empty() || l.front() == '#') continue;
      if (l.front() == '[') {
        if (l == "[bus]") {
          if (seenBus_) Fail("second [bus] section");
          seenBus_ = true;
          section = Section::kBus;
        } else if (l == "[controller]") {
          section = Section::kController;
          s.controllers.emplace_back();
          controllerLines.push_back(line_);
        } else {
          Fail("unknown section " + std::string(l));
        }
        seen.clear();
        continue;
      }
      size_t eq = l.find('=');
      if (eq == std::string_view::npos) Fail("expected key = value");
      std::string key(Trim(l.substr(0, eq)));
      std::string_view value = Trim(l.substr(eq + 1));
      if (section == Section::kNone) Fail("'" + key + "' outside a section");
      if (!seen.insert(key).second) Fail("'" + key + "' given twice");
      if (section == Section::kBus) {
        BusKey(s, key, value);
      } else {
        ControllerKey(s.controllers.back(), key, value);
      }
    }
    std::set<unsigned> addresses;
    for (size_t i = 0; i < s.controllers.size(); ++i) {
      if (!addresses.insert(s.controllers[i].address).second) {
        line_ = controllerLines[i];
        Fail("address " + std::to_string(s.controllers[i].address) + " used twice");
      }
    }
    if (s.controllers.empty()) {
      line_ = 0;
      Fail("no [controller] section");
    }
    return s;
  }

 private:
  template <typename T>
  T Number(std::string_view v, uint64_t max) const {
    uint64_t n = 0;
    auto [p, ec] = std::from_chars(v.data(), v.data() + v.size(), n);
    if (ec != std::errc() || p != v.data() + v.size()) Fail("not a number: '" + std::string(v) + "'");
    if (n > max) Fail("number too large: " + std::string(v));
    return static_cast<T>(n);
  }

  int32_t Signed(std::string_view v) const {
    int32_t n = 0;
    auto [p, ec] = std::from_chars(v.data(), v.data() + v.size(), n);
    if (ec != std::errc() || p != v.data() + v.size()) Fail("not a number: '" + std::string(v) + "'");
    return n;
  }

  double Rate(std::string_view v) const {
    std::istringstream in{std::string(v)};
    double d = -1;
    in >> d;
    if (!in || !in.eof() || d < 0.0 || d > 1.0) Fail("rate must be between 0 and 1: '" + std::string(v) + "'");
    return d;
  }

  // Milliseconds with up to three decimals (e.g. 1.04), in microseconds.
  uint32_t Milliseconds(std::string_view v, uint32_t maxMs) const {
    const size_t dot = v.find('.');
    const std::string_view whole = v.substr(0, dot);
    std::string_view fraction = dot == std::string_view::npos ? std::string_view{} : v.substr(dot + 1);
    if (whole.empty() || (dot != std::string_view::npos && fraction.empty()) || fraction.size() > 3) {
      Fail("expected milliseconds with up to three decimals: '" + std::string(v) + "'");
    }
    std::string micros(fraction);
    micros.resize(3, '0');
    const uint32_t ms = Number<uint32_t>(whole, maxMs);
    const uint32_t us = Number<uint32_t>(micros, 999);
    if (ms == maxMs && us > 0) Fail("number too large: " + std::string(v));
    return ms * 1000 + us;
  }

  bool Flag(std::string_view v) const {
    if (v == "yes" || v == "true") return true;
    if (v == "no" || v == "false") return false;
    Fail("expected yes or no: '" + std::string(v) + "'");
  }

  bool Choice(std::string_view v, std::string_view no, std::string_view yes) const {
    if (v == yes) return true;
    if (v == no) return false;
    Fail("expected " + std::string(no) + " or " + std::string(yes) + ": '" + std::string(v) + "'");
  }

  template <size_t N>
  std::array<uint8_t, N> Code(std::string_view v) const {
    std::array<uint8_t, N> code{};
    std::istringstream in{std::string(v)};
    std::string word;
    size_t n = 0;
    while (in >> word) {
      if (n == N) Fail("expected " + std::to_string(N) + " bytes");
      if (word.size() > 2 && (word.rfind("0x", 0) == 0 || word.rfind("0X", 0) == 0)) word.erase(0, 2);
      unsigned byte = 0;
      auto [p, ec] = std::from_chars(word.data(), word.data() + word.size(), byte, 16);
      if (ec != std::errc() || p != word.data() + word.size() || byte > 0xFF) {
        Fail("not a hexadecimal byte: '" + word + "'");
      }
      code[n++] = static_cast<uint8_t>(byte);
    }
    if (n != N) Fail("expected " + std::to_string(N) + " bytes");
    return code;
  }

  std::string Text(std::string_view v) const {
    if (v.empty() || v.size() > 31) Fail("text must have 1 to 31 characters");
    return std::string(v);
  }

  Moment When(std::string_view v) const {
    size_t sp = v.find(' ');
    std::string_view kind = v.substr(0, sp);
    std::string_view rest = sp == std::string_view::npos ? std::string_view{} : Trim(v.substr(sp + 1));
    Moment m;
    if (kind == "time") {
      m.kind = Moment::Kind::kTime;
    } else if (kind == "block") {
      m.kind = Moment::Kind::kBlock;
    } else if (kind == "read") {
      m.kind = Moment::Kind::kRead;
    } else if (kind == "write") {
      m.kind = Moment::Kind::kWrite;
    } else {
      Fail("expected 'time MS', 'block N', 'read N' or 'write N': '" + std::string(v) + "'");
    }
    m.value = Number<uint64_t>(rest, UINT32_MAX);
    return m;
  }

  void BusKey(Scenario& s, const std::string& key, std::string_view v) {
    if (key == "ports") {
      s.ports.clear();
      std::istringstream in{std::string(v)};
      std::string name;
      while (in >> name) {
        // Each name becomes a link inside the --ports directory, which the
        // emulator replaces at start and deletes at exit: a name that leads
        // out of it would cost some other file its content.
        if (name.find('/') != std::string::npos || name == "." || name == "..") {
          Fail("port name '" + name + "' is a path; name a port like com1, without '/'");
        }
        // Programs find a port in the directory in any letter case, so two
        // names that differ in case only would be one port to them.
        for (const std::string& earlier : s.ports) {
          if (SameIgnoringCase(earlier, name)) {
            Fail("port '" + name + "' named twice" + (earlier == name ? "" : " (as '" + earlier + "')"));
          }
        }
        s.ports.push_back(name);
      }
      if (s.ports.empty()) Fail("no port named");
    } else if (key == "baud") {
      s.baud = Number<uint32_t>(v, 115200);
      if (s.baud != 9600 && s.baud != 19200 && s.baud != 38400) Fail("baud must be 9600, 19200 or 38400");
    } else if (key == "seed") {
      s.seed = Number<uint64_t>(v, UINT64_MAX);
    } else if (key == "corrupt_rate") {
      s.faults.corruptRate = Rate(v);
    } else if (key == "loss_rate") {
      s.faults.lossRate = Rate(v);
    } else if (key == "latency_ms") {
      s.faults.latencyMs = Number<uint32_t>(v, 60000);
    } else if (key == "jitter_ms") {
      s.faults.jitterMs = Number<uint32_t>(v, 60000);
    } else if (key == "adapter_latency_ms") {
      s.adapter.latencyMs = Number<uint32_t>(v, 1000);
    } else if (key == "adapter_packet") {
      s.adapter.packet = Number<uint32_t>(v, 4096);
      if (s.adapter.packet == 0) Fail("adapter_packet must be at least 1");
    } else if (key == "entry_code") {
      s.protocol.entryCode = Code<4>(v);
    } else if (key == "restart_code") {
      s.protocol.restartCode = Code<4>(v);
    } else if (key == "unlock_code") {
      s.protocol.unlockCode = Code<2>(v);
    } else if (key == "expected_image") {
      if (v.empty()) Fail("no image path");
      s.expectedImage = std::string(v);
    } else {
      Fail("unknown bus key '" + key + "'");
    }
  }

  void ControllerKey(ControllerConfig& c, const std::string& key, std::string_view v) {
    if (key == "address") {
      c.address = Number<uint8_t>(v, 127);
    } else if (key == "hardware_id") {
      c.hardwareId = Number<uint8_t>(v, 255);
    } else if (key == "software_id") {
      c.softwareId = Number<uint32_t>(v, UINT32_MAX);
    } else if (key == "version") {
      std::string s(v);
      size_t d1 = s.find('.');
      size_t d2 = d1 == std::string::npos ? d1 : s.find('.', d1 + 1);
      if (d2 == std::string::npos) Fail("version must be RELEASE.PROTOTYPE.BUILD");
      c.release = Number<uint8_t>(std::string_view(s).substr(0, d1), 255);
      c.prototype = Number<uint8_t>(std::string_view(s).substr(d1 + 1, d2 - d1 - 1), 255);
      c.build = Number<uint16_t>(std::string_view(s).substr(d2 + 1), 65535);
    } else if (key == "serial") {
      c.serialNumber = Signed(v);
    } else if (key == "model") {
      c.modelNumber = Text(v);
    } else if (key == "name") {
      c.deviceName = Text(v);
    } else if (key == "boot_model") {
      c.bootModel = Text(v);
    } else if (key == "max_master") {
      c.maxMaster = Number<uint8_t>(v, 127);
    } else if (key == "max_info_frames") {
      c.maxInfoFrames = Number<uint8_t>(v, 255);
      if (c.maxInfoFrames == 0) Fail("max_info_frames must be at least 1");
    } else if (key == "usage_timeout_ms") {
      c.usageTimeoutMs = Number<uint32_t>(v, 1000);
      if (c.usageTimeoutMs < 20) Fail("usage_timeout_ms must be at least 20");
    } else if (key == "start") {
      c.startInBootloader = Choice(v, "application", "bootloader");
    } else if (key == "protocol") {
      c.startInModbus = Choice(v, "tarnix", "modbus");
    } else if (key == "silent") {
      c.silent = Flag(v);
    } else if (key == "latency_ms") {
      c.latencyMs = Number<uint32_t>(v, 60000);
    } else if (key == "driver_release_ms") {
      c.driverReleaseUs = Milliseconds(v, 100);
    } else if (key == "reply_postponed") {
      c.replyPostponed = Flag(v);
    } else if (key == "erase_ms") {
      c.eraseMs = Number<uint32_t>(v, 600000);
    } else if (key == "settle_ms") {
      c.settleMs = Number<uint32_t>(v, 600000);
    } else if (key == "boot_ms") {
      c.bootMs = Number<uint32_t>(v, 600000);
    } else if (key == "program_error_block") {
      c.programError = true;
      c.programErrorBlock = Number<uint32_t>(v, UINT32_MAX);
    } else if (key == "power_cut_at") {
      c.powerCut = When(v);
    } else if (key == "power_off_ms") {
      c.powerOffMs = Number<uint32_t>(v, 600000);
    } else if (key == "reboot_at") {
      c.reboot = When(v);
    } else if (key == "after_update_settings") {
      c.keepSettingsAfterUpdate = !Choice(v, "keep", "lose");
    } else if (key == "after_update_address") {
      c.standardAddressAfterUpdate = Choice(v, "old", "standard");
    } else if (key == "after_update_protocol") {
      c.modbusAfterUpdate = Choice(v, "tarnix", "modbus");
    } else if (key == "after_update_model") {
      c.placeholderModelAfterUpdate = Choice(v, "intact", "placeholder");
    } else {
      Fail("unknown controller key '" + key + "'");
    }
  }

  std::string origin_;
  unsigned line_ = 0;
  bool seenBus_ = false;
};

}  // namespace

std::string BootModelOf(const std::string& modelNumber) {
  std::string mask = modelNumber;
  for (size_t i = 3; i < mask.size(); ++i) {
    if (mask[i] != '-') mask[i] = 'X';
  }
  return mask;
}

Scenario ParseScenario(std::string_view text, const std::string& origin) {
  return Parser(origin).Parse(text);
}

Scenario LoadScenario(const std::string& path) {
  std::ifstream in(path);
  if (!in) throw ScenarioError(path + ": cannot read the file");
  std::stringstream buffer;
  buffer << in.rdbuf();
  Scenario s = ParseScenario(buffer.str(), path);
  if (!s.expectedImage.empty() && s.expectedImage.front() != '/') {
    size_t slash = path.rfind('/');
    if (slash != std::string::npos) s.expectedImage = path.substr(0, slash + 1) + s.expectedImage;
  }
  return s;
}

Scenario DefaultScenario() {
  Scenario s;
  auto add = [&s](uint8_t address, uint8_t hw, uint8_t rel, uint8_t proto, uint16_t build,
                  int32_t serial, const char* model, const char* name) {
    ControllerConfig c;
    c.address = address;
    c.hardwareId = hw;
    c.release = rel;
    c.prototype = proto;
    c.build = build;
    c.serialNumber = serial;
    c.modelNumber = model;
    c.deviceName = name;
    // The highest station wraps round to address 0 at once, so a PC
    // listening at 0 to 3 is polled into the ring within a second.
    c.maxMaster = 20;
    s.controllers.push_back(c);
    return &s.controllers.back();
  };
  add(16, 28, 14, 0, 172, 4410021, "QD4010A-6AC1100", "Boiler 1");
  add(17, 28, 14, 0, 180, 4410388, "QD4010A-6AC1100", "Boiler 2");
  add(18, 23, 9, 2, 41, 3120977, "QM2200B-4AA0100", "Chiller loop");
  add(19, 28, 14, 0, 164, 4409876, "QD4020A-6AD1200", "Dryer")->startInBootloader = true;
  add(20, 25, 11, 1, 77, 5201143, "QT1100C-2BA0010", "Tank level");
  return s;
}

}  // namespace sim
