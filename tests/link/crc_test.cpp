#include "link/crc.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "frame_builder.h"

namespace {

using tarnix_test::BuildFrame;
using tarnix_test::Octets;

uint8_t HeaderRegister(const Octets& octets) {
  uint8_t crc = tarnix::kHeaderCrcInit;
  for (const uint8_t octet : octets) {
    crc = tarnix::HeaderCrcUpdate(crc, octet);
  }
  return crc;
}

uint16_t DataRegister(const Octets& octets) {
  uint16_t crc = tarnix::kDataCrcInit;
  for (const uint8_t octet : octets) {
    crc = tarnix::DataCrcUpdate(crc, octet);
  }
  return crc;
}

TEST(HeaderCrc, MatchesTheStandardsExampleHeader) {
  // Token from 5 to 0x10: the register holds 0x73, its complement 8C is sent.
  EXPECT_EQ(0x73, HeaderRegister({0x00, 0x10, 0x05, 0x00, 0x00}));
  EXPECT_EQ(tarnix::kHeaderCrcGood, HeaderRegister({0x00, 0x10, 0x05, 0x00, 0x00, 0x8C}));
}

TEST(HeaderCrc, ReceiverEndsAt55OverAGoodHeaderAndNotOverABadOne) {
  EXPECT_EQ(tarnix::kHeaderCrcGood, HeaderRegister({0x00, 0x06, 0x05, 0x00, 0x00, 0x37}));
  EXPECT_EQ(tarnix::kHeaderCrcGood, HeaderRegister({0x05, 0x06, 0x05, 0x00, 0x03, 0xAE}));
  EXPECT_NE(tarnix::kHeaderCrcGood, HeaderRegister({0x00, 0x06, 0x05, 0x00, 0x00, 0x38}));
}

TEST(DataCrc, MatchesTheStandardsExampleData) {
  // Data 01 22 30: the register holds 0x42EF, its complement goes out as 10 BD.
  EXPECT_EQ(0x42EF, DataRegister({0x01, 0x22, 0x30}));
}

TEST(DataCrc, ReceiverEndsAtF0B8OverDataAndBothChecksumOctets) {
  EXPECT_EQ(tarnix::kDataCrcGood, DataRegister({0x61, 0x62, 0x63, 0x25, 0x9E}));
  EXPECT_EQ(tarnix::kDataCrcGood, DataRegister({0x01, 0x22, 0x30, 0x10, 0xBD}));
  EXPECT_NE(tarnix::kDataCrcGood, DataRegister({0x61, 0x62, 0x63, 0x9E, 0x25}));
}

TEST(FrameLayout, WorkedFramesComeOutOctetForOctet) {
  EXPECT_EQ((Octets{0x55, 0xFF, 0x00, 0x06, 0x05, 0x00, 0x00, 0x37}), BuildFrame(0, 6, 5, {}));
  EXPECT_EQ((Octets{0x55, 0xFF, 0x01, 0x06, 0x05, 0x00, 0x00, 0xB1}), BuildFrame(1, 6, 5, {}));
  EXPECT_EQ((Octets{0x55, 0xFF, 0x05, 0x06, 0x05, 0x00, 0x03, 0xAE, 0x61, 0x62, 0x63, 0x25, 0x9E}),
            BuildFrame(5, 6, 5, {0x61, 0x62, 0x63}));
}

}  // namespace
