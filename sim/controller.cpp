#include "sim/controller.h"

#include <algorithm>
#include <cstdio>

namespace sim {
namespace {

StationTiming TimingOf(const ControllerConfig& c) {
  StationTiming t;
  t.maxMaster = c.maxMaster;
  t.maxInfoFrames = c.maxInfoFrames;
  t.usageTimeout = static_cast<Micros>(c.usageTimeoutMs) * 1000;
  return t;
}

uint16_t SelectRegisterOf(uint8_t hardwareId) { return hardwareId == 23 ? 2832 : 2492; }
uint8_t StandardAddressOf(uint8_t hardwareId) { return hardwareId == 25 ? 32 : 16; }

// The number under which an operator sees a station address. A zone written
// to the device always means the band from 16 on (zone 1 is address 16).
uint8_t ZoneOf(uint8_t address) {
  if (address < 4) return address;
  if (address < 12) return static_cast<uint8_t>(address - 3);
  if (address < 16) return static_cast<uint8_t>(address - 11);
  return static_cast<uint8_t>(address - 15);
}

std::vector<uint8_t> Refuse(uint8_t code) { return {0x01, code}; }

uint32_t Be32(const std::vector<uint8_t>& v, size_t at) {
  return (static_cast<uint32_t>(v[at]) << 24) | (static_cast<uint32_t>(v[at + 1]) << 16) |
         (static_cast<uint32_t>(v[at + 2]) << 8) | v[at + 3];
}

std::string JsonText(const std::string& s) {
  std::string out = "\"";
  for (char ch : s) {
    if (ch == '"' || ch == '\\') {
      out += '\\';
      out += ch;
    } else if (static_cast<unsigned char>(ch) < 0x20) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", static_cast<unsigned>(static_cast<unsigned char>(ch)));
      out += buf;
    } else {
      out += ch;
    }
  }
  return out + "\"";
}

}  // namespace

Controller::Controller(const ControllerConfig& config, const DeviceProtocol& protocol,
                       uint32_t busBaud)
    : config_(config),
      protocol_(protocol),
      busBaud_(busBaud),
      station_(config.address, TimingOf(config), busBaud),
      modbusSlave_(SelectRegisterOf(config.hardwareId),
                   kAnswerDelay + static_cast<Micros>(config.latencyMs) * 1000),
      address_(config.address) {
  if (config_.bootModel.empty()) config_.bootModel = BootModelOf(config_.modelNumber);
  db_ = StandardSettings(config.hardwareId, config.softwareId, config.release, config.prototype,
                         config.build, config.serialNumber, config.modelNumber, config.deviceName,
                         ZoneOf(config.address));
  if (config.startInModbus) db_[17][1][2].value = U8Value(1, 1);
  start_ = db_;
  if (config.startInBootloader) {
    flash_.assign(kFlashSize, 0xFF);
    mode_ = Mode::kBootloader;
  } else {
    flash_ = BuildImage(config.hardwareId, config.release, config.prototype, config.build,
                        kFlashSize / 128, 128);
    mode_ = Mode::kApplication;
    modbus_ = config.startInModbus;
  }
  station_.SetHandler([this](const Frame& f, Micros now) { OnFrame(f, now); });
  station_.Restart(address_, 0);
  modbusSlave_.Reset(0);
}

uint32_t Controller::Baud() const {
  return (mode_ == Mode::kApplication && modbus_) ? ModbusSlave::kBaud : busBaud_;
}

void Controller::Advance(Micros now) {
  now_ = now;
  auto due = [now](const Moment& m) {
    return m.kind == Moment::Kind::kTime && static_cast<Micros>(m.value) * 1000 <= now;
  };
  if (!powerCutDone_ && due(config_.powerCut)) {
    powerCutDone_ = true;
    PowerOff(now + static_cast<Micros>(config_.powerOffMs) * 1000, BootTarget::kFlash);
  }
  if (!rebootDone_ && due(config_.reboot)) {
    rebootDone_ = true;
    PowerOff(now + static_cast<Micros>(config_.bootMs) * 1000, BootTarget::kFlash);
  }
  if (mode_ == Mode::kOff && now >= offUntil_) Boot(now);
}

void Controller::OnOctet(uint8_t octet, Micros now) {
  Advance(now);
  if (!Active()) return;
  if (modbus_) {
    modbusSlave_.OnOctet(octet, now);
  } else {
    station_.OnOctet(octet, now);
  }
}

void Controller::OnTime(Micros now) {
  Advance(now);
  if (!Active()) return;
  if (modbus_) {
    modbusSlave_.OnTime(now);
    if (modbusSlave_.SwitchDone(now)) {
      db_[17][1][2].value = U8Value(1, 0);
      modbus_ = false;
      station_.Restart(address_, now);
    }
    return;
  }
  station_.OnTime(now);
  if (station_.Busy(now)) return;
  // Changes that take effect once their answer has left the line.
  AfterAnswer after = after_;
  after_ = {};
  if (after.restart) {
    PowerOff(now + static_cast<Micros>(config_.bootMs) * 1000, *after.restart);
    return;
  }
  if (after.moveTo) {
    SetAddress(*after.moveTo);
    station_.Restart(address_, now);
  }
  if (after.toModbus) {
    modbus_ = true;
    modbusSlave_.Reset(now);
  }
}

Micros Controller::NextWake() const {
  Micros wake = kNever;
  auto at = [](const Moment& m, bool done) {
    return (!done && m.kind == Moment::Kind::kTime) ? static_cast<Micros>(m.value) * 1000 : kNever;
  };
  wake = std::min(wake, at(config_.powerCut, powerCutDone_));
  wake = std::min(wake, at(config_.reboot, rebootDone_));
  if (mode_ == Mode::kOff) return std::min(wake, offUntil_);
  if (config_.silent) return wake;
  if (after_.moveTo || after_.toModbus || after_.restart) wake = std::min(wake, now_);
  return std::min(wake, modbus_ ? modbusSlave_.NextWake() : station_.NextWake());
}

bool Controller::TakeOctet(uint8_t* octet) {
  if (!Active()) return false;
  return modbus_ ? modbusSlave_.TakeOctet(octet) : station_.TakeOctet(octet);
}

void Controller::PowerOff(Micros until, BootTarget target) {
  mode_ = Mode::kOff;
  offUntil_ = until;
  bootTarget_ = target;
  after_ = {};
  modbus_ = false;
  station_.Restart(address_, now_);
  modbusSlave_.Reset(now_);
}

void Controller::Boot(Micros now) {
  unlocked_ = false;
  erased_ = false;
  eraseDoneAt_ = kNever;
  std::optional<ImageInfo> image = ValidateImage(flash_);
  bool runnable = image && image->hardwareId == config_.hardwareId;
  if (bootTarget_ == BootTarget::kBootloader || !runnable) {
    mode_ = Mode::kBootloader;
  } else {
    mode_ = Mode::kApplication;
    if (updated_) ApplyUpdate(*image);
    updated_ = false;
    modbus_ = NumberOf(db_[17][1][2].value) == 1;
  }
  bootTarget_ = BootTarget::kFlash;
  station_.Restart(address_, now);
  modbusSlave_.Reset(now);
}

void Controller::ApplyUpdate(const ImageInfo& info) {
  Members& id = db_[1][1];
  id[3].value = U32Value(5, info.release);
  id[4].value = U32Value(5, info.prototype);
  id[5].value = U32Value(5, info.build);
  if (!config_.keepSettingsAfterUpdate) FactoryReset();
  if (config_.standardAddressAfterUpdate) SetAddress(StandardAddressOf(config_.hardwareId));
  if (config_.modbusAfterUpdate) db_[17][1][2].value = U8Value(1, 1);
  if (config_.placeholderModelAfterUpdate) {
    id[9].value = TextValue(BootModelOf(TextOf(id[9].value)));
  }
}

void Controller::SetAddress(uint8_t address) {
  address_ = address;
  db_[17][1][1].value = U8Value(1, ZoneOf(address));
}

void Controller::FactoryReset() {
  for (auto& [cls, instances] : db_) {
    if (!IsSettingsClass(cls)) continue;
    for (auto& [instance, members] : instances) {
      for (auto& [member, s] : members) {
        if (!s.keepOnDefaults && s.access == Access::kReadWrite) s.value = s.factory;
      }
    }
  }
}

void Controller::OnFrame(const Frame& f, Micros now) {
  if (f.data.empty()) return;
  ++requests_;
  std::optional<std::vector<uint8_t>> answer = Serve(f.data, now);
  if (f.type != kDataExpectingReply || !answer || mode_ == Mode::kOff) return;
  // A slow controller is slow with its Reply Postponed as well.
  const Micros due = now + kAnswerDelay + static_cast<Micros>(config_.latencyMs) * 1000;
  if (config_.replyPostponed) {
    station_.Reply(kReplyPostponed, f.src, {}, due);
    station_.Defer(f.src, std::move(*answer));
    return;
  }
  station_.Reply(kDataNotExpectingReply, f.src, std::move(*answer), due);
}

std::optional<std::vector<uint8_t>> Controller::Serve(const std::vector<uint8_t>& req, Micros now) {
  if (req.size() < 2 || req[0] != 0x01) return Refuse(kMalformed);
  return mode_ == Mode::kBootloader ? ServeBootloader(req, now) : ServeApplication(req, now);
}

bool Controller::CutAt(Moment::Kind kind, uint64_t value, Micros now) {
  auto hit = [kind, value](const Moment& m) { return m.kind == kind && m.value == value; };
  if (!powerCutDone_ && hit(config_.powerCut)) {
    powerCutDone_ = true;
    PowerOff(now + static_cast<Micros>(config_.powerOffMs) * 1000, BootTarget::kFlash);
    return true;
  }
  if (!rebootDone_ && hit(config_.reboot)) {
    rebootDone_ = true;
    PowerOff(now + static_cast<Micros>(config_.bootMs) * 1000, BootTarget::kFlash);
    return true;
  }
  return false;
}

Moment::Kind Controller::SettingsRequestKind(const std::vector<uint8_t>& req) {
  const bool member = req[1] == 0x03 || req[1] == 0x04;
  const bool instance = req[1] == 0x05 || req[1] == 0x0A;
  // Read member carries a 0x01 before the class.
  const size_t at = req[1] == 0x03 ? 3 : 2;
  if ((!member && !instance) || req.size() < at + 2 || !IsSettingsClass(req[at])) {
    return Moment::Kind::kNone;
  }
  if (req[1] == 0x03 || req[1] == 0x05) return Moment::Kind::kRead;
  // The settle request writes no setting.
  if (req[1] == 0x04 && req[at] == 17 && req[at + 1] == 51) return Moment::Kind::kNone;
  return Moment::Kind::kWrite;
}

std::optional<std::vector<uint8_t>> Controller::ServeApplication(const std::vector<uint8_t>& req,
                                                                 Micros now) {
  // A power cut or reboot set for the Nth settings read or write takes the
  // request with it, unanswered.
  const Moment::Kind settings = SettingsRequestKind(req);
  if (settings == Moment::Kind::kRead && CutAt(settings, ++settingsReads_, now)) return std::nullopt;
  if (settings == Moment::Kind::kWrite && CutAt(settings, ++settingsWrites_, now)) {
    return std::nullopt;
  }
  switch (req[1]) {
    case 0x01:
      return std::vector<uint8_t>{0x01, 0x01, config_.hardwareId, 0x00};
    case 0x02: {
      if (req.size() == 3 && req[2] == 0x02) {
        std::vector<uint8_t> a{0x01, 0x02, 0x02, static_cast<uint8_t>(db_.size())};
        for (const auto& entry : db_) a.push_back(entry.first);
        return a;
      }
      if (req.size() == 4 && req[2] == 0x03) {
        auto c = db_.find(req[3]);
        if (c == db_.end()) return Refuse(kUnknownItem);
        std::vector<uint8_t> a{0x01, 0x02, 0x03, req[3], static_cast<uint8_t>(c->second.size())};
        for (const auto& entry : c->second) a.push_back(entry.first);
        return a;
      }
      return Refuse(kMalformed);
    }
    case 0x03:
      return ReadMember(req, now);
    case 0x04:
      return WriteMember(req, now);
    case 0x05:
      return ReadInstance(req, now);
    case 0x0A:
      return WriteInstance(req, now);
    case 0xEA:
      // The entry message expects no answer; a wrong code is ignored.
      if (req.size() == 6 && std::equal(protocol_.entryCode.begin(), protocol_.entryCode.end(),
                                        req.begin() + 2)) {
        after_.restart = BootTarget::kBootloader;
      }
      return std::nullopt;
    case 0xEF:
      if (req.size() != 6) return Refuse(kMalformed);
      if (!std::equal(protocol_.restartCode.begin(), protocol_.restartCode.end(), req.begin() + 2)) {
        return Refuse(kBadValue);
      }
      after_.restart = BootTarget::kFlash;
      return std::vector<uint8_t>{0x01, 0xEF};
    default:
      return Refuse(kUnknownItem);
  }
}

std::optional<std::vector<uint8_t>> Controller::ServeBootloader(const std::vector<uint8_t>& req,
                                                                Micros now) {
  switch (req[1]) {
    case 0x01:
      return std::vector<uint8_t>{0x01, 0x01, config_.hardwareId, 0xCC};
    case 0xEB: {
      std::vector<uint8_t> a{0x01, 0xEB, config_.hardwareId};
      a.insert(a.end(), config_.bootModel.begin(), config_.bootModel.end());
      return a;
    }
    case 0xEC:
      // A prepare that arrives during the erase does not start it again.
      if (!(erased_ && now < eraseDoneAt_)) {
        std::fill(flash_.begin(), flash_.end(), 0xFF);
        erased_ = true;
        eraseDoneAt_ = now + static_cast<Micros>(config_.eraseMs) * 1000;
      }
      return std::vector<uint8_t>{0x01, 0xEC};
    case 0xEE:
      if (erased_ && now >= eraseDoneAt_) return std::vector<uint8_t>{0x01, 0xED};
      return std::vector<uint8_t>{0x01, 0xEE};
    case 0xED:
      return WriteBlock(req, now);
    case 0xEF:
      after_.restart = BootTarget::kFlash;
      return std::vector<uint8_t>{0x01, 0xEF};
    case 0xEA:
      return std::nullopt;
    default:
      return Refuse(kUnknownItem);
  }
}

std::optional<std::vector<uint8_t>> Controller::WriteBlock(const std::vector<uint8_t>& req,
                                                           Micros now) {
  if (req.size() < 8 || req[6] != 0x00 || req.size() != 8u + req[7]) return Refuse(kMalformed);
  uint32_t addr = Be32(req, 2);
  size_t length = req[7];
  if (addr < kFlashBase || addr >= kFlashEnd || length > kFlashEnd - addr) {
    return Refuse(kProgrammingError);
  }
  uint64_t block = (addr - kFlashBase) / 128;
  if (CutAt(Moment::Kind::kBlock, block, now)) return std::nullopt;
  if (config_.programError && block == config_.programErrorBlock) return Refuse(kProgrammingError);
  if (!erased_ || now < eraseDoneAt_) return Refuse(kNotErased);
  std::copy(req.begin() + 8, req.end(), flash_.begin() + (addr - kFlashBase));
  updated_ = true;
  return std::vector<uint8_t>(req.begin(), req.begin() + 6);
}

std::vector<uint8_t> Controller::ReadMember(const std::vector<uint8_t>& req, Micros now) {
  if (req.size() != 6 || req[2] != 0x01) return Refuse(kMalformed);
  std::optional<WireValue> v;
  if (req[3] == 16) RefreshStatus(now);
  v = Value(req[3], req[5], req[4]);
  if (!v) return Refuse(kUnknownItem);
  std::vector<uint8_t> a(req.begin(), req.end());
  a.insert(a.end(), v->begin(), v->end());
  return a;
}

std::vector<uint8_t> Controller::WriteMember(const std::vector<uint8_t>& req, Micros now) {
  if (req.size() < 6) return Refuse(kMalformed);
  std::optional<size_t> size = WireValueSize(req.data() + 5, req.size() - 5);
  if (!size) return Refuse(kWrongType);
  if (*size != req.size() - 5) return Refuse(kMalformed);
  WireValue v(req.begin() + 5, req.end());
  uint8_t code = CheckWrite(req[2], req[4], req[3], v);
  if (code != 0) return Refuse(code);
  ApplyWrite(req[2], req[4], req[3], v, now);
  return {0x01, 0x04, req[2], req[3], req[4]};
}

std::vector<uint8_t> Controller::ReadInstance(const std::vector<uint8_t>& req, Micros now) {
  if (req.size() != 4) return Refuse(kMalformed);
  auto c = db_.find(req[2]);
  if (c == db_.end()) return Refuse(kUnknownItem);
  auto i = c->second.find(req[3]);
  if (i == c->second.end()) return Refuse(kUnknownItem);
  if (req[2] == 16) RefreshStatus(now);
  std::vector<uint8_t> a{0x01, 0x05, req[2], req[3], static_cast<uint8_t>(i->second.size())};
  for (const auto& [member, s] : i->second) {
    a.push_back(member);
    a.insert(a.end(), s.value.begin(), s.value.end());
  }
  return a;
}

std::vector<uint8_t> Controller::WriteInstance(const std::vector<uint8_t>& req, Micros now) {
  if (req.size() < 5) return Refuse(kMalformed);
  uint8_t cls = req[2];
  uint8_t instance = req[3];
  std::vector<std::pair<uint8_t, WireValue>> items;
  size_t at = 5;
  for (unsigned n = 0; n < req[4]; ++n) {
    if (at >= req.size()) return Refuse(kMalformed);
    uint8_t member = req[at++];
    std::optional<size_t> size = WireValueSize(req.data() + at, req.size() - at);
    if (!size) return Refuse(kMalformed);
    items.emplace_back(member, WireValue(req.begin() + static_cast<std::ptrdiff_t>(at),
                                         req.begin() + static_cast<std::ptrdiff_t>(at + *size)));
    at += *size;
  }
  if (at != req.size()) return Refuse(kMalformed);
  // All or nothing: one refused member leaves the whole instance unchanged.
  for (const auto& [member, v] : items) {
    uint8_t code = CheckWrite(cls, instance, member, v);
    if (code != 0) return Refuse(code);
  }
  for (const auto& [member, v] : items) ApplyWrite(cls, instance, member, v, now);
  return {0x01, 0x0A, cls, instance};
}

uint8_t Controller::CheckWrite(uint8_t cls, uint8_t instance, uint8_t member,
                               const WireValue& v) const {
  if (cls == 1 && instance == 1 && member == 15) {
    if (v[0] != 3) return kWrongType;
    uint32_t code = NumberOf(v);
    uint32_t unlock = (static_cast<uint32_t>(protocol_.unlockCode[0]) << 8) | protocol_.unlockCode[1];
    return (code == 0 || code == unlock) ? 0 : kBadValue;
  }
  if (cls == 17 && instance == 1 && member == 51) return v[0] == 7 ? 0 : kWrongType;
  auto c = db_.find(cls);
  if (c == db_.end()) return kUnknownItem;
  auto i = c->second.find(instance);
  if (i == c->second.end()) return kUnknownItem;
  auto m = i->second.find(member);
  if (m == i->second.end()) return kUnknownItem;
  const Setting& s = m->second;
  if (s.access == Access::kReadOnly) return kReadOnly;
  if (s.access == Access::kIdentity && !unlocked_) return kLocked;
  if (v[0] != s.value[0]) return kWrongType;
  if (v[0] == 9) {
    size_t length = v[1];
    if (length == 0 || v[1 + length] != 0 || length - 1 > s.maxText) return kBadValue;
    if (std::find(v.begin() + 2, v.end() - 1, 0) != v.end() - 1) return kBadValue;
  }
  if (v[0] == 7 && v[1] == 0) return kBadValue;
  if (cls == 17 && instance == 1 && member == 1) {
    uint32_t zone = NumberOf(v);
    if (zone < 1 || zone > 112) return kBadValue;
  }
  if (cls == 17 && instance == 1 && member == 2 && NumberOf(v) > 1) return kBadValue;
  return 0;
}

void Controller::ApplyWrite(uint8_t cls, uint8_t instance, uint8_t member, const WireValue& v,
                            Micros now) {
  if (cls == 1 && instance == 1 && member == 15) {
    unlocked_ = NumberOf(v) != 0;
    return;
  }
  if (cls == 17 && instance == 1 && member == 51) {
    settleStart_ = now;
    settleEnd_ = now + static_cast<Micros>(config_.settleMs) * 1000;
    return;
  }
  if (cls == 1 && instance == 1 && member == 13 && NumberOf(v) == 31) {
    // 31 selects the factory set; the selector itself keeps naming the set in use.
    FactoryReset();
    return;
  }
  db_[cls][instance][member].value = v;
  if (cls == 17 && instance == 1 && member == 1) {
    uint8_t target = static_cast<uint8_t>(NumberOf(v) + 15);
    if (target != address_) after_.moveTo = target;
  }
  if (cls == 17 && instance == 1 && member == 2 && NumberOf(v) == 1) after_.toModbus = true;
}

void Controller::RefreshStatus(Micros now) {
  Members& s = db_[16][1];
  s[1].value = U16Value(18, static_cast<uint16_t>(200 + (now / 1'000'000) % 7));
  s[2].value = U8Value(1, static_cast<uint8_t>(40 + (now / 2'000'000) % 5));
  s[3].value = U16Value(4, 0);
  // Member 9 counts up every 100 ms while the controller settles and then
  // holds still, which is how a client sees that it has settled.
  Micros settled = settleStart_ < 0 ? 0 : std::min(now, settleEnd_) - settleStart_;
  s[9].value = U32Value(6, static_cast<uint32_t>(1000 + settled / 100'000));
}

std::optional<WireValue> Controller::Value(uint8_t cls, uint8_t instance, uint8_t member) const {
  auto c = db_.find(cls);
  if (c == db_.end()) return std::nullopt;
  auto i = c->second.find(instance);
  if (i == c->second.end()) return std::nullopt;
  auto m = i->second.find(member);
  if (m == i->second.end()) return std::nullopt;
  return m->second.value;
}

uint32_t Controller::IdentityNumber(uint8_t member) const {
  std::optional<WireValue> v = Value(1, 1, member);
  return v ? NumberOf(*v) : 0;
}

std::string Controller::IdentityText(uint8_t member) const {
  std::optional<WireValue> v = Value(1, 1, member);
  return v ? TextOf(*v) : std::string();
}

bool Controller::FlashHoldsExpected() const {
  return !expected_.empty() && expected_.size() <= flash_.size() &&
         std::equal(expected_.begin(), expected_.end(), flash_.begin());
}

std::vector<std::string> Controller::ChangedSettings() const {
  std::vector<std::string> changed;
  for (const auto& [cls, instances] : db_) {
    if (!IsSettingsClass(cls)) continue;
    for (const auto& [instance, members] : instances) {
      for (const auto& [member, s] : members) {
        if (s.value != start_.at(cls).at(instance).at(member).value) {
          changed.push_back(std::to_string(cls) + "." + std::to_string(instance) + "." +
                            std::to_string(member));
        }
      }
    }
  }
  return changed;
}

uint32_t Controller::SettingsDigest() const {
  std::vector<uint8_t> bytes;
  for (const auto& [cls, instances] : db_) {
    if (!IsSettingsClass(cls)) continue;
    for (const auto& [instance, members] : instances) {
      for (const auto& [member, s] : members) {
        bytes.push_back(cls);
        bytes.push_back(instance);
        bytes.push_back(member);
        bytes.insert(bytes.end(), s.value.begin(), s.value.end());
      }
    }
  }
  return Crc32(bytes.data(), bytes.size());
}

std::string Controller::ReportJson() const {
  char digest[16];
  std::snprintf(digest, sizeof digest, "%08x", SettingsDigest());
  char version[32];
  std::snprintf(version, sizeof version, "%u.%02u.%u", IdentityNumber(3), IdentityNumber(4),
                IdentityNumber(5));
  std::string changed;
  for (const std::string& c : ChangedSettings()) {
    changed += (changed.empty() ? "" : ", ") + JsonText(c);
  }
  const char* mode = mode_ == Mode::kApplication ? "application"
                     : mode_ == Mode::kBootloader ? "bootloader"
                                                  : "off";
  std::string j = "{";
  j += "\"address\": " + std::to_string(address_);
  j += ", \"mode\": \"" + std::string(mode) + "\"";
  j += ", \"protocol\": \"" + std::string(modbus_ ? "modbus" : "tarnix") + "\"";
  j += ", \"version\": \"" + std::string(version) + "\"";
  j += ", \"flash_valid\": " + std::string(ValidateImage(flash_) ? "true" : "false");
  j += ", \"flash_matches_expected\": " +
       std::string(expected_.empty() ? "null" : FlashHoldsExpected() ? "true" : "false");
  j += ", \"settings_digest\": \"" + std::string(digest) + "\"";
  j += ", \"settings_changed\": [" + changed + "]";
  j += ", \"identity\": {\"hardware_id\": " + std::to_string(IdentityNumber(1)) +
       ", \"software_id\": " + std::to_string(IdentityNumber(2)) +
       ", \"serial\": " + std::to_string(static_cast<int32_t>(IdentityNumber(7))) +
       ", \"model\": " + JsonText(IdentityText(9)) + ", \"name\": " + JsonText(IdentityText(11)) + "}";
  j += ", \"counters\": {\"frames\": " + std::to_string(station_.frames()) +
       ", \"bad_frames\": " + std::to_string(station_.badFrames() + modbusSlave_.badFrames()) +
       ", \"tokens\": " + std::to_string(station_.tokens()) +
       ", \"requests\": " + std::to_string(requestsServed()) +
       ", \"power_cuts\": " + std::to_string(powerCutDone_ ? 1 : 0) +
       ", \"reboots\": " + std::to_string(rebootDone_ ? 1 : 0) + "}";
  return j + "}";
}

}  // namespace sim
