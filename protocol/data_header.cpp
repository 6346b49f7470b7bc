#include "protocol/download.h"

namespace stb::protocol {
namespace {

void put_be32(std::uint32_t value, std::span<std::uint8_t, 4> out) {
  out[0] = static_cast<std::uint8_t>(value >> 24);
  out[1] = static_cast<std::uint8_t>(value >> 16);
  out[2] = static_cast<std::uint8_t>(value >> 8);
  out[3] = static_cast<std::uint8_t>(value);
}

}  // namespace

void build_data_header(const image::PacketHeader& packet_header, DataHeader& header) {
  header[0] = 0x02;
  // L exactly as it stands in the packet header, then its complement.
  std::copy(packet_header.begin() + 8, packet_header.begin() + 12, header.begin() + 1);
  const std::uint32_t length = image::payload_length_of(packet_header);
  put_be32(~length, std::span<std::uint8_t, 4>(header.data() + 5, 4));
  header[9] = 0x00;
  put_be32(crc32(std::span<const std::uint8_t>(header.data(), 10)), std::span<std::uint8_t, 4>(header.data() + 10, 4));
}

}  // namespace stb::protocol
