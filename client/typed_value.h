// Device parameter values as they travel in service messages: a type byte
// followed by the value's bytes, most significant byte first.
//
// In memory the number sits in `value` at a place fixed by its type: one-byte
// values (types 1, 2, 7) in the most significant byte, types 3, 4 and 15 in the
// most significant 16 bits, types 13 and 18 in the least significant 16 bits
// (type 13 also bits 16 to 23), types 5, 6, 8, 17 and 12 (its first byte) the
// whole word. Decoding writes only the bytes the type occupies.
#pragma once

#include <cstddef>
#include <cstdint>

// What a decode met besides the value it took.
enum class TypedValueNote : uint8_t {
  None,
  // A type code that is not one of the value types: one byte is taken.
  UnknownType,
  // A list (types 7 and 15) of more than one item: only the first is kept.
  ItemsDropped,
};

struct TypedValue {
  uint32_t value = 0;
  uint8_t extra[2] = {0, 0};  // second and third byte of a type-12 value
  int32_t type = 0;
  // Type 9 when encoding: the text to send (at most 254 characters).
  const char* text = nullptr;
  // Type 9 when decoding: where the text goes, NUL-terminated and cut to the
  // buffer; nothing is copied when `buffer` is null.
  char* buffer = nullptr;
  std::size_t bufferSize = 0;
  // Types 10 and 14: a count byte followed by its items (one byte each for
  // type 10, four for type 14). Encoding sends them; decoding points this at
  // the count byte inside the message.
  const uint8_t* counted = nullptr;
  // Set by every decode that takes a value.
  TypedValueNote note = TypedValueNote::None;
};

// Fixed size of the value part for type codes 0 to 18; negative entries mark
// the types whose size is carried in the message.
inline constexpr int TypedValueTypeCount = 19;
extern const int8_t TypedValueSize[TypedValueTypeCount];

// Writes the wire form into `out`; returns the bytes written, or 0 when the
// value does not fit into `capacity` or cannot be sent (a text of more than
// 254 characters, a missing text or list, a type-10 count of 255, a type-14
// count above 63).
std::size_t TypedValue_Encode(const TypedValue& value, uint8_t* out, std::size_t capacity);

// Reads one value from `in` (`available` bytes, starting at the type byte).
// Returns the bytes taken, or 0 when the value runs past `available`; the
// value is then left as it was. An unknown type and a list of more than one
// item are decoded all the same, and told in `note`.
uint16_t TypedValue_Decode(const uint8_t* in, std::size_t available, TypedValue* value);

// The number under which an operator sees and sets a station address.
uint8_t ZoneOfAddress(uint8_t address);
