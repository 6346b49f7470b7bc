// When each byte sent down an emulated serial line reaches the far end.
//
// A byte occupies the line for 10 bit times (start bit, 8 data bits, stop
// bit). It starts when it is handed over or when the line is free, whichever
// is later, and reaches the far end a fixed latency after its stop bit. Time
// is in nanoseconds from any fixed origin. A silent line earns no credit: a
// burst after a pause goes out no faster than a continuous stream.
#pragma once

#include <cstdint>

namespace stb::bench {

inline constexpr std::uint32_t bits_per_byte = 10;  // 8N1: start, 8 data, stop

class LineSchedule {
 public:
  // `baud` 0 means a line with no rate limit (only the latency is added).
  LineSchedule(std::uint32_t baud, std::int64_t latency_ns) : baud_(baud), latency_ns_(latency_ns) {}

  // A byte handed over at `now_ns` (never earlier than the previous one):
  // returns the time it reaches the far end.
  std::int64_t take(std::int64_t now_ns);

  // The time the line finishes clocking out the bytes taken so far.
  [[nodiscard]] std::int64_t line_free_ns() const;

 private:
  static constexpr std::int64_t ns_per_s = 1'000'000'000;
  std::uint32_t baud_;
  std::int64_t latency_ns_;
  // The end of the last stop bit, in units of 1/baud ns, so that a byte time
  // that is not a whole number of nanoseconds never rounds away (115200 bd
  // gives 86,805.5 ns per byte).
  std::int64_t free_scaled_ = 0;
};

}  // namespace stb::bench
