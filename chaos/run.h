// The chaos run: P worker processes of T threads take K names at random,
// blocking and not, hold them for random short times and release them, while
// faults are injected (chaos/fault.h lists them). Every process
// records what it does; at the end the history is checked
// (chaos/checker.h) and the figures and a one-line verdict printed.
//
// The run's folder holds "locks" (the lock folder the workers use),
// "history" (a file per process) and "control" (a page of shared memory: a
// gate that the run closes to remove the lock files while nobody holds a
// name, and per-worker counts of threads inside a hold). A worker is the same
// executable started again with the worker command; a worker that killed
// itself, that the run ended right after a removal (so that a newcomer opens
// the names afresh), or that the run killed anywhere (kill-anywhere), is
// replaced by a fresh one while time remains. Workers die with the
// run (die_with_parent) and run in a process group of their own, so that
// Ctrl-C reaches the run alone, which then ends them and reports. Stops,
// continuations and kills go to a worker's whole group, with any adapter
// process (chaos/adapter.h) it started in it.
//
// The run learns of a worker's end at once: SIGCHLD, read from a signalfd,
// wakes every wait of the run (its main loop, a removal's wait for quiet,
// the wait after the end), which then reaps the worker and records its end
// (kWorkerExit) before anything else. The kernel frees a dead worker's
// locks a little earlier; what begins in between is judged indeterminate
// (chaos/checker.h). Every SIGKILL the run sends a worker (a renewal, a
// worker stuck after the end, an interrupted run) is recorded just before
// it is sent (kWorkerKilled).
//
// A call that must not wait (any but a blocking acquisition) that has gone
// on for 5 s, not counting the time its worker was stopped, is recorded as
// hung (kCallHung) then: the run looks at the call slots of the control
// page every 100 ms while it runs and after the end, and at the slots of a
// worker that died, before its successor takes them. A blocking acquisition
// may wait; it is recorded as hung only when its worker has not ended 5 s
// after the end.
//
// The same seed gives every worker thread the same sequence of choices.
// Linux only: it relies on fork(), SIGSTOP and futexes.
//
// Thread safety: RunChaos takes over the process (signal
// mask, children) and runs once per process, on the main thread.
#ifndef WENDLEMOOR_CHAOS_RUN_H_
#define WENDLEMOOR_CHAOS_RUN_H_

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "chaos/fault.h"
#include "components/lock_service.h"

namespace wendlemoor {

struct ChaosOptions {
  int seconds = 10;
  // When above 0, the run ends as soon as every class of `faults` has
  // struck this many times (a run without faults: once its workers made
  // this many holds), or at `seconds`, whichever comes first. 0: it runs
  // its time.
  std::uint64_t strikes = 0;
  int processes = 6;
  int threads = 4;
  int names = 4;
  FaultSet faults = kAllFaults;  // a bit per ChaosFault
  // --faults named the classes (FaultList::named): an adapter refuses one it
  // does not support, where "all" means every one it supports.
  bool faults_named = false;
  // Read for a card (FaultListFor::kCard): its columns in --faults' order.
  std::vector<std::string> fault_columns;
  std::uint64_t seed = 0;
  bool seed_given = false;  // otherwise a seed is drawn and printed
  std::string folder;       // empty: a fresh private folder, removed after
  std::string timeline;     // an SVG file to write, or empty
  std::string result;       // a JSON file of the verdict to write, or empty
  std::string junit;        // a JUnit XML file to write, or empty
  std::string history;      // a file to keep the merged history in, or empty
  std::string check;        // a history file to judge instead of running
  // The lock the run is over, as its reports name it ("module NAME, PATH",
  // "adapter COMMAND"); empty: the service linked into the workers.
  std::string lock;
  // How many findings the text and the JUnit file show; the JSON has all.
  std::uint32_t findings = 5;
  // Called once, after every worker has ended (interrupted or not), with the
  // lock folder the workers used: a module's cleanup. May be empty. The
  // remove-ipc fault calls it too, while the workers live; a run without
  // one refuses the classes that need it (FaultClass::outside_folder).
  std::function<void(const std::string& lock_folder)> cleanup;
  // How long a stop lasts, in ms (--stop-ms MIN[-MAX]): drawn from
  // [stop_min_ms, stop_max_ms), or stop_min_ms when they are equal.
  std::uint32_t stop_min_ms = 10;
  std::uint32_t stop_max_ms = 150;
  bool stop_given = false;  // --stop-ms was given
  // The lock's lease in ms (0: none): a module's (components/module.h) or
  // an adapter's greeting's. A stop then strikes inside a hold, for 1.5
  // times the lease unless --stop-ms says otherwise, and a name may stay
  // unusable after its holder died for UnusableBoundNanos(lease_ms), which
  // the workers are also given to end after the run's end when it is longer
  // than 5 s.
  std::uint32_t lease_ms = 0;
};

// The usage text of wendlemoor-chaos, the fault classes' names in it.
const char* ChaosUsage();

// How reports name the lock service linked into wendlemoor-chaos itself.
extern const char kLinkedInLock[];

enum class ChaosParse { kRun, kHelp, kBad };

// Reads the command line (argv[0] is the program), --faults as `faults_for`
// says (ParseFaults; "--faults X" and "--faults=X" alike, as every option).
// kBad comes with the reason in `*error`; nothing has been done.
ChaosParse ParseChaosOptions(int argc, const char* const* argv,
                             ChaosOptions* options, std::string* error,
                             FaultListFor faults_for = FaultListFor::kRun);

// Creates a lock service over a folder: CreateLockService, or a test's own.
using ChaosServiceFactory = LockService* (*)(const char* folder);

// The status of a run refused before any worker started because a class it
// was asked for does not apply to its lock (remove-ipc over a lock that
// makes nothing outside its folder): the bad command line's, 2, with the
// JSON file (when asked for) holding only {"not_applicable": "CLASSES"},
// which a card shows as "n/a".
inline constexpr int kChaosNotApplicable = 2;

// Runs the adversary, then checks its history and prints the figures (the
// CPU time of the run's own process among them) and the verdict on standard
// output (a progress line goes to standard error while it is a terminal).
// Each worker is started as `worker_command` followed by its arguments,
// which are to be handed to RunChaosWorker (chaos/worker.h). Returns the exit
// status: 0 a clean history, 1 a broken one or a run that could not be made
// (the reason on standard error), 2 when a file it was asked to write (the
// history, timeline, JSON or JUnit file) could not be written (one line on
// standard error each, the verdict printed all the same), 130 when
// interrupted by SIGINT, SIGTERM or SIGHUP (after the figures so far).
// A class of `options.faults` that needs the lock's cleanup when it has
// none: named on --faults, kChaosNotApplicable with one line on standard
// error; within "all", left out.
int RunChaos(const ChaosOptions& options,
             const std::vector<std::string>& worker_command);

// Judges the history file `options.check` (chaos/history.h) again, as the
// run that wrote it: prints its description, the lock it named, the figures
// and the verdict, and writes the JSON, JUnit and timeline files that
// `options` asks for. The run's shape (names, faults, seconds, seed) and its
// lock come from the file. Returns 0 for a clean history, 1 for a broken
// one, and 2 with the cause on standard error when the file is missing, cut
// short or not a history, or when a report could not be written.
int CheckChaosHistory(const ChaosOptions& options);

}  // namespace wendlemoor

#endif  // WENDLEMOOR_CHAOS_RUN_H_
