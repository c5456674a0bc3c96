#include <sched.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "bench/measurements.h"

using wendlemoor::InterfacePtr;
using wendlemoor::LockService;

extern char** environ;

namespace {

// ---- Handoff between processes --------------------------------------------

constexpr int kHandoffWarmup = 20;

// The workers' meeting place, in memory shared by all of them and the parent.
// Every field is an atomic that is lock-free, and so works across processes.
struct HandoffBoard {
  std::atomic<int> stop;
  // Workers between their return from acquiring and their release; more than
  // one at a time is a lock that does not exclude.
  std::atomic<int> inside;
  std::atomic<int> overlaps;
  // Stamped by the holder right before it releases; 0 once consumed.
  std::atomic<std::uint64_t> release_ns;
  std::atomic<int> releaser;
  // Requests blocked in the kernel behind the holder when it released.
  std::atomic<int> queued_at_release;
  std::atomic<std::uint64_t> acquisitions;
  std::atomic<int> handoffs;
  std::atomic<int> short_queue;
  std::atomic<int> taken;
  std::uint64_t samples[kHandoffSamples];
};
static_assert(std::atomic<std::uint64_t>::is_always_lock_free &&
              std::atomic<int>::is_always_lock_free);

// How long a holder waits for the others to queue up behind it before it
// releases anyway, and how long a releaser waits for someone else to take the
// lock before it queues again.
constexpr std::uint64_t kQueueWait = 50 * kMillisecond;
constexpr std::uint64_t kTakeWait = 50 * kMillisecond;

// One worker's loop: queue, take the lock, note the handoff, hold the lock
// until all `waiters` others are asleep in the kernel behind it, release.
int HandoffWorker(HandoffBoard* board, const TempFolder& folder,
                  bool via_service, const char* name, int waiters, dev_t dev,
                  ino_t ino) {
  // A service of its own, as each driver process has.
  InterfacePtr<LockService> service;
  if (via_service) service = NewService(folder);
  const int self = getpid();
  // A worker's first return from acquiring is the first time it runs after
  // the fork: copy-on-write faults and caches that hold none of its memory
  // (about 170 us where a steady handoff takes 10-40). With 51 workers those
  // first returns outnumber the warm-up and would make a fifth of each
  // round's samples, so they are never samples; a steady queue is measured.
  bool held_before = false;
  while (board->stop.load() == 0) {
    int fd = -1;
    if (via_service) {
      ServiceAcquire(service.get(), name);
    } else {
      fd = RawAcquire(folder, name);
    }
    const std::uint64_t acquired = NowNanos();
    if (board->inside.fetch_add(1) != 0) board->overlaps.fetch_add(1);
    board->acquisitions.fetch_add(1);

    const std::uint64_t released = board->release_ns.exchange(0);
    // A releaser never takes the lock back before another worker has (see
    // below), so this is a handoff unless that wait ran out. Once the run is
    // stopping, holders no longer wait for a full queue and nothing counts.
    if (released != 0 && board->releaser.load() != self &&
        board->stop.load() == 0 &&
        board->handoffs.fetch_add(1) >= kHandoffWarmup && held_before) {
      if (board->queued_at_release.load() < waiters) {
        board->short_queue.fetch_add(1);
      } else {
        const int slot = board->taken.fetch_add(1);
        if (slot < kHandoffSamples) board->samples[slot] = acquired - released;
      }
    }

    held_before = true;

    // Only a release with every other worker blocked in the kernel counts:
    // that is the queue being measured.
    int queued = 0;
    const std::uint64_t give_up = NowNanos() + kQueueWait;
    while ((queued = CountBlockedRequests(dev, ino)) < waiters &&
           board->stop.load() == 0 && NowNanos() < give_up) {
      SleepNanos(20000);
    }

    board->inside.fetch_sub(1);
    board->queued_at_release.store(queued);
    board->releaser.store(self);
    const std::uint64_t before = board->acquisitions.load();
    board->release_ns.store(NowNanos());
    if (via_service) {
      ServiceRelease(service.get(), name);
    } else {
      RawRelease(fd);
    }
    // Queueing again at once could take the lock back before the woken
    // waiter runs; waiting until someone else has it keeps every release a
    // handoff to another process.
    const std::uint64_t take_limit = NowNanos() + kTakeWait;
    while (board->acquisitions.load() == before && board->stop.load() == 0 &&
           NowNanos() < take_limit) {
      SleepNanos(20000);
    }
  }
  return 0;
}

}  // namespace

// Runs one round of `samples` handoffs (at most kHandoffSamples) with
// `waiters` processes queued behind the holder, and adds it to `costs`.
void MeasureHandoff(const TempFolder& folder, bool via_service, int waiters,
                    int samples, HandoffCosts* costs) {
  char name[64];
  std::snprintf(name, sizeof name, "bench_handoff_%s_%d",
                via_service ? "service" : "raw", waiters);
  dev_t dev;
  ino_t ino;
  folder.Identify(name, &dev, &ino);

  auto* board = static_cast<HandoffBoard*>(MapShared(sizeof(HandoffBoard)));
  std::vector<pid_t> workers;
  for (int i = 0; i <= waiters; ++i) {
    workers.push_back(ForkWorker([&] {
      return HandoffWorker(board, folder, via_service, name, waiters, dev, ino);
    }));
  }
  // Enough for every sample at a few milliseconds each on a loaded machine.
  const std::uint64_t deadline = NowNanos() + 6 * kSecond;
  while (board->taken.load() < samples && NowNanos() < deadline) {
    SleepNanos(5 * kMillisecond);
  }
  board->stop.store(1);
  // Each holder in turn sees the flag and leaves, handing the lock down the
  // queue; the deadline covers a queue that no longer moves.
  costs->killed +=
      ReapWorkers(workers, NowNanos() + 5 * kSecond, &costs->failed);

  const int taken = std::min({board->taken.load(), samples, kHandoffSamples});
  std::vector<double> round;
  for (int i = 0; i < taken; ++i) {
    round.push_back(static_cast<double>(board->samples[i]) / 1e3);
  }
  costs->micros.insert(costs->micros.end(), round.begin(), round.end());
  costs->round_p50.push_back(Percentile(round, 0.50));
  costs->handoffs += board->handoffs.load();
  costs->short_queue += board->short_queue.load();
  costs->overlaps += board->overlaps.load();
  UnmapShared(board, sizeof(HandoffBoard));
}

namespace {

// ---- Waiters woken per release --------------------------------------------

// The woken waiters' word that they hold the lock, in shared memory.
struct WakeBoard {
  std::atomic<int> acquired;
};

// How long a release is given to wake every waiter it is going to wake after
// the new holder has gone back to sleep.
constexpr std::uint64_t kWakeSettle = 20 * kMillisecond;
constexpr int kWakeReleases = 5;

// Waits until every process in `pids` is asleep; false at `deadline`.
bool AllAsleep(const std::vector<pid_t>& pids, std::uint64_t deadline) {
  for (const pid_t pid : pids) {
    while (!IsAsleep(pid)) {
      if (NowNanos() >= deadline) return false;
      SleepNanos(100000);
    }
  }
  return true;
}

long SumVoluntarySwitches(const std::vector<pid_t>& pids) {
  long sum = 0;
  for (const pid_t pid : pids) sum += VoluntarySwitches(pid);
  return sum;
}

}  // namespace

// Waiters that one release sets running, averaged over kWakeReleases
// releases: this process holds the lock, `waiters` forked processes block
// behind it, and each release is judged by how often the waiters blocked
// again after it. A waiter that takes the lock blocks once more, in pause(),
// and one woken for nothing blocks again on the lock, so a release that wakes
// only the next holder adds exactly 1. Returns -1 when a release could not be
// set up (a waiter that never blocked, or a lock that was never taken).
double MeasureWakeups(LockService* service, const TempFolder& folder,
                      bool via_service, int waiters) {
  char name[64];
  std::snprintf(name, sizeof name, "bench_wake_%s_%d",
                via_service ? "service" : "raw", waiters);
  dev_t dev;
  ino_t ino;
  folder.Identify(name, &dev, &ino);
  auto* board = static_cast<WakeBoard*>(MapShared(sizeof(WakeBoard)));
  long woken = 0;
  bool valid = true;
  for (int release = 0; release < kWakeReleases && valid; ++release) {
    int fd = -1;
    if (via_service) {
      ServiceAcquire(service, name);
    } else {
      fd = RawAcquire(folder, name);
    }
    board->acquired.store(0);
    std::vector<pid_t> pids;
    for (int i = 0; i < waiters; ++i) {
      pids.push_back(ForkWorker([&] {
        InterfacePtr<LockService> own;
        if (via_service) {
          own = NewService(folder);
          ServiceAcquire(own.get(), name);
        } else {
          RawAcquire(folder, name);
        }
        board->acquired.fetch_add(1);
        // Holds the lock asleep until killed; the one block this adds is the
        // holder's share of the count.
        for (;;) pause();
        return 0;
      }));
    }
    // A request shows in /proc/locks a moment before its process has gone to
    // sleep, and that going to sleep must land before the first reading.
    const std::uint64_t deadline = NowNanos() + 5 * kSecond;
    while (CountBlockedRequests(dev, ino) < waiters && NowNanos() < deadline) {
      SleepNanos(kMillisecond);
    }
    valid =
        CountBlockedRequests(dev, ino) == waiters && AllAsleep(pids, deadline);
    if (valid) {
      const long before = SumVoluntarySwitches(pids);
      if (via_service) {
        ServiceRelease(service, name);
      } else {
        RawRelease(fd);
      }
      while (board->acquired.load() == 0 && NowNanos() < deadline) {
        SleepNanos(100000);
      }
      valid = board->acquired.load() == 1 && AllAsleep(pids, deadline);
      SleepNanos(kWakeSettle);
      woken += SumVoluntarySwitches(pids) - before;
    } else if (via_service) {
      ServiceRelease(service, name);
    } else {
      RawRelease(fd);
    }
    // Killing the holder passes the lock down the queue as each one dies.
    ReapWorkers(pids, NowNanos(), nullptr);
  }
  UnmapShared(board, sizeof(WakeBoard));
  return valid ? static_cast<double>(woken) / kWakeReleases : -1;
}
