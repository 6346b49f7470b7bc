// One monotonic clock for every time stamp the benchmarks take.
#pragma once

#include <time.h>

#include <cstdint>

namespace stb::bench {

// Nanoseconds of CLOCK_MONOTONIC.
inline std::int64_t now_ns() {
  timespec t{};
  ::clock_gettime(CLOCK_MONOTONIC, &t);
  return std::int64_t{t.tv_sec} * 1'000'000'000 + t.tv_nsec;
}

}  // namespace stb::bench
