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
void StopOneWorker(FaultRunSide& run) {
  const std::vector<pid_t> live = run.Workers();
  if (live.empty()) return;
  const pid_t worker = live[run.Random().Below(live.size())];
  run.RecordFault(ChaosFault::kStop, worker);
  run.StopWorker(worker, (10 + run.Random().Below(140)) * kMillis);
}

// remove-files and remove-folder: a cleaner that ignores the folder's lock
// removes the lock files, or the whole folder, between holds; then a worker
// is replaced by one that opens the names afresh, beside workers that kept
// the old files open.
void RemoveLockFiles(FaultRunSide& run) {
  run.RecordFault(ChaosFault::kRemoveFiles, 0);
  const std::string locks = run.LockFolder();
  std::vector<std::string> files;
  if (DIR* dir = opendir(locks.c_str())) {
    while (const struct dirent* entry = readdir(dir)) {
      if (entry->d_name[0] != '.') files.push_back(entry->d_name);
    }
    closedir(dir);
  }
  for (const auto& file : files) (void)unlink((locks + "/" + file).c_str());
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

// spawn: the holder starts a child that lives on after the release; a sound
// lock does not pass the hold to it (chaos/checker.h judges the wait after).
HoldAfter SpawnChild(FaultWorkerSide& worker) {
  worker.SpawnHolding(ChaosFault::kSpawn);
  return HoldAfter::kGoesOn;
}

// A process kills itself about once in a few seconds whatever its thread
// count; the cheap faults strike often, fork and thread-end seldom.
constexpr FaultClass kTable[] = {
    {.fault = ChaosFault::kThreadEnd,
     .name = "thread-end",
     .colour = "#7b3294",
     .marks_lanes = false,
     .site = FaultSite::kHold,
     .rate = {.one_in = 1000},
     .on_hold = EndThreadHolding,
     .ends = FaultEnds::kThread,
     .greeting = "thread-end"},
    {.fault = ChaosFault::kKill,
     .name = "kill",
     .colour = "#000000",
     .marks_lanes = true,
     .site = FaultSite::kHold,
     .rate = {.one_in = 300, .per_thread = true},
     .on_hold = KillItselfHolding,
     .ends = FaultEnds::kProcess},
    {.fault = ChaosFault::kFork,
     .name = "fork",
     .colour = "#1b7837",
     .marks_lanes = false,
     .site = FaultSite::kHold,
     .rate = {.one_in = 300},
     .on_hold = ForkHolding,
     .judges = CallBits({ChaosCall::kForkedRelease, ChaosCall::kForkedAcquire}),
     .greeting = "fork"},
    {.fault = ChaosFault::kStop,
     .name = "stop",
     .colour = "#b35806",
     .marks_lanes = false,
     .site = FaultSite::kWorker,
     .schedule = {.first_ms = 300, .every_ms = 200, .spread_ms = 600},
     .on_run = StopOneWorker},
    {.fault = ChaosFault::kRemoveFiles,
     .name = "remove-files",
     .colour = "#2166ac",
     .marks_lanes = true,
     .site = FaultSite::kBetweenHolds,
     .schedule = {.first_ms = 500, .every_ms = 500, .spread_ms = 1000},
     .on_run = RemoveLockFiles},
    {.fault = ChaosFault::kRemoveFolder,
     .name = "remove-folder",
     .colour = "#053061",
     .marks_lanes = true,
     .site = FaultSite::kBetweenHolds,
     .schedule = {.first_ms = 500, .every_ms = 500, .spread_ms = 1000},
     .on_run = RemoveLockFolder},
    {.fault = ChaosFault::kTwoInstances,
     .name = "two-instances",
     .colour = "#8c510a",
     .marks_lanes = false,
     .site = FaultSite::kHold,
     .rate = {.one_in = 50},
     .on_hold = AskOtherInstance,
     .second_instance = true,
     .judges = CallBits({ChaosCall::kOtherInstance}),
     .greeting = "instances"},
    {.fault = ChaosFault::kMisuse,
     .name = "misuse",
     .colour = "#878787",
     .marks_lanes = false,
     .site = FaultSite::kHold,
     .rate = {.one_in = 50},
     .on_hold = AskAgain,
     .after_release = ReleaseAgain,
     .judges = CallBits({ChaosCall::kAcquireAgain, ChaosCall::kReleaseAgain}),
     .greeting = "misuse"},
    {.fault = ChaosFault::kSpawn,
     .name = "spawn",
     .colour = "#01665e",
     .marks_lanes = false,
     .site = FaultSite::kHold,
     .rate = {.one_in = 100},
     .on_hold = SpawnChild,
     .greeting = "spawn"},
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
