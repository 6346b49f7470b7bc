#include "bench/line_schedule.h"

#include <algorithm>

namespace stb::bench {

std::int64_t LineSchedule::take(std::int64_t now_ns) {
  if (baud_ == 0) {
    return now_ns + latency_ns_;
  }
  const std::int64_t now_scaled = now_ns * baud_;
  free_scaled_ = std::max(free_scaled_, now_scaled) + std::int64_t{bits_per_byte} * ns_per_s;
  // Round up: a byte never arrives before its stop bit has ended.
  return (free_scaled_ + baud_ - 1) / baud_ + latency_ns_;
}

std::int64_t LineSchedule::line_free_ns() const {
  return baud_ == 0 ? 0 : (free_scaled_ + baud_ - 1) / baud_;
}

}  // namespace stb::bench
