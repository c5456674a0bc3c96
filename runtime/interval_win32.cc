// Sleeping and the monotonic clock on Windows.
//
// What Windows gives: the performance counter, monotonic and steady, and
// Sleep in whole milliseconds. What it lacks: Sleep may return up to a clock
// tick early, and there are no signals to interrupt it. So a sleep runs to a
// deadline on the performance counter, sleeping the remainder rounded up to
// the millisecond until the deadline has passed: at least the interval, and
// rarely more than one extra call.
#include "runtime/interval.h"

#include <windows.h>

namespace {

std::uint64_t CounterFrequency() {
  static const std::uint64_t frequency = [] {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);  // never fails since Windows XP
    return static_cast<std::uint64_t>(f.QuadPart);
  }();
  return frequency;
}

}  // namespace

void JX_Sleep(JX_Interval interval) {
  const std::uint64_t deadline = JX_MonotonicNanos() + interval * 1000u;
  for (std::uint64_t now = JX_MonotonicNanos(); now < deadline;
       now = JX_MonotonicNanos()) {
    const std::uint64_t remaining_ms = (deadline - now + 999999u) / 1000000u;
    Sleep(static_cast<DWORD>(remaining_ms < INFINITE - 1 ? remaining_ms
                                                         : INFINITE - 1));
  }
}

std::uint64_t JX_MonotonicNanos() {
  LARGE_INTEGER counter;
  QueryPerformanceCounter(&counter);
  const auto ticks = static_cast<std::uint64_t>(counter.QuadPart);
  const std::uint64_t frequency = CounterFrequency();
  // In two parts, so that the product cannot overflow in any uptime.
  return ticks / frequency * 1000000000u +
         ticks % frequency * 1000000000u / frequency;
}
