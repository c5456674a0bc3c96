// Intervals and sleeping.
//
// An interval is a span of time in microseconds, made from seconds or
// milliseconds. All functions here may be called from any thread at once; none
// of them allocates.
#ifndef WENDLEMOOR_RUNTIME_INTERVAL_H_
#define WENDLEMOOR_RUNTIME_INTERVAL_H_

#include <cstdint>

using JX_Interval = std::uint64_t;  // microseconds

// Returns an interval of `seconds` seconds.
JX_Interval JX_SecondsToInterval(std::uint32_t seconds);

// Returns an interval of `milliseconds` milliseconds.
JX_Interval JX_MillisecondsToInterval(std::uint32_t milliseconds);

// Pauses the calling thread, and it alone, for at least `interval`, measured on
// the monotonic clock. Signals do not shorten the sleep: a sleep interrupted by
// a signal handler goes on until the deadline that was set when it began.
void JX_Sleep(JX_Interval interval);

// Monotonic time in nanoseconds from an arbitrary start; for measuring.
std::uint64_t JX_MonotonicNanos();

#endif  // WENDLEMOOR_RUNTIME_INTERVAL_H_
