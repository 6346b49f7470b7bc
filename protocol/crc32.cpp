#include <array>

#include "protocol/download.h"

namespace stb::protocol {
namespace {

// The standard table of the reflected polynomial 0xEDB88320, fixed at
// compile time.
constexpr std::array<std::uint32_t, 256> make_table() {
  std::array<std::uint32_t, 256> table{};
  for (std::uint32_t i = 0; i < table.size(); ++i) {
    std::uint32_t c = i;
    for (int bit = 0; bit < 8; ++bit) {
      c = (c & 1U) != 0 ? 0xEDB88320U ^ (c >> 1) : c >> 1;
    }
    table[i] = c;
  }
  return table;
}

constexpr std::array<std::uint32_t, 256> crc_table = make_table();
static_assert(crc_table[1] == 0x77073096U && crc_table[255] == 0x2D02EF8DU);

}  // namespace

std::uint32_t crc32(std::span<const std::uint8_t> bytes) {
  std::uint32_t crc = 0xFFFFFFFFU;
  for (const std::uint8_t b : bytes) {
    crc = (crc >> 8) ^ crc_table[(crc ^ b) & 0xFFU];
  }
  return crc ^ 0xFFFFFFFFU;
}

}  // namespace stb::protocol
