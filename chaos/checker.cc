#include "chaos/checker.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <map>
#include <tuple>

#include "chaos/control.h"
#include "chaos/fault.h"
#include "components/result_code.h"

namespace wendlemoor {

namespace {

// How many indeterminate holds are described; every finding is.
constexpr std::size_t kIndeterminateExamplesMax = 5;
// How long a caller must have been asking, while an orphan lived and
// nobody held its dead parent's name, for the name to count as the
// orphan's: far longer than a sound lock takes to hand a free name over.
constexpr std::uint64_t kOrphanAskedNanos = 100000000;

std::string Format(const char* format, auto... arguments) {
  char line[256];
  std::snprintf(line, sizeof line, format, arguments...);
  return line;
}

double Millis(std::uint64_t nanos) { return double(nanos) / 1e6; }

// The only code each judged call may return.
bool Promised(ChaosCall call, ResultCode code) {
  switch (call) {
    case ChaosCall::kAcquireWait:
      return false;  // a blocking acquisition returns kOk, recorded as a hold
    case ChaosCall::kAcquireNoWait:
    case ChaosCall::kOtherInstance:
    case ChaosCall::kForkedAcquire:
      return code == kErrorLockBusy;
    case ChaosCall::kRelease:
      return code == kOk;
    case ChaosCall::kAcquireAgain:
      return code == kErrorLockWouldDeadlock;
    case ChaosCall::kReleaseAgain:
    case ChaosCall::kForkedRelease:
      return code == kErrorLockNotHeld;
  }
  return false;
}

}  // namespace

const char* ChaosCallText(ChaosCall call) {
  switch (call) {
    case ChaosCall::kAcquireWait:
      return "blocking acquisition";
    case ChaosCall::kAcquireNoWait:
      return "wait-0 acquisition";
    case ChaosCall::kRelease:
      return "release";
    case ChaosCall::kAcquireAgain:
      return "holder's second acquisition";
    case ChaosCall::kReleaseAgain:
      return "second release";
    case ChaosCall::kOtherInstance:
      return "holder's acquisition through its other instance";
    case ChaosCall::kForkedRelease:
      return "forked child's release of its parent's hold";
    case ChaosCall::kForkedAcquire:
      return "forked child's acquisition of its parent's hold";
  }
  return "call";
}

std::string ChaosCodeText(std::uint32_t code) {
  switch (code) {
    case kOk:
      return "kOk";
    case kErrorInvalidArgument:
      return "kErrorInvalidArgument";
    case kErrorOutOfMemory:
      return "kErrorOutOfMemory";
    case kErrorLockBusy:
      return "kErrorLockBusy";
    case kErrorLockWouldDeadlock:
      return "kErrorLockWouldDeadlock";
    case kErrorLockNotHeld:
      return "kErrorLockNotHeld";
    case kErrorLockFolderUnusable:
      return "kErrorLockFolderUnusable";
  }
  if (IsSystemError(code)) {
    if (const char* name = strerrorname_np(int(code & 0xFFFFu))) return name;
  }
  return Format("%x", code);
}

namespace {

class Checker {
 public:
  Checker(std::size_t names, std::uint64_t bound, const std::string& folder)
      : bound_(bound), folder_(folder) {
    result_.figures.holds_per_name.assign(names, 0);
    busy_last_.assign(names, 0);
    busy_times_.resize(names);
    hung_on_.assign(names, false);
  }

  ChaosCheck Run(const std::vector<ChaosRecord>& history) {
    if (!history.empty()) {
      result_.figures.start = history.front().time;
      result_.figures.end = history.back().time;
    }
    result_.figures.until = result_.figures.end;
    for (const ChaosRecord& record : history) Take(record);
    for (const auto& [key, index] : open_) {
      ChaosHold& hold = result_.holds[index];
      hold.end = hold.certain = result_.figures.end;
      ++result_.verdict.never_ended;
      Example("a hold of name %u by process %d from %.3f s never ended",
              hold.name, hold.pid, Seconds(hold.start));
    }
    FindOverlaps();
    FindUnusable();
    FindOrphans();
    CountHandovers();
    Waits();
    return std::move(result_);
  }

 private:
  using Key = std::tuple<std::int32_t, std::uint32_t, std::uint16_t>;

  double Seconds(std::uint64_t time) const {
    return double(time - result_.figures.start) / 1e9;
  }

  void Example(const char* format, auto... arguments) {
    result_.verdict.examples.push_back(Format(format, arguments...));
  }

  // The name's file as far as the run knew it, or the name alone.
  std::string NameText(std::uint16_t name) const {
    return folder_.empty() ? ChaosLockName(name)
                           : folder_ + "/" + ChaosLockName(name);
  }

  // Ends the open holds that `match` selects: for certain at `certain`, and
  // at the latest at `time`.
  template <typename Match>
  void EndWhere(std::uint64_t time, std::uint64_t certain, Match match) {
    for (auto it = open_.begin(); it != open_.end();) {
      if (!match(it->first)) {
        ++it;
        continue;
      }
      ChaosHold& hold = result_.holds[it->second];
      hold.end = time;
      hold.certain = std::max(hold.start, std::min(certain, time));
      hold.ended = true;
      hold.gone = true;
      it = open_.erase(it);
    }
  }
  // Ends the holds of `pid`, and those of the children it forked
  // (kForkedChild), which die with it: each child's for certain up to its
  // own last record at least.
  void EndProcess(std::uint64_t time, std::uint64_t certain, std::int32_t pid) {
    EndWhere(time, certain,
             [pid](const Key& k) { return std::get<0>(k) == pid; });
    EndChildren(time, certain, pid);
  }

  void EndChildren(std::uint64_t time, std::uint64_t certain,
                   std::int32_t pid) {
    std::vector<std::int32_t> children;
    for (const auto& [child, parent] : parent_of_) {
      if (parent == pid) children.push_back(child);
    }
    for (const std::int32_t child : children) {
      const auto last = last_record_.find(child);
      const std::uint64_t sure = last == last_record_.end()
                                     ? certain
                                     : std::max(certain, last->second);
      for (auto it = open_.begin(); it != open_.end();) {
        if (std::get<0>(it->first) != child) {
          ++it;
          continue;
        }
        ChaosHold& hold = result_.holds[it->second];
        hold.end = time;
        hold.certain = std::max(hold.start, std::min(sure, time));
        hold.ended = hold.gone = true;
        it = open_.erase(it);
      }
    }
  }

  void Take(const ChaosRecord& r) {
    switch (r.event) {
      case ChaosEvent::kHoldStart:
        TakeHoldStart(r);
        break;
      case ChaosEvent::kHoldEnd:
        if (const auto it = open_.find({r.pid, r.thread, r.name});
            it != open_.end()) {
          ChaosHold& hold = result_.holds[it->second];
          hold.end = hold.certain = r.time;
          hold.ended = true;
          open_.erase(it);
        }
        break;
      case ChaosEvent::kCall:
        TakeCall(r);
        break;
      case ChaosEvent::kFault:
        TakeFault(r);
        break;
      case ChaosEvent::kWorkerExit:
        TakeExit(r);
        break;
      case ChaosEvent::kWorkerStuck:
        ++result_.verdict.failed_workers;
        // A worker whose hung calls were recorded needs no line of its own.
        if (std::int32_t(r.value) == last_hung_pid_) break;
        Example("worker %d had not finished long after the end; killed",
                int(r.value));
        break;
      case ChaosEvent::kInterrupted:
        result_.verdict.interrupted = true;
        EndWhere(r.time, r.time, [](const Key&) { return true; });
        break;
      case ChaosEvent::kCallHung:
        TakeHung(r);
        break;
      case ChaosEvent::kWorkerRenewed:  // the kill follows at once
      case ChaosEvent::kWorkerKilled:
        killed_at_[std::int32_t(r.value)] = r.time;
        break;
      case ChaosEvent::kAdapterFailed:
        // Its holds end here; its exit with a failure counts it as failed.
        EndProcess(r.time, r.time, r.pid);
        Example("worker %d gave up at %.3f s: its adapter %s", int(r.pid),
                Seconds(r.time),
                AdapterFaultText(static_cast<AdapterFault>(r.code)));
        break;
      case ChaosEvent::kRunStart:
        if (r.value > r.time) {
          result_.figures.until = std::min(result_.figures.until, r.value);
        }
        break;
      case ChaosEvent::kEndedEarly:
        result_.figures.until = std::min(result_.figures.until, r.value);
        break;
      case ChaosEvent::kRunEnd:
        break;
      case ChaosEvent::kForkedChild:
        parent_of_[r.pid] = std::int32_t(r.value);
        break;
      case ChaosEvent::kHoldToken:
        if (const auto it = open_.find({r.pid, r.thread, r.name});
            it != open_.end() && !result_.holds[it->second].has_token) {
          ChaosHold& hold = result_.holds[it->second];
          hold.has_token = true;
          hold.token = r.value;
          ++result_.verdict.tokens;
        }
        break;
      case ChaosEvent::kOrphanEnd:
        for (Orphan& orphan : orphans_) {
          if (orphan.parent == std::int32_t(r.value) && orphan.name == r.name &&
              orphan.end == 0) {
            orphan.end = r.time;
          }
        }
        break;
    }
    last_record_[r.pid] = r.time;
  }

  void TakeHoldStart(const ChaosRecord& r) {
    ChaosFigures& figures = result_.figures;
    if (r.name >= figures.holds_per_name.size()) return;
    ++figures.acquisitions;
    ++figures.holds_per_name[r.name];
    if (r.wait) waits_.push_back(r.value);
    open_[{r.pid, r.thread, r.name}] = result_.holds.size();
    result_.holds.push_back(
        {r.time, r.time, r.pid, r.name, false, false, false, r.thread, r.time});
    starts_.push_back(r.time - std::min(r.value, r.time));
  }

  void TakeCall(const ChaosRecord& r) {
    ChaosFigures& figures = result_.figures;
    const auto call = static_cast<ChaosCall>(r.call);
    if (r.call < kChaosCalls) ++figures.calls[r.call];
    if (call == ChaosCall::kAcquireNoWait || call == ChaosCall::kAcquireWait) {
      ++figures.acquisitions;
    }
    if (call == ChaosCall::kAcquireNoWait && r.code == kErrorLockBusy) {
      ++figures.busy;
      if (r.name < busy_last_.size()) {
        busy_last_[r.name] = r.time;
        busy_times_[r.name].push_back(r.time);
      }
    }
    if (Promised(call, r.code)) return;
    ChaosVerdict& verdict = result_.verdict;
    ++verdict.wrong_codes;
    if (r.call < kChaosCalls && verdict.wrong_by_call[r.call]++ == 0) {
      verdict.first_wrong_code[r.call] = r.code;
    }
    Example("%s of name %u by process %d at %.3f s returned %x",
            ChaosCallText(call), r.name, r.pid, Seconds(r.time), r.code);
  }

  // A fault ends the holds its class ends (FaultClass::ends).
  void TakeFault(const ChaosRecord& r) {
    if (r.call >= kFaultCount) return;
    ++result_.figures.faults[r.call];
    if (static_cast<ChaosFault>(r.call) == ChaosFault::kOrphan &&
        r.name < busy_times_.size()) {
      orphans_.push_back({r.pid, r.name, r.time, 0});
    }
    if (static_cast<ChaosFault>(r.call) == ChaosFault::kSpawn) {
      if (const auto it = open_.find({r.pid, r.thread, r.name});
          it != open_.end()) {
        ChaosHold& hold = result_.holds[it->second];
        hold.child_until = std::max(hold.child_until, r.time + r.value);
      }
    }
    switch (FaultOf(static_cast<ChaosFault>(r.call)).ends) {
      case FaultEnds::kNone:
        break;
      case FaultEnds::kThread:
        EndWhere(r.time, r.time, [&](const Key& k) {
          return std::get<0>(k) == r.pid && std::get<1>(k) == r.thread;
        });
        break;
      case FaultEnds::kProcess:
        EndProcess(r.time, r.time, r.pid);
        killed_at_[r.pid] = r.time;
        break;
    }
  }

  // A worker ended, and its holds still open with it. One that killed
  // itself held them until that record (its fault ended them already); one
  // that the run killed, for certain until the kill's record (or a later one
  // of its own); one that died otherwise, for certain only until its last
  // record. Those two perhaps held them until now, when the run saw it dead.
  void TakeExit(const ChaosRecord& r) {
    const auto pid = std::int32_t(r.value);
    const auto kill = killed_at_.find(pid);
    const bool killed = kill != killed_at_.end() && r.code == std::uint32_t(-9);
    const std::uint64_t last = last_record_[pid];
    const std::uint64_t certain = killed ? std::max(kill->second, last) : last;
    EndProcess(r.time, certain, pid);
    // The process ID may come again, for another worker or child.
    killed_at_.erase(pid);
    last_record_.erase(pid);
    for (auto it = parent_of_.begin(); it != parent_of_.end();) {
      it = it->second == pid || it->first == pid ? parent_of_.erase(it)
                                                 : std::next(it);
    }
    if (r.code == 0 || killed) return;
    ++result_.verdict.failed_workers;
    ++result_.verdict.crashed_workers;
    Example("worker %d ended with status %d at %.3f s", int(pid), int(r.code),
            Seconds(r.time));
  }

  void TakeHung(const ChaosRecord& r) {
    ++result_.verdict.hung;
    last_hung_pid_ = std::int32_t(r.value);
    if (r.call < kChaosCalls) ++result_.verdict.hung_by_call[r.call];
    // One example per name: behind a name never freed, every thread hangs
    // the same way.
    if (r.name >= hung_on_.size() || hung_on_[r.name]) return;
    hung_on_[r.name] = true;
    Example("%s of name %u by process %d thread %u hung (%.1f s)",
            ChaosCallText(static_cast<ChaosCall>(r.call)), r.name, int(r.value),
            r.thread, double(r.code) / 1e3);
  }

  // Sweeps the holds in order of start, keeping for each name the hold that
  // lasts longest and the one that lasts longest for certain. A hold that
  // begins before the certain end overlaps; one that begins after it but
  // before the latest end is indeterminate.
  // Not inlined: g++ 12, inlining it into Run, warns falsely that its
  // vectors are freed at an offset (-Wfree-nonheap-object).
  [[gnu::noinline]] void FindOverlaps() {
    const std::size_t names = result_.figures.holds_per_name.size();
    std::vector<std::size_t> longest(names, SIZE_MAX);
    std::vector<std::size_t> surest(names, SIZE_MAX);
    std::vector<std::vector<Seen>> seen(names);
    std::vector<ChaosHold>& holds = result_.holds;
    for (std::size_t i = 0; i < holds.size(); ++i) {
      ChaosHold& hold = holds[i];
      const std::size_t any = longest[hold.name], sure = surest[hold.name];
      if (sure != SIZE_MAX && hold.start < holds[sure].certain) {
        Overlap(hold, holds[sure], starts_[i]);
      } else {
        if (any != SIZE_MAX && hold.start < holds[any].end) {
          Indeterminate(hold, holds[any]);
        }
        if (hold.has_token) Backwards(hold, starts_[i], seen[hold.name]);
      }
      if (hold.has_token) {
        std::vector<Seen>& name_seen = seen[hold.name];
        const bool greatest =
            name_seen.empty() ||
            hold.token > holds[name_seen.back().greatest].token;
        name_seen.push_back(
            {hold.start, greatest ? i : name_seen.back().greatest});
      }
      if (any == SIZE_MAX || hold.end >= holds[any].end) longest[hold.name] = i;
      if (sure == SIZE_MAX || hold.certain >= holds[sure].certain) {
        surest[hold.name] = i;
      }
    }
  }

  // A hold of a name with a token, at its start, and the hold with the
  // greatest token of the name that had begun by then.
  struct Seen {
    std::uint64_t start;
    std::size_t greatest;  // index into holds
  };

  // `hold` began, its caller having asked at `asked`, while `other` went on.
  void Overlap(ChaosHold& hold, ChaosHold& other, std::uint64_t asked) {
    ChaosVerdict& verdict = result_.verdict;
    ++verdict.overlaps;
    hold.overlaps = other.overlaps = true;
    std::string tokens;
    if (hold.has_token && other.has_token) {
      // Asked after `other` began, `hold` was granted after it, and must
      // carry the greater token; otherwise the tokens tell the order.
      const bool granted_later = asked >= other.start;
      const bool fenced = hold.token > other.token ||
                          (!granted_later && hold.token < other.token);
      if (fenced) ++verdict.fenced;
      tokens = Format(", tokens %" PRIu64 " then %" PRIu64 "%s", other.token,
                      hold.token, fenced ? " (fenced)" : " (not fenced)");
    } else if (hold.has_token || other.has_token) {
      tokens = ", one without a token (not fenced)";
    }
    verdict.examples.push_back(
        NameText(hold.name) +
        Format(" held by %d:%u and %d:%u at once at %.3f s", other.pid,
               other.thread, hold.pid, hold.thread, Seconds(hold.start)) +
        tokens);
  }

  // A hold that overlaps none, whose caller asked at `asked`: its token
  // went backwards when a hold of the name that had begun by then had a
  // greater one (`seen`, in order of start).
  void Backwards(const ChaosHold& hold, std::uint64_t asked,
                 const std::vector<Seen>& seen) {
    const auto after = std::upper_bound(
        seen.begin(), seen.end(), asked,
        [](std::uint64_t time, const Seen& s) { return time < s.start; });
    if (after == seen.begin()) return;
    const ChaosHold& greater = result_.holds[std::prev(after)->greatest];
    if (greater.token <= hold.token) return;
    ++result_.verdict.backwards;
    result_.verdict.examples.push_back(
        NameText(hold.name) +
        Format(" token went backwards: %" PRIu64 " to %d:%u at %.3f s, after "
               "%" PRIu64 " to %d:%u at %.3f s",
               hold.token, hold.pid, hold.thread, Seconds(hold.start),
               greater.token, greater.pid, greater.thread,
               Seconds(greater.start)));
  }

  void Indeterminate(const ChaosHold& hold, const ChaosHold& dead) {
    ChaosVerdict& verdict = result_.verdict;
    ++verdict.indeterminate;
    if (verdict.indeterminate_examples.size() >= kIndeterminateExamplesMax) {
      return;
    }
    verdict.indeterminate_examples.push_back(
        NameText(hold.name) +
        Format(" taken by %d:%u at %.3f s; its holder %d:%u was last heard "
               "of at %.3f s and seen dead at %.3f s",
               hold.pid, hold.thread, Seconds(hold.start), dead.pid,
               dead.thread, Seconds(dead.certain), Seconds(dead.end)));
  }

  // After a hold that ended with its holder, the next hold of the name must
  // come within the bound of when its holder began to wait; after one that
  // its holder gave back, JudgeKept judges it. A name whose
  // last holder is gone and that nobody held again is unusable when a call
  // on it hung, or it was answered busy later than the bound after.
  void FindUnusable() {
    std::vector<std::size_t> previous(result_.figures.holds_per_name.size(),
                                      SIZE_MAX);
    std::vector<std::uint64_t> frees;
    ChaosVerdict& verdict = result_.verdict;
    for (std::size_t i = 0; i < result_.holds.size(); ++i) {
      const ChaosHold& hold = result_.holds[i];
      const std::size_t p = previous[hold.name];
      previous[hold.name] = i;
      if (p == SIZE_MAX) continue;
      if (!result_.holds[p].gone) {
        JudgeKept(result_.holds[p], hold, starts_[i]);
        continue;
      }
      const std::uint64_t from = std::max(result_.holds[p].end, starts_[i]);
      const std::uint64_t took = hold.start > from ? hold.start - from : 0;
      frees.push_back(took);
      if (took > bound_) {
        ++verdict.unusable;
        verdict.unusable_max = std::max(verdict.unusable_max, took);
        Example("name %u unusable for %.0f ms after its holder %d was gone",
                hold.name, Millis(took), result_.holds[p].pid);
      }
    }
    for (std::size_t name = 0; name < previous.size(); ++name) {
      const std::size_t p = previous[name];
      if (p == SIZE_MAX || !result_.holds[p].gone) continue;
      const std::uint64_t gone = result_.holds[p].end;
      const bool busy_after = busy_last_[name] > gone + bound_;
      if (!hung_on_[name] && !busy_after) continue;
      const std::uint64_t until =
          hung_on_[name] ? result_.figures.end : busy_last_[name];
      ++verdict.unusable;
      verdict.unusable_max = std::max(verdict.unusable_max, until - gone);
      Example("name %zu never freed after its holder %d was gone (%.1f s)",
              name, result_.holds[p].pid, double(until - gone) / 1e9);
    }
    if (frees.empty()) return;
    std::sort(frees.begin(), frees.end());
    result_.figures.freed = frees.size();
    result_.figures.free_p50 = frees[(frees.size() - 1) / 2];
    result_.figures.free_max = frees.back();
  }

  // A holder killed by the orphan fault (at `death`) left a child that
  // lived on until `end`, touching no lock. Its parent's name is held by
  // that orphan when nobody took it before the orphan ended although
  // someone asked for it long enough while the orphan lived: a caller
  // waiting that long before the orphan's end, or a busy answer. A sound
  // lock hands the name over at the death; a wait that goes on past the
  // orphan's end is the dead holder's slow exit (a large process takes a
  // while to tear down), which an orphan cut short by the run's end would
  // otherwise be blamed for.
  void FindOrphans() {
    ChaosVerdict& verdict = result_.verdict;
    const std::vector<ChaosHold>& holds = result_.holds;
    for (const Orphan& orphan : orphans_) {
      const std::uint64_t end =
          orphan.end != 0 ? orphan.end : result_.figures.end;
      std::size_t next = holds.size();
      for (std::size_t i = 0; i < holds.size() && next == holds.size(); ++i) {
        if (holds[i].name == orphan.name && holds[i].start > orphan.death) {
          next = i;
        }
      }
      const std::uint64_t taken =
          next < holds.size() ? holds[next].start : result_.figures.end;
      if (taken < end) continue;  // someone had it while the orphan lived
      const std::uint64_t asked =
          next < holds.size() ? std::max(starts_[next], orphan.death) : taken;
      bool kept = end > asked && end - asked >= kOrphanAskedNanos;
      for (const std::uint64_t busy : busy_times_[orphan.name]) {
        kept = kept || (busy >= orphan.death + kOrphanAskedNanos && busy < end);
      }
      if (!kept) continue;
      ++verdict.orphaned;
      verdict.orphaned_max =
          std::max(verdict.orphaned_max, taken - orphan.death);
      result_.verdict.examples.push_back(
          NameText(orphan.name) +
          Format(" held by an orphan of process %d for %.3f s after that "
                 "holder's death at %.3f s",
                 orphan.parent, double(taken - orphan.death) / 1e9,
                 Seconds(orphan.death)));
    }
  }

  // A hold is a contended handover when its caller asked while another
  // thread held the name and got it once that hold had ended: the lock
  // passed the name from one holder to a waiter, the moment plain
  // contention puts it to the test.
  void CountHandovers() {
    std::vector<std::size_t> previous(result_.figures.holds_per_name.size(),
                                      SIZE_MAX);
    for (std::size_t i = 0; i < result_.holds.size(); ++i) {
      const ChaosHold& hold = result_.holds[i];
      const std::size_t p = previous[hold.name];
      previous[hold.name] = i;
      if (p == SIZE_MAX) continue;
      const ChaosHold& before = result_.holds[p];
      const bool other = before.pid != hold.pid || before.thread != hold.thread;
      if (other && starts_[i] < before.end && hold.start >= before.end) {
        ++result_.figures.handovers;
      }
    }
  }

  // After a spawning holder gave the name back, the next hold of the name
  // must come within kSpawnKeptBoundNanos of the release, or of when its
  // holder asked if later, whenever that was while the child may have
  // lived. (A holder that died or ended holding is judged as unusable.)
  // Out of line: inlined, it leads g++ 12 to a false free-nonheap-object
  // warning about FindOverlaps' vectors.
  [[gnu::noinline]] void JudgeKept(const ChaosHold& spawner,
                                   const ChaosHold& next, std::uint64_t asked) {
    if (spawner.child_until == 0 || !spawner.ended) return;
    const std::uint64_t from = std::max(spawner.end, asked);
    if (from >= spawner.child_until ||
        next.start <= from + kSpawnKeptBoundNanos) {
      return;
    }
    ChaosVerdict& verdict = result_.verdict;
    ++verdict.kept_by_child;
    verdict.kept_max = std::max(verdict.kept_max, next.start - from);
    Example(
        "name %u kept by a spawned child of %d:%u for %.1f s after its "
        "release at %.3f s",
        next.name, spawner.pid, spawner.thread, double(next.start - from) / 1e9,
        Seconds(spawner.end));
  }

  void Waits() {
    if (waits_.empty()) return;
    std::sort(waits_.begin(), waits_.end());
    ChaosFigures& figures = result_.figures;
    figures.wait_p50 = waits_[(waits_.size() - 1) / 2];
    figures.wait_p99 = waits_[(waits_.size() - 1) * 99 / 100];
    figures.wait_max = waits_.back();
  }

  const std::uint64_t bound_;
  const std::string folder_;  // the lock folder, or empty
  ChaosCheck result_;
  std::map<Key, std::size_t> open_;    // open holds: index into holds
  std::vector<std::uint64_t> starts_;  // when each hold's caller began
  std::vector<std::uint64_t> waits_;
  // Per process: the time of the SIGKILL recorded for it (its own or the
  // run's), and of its last record.
  std::map<std::int32_t, std::uint64_t> killed_at_;
  std::map<std::int32_t, std::uint64_t> last_record_;
  std::vector<std::uint64_t> busy_last_;  // per name: last busy answer
  std::int32_t last_hung_pid_ = 0;        // the worker of the last hung call
  std::vector<bool> hung_on_;             // per name: a call on it hung
  std::vector<std::vector<std::uint64_t>> busy_times_;  // per name
  // Forked children (kForkedChild) by process ID: their parent's.
  std::map<std::int32_t, std::int32_t> parent_of_;
  // Holders killed by the orphan fault: when, and when their child ended
  // (0 while unknown).
  struct Orphan {
    std::int32_t parent;
    std::uint16_t name;
    std::uint64_t death;
    std::uint64_t end;
  };
  std::vector<Orphan> orphans_;
};

}  // namespace

ChaosCheck CheckHistory(const std::vector<ChaosRecord>& history,
                        std::size_t names, std::uint64_t unusable_bound,
                        const std::string& lock_folder) {
  return Checker(names, unusable_bound, lock_folder).Run(history);
}

std::string VerdictLine(const ChaosVerdict& verdict) {
  const std::string indeterminate =
      verdict.indeterminate == 0
          ? ""
          : Format(" (%" PRIu64 " indeterminate)", verdict.indeterminate);
  if (verdict.clean()) {
    return (verdict.interrupted
                ? "verdict: clean so far (interrupted): no overlap, every "
                  "hold ended, every code as promised"
                : "verdict: clean: no overlap, every hold ended, no name left "
                  "unusable, every code as promised") +
           indeterminate;
  }
  std::string line = "verdict: BROKEN:";
  const char* separator = " ";
  auto add = [&](std::uint64_t count, const char* what) {
    if (count == 0) return;
    line += Format("%s%" PRIu64 " %s", separator, count, what);
    separator = ", ";
  };
  add(verdict.overlaps, "overlapping holds");
  add(verdict.never_ended, "holds never ended");
  add(verdict.unusable, "names left unusable");
  if (verdict.unusable > 0) {
    line += Format(" (the longest %.1f s)", double(verdict.unusable_max) / 1e9);
  }
  add(verdict.orphaned, "names held by an orphan");
  if (verdict.orphaned > 0) {
    line += Format(" (the longest %.1f s)", double(verdict.orphaned_max) / 1e9);
  }
  add(verdict.kept_by_child, "kept by a spawned child");
  if (verdict.kept_by_child > 0) {
    line += Format(" (max %.1f s)", double(verdict.kept_max) / 1e9);
  }
  add(verdict.backwards, "tokens went backwards");
  add(verdict.wrong_codes, "wrong result codes");
  add(verdict.hung, "hung calls");
  add(verdict.failed_workers, "workers failed or hung");
  if (verdict.interrupted) line += " (interrupted)";
  return line + indeterminate;
}

std::string FiguresText(const ChaosFigures& figures) {
  const std::uint64_t until =
      figures.until > figures.start ? figures.until : figures.end;
  const double seconds = double(until - figures.start) / 1e9;
  std::string text = Format(
      "acquisitions: %" PRIu64 " in %.1f s (%.0f/s), %" PRIu64
      " answered busy\n",
      figures.acquisitions, seconds,
      seconds > 0 ? double(figures.acquisitions) / seconds : 0.0, figures.busy);
  text += "holds per name:";
  for (std::size_t i = 0; i < figures.holds_per_name.size(); ++i) {
    if (i == 16) {
      text += Format(" ... (%zu names)", figures.holds_per_name.size());
      break;
    }
    text += Format(" %" PRIu64, figures.holds_per_name[i]);
  }
  text += "\n";
  text += Format("contended handovers: %" PRIu64 "\n", figures.handovers);
  text += Format("wait: p50 %.3f ms, p99 %.3f ms, max %.3f ms\n",
                 Millis(figures.wait_p50), Millis(figures.wait_p99),
                 Millis(figures.wait_max));
  if (figures.freed == 0) {
    text += "time to free: no name was taken again after its holder was gone\n";
  } else {
    text += Format(
        "time to free: p50 %.3f ms, max %.3f ms (%" PRIu64 " holders gone)\n",
        Millis(figures.free_p50), Millis(figures.free_max), figures.freed);
  }
  text += "faults:";
  for (const FaultClass& c : FaultTable()) {
    const int i = static_cast<int>(c.fault);
    text += Format(" %s %" PRIu64 "%s", c.name, figures.faults[i],
                   i + 1 < kFaultCount ? "," : "");
  }
  text += "\n";
  return text;
}

std::string AnswersText(const ChaosCheck& check) {
  const ChaosVerdict& v = check.verdict;
  std::string text;
  // The calls that fault classes make, in ChaosCall order.
  for (int c = 1; c < kChaosCalls; ++c) {
    const auto call = static_cast<ChaosCall>(c);
    if (FaultJudging(call) == nullptr) continue;
    const std::uint64_t total = check.figures.calls[c];
    if (total + v.hung_by_call[c] == 0) continue;
    text += Format("%s: %" PRIu64 " as promised", ChaosCallText(call),
                   total - v.wrong_by_call[c]);
    if (v.wrong_by_call[c] > 0) {
      const bool granted = v.first_wrong_code[c] == kOk &&
                           call != ChaosCall::kReleaseAgain &&
                           call != ChaosCall::kForkedRelease;
      text += Format(", %" PRIu64 " not (first %s%s)", v.wrong_by_call[c],
                     ChaosCodeText(v.first_wrong_code[c]).c_str(),
                     granted ? ": a second grant" : "");
    }
    if (v.hung_by_call[c] > 0) {
      text += Format(", %" PRIu64 " hung", v.hung_by_call[c]);
    }
    text += "\n";
  }
  if (v.indeterminate > 0) {
    text += Format("indeterminate: %" PRIu64
                   " holds began after a dead holder's last record, before "
                   "the run saw it dead\n",
                   v.indeterminate);
  }
  for (const std::string& example : v.indeterminate_examples) {
    text += "indeterminate: " + example + "\n";
  }
  if (v.tokens > 0) {
    text += Format("fencing tokens: %" PRIu64 " holds came with one; %" PRIu64
                   " of %" PRIu64 " overlaps fenced; ",
                   v.tokens, v.fenced, v.overlaps);
    text += v.backwards == 0
                ? std::string("none went backwards\n")
                : Format("token went backwards %" PRIu64 "\n", v.backwards);
  }
  return text;
}

}  // namespace wendlemoor
