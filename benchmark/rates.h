// Turns the clock ticks the benchmark loop took into the rates it reports.
#pragma once

#include <climits>
#include <ctime>

// Fewer ticks than this are too coarse a measurement to derive a rate from.
constexpr clock_t Too_Small_Time = 2;

// Ticks between two clock() readings. The difference is taken unsigned so that a
// 32-bit tick counter wrapping between the readings still gives the true span;
// a failed reading gives 0 ticks, so that no rate is made up from it.
static inline clock_t elapsed_ticks(clock_t begin, clock_t end)
{
  if (begin == (clock_t)-1 || end == (clock_t)-1)
    return 0;
  return (clock_t)((unsigned long)end - (unsigned long)begin);
}

static inline bool time_is_meaningful(clock_t user_time)
{
  return user_time >= Too_Small_Time;
}

// Truncates toward zero; a value beyond the 32-bit range gives the nearest bound
// instead of the undefined (on x86, INT_MIN) result of a plain conversion.
static inline int saturating_int(double value)
{
  if (value >= (double)INT_MAX)
    return INT_MAX;
  if (value <= (double)INT_MIN)
    return INT_MIN;
  return (int)value;
}

static inline float microseconds_per_run(clock_t user_time, int runs)
{
  return (float)user_time / (float)runs;
}

// Clock ticks are microseconds, hence the factor.
static inline float runs_per_second(clock_t user_time, int runs)
{
  return (float)saturating_int(runs * 1000000.0 / user_time);
}
