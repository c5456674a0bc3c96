// The chaos run's checker on histories made by hand, and the real executable:
// its options, a clean run, and a run against a lock that grants every name.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "chaos/checker.h"
#include "chaos/fault.h"
#include "chaos/run.h"
#include "chaos/timeline.h"
#include "chaos/worker.h"
#include "gtest/gtest.h"
#include "runtime/interval.h"
#include "tests/fake_lock_service.h"
#include "tests/helper_role.h"
#include "tests/run_capture.h"

namespace wendlemoor {
namespace {

constexpr int kDeadlineMs = 120000;
constexpr std::uint64_t kMs = 1000000;

ChaosRecord At(std::uint64_t ms, ChaosEvent event, std::int32_t pid,
               std::uint16_t name = 0, std::uint32_t code = 0,
               std::uint16_t call = 0, std::uint64_t value = 0) {
  ChaosRecord r{};
  r.time = ms * kMs;
  r.event = event;
  r.pid = pid;
  r.thread = 1;
  r.name = name;
  r.code = code;
  r.call = call;
  r.value = value;
  return r;
}
ChaosRecord Start(std::uint64_t ms, std::int32_t pid, std::uint16_t name = 0,
                  std::uint64_t waited_ms = 0) {
  ChaosRecord r = At(ms, ChaosEvent::kHoldStart, pid, name);
  r.value = waited_ms * kMs;
  r.wait = 1;
  return r;
}
ChaosRecord End(std::uint64_t ms, std::int32_t pid, std::uint16_t name = 0) {
  return At(ms, ChaosEvent::kHoldEnd, pid, name);
}
ChaosRecord Call(std::uint64_t ms, std::int32_t pid, ChaosCall call,
                 ResultCode code) {
  return At(ms, ChaosEvent::kCall, pid, 0, code, std::uint16_t(call));
}
ChaosRecord Fault(std::uint64_t ms, std::int32_t pid, ChaosFault fault) {
  return At(ms, ChaosEvent::kFault, pid, 0, 0, std::uint16_t(fault));
}
ChaosRecord Exit(std::uint64_t ms, std::int32_t pid, int code) {
  return At(ms, ChaosEvent::kWorkerExit, 1, 0, std::uint32_t(code), 0,
            std::uint64_t(pid));
}
ChaosRecord ByRun(std::uint64_t ms, ChaosEvent event, std::int32_t pid,
                  std::uint32_t code = 0, ChaosCall call = {}) {
  return At(ms, event, 1, 0, code, std::uint16_t(call), std::uint64_t(pid));
}
// A spawn while holding, its child living `life_ms`.
ChaosRecord Spawned(std::uint64_t ms, std::int32_t pid, std::uint64_t life_ms) {
  return At(ms, ChaosEvent::kFault, pid, 0, 0,
            std::uint16_t(ChaosFault::kSpawn), life_ms * kMs);
}
// The fencing token of the hold `pid` began on `name` just before.
ChaosRecord Token(std::uint64_t ms, std::int32_t pid, std::uint64_t token,
                  std::uint16_t name = 0) {
  return At(ms, ChaosEvent::kHoldToken, pid, name, 0, 0, token);
}
ChaosRecord OnThread(std::uint32_t thread, ChaosRecord r) {
  r.thread = thread;
  return r;
}

TEST(ChaosCheckerTest, FindsEachKindOfFaultInAHistory) {
  struct Row {
    const char* what;
    std::vector<ChaosRecord> history;
    // overlaps, never ended, unusable, wrong codes, failed workers, hung
    // calls, indeterminate holds, names held by an orphan, names kept by a
    // spawned child, fenced overlaps, tokens gone backwards
    std::uint64_t expected[11];
    const char* says = "";       // in the verdict, findings, figures or answers
    std::uint32_t lease_ms = 0;  // the lock's lease, for the unusable bound
  };
  const std::vector<Row> rows = {
      {"holders take turns, misuse answered as promised",
       {Start(1, 10),
        Call(2, 10, ChaosCall::kAcquireAgain, kErrorLockWouldDeadlock),
        Call(3, 11, ChaosCall::kAcquireNoWait, kErrorLockBusy),
        Call(3, 12, ChaosCall::kForkedRelease, kErrorLockNotHeld),
        Call(3, 12, ChaosCall::kForkedAcquire, kErrorLockBusy), End(4, 10),
        Call(4, 10, ChaosCall::kRelease, kOk), Start(4, 11, 0, 2), End(5, 11)},
       {0, 0, 0, 0, 0, 0, 0}},
      {"a hold begins before the last one ended",
       {Start(1, 10), Start(2, 11), End(3, 10), End(4, 11), Start(5, 12),
        End(6, 12)},
       {1, 0, 0, 0, 0, 0, 0}},
      {"a hold inside a longer one ended, then another began inside it",
       {Start(1, 10), Start(2, 11), End(3, 11), Start(4, 12), End(5, 12),
        End(6, 10)},
       {2, 0, 0, 0, 0, 0, 0}},
      {"a waiter given the name by another holder is a handover, a taker of "
       "a free name is not",
       {Start(1, 10), End(3, 10), Start(3, 11, 0, 1), End(4, 11), Start(6, 12),
        End(7, 12)},
       {0, 0, 0, 0, 0, 0, 0},
       "contended handovers: 1\n"},
      {"holds of two names at once are no overlap",
       {Start(1, 10, 0), Start(2, 11, 1), End(3, 10, 0), End(4, 11, 1)},
       {0, 0, 0, 0, 0, 0, 0}},
      {"a hold never ends",
       {Start(1, 10), Start(9, 11, 1), End(10, 11, 1)},
       {0, 1, 0, 0, 0, 0, 0}},
      {"a hold that never ended lasts to the end of the run",
       {Start(1, 10), Start(5, 11), End(6, 11), Start(7, 12), End(8, 12)},
       {2, 1, 0, 0, 0, 0, 0}},
      {"a thread's end ends its own holds, not its process's others",
       {Start(1, 10), OnThread(2, Start(1, 10, 1)),
        Fault(2, 10, ChaosFault::kThreadEnd), Start(3, 11, 1), End(4, 11, 1)},
       {1, 1, 0, 0, 0, 0, 0}},
      {"a holder's own kill and a thread's end end their holds",
       {Start(1, 10), Fault(2, 10, ChaosFault::kKill), Start(3, 11, 0, 2),
        Fault(4, 11, ChaosFault::kThreadEnd), Exit(5, 10, -9),
        Start(6, 12, 0, 5), End(7, 12), Start(8, 13), End(9, 13)},
       {0, 0, 0, 0, 0, 0, 0},
       "(2 holders gone)"},
      {"a name unusable long after its holder died",
       {Start(1, 10), Fault(2, 10, ChaosFault::kKill), Start(5000, 11, 0, 4000),
        End(5001, 11)},
       {0, 0, 1, 0, 0, 0, 0}},
      {"calls answered with codes other than promised",
       {Call(1, 10, ChaosCall::kAcquireAgain, kOk),
        Call(2, 10, ChaosCall::kForkedAcquire, kOk),
        Call(3, 10, ChaosCall::kAcquireWait, kErrorSystemBase | 2),
        Call(4, 10, ChaosCall::kRelease, kErrorLockNotHeld),
        Call(5, 10, ChaosCall::kAcquireWait, kErrorLockBusy)},
       {0, 0, 0, 5, 0, 0, 0}},
      {"a worker crashed, another was killed without killing itself",
       {Exit(1, 10, 134), Exit(2, 11, -9), Exit(3, 12, 0)},
       {0, 0, 0, 0, 2, 0, 0}},
      {"a worker that crashed holding ended its hold with it",
       {Start(1, 10), Exit(2, 10, 134), Start(3, 11), End(4, 11)},
       {0, 0, 0, 0, 1, 0, 0}},
      {"a call hung on a name that its dead holder never freed",
       {Start(1, 10), Fault(2, 10, ChaosFault::kKill), Exit(3, 10, -9),
        At(900, ChaosEvent::kCallHung, 1, 0, 800,
           std::uint16_t(ChaosCall::kAcquireWait), 11)},
       {0, 0, 1, 0, 0, 1, 0}},
      {"a worker that the run renewed after a removal did not fail",
       {At(1, ChaosEvent::kWorkerRenewed, 1, 0, 0, 0, 10), Exit(2, 10, -9)},
       {0, 0, 0, 0, 0, 0, 0}},
      {"a crashed holder's name, taken before its last record and after it",
       {Start(1, 10), Start(2, 11), Call(3, 10, ChaosCall::kRelease, kOk),
        End(3, 11), Start(4, 12), End(5, 12), Exit(6, 10, 134)},
       {1, 0, 0, 0, 1, 0, 1},
       "/run/locks/chaos-0 held by 10:1 and 11:1 at once at 0.001 s"},
      {"a holder's death seen after the name was taken again: only that",
       {Start(1, 10), Start(3, 11), End(4, 11), Exit(5, 10, 0)},
       {0, 0, 0, 0, 0, 0, 1},
       "every code as promised (1 indeterminate)"},
      {"a worker that the run killed held its names until the kill for "
       "certain, perhaps until it was seen dead",
       {Start(1, 10), Start(2, 11), End(3, 11),
        ByRun(4, ChaosEvent::kWorkerKilled, 10), Start(5, 12), End(6, 12),
        Exit(7, 10, -9), Start(8, 13), End(9, 13)},
       {1, 0, 0, 0, 0, 0, 1}},
      {"the run's kill anywhere is no failure; a name it left taken is",
       {Start(1, 10),
        At(2, ChaosEvent::kFault, 1, 0, 0,
           std::uint16_t(ChaosFault::kKillAnywhere), 10),
        ByRun(2, ChaosEvent::kWorkerKilled, 10), Exit(3, 10, -9),
        ByRun(5000, ChaosEvent::kCallHung, 11, 4000, ChaosCall::kAcquireWait)},
       {0, 0, 1, 0, 0, 1, 0},
       "kill-anywhere 1"},
      {"a lease lock frees a dead holder's name within 1.5 times its lease",
       {Start(1, 10), Fault(2, 10, ChaosFault::kKill), Start(7000, 11, 0, 6990),
        End(7001, 11)},
       {0, 0, 0, 0, 0, 0, 0},
       "",
       5000},
      {"a short lease leaves the bound at 3 s",
       {Start(1, 10), Fault(2, 10, ChaosFault::kKill), Start(2000, 11, 0, 1990),
        End(2001, 11)},
       {0, 0, 0, 0, 0, 0, 0},
       "",
       100},
      {"a release hung, then its worker killed itself",
       {Start(1, 10), End(2, 10),
        ByRun(1100, ChaosEvent::kCallHung, 10, 1098, ChaosCall::kRelease),
        Fault(1200, 10, ChaosFault::kKill), Exit(1201, 10, -9)},
       {0, 0, 0, 0, 0, 1, 0},
       "release of name 0 by process 10 thread 1 hung"},
      // The orphan's parent (10) held name 0 and died at 2 ms; its child (20)
      // ended at 900 ms.
      {"an orphan kept its dead parent's name from a waiter",
       {Start(1, 10), Fault(2, 10, ChaosFault::kOrphan), Exit(3, 10, -9),
        At(900, ChaosEvent::kOrphanEnd, 20, 0, 0, 0, 10),
        Start(901, 11, 0, 800), End(902, 11)},
       {0, 0, 0, 0, 0, 0, 0, 1},
       "chaos-0 held by an orphan of process 10 for 0.899 s"},
      {"an orphan kept its dead parent's name: answered busy",
       {Start(1, 10), Fault(2, 10, ChaosFault::kOrphan), Exit(3, 10, -9),
        Call(300, 11, ChaosCall::kAcquireNoWait, kErrorLockBusy),
        At(900, ChaosEvent::kOrphanEnd, 20, 0, 0, 0, 10), Start(950, 11),
        End(951, 11)},
       {0, 0, 0, 0, 0, 0, 0, 1},
       "1 names held by an orphan (the longest 0.9 s)"},
      {"an orphan's parent's name taken at once, or asked for by nobody",
       {Start(1, 10), Fault(2, 10, ChaosFault::kOrphan), Exit(3, 10, -9),
        Start(5, 11, 0, 4), End(6, 11), Start(7, 12, 1),
        Fault(9, 12, ChaosFault::kOrphan), Exit(10, 12, -9),
        At(700, ChaosEvent::kOrphanEnd, 21, 1, 0, 0, 12),
        At(900, ChaosEvent::kOrphanEnd, 20, 0, 0, 0, 10), Start(950, 13, 1, 1),
        End(951, 13, 1)},
       {0, 0, 0, 0, 0, 0, 0, 0},
       "(2 holders gone)"},
      // The orphan lived 48 ms (the run ended): the waiter's last 100 ms
      // are the dead holder's slow exit, not the orphan's.
      {"an orphan cut short, its parent's name taken after its end",
       {Start(1, 10), Fault(2, 10, ChaosFault::kOrphan), Exit(3, 10, -9),
        At(50, ChaosEvent::kOrphanEnd, 20, 0, 0, 0, 10), Start(150, 11, 0, 149),
        End(151, 11)},
       {0, 0, 0, 0, 0, 0, 0, 0}},
      {"a forked child's hold ends with its parent's kill",
       {Start(1, 10), At(2, ChaosEvent::kForkedChild, 20, 1, 0, 0, 10),
        Start(3, 20, 1), Fault(4, 10, ChaosFault::kKill), Exit(5, 10, -9),
        Start(6, 11, 1, 5), End(7, 11, 1)},
       {0, 0, 0, 0, 0, 0, 0, 0}},
      {"a spawned child kept the name after its holder's release",
       {Start(1, 10), Spawned(2, 10, 1500), End(3, 10),
        Start(1400, 11, 0, 1390), End(1401, 11)},
       {0, 0, 0, 0, 0, 0, 0, 0, 1},
       "name 0 kept by a spawned child of 10:1 for 1.4 s"},
      {"a hold asked for after a spawned child's end came late",
       {Start(1, 10), Spawned(2, 10, 1500), End(3, 10),
        Start(3000, 11, 0, 1400), End(3001, 11)},
       {0, 0, 0, 0, 0, 0, 0, 0}},
      {"the rate leaves out the grace after the end",
       {At(0, ChaosEvent::kRunStart, 1, 0, 0, 0, 1000 * kMs), Start(1, 10),
        End(2, 10), Start(3, 11), End(4, 11), At(6000, ChaosEvent::kRunEnd, 1)},
       {0, 0, 0, 0, 0, 0, 0},
       "acquisitions: 2 in 1.0 s (2/s)"},
      // Fencing tokens: a stale holder, paused past its lease, goes on
      // while the next holder works.
      {"an overlap whose later grant has the greater token is fenced",
       {Start(1, 10), Token(1, 10, 5), Start(3, 11, 0, 1), Token(3, 11, 6),
        End(4, 11), End(5, 10)},
       {1, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0},
       "1 of 1 overlaps fenced; none went backwards"},
      // 10 was granted before 11 but recorded its hold after 11's began.
      {"a holder paused between its grant and its record is fenced by the "
       "tokens' order",
       {Start(1, 11), Token(1, 11, 6), Start(3, 10, 0, 3), Token(3, 10, 5),
        End(4, 10), End(5, 11)},
       {1, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0},
       "tokens 6 then 5 (fenced)"},
      {"a server that forgot its counter: not fenced, then backwards",
       {Start(1, 10), Token(1, 10, 7), Start(3, 11, 0, 1), Token(3, 11, 1),
        End(4, 11), End(5, 10), Start(6, 12), Token(6, 12, 2), End(7, 12)},
       {1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1},
       "token went backwards: 2 to 12:1 at 0.005 s, after 7 to 10:1"},
      {"an overlap with a hold without a token is not fenced",
       {Start(1, 10), Token(1, 10, 5), Start(3, 11, 0, 1), End(4, 11),
        End(5, 10)},
       {1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
       "one without a token (not fenced)"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    const ChaosCheck check = CheckHistory(
        row.history, 2, UnusableBoundNanos(row.lease_ms), "/run/locks");
    const ChaosVerdict& v = check.verdict;
    const std::uint64_t found[11] = {
        v.overlaps,       v.never_ended, v.unusable,      v.wrong_codes,
        v.failed_workers, v.hung,        v.indeterminate, v.orphaned,
        v.kept_by_child,  v.fenced,      v.backwards};
    EXPECT_EQ(std::vector<std::uint64_t>(found, found + 11),
              std::vector<std::uint64_t>(row.expected, row.expected + 11));
    // Indeterminate holds and fenced overlaps alone leave the verdict clean.
    const bool clean = std::count(row.expected, row.expected + 11, 0) +
                           (row.expected[6] > 0) + (row.expected[9] > 0) ==
                       11;
    EXPECT_EQ(
        VerdictLine(v).rfind(clean ? "verdict: clean" : "verdict: BROKEN", 0),
        0u)
        << VerdictLine(v);
    std::string text =
        VerdictLine(v) + "\n" + FiguresText(check.figures) + AnswersText(check);
    for (const std::string& example : v.examples) text += example + "\n";
    EXPECT_NE(text.find(row.says), std::string::npos) << text;
  }
}

TEST(ChaosHistoryTest, FileOfAProcessThatRecordedNothingReadsEmpty) {
  TempDir temp;
  ASSERT_FALSE(temp.WriteFile("1.history", "", 0600).empty());
  std::vector<ChaosRecord> history;
  EXPECT_TRUE(ReadHistory(temp.path(), &history));
  EXPECT_TRUE(history.empty());
}

TEST(ChaosTimelineTest, LanesShareTheSizeBudgetAndTheLastIsDrawnToo) {
  // Every lane drawn, the last one with its bars and its overlap marks.
  const std::vector<ChaosRecord> history = {Start(1, 10, 2), Start(2, 11, 2),
                                            End(3, 10, 2), End(4, 11, 2)};
  const std::string svg = TimelineSvg(CheckHistory(history, 3), history, 3,
                                      "verdict: BROKEN: 1 overlap", "run");
  EXPECT_NE(svg.find(">chaos-2</text>"), std::string::npos);
  EXPECT_NE(svg.find("fill=\"hsl("), std::string::npos);
  EXPECT_NE(svg.find("stroke=\"#e00\" stroke-width=\"3\" d=\"M"),
            std::string::npos);
  EXPECT_NE(svg.find("<title>verdict: BROKEN: 1 overlap</title>"),
            std::string::npos);
  // The most names, each held in turn by two processes in every pixel column.
  ChaosCheck many;
  many.figures.end = 3000 * kMs;
  for (std::uint16_t name = 0; name < 256; ++name) {
    for (std::uint64_t ms = 0; ms < 3000; ms += 2) {
      many.holds.push_back({ms * kMs, (ms + 2) * kMs, std::int32_t(10 + ms % 4),
                            name, true, false, false});
    }
  }
  EXPECT_LT(TimelineSvg(many, {}, 256, "", "").size(), 2u << 20);
}

// Grants every name, and never returns from the second blocking acquisition
// of chaos-0 in its process: each worker hangs once, in one thread, and its
// other thread returns from every call it makes.
class GrantingService : public FakeLockService {
  ResultCode AcquireLock(const char* name, int wait) override {
    static std::atomic<int> blocking{0};
    if (wait && std::string(name) == "chaos-0" && ++blocking == 2) {
      for (;;) pause();
    }
    return kOk;
  }
};

LockService* CreateGrantingService(const char*) { return new GrantingService; }

WENDLEMOOR_HELPER_ROLE(chaos_granting_worker) {
  return RunChaosWorker(arguments, CreateGrantingService);
}

WENDLEMOOR_HELPER_ROLE(chaos_granting_run) {
  // The files to write (--json, --junit, --history) come from the arguments.
  std::vector<const char*> argv = {"chaos_granting_run"};
  for (const std::string& argument : arguments)
    argv.push_back(argument.c_str());
  ChaosOptions options;
  std::string error;
  if (ParseChaosOptions(int(argv.size()), argv.data(), &options, &error) !=
      ChaosParse::kRun) {
    return 2;
  }
  options.seconds = 2;
  options.processes = 2;
  options.threads = 2;
  options.names = 2;
  options.faults = 1u << static_cast<int>(ChaosFault::kMisuse);
  options.seed = 7;
  options.seed_given = true;
  return RunChaos(options,
                  {TestBinaryPath(), "--helper-role", "chaos_granting_worker"});
}

// Writes a history file of `records` between the run's start (at 0) and its
// end (at 100 ms), over two names, as a run with `faults` would.
bool WriteMadeHistory(const std::string& path, std::uint32_t faults,
                      std::vector<ChaosRecord> records,
                      const std::string& lock = "made by hand") {
  records.insert(records.begin(), At(0, ChaosEvent::kRunStart, 1));
  records.push_back(At(100, ChaosEvent::kRunEnd, 1));
  return WriteHistoryFile(path, {2, faults, 1, 7, "made by hand", lock},
                          records);
}

std::string ReadAll(const std::string& path) {
  std::ifstream file(path);
  return std::string((std::istreambuf_iterator<char>(file)), {});
}

std::string ChaosBinaryPath() {
  return (std::filesystem::path(WENDLEMOOR_BINARY).parent_path() /
          "wendlemoor-chaos")
      .string();
}

TEST(ChaosRunTest, StatusFollowsOptionsAndVerdict) {
  TempDir temp;
  ASSERT_FALSE(temp.path().empty());
  const std::string chaos = ChaosBinaryPath();
  const std::string svg = temp.path() + "/timeline.svg";
  const std::string folder = temp.path() + "/run";
  const std::string clean = temp.path() + "/clean";
  const std::string broken = temp.path() + "/broken";
  // Runs a minute-long run in a folder named after the signal, and sends
  // the signal once a worker has started.
  const std::string interrupt =
      "mkdir \"$1/$2\" || exit 9; TMPDIR=\"$1/$2\" \"$0\" --seconds 60 "
      "--processes 2 --threads 2 & until ls \"$1/$2\"/*/history/[0-9]* "
      ">/dev/null 2>&1; do sleep 0.1; done; kill -$2 $!; wait $!";
  // The same with orphans alive (the orphan fault's children, 0.2-2 s
  // each): the signal comes once a process of the run lives beside the run
  // and its two workers, and once the run has ended none may remain. The
  // run's processes are those that carry the mark in their environment.
  const std::string orphans =
      "mkdir \"$1/orphans\" || exit 9; "
      "mark=WENDLEMOOR_RUN_MARK=\"$1/orphans\"; "
      "live() { grep -lzx \"$mark\" /proc/[0-9]*/environ 2>/dev/null | wc -l; "
      "}; env \"$mark\" TMPDIR=\"$1/orphans\" \"$0\" --seconds 60 "
      "--processes 2 --threads 2 --faults orphan & until [ $(live) -gt 3 ]; "
      "do sleep 0.05; done; kill -INT $!; wait $!; status=$?; "
      "[ $(live) -eq 0 ] || { echo \"left: $(live) processes\"; exit 8; }; "
      "exit $status";
  const std::string module =
      std::string(WENDLEMOOR_TEST_MODULES) + "/cleanup_hangs.so";
  const std::string module_lock = "module test, " + module;
  const std::string lock_line = "lock: " + module_lock;
  const std::string cost_tmp = temp.path() + "/cost-tmp";
  std::filesystem::create_directory(cost_tmp);
  // A row's status when the verdict may go either way: 0 or 1.
  constexpr int kAnyVerdict = -1;
  // An adapter that offers neither thread-end nor fork.
  const std::string flock = std::string(WENDLEMOOR_ADAPTERS) + "/flock-command";
  const std::string fitted = "adapter \"" + flock +
                             "\": protocol 1, 1 thread per process; not "
                             "supported: thread-end, fork";
  struct Row {
    std::vector<std::string> argv;
    int status;
    const char* output;  // a line the standard output holds
    // What files the run writes hold, each as a file ("": the output) and
    // a text in it.
    std::vector<std::pair<std::string, std::string>> holds = {};
    double cpu_below = 0;  // when above 0: a bound on the run's CPU seconds
  };
  const std::vector<Row> rows = {
      {{chaos, "--processes", "0"}, 2, ""},
      {{chaos, "--threads", "100000"}, 2, ""},
      {{chaos, "--seconds", "-1"}, 2, ""},
      {{chaos, "--seconds=1x"}, 2, ""},
      {{chaos, "--faults", "kill,rain"}, 2, ""},
      {{chaos, "--names"}, 2, ""},
      {{chaos, "--seconds", "0"}, 2, ""},
      {{chaos, "--seconds", "86401"}, 2, ""},
      {{chaos, "--processes", "65"}, 2, ""},
      {{chaos, "--threads", "0"}, 2, ""},
      {{chaos, "--names", "0"}, 2, ""},
      {{chaos, "--names", "257"}, 2, ""},
      {{chaos, "--seed", "18446744073709551616"}, 2, ""},
      {{chaos, "--help"}, 0, "usage: wendlemoor-chaos [OPTIONS]"},
      // Through a shell that joins standard error to the captured output, so
      // that the run has no terminal wherever the test runs. Without one it
      // sleeps between its duties: over its 3 s it takes a small part of a
      // core from the workers it measures.
      {{"/bin/sh", "-c", "exec \"$@\" 2>&1", "sh", chaos,
        // Until every class struck twice, removals between holds
        // included, however loaded the machine.
        "--seconds", "20", "--strikes", "2", "--processes", "3", "--threads",
        "3", "--timeline", svg, "--folder", folder, "--history",
        clean + ".history", "--json", clean + ".json", "--junit",
        clean + ".xml"},
       0,
       "verdict: clean: no overlap, every hold ended, no name left unusable, "
       "every code as promised",
       {},
       0.75},
      {{chaos, "--seconds", "3", "--processes", "2", "--threads", "2",
        "--faults", "stop,misuse"},
       0,
       "faults: thread-end 0, kill 0, fork 0, stop "},
      // Each signal that ends a run: the workers and the folder go, the
      // figures so far are shown.
      {{"/bin/sh", "-c", interrupt, chaos, temp.path(), "INT"},
       130,
       "verdict: clean so far (interrupted)"},
      {{"/bin/sh", "-c", interrupt, chaos, temp.path(), "TERM"},
       130,
       "verdict: clean so far (interrupted)"},
      {{"/bin/sh", "-c", interrupt, chaos, temp.path(), "HUP"},
       130,
       "verdict: clean so far (interrupted)"},
      {{TestBinaryPath(), "--helper-role", "chaos_granting_run", "--history",
        broken + ".history", "--json", broken + ".json", "--junit",
        broken + ".xml"},
       1,
       "verdict: BROKEN:"},
      // The reports name the lock; a module's cleanup that never returns is
      // killed, and the run ends.
      {{"/bin/sh", "-c", "exec \"$@\" 2>&1", "sh", chaos, "--module", module,
        "--seconds", "3", "--processes", "2", "--threads", "2", "--faults",
        "none", "--json", broken + "-module.json", "--junit",
        broken + "-module.xml"},
       1,
       lock_line.c_str(),
       {{"", module + ": its cleanup did not end within 5 s; killed\n"},
        {broken + "-module.json", "\"lock\": \"" + module_lock + "\",\n"},
        {broken + "-module.xml",
         "<property name=\"lock\" value=\"" + module_lock + "\"/>"}}},
      // The cost measurement ends, whatever the module's cleanup does, and
      // leaves no folder in TMPDIR (checked below).
      {{"/bin/sh", "-c", "TMPDIR=\"$1\" exec \"$0\" --module \"$2\" --cost",
        chaos, cost_tmp, module},
       0,
       "\"warm_ns\": "},
      // --faults=X is --faults X, and "all" the default, for an adapter and
      // for a card as for a run.
      {{chaos, "--command", flock, "--faults=thread-end"}, 2, ""},
      // A background child of the shell adapter keeps its lock (spawn):
      // its verdict is the chance's, its refusals are not.
      {{chaos, "--command", flock, "--faults", "all", "--seconds", "1",
        "--processes", "2"},
       kAnyVerdict,
       fitted.c_str()},
      {{chaos, "--command", flock, "--card", "--faults=none", "--seconds", "1",
        "--processes", "2", "--out", temp.path() + "/card"},
       0,
       "| module        | none "},
      // A stop's length: MIN or MIN-MAX, 1 <= MIN <= MAX <= 60000 ms.
      {{chaos, "--stop-ms", "5-2"}, 2, ""},
      {{chaos, "--stop-ms=0"}, 2, ""},
      {{chaos, "--stop-ms", "1-60001"}, 2, ""},
      {{chaos, "--stop-ms", "10-"}, 2, ""},
      // Our lock makes nothing outside its folder.
      {{chaos, "--faults", "kill,remove-ipc"}, 2, ""},
      // A run ends on its strikes long before its time: the run's own
      // strikes are counted, and looked at before each next one.
      {{chaos, "--seconds", "60", "--strikes", "30", "--processes", "2",
        "--threads", "2", "--faults", "stop"},
       0,
       "faults: thread-end 0, kill 0, fork 0, stop 30, "},
      {{"/bin/sh", "-c", orphans, chaos, temp.path()},
       130,
       "verdict: clean so far (interrupted)"},
  };
  std::vector<RunRequest> requests;
  for (const Row& row : rows) {
    // A refused command line's usage, on standard error, is left out of the
    // test's own output, where a failure's lines must stay in sight.
    std::vector<std::string> argv = row.argv;
    if (row.status == 2 && *row.output == '\0') {
      argv.insert(argv.begin(),
                  {"/bin/sh", "-c", "exec \"$@\" 2>/dev/null", "sh"});
    }
    requests.push_back({argv, ""});
  }
  const std::uint64_t began = JX_MonotonicNanos();
  std::vector<RunResult> runs = RunCaptureAll(requests, kDeadlineMs);
  // The interrupted runs' workers ended with them, long before their minute.
  EXPECT_LT(JX_MonotonicNanos() - began, 40000 * kMs);
  // The granting run must show 40 findings, overlaps and wrong answers
  // among them, and both workers hung; the stop and misuse run, both
  // classes struck. Side by side with these rows on a starved machine their
  // 2 or 3 s may hold too little (the granting run: 139 holds under a
  // sanitizer, one worker's thread alone, against a thousand alone; misuse
  // strikes one in 50): such a run goes again alone, up to twice.
  RunAgainWhile(
      requests, &runs, kDeadlineMs, [](std::size_t i, const RunResult& run) {
        if (i == 15) {
          return run.output.find(" stop 0,") != std::string::npos ||
                 run.output.find(", misuse 0,") != std::string::npos;
        }
        if (i != 19) return false;
        const std::size_t overlaps = run.output.find("verdict: BROKEN: ");
        return overlaps == std::string::npos ||
               std::atoi(run.output.c_str() + overlaps + 17) < 40 ||
               run.output.find(" overlapping holds, ") == std::string::npos ||
               run.output.find(", misuse 0,") != std::string::npos ||
               run.output.find(", 2 hung calls") == std::string::npos;
      });
  for (std::size_t i = 0; i < rows.size(); ++i) {
    SCOPED_TRACE(rows[i].argv.back());
    if (rows[i].status == kAnyVerdict) {
      EXPECT_TRUE(runs[i].status == 0 || runs[i].status == 1) << runs[i].output;
    } else {
      EXPECT_EQ(runs[i].status, rows[i].status) << runs[i].output;
    }
    // A bad command line prints nothing on standard output (the usage goes
    // to standard error) and starts nothing.
    bool found = *rows[i].output == '\0' && runs[i].output.empty();
    for (const auto& line : SplitLines(runs[i].output)) {
      found = found || (*rows[i].output && line.rfind(rows[i].output, 0) == 0);
    }
    EXPECT_TRUE(found) << runs[i].output;
    for (const auto& [file, text] : rows[i].holds) {
      EXPECT_NE((file.empty() ? runs[i].output : ReadAll(file)).find(text),
                std::string::npos)
          << file << " lacks: " << text << "\n"
          << runs[i].output;
    }
    if (rows[i].cpu_below > 0) {
      const std::size_t cpu = runs[i].output.find("\nrun CPU: ");
      ASSERT_NE(cpu, std::string::npos) << runs[i].output;
      EXPECT_LT(std::stod(runs[i].output.substr(cpu + 10)), rows[i].cpu_below)
          << runs[i].output;
    }
  }
  const RunResult& granting = runs[19];
  // The granting lock's holds overlap, and its misuse answers are wrong; of
  // its calls only the two that never returned hung.
  EXPECT_NE(granting.output.find("overlapping holds"), std::string::npos);
  EXPECT_NE(granting.output.find("wrong result codes"), std::string::npos);
  EXPECT_NE(granting.output.find(", 2 hung calls"), std::string::npos)
      << granting.output;
  // Its rate leaves out the time its stuck workers were given after the end.
  EXPECT_NE(granting.output.find(" in 2.0 s ("), std::string::npos);
  EXPECT_GT(std::filesystem::file_size(svg), 1000u);
  std::ifstream picture(svg);
  const std::string text((std::istreambuf_iterator<char>(picture)), {});
  EXPECT_NE(text.find("<title>wendlemoor-chaos verdict: clean: "),
            std::string::npos);
  for (const std::string& folder :
       {temp.path() + "/INT", temp.path() + "/TERM", temp.path() + "/HUP",
        temp.path() + "/orphans", cost_tmp}) {
    EXPECT_TRUE(std::filesystem::is_empty(folder)) << folder;
  }
  // Only the faults asked for struck (the row's line shows the first ones).
  const std::string& faults = runs[15].output;
  EXPECT_EQ(faults.find(" stop 0,"), std::string::npos) << faults;
  EXPECT_NE(faults.find("remove-files 0, remove-folder 0, "
                        "two-instances 0, misuse "),
            std::string::npos)
      << faults;
  EXPECT_EQ(faults.find(", misuse 0,"), std::string::npos);
  // The lock files and the folder went only while no name was held or
  // being taken.
  std::vector<ChaosRecord> history;
  ASSERT_TRUE(ReadHistory(folder + "/history", &history));
  const std::vector<ChaosHold> holds = CheckHistory(history, 4).holds;
  int removals = 0;
  for (const ChaosRecord& removal : history) {
    if (removal.event != ChaosEvent::kFault ||
        (removal.call != std::uint16_t(ChaosFault::kRemoveFiles) &&
         removal.call != std::uint16_t(ChaosFault::kRemoveFolder))) {
      continue;
    }
    ++removals;
    for (const ChaosHold& hold : holds) {
      EXPECT_FALSE(hold.start < removal.time && removal.time < hold.end);
    }
    // Once the gate closed, a thread could end the round it was in, and
    // begin no other.
    std::set<std::pair<std::int32_t, std::uint32_t>> began;
    for (const ChaosRecord& taken : history) {
      if (taken.event != ChaosEvent::kHoldStart) continue;
      EXPECT_FALSE(taken.time - taken.value < removal.time &&
                   removal.time < taken.time);
      if (removal.value < taken.time && taken.time < removal.time) {
        EXPECT_TRUE(began.insert({taken.pid, taken.thread}).second);
      }
    }
  }
  EXPECT_GT(removals, 0);

  // A kept history judged again gives the run's figures, verdict and status
  // (over the run's own names); one that is missing, cut short, longer than
  // it says or not a history gives status 2 and why.
  const std::string cut = temp.path() + "/cut.history";
  std::filesystem::copy_file(clean + ".history", cut);
  std::filesystem::resize_file(cut, std::filesystem::file_size(cut) - 7);
  const std::string longer = temp.path() + "/longer.history";
  std::filesystem::copy_file(clean + ".history", longer);
  std::filesystem::resize_file(
      longer, std::filesystem::file_size(longer) + sizeof(ChaosRecord));
  ASSERT_FALSE(
      temp.WriteFile("garbage.history", "records 3\n\n", 0600).empty());
  const std::string made = temp.path() + "/made";
  constexpr std::uint32_t kMisuseAndKill =
      1u << int(ChaosFault::kMisuse) | 1u << int(ChaosFault::kKill);
  ASSERT_TRUE(WriteMadeHistory(made + "-unordered.history", 0,
                               {Start(5, 10), End(3, 10)}));
  ASSERT_TRUE(
      WriteMadeHistory(made + "-failed.history", 0,
                       {Exit(5, 10, 134),
                        At(50, ChaosEvent::kCallHung, 1, 0, 800,
                           std::uint16_t(ChaosCall::kAcquireWait), 11),
                        At(51, ChaosEvent::kWorkerStuck, 1, 0, 0, 0, 11)},
                       "module été\x01, /x/é.so"));
  ASSERT_TRUE(WriteMadeHistory(
      made + "-misuse.history", kMisuseAndKill,
      {Start(1, 10), End(2, 10), Call(2, 10, ChaosCall::kRelease, kOk),
       Fault(3, 10, ChaosFault::kMisuse),
       Call(3, 10, ChaosCall::kReleaseAgain, kOk)}));
  const std::string stderr_too = "exec \"$@\" 2>&1";
  const char* clean_verdict =
      "verdict: clean: no overlap, every hold ended, no name left unusable, "
      "every code as promised";
  const std::vector<Row> checks = {
      {{chaos, "--check", clean + ".history"}, 0, runs[14].output.c_str()},
      {{chaos, "--check", broken + ".history"}, 1, granting.output.c_str()},
      {{"/bin/sh", "-c", stderr_too, "sh", chaos, "--check", cut},
       2,
       "wendlemoor-chaos: ",
       {{"", "cut short"}}},
      {{"/bin/sh", "-c", stderr_too, "sh", chaos, "--check",
        temp.path() + "/garbage.history"},
       2,
       "wendlemoor-chaos: ",
       {{"", "not a wendlemoor-chaos history"}}},
      {{"/bin/sh", "-c", stderr_too, "sh", chaos, "--check",
        temp.path() + "/missing.history"},
       2,
       "wendlemoor-chaos: "},
      {{"/bin/sh", "-c", stderr_too, "sh", chaos, "--check", longer},
       2,
       "wendlemoor-chaos: ",
       {{"", "longer than its "}}},
      {{"/bin/sh", "-c", stderr_too, "sh", chaos, "--check",
        made + "-unordered.history"},
       2,
       "wendlemoor-chaos: ",
       {{"", "not a history: record 2 "}}},
      // A report that cannot be written: one line, status 2, the verdict.
      {{"/bin/sh", "-c", stderr_too, "sh", chaos, "--check", clean + ".history",
        "--json", temp.path() + "/none/x.json"},
       2,
       clean_verdict,
       {{"", "\nwendlemoor-chaos: " + temp.path() +
                 "/none/x.json: No such file or directory\n"}}},
      // Every finding in the JSON, as many as asked for in the text.
      {{chaos, "--check", broken + ".history", "--findings", "40", "--json",
        made + "-findings.json"},
       1,
       "verdict: BROKEN: "},
      // A crashed worker, a hung one: the history does not hold, and only
      // the first crashed. Text goes into the JSON as it is, control
      // characters escaped.
      {{chaos, "--check", made + "-failed.history", "--json",
        made + "-failed.json"},
       1,
       "verdict: BROKEN: ",
       {{made + "-failed.json", "\"holds\": false,"},
        {made + "-failed.json", "\"hung\": 1,"},
        {made + "-failed.json", "\"crashed\": 1,"},
        {made + "-failed.json", "\"lock\": \"module été\\u0001, /x/é.so\""}}},
      // A second release answered wrongly fails misuse, not contention, when
      // other faults ran too.
      {{chaos, "--check", made + "-misuse.history", "--junit",
        made + "-misuse.xml"},
       1,
       "verdict: BROKEN: ",
       {{made + "-misuse.xml", "name=\"contention\"/>"},
        {made + "-misuse.xml",
         "name=\"misuse\">\n      <failure message=\"1 wrong codes from "
         "second release"}}},
  };
  requests.clear();
  for (const Row& row : checks) requests.push_back({row.argv, ""});
  const std::vector<RunResult> judged = RunCaptureAll(requests, kDeadlineMs);
  for (std::size_t i = 0; i < checks.size(); ++i) {
    SCOPED_TRACE(checks[i].argv.back());
    EXPECT_EQ(judged[i].status, checks[i].status) << judged[i].output;
    // A run's history judged again prints what the run printed.
    const bool whole = i < 2;
    for (const std::string& line : SplitLines(checks[i].output)) {
      if (!whole && line != SplitLines(checks[i].output).front()) break;
      if (line.rfind("run CPU: ", 0) == 0) continue;
      // The run names a lock file by its folder, gone when judged again.
      if (line.rfind("indeterminate: /", 0) == 0) continue;
      EXPECT_NE(judged[i].output.find(whole ? "\n" + line + "\n" : line),
                std::string::npos)
          << line << "\n"
          << judged[i].output;
    }
    for (const auto& [file, text] : checks[i].holds) {
      EXPECT_NE((file.empty() ? judged[i].output : ReadAll(file)).find(text),
                std::string::npos)
          << file << " lacks: " << text << "\n"
          << judged[i].output;
    }
  }
  // As many findings as asked for in the text, one at least for each
  // overlap and each wrong code in the JSON.
  std::size_t shown = 0, listed = 1;
  for (const std::string& line : SplitLines(judged[8].output)) {
    shown += line.rfind("found: ", 0) == 0;
  }
  const std::string json = ReadAll(made + "-findings.json");
  for (std::size_t at = 0; (at = json.find("\", \"", at)) != json.npos; ++at) {
    ++listed;
  }
  auto count = [&](const std::string& key) {
    const std::size_t at = json.find("\n\"" + key + "\": ");
    return at == json.npos ? 0 : std::stoul(json.substr(at + key.size() + 5));
  };
  EXPECT_EQ(shown, 40u) << judged[8].output;
  EXPECT_GT(count("overlaps"), 0u);
  EXPECT_GE(listed, count("overlaps") + count("wrong_codes"));

  // The JSON and JUnit files read by a real parser: the verdict, the seed,
  // and the failing test case of the granting lock (misuse, its only fault).
  if (std::system("command -v python3 >/dev/null 2>&1") != 0) {
    GTEST_SKIP() << "no python3 to parse the JSON and JUnit files";
  }
  const char* parse =
      "import json, sys, xml.etree.ElementTree as E\n"
      "j = json.load(open(sys.argv[1] + '.json'))\n"
      "s = E.parse(sys.argv[1] + '.xml').getroot().find('testsuite')\n"
      "bad = [c.get('name') for c in s if c.find('failure') is not None]\n"
      "print(j['holds'], ('seed ' + j['seed']) in j['run'],"
      " len(j['holds_per_name']),"
      " s.get('tests'), s.get('failures'), ','.join(bad))\n";
  requests = {
      {{"/bin/sh", "-c", stderr_too, "sh", "python3", "-c", parse, clean}, ""},
      {{"/bin/sh", "-c", stderr_too, "sh", "python3", "-c", parse, broken},
       ""}};
  const std::vector<RunResult> parsed = RunCaptureAll(requests, kDeadlineMs);
  // A case for plain contention and one per fault class.
  EXPECT_EQ(parsed[0].output,
            "True True 4 " +
                std::to_string(1 + std::popcount(FaultsOursSurvives())) +
                " 0 \n");
  EXPECT_EQ(parsed[1].output, "False True 2 2 1 misuse\n");
}

// Each fault class over the locks it tells apart: a mechanism that documents
// it breaks there, ours, which must hold, the lock that grants every name,
// which never holds, and a lease, lost by a holder stopped past it. Short
// runs, side by side, with a fixed seed, so that the classes strike on the
// same holds every time: those struck in a hold with threads enough to
// share a file, those struck from the run with two, which keeps a hold of
// the lease of 300 ms inside its lease on a loaded machine.
TEST(ChaosRunTest, FaultClassesBreakTheLocksTheyShouldAndNotOurs) {
  TempDir temp;
  ASSERT_FALSE(temp.path().empty());
  const std::string modules = std::string(WENDLEMOOR_MODULES) + "/";
  const std::string ours = modules + "wendlemoor.so";
  const std::string semaphore = modules + "posix-semaphore.so";
  const std::string grant = modules + "grant-all.so";
  const std::vector<std::string> in_hold = {"--seconds", "4",      "--threads",
                                            "4",         "--seed", "1"};
  const std::vector<std::string> from_run = {"--seconds", "3",      "--threads",
                                             "2",         "--seed", "3"};
  // A row that must hold under a class the run strikes: until it struck 5
  // times, however long a slow build's workers take to start (15 s at most).
  const std::vector<std::string> until_struck = {
      "--seconds", "15", "--strikes", "5", "--threads", "2", "--seed", "3"};
  struct Row {
    std::string lock;  // a module, or "" for ours linked in
    const char* fault;
    int status;
    // The JSON count that must not be 0, or for status 2 the class refused.
    const char* finding;
    const std::vector<std::string>* shape = nullptr;  // null: from_run
  };
  std::vector<Row> rows = {
      // The child's cached descriptor shares its parent's open file.
      {modules + "ofd-unhealed.so", "fork-take", 1, "overlaps", &in_hold},
      {"", "fork-take", 0, "", &in_hold},
      {grant, "fork-take", 1, "overlaps", &in_hold},
      // The orphan's inherited descriptor keeps the lock.
      {modules + "flock-each.so", "orphan", 1, "orphaned", &in_hold},
      {"", "orphan", 0, "", &in_hold},
      {grant, "orphan", 1, "overlaps", &in_hold},
      // Any close of the file drops a process's record locks.
      {modules + "fcntl+turns.so", "open-close", 1, "overlaps", &in_hold},
      {"", "open-close", 0, "", &in_hold},
      {grant, "open-close", 1, "overlaps", &in_hold},
      {ours, "kill-anywhere", 0, "", &until_struck},
      {semaphore, "kill-anywhere", 1, "unusable"},
      {ours, "stop", 0, "", &until_struck},
      {ours, "remove-ipc", 2, "not_applicable"},
      // Nor does it run on a server that the run started.
      {ours, "server-restart", 2, "not_applicable"},
      {semaphore, "remove-ipc", 1, "overlaps"},
      {grant, "remove-held", 1, "overlaps"},
      // A holder stopped past its lease loses its name, and nothing else
      // takes it from a holder.
      {std::string(WENDLEMOOR_TEST_MODULES) + "/lease.so", "none", 0, ""},
      {std::string(WENDLEMOOR_TEST_MODULES) + "/lease.so", "stop", 1,
       "overlaps"},
  };
  // A lock on a server that the run starts for its module, where PostgreSQL
  // is installed: a killed holder's session ends with its sockets.
  const std::string postgres = modules + "postgres-advisory-libpq.so";
  if (access("/usr/lib/postgresql/15/bin/postgres", X_OK) == 0 &&
      access(postgres.c_str(), R_OK) == 0) {
    rows.push_back({postgres, "none", 0, ""});
    rows.push_back({postgres, "kill", 0, ""});
    // A wait's lock_timeout that fires as the lock is granted, as when the
    // paused server goes on, leaves the session holding it.
    rows.push_back({postgres, "server-pause", 0, ""});
  }
  std::vector<RunRequest> requests;
  for (const Row& row : rows) {
    const std::string json =
        temp.path() + "/" + std::to_string(requests.size()) + ".json";
    std::vector<std::string> argv = {
        ChaosBinaryPath(), "--faults", row.fault, "--processes", "3",
        "--json",          json};
    const auto& shape = row.shape != nullptr ? *row.shape : from_run;
    argv.insert(argv.end() - 2, shape.begin(), shape.end());
    if (!row.lock.empty())
      argv.insert(argv.begin() + 1, {"--module", row.lock});
    requests.push_back({argv, ""});
  }
  auto count = [](const std::string& json, const std::string& key) {
    const std::size_t at = json.find("\"" + key + "\": ");
    return at == std::string::npos
               ? -1
               : std::stoll(json.substr(at + key.size() + 4));
  };
  std::vector<RunResult> runs = RunCaptureAll(requests, kDeadlineMs);
  // A break that a class makes by chance (a forked child that takes a name
  // its parent's thread holds) may miss a short run on a starved machine, or
  // come out as another break first (a broken lock's waiter that hung under
  // a sanitizer, before any overlap): such a row runs again, up to twice. A
  // lock that holds never breaks.
  RunAgainWhile(
      requests, &runs, kDeadlineMs, [&](std::size_t i, const RunResult& run) {
        return rows[i].status == 1 &&
               (run.status == 0 ||
                count(ReadAll(requests[i].argv.back()), rows[i].finding) <= 0);
      });
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const Row& row = rows[i];
    SCOPED_TRACE(std::string(row.fault) + " on " +
                 (row.lock.empty() ? "ours linked in" : row.lock));
    EXPECT_EQ(runs[i].status, row.status) << runs[i].output;
    const std::string json = ReadAll(requests[i].argv.back());
    if (row.status == 2) {
      EXPECT_NE(json.find("\"" + std::string(row.finding) + "\": \"" +
                          row.fault + "\""),
                std::string::npos)
          << json;
      continue;
    }
    if (std::string(row.fault) != "none") {
      EXPECT_GT(count(json, std::string("struck_") + row.fault), 0)
          << runs[i].output;
    }
    if (*row.finding != '\0') {
      EXPECT_GT(count(json, row.finding), 0) << runs[i].output;
    }
  }
}

}  // namespace
}  // namespace wendlemoor
