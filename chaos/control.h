// What the chaos run and its workers share: the control page, the gate that
// keeps holds away while lock files are removed, the seeded choices, the
// names.
//
// Thread safety: the control page's fields are atomics used from every thread
// of every process of the run. Ownership: MapControl's page stays mapped for
// the life of the process.
#ifndef WENDLEMOOR_CHAOS_CONTROL_H_
#define WENDLEMOOR_CHAOS_CONTROL_H_

#include <atomic>
#include <cstdint>
#include <string>

namespace wendlemoor {

inline constexpr int kChaosProcessesMax = 64;
inline constexpr int kChaosThreadsMax = 64;
inline constexpr int kChaosNamesMax = 256;
// Room for a count per fault class (ChaosFault, chaos/history.h).
inline constexpr int kChaosFaultSlots = 32;

// A page of memory shared by the run and its workers. A thread that is about
// to take a name adds one to its worker's `busy` count and then looks at the
// gate; it subtracts one after its release has returned (a thread that ends
// holding has it subtracted once it has been joined; a dead worker's count is
// cleared once it has been reaped). The run closes the gate and then waits
// for every count to be 0: from then on until it opens the gate, no lock is
// held and none is being taken. Both sides use sequentially consistent
// operations, so they cannot miss each other.
//
// Each worker thread also says which call of the lock service it is inside,
// in the slot of its worker and its place among the worker's threads: the
// thread sets `thread`, `call` and `name` and then `since` (the
// CLOCK_MONOTONIC time the call began) before the call, and clears `since`
// once it returned, so that a slot shows only a call still going on. The
// run reads `since`, the fields, and `since` again, and trusts the fields
// only when both reads agree. While a worker was stopped, the run moves
// `since` later by the time it was stopped (a compare-and-swap, which fails
// harmlessly when the call ended meanwhile). Once a worker died, the run
// reads its slots and then clears them, before a successor uses them. A
// worker that has not ended long after the run's end is stopped before the
// run reads its slots: what they say then is the call each thread hangs in.
struct ChaosCallSlot {
  std::atomic<std::uint64_t> since;  // 0: in no call
  std::atomic<std::uint32_t> thread;
  std::atomic<std::uint16_t> call;  // a ChaosCall
  std::atomic<std::uint16_t> name;
};

struct ChaosControl {
  std::atomic<std::uint32_t> gate;  // 1 closed, 0 open; a futex word
  std::atomic<std::int32_t> busy[kChaosProcessesMax];
  std::atomic<std::uint64_t> holds;   // for the progress line
  std::atomic<std::uint64_t> faults;  // faults the workers injected
  // Strikes per fault class, by its ChaosFault value, counted as they are
  // recorded by the workers and by the run alike: the run ends on them when
  // asked to (ChaosOptions::strikes, chaos/run.h).
  std::atomic<std::uint64_t> struck[kChaosFaultSlots];
  // 0 while the run goes on to its time; 1 once it ended early: its workers
  // then stop taking names as they would at their deadline.
  std::atomic<std::uint32_t> ended;
  ChaosCallSlot calls[kChaosProcessesMax][kChaosThreadsMax];
  // Per worker: its threads inside a hold (from the hold's start record to
  // its end record, or to the join of a thread that ended holding), so that
  // the run can stop a worker while it holds a name. Cleared with `busy`.
  std::atomic<std::int32_t> holding[kChaosProcessesMax];
};
static_assert(std::atomic<std::uint16_t>::is_always_lock_free &&
              std::atomic<std::uint32_t>::is_always_lock_free &&
              std::atomic<std::uint64_t>::is_always_lock_free);

// Maps the control file `path`, creating it (zeroed) when `create`. Returns
// null with errno set on failure.
ChaosControl* MapControl(const std::string& path, bool create);

// Waits, in the kernel, while the gate is closed (at most `max_ns`).
void WaitAtGate(ChaosControl* control, std::uint64_t max_ns);

// Opens the gate and wakes every thread of every process waiting at it.
void OpenGate(ChaosControl* control);

// A small, fast generator whose sequence depends on its seed alone.
class ChaosRandom {
 public:
  explicit ChaosRandom(std::uint64_t seed) : state_(seed) {}
  std::uint64_t Next() {
    std::uint64_t z = (state_ += 0x9E3779B97F4A7C15u);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9u;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBu;
    return z ^ (z >> 31);
  }
  // A number in [0, n).
  std::uint64_t Below(std::uint64_t n) { return n == 0 ? 0 : Next() % n; }
  // True once in `n` times.
  bool OneIn(std::uint64_t n) { return Below(n) == 0; }

 private:
  std::uint64_t state_;
};

// A seed of its own for each (seed, a, b), so that workers and their threads
// draw unrelated sequences from one run seed.
inline std::uint64_t DeriveSeed(std::uint64_t seed, std::uint64_t a,
                                std::uint64_t b) {
  ChaosRandom random(seed ^ (a * 0xD6E8FEB86659FD93u) ^
                     (b * 0xA0761D6478BD642Fu));
  return random.Next();
}

// The lock name of index `i`: "chaos-<i>".
std::string ChaosLockName(int i);

// Removes `path` and everything under it, without following symbolic links.
// Returns false with errno set when something could not be removed; a path
// already gone counts as removed.
bool RemoveTree(const std::string& path);

}  // namespace wendlemoor

#endif  // WENDLEMOOR_CHAOS_CONTROL_H_
