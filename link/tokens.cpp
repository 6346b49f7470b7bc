#include <algorithm>

#include "link/serial_port.h"

namespace stb::link {

TokenRead read_token(Port& port, ReplyBuffer& reply) {
  // Byte 5 is never written: the buffer stays a terminated text.
  const ReadResult r = port.read(std::span<std::uint8_t>(reply.data(), token_size));
  return TokenRead{r.ok && r.count == token_size, r.lost};
}

bool token_matches(const ReplyBuffer& reply, std::string_view token) {
  return token.size() == token_size &&
         std::equal(token.begin(), token.end(), reply.begin(),
                    [](char t, std::uint8_t r) { return static_cast<std::uint8_t>(t) == r; });
}

void send_token(Port& port, std::string_view token) {
  // The write's result is not looked at: a lost token shows as a missing reply.
  port.write(std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(token.data()),
                                           token.size()));
}

}  // namespace stb::link
