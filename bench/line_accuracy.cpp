// line_accuracy: checks that the line emulator keeps to its baud rate.
//
//   line_accuracy [--baud 115200] [--seconds 3]
//
// Streams bytes through the emulator in 8-byte writes, one way and both ways
// at once, with no latency and with 1 ms, and compares the time the last byte
// needs to reach the far end with what the line allows: N bytes of 10 bits
// plus the latency. Prints one line per case and fails (status 1) when a case
// is off by more than 1 %.

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <thread>
#include <vector>

#include "bench/clock.h"
#include "bench/line_emulator.h"
#include "bench/options.h"

namespace stb::bench {
namespace {

constexpr double tolerance = 0.01;
constexpr std::size_t write_size = 8;

struct Stream {
  Side from;
  std::size_t bytes;
  std::int64_t start_ns = 0;  // the first write
  std::int64_t end_ns = 0;    // the read that brought the last byte
  bool ok = false;
};

int open_slave(const std::string& path) { return ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC); }

void write_stream(int fd, Stream& s) {
  std::array<std::uint8_t, write_size> block{};
  s.start_ns = now_ns();
  for (std::size_t sent = 0; sent < s.bytes; sent += block.size()) {
    block.fill(static_cast<std::uint8_t>(sent));
    if (::write(fd, block.data(), std::min(block.size(), s.bytes - sent)) < 0) {
      return;
    }
  }
}

void read_stream(int fd, Stream& s) {
  std::array<std::uint8_t, 4096> buffer{};
  std::size_t got = 0;
  while (got < s.bytes) {
    const ssize_t n = ::read(fd, buffer.data(), buffer.size());
    if (n <= 0) {
      return;
    }
    got += static_cast<std::size_t>(n);
  }
  s.end_ns = now_ns();
  s.ok = got == s.bytes;
}

// One case: a fresh line, `both` streams at once or only host to box.
bool run_case(std::uint32_t baud, double latency_ms, bool both, double seconds) {
  LineEmulator line;
  if (!line.open({baud, ms_to_ns(latency_ms)})) {
    std::perror("pseudo-terminal");
    return false;
  }
  std::atomic<bool> stop{false};
  std::thread carrier([&] { (void)line.run(stop, nullptr); });
  const int host = open_slave(line.path(Side::host));
  const int box = open_slave(line.path(Side::box));
  const auto bytes = static_cast<std::size_t>(seconds * baud / bits_per_byte);
  std::array<Stream, 2> streams{Stream{Side::host, bytes}, Stream{Side::box, bytes}};
  {
    std::vector<std::jthread> ends;
    ends.emplace_back([&] { read_stream(box, streams[0]); });
    ends.emplace_back([&] { write_stream(host, streams[0]); });
    if (both) {
      ends.emplace_back([&] { read_stream(host, streams[1]); });
      ends.emplace_back([&] { write_stream(box, streams[1]); });
    }
  }  // all streams done
  stop = true;
  carrier.join();
  ::close(host);
  ::close(box);

  bool pass = true;
  for (std::size_t i = 0; i < (both ? 2U : 1U); ++i) {
    const Stream& s = streams[i];
    const double expected = static_cast<double>(s.bytes) * bits_per_byte / baud + latency_ms / 1000;
    const double measured = static_cast<double>(s.end_ns - s.start_ns) / 1e9;
    const double rate = static_cast<double>(s.bytes) / (measured - latency_ms / 1000);
    const double error = measured / expected - 1;
    const bool good = s.ok && std::fabs(error) <= tolerance;
    pass = pass && good;
    std::printf("accuracy  %-10s %-6s latency=%.1fms bytes=%zu expected=%.4fs measured=%.4fs rate=%.1fB/s "
                "(set %.1f) error=%+.3f%% %s\n",
                both ? "duplex" : "one-way", s.from == Side::host ? "host>box" : "box>host", latency_ms, s.bytes,
                expected, measured, rate, static_cast<double>(baud) / bits_per_byte, error * 100,
                good ? "ok" : "OFF");
  }
  return pass;
}

}  // namespace
}  // namespace stb::bench

int main(int argc, char** argv) {
  using namespace stb::bench;
  Options options;
  if (!options.parse(argc, argv, 1, {"baud", "seconds"})) {
    return 2;
  }
  const auto baud = options.number("baud", 115200);
  const auto seconds = options.number("seconds", 3);
  if (!baud || !seconds || *baud < 1) {
    return 2;
  }
  const auto b = static_cast<std::uint32_t>(*baud);
  bool pass = run_case(b, 0, false, *seconds);
  pass = run_case(b, 1, false, *seconds) && pass;
  pass = run_case(b, 0, true, *seconds) && pass;
  return pass ? 0 : 1;
}
