// Holds of one name by several processes, timed: each helper takes the name
// again and again and reports when every hold began and ended; the test
// merges the reports and checks that no two holds overlap. Shared by the
// tests of every platform, which start and feed their helpers differently.
#ifndef WENDLEMOOR_TESTS_TIMED_HOLDS_H_
#define WENDLEMOOR_TESTS_TIMED_HOLDS_H_

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "components/lock_service.h"
#include "gtest/gtest.h"
#include "runtime/interval.h"
#include "tests/helper_role.h"

// Takes `name` `count` times, holding it `hold` each time, and prints
// "acquired released" monotonic times of every hold on standard output.
// Returns kHelperOk, or kHelperFailed when a call failed.
inline int TakeTimedHolds(wendlemoor::LockService* service, const char* name,
                          int count, JX_Interval hold) {
  for (int i = 0; i < count; ++i) {
    if (service->AcquireLock(name, 1) != wendlemoor::kOk) return kHelperFailed;
    const std::uint64_t acquired = JX_MonotonicNanos();
    JX_Sleep(hold);
    const std::uint64_t released = JX_MonotonicNanos();
    if (service->ReleaseLock(name) != wendlemoor::kOk) return kHelperFailed;
    std::printf("%llu %llu\n", static_cast<unsigned long long>(acquired),
                static_cast<unsigned long long>(released));
  }
  return kHelperOk;
}

// Expects `expected` holds in all `reports` together, no two overlapping.
inline void ExpectHoldsNeverOverlap(const std::vector<std::string>& reports,
                                    std::size_t expected) {
  std::vector<std::pair<std::uint64_t, std::uint64_t>> holds;
  for (const std::string& report : reports) {
    std::istringstream lines(report);
    for (std::uint64_t a, r; lines >> a >> r;) holds.emplace_back(a, r);
  }
  ASSERT_EQ(holds.size(), expected);
  std::sort(holds.begin(), holds.end());
  for (std::size_t i = 1; i < holds.size(); ++i) {
    EXPECT_GE(holds[i].first, holds[i - 1].second) << "hold " << i;
  }
}

#endif  // WENDLEMOOR_TESTS_TIMED_HOLDS_H_
