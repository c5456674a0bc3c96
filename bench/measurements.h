// The lock benchmark's measurements, one source file each: uncontended pairs
// (pair_costs.cc), handoff between processes and waiters woken per release
// (handoff_costs.cc), a blocked waiter and a whole driver run (run_costs.cc).
// lock_bench.cc runs them and prints the table.
//
// Every function runs in the benchmark's one thread; those that fork workers
// reap them before returning, killing any that pass a deadline.
#ifndef WENDLEMOOR_BENCH_MEASUREMENTS_H_
#define WENDLEMOOR_BENCH_MEASUREMENTS_H_

#include <vector>

#include "bench/lock_fixture.h"

// ---- Uncontended pairs: nanoseconds per acquire + release -----------------

struct PairCosts {
  // Warm: the name was used just before.
  double service_warm_ns;  // through the service
  double kept_checked_ns;  // lock, the service's check that the file is
                           // still linked, unlock, on one kept description
  double kept_ofd_ns;      // lock and unlock on one kept description
  double kept_flock_ns;    // flock and unflock on one kept description
  // Cold: a name whose file is not open (more names than the service keeps).
  double service_cold_ns;  // through the service
  double raw_ns;           // open, lock, unlock, close
  // Medians of the ratios of the two variants' times in each round.
  double warm_checked_ratio;  // service warm / kept checked
  double warm_bare_ratio;     // service warm / kept OFD
  double cold_ratio;          // service cold / raw
};

// The variants take turns in every round, in a rotating order; each reports
// its median round, and a ratio is the median of the rounds' ratios, so that
// a busy spell of the machine, which slows both sides of a round alike,
// moves it little.
PairCosts MeasurePairs(wendlemoor::LockService* service,
                       const TempFolder& folder);

// ---- Handoff between processes ----------------------------------------------

// Samples per configuration, taken in rounds in which every configuration
// has a turn.
inline constexpr int kHandoffSamples = 600;
inline constexpr int kHandoffRounds = 12;

// Handoffs of one configuration, pooled over its rounds, and the median
// handoff of each round (0 for a round without samples), for comparing
// configurations round by round.
struct HandoffCosts {
  std::vector<double> micros;
  std::vector<double> round_p50;
  int handoffs = 0;
  int short_queue = 0;
  int overlaps = 0;
  int killed = 0;
  int failed = 0;
};

// Runs one round of `samples` handoffs (at most kHandoffSamples) with
// `waiters` processes queued behind the holder, and adds it to `costs`.
void MeasureHandoff(const TempFolder& folder, bool via_service, int waiters,
                    int samples, HandoffCosts* costs);

// Waiters woken per release with `waiters` processes queued, or -1 when a
// release could not be set up.
double MeasureWakeups(wendlemoor::LockService* service,
                      const TempFolder& folder, bool via_service, int waiters);

// ---- A waiter blocked for one second, and a whole driver run ----------------

struct BlockedCosts {
  double waited_ms;
  double cpu_us;
};

BlockedCosts MeasureSleeper();
BlockedCosts MeasureBlockedWaiter(wendlemoor::LockService* service,
                                  const TempFolder& folder);

struct RunCosts {
  double cpu_ms;
  double user_ms;
  double sys_ms;
  long max_rss_kib;
  double wall_ms;
  int status;
  bool private_folder;
};

// Runs "./Wendlemoor -10" from its build folder, output discarded, in a fresh
// measuring process, in a private lock folder where it can have one.
RunCosts MeasureDriverRun();

#endif  // WENDLEMOOR_BENCH_MEASUREMENTS_H_
