// The chaos run's checker on histories made by hand, and the real executable:
// its options, a clean run, and a run against a lock that grants every name.
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "chaos/checker.h"
#include "chaos/run.h"
#include "chaos/worker.h"
#include "gtest/gtest.h"
#include "tests/fake_lock_service.h"
#include "tests/helper_role.h"
#include "tests/run_capture.h"

using wendlemoor::kErrorLockBusy;
using wendlemoor::kErrorLockNotHeld;
using wendlemoor::kErrorLockWouldDeadlock;
using wendlemoor::kErrorSystemBase;
using wendlemoor::kOk;
using wendlemoor::LockService;
using wendlemoor::ResultCode;

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

TEST(ChaosCheckerTest, FindsEachKindOfFaultInAHistory) {
  struct Row {
    const char* what;
    std::vector<ChaosRecord> history;
    // overlaps, never ended, unusable, wrong codes, failed workers
    std::uint64_t expected[5];
  };
  const std::vector<Row> rows = {
      {"holders take turns, misuse answered as promised",
       {Start(1, 10),
        Call(2, 10, ChaosCall::kAcquireAgain, kErrorLockWouldDeadlock),
        Call(3, 11, ChaosCall::kAcquireNoWait, kErrorLockBusy),
        Call(3, 12, ChaosCall::kForkedRelease, kErrorLockNotHeld),
        Call(3, 12, ChaosCall::kForkedAcquire, kErrorLockBusy), End(4, 10),
        Call(4, 10, ChaosCall::kRelease, kOk), Start(4, 11, 0, 2), End(5, 11)},
       {0, 0, 0, 0, 0}},
      {"a hold begins before the last one ended",
       {Start(1, 10), Start(2, 11), End(3, 10), End(4, 11), Start(5, 12),
        End(6, 12)},
       {1, 0, 0, 0, 0}},
      {"holds of two names at once are no overlap",
       {Start(1, 10, 0), Start(2, 11, 1), End(3, 10, 0), End(4, 11, 1)},
       {0, 0, 0, 0, 0}},
      {"a hold never ends",
       {Start(1, 10), Start(9, 11, 1), End(10, 11, 1)},
       {0, 1, 0, 0, 0}},
      {"a holder's own kill and a thread's end end their holds",
       {Start(1, 10), Fault(2, 10, ChaosFault::kKill), Start(3, 11, 0, 2),
        Fault(4, 11, ChaosFault::kThreadEnd), Exit(5, 10, -9),
        Start(6, 12, 0, 5), End(7, 12)},
       {0, 0, 0, 0, 0}},
      {"a name unusable long after its holder died",
       {Start(1, 10), Fault(2, 10, ChaosFault::kKill), Start(5000, 11, 0, 4000),
        End(5001, 11)},
       {0, 0, 1, 0, 0}},
      {"calls answered with codes other than promised",
       {Call(1, 10, ChaosCall::kAcquireAgain, kOk),
        Call(2, 10, ChaosCall::kForkedAcquire, kOk),
        Call(3, 10, ChaosCall::kAcquireWait, kErrorSystemBase | 2),
        Call(4, 10, ChaosCall::kRelease, kErrorLockNotHeld)},
       {0, 0, 0, 4, 0}},
      {"a worker crashed, another was killed without killing itself",
       {Exit(1, 10, 134), Exit(2, 11, -9), Exit(3, 12, 0)},
       {0, 0, 0, 0, 2}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    const ChaosVerdict v = CheckHistory(row.history, 2).verdict;
    const std::uint64_t found[5] = {v.overlaps, v.never_ended, v.unusable,
                                    v.wrong_codes, v.failed_workers};
    EXPECT_EQ(std::vector<std::uint64_t>(found, found + 5),
              std::vector<std::uint64_t>(row.expected, row.expected + 5));
    const bool clean = row.expected[0] + row.expected[1] + row.expected[2] +
                           row.expected[3] + row.expected[4] ==
                       0;
    EXPECT_EQ(
        VerdictLine(v).rfind(clean ? "verdict: clean" : "verdict: BROKEN", 0),
        0u)
        << VerdictLine(v);
  }
}

LockService* CreateGrantingService(const char*) {
  return new FakeLockService(kOk, kOk);
}

WENDLEMOOR_HELPER_ROLE(chaos_granting_worker) {
  return RunChaosWorker(arguments, CreateGrantingService);
}

WENDLEMOOR_HELPER_ROLE(chaos_granting_run) {
  ChaosOptions options;
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
  struct Row {
    std::vector<std::string> argv;
    int status;
    const char* output;    // a line the standard output holds
    double cpu_below = 0;  // when above 0: a bound on the run's CPU seconds
  };
  const std::vector<Row> rows = {
      {{chaos, "--processes", "0"}, 2, ""},
      {{chaos, "--threads", "100000"}, 2, ""},
      {{chaos, "--seconds", "-1"}, 2, ""},
      {{chaos, "--seconds=1x"}, 2, ""},
      {{chaos, "--faults", "kill,rain"}, 2, ""},
      {{chaos, "--names"}, 2, ""},
      {{chaos, "--help"}, 0, "usage: wendlemoor-chaos [OPTIONS]"},
      // Through a shell that joins standard error to the captured output, so
      // that the run has no terminal wherever the test runs. Without one it
      // sleeps between its duties: over its 3 s it takes a small part of a
      // core from the workers it measures.
      {{"/bin/sh", "-c", "exec \"$@\" 2>&1", "sh", chaos, "--seconds", "3",
        "--processes", "3", "--threads", "3", "--timeline", svg},
       0,
       "verdict: clean: no overlap, every hold ended, no name left unusable, "
       "every code as promised",
       0.75},
      {{TestBinaryPath(), "--helper-role", "chaos_granting_run"},
       1,
       "verdict: BROKEN:"},
  };
  std::vector<RunRequest> requests;
  for (const Row& row : rows) requests.push_back({row.argv, ""});
  const std::vector<RunResult> runs = RunCaptureAll(requests, kDeadlineMs);
  for (std::size_t i = 0; i < rows.size(); ++i) {
    SCOPED_TRACE(rows[i].argv.back());
    EXPECT_EQ(runs[i].status, rows[i].status) << runs[i].output;
    // A bad command line prints nothing on standard output (the usage goes
    // to standard error) and starts nothing.
    bool found = *rows[i].output == '\0' && runs[i].output.empty();
    for (const auto& line : SplitLines(runs[i].output)) {
      found = found || (*rows[i].output && line.rfind(rows[i].output, 0) == 0);
    }
    EXPECT_TRUE(found) << runs[i].output;
    if (rows[i].cpu_below > 0) {
      const std::size_t cpu = runs[i].output.find("\nrun CPU: ");
      ASSERT_NE(cpu, std::string::npos) << runs[i].output;
      EXPECT_LT(std::stod(runs[i].output.substr(cpu + 10)), rows[i].cpu_below)
          << runs[i].output;
    }
  }
  // The granting lock's holds overlap, and its misuse answers are wrong.
  EXPECT_NE(runs.back().output.find("overlapping holds"), std::string::npos);
  EXPECT_NE(runs.back().output.find("wrong result codes"), std::string::npos);
  EXPECT_GT(std::filesystem::file_size(svg), 1000u);
}

}  // namespace
