#include <gtest/gtest.h>

#include "support/fakes.h"

namespace stb {
namespace {

using testing::as_bytes;

TEST(Crc32, StandardCheckValueAndEmptyInput) {
  EXPECT_EQ(protocol::crc32(as_bytes("123456789")), 0xCBF43926U);
  EXPECT_EQ(protocol::crc32({}), 0U);
}

TEST(DataHeader, DescriptorsOfKnownLengths) {
  struct Case {
    std::uint32_t length;
    protocol::DataHeader expected;
  };
  const Case cases[] = {
      {256, {0x02, 0x00, 0x00, 0x01, 0x00, 0xFF, 0xFF, 0xFE, 0xFF, 0x00, 0x79, 0x17, 0xD1, 0x2A}},
      {5, {0x02, 0x00, 0x00, 0x00, 0x05, 0xFF, 0xFF, 0xFF, 0xFA, 0x00, 0xF3, 0x18, 0xD5, 0x5F}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.length);
    image::PacketHeader packet{};
    const std::string r = testing::record(7, c.length);
    std::copy_n(r.begin(), packet.size(), packet.begin());
    protocol::DataHeader header;
    header.fill(0xEE);  // it is built over whatever the buffer held
    protocol::build_data_header(packet, header);
    EXPECT_EQ(header, c.expected);
  }
}

TEST(DataHeader, ZeroLengthHasAllOnesComplementAndItsOwnCrc) {
  image::PacketHeader packet{};
  const std::string r = testing::record(0, 0);
  std::copy_n(r.begin(), packet.size(), packet.begin());
  protocol::DataHeader header{};
  protocol::build_data_header(packet, header);
  const protocol::DataHeader start{0x02, 0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0};
  EXPECT_TRUE(std::equal(start.begin(), start.begin() + 10, header.begin()));
  const std::uint32_t crc = protocol::crc32(std::span<const std::uint8_t>(header.data(), 10));
  EXPECT_EQ(header[10], crc >> 24);
  EXPECT_EQ(header[13], crc & 0xFF);
}

}  // namespace
}  // namespace stb
