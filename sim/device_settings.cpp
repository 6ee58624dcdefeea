#include "sim/device_settings.h"

namespace sim {

std::optional<size_t> WireValueSize(const uint8_t* p, size_t avail) {
  if (avail == 0) return std::nullopt;
  size_t size = 0;
  switch (p[0]) {
    case 1: case 2: size = 2; break;
    case 3: case 4: case 18: size = 3; break;
    case 5: case 6: case 8: case 17: size = 5; break;
    case 11: size = 1; break;
    case 12: case 13: size = 4; break;
    case 7: case 9: case 10:
      if (avail < 2) return std::nullopt;
      size = static_cast<size_t>(p[1]) + 2;
      break;
    case 14:
      if (avail < 2) return std::nullopt;
      size = 4 * static_cast<size_t>(p[1]) + 2;
      break;
    case 15:
      if (avail < 2) return std::nullopt;
      size = 2 * static_cast<size_t>(p[1]) + 2;
      break;
    default:
      return std::nullopt;
  }
  if (size > avail) return std::nullopt;
  return size;
}

WireValue U8Value(uint8_t type, uint8_t v) { return {type, v}; }

WireValue U16Value(uint8_t type, uint16_t v) {
  return {type, static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v & 0xFF)};
}

WireValue U32Value(uint8_t type, uint32_t v) {
  return {type, static_cast<uint8_t>(v >> 24), static_cast<uint8_t>(v >> 16),
          static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)};
}

WireValue ListValue(uint8_t v) { return {7, 1, v}; }

WireValue TextValue(const std::string& text) {
  // Built as a string and copied once: GCC 12 at -O2 takes the vector
  // operations this needs otherwise for out-of-bounds or null accesses.
  std::string wire{static_cast<char>(9), static_cast<char>(text.size() + 1)};
  wire += text;
  wire += '\0';
  return WireValue(wire.begin(), wire.end());
}

WireValue Triple(uint8_t type, uint8_t a, uint8_t b, uint8_t c) { return {type, a, b, c}; }

WireValue WordListValue(uint16_t v) {
  return {15, 1, static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v & 0xFF)};
}

uint32_t NumberOf(const WireValue& v) {
  size_t from = (v.size() > 1 && (v[0] == 7 || v[0] == 15)) ? 2 : 1;
  uint32_t n = 0;
  for (size_t i = from; i < v.size() && i < from + 4; ++i) n = (n << 8) | v[i];
  return n;
}

std::string TextOf(const WireValue& v) {
  std::string s;
  for (size_t i = 2; i < v.size() && v[i] != 0; ++i) s.push_back(static_cast<char>(v[i]));
  return s;
}

bool IsSettingsClass(uint8_t cls) { return cls != 1 && cls != 16; }

Classes StandardSettings(uint8_t hardwareId, uint32_t softwareId, uint8_t release,
                         uint8_t prototype, uint16_t build, int32_t serial,
                         const std::string& model, const std::string& name, uint8_t zone) {
  auto rw = [](WireValue start, WireValue factory) {
    return Setting{std::move(start), std::move(factory), Access::kReadWrite, false, 31};
  };
  auto fixed = [](WireValue v) { return Setting{v, v, Access::kReadOnly, false, 31}; };
  auto identity = [](WireValue v) { return Setting{v, v, Access::kIdentity, false, 31}; };
  auto comms = [](WireValue start, WireValue factory) {
    return Setting{std::move(start), std::move(factory), Access::kReadWrite, true, 31};
  };

  Classes c;
  Members& id = c[1][1];
  id[1] = fixed(U32Value(5, hardwareId));
  id[2] = fixed(U32Value(5, softwareId));
  id[3] = fixed(U32Value(5, release));
  id[4] = fixed(U32Value(5, prototype));
  id[5] = fixed(U32Value(5, build));
  id[7] = identity(U32Value(6, static_cast<uint32_t>(serial)));
  id[9] = identity(TextValue(model));
  id[11] = identity(TextValue(name));
  id[13] = rw(ListValue(1), ListValue(1));

  // Control loops: setpoint, band, integral, derivative, mode, alarm limit, tag.
  for (uint8_t loop = 1; loop <= 2; ++loop) {
    Members& m = c[2][loop];
    m[1] = rw(U16Value(4, static_cast<uint16_t>(650 + 25 * loop)), U16Value(4, 500));
    m[2] = rw(U16Value(3, 120), U16Value(3, 100));
    m[3] = rw(U16Value(18, 240), U16Value(18, 240));
    m[4] = rw(U16Value(18, static_cast<uint16_t>(30 * loop)), U16Value(18, 0));
    m[5] = rw(ListValue(2), ListValue(1));
    m[6] = rw(U32Value(6, 90000u + loop), U32Value(6, 100000));
    m[7] = rw(TextValue(loop == 1 ? "Supply" : "Return"), TextValue("Loop"));
  }
  // Inputs: sensor type, range, filter, factory calibration (read-only), unit.
  for (uint8_t input = 1; input <= 3; ++input) {
    Members& m = c[3][input];
    m[1] = rw(U8Value(1, static_cast<uint8_t>(input + 2)), U8Value(1, 1));
    m[2] = rw(U32Value(5, 0), U32Value(5, 0));
    m[3] = rw(U32Value(5, 4000u + 1000u * input), U32Value(5, 10000));
    m[4] = rw(U8Value(2, 8), U8Value(2, 4));
    m[7] = fixed(Triple(13, 0x01, static_cast<uint8_t>(0x20 + input), 0x03));
    m[9] = rw(TextValue("degC"), TextValue("degC"));
  }
  // Alarms: enable, limits, hysteresis, relay mapping.
  for (uint8_t alarm = 1; alarm <= 4; ++alarm) {
    Members& m = c[5][alarm];
    m[1] = rw(U8Value(2, alarm <= 2 ? 1 : 0), U8Value(2, 0));
    m[2] = rw(Triple(12, alarm, 0x10, 0x20), Triple(12, 0, 0, 0));
    m[3] = rw(WordListValue(static_cast<uint16_t>(15 * alarm)), WordListValue(10));
    m[4] = rw(U32Value(17, 0x00010000u * alarm), U32Value(17, 0));
  }
  // Live status; values are filled in when read.
  Members& status = c[16][1];
  status[1] = fixed(U16Value(18, 0));
  status[2] = fixed(U8Value(1, 0));
  status[3] = fixed(U16Value(4, 0));
  status[9] = fixed(U32Value(6, 0));
  // Communication: zone address, protocol (0 Tarnix, 1 Modbus), line speed code.
  Members& com = c[17][1];
  com[1] = comms(U8Value(1, zone), U8Value(1, 1));
  com[2] = comms(U8Value(1, 0), U8Value(1, 0));
  com[3] = comms(U8Value(1, 2), U8Value(1, 2));
  return c;
}

}  // namespace sim
