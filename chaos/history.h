// The history of a chaos run: what every process of the run did to the lock,
// one fixed-size record per event, and the files that keep it.
//
// Each process appends its records to a file of its own in the run's history
// folder, one write() per record on a descriptor opened with O_APPEND, so a
// record is in the file before the process acts on what it says: a process
// killed at any moment loses nothing it had recorded. A hold starts when the
// acquisition has returned and ends before the release is called; a holder
// about to die or end records that moment first. A history of a sound lock
// therefore never shows two holds of one name overlapping, whatever the
// scheduling. A holder that crashes records nothing more: the kernel frees
// its locks when it dies, which the run learns of a little later, so its
// holds are certain only up to its last record (chaos/checker.h). Times are
// CLOCK_MONOTONIC nanoseconds, which every process of the machine shares.
//
// Thread safety: RecordEvent may be called from any thread, and from the
// child of a fork() (it only formats and writes); the reading functions are
// pure. Ownership: the caller owns the descriptors it passes.
#ifndef WENDLEMOOR_CHAOS_HISTORY_H_
#define WENDLEMOOR_CHAOS_HISTORY_H_

#include <cstdint>
#include <string>
#include <vector>

namespace wendlemoor {

// The numeric values of ChaosEvent, ChaosCall and ChaosFault are the
// history file's format: a kept history is judged again by a later build.
// Values are only ever appended, never reordered, reused or removed.
enum class ChaosEvent : std::uint16_t {
  // A worker took `name`. `wait` says whether it asked to wait, `value` is the
  // nanoseconds the acquisition took, `code` the instance (0 or 1) used.
  kHoldStart = 1,
  // A worker is about to release `name`.
  kHoldEnd,
  // A call that the checker judges by its result: `call` says which (a
  // ChaosCall), `code` what it returned.
  kCall,
  // A fault was injected (`call` holds the ChaosFault). The holds it ends
  // are its class's (FaultClass::ends, chaos/fault.h): those of (pid,
  // thread) for kThreadEnd, every one of pid for kKill; the others only mark
  // the moment. `value` is the target process for kStop and
  // kKillAnywhere, for the removals between holds the time the run closed
  // the gate (chaos/control.h), and 0 for kRemoveHeld and kRemoveIpc. For
  // kSpawn it is the longest the child lives, in nanoseconds: the name is
  // sound when nobody waits for it long after the hold's end while the
  // child may live.
  kFault,
  // The run's own process: a worker `value` ended with exit code `code`
  // (minus the signal number when a signal ended it); recorded as soon as
  // the run learned of it.
  kWorkerExit,
  // A worker `value` did not end in time and was killed: the lock hung it.
  kWorkerStuck,
  // The run was interrupted; every worker had been killed and reaped before
  // this record, so it ends every hold still open.
  kInterrupted,
  // The run's first and last records; kRunStart's `value` is the time the
  // workers stop taking names (0 in histories that did not say).
  kRunStart,
  kRunEnd,
  // The run's own process: a call of worker `value`'s thread `thread` on
  // `name` (`call`, a ChaosCall) had not returned `code` milliseconds after
  // it began (not counting the time its worker was stopped). A call that
  // must not wait (any but a blocking acquisition) is recorded once it has
  // gone on for the run's hang bound, or when its worker died after that;
  // any call is recorded when the run gave up waiting for its worker after
  // the end (kWorkerStuck follows). Each call is recorded once.
  kCallHung,
  // The run's own process: right after a removal, worker `value` was ended
  // (SIGKILL) to be replaced by a fresh one, which opens every name afresh.
  // After a removal between holds it held nothing; after kRemoveHeld it may
  // have held names, which its death ended (kWorkerKilled follows).
  kWorkerRenewed,
  // A worker gave up on its adapter (chaos/adapter.h), which `code` (an
  // AdapterFault) says how it failed; every hold of the worker ends here,
  // before the adapter is killed, and the worker then exits with a failure.
  kAdapterFailed,
  // The run's own process: it is about to send SIGKILL to worker `value`
  // and its group. A worker that then ends by SIGKILL held its names until
  // this moment; one that died of anything else held them for certain only
  // until its last record.
  kWorkerKilled,
  // A process that a worker (`value`) forked records this first: the holds
  // it then records are the worker's too, and end at the latest when the
  // worker's do (its death, a kill of its group), certain up to the
  // child's own last record.
  kForkedChild,
  // The child of a holder killed by the orphan fault (worker `value`, which
  // held `name`) ends; it lived on alone after its parent's death, touching
  // no lock, and whatever lock it inherited goes now.
  kOrphanEnd,
  // The run's own process: every fault class had struck as often as asked
  // (ChaosOptions::strikes), so the run ended before its time; `value` is
  // when the workers were told to stop taking names.
  kEndedEarly,
  // Right after a kHoldStart, by the same process and thread on the same
  // name: the lock's fencing token for that grant (`value`), a number that
  // grows with every grant of the name (docs/adapter-protocol.md). Only
  // locks that give one record it.
  kHoldToken,
};

// Calls whose result the checker judges, with the one code each may return.
enum class ChaosCall : std::uint16_t {
  kAcquireWait = 1,  // a blocking acquisition that did not return kOk
  kAcquireNoWait,    // wait 0: kOk (a hold) or kErrorLockBusy
  kRelease,          // the holder's release: kOk
  kAcquireAgain,     // a holder asks again: kErrorLockWouldDeadlock
  kReleaseAgain,     // released twice: kErrorLockNotHeld
  kOtherInstance,    // a holder asks the process's other instance: busy
  kForkedRelease,    // a forked child releases its parent's name: not held
  kForkedAcquire,    // a forked child asks for its parent's name: busy
};

// The fault classes; chaos/fault.h has everything else about each, in one
// table in this order.
enum class ChaosFault : std::uint16_t {
  kThreadEnd = 0,  // a thread ends while holding
  kKill,           // a process SIGKILLs itself while holding
  kFork,           // a process forks while holding
  kStop,           // a process is stopped and continued
  kRemoveFiles,    // the lock files are removed while nobody holds a name
  kRemoveFolder,   // the whole lock folder is removed while nobody holds one
  kTwoInstances,   // a second service instance in one process
  kMisuse,         // asking again for a held name, releasing twice
  kForkTake,       // a holder's child takes, alone, a name of its own
  kOrphan,         // a holder forks and dies; its child lives on a while
  kOpenClose,      // another thread opens and closes the held name's file
  kRemoveHeld,     // the lock files or the folder removed while names are
                   // held, then a worker renewed
  kRemoveIpc,      // what the lock made outside its folder removed
  kKillAnywhere,   // the run SIGKILLs a worker at any moment
  kSpawn,          // a holder starts a long-running child process
  kCount,          // not a class: how many there are
};

// Why an adapter (chaos/adapter.h) can no longer be used, as kAdapterFailed
// records it: each is a finding with its name.
enum class AdapterFault {
  kNone,
  kCannotStart,  // the command could not be started
  kExited,       // it exited, or closed its standard output
  kGarbage,      // a line that does not parse, or answers no request
  kLate,         // no greeting or no answer within the deadline
  kVersion,      // it greeted with another protocol version
};

// Ordinary findings' names: "exited", "answered garbage", ...
const char* AdapterFaultText(AdapterFault fault);

struct ChaosRecord {
  std::uint64_t time;   // CLOCK_MONOTONIC nanoseconds
  std::uint64_t value;  // event-specific (see ChaosEvent)
  std::int32_t pid;
  std::uint32_t thread;  // a worker thread's number in its process, from 1
  std::uint32_t code;    // a result code, an instance or an exit code
  ChaosEvent event;
  std::uint16_t name;  // the index of the lock name
  std::uint16_t call;  // a ChaosCall or ChaosFault
  std::uint8_t wait;   // 1 for a blocking acquisition
  std::uint8_t unused = 0;
};
static_assert(sizeof(ChaosRecord) == 40, "records are fixed-size on disk");

// Stamps `record` with the current time and the calling process's ID and
// appends it to `fd` with one write. Returns false with errno set when the
// write failed. Safe in the child of a fork().
bool RecordEvent(int fd, ChaosRecord record);

// Reads every "*.history" file of `folder` and returns their records merged in
// time order (the order within one file kept for equal times). A last record
// cut short is left out. Returns false with errno set when the folder or a
// file could not be read; `records` then holds what was read.
bool ReadHistory(const std::string& folder, std::vector<ChaosRecord>* records);

// Sorts records from several files into one history in time order, keeping
// the order of equal times.
void MergeHistory(std::vector<ChaosRecord>* records);

// A whole run's history in one file, for `wendlemoor-chaos --check` to judge
// again: a text header, then the merged records as they lie in memory (this
// machine's byte order). The header is "wendlemoor-chaos history 1" and one
// "key value" line for each of names, faults (a bit per ChaosFault),
// seconds, seed, run (the run's one-line description), lock (the lock it
// ran over, as the run named it), lease (its lease in ms, 0 for none) and
// records (their count), then an empty
// line (docs/ci-reports.md shows one):
//
//   wendlemoor-chaos history 1
//   names 4
//   ...
//   records 1234
//
//   <1234 records of 40 bytes>
//
// A reader ignores keys it does not know, and takes a file without a lock
// line (an older run's) as one over a lock it did not name.
struct ChaosHistoryHeader {
  int names = 0;
  std::uint32_t faults = 0;
  int seconds = 0;
  std::uint64_t seed = 0;
  std::string run;   // one line
  std::string lock;  // one line; empty when the file did not say
  // The lock's lease in milliseconds (0: none, or an older file without
  // the line): the checker's bound for a name left unusable grows with it.
  std::uint32_t lease_ms = 0;
};

// Writes `text` to `path`, replacing it. Returns false with errno set when
// it could not be written.
bool WriteTextFile(const std::string& path, const std::string& text);

// Writes `header` and `records` (merged) to `path`, replacing it. Returns
// false with errno set when it could not be written.
bool WriteHistoryFile(const std::string& path, const ChaosHistoryHeader& header,
                      const std::vector<ChaosRecord>& records);

// Reads a file written by WriteHistoryFile. Returns false with the cause in
// `*error` when the file cannot be read, is cut short or longer than its
// header says, or is not such a history (a header line missing or out of
// range, records out of time order, not begun by the run's start and ended
// by its end, or naming an event, call, fault or name that a run never
// records); `*header` and `*records` then hold nothing to judge.
bool ReadHistoryFile(const std::string& path, ChaosHistoryHeader* header,
                     std::vector<ChaosRecord>* records, std::string* error);

}  // namespace wendlemoor

#endif  // WENDLEMOOR_CHAOS_HISTORY_H_
