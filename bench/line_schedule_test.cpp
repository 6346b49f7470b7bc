#include "bench/line_schedule.h"

#include <gtest/gtest.h>

namespace stb::bench {
namespace {

constexpr std::int64_t ms = 1'000'000;

TEST(LineSchedule, BackToBackBytesFollowEachOtherByOneByteTimeWithoutDrift) {
  LineSchedule line(115200, 0);
  EXPECT_EQ(line.take(0), 86'806);   // 86,805.5 ns, never early
  EXPECT_EQ(line.take(0), 173'612);  // rounding does not accumulate
  std::int64_t last = 0;
  for (int i = 2; i < 11'520; ++i) {
    last = line.take(100'000);  // handed over while the line is still busy
  }
  EXPECT_EQ(last, 1'000 * ms);  // 11,520 bytes take exactly one second
}

TEST(LineSchedule, SilenceEarnsNoCredit) {
  LineSchedule line(9600, 0);  // 1,041,666.6 ns a byte
  EXPECT_EQ(line.take(0), 1'041'667);
  // Long after the line went idle, a burst starts from the moment it is
  // handed over, not from where the previous byte ended.
  EXPECT_EQ(line.take(100 * ms), 100 * ms + 1'041'667);
  EXPECT_EQ(line.take(100 * ms), 100 * ms + 2'083'334);
}

TEST(LineSchedule, LatencyDelaysEveryByteButNotTheLine) {
  LineSchedule line(115200, 1 * ms);
  EXPECT_EQ(line.take(0), 1 * ms + 86'806);
  EXPECT_EQ(line.take(0), 1 * ms + 173'612);
  EXPECT_EQ(line.line_free_ns(), 173'612);
}

TEST(LineSchedule, NoRateLimitAddsOnlyTheLatency) {
  LineSchedule line(0, 2 * ms);
  EXPECT_EQ(line.take(7), 7 + 2 * ms);
  EXPECT_EQ(line.take(7), 7 + 2 * ms);
}

}  // namespace
}  // namespace stb::bench
