// The parameter store of an emulated controller: classes, instances and
// members, each member holding its value in wire form (type byte first), so
// that what is read back is exactly what was written.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace sim {

using WireValue = std::vector<uint8_t>;

// Size of the encoded value at `p` (type byte included), or empty when the
// type is unknown or the value runs past `avail` bytes.
std::optional<size_t> WireValueSize(const uint8_t* p, size_t avail);

WireValue U8Value(uint8_t type, uint8_t v);     // types 1, 2
WireValue U16Value(uint8_t type, uint16_t v);   // types 3, 4, 18
WireValue U32Value(uint8_t type, uint32_t v);   // types 5, 6, 8, 17
WireValue ListValue(uint8_t v);                 // type 7 with one item
WireValue TextValue(const std::string& text);   // type 9
WireValue Triple(uint8_t type, uint8_t a, uint8_t b, uint8_t c);  // types 12, 13
WireValue WordListValue(uint16_t v);            // type 15 with one item

// The number a one-to-four-byte value holds, most significant byte first.
uint32_t NumberOf(const WireValue& v);
// The text of a type-9 value, up to its NUL.
std::string TextOf(const WireValue& v);

enum class Access {
  kReadWrite,
  kReadOnly,   // factory data, live status, identity numbers
  kIdentity,   // writable only while the identity is unlocked
};

struct Setting {
  WireValue value;
  WireValue factory;     // what a defaults write puts back
  Access access = Access::kReadWrite;
  bool keepOnDefaults = false;  // communication settings survive a defaults write
  size_t maxText = 31;          // longest text a type-9 member takes
};

using Members = std::map<uint8_t, Setting>;
using Instances = std::map<uint8_t, Members>;
using Classes = std::map<uint8_t, Instances>;

// The store every controller starts with: identity, control loops, inputs,
// alarms, live status and communication settings.
Classes StandardSettings(uint8_t hardwareId, uint32_t softwareId, uint8_t release,
                         uint8_t prototype, uint16_t build, int32_t serial,
                         const std::string& model, const std::string& name, uint8_t zone);

// Classes whose members count as settings (not identity, not live status).
bool IsSettingsClass(uint8_t cls);

}  // namespace sim
