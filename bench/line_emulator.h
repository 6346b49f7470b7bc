// A serial cable between two pseudo-terminals, for benchmarks.
//
// The emulator creates two pseudo-terminals, the host end and the box end,
// and holds their masters. Whatever a program writes to one slave reaches
// the other slave no faster than the set baud rate and a fixed latency after
// each byte's stop bit, independently in each direction (full duplex). Each
// direction holds at most `queue_capacity` bytes in flight, like a UART's
// transmit buffer; once it is full the emulator stops taking bytes and the
// writer's own pseudo-terminal buffer fills up and blocks it.
//
// It also keeps the slaves open itself, so that either program may open and
// close its end at any time without the other end seeing a hang-up.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "bench/line_schedule.h"

namespace stb::bench {

enum class Side { host, box };

struct LineConfig {
  std::uint32_t baud = 115200;  // 0: no rate limit
  std::int64_t latency_ns = 0;  // added to every byte, in each direction
};

// Told about every byte that crosses the line, from the emulator's thread.
// Times are those of now_ns(), taken right after the read or write.
class LineObserver {
 public:
  // `bytes` were taken from the slave of side `from`.
  virtual void taken(Side from, std::span<const std::uint8_t> bytes, std::int64_t at_ns) = 0;
  // `bytes` that side `from` sent were handed to the other side's slave.
  virtual void delivered(Side from, std::span<const std::uint8_t> bytes, std::int64_t at_ns) = 0;

 protected:
  LineObserver() = default;
  ~LineObserver() = default;
  LineObserver(const LineObserver&) = default;
  LineObserver& operator=(const LineObserver&) = default;
};

class LineEmulator {
 public:
  static constexpr std::size_t queue_capacity = 4096;

  LineEmulator() = default;
  ~LineEmulator();
  LineEmulator(const LineEmulator&) = delete;
  LineEmulator& operator=(const LineEmulator&) = delete;

  // Creates both pseudo-terminals, in raw mode. False (with errno) when the
  // system refuses one.
  bool open(const LineConfig& config);
  // The path of a side's slave, for the program at that end to open.
  [[nodiscard]] const std::string& path(Side side) const;

  // Carries bytes until `stop` becomes true (checked at least every 50 ms).
  // The observer may be null. False when a master fails in a way that ends
  // the line (not a hang-up, which the held slaves prevent).
  bool run(const std::atomic<bool>& stop, LineObserver* observer);

 private:
  struct Direction;
  struct End {
    int master = -1;
    int held_slave = -1;
    std::string path;
  };
  std::array<End, 2> ends_{};
  LineConfig config_{};
};

}  // namespace stb::bench
