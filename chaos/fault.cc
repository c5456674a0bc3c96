// The fault table and the strikes of its classes.
#include "chaos/fault.h"

#include <dirent.h>
#include <unistd.h>

#include <iterator>

namespace wendlemoor {

namespace {

constexpr std::uint64_t kMillis = 1000000;
using Instance = FaultWorkerSide::Instance;

// thread-end: the thread ends holding; its service gives back what it held.
HoldAfter EndThreadHolding(FaultWorkerSide& worker) {
  worker.RecordFault(ChaosFault::kThreadEnd);
  return HoldAfter::kThreadEnds;
}

// kill: the process SIGKILLs itself holding; the lock is never given back.
HoldAfter KillItselfHolding(FaultWorkerSide& worker) {
  worker.KillHolding(ChaosFault::kKill);
  return HoldAfter::kThreadEnds;  // not reached: the process is gone
}

// fork: the child of a holder must find the name neither its own nor free.
HoldAfter ForkHolding(FaultWorkerSide& worker) {
  worker.RecordFault(ChaosFault::kFork);
  worker.ForkHolding();
  return HoldAfter::kGoesOn;
}

// stop: a worker's process group is stopped, then continued; its holds go on
// meanwhile and its waiters wait.
// A lock with a lease is stopped inside a hold, past its lease: another
// process may then take the name, and the stopped holder, continued, goes on
// as if it still held it.
void StopOneWorker(FaultRunSide& run) {
  const std::vector<pid_t> live = run.Workers();
  if (live.empty()) return;
  const pid_t worker = live[run.Random().Below(live.size())];
  run.RecordFault(ChaosFault::kStop, worker);
  const FaultRunSide::StopShape stop = run.Stop();
  std::uint64_t ms =
      stop.min_ms + run.Random().Below(stop.max_ms - stop.min_ms);
  if (stop.lease_ms == 0) {
    run.StopWorker(worker, ms * kMillis);
    return;
  }
  if (!stop.given) ms = std::uint64_t(stop.lease_ms) * 3 / 2;
  run.StopWorkerHolding(worker, ms * kMillis);
}

// remove-files and remove-folder: a cleaner that ignores the folder's lock
// removes the lock files, or the whole folder, between holds; then a worker
// is replaced by one that opens the names afresh, beside workers that kept
// the old files open.
void RemoveFilesOf(const std::string& locks) {
  std::vector<std::string> files;
  if (DIR* dir = opendir(locks.c_str())) {
    while (const struct dirent* entry = readdir(dir)) {
      if (entry->d_name[0] != '.') files.push_back(entry->d_name);
    }
    closedir(dir);
  }
  for (const auto& file : files) (void)unlink((locks + "/" + file).c_str());
}

void RemoveLockFiles(FaultRunSide& run) {
  run.RecordFault(ChaosFault::kRemoveFiles, 0);
  RemoveFilesOf(run.LockFolder());
  run.RenewWorker();
}

void RemoveLockFolder(FaultRunSide& run) {
  run.RecordFault(ChaosFault::kRemoveFolder, 0);
  (void)RemoveTree(run.LockFolder());
  run.RenewWorker();
}

// two-instances: the holder asks its process's other service instance for
// the name, which must answer busy.
HoldAfter AskOtherInstance(FaultWorkerSide& worker) {
  worker.RecordFault(ChaosFault::kTwoInstances);
  const ResultCode code =
      worker.Acquire(ChaosCall::kOtherInstance, Instance::kOther, false);
  if (code == kOk) {
    (void)worker.Release(ChaosCall::kOtherInstance, Instance::kOther);
  }
  worker.RecordCall(ChaosCall::kOtherInstance, code);
  return HoldAfter::kGoesOn;
}

// misuse: the holder asks again for the name it holds (would deadlock), and
// after its release gives it back a second time (not held).
HoldAfter AskAgain(FaultWorkerSide& worker) {
  worker.RecordFault(ChaosFault::kMisuse);
  const ResultCode code =
      worker.Acquire(ChaosCall::kAcquireAgain, Instance::kHolding, true);
  worker.RecordCall(ChaosCall::kAcquireAgain, code);
  // A lock that granted the name a second time is given that grant back,
  // as any caller would, before the hold goes on.
  if (code == kOk)
    (void)worker.Release(ChaosCall::kRelease, Instance::kHolding);
  return HoldAfter::kGoesOn;
}

void ReleaseAgain(FaultWorkerSide& worker) {
  worker.RecordFault(ChaosFault::kMisuse);
  worker.RecordCall(
      ChaosCall::kReleaseAgain,
      worker.Release(ChaosCall::kReleaseAgain, Instance::kHolding));
}

// fork-take: a holder forks and its child, alone in its process, takes
// another name for 50-500 ms. A lock whose child inherits its parent's
// locks (an open file description shared by fork) lets the child hold a
// name that a thread of the parent holds too.
HoldAfter ForkAndTake(FaultWorkerSide& worker) {
  worker.RecordFault(ChaosFault::kForkTake);
  const std::uint64_t pick = worker.Random().Next();
  worker.ForkTaking(pick, (50 + worker.Random().Below(451)) * kMillis);
  return HoldAfter::kGoesOn;
}

// orphan: a holder forks and is killed at once, alone; its child lives on
// 0.2-2 s without touching the lock. A lock kept by the child's inherited
// descriptor stays taken until the child ends (checker: "held by an
// orphan").
HoldAfter OrphanAndDie(FaultWorkerSide& worker) {
  worker.OrphanHolding(ChaosFault::kOrphan,
                       (200 + worker.Random().Below(1801)) * kMillis);
  return HoldAfter::kThreadEnds;  // not reached: the process is gone
}

// open-close: while the name is held, another thread of the process opens,
// reads and closes the lock folder's files. A per-process record lock is
// dropped by any close of its file in the process (fcntl(2)), so the hold
// goes on unprotected.
HoldAfter OpenAndCloseFiles(FaultWorkerSide& worker) {
  worker.RecordFault(ChaosFault::kOpenClose);
  worker.OpenCloseFiles();
  return HoldAfter::kGoesOn;
}

// remove-held: the same cleaner strikes while names are held (no gate), the
// files or the whole folder; then a worker, holding or not, is replaced by
// one that opens the names afresh. A holder keeps its old file open while a
// newcomer locks the new one: every lock kept on a file splits here.
void RemoveWhileHeld(FaultRunSide& run) {
  run.RecordFault(ChaosFault::kRemoveHeld, 0);
  if (run.Random().OneIn(2)) {
    RemoveFilesOf(run.LockFolder());
  } else {
    (void)RemoveTree(run.LockFolder());
  }
  run.RenewWorker();
}

// remove-ipc: at a user's logout the system may remove every IPC object the
// user made (semaphores, shared memory), held or not: here the lock's own
// cleanup removes what it made outside its folder while the workers live.
// The programs that run on keep what they opened; one started later (a
// worker renewed while it held nothing, so that its death takes no name
// with it) makes the objects afresh, beside them.
void RemoveOutsideFolder(FaultRunSide& run) {
  run.RecordFault(ChaosFault::kRemoveIpc, 0);
  run.RemoveOutside();
  run.RenewIdleWorker();
}

// kill-anywhere: the run SIGKILLs a worker wherever it is: inside an
// acquisition, a release, a wait, a hold, or between them.
void KillAnyWorker(FaultRunSide& run) {
  const std::vector<pid_t> live = run.Workers();
  if (live.empty()) return;
  const pid_t worker = live[run.Random().Below(live.size())];
  run.RecordFault(ChaosFault::kKillAnywhere, worker);
  run.KillWorker(worker);
}

// spawn: the holder starts a child that lives on after the release; a sound
// lock does not pass the hold to it (chaos/checker.h judges the wait after).
HoldAfter SpawnChild(FaultWorkerSide& worker) {
  worker.SpawnHolding(ChaosFault::kSpawn);
  return HoldAfter::kGoesOn;
}

// server-pause: the lock's server stops answering (SIGSTOP to its group)
// past the lease, then goes on. Clients wait or time out meanwhile; a
// lease kept by the clock has run out when the server looks again, and the
// next caller may take a name whose holder still goes on.
void PauseTheServer(FaultRunSide& run) {
  run.PauseServer(ServerStrikeMs(run.Stop().lease_ms) * kMillis);
}

// server-restart: the server dies (SIGKILL to its group) and starts again
// on its data. What it kept of the locks is what it wrote down: a server
// without persistence forgets every key, and a held name is free to the
// next caller; the holders' connections broke, and each client library
// reconnects or fails the calls.
void RestartTheServer(FaultRunSide& run) { run.RestartServer(); }

// cut-off: one worker's connections to the server stop passing bytes (its
// own loopback proxy freezes), past the lease, while it holds a name; then
// they go on, or are dropped (drawn). A lock kept by its connection
// (a session's) is given up by the server on the drop; one kept by a lease
// runs out meanwhile while the holder goes on as if it held it.
void CutOneWorkerOff(FaultRunSide& run) {
  const std::vector<pid_t> live = run.Workers();
  if (live.empty()) return;
  const pid_t worker = live[run.Random().Below(live.size())];
  const bool drop = run.Random().OneIn(2);
  run.CutOff(worker, ServerStrikeMs(run.Stop().lease_ms) * kMillis, drop);
}

// Every class strikes often enough that a run of a few seconds sees it
// strike dozens of times (a report card's cell ends after 30 strikes, and
// its verdict is worth as much as its count of them): a process kills
// itself about once in 180 holds whatever its thread count, a worker is
// stopped about every 100 ms once the last one went on, the lock files go
// about every 60 ms. The cheap faults strike more often still.
constexpr FaultClass kTable[] = {
    {.fault = ChaosFault::kThreadEnd,
     .name = "thread-end",
     .colour = "#7b3294",
     .marks_lanes = false,
     .site = FaultSite::kHold,
     .rate = {.one_in = 100},
     .on_hold = EndThreadHolding,
     .ends = FaultEnds::kThread,
     .greeting = "thread-end",
     .ours_survives = true},
    {.fault = ChaosFault::kKill,
     .name = "kill",
     .colour = "#000000",
     .marks_lanes = true,
     .site = FaultSite::kHold,
     .rate = {.one_in = 60, .per_thread = true},
     .on_hold = KillItselfHolding,
     .ends = FaultEnds::kProcess,
     .ours_survives = true},
    {.fault = ChaosFault::kFork,
     .name = "fork",
     .colour = "#1b7837",
     .marks_lanes = false,
     .site = FaultSite::kHold,
     .rate = {.one_in = 60},
     .on_hold = ForkHolding,
     .judges = CallBits({ChaosCall::kForkedRelease, ChaosCall::kForkedAcquire}),
     .greeting = "fork",
     .ours_survives = true},
    {.fault = ChaosFault::kStop,
     .name = "stop",
     .colour = "#b35806",
     .marks_lanes = false,
     .site = FaultSite::kWorker,
     .schedule = {.first_ms = 100, .every_ms = 10, .spread_ms = 20},
     .on_run = StopOneWorker,
     .ours_survives = true},
    {.fault = ChaosFault::kRemoveFiles,
     .name = "remove-files",
     .colour = "#2166ac",
     .marks_lanes = true,
     .site = FaultSite::kBetweenHolds,
     .schedule = {.first_ms = 100, .every_ms = 30, .spread_ms = 60},
     .on_run = RemoveLockFiles,
     .ours_survives = true},
    {.fault = ChaosFault::kRemoveFolder,
     .name = "remove-folder",
     .colour = "#053061",
     .marks_lanes = true,
     .site = FaultSite::kBetweenHolds,
     .schedule = {.first_ms = 100, .every_ms = 30, .spread_ms = 60},
     .on_run = RemoveLockFolder,
     .ours_survives = true},
    {.fault = ChaosFault::kTwoInstances,
     .name = "two-instances",
     .colour = "#8c510a",
     .marks_lanes = false,
     .site = FaultSite::kHold,
     .rate = {.one_in = 50},
     .on_hold = AskOtherInstance,
     .second_instance = true,
     .judges = CallBits({ChaosCall::kOtherInstance}),
     .greeting = "instances",
     .ours_survives = true},
    {.fault = ChaosFault::kMisuse,
     .name = "misuse",
     .colour = "#878787",
     .marks_lanes = false,
     .site = FaultSite::kHold,
     .rate = {.one_in = 50},
     .on_hold = AskAgain,
     .after_release = ReleaseAgain,
     .judges = CallBits({ChaosCall::kAcquireAgain, ChaosCall::kReleaseAgain}),
     .greeting = "misuse",
     .ours_survives = true},
    // Ours survives it: the child's fork handler closes every inherited lock
    // descriptor, so the child takes the name afresh and waits like anyone.
    // No request of the protocol forks for it: the word keeps adapters out.
    {.fault = ChaosFault::kForkTake,
     .name = "fork-take",
     .colour = "#4d9221",
     .marks_lanes = false,
     .site = FaultSite::kHold,
     .rate = {.one_in = 60},
     .on_hold = ForkAndTake,
     .greeting = "fork-take",
     .ours_survives = true},
    // Ours survives it: the child closed the inherited descriptors in the
    // fork, so the name is free the moment the parent dies. No request of
    // the protocol forks for it: the word keeps adapters out.
    {.fault = ChaosFault::kOrphan,
     .name = "orphan",
     .colour = "#c51b7d",
     .marks_lanes = true,
     .site = FaultSite::kHold,
     .rate = {.one_in = 60, .per_thread = true},
     .on_hold = OrphanAndDie,
     .ends = FaultEnds::kProcess,
     .greeting = "orphan",
     .ours_survives = true},
    // Ours survives it: its locks belong to open file descriptions, which
    // another descriptor's close leaves alone.
    {.fault = ChaosFault::kOpenClose,
     .name = "open-close",
     .colour = "#e08214",
     .marks_lanes = false,
     .site = FaultSite::kHold,
     .rate = {.one_in = 30},
     .on_hold = OpenAndCloseFiles,
     .greeting = "open-close",
     .ours_survives = true},
    {.fault = ChaosFault::kRemoveHeld,
     .name = "remove-held",
     .colour = "#4393c3",
     .marks_lanes = true,
     .site = FaultSite::kWorker,
     .schedule = {.first_ms = 100, .every_ms = 30, .spread_ms = 60},
     .on_run = RemoveWhileHeld},
    {.fault = ChaosFault::kRemoveIpc,
     .name = "remove-ipc",
     .colour = "#d6604d",
     .marks_lanes = true,
     .site = FaultSite::kWorker,
     .schedule = {.first_ms = 100, .every_ms = 30, .spread_ms = 60},
     .on_run = RemoveOutsideFolder,
     .outside_folder = true},
    {.fault = ChaosFault::kKillAnywhere,
     .name = "kill-anywhere",
     .colour = "#404040",
     .marks_lanes = true,
     .site = FaultSite::kWorker,
     .schedule = {.first_ms = 100, .every_ms = 30, .spread_ms = 60},
     .on_run = KillAnyWorker,
     .ours_survives = true},
    // Ours survives it: its descriptors are close-on-exec, so the child
    // keeps nothing of the hold.
    {.fault = ChaosFault::kSpawn,
     .name = "spawn",
     .colour = "#01665e",
     .marks_lanes = false,
     .site = FaultSite::kHold,
     .rate = {.one_in = 30},
     .on_hold = SpawnChild,
     .greeting = "spawn",
     .ours_survives = true},
    // The three strikes on the lock's server come round about every second
    // once the last one went on: a pause or a cut lasts 1.5 times the lease
    // (3 s without one), a restart as long as the server takes to start.
    {.fault = ChaosFault::kServerPause,
     .name = "server-pause",
     .colour = "#8073ac",
     .marks_lanes = false,
     .site = FaultSite::kWorker,
     .schedule = {.first_ms = 300, .every_ms = 500, .spread_ms = 1000},
     .on_run = PauseTheServer,
     .needs_server = true},
    {.fault = ChaosFault::kServerRestart,
     .name = "server-restart",
     .colour = "#542788",
     .marks_lanes = true,
     .site = FaultSite::kWorker,
     .schedule = {.first_ms = 300, .every_ms = 500, .spread_ms = 1000},
     .on_run = RestartTheServer,
     .needs_server = true},
    {.fault = ChaosFault::kCutOff,
     .name = "cut-off",
     .colour = "#fdb863",
     .marks_lanes = false,
     .site = FaultSite::kWorker,
     .schedule = {.first_ms = 300, .every_ms = 500, .spread_ms = 1000},
     .on_run = CutOneWorkerOff,
     .needs_server = true},
};

// Every entry in its place, named and coloured, with the strike and the
// rate or schedule its site needs.
constexpr bool Complete() {
  for (std::size_t i = 0; i < std::size(kTable); ++i) {
    const FaultClass& c = kTable[i];
    if (static_cast<std::size_t>(c.fault) != i || c.name == nullptr ||
        c.colour == nullptr) {
      return false;
    }
    const bool sound =
        c.site == FaultSite::kHold
            ? c.on_hold != nullptr && c.rate.one_in > 0 && c.on_run == nullptr
            : c.on_run != nullptr && c.on_hold == nullptr &&
                  c.after_release == nullptr &&
                  c.schedule.every_ms + c.schedule.spread_ms > 0;
    if (!sound) return false;
  }
  return true;
}
static_assert(std::size(kTable) == kFaultCount,
              "one entry per ChaosFault (chaos/history.h)");
static_assert(Complete(), "entries in ChaosFault order, each complete");

// The draw of `c` for one hold: true when it strikes.
bool Draw(const FaultClass& c, int threads, ChaosRandom& random) {
  return random.OneIn(c.rate.one_in *
                      (c.rate.per_thread ? std::uint64_t(threads) : 1));
}

}  // namespace

std::span<const FaultClass> FaultTable() { return kTable; }

const FaultClass& FaultOf(ChaosFault fault) {
  return kTable[static_cast<int>(fault)];
}

const FaultClass* FindFault(std::string_view name) {
  for (const FaultClass& c : kTable) {
    if (name == c.name) return &c;
  }
  return nullptr;
}

FaultSet FaultsOursSurvives() {
  FaultSet set = 0;
  for (const FaultClass& c : kTable) {
    if (c.ours_survives) set |= FaultBit(c.fault);
  }
  return set;
}

FaultSet FaultsOutsideFolder() {
  FaultSet set = 0;
  for (const FaultClass& c : kTable) {
    if (c.outside_folder) set |= FaultBit(c.fault);
  }
  return set;
}

FaultSet FaultsNeedingServer() {
  FaultSet set = 0;
  for (const FaultClass& c : kTable) {
    if (c.needs_server) set |= FaultBit(c.fault);
  }
  return set;
}

const FaultClass* FaultJudging(ChaosCall call) {
  for (const FaultClass& c : kTable) {
    if ((c.judges >> static_cast<int>(call)) & 1u) return &c;
  }
  return nullptr;
}

std::string FaultNames(FaultSet set, const char* separator) {
  std::string names;
  for (const FaultClass& c : kTable) {
    if (!Has(set, c.fault)) continue;
    if (!names.empty()) names += separator;
    names += c.name;
  }
  return names.empty() ? "none" : names;
}

bool ParseFaults(const std::string& text, FaultListFor use, FaultList* list,
                 std::string* error) {
  const bool card = use == FaultListFor::kCard;
  FaultList read;
  if (text == "all") {
    if (card) read.columns.push_back("none");
    for (const FaultClass& c : kTable) {
      if (card) read.columns.push_back(c.name);
    }
    if (!card) read.set = FaultsOursSurvives();
    *list = read;
    return true;
  }
  read.set = 0;
  read.named = true;
  if (text == "none" && !card) {
    *list = read;
    return true;
  }
  for (std::size_t at = 0;;) {
    const std::size_t comma = text.find(',', at);
    const std::string word = text.substr(at, comma - at);
    const FaultClass* c = FindFault(word);
    if (c == nullptr && !(card && word == "none")) {
      *error = "bad value for --faults: \"" + text + "\"";
      return false;
    }
    if (c != nullptr) read.set |= FaultBit(c->fault);
    if (card) read.columns.push_back(word);
    if (comma == text.npos) break;
    at = comma + 1;
  }
  *list = read;
  return true;
}

FaultSet FaultsGreeted(const std::set<std::string>& words) {
  FaultSet set = 0;
  for (const FaultClass& c : kTable) {
    if (c.outside_folder) continue;
    if (c.greeting == nullptr || words.count(c.greeting) > 0) {
      set |= FaultBit(c.fault);
    }
  }
  return set;
}

HoldAfter StrikeHold(FaultSet enabled, int threads, ChaosRandom& random,
                     FaultWorkerSide& worker) {
  for (int i = kFaultCount - 1; i >= 0; --i) {
    const FaultClass& c = kTable[i];
    if (c.site != FaultSite::kHold || !Has(enabled, c.fault)) continue;
    if (Draw(c, threads, random) &&
        c.on_hold(worker) == HoldAfter::kThreadEnds) {
      return HoldAfter::kThreadEnds;
    }
  }
  return HoldAfter::kGoesOn;
}

void StrikeAfterRelease(FaultSet enabled, ChaosRandom& random,
                        FaultWorkerSide& worker) {
  for (int i = kFaultCount - 1; i >= 0; --i) {
    const FaultClass& c = kTable[i];
    if (c.after_release == nullptr || !Has(enabled, c.fault)) continue;
    if (Draw(c, 1, random)) c.after_release(worker);
  }
}

const FaultSchedule* SiteSchedule(FaultSite site, FaultSet enabled) {
  for (const FaultClass& c : kTable) {
    if (c.site == site && Has(enabled, c.fault)) return &c.schedule;
  }
  return nullptr;
}

const FaultClass* DrawFault(FaultSite site, FaultSet enabled,
                            ChaosRandom& random) {
  std::vector<const FaultClass*> candidates;
  for (const FaultClass& c : kTable) {
    if (c.site == site && Has(enabled, c.fault)) candidates.push_back(&c);
  }
  // From the last: the k-th of k candidates wins one time in k, else the
  // draw goes on among the k - 1 before it; each wins one time in n.
  for (std::size_t k = candidates.size(); k > 1; --k) {
    if (random.OneIn(k)) return candidates[k - 1];
  }
  return candidates.empty() ? nullptr : candidates[0];
}

}  // namespace wendlemoor
