#include "client/typed_value.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint32_t kSentinel = 0xA5A5A5A5u;

struct Decoded {
  TypedValue value;
  uint16_t taken = 0;
  std::string printed;
};

Decoded Decode(const Bytes& in, uint32_t start = kSentinel) {
  Decoded d;
  d.value.value = start;
  d.value.type = -1;
  // A note left from an earlier decode must not survive this one.
  d.value.note = TypedValueNote::ItemsDropped;
  ::testing::internal::CaptureStdout();
  d.taken = TypedValue_Decode(in.data(), in.size(), &d.value);
  d.printed = ::testing::internal::GetCapturedStdout();
  return d;
}

Bytes Encode(const TypedValue& v) {
  uint8_t out[300];
  const std::size_t n = TypedValue_Encode(v, out, sizeof out);
  return Bytes(out, out + n);
}

TypedValue Number(int32_t type, uint32_t word) {
  TypedValue v;
  v.type = type;
  v.value = word;
  return v;
}

// Where each fixed-size type puts its bytes in the value word; the bytes it
// does not occupy keep the sentinel.
struct Placement {
  Bytes wire;
  uint32_t word;
};

TEST(TypedValueDecode, PlacesEachFixedTypeInItsPartOfTheWord) {
  const std::vector<Placement> cases = {
      {{1, 0x7F}, 0x7FA5A5A5u},
      {{2, 0x80}, 0x80A5A5A5u},
      {{3, 0x12, 0x34}, 0x1234A5A5u},
      {{4, 0xFE, 0xDC}, 0xFEDCA5A5u},
      {{5, 0x00, 0x00, 0x00, 0x1C}, 28u},
      {{6, 0x12, 0x34, 0x56, 0x78}, 0x12345678u},
      {{8, 0xFF, 0xFF, 0xFF, 0xFE}, 0xFFFFFFFEu},
      {{17, 0x01, 0x02, 0x03, 0x04}, 0x01020304u},
      {{18, 0x12, 0x34}, 0xA5A51234u},
      {{7, 0x01, 0x1F}, 0x1FA5A5A5u},
      {{12, 0x42, 0x01, 0x02}, 0x00000042u},
      {{13, 0x12, 0x34, 0x56}, 0xA5561234u},
      {{15, 0x01, 0x12, 0x34}, 0x1234A5A5u},
  };
  for (const Placement& c : cases) {
    const Decoded d = Decode(c.wire);
    EXPECT_EQ(d.value.value, c.word) << "type " << int{c.wire[0]};
    EXPECT_EQ(d.taken, c.wire.size()) << "type " << int{c.wire[0]};
    EXPECT_EQ(d.value.type, c.wire[0]);
    EXPECT_EQ(d.value.note, TypedValueNote::None) << "type " << int{c.wire[0]};
    EXPECT_EQ(d.printed, "") << "type " << int{c.wire[0]};
  }
}

TEST(TypedValueDecode, Type12KeepsSecondAndThirdByteInExtra) {
  const Decoded d = Decode({12, 0x42, 0xAB, 0xCD});
  EXPECT_EQ(d.value.extra[0], 0xAB);
  EXPECT_EQ(d.value.extra[1], 0xCD);
}

TEST(TypedValueDecode, ListsOfMoreThanOneItemKeepTheFirstAndSaySoInTheNote) {
  const Decoded list7 = Decode({0x07, 0x02, 0x05, 0x06});
  EXPECT_EQ(list7.value.note, TypedValueNote::ItemsDropped);
  EXPECT_EQ(list7.printed, "");
  EXPECT_EQ(list7.value.value, 0x05A5A5A5u);
  EXPECT_EQ(list7.taken, 4);

  const Decoded list15 = Decode({15, 0x02, 0x12, 0x34});
  EXPECT_EQ(list15.value.note, TypedValueNote::ItemsDropped);
  EXPECT_EQ(list15.printed, "");
  EXPECT_EQ(list15.value.value, 0x1234A5A5u);
  EXPECT_EQ(list15.taken, 4);
}

TEST(TypedValueDecode, EmptyType7ListTakesTwoBytesAndStoresNothing) {
  const Decoded d = Decode({0x07, 0x00, 0x99});
  EXPECT_EQ(d.taken, 2);
  EXPECT_EQ(d.value.value, kSentinel);
}

TEST(TypedValueDecode, UnknownTypesTakeOneByteAndSaySoInTheNote) {
  for (int type : {0, 16, 19, 0x20, 128, 254}) {
    const Decoded d = Decode({static_cast<uint8_t>(type), 1, 2, 3, 4, 5});
    EXPECT_EQ(d.taken, 1) << type;
    EXPECT_EQ(d.value.note, TypedValueNote::UnknownType) << type;
    EXPECT_EQ(d.printed, "") << type;
    EXPECT_EQ(d.value.type, type);
    EXPECT_EQ(d.value.value, kSentinel) << type;
  }
  for (int type : {11, 255}) {
    const Decoded d = Decode({static_cast<uint8_t>(type), 1, 2});
    EXPECT_EQ(d.taken, 1) << type;
    EXPECT_EQ(d.value.note, TypedValueNote::None) << type;
    EXPECT_EQ(d.printed, "") << type;
    EXPECT_EQ(d.value.value, kSentinel) << type;
  }
}

TEST(TypedValueDecode, TextGoesToTheCallersBufferAndIsCutToIt) {
  const Bytes wire = {9, 6, 'H', 'e', 'l', 'l', 'o', 0, 0xEE};
  char big[32];
  std::memset(big, 'x', sizeof big);
  TypedValue v;
  v.buffer = big;
  v.bufferSize = sizeof big;
  EXPECT_EQ(TypedValue_Decode(wire.data(), wire.size(), &v), 8);
  EXPECT_STREQ(big, "Hello");

  char small[4];
  std::memset(small, 'x', sizeof small);
  TypedValue cut;
  cut.buffer = small;
  cut.bufferSize = sizeof small;
  EXPECT_EQ(TypedValue_Decode(wire.data(), wire.size(), &cut), 8);
  EXPECT_EQ(std::string(small, 4), std::string("Hel\0", 4));

  TypedValue nowhere;
  EXPECT_EQ(TypedValue_Decode(wire.data(), wire.size(), &nowhere), 8);
  EXPECT_EQ(nowhere.type, 9);
}

TEST(TypedValueDecode, TextWithoutTerminatorStopsAtItsLength) {
  const Bytes wire = {9, 2, 'A', 'B', 'C', 'D'};
  char text[16];
  std::memset(text, 'x', sizeof text);
  TypedValue v;
  v.buffer = text;
  v.bufferSize = sizeof text;
  EXPECT_EQ(TypedValue_Decode(wire.data(), wire.size(), &v), 4);
  EXPECT_STREQ(text, "AB");
}

TEST(TypedValueDecode, CountedListsPointAtTheirCountInsideTheMessage) {
  const Bytes list10 = {10, 3, 7, 8, 9, 0xEE};
  TypedValue v10;
  EXPECT_EQ(TypedValue_Decode(list10.data(), list10.size(), &v10), 5);
  EXPECT_EQ(v10.counted, list10.data() + 1);

  const Bytes list14 = {14, 2, 1, 2, 3, 4, 5, 6, 7, 8};
  TypedValue v14;
  EXPECT_EQ(TypedValue_Decode(list14.data(), list14.size(), &v14), 10);
  EXPECT_EQ(v14.counted, list14.data() + 1);
}

// A value cut short by the end of the message is refused and nothing of it is
// taken: neither the word nor the type changes.
TEST(TypedValueDecode, RefusesValuesThatRunPastTheInput) {
  const std::vector<Bytes> whole = {
      {1, 1},          {3, 1, 2},          {5, 1, 2, 3, 4}, {7, 1, 9},    {7, 3, 1, 2, 3},
      {9, 3, 'A', 'B', 0}, {10, 2, 1, 2}, {12, 1, 2, 3},    {13, 1, 2, 3}, {14, 1, 1, 2, 3, 4},
      {15, 1, 1, 2},   {17, 1, 2, 3, 4},   {18, 1, 2},
  };
  for (const Bytes& value : whole) {
    for (std::size_t cut = 0; cut < value.size(); ++cut) {
      Decoded d = Decode(Bytes(value.begin(), value.begin() + static_cast<long>(cut)));
      EXPECT_EQ(d.taken, 0) << "type " << int{value[0]} << " cut to " << cut;
      EXPECT_EQ(d.value.value, kSentinel);
      EXPECT_EQ(d.value.type, -1);
    }
    EXPECT_EQ(Decode(value).taken, value.size()) << "type " << int{value[0]};
  }
}

TEST(TypedValueEncode, WritesTheWireFormOfEveryType) {
  struct Case {
    TypedValue value;
    Bytes wire;
  };
  const std::vector<Case> cases = {
      {Number(1, 0x7F000000u), {1, 0x7F}},
      {Number(2, 0x80123456u), {2, 0x80}},
      {Number(3, 0x1234FFFFu), {3, 0x12, 0x34}},
      {Number(4, 0xABCD0000u), {4, 0xAB, 0xCD}},
      {Number(5, 28), {5, 0, 0, 0, 0x1C}},
      {Number(6, 0x12345678u), {6, 0x12, 0x34, 0x56, 0x78}},
      {Number(8, 0xFFFFFFFEu), {8, 0xFF, 0xFF, 0xFF, 0xFE}},
      {Number(17, 0x01020304u), {17, 1, 2, 3, 4}},
      {Number(18, 0xFFFF1234u), {18, 0x12, 0x34}},
      {Number(7, 31u << 24), {7, 0x01, 0x1F}},
      {Number(13, 0x00561234u), {13, 0x12, 0x34, 0x56}},
      {Number(15, 0x1234FFFFu), {15, 0x01, 0x12, 0x34}},
      {Number(11, 0xFFFFFFFFu), {11}},
      {Number(0, 0xFFFFFFFFu), {0}},
      {Number(16, 0xFFFFFFFFu), {16}},
      {Number(19, 0xFFFFFFFFu), {19}},
      {Number(255, 0xFFFFFFFFu), {255}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Encode(c.value), c.wire) << "type " << c.value.type;
  }

  TypedValue t12 = Number(12, 0xFFFFFF42u);
  t12.extra[0] = 0xAB;
  t12.extra[1] = 0xCD;
  EXPECT_EQ(Encode(t12), (Bytes{12, 0x42, 0xAB, 0xCD}));

  TypedValue text = Number(9, 0);
  text.text = "AB";
  EXPECT_EQ(Encode(text), (Bytes{0x09, 0x03, 0x41, 0x42, 0x00}));

  const uint8_t items10[] = {3, 7, 8, 9};
  TypedValue list10 = Number(10, 0);
  list10.counted = items10;
  EXPECT_EQ(Encode(list10), (Bytes{10, 3, 7, 8, 9}));

  const uint8_t items14[] = {2, 1, 2, 3, 4, 5, 6, 7, 8};
  TypedValue list14 = Number(14, 0);
  list14.counted = items14;
  EXPECT_EQ(Encode(list14), (Bytes{14, 2, 1, 2, 3, 4, 5, 6, 7, 8}));
}

TEST(TypedValueEncode, RefusesWhatCannotBeSentOrDoesNotFit) {
  const std::string longest(254, 'a');
  const std::string too_long(255, 'a');
  TypedValue text = Number(9, 0);
  text.text = longest.c_str();
  EXPECT_EQ(Encode(text).size(), 257u);
  EXPECT_EQ(Encode(text)[1], 255);
  text.text = too_long.c_str();
  EXPECT_TRUE(Encode(text).empty());
  text.text = nullptr;
  EXPECT_TRUE(Encode(text).empty());

  std::vector<uint8_t> many(1 + 64 * 4, 0);
  many[0] = 64;
  TypedValue list14 = Number(14, 0);
  list14.counted = many.data();
  EXPECT_TRUE(Encode(list14).empty());
  many[0] = 63;
  EXPECT_EQ(Encode(list14).size(), 2u + 63 * 4);

  uint8_t out[4];
  EXPECT_EQ(TypedValue_Encode(Number(5, 1), out, sizeof out), 0u);
  EXPECT_EQ(TypedValue_Encode(Number(3, 1), out, sizeof out), 3u);
}

// The fixed sizes agree with what the codec writes; the size of a counted type
// comes from the message and is marked negative.
TEST(TypedValueSizeTable, MatchesTheCodec) {
  const int8_t expected[TypedValueTypeCount] = {0, 1, 1, 2, 2, 4, 4, -1, 4, -2,
                                                -3, 0, 3, 3, -5, -6, -7, 4, 2};
  for (int type = 0; type < TypedValueTypeCount; ++type) {
    EXPECT_EQ(TypedValueSize[type], expected[type]) << "type " << type;
  }
  for (int type : {1, 2, 3, 4, 5, 6, 8, 11, 12, 13, 17, 18}) {
    EXPECT_EQ(Encode(Number(type, 0)).size(), static_cast<std::size_t>(TypedValueSize[type] + 1))
        << "type " << type;
  }
}

TEST(ZoneOfAddress, RestartsAtEachBandBoundary) {
  const std::vector<std::pair<int, int>> zones = {
      {0, 0}, {1, 1}, {3, 3},  {4, 1},  {5, 2},   {11, 8},   {12, 1},
      {15, 4}, {16, 1}, {17, 2}, {31, 16}, {127, 112}, {255, 240},
  };
  for (const auto& [address, zone] : zones) {
    EXPECT_EQ(ZoneOfAddress(static_cast<uint8_t>(address)), zone) << "address " << address;
  }
}

}  // namespace
