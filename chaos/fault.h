// The fault classes of the chaos run as one table: a FaultClass per
// ChaosFault (chaos/history.h), in the order of its values. An entry says
// everything the rest of chaos/ asks about a class: what --faults calls it
// and how the picture colours it; where it strikes and how often; the strike
// itself; which holds it ends, for the checker; which calls it judges, for
// its JUnit case; and the greeting word an adapter must say to be put under
// it (docs/adapter-protocol.md).
//
// The strikes are written against two small interfaces, FaultWorkerSide
// (a worker thread holding a name, implemented in chaos/worker.cc) and
// FaultRunSide (the run's own process, implemented in chaos/run.cc), so that
// this file sits below both and includes neither.
//
// Adding a class: append its value to ChaosFault, append its entry to the
// table in chaos/fault.cc (the compiler refuses a table of another length
// or order), and write its strike there. Only a strike that needs something
// neither side offers yet adds a member to its interface, and so to
// worker.cc or run.cc; a call it judges that is new is a new ChaosCall.
//
// A fault list has one form inside a process, a FaultSet (a bit per
// ChaosFault), and one as text, the names joined by commas ("none" for the
// empty set): the text is what --faults, the workers' arguments and the
// reports carry, read by ParseFaults and written by FaultNames. The history
// file alone keeps the set's number, as its format always has.
//
// Thread safety: the table is constant, and no function here keeps state
// of its own: the strikes act through the interface and draw from the
// generator they are given. Ownership: results are the caller's; the table
// lives as long as the program.
#ifndef WENDLEMOOR_CHAOS_FAULT_H_
#define WENDLEMOOR_CHAOS_FAULT_H_

#include <sys/types.h>

#include <cstdint>
#include <initializer_list>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "chaos/control.h"
#include "chaos/history.h"
#include "components/result_code.h"

namespace wendlemoor {

inline constexpr int kFaultCount = static_cast<int>(ChaosFault::kCount);

// A set of fault classes: a bit per ChaosFault.
using FaultSet = std::uint32_t;
static_assert(kFaultCount <= 32 && kFaultCount <= kChaosFaultSlots,
              "a FaultSet holds a bit per class, the control page a count");
inline constexpr FaultSet kAllFaults = (FaultSet(1) << kFaultCount) - 1;

constexpr FaultSet FaultBit(ChaosFault fault) {
  return FaultSet(1) << static_cast<int>(fault);
}
constexpr bool Has(FaultSet set, ChaosFault fault) {
  return (set & FaultBit(fault)) != 0;
}

// A set of judged calls: a bit per ChaosCall, by its value.
constexpr std::uint32_t CallBits(std::initializer_list<ChaosCall> calls) {
  std::uint32_t bits = 0;
  for (const ChaosCall call : calls) bits |= 1u << static_cast<int>(call);
  return bits;
}

// What a class that strikes inside a worker can do there. The worker
// implements it for one of its threads while that thread holds a name
// (chaos/worker.cc); every call acts on that name. Used from that thread
// only.
class FaultWorkerSide {
 public:
  // The process's service instance that holds the name, or its second one
  // (open only when an enabled class asks for it: FaultClass::
  // second_instance).
  enum class Instance { kHolding, kOther };

  // Records that `fault` struck now, before the strike acts.
  virtual void RecordFault(ChaosFault fault) = 0;
  // Asks `instance` for the name (waiting when `wait`), or gives it back,
  // while the thread's call slot says `call`: a call that never returns is
  // found as that call. The slot covers the call alone. Returns the
  // service's result, unrecorded.
  virtual ResultCode Acquire(ChaosCall call, Instance instance, bool wait) = 0;
  virtual ResultCode Release(ChaosCall call, Instance instance) = 0;
  // Records that the judged call `call` returned `code`.
  virtual void RecordCall(ChaosCall call, ResultCode code) = 0;
  // Forks while holding: the child gives the name back and asks for it
  // without waiting, as a program's child would, and both results are
  // recorded (kForkedRelease, kForkedAcquire). Returns once they are.
  virtual void ForkHolding() = 0;
  // Records `fault` and kills the worker's process group while the name is
  // held; no thread of the worker records anything after it.
  [[noreturn]] virtual void KillHolding(ChaosFault fault) = 0;
  // The thread's seeded choices, for a strike that draws.
  virtual ChaosRandom& Random() = 0;
  // Forks while holding: the child, alone in its process, takes another
  // name than this thread's (picked by `pick` among the others) without
  // waiting, and when it is busy waiting at most 200 ms (a child that got
  // nothing ends then); it holds it `hold_nanos` as a hold of its own
  // process, gives it back and ends. Its holds end at the latest with this
  // process's (kForkedChild, chaos/history.h). Returns once the child has
  // ended; the process's other threads go on meanwhile. Does nothing when
  // there is no other name.
  virtual void ForkTaking(std::uint64_t pick, std::uint64_t hold_nanos) = 0;
  // Records `fault` and forks while the name is held; then this process
  // alone is killed (SIGKILL), not its group: the child lives on
  // `life_nanos` (at most until the run's end) touching no lock, records
  // its end (kOrphanEnd) and ends. No thread of the worker records anything
  // after the fault.
  [[noreturn]] virtual void OrphanHolding(ChaosFault fault,
                                          std::uint64_t life_nanos) = 0;
  // Another thread of the process opens, reads and closes every regular
  // file of the lock folder, the name's own among them, as a backup or an
  // indexer in the same program would; returns once it has. The name's
  // hold goes on.
  virtual void OpenCloseFiles() = 0;
  // Starts a child process that outlives the hold, as a program of the
  // lock's language starts one (a module's worker: fork and exec of
  // /bin/sleep, with every descriptor not marked close-on-exec; an
  // adapter: "spawn T NAME"), after recording `fault` with the child's
  // longest life. Returns at once; the child dies with the worker.
  virtual void SpawnHolding(ChaosFault fault) = 0;

 protected:
  ~FaultWorkerSide() = default;
};

// What a class that strikes from the run's own process can do. The run
// implements it (chaos/run.cc). Used from the run's main thread only.
class FaultRunSide {
 public:
  // The run's seeded choices: a strike draws from them, so that the same
  // seed strikes the same way.
  virtual ChaosRandom& Random() = 0;
  // Records that `fault` struck now and counts it: on `worker` (a kWorker
  // class), or on none (0). Between holds the record carries instead the
  // time the run closed the gate (chaos/history.h).
  virtual void RecordFault(ChaosFault fault, pid_t worker) = 0;
  // The process IDs of the workers alive now, in slot order.
  virtual std::vector<pid_t> Workers() const = 0;
  // Stops `worker`'s process group and continues it `nanos` later; no
  // other worker is struck meanwhile.
  virtual void StopWorker(pid_t worker, std::uint64_t nanos) = 0;
  // The lock folder the workers use.
  virtual std::string LockFolder() const = 0;
  // Ends one worker, drawn among the live ones while time remains, to be
  // replaced by a fresh one that opens every name afresh. Between holds
  // (FaultSite::kBetweenHolds) it holds nothing; struck from elsewhere it
  // may hold names, which its death ends, as a kill's does (the run records
  // the SIGKILL first: chaos/history.h, kWorkerKilled).
  virtual void RenewWorker() = 0;

  // --- Appended for the classes remove-held, remove-ipc, kill-anywhere and
  // the stop's length.

  // How long a stop lasts: drawn from [min_ms, max_ms) (--stop-ms; min_ms
  // alone when they are equal). A lock with a lease (lease_ms > 0) is
  // stopped inside a hold, for 1.5 times its lease unless --stop-ms was
  // given (`given`).
  struct StopShape {
    std::uint32_t min_ms = 10;
    std::uint32_t max_ms = 150;
    bool given = false;
    std::uint32_t lease_ms = 0;
  };
  virtual StopShape Stop() const = 0;
  // As StopWorker, but first waits (a second at most) until one of the
  // worker's threads is inside a hold, and stops it then.
  virtual void StopWorkerHolding(pid_t worker, std::uint64_t nanos) = 0;
  // Ends `worker` and its process group with SIGKILL wherever it is (a
  // call, a hold, between them), recorded first (kWorkerKilled); a fresh
  // worker takes its place while time remains.
  virtual void KillWorker(pid_t worker) = 0;
  // Calls the lock's cleanup for the lock folder while workers live: it
  // removes what the lock made outside the folder. The run refuses the
  // classes that need it (FaultClass::outside_folder) for a lock without
  // one, so it is there when called.
  virtual void RemoveOutside() = 0;
  // As RenewWorker, with a worker that holds nothing: the run closes the
  // gate (chaos/control.h) and waits for the holds in progress to end
  // first, then opens it again. Nothing is renewed when they did not end.
  virtual void RenewIdleWorker() = 0;

  // --- Appended for the classes server-pause, server-restart and cut-off,
  // which strike the lock's server of the run's own (chaos/server.h). The
  // run refuses them for a lock without one (FaultClass::needs_server), so
  // it is there when they are called. Each records its class's fault first
  // (chaos/history.h says what the record holds). The workers' calls in
  // progress meanwhile count as begun that much later: a strike's length is
  // no hang.

  // Stops the server's process group, and continues it `nanos` later; no
  // other strike of the site meanwhile.
  virtual void PauseServer(std::uint64_t nanos) = 0;
  // Kills the server's process group and starts it again on its data, at
  // the same address; returns once it answers (or, said on standard output,
  // did not start: the workers' calls then fail).
  virtual void RestartServer() = 0;
  // Freezes the connections of `worker` to the server (its loopback proxy:
  // no byte passes), once one of its threads holds a name (a second's wait
  // at most); `nanos` later they go on, or when `drop` are closed on both
  // sides. No other strike of the site meanwhile.
  virtual void CutOff(pid_t worker, std::uint64_t nanos, bool drop) = 0;

 protected:
  ~FaultRunSide() = default;
};

// Where a class strikes.
enum class FaultSite : std::uint8_t {
  // Inside a worker, on one hold of one of its threads (FaultWorkerSide):
  // each hold is struck at the class's rate.
  kHold,
  // From the run, on one live worker at a time (FaultRunSide): a turn comes
  // round on the class's schedule, once the last one struck goes on again.
  kWorker,
  // From the run, while no name is held or being taken: the run closes the
  // gate (chaos/control.h), waits for the holds in progress to end, strikes
  // and opens it again.
  kBetweenHolds,
};

// Which holds a class ends in the history, for the checker.
enum class FaultEnds : std::uint8_t {
  kNone,     // none: the holds go on
  kThread,   // every hold of the struck thread: it ended holding
  kProcess,  // every hold of the struck process: it killed itself, and
             // its death by SIGKILL is its own, not a crash
};

// How often a FaultSite::kHold class strikes: once in `one_in` holds; when
// `per_thread`, once in `one_in` times the worker's thread count, so that a
// process is struck about as often whatever its threads.
struct FaultRate {
  std::uint64_t one_in = 0;
  bool per_thread = false;
};

// When a class of the run (kWorker, kBetweenHolds) strikes: `first_ms`
// after the start, then again `every_ms` plus a drawn part of `spread_ms`
// after each turn. The classes of one site take turns in one duty: its
// schedule is its first enabled class's, and each turn strikes one enabled
// class of the site, drawn evenly (DrawFault).
struct FaultSchedule {
  std::uint32_t first_ms = 0;
  std::uint32_t every_ms = 0;
  std::uint32_t spread_ms = 0;
};

// What a hold's strike leaves of it.
enum class HoldAfter { kGoesOn, kThreadEnds };

struct FaultClass {
  ChaosFault fault = ChaosFault::kCount;
  const char* name = nullptr;    // as --faults spells it
  const char* colour = nullptr;  // its row in the picture (chaos/timeline.h)
  // Its mark also crosses the lanes: the bars go on after it afresh.
  bool marks_lanes = false;
  FaultSite site = FaultSite::kHold;
  FaultRate rate = {};          // kHold
  FaultSchedule schedule = {};  // kWorker, kBetweenHolds
  // kHold: struck while the thread holds the name.
  HoldAfter (*on_hold)(FaultWorkerSide& worker) = nullptr;
  // kHold, or null: struck right after the thread gave the name back.
  void (*after_release)(FaultWorkerSide& worker) = nullptr;
  // kWorker, kBetweenHolds: the run's strike.
  void (*on_run)(FaultRunSide& run) = nullptr;
  // The workers open a second service instance: over an adapter, the same
  // adapter process's lock object 2 (greeting word "instances").
  bool second_instance = false;
  FaultEnds ends = FaultEnds::kNone;
  // The calls only this class makes and the checker judges (CallBits):
  // their wrong codes and hangs fail its JUnit case.
  std::uint32_t judges = 0;
  // The word an adapter's greeting must say to be put under it, or null
  // when any adapter can be.
  const char* greeting = nullptr;
  // Our own service promises to hold under it: "all" in a run's --faults
  // means these classes (FaultsOursSurvives), so that a run over ours with
  // "all" proves the promise. A class that breaks every lock of its kind by
  // design (a documented limit) is not among them.
  bool ours_survives = false;
  // It strikes what the lock made outside its folder, through the lock's
  // own cleanup (components/module.h): it applies only to a module that has
  // one. A run refuses it for any other lock (RunChaos), and a card shows
  // "n/a" there.
  bool outside_folder = false;
  // It strikes the lock's server, which the run (or the card, for a row)
  // started itself (chaos/server.h): it applies only to a lock that has
  // one. A run refuses it for any other lock, and a card shows "n/a" there.
  bool needs_server = false;
};

// How long a strike on the lock's server lasts (a pause, a cut), in ms:
// past the lease of a lock that has one (1.5 times it), so that the lease
// runs out meanwhile; else 3 s, longer than a client's usual reconnection
// and retry but below the 5 s after which a call counts as hung.
constexpr std::uint32_t ServerStrikeMs(std::uint32_t lease_ms) {
  return lease_ms > 0 ? lease_ms / 2 * 3 : 3000;
}

// Every class, in ChaosFault order.
std::span<const FaultClass> FaultTable();
const FaultClass& FaultOf(ChaosFault fault);

// The class `name` spells, or null when it spells none.
const FaultClass* FindFault(std::string_view name);

// The classes whose FaultClass::ours_survives is set: what "all" means in a
// run's --faults.
FaultSet FaultsOursSurvives();

// The classes whose FaultClass::outside_folder is set.
FaultSet FaultsOutsideFolder();

// The classes whose FaultClass::needs_server is set.
FaultSet FaultsNeedingServer();

// The class that judges `call`, or null when none does (plain contention).
const FaultClass* FaultJudging(ChaosCall call);

// The names of the classes of `set` in table order, joined by `separator`;
// "none" for the empty set.
std::string FaultNames(FaultSet set, const char* separator = ",");

// Where a --faults list is read: a run injects a set of classes; a report
// card runs a column per word, "none" (no fault) among them.
enum class FaultListFor { kRun, kCard };

// A --faults value, read.
struct FaultList {
  // Every class it names; for "all", FaultsOursSurvives() in a run and
  // every class in a card.
  FaultSet set = kAllFaults;
  // It named classes (or "none"), rather than "all": an adapter refuses a
  // named class it does not support, where "all" means all it supports.
  bool named = false;
  // For a card, its columns in the order given: "none" or a class's name;
  // "all" is "none" and then every class.
  std::vector<std::string> columns;
};

// Reads a --faults value: "all", or names separated by commas. For a run,
// "none" stands alone (no fault) and "all" is the classes our service
// promises to hold under; for a card "none" is a column among the classes,
// and "all" is "none" and every class. Returns false, with the one text for
// every refusal in `*error`
// ("bad value for --faults: \"TEXT\""), for anything else: an unknown or
// empty name, "all" among names.
bool ParseFaults(const std::string& text, FaultListFor use, FaultList* list,
                 std::string* error);

// The classes an adapter whose greeting says `words` can be put under: never
// one of FaultsOutsideFolder(), as an adapter's lock has no cleanup the run
// could call.
FaultSet FaultsGreeted(const std::set<std::string>& words);

// Strikes one hold with the enabled classes of FaultSite::kHold, each at
// its rate, drawn from `random` in the table's reverse order: the first
// classes end the hold (kThreadEnd, kKill) and strike last, and the draws
// keep the order they have always had: under the same classes a seed
// strikes the same holds as before. A class appended later is drawn first,
// and draws nothing while it is not enabled. `threads` is
// the worker's thread count. Returns kThreadEnds when the thread is to end
// holding; the classes after the one that ended it are not drawn.
HoldAfter StrikeHold(FaultSet enabled, int threads, ChaosRandom& random,
                     FaultWorkerSide& worker);

// Strikes right after a release with the enabled classes that do
// (FaultClass::after_release), each at its rate, in the same order.
void StrikeAfterRelease(FaultSet enabled, ChaosRandom& random,
                        FaultWorkerSide& worker);

// The schedule of `site`'s duty under `enabled`: its first enabled class's,
// or null when no class of the site is enabled.
const FaultSchedule* SiteSchedule(FaultSite site, FaultSet enabled);

// One enabled class of `site`, each as likely (nothing drawn when only one
// is enabled), or null when none is.
const FaultClass* DrawFault(FaultSite site, FaultSet enabled,
                            ChaosRandom& random);

}  // namespace wendlemoor

#endif  // WENDLEMOOR_CHAOS_FAULT_H_
