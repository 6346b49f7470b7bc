// A box that holds to its side of the conversation, in memory, for driving
// the phases in-process: it opens with "2QXI3", closes the handshake with
// "2NXT3", acknowledges every block and the disconnect, and then reports the
// download, the burn and the verify. It keeps every byte the host sent in a
// fixed buffer and allocates nothing, so it can stand in for the box where
// allocations are being counted.
#pragma once

#include <algorithm>
#include <array>
#include <cstring>
#include <string_view>

#include "protocol/download.h"

namespace stb::reliability {

class HealthyBox final : public link::Port {
 public:
  // Everything written by the host, in order, and where each write ended.
  std::array<std::uint8_t, 1 << 16> wire{};
  std::size_t wire_size = 0;
  std::array<std::size_t, 1024> write_ends{};
  std::size_t writes = 0;
  std::size_t reads = 0;

  [[nodiscard]] std::string_view sent() const {
    return {reinterpret_cast<const char*>(wire.data()), wire_size};
  }

  link::ReadResult read(std::span<std::uint8_t> buffer) override {
    ++reads;
    const std::string_view reply = next_reply();
    const std::size_t n = std::min(buffer.size(), reply.size());
    std::copy_n(reply.begin(), n, buffer.begin());
    return {true, n, false};
  }

  void write(std::span<const std::uint8_t> bytes) override {
    const std::size_t n = std::min(bytes.size(), wire.size() - wire_size);
    std::copy_n(bytes.begin(), n, wire.begin() + static_cast<std::ptrdiff_t>(wire_size));
    wire_size += n;
    if (writes < write_ends.size()) {
      write_ends[writes] = wire_size;
    }
    ++writes;
    last_ = std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  }

 private:
  // The box replies to what the host said last.
  std::string_view next_reply() {
    if (writes == 0) {
      return link::token_qxi;
    }
    if (last_ == link::token_ack) {
      return link::token_nxt;
    }
    if (last_ == link::token_dis) {
      last_ = {};
      completion_ = 0;
      return link::token_ack;
    }
    if (completion_ < 3) {
      constexpr std::array<std::string_view, 3> reports{link::token_dld, link::token_dbd, link::token_dvd};
      return reports[completion_++];
    }
    return link::token_ack;
  }

  std::string_view last_;
  std::size_t completion_ = 3;  // counts the reports once the disconnect is acknowledged
};

}  // namespace stb::reliability
