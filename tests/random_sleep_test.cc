// The randomized delay: the designed formula, its distribution and a real
// pause.
#include "driver/random_sleep.h"

#include <cstdlib>
#include <map>

#include "gtest/gtest.h"
#include "runtime/interval.h"

namespace {

TEST(RandomDelayTest, EdgeDrawsGiveTheDesignedDelays) {
  struct Row {
    std::uint32_t draw, min_ms, max_ms, expected;
  };
  const Row rows[] = {
      {0, 1000, 1000, 1000},
      {32766, 1000, 1000, 1000},
      {32767, 1000, 1000, 1000},
      {0, 1000, 1100, 1000},
      {32766, 1000, 1100, 1099},
      {32767, 1000, 1100, 1100},
      {0, 500, 1000, 500},
      {32766, 500, 1000, 999},
      {32767, 500, 1000, 1000},
      {16384, 1000, 1100, 1050},  // 16384 / 32767 * 100 = 50.0015...
  };
  for (const Row& row : rows) {
    EXPECT_EQ(RandomDelayMs(row.draw, row.min_ms, row.max_ms), row.expected)
        << "draw " << row.draw << " in [" << row.min_ms << ", " << row.max_ms
        << "]";
  }
}

TEST(RandomDelayTest, EveryDelayOfASpanOfHundredIsAboutEquallyLikely) {
  std::map<std::uint32_t, int> draws_per_delay;
  for (std::uint32_t draw = 0; draw <= kRandomDrawMax; ++draw) {
    ++draws_per_delay[RandomDelayMs(draw, 1000, 1100)];
  }
  ASSERT_EQ(draws_per_delay.size(), 101u);
  for (std::uint32_t delay = 1000; delay < 1100; ++delay) {
    const int n = draws_per_delay[delay];
    EXPECT_TRUE(n == 327 || n == 328)
        << delay << " comes from " << n << " draws";
  }
  EXPECT_EQ(draws_per_delay[1100], 1);
}

TEST(RandomDelayTest, DrawsCoverTheWholeRangeAndEqualBoundsStillConsumeOne) {
  std::srand(12345);
  bool seen_top = false, seen_high_bit = false;
  for (int i = 0; i < 200000; ++i) {
    const std::uint32_t draw = RandomDraw();
    ASSERT_LE(draw, kRandomDrawMax);
    seen_top |= draw >= 32000;
    seen_high_bit |= (draw & 0x4000) != 0;
  }
  EXPECT_TRUE(seen_top && seen_high_bit);

  // Equal bounds: exactly that pause, and the generator moved on by one draw.
  std::srand(777);
  std::rand();
  const int second = std::rand();
  std::srand(777);
  const std::uint64_t start = JX_MonotonicNanos();
  RandomSleep(20, 20);
  const std::uint64_t elapsed_ms = (JX_MonotonicNanos() - start) / 1000000;
  EXPECT_EQ(std::rand(), second);
  EXPECT_GE(elapsed_ms, 20u);
}

TEST(RandomSleepTest, PauseBeforeAcquiringLastsThousandToElevenHundredMs) {
  const std::uint64_t start = JX_MonotonicNanos();
  RandomSleep(1000, 1100);
  const std::uint64_t elapsed_ms = (JX_MonotonicNanos() - start) / 1000000;
  EXPECT_GE(elapsed_ms, 1000u);
  EXPECT_LE(elapsed_ms, 1100u + 2000u);  // generous scheduling slack
}

}  // namespace
