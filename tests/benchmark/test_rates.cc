// Tests the benchmark's rate arithmetic: the too-small limit, the clock readings and saturation.
#include <gtest/gtest.h>

#include "benchmark/rates.h"

TEST(TorquilanRates, FewerThanTwoTicksAreTooSmall)
{
  EXPECT_FALSE(time_is_meaningful(elapsed_ticks(500, 500)));
  EXPECT_FALSE(time_is_meaningful(elapsed_ticks(500, 501)));
  EXPECT_TRUE(time_is_meaningful(elapsed_ticks(500, 502)));
}

TEST(TorquilanRates, ElapsedTicksSurviveTheCounterWrapping)
{
  static_assert(sizeof(clock_t) == 4);
  EXPECT_EQ(elapsed_ticks(INT_MAX - 9, INT_MIN + 10), 20);
  EXPECT_EQ(elapsed_ticks(-30, 70), 100);
}

TEST(TorquilanRates, AFailedClockReadingGivesNoRate)
{
  EXPECT_FALSE(time_is_meaningful(elapsed_ticks((clock_t)-1, 3000000)));
  EXPECT_FALSE(time_is_meaningful(elapsed_ticks(1000, (clock_t)-1)));
}

TEST(TorquilanRates, RatesOfAFullRun)
{
  EXPECT_FLOAT_EQ(microseconds_per_run(4000000, 20000000), 0.2f);
  EXPECT_EQ(runs_per_second(4000000, 20000000), 5000000.0f);
  // 6666666.67 runs per second truncate, they do not round.
  EXPECT_EQ(runs_per_second(3000000, 20000000), 6666666.0f);
}

TEST(TorquilanRates, RunsPerSecondSaturatesInsteadOfOverflowing)
{
  // 20000000 runs in 2 ticks would be 10^13 runs per second.
  EXPECT_EQ(saturating_int(runs_per_second(2, 20000000)), INT_MAX);
  // 2147535702 runs per second: the first tick count past the 32-bit range.
  EXPECT_EQ(saturating_int(runs_per_second(9313, 20000000)), INT_MAX);
  // 2147305132 fits, and prints as the nearest single-precision value.
  EXPECT_EQ(saturating_int(runs_per_second(9314, 20000000)), 2147305088);
}

TEST(TorquilanRates, SaturatingIntTruncatesTowardZero)
{
  EXPECT_EQ(saturating_int(2.9), 2);
  EXPECT_EQ(saturating_int(-2.9), -2);
  EXPECT_EQ(saturating_int(2147483647.0), INT_MAX);
  EXPECT_EQ(saturating_int(2147483648.0), INT_MAX);
  EXPECT_EQ(saturating_int(-2147483648.0), INT_MIN);
  EXPECT_EQ(saturating_int(-1e20), INT_MIN);
}
