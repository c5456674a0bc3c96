// The checker of a chaos run: a pure function from a merged history
// (chaos/history.h) to a verdict and the run's figures.
//
// It finds:
// - overlaps: two holds of one name at the same time. A hold whose holder
//   died without a record of its death (it crashed) is certain from its
//   start to the last record of its process: the kernel freed its locks at
//   a moment between that record and the run's record of the death. A hold
//   of the name that began in between is indeterminate, neither an overlap
//   nor sound: counted and described apart, it does not break the verdict.
//   A worker that killed itself (its kill fault) held its names until
//   that record. One the run killed (kWorkerKilled: a renewal, the
//   kill-anywhere fault) held them for certain until the record or its own
//   last one, whichever is later, and perhaps until the run saw it dead:
//   the SIGKILL lands a little after the record, wherever the worker was (a
//   call, a hold). A hold of its name that began in between is
//   indeterminate, as after a crash; the kill itself is never a failure;
// - holds that never end: neither released nor ended by their holder's end;
// - names unusable too long: a name whose holder died or whose holding thread
//   ended, and that a waiter then still did not get within `unusable_bound`,
//   or never got: a call on it hung, or it was answered busy later than the
//   bound, and nobody held it again before the end;
// - names held by an orphan: the orphan fault kills a holder alone and its
//   child lives on, touching no lock; a name that nobody could take from
//   the holder's death until the child ended, although a caller asked for
//   it long enough meanwhile, was kept by the child's inherited lock. The
//   time to free such a name counts from the holder's death;
// - names kept by a spawned child: after the release of a hold whose holder
//   started a child (kSpawn), a waiter that asked while the child may have
//   lived did not get the name within kSpawnKeptBoundNanos: the child
//   inherited the hold. The wait is measured from the release, or from the
//   waiter's asking when later, to the next hold of the name;
// - hung calls: calls that had not returned within the run's bound
//   (kCallHung, chaos/history.h), an outcome neither right nor wrong,
//   counted by call;
// - wrong codes: a call that returned anything but the code promised for it
//   (see ChaosCall);
// - workers that failed (an exit other than 0 or their own SIGKILL) or hung;
// - for a lock that gives fencing tokens (kHoldToken), whether each overlap
//   is fenced: a resource that refuses any token smaller than one it has
//   seen would have refused the stale holder's work once the other holder
//   had used its token. That takes a token on both holds, and the greater
//   one on the later grant. A grant lies between its caller's asking and
//   its hold's start; the holds are taken in order of start, and a hold
//   whose caller asked only after the other hold had begun was surely
//   granted later. Where the history cannot order the two grants (a holder
//   paused between its grant and its record), the tokens' own order is
//   taken for theirs. Equal tokens are never fenced;
// - tokens that went backwards: a hold that overlaps none, whose caller
//   asked after a hold with a greater token of the name had begun (a
//   server that forgot its counter): such a resource would refuse this
//   honest holder.
// Thread safety: pure functions; ownership: results are the caller's.
#ifndef WENDLEMOOR_CHAOS_CHECKER_H_
#define WENDLEMOOR_CHAOS_CHECKER_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "chaos/history.h"

namespace wendlemoor {

// One hold of a name, as the checker reconstructed it.
struct ChaosHold {
  std::uint64_t start;
  std::uint64_t end;  // the run's end for a hold that never ended
  std::int32_t pid;
  std::uint16_t name;
  bool ended;     // false: the hold never ended
  bool gone;      // ended by its holder's death or its thread's end
  bool overlaps;  // another hold of the name overlaps this one
  std::uint32_t thread = 0;
  // Until when the hold lasted for certain: `end`, or for a holder that
  // died unrecorded, its process's last record.
  std::uint64_t certain = 0;
  // Until when a child that its holder spawned may live; 0 for none.
  std::uint64_t child_until = 0;
  bool has_token = false;  // the lock gave a fencing token for this grant
  std::uint64_t token = 0;
};

// Per ChaosCall, indexed by its value.
inline constexpr int kChaosCalls = 9;

struct ChaosVerdict {
  std::uint64_t overlaps = 0;         // holds that began while another went on
  std::uint64_t never_ended = 0;      // holds without an end
  std::uint64_t unusable = 0;         // names too long unusable after a holder
  std::uint64_t wrong_codes = 0;      // calls with another code than promised
  std::uint64_t failed_workers = 0;   // workers that crashed or hung
  std::uint64_t crashed_workers = 0;  // of those, the ones that ended by a
                                      // signal not their own or an exit code
  std::uint64_t hung = 0;             // calls that never returned
  // Holds that began after a dead holder's last record and before the run
  // saw its death: not counted by clean().
  std::uint64_t indeterminate = 0;
  // The longest a name stayed unusable after its holder was gone (to the
  // run's end for one never freed), in nanoseconds.
  std::uint64_t unusable_max = 0;
  // Names kept by the child of a holder killed by the orphan fault, and the
  // longest from the holder's death to the name's next hold, in
  // nanoseconds.
  std::uint64_t orphaned = 0;
  std::uint64_t orphaned_max = 0;
  // Releases after which a spawned child kept the name, and the longest
  // wait such a release made, in nanoseconds.
  std::uint64_t kept_by_child = 0;
  std::uint64_t kept_max = 0;
  // Holds that came with a fencing token; of the overlaps, those fenced;
  // holds whose token went backwards. 0, 0, 0 for a lock without tokens.
  std::uint64_t tokens = 0;
  std::uint64_t fenced = 0;
  std::uint64_t backwards = 0;
  std::uint64_t wrong_by_call[kChaosCalls] = {};
  std::uint32_t first_wrong_code[kChaosCalls] = {};  // the first one seen
  std::uint64_t hung_by_call[kChaosCalls] = {};
  bool interrupted = false;
  // Every fault found, one a line: those single records show (wrong codes,
  // failed workers, hung calls) in time order, then holds never ended,
  // overlaps and names left unusable.
  std::vector<std::string> examples;
  // A few of the indeterminate holds, described so, one a line.
  std::vector<std::string> indeterminate_examples;

  bool clean() const {
    return overlaps + never_ended + unusable + orphaned + wrong_codes +
               failed_workers + hung + kept_by_child + backwards ==
           0;
  }
};

struct ChaosFigures {
  std::uint64_t start = 0;  // first and last record's times
  std::uint64_t end = 0;
  // When the workers were to stop taking names, or `end` when earlier or
  // not recorded: the rate's span leaves out the grace after the end.
  std::uint64_t until = 0;
  std::uint64_t acquisitions = 0;  // calls that returned a hold or busy
  std::uint64_t busy = 0;          // wait-0 calls answered busy
  // Holds whose caller asked while another thread held the name and got
  // it after that hold ended: the name handed from a holder to a waiter.
  std::uint64_t handovers = 0;
  std::vector<std::uint64_t> holds_per_name;
  // Nanoseconds that blocking acquisitions took: median, 99th percentile, max.
  std::uint64_t wait_p50 = 0;
  std::uint64_t wait_p99 = 0;
  std::uint64_t wait_max = 0;
  std::uint64_t faults[static_cast<int>(ChaosFault::kCount)] = {};
  // Time to free: from a holder's death or its thread's end (or from when
  // the next holder asked, if later) to the next hold of the name, in
  // nanoseconds, over `freed` such handovers.
  std::uint64_t calls[kChaosCalls] = {};  // judged calls that returned
  std::uint64_t freed = 0;
  std::uint64_t free_p50 = 0;
  std::uint64_t free_max = 0;
};

struct ChaosCheck {
  ChaosVerdict verdict;
  ChaosFigures figures;
  std::vector<ChaosHold> holds;  // in order of start
};

// The default for how long a name may stay unusable after its holder is gone.
inline constexpr std::uint64_t kUnusableBoundNanos = 3000000000u;

// The bound for a lock with a lease of `lease_ms` milliseconds (0: none):
// such a lock frees a dead holder's name only once its lease has run out,
// and then as late as its server's own rounds allow (etcd, for one, revokes
// expired leases on a timer of its own, and a waiter notices the free name
// on its next try), so the bound is the lease plus kUnusableBoundNanos.
constexpr std::uint64_t UnusableBoundNanos(std::uint32_t lease_ms) {
  return std::uint64_t(lease_ms) * 1000000u + kUnusableBoundNanos;
}
// How long a waiter may wait after a spawning holder's release while the
// child may live: a child lives 1.5 s or more, and a handover takes
// milliseconds even on a loaded machine.
inline constexpr std::uint64_t kSpawnKeptBoundNanos = 1000000000u;

// Judges the merged `history` of a run over `names` lock names. A finding
// about a name shows the file `lock_folder`/name when the folder is given.
ChaosCheck CheckHistory(const std::vector<ChaosRecord>& history,
                        std::size_t names,
                        std::uint64_t unusable_bound = kUnusableBoundNanos,
                        const std::string& lock_folder = "");

// A short text for a call ("blocking acquisition"), and for a result code
// ("kErrorLockBusy", "ESRCH" for a system error, the hex otherwise).
const char* ChaosCallText(ChaosCall call);
std::string ChaosCodeText(std::uint32_t code);

// The one-line verdict: "clean: ..." or "BROKEN: ...", ending in
// "(N indeterminate)" when some holds were.
std::string VerdictLine(const ChaosVerdict& verdict);

// What each call that a fault class makes (FaultClass::judges: misuse,
// fork, a second instance) got, a line for each that happened: how many
// answers were as promised, how many not (and the first code), how many
// hung; then the count of indeterminate holds and their descriptions, each
// line beginning "indeterminate: "; for a lock that gave tokens, a line
// beginning "fencing tokens: " with the overlaps fenced and the tokens that
// went backwards. Empty when none of these happened.
std::string AnswersText(const ChaosCheck& check);

// The figures, a line each, every line ending in '\n'.
std::string FiguresText(const ChaosFigures& figures);

}  // namespace wendlemoor

#endif  // WENDLEMOOR_CHAOS_CHECKER_H_
