#include <cstdio>

#include "protocol/download.h"

namespace stb::protocol {

int progress_percent(std::uint16_t packet_number, std::uint16_t packet_count) {
  if (packet_count == 0) {
    return 0;  // no figure can be made of a count of 0; the transfer goes on
  }
  // In double precision, truncated toward zero; at most 6,553,600.
  return static_cast<int>((packet_number + 1.0) * 100.0 / packet_count);
}

std::string_view format_reply(const link::ReplyBuffer& reply, ReplyText& text) {
  static constexpr char hex[] = "0123456789abcdef";
  std::size_t n = 0;
  // Byte 5 is the terminator; only the five reply bytes are ever shown.
  for (std::size_t i = 0; i < link::token_size; ++i) {
    const std::uint8_t b = reply[i];
    if (b == 0) {
      break;
    }
    if (b >= 0x20 && b <= 0x7E) {
      text[n++] = static_cast<char>(b);
    } else {
      text[n++] = '\\';
      text[n++] = 'x';
      text[n++] = hex[b >> 4];
      text[n++] = hex[b & 0x0F];
    }
  }
  text[n] = '\0';
  return {text.data(), n};
}

}  // namespace stb::protocol
