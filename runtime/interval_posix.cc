// Sleeping and the monotonic clock on POSIX systems: clock_nanosleep to an
// absolute deadline on CLOCK_MONOTONIC.
#include "runtime/interval.h"

#include <cerrno>
#include <ctime>

void JX_Sleep(JX_Interval interval) {
  // Sleep to an absolute deadline so that a signal, which wakes the thread
  // early with EINTR, costs nothing: the next call sleeps the remainder.
  timespec deadline;
  clock_gettime(CLOCK_MONOTONIC, &deadline);
  deadline.tv_sec += static_cast<time_t>(interval / 1000000u);
  deadline.tv_nsec += static_cast<long>(interval % 1000000u) * 1000;
  if (deadline.tv_nsec >= 1000000000L) {
    deadline.tv_sec += 1;
    deadline.tv_nsec -= 1000000000L;
  }
  // clock_nanosleep returns the error number instead of setting errno.
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) ==
         EINTR) {
  }
}

std::uint64_t JX_MonotonicNanos() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::uint64_t>(now.tv_sec) * 1000000000u +
         static_cast<std::uint64_t>(now.tv_nsec);
}
