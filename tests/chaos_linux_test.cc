// The chaos run's checker on histories made by hand, and the real executable:
// its options, a clean run, and a run against a lock that grants every name.
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "chaos/checker.h"
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
ChaosRecord OnThread(std::uint32_t thread, ChaosRecord r) {
  r.thread = thread;
  return r;
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
      {"a hold inside a longer one ended, then another began inside it",
       {Start(1, 10), Start(2, 11), End(3, 11), Start(4, 12), End(5, 12),
        End(6, 10)},
       {2, 0, 0, 0, 0}},
      {"holds of two names at once are no overlap",
       {Start(1, 10, 0), Start(2, 11, 1), End(3, 10, 0), End(4, 11, 1)},
       {0, 0, 0, 0, 0}},
      {"a hold never ends",
       {Start(1, 10), Start(9, 11, 1), End(10, 11, 1)},
       {0, 1, 0, 0, 0}},
      {"a hold that never ended lasts to the end of the run",
       {Start(1, 10), Start(5, 11), End(6, 11), Start(7, 12), End(8, 12)},
       {2, 1, 0, 0, 0}},
      {"a thread's end ends its own holds, not its process's others",
       {Start(1, 10), OnThread(2, Start(1, 10, 1)),
        Fault(2, 10, ChaosFault::kThreadEnd), Start(3, 11, 1), End(4, 11, 1)},
       {1, 1, 0, 0, 0}},
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
        Call(4, 10, ChaosCall::kRelease, kErrorLockNotHeld),
        Call(5, 10, ChaosCall::kAcquireWait, kErrorLockBusy)},
       {0, 0, 0, 5, 0}},
      {"a worker crashed, another was killed without killing itself",
       {Exit(1, 10, 134), Exit(2, 11, -9), Exit(3, 12, 0)},
       {0, 0, 0, 0, 2}},
      {"a worker that crashed holding ended its hold with it",
       {Start(1, 10), Exit(2, 10, 134), Start(3, 11), End(4, 11)},
       {0, 0, 0, 0, 1}},
      {"a call hung on a name that its dead holder never freed",
       {Start(1, 10), Fault(2, 10, ChaosFault::kKill), Exit(3, 10, -9),
        At(900, ChaosEvent::kCallHung, 1, 0, 800,
           std::uint16_t(ChaosCall::kAcquireWait), 11)},
       {0, 0, 1, 0, 0}},
      {"a worker that the run renewed after a removal did not fail",
       {At(1, ChaosEvent::kWorkerRenewed, 1, 0, 0, 0, 10), Exit(2, 10, -9)},
       {0, 0, 0, 0, 0}},
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

LockService* CreateGrantingService(const char*) {
  return new FakeLockService(kOk, kOk);
}

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
  // An adapter that offers neither thread-end nor fork.
  const std::string flock = std::string(WENDLEMOOR_ADAPTERS) + "/flock-command";
  const std::string fitted = "adapter \"" + flock +
                             "\": protocol 1, 1 thread per process; not "
                             "supported: thread-end, fork";
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
      {{"/bin/sh",
        "-c",
        "exec \"$@\" 2>&1",
        "sh",
        chaos,
        "--seconds",
        "3",
        "--processes",
        "3",
        "--threads",
        "3",
        "--timeline",
        svg,
        "--folder",
        folder,
        "--history",
        clean + ".history",
        "--json",
        clean + ".json",
        "--junit",
        clean + ".xml"},
       0,
       "verdict: clean: no overlap, every hold ended, no name left unusable, "
       "every code as promised",
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
      // --faults=X is --faults X, and "all" the default, for an adapter and
      // for a card as for a run.
      {{chaos, "--command", flock, "--faults=thread-end"}, 2, ""},
      {{chaos, "--command", flock, "--faults", "all", "--seconds", "1",
        "--processes", "2"},
       0,
       fitted.c_str()},
      {{chaos, "--command", flock, "--card", "--faults=none", "--seconds", "1",
        "--processes", "2", "--out", temp.path() + "/card"},
       0,
       "| module        | none  | warm acquire+release |"},
      {{TestBinaryPath(), "--helper-role", "chaos_granting_run", "--history",
        broken + ".history", "--json", broken + ".json", "--junit",
        broken + ".xml"},
       1,
       "verdict: BROKEN:"},
  };
  std::vector<RunRequest> requests;
  for (const Row& row : rows) requests.push_back({row.argv, ""});
  const std::uint64_t began = JX_MonotonicNanos();
  const std::vector<RunResult> runs = RunCaptureAll(requests, kDeadlineMs);
  // The interrupted runs' workers ended with them, long before their minute.
  EXPECT_LT(JX_MonotonicNanos() - began, 40000 * kMs);
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
  std::ifstream picture(svg);
  const std::string text((std::istreambuf_iterator<char>(picture)), {});
  EXPECT_NE(text.find("<title>wendlemoor-chaos verdict: clean: "),
            std::string::npos);
  for (const char* signal : {"INT", "TERM", "HUP"}) {
    EXPECT_TRUE(std::filesystem::is_empty(temp.path() + "/" + signal))
        << signal;
  }
  // Only the faults asked for struck (the row's line shows the first ones).
  const std::string& faults = runs[15].output;
  EXPECT_EQ(faults.find(" stop 0,"), std::string::npos) << faults;
  EXPECT_NE(faults.find("remove-files 0, remove-folder 0, "
                        "two-instances 0, misuse "),
            std::string::npos)
      << faults;
  EXPECT_EQ(faults.find(", misuse 0\n"), std::string::npos);
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
    for (const ChaosRecord& taken : history) {
      EXPECT_FALSE(taken.event == ChaosEvent::kHoldStart &&
                   taken.time - taken.value < removal.time &&
                   removal.time < taken.time);
    }
  }
  EXPECT_GT(removals, 0);

  // A kept history judged again gives the run's verdict and status; one
  // that is missing, cut short or not a history gives status 2 and why.
  const std::string cut = temp.path() + "/cut.history";
  std::filesystem::copy_file(clean + ".history", cut);
  std::filesystem::resize_file(cut, std::filesystem::file_size(cut) - 7);
  ASSERT_FALSE(
      temp.WriteFile("garbage.history", "records 3\n\n", 0600).empty());
  const std::string stderr_too = "exec \"$@\" 2>&1";
  const std::vector<Row> checks = {
      {{chaos, "--check", clean + ".history"}, 0, runs[14].output.c_str()},
      {{chaos, "--check", broken + ".history"}, 1, runs.back().output.c_str()},
      {{"/bin/sh", "-c", stderr_too, "sh", chaos, "--check", cut},
       2,
       "wendlemoor-chaos: "},
      {{"/bin/sh", "-c", stderr_too, "sh", chaos, "--check",
        temp.path() + "/garbage.history"},
       2,
       "wendlemoor-chaos: "},
      {{"/bin/sh", "-c", stderr_too, "sh", chaos, "--check",
        temp.path() + "/missing.history"},
       2,
       "wendlemoor-chaos: "},
  };
  requests.clear();
  for (const Row& row : checks) requests.push_back({row.argv, ""});
  const std::vector<RunResult> judged = RunCaptureAll(requests, kDeadlineMs);
  for (std::size_t i = 0; i < checks.size(); ++i) {
    SCOPED_TRACE(checks[i].argv.back());
    EXPECT_EQ(judged[i].status, checks[i].status) << judged[i].output;
    const std::string verdict = checks[i].status == 2
                                    ? checks[i].output
                                    : SplitLines(checks[i].output).back();
    EXPECT_NE(judged[i].output.find(verdict), std::string::npos)
        << judged[i].output;
  }
  EXPECT_NE(judged[2].output.find("cut short"), std::string::npos);
  EXPECT_NE(judged[3].output.find("not a wendlemoor-chaos history"),
            std::string::npos);

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
      "print(j['holds'], j['run'].endswith('seed ' + j['seed']),"
      " len(j['holds_per_name']),"
      " s.get('tests'), s.get('failures'), ','.join(bad))\n";
  requests = {
      {{"/bin/sh", "-c", stderr_too, "sh", "python3", "-c", parse, clean}, ""},
      {{"/bin/sh", "-c", stderr_too, "sh", "python3", "-c", parse, broken},
       ""}};
  const std::vector<RunResult> parsed = RunCaptureAll(requests, kDeadlineMs);
  EXPECT_EQ(parsed[0].output, "True True 4 9 0 \n");
  EXPECT_EQ(parsed[1].output, "False True 2 2 1 misuse\n");
}

}  // namespace
}  // namespace wendlemoor
