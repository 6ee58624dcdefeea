#include "client/typed_value.h"

#include <cstring>

const int8_t TypedValueSize[TypedValueTypeCount] = {0, 1, 1, 2, 2, 4, 4, -1, 4, -2,
                                                    -3, 0, 3, 3, -5, -6, -7, 4, 2};

namespace {

constexpr uint32_t kHigh8 = 0xFF000000u;
constexpr uint32_t kHigh16 = 0xFFFF0000u;
constexpr uint32_t kLow16 = 0x0000FFFFu;
constexpr uint32_t kLow24 = 0x00FFFFFFu;

uint32_t Be16(const uint8_t* p) { return (uint32_t{p[0]} << 8) | p[1]; }

uint32_t Be32(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

uint8_t Byte(uint32_t word, int shift) { return static_cast<uint8_t>(word >> shift); }

void PutHigh8(TypedValue* v, uint8_t b) { v->value = (v->value & ~kHigh8) | (uint32_t{b} << 24); }

void PutHigh16(TypedValue* v, uint32_t w) { v->value = (v->value & ~kHigh16) | (w << 16); }

void PutLow16(TypedValue* v, uint32_t w) { v->value = (v->value & ~kLow16) | w; }

}  // namespace

std::size_t TypedValue_Encode(const TypedValue& v, uint8_t* out, std::size_t capacity) {
  std::size_t n = 1;
  uint8_t body[256];
  switch (v.type) {
    case 1:
    case 2:
      body[0] = Byte(v.value, 24);
      n = 2;
      break;
    case 3:
    case 4:
      body[0] = Byte(v.value, 24);
      body[1] = Byte(v.value, 16);
      n = 3;
      break;
    case 5:
    case 6:
    case 8:
    case 17:
      for (int i = 0; i < 4; ++i) body[i] = Byte(v.value, 24 - 8 * i);
      n = 5;
      break;
    case 18:
      body[0] = Byte(v.value, 8);
      body[1] = Byte(v.value, 0);
      n = 3;
      break;
    case 7:
      body[0] = 1;
      body[1] = Byte(v.value, 24);
      n = 3;
      break;
    case 9: {
      if (v.text == nullptr) return 0;
      const std::size_t length = std::strlen(v.text);
      if (length > 254) return 0;
      body[0] = static_cast<uint8_t>(length + 1);
      std::memcpy(body + 1, v.text, length + 1);
      n = length + 3;
      break;
    }
    case 10:
    case 14: {
      if (v.counted == nullptr) return 0;
      const std::size_t count = v.counted[0];
      const std::size_t itemSize = v.type == 10 ? 1 : 4;
      if (count * itemSize > 254) return 0;
      std::memcpy(body, v.counted, 1 + count * itemSize);
      n = count * itemSize + 2;
      break;
    }
    case 12:
      body[0] = Byte(v.value, 0);
      body[1] = v.extra[0];
      body[2] = v.extra[1];
      n = 4;
      break;
    case 13:
      body[0] = Byte(v.value, 8);
      body[1] = Byte(v.value, 0);
      body[2] = Byte(v.value, 16);
      n = 4;
      break;
    case 15:
      body[0] = 1;
      body[1] = Byte(v.value, 24);
      body[2] = Byte(v.value, 16);
      n = 4;
      break;
    default:
      break;
  }
  if (n > capacity) return 0;
  out[0] = static_cast<uint8_t>(v.type);
  std::memcpy(out + 1, body, n - 1);
  return n;
}

uint16_t TypedValue_Decode(const uint8_t* in, std::size_t available, TypedValue* v) {
  if (available == 0) return 0;
  const uint8_t type = in[0];
  // Bytes the value takes, type byte included; the counted types need their
  // count byte before their size is known.
  std::size_t size = 1;
  switch (type) {
    case 1:
    case 2:
      size = 2;
      break;
    case 3:
    case 4:
    case 18:
      size = 3;
      break;
    case 5:
    case 6:
    case 8:
    case 17:
      size = 5;
      break;
    case 12:
    case 13:
    case 15:
      size = 4;
      break;
    case 7:
    case 9:
    case 10:
    case 14:
      if (available < 2) return 0;
      size = (type == 14 ? 4 * std::size_t{in[1]} : std::size_t{in[1]}) + 2;
      break;
    default:
      break;
  }
  if (size > available) return 0;

  v->type = type;
  v->note = TypedValueNote::None;
  const uint8_t* p = in + 1;
  switch (type) {
    case 1:
    case 2:
      PutHigh8(v, p[0]);
      break;
    case 3:
    case 4:
      PutHigh16(v, Be16(p));
      break;
    case 5:
    case 6:
    case 8:
    case 17:
      v->value = Be32(p);
      break;
    case 18:
      PutLow16(v, Be16(p));
      break;
    case 7:
      // A list of one-byte items: only the first is kept.
      if (p[0] >= 1) PutHigh8(v, p[1]);
      if (p[0] > 1) v->note = TypedValueNote::ItemsDropped;
      break;
    case 9:
      if (v->buffer != nullptr && v->bufferSize > 0) {
        std::size_t i = 0;
        while (i < p[0] && i + 1 < v->bufferSize && p[1 + i] != 0) {
          v->buffer[i] = static_cast<char>(p[1 + i]);
          ++i;
        }
        v->buffer[i] = '\0';
      }
      break;
    case 10:
    case 14:
      v->counted = p;
      break;
    case 12:
      v->value = p[0];
      v->extra[0] = p[1];
      v->extra[1] = p[2];
      break;
    case 13:
      v->value = (v->value & ~kLow24) | (uint32_t{p[2]} << 16) | Be16(p);
      break;
    case 15:
      PutHigh16(v, Be16(p + 1));
      if (p[0] > 1) v->note = TypedValueNote::ItemsDropped;
      break;
    case 11:
    case 255:
      break;
    default:
      v->note = TypedValueNote::UnknownType;
      break;
  }
  return static_cast<uint16_t>(size);
}

uint8_t ZoneOfAddress(uint8_t address) {
  if (address <= 3) return address;
  if (address <= 11) return static_cast<uint8_t>(address - 3);
  if (address <= 15) return static_cast<uint8_t>(address - 11);
  return static_cast<uint8_t>(address - 15);
}
