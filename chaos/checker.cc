#include "chaos/checker.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <map>
#include <tuple>

#include "chaos/adapter.h"
#include "chaos/fault.h"
#include "components/result_code.h"

namespace wendlemoor {

namespace {

constexpr std::size_t kExamplesMax = 5;

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
  Checker(std::size_t names, std::uint64_t bound) : bound_(bound) {
    result_.figures.holds_per_name.assign(names, 0);
    busy_last_.assign(names, 0);
    hung_on_.assign(names, false);
  }

  ChaosCheck Run(const std::vector<ChaosRecord>& history) {
    if (!history.empty()) {
      result_.figures.start = history.front().time;
      result_.figures.end = history.back().time;
    }
    for (const ChaosRecord& record : history) Take(record);
    for (const auto& [key, index] : open_) {
      ChaosHold& hold = result_.holds[index];
      hold.end = result_.figures.end;
      ++result_.verdict.never_ended;
      Example("a hold of name %u by process %d from %.3f s never ended",
              hold.name, hold.pid, Seconds(hold.start));
    }
    FindOverlaps();
    FindUnusable();
    Waits();
    return std::move(result_);
  }

 private:
  using Key = std::tuple<std::int32_t, std::uint32_t, std::uint16_t>;

  double Seconds(std::uint64_t time) const {
    return double(time - result_.figures.start) / 1e9;
  }

  void Example(const char* format, auto... arguments) {
    if (result_.verdict.examples.size() < kExamplesMax) {
      result_.verdict.examples.push_back(Format(format, arguments...));
    }
  }

  // Ends the open holds that `match` selects, at `time`.
  template <typename Match>
  void EndWhere(std::uint64_t time, Match match) {
    for (auto it = open_.begin(); it != open_.end();) {
      if (!match(it->first)) {
        ++it;
        continue;
      }
      ChaosHold& hold = result_.holds[it->second];
      hold.end = time;
      hold.ended = true;
      hold.gone = true;
      it = open_.erase(it);
    }
  }

  void Take(const ChaosRecord& r) {
    ChaosFigures& figures = result_.figures;
    const Key key{r.pid, r.thread, r.name};
    switch (r.event) {
      case ChaosEvent::kHoldStart:
        if (r.name >= figures.holds_per_name.size()) break;
        ++figures.acquisitions;
        ++figures.holds_per_name[r.name];
        if (r.wait) waits_.push_back(r.value);
        open_[key] = result_.holds.size();
        result_.holds.push_back(
            {r.time, r.time, r.pid, r.name, false, false, false});
        starts_.push_back(r.time - std::min(r.value, r.time));
        break;
      case ChaosEvent::kHoldEnd: {
        const auto it = open_.find(key);
        if (it == open_.end()) break;
        result_.holds[it->second].end = r.time;
        result_.holds[it->second].ended = true;
        open_.erase(it);
        break;
      }
      case ChaosEvent::kCall: {
        const auto call = static_cast<ChaosCall>(r.call);
        if (r.call < kChaosCalls) ++figures.calls[r.call];
        if (call == ChaosCall::kAcquireNoWait ||
            call == ChaosCall::kAcquireWait) {
          ++figures.acquisitions;
        }
        if (r.code == kErrorLockBusy && call == ChaosCall::kAcquireNoWait) {
          ++figures.busy;
        }
        if (call == ChaosCall::kAcquireNoWait && r.code == kErrorLockBusy &&
            r.name < busy_last_.size()) {
          busy_last_[r.name] = r.time;
        }
        if (!Promised(call, r.code)) {
          ++result_.verdict.wrong_codes;
          if (r.call < kChaosCalls) {
            if (result_.verdict.wrong_by_call[r.call]++ == 0) {
              result_.verdict.first_wrong_code[r.call] = r.code;
            }
          }
          Example("%s of name %u by process %d at %.3f s returned %x",
                  ChaosCallText(call), r.name, r.pid, Seconds(r.time), r.code);
        }
        break;
      }
      case ChaosEvent::kFault:
        if (r.call >= kFaultCount) break;
        ++figures.faults[r.call];
        switch (FaultOf(static_cast<ChaosFault>(r.call)).ends) {
          case FaultEnds::kNone:
            break;
          case FaultEnds::kThread:
            EndWhere(r.time, [&](const Key& k) {
              return std::get<0>(k) == r.pid && std::get<1>(k) == r.thread;
            });
            break;
          case FaultEnds::kProcess:
            EndWhere(r.time,
                     [&](const Key& k) { return std::get<0>(k) == r.pid; });
            killed_.push_back(r.pid);
            break;
        }
        break;
      case ChaosEvent::kWorkerExit: {
        // A worker that crashed held what it held until then.
        EndWhere(r.time, [&](const Key& k) {
          return std::get<0>(k) == std::int32_t(r.value);
        });
        const bool own_kill = r.code == std::uint32_t(-9) &&
                              std::find(killed_.begin(), killed_.end(),
                                        std::int32_t(r.value)) != killed_.end();
        if (r.code != 0 && !own_kill) {
          ++result_.verdict.failed_workers;
          ++result_.verdict.crashed_workers;
          Example("worker %d ended with status %d at %.3f s", int(r.value),
                  int(r.code), Seconds(r.time));
        }
        break;
      }
      case ChaosEvent::kWorkerStuck:
        ++result_.verdict.failed_workers;
        // A worker whose hung calls were recorded needs no line of its own.
        if (std::int32_t(r.value) == last_hung_pid_) break;
        Example("worker %d had not finished long after the end; killed",
                int(r.value));
        break;
      case ChaosEvent::kInterrupted:
        result_.verdict.interrupted = true;
        EndWhere(r.time, [](const Key&) { return true; });
        break;
      case ChaosEvent::kCallHung:
        ++result_.verdict.hung;
        last_hung_pid_ = std::int32_t(r.value);
        if (r.call < kChaosCalls) ++result_.verdict.hung_by_call[r.call];
        // One example per name: behind a name never freed, every thread
        // hangs the same way.
        if (r.name >= hung_on_.size() || hung_on_[r.name]) break;
        hung_on_[r.name] = true;
        Example("%s of name %u by process %d thread %u hung (%.1f s)",
                ChaosCallText(static_cast<ChaosCall>(r.call)), r.name,
                int(r.value), r.thread, double(r.code) / 1e3);
        break;
      case ChaosEvent::kWorkerRenewed:
        killed_.push_back(std::int32_t(r.value));
        break;
      case ChaosEvent::kAdapterFailed:
        // Its holds end here; its exit with a failure counts it as failed.
        EndWhere(r.time, [&](const Key& k) { return std::get<0>(k) == r.pid; });
        Example("worker %d gave up at %.3f s: its adapter %s", int(r.pid),
                Seconds(r.time),
                AdapterFaultText(static_cast<AdapterFault>(r.code)));
        break;
      case ChaosEvent::kRunStart:
      case ChaosEvent::kRunEnd:
        break;
    }
  }

  void FindOverlaps() {
    const std::size_t names = result_.figures.holds_per_name.size();
    std::vector<std::uint64_t> busy_until(names);
    std::vector<std::size_t> last(names);
    for (std::size_t i = 0; i < result_.holds.size(); ++i) {
      ChaosHold& hold = result_.holds[i];
      if (hold.start < busy_until[hold.name]) {
        ChaosHold& other = result_.holds[last[hold.name]];
        ++result_.verdict.overlaps;
        hold.overlaps = other.overlaps = true;
        Example("name %u held by processes %d and %d at once at %.3f s",
                hold.name, other.pid, hold.pid, Seconds(hold.start));
      }
      if (hold.end >= busy_until[hold.name]) {
        busy_until[hold.name] = hold.end;
        last[hold.name] = i;
      }
    }
  }

  // After a hold that ended with its holder, the next hold of the name must
  // come within the bound of when its holder began to wait. A name whose
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
      if (p == SIZE_MAX || !result_.holds[p].gone) continue;
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

  void Waits() {
    if (waits_.empty()) return;
    std::sort(waits_.begin(), waits_.end());
    ChaosFigures& figures = result_.figures;
    figures.wait_p50 = waits_[(waits_.size() - 1) / 2];
    figures.wait_p99 = waits_[(waits_.size() - 1) * 99 / 100];
    figures.wait_max = waits_.back();
  }

  const std::uint64_t bound_;
  ChaosCheck result_;
  std::map<Key, std::size_t> open_;    // open holds: index into holds
  std::vector<std::uint64_t> starts_;  // when each hold's caller began
  std::vector<std::uint64_t> waits_;
  // Processes that killed themselves, or that the run ended to renew them.
  std::vector<std::int32_t> killed_;
  std::vector<std::uint64_t> busy_last_;  // per name: last busy answer
  std::int32_t last_hung_pid_ = 0;        // the worker of the last hung call
  std::vector<bool> hung_on_;             // per name: a call on it hung
};

}  // namespace

ChaosCheck CheckHistory(const std::vector<ChaosRecord>& history,
                        std::size_t names, std::uint64_t unusable_bound) {
  return Checker(names, unusable_bound).Run(history);
}

std::string VerdictLine(const ChaosVerdict& verdict) {
  if (verdict.clean()) {
    return verdict.interrupted
               ? "verdict: clean so far (interrupted): no overlap, every "
                 "hold ended, every code as promised"
               : "verdict: clean: no overlap, every hold ended, no name left "
                 "unusable, every code as promised";
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
  add(verdict.wrong_codes, "wrong result codes");
  add(verdict.hung, "hung calls");
  add(verdict.failed_workers, "workers failed or hung");
  if (verdict.interrupted) line += " (interrupted)";
  return line;
}

std::string FiguresText(const ChaosFigures& figures) {
  const double seconds = double(figures.end - figures.start) / 1e9;
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
  return text;
}

}  // namespace wendlemoor
