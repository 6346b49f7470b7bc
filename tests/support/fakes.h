// Test doubles for the download phases: a port that plays scripted replies
// and records every write, a console that records both streams in order.
#pragma once

#include <deque>
#include <string>
#include <vector>

#include "protocol/download.h"

namespace stb::testing {

inline std::string bytes(std::span<const std::uint8_t> b) { return {b.begin(), b.end()}; }

class FakePort final : public link::Port {
 public:
  // Each read call delivers the next scripted reply (at most what was asked
  // for; the rest of a longer reply is delivered by the next call); an empty
  // reply is a read that timed out. Once the script is used up, reads time
  // out empty, or report a lost port.
  std::deque<std::string> replies;
  bool lost_after_script = false;
  std::vector<std::string> writes;
  int reads = 0;

  link::ReadResult read(std::span<std::uint8_t> buffer) override {
    ++reads;
    if (replies.empty()) {
      return {!lost_after_script, 0, lost_after_script};
    }
    std::string& next = replies.front();
    if (next.empty()) {
      replies.pop_front();
      return {true, 0, false};
    }
    const std::size_t n = std::min(buffer.size(), next.size());
    std::copy_n(next.begin(), n, buffer.begin());
    next.erase(0, n);
    if (next.empty()) {
      replies.pop_front();
    }
    return {true, n, false};
  }
  void write(std::span<const std::uint8_t> b) override { writes.push_back(bytes(b)); }
};

class FakeConsole final : public protocol::Console {
 public:
  std::string out_text;
  std::string err_text;
  std::string both;  // in the order printed
  void out(std::string_view t) override {
    out_text += t;
    both += t;
  }
  void err(std::string_view t) override {
    err_text += t;
    both += t;
  }
};

// Image building blocks.
inline std::string file_header(std::uint16_t count) {
  std::string h = "\x55\xAA" "abcdef";
  h += static_cast<char>(count >> 8);
  h += static_cast<char>(count & 0xFF);
  h += "wxyz";
  return h;
}

inline std::string record(std::uint16_t number, std::uint32_t length, char fill = 'p') {
  std::string r = "ZZ";
  r += static_cast<char>(number >> 8);
  r += static_cast<char>(number & 0xFF);
  r += "hdr!";
  for (int shift = 24; shift >= 0; shift -= 8) {
    r += static_cast<char>((length >> shift) & 0xFF);
  }
  r += std::string(length, fill);
  r += "TRLR";
  return r;
}

inline std::span<const std::uint8_t> as_bytes(const std::string& s) {
  return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

}  // namespace stb::testing
