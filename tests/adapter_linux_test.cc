// The chaos run over adapter programs (docs/adapter-protocol.md): adapters
// that cannot speak the protocol are refused before the run, a real one is
// judged clean, and adapters that lie or fail midway are findings.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "chaos/adapter.h"
#include "chaos/fault.h"
#include "gtest/gtest.h"
#include "tests/run_capture.h"

namespace {

constexpr int kDeadlineMs = 120000;

std::string ChaosPath() {
  return (std::filesystem::path(WENDLEMOOR_BINARY).parent_path() /
          "wendlemoor-chaos")
      .string();
}

// Writes a shell adapter named `name` into `folder` and returns its path.
std::string WriteAdapter(const std::string& folder, const std::string& name,
                         const std::string& body) {
  const std::string path = folder + "/" + name;
  std::ofstream(path) << "#!/bin/sh\n" << body;
  chmod(path.c_str(), 0755);
  return path;
}

std::string ReadAll(const std::string& path) {
  std::ifstream file(path);
  return std::string((std::istreambuf_iterator<char>(file)), {});
}

// Starts the adapter `command` over `folder` as a worker of the run does (in
// this process's group: it ends at the end of its input) and reads its
// greeting.
std::unique_ptr<wendlemoor::Adapter> StartAdapter(
    const std::string& command, const std::string& folder,
    wendlemoor::AdapterFeatures* features) {
  std::string error;
  std::unique_ptr<wendlemoor::Adapter> adapter =
      wendlemoor::Adapter::Start(command, folder, false, &error);
  EXPECT_NE(adapter, nullptr) << error;
  if (adapter != nullptr && adapter->Greet(30000, features, &error) !=
                                wendlemoor::AdapterFault::kNone) {
    ADD_FAILURE() << command << " " << error;
    adapter.reset();
  }
  return adapter;
}

// One request and its answer as the adapter wrote it after the thread
// number ("done", "failed not-held", "forked done busy"), or the fault that
// made the adapter unusable ("fault: answered garbage").
std::string Ask(wendlemoor::Adapter* adapter, std::uint32_t thread,
                const std::string& line, int deadline_ms = 30000) {
  wendlemoor::AdapterAnswer answer = wendlemoor::AdapterAnswer::kFailed;
  std::string reason, error;
  const wendlemoor::AdapterFault fault =
      adapter->Request(thread, line, deadline_ms, &answer, &reason, &error);
  if (fault != wendlemoor::AdapterFault::kNone) {
    return std::string("fault: ") + wendlemoor::AdapterFaultText(fault);
  }
  switch (answer) {
    case wendlemoor::AdapterAnswer::kDone:
      return "done";
    case wendlemoor::AdapterAnswer::kBusy:
      return "busy";
    case wendlemoor::AdapterAnswer::kFailed:
      return "failed " + reason;
    case wendlemoor::AdapterAnswer::kForked:
      return "forked " + reason;
    case wendlemoor::AdapterAnswer::kGranted:
      return "ok " + reason;
  }
  return "?";
}

// The count of a run's "acquisitions: N in" line, or -1 without one.
int Acquisitions(const std::string& output) {
  const std::size_t at = output.find("\nacquisitions: ");
  return at == std::string::npos ? -1 : std::atoi(output.c_str() + at + 15);
}

// The greeting of an adapter that supports nothing beyond one thread.
constexpr char kGreet[] = "echo 'wendlemoor-adapter 1'\n";

TEST(AdapterRunTest, RefusesAnAdapterThatDoesNotSpeakTheProtocol) {
  TempDir temp;
  ASSERT_FALSE(temp.path().empty());
  struct Row {
    std::string name;
    std::string body;
    const char* cause;  // what the one line on standard error says
    std::vector<std::string> options = {};
  };
  std::vector<Row> rows = {
      {"missing", "", "cannot be started: "},
      {"garbage-greeting", "echo hello\nsleep 30\n", "greeted with \"hello\""},
      {"other-version", "echo 'wendlemoor-adapter 2 threads'\nsleep 30\n",
       "speaks protocol version 2, not 1"},
      {"silent", "exec sleep 30\n", "did not greet within 5000 ms"},
      {"exits-at-once", "exit 3\n", "exited with status 3 before greeting"},
      {"garbage-answer", std::string(kGreet) + "read -r line\necho '1 maybe'\n",
       "answered a line that does not parse: \"1 maybe\""},
      // A token one past the largest 64-bit number.
      {"garbage-token",
       "echo 'wendlemoor-adapter 1 fencing'\nread -r line\n"
       "echo '1 ok 18446744073709551616'\n",
       "answered a line that does not parse: \"1 ok 18446744073709551616\""},
      {"flock-command-thread-end",
       "",
       "does not support: thread-end",
       {"--faults", "thread-end"}},
      {"missing-library",
       "echo 'wendlemoor-adapter 1 missing libfoo'\nsleep 30\n",
       "is not supported here: missing libfoo"},
      {"bad-lease", "echo 'wendlemoor-adapter 1 lease=0'\nsleep 30\n",
       "not a lease of a positive whole number of milliseconds"},
      // An adapter's lock has no cleanup for the run to call.
      {"flock-command-remove-ipc",
       "",
       "does not support: remove-ipc",
       {"--faults", "remove-ipc"}},
  };
  // An adapter that only says what it misses and exits: its greeting and
  // its end reach the run together, and the greeting must win each time.
  for (int i = 0; i < 24; ++i) {
    rows.push_back({"greets-missing-and-exits-" + std::to_string(i),
                    "echo 'wendlemoor-adapter 1 missing libfoo'\n",
                    "is not supported here: missing libfoo"});
  }
  std::vector<RunRequest> requests;
  std::vector<std::string> commands;
  for (const Row& row : rows) {
    std::string command = temp.path() + "/" + row.name;
    if (row.body.empty() && row.options.empty()) {
      // Nothing written: the file is not there.
    } else if (row.body.empty()) {
      command = std::string(WENDLEMOOR_ADAPTERS) + "/flock-command";
    } else {
      command = WriteAdapter(temp.path(), row.name, row.body);
    }
    commands.push_back(command);
    // Standard error alone is captured.
    std::vector<std::string> argv = {
        "/bin/sh",   "-c",   "exec \"$@\" 2>&1 >/dev/null", "sh", ChaosPath(),
        "--command", command};
    argv.insert(argv.end(), row.options.begin(), row.options.end());
    requests.push_back({argv, ""});
  }
  const std::vector<RunResult> runs = RunCaptureAll(requests, kDeadlineMs);
  for (std::size_t i = 0; i < rows.size(); ++i) {
    SCOPED_TRACE(rows[i].name);
    EXPECT_EQ(runs[i].status, 2) << runs[i].output;
    const std::vector<std::string> lines = SplitLines(runs[i].output);
    ASSERT_EQ(lines.size(), 1u) << runs[i].output;
    EXPECT_NE(lines[0].find("adapter \"" + commands[i] + "\""),
              std::string::npos)
        << lines[0];
    EXPECT_NE(lines[0].find(rows[i].cause), std::string::npos) << lines[0];
  }
}

// What a greeting offers: a lease in whole milliseconds, and words this
// version does not know, ignored when plain, refused with an argument.
TEST(AdapterRunTest, GreetingSaysWhatTheAdapterOffers) {
  const struct {
    const char* line;
    bool read;
    std::uint64_t lease_ms;
  } rows[] = {
      {"wendlemoor-adapter 1 threads instances lease=250 later-word", true,
       250},
      {"wendlemoor-adapter 1 threads", true, 0},
      {"wendlemoor-adapter 1 lease=0", false, 0},
      {"wendlemoor-adapter 1 lease=-5", false, 0},
      {"wendlemoor-adapter 1 lease=1.5", false, 0},
      {"wendlemoor-adapter 1 lease=", false, 0},
      {"wendlemoor-adapter 1 lease=99999999999", false, 0},
      {"wendlemoor-adapter 1 threads colour=red", false, 0},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.line);
    wendlemoor::AdapterFeatures features;
    std::string error;
    EXPECT_EQ(wendlemoor::ParseGreeting(row.line, &features, &error), row.read)
        << error;
    if (row.read) {
      EXPECT_EQ(features.lease_ms, row.lease_ms);
    }
  }
}

TEST(AdapterRunTest, VerdictJudgesWhatTheAdapterDid) {
  TempDir temp;
  ASSERT_FALSE(temp.path().empty());
  // Answers "done" to everything and locks nothing.
  const std::string liar = WriteAdapter(
      temp.path(), "liar",
      std::string(kGreet) +
          "while read -r verb thread rest; do echo \"$thread done\"; done\n");
  // Promises fencing tokens and grants without one.
  const std::string tokenless = WriteAdapter(
      temp.path(), "tokenless",
      "echo 'wendlemoor-adapter 1 fencing'\n"
      "while read -r verb thread rest; do echo \"$thread done\"; done\n");
  // Locks nothing either, and exits after its tenth request.
  const std::string quitter = WriteAdapter(
      temp.path(), "quitter",
      std::string(kGreet) +
          "n=0\nwhile read -r verb thread rest; do n=$((n+1)); "
          "[ $n -ge 10 ] && exit 0; echo \"$thread done\"; done\n");
  const std::string flock = std::string(WENDLEMOOR_ADAPTERS) + "/flock-command";
  // Several threads and their ends go through the Python adapter, where its
  // library is installed.
  const bool python =
      RunCapture({"/usr/bin/python3", "-c", "import filelock"}, "", 30000)
          .status == 0;
  const bool fasteners =
      RunCapture({"/usr/bin/python3", "-c", "import fasteners"}, "", 30000)
          .status == 0;
  // An adapter whose language or library is missing here says so when it
  // greets.
  const auto installed = [&temp](const std::string& adapter) {
    return RunCapture({"/bin/sh", "-c", "exec \"$@\" </dev/null", "sh", adapter,
                       temp.path()},
                      "", 30000)
               .output.find(" missing ") == std::string::npos;
  };
  const std::string ruby_flock =
      std::string(WENDLEMOOR_ADAPTERS) + "/ruby-flock";
  const std::string proper_lockfile =
      std::string(WENDLEMOOR_ADAPTERS) + "/node-proper-lockfile";
  const bool ruby = installed(ruby_flock);
  const bool node = installed(proper_lockfile);
  struct Row {
    std::string command;
    int status;
    const char* line;  // what the output holds
    std::vector<std::string> options = {"--seconds", "3", "--processes", "3"};
    // A clean verdict counts only over this many acquisitions at least: a
    // starved run that made a handful proves nothing.
    int least = 0;
    bool tokens = false;  // its lock gives fencing tokens
  };
  // A lock on a server of the run's own holds under plain contention, where
  // the server and the client library are installed.
  auto served = [](const char* server, const char* module) {
    return access(server, X_OK) == 0 &&
           RunCapture(
               {"/usr/bin/python3", "-c", std::string("import ") + module}, "",
               30000)
                   .status == 0;
  };
  const bool postgres =
      served("/usr/lib/postgresql/15/bin/postgres", "psycopg2");
  const bool redis = served("/usr/bin/redis-server", "redis");
  const bool etcd = served("/usr/bin/etcd", "etcd3");
  constexpr int kLeast = 50;
  const std::vector<std::string> contention = {
      "--seconds", "3", "--processes", "2",
      "--threads", "2", "--faults",    "none"};
  const std::string json = temp.path() + "/flock.json";
  const std::string quitter_history = temp.path() + "/quitter.history";
  const std::string card = temp.path() + "/card";
  const std::vector<Row> rows = {
      // Its spawned child keeps the lock: every fault but that one.
      {flock,
       0,
       "verdict: clean: no overlap",
       {"--seconds", "3", "--processes", "3", "--json", json, "--faults",
        "kill,stop,remove-files,remove-folder,two-instances,misuse"}},
      {liar, 1, "verdict: BROKEN: "},
      {quitter,
       1,
       "its adapter exited",
       {"--seconds", "3", "--processes", "3", "--history", quitter_history}},
      {std::string(WENDLEMOOR_ADAPTERS) + "/python-filelock",
       python ? 0 : 2,
       python ? "verdict: clean: no overlap" : "is not supported here",
       {"--seconds", "3", "--processes", "3", "--threads", "3", "--faults",
        "thread-end,misuse,kill"}},
      // Its child's release of an inherited FileLock frees the parent's.
      {std::string(WENDLEMOOR_ADAPTERS) + "/python-filelock",
       python ? 1 : 2,
       python ? "found: forked child's release of its parent's hold"
              : "is not supported here",
       {"--seconds", "4", "--processes", "4", "--threads", "4", "--faults",
        "fork"}},
      // One InterProcessLock per name per process, its threads taking turns.
      {std::string(WENDLEMOOR_ADAPTERS) + "/python-fasteners",
       fasteners ? 0 : 2,
       fasteners ? "verdict: clean: no overlap" : "is not supported here",
       {"--seconds", "3", "--processes", "3", "--threads", "3", "--faults",
        "none"}},
      // A background command inherits the shell's descriptor and the lock.
      {flock,
       1,
       "kept by a spawned child",
       {"--seconds", "10", "--strikes", "4", "--processes", "3", "--faults",
        "spawn"}},
      // Two InterProcessLocks of one process share its record lock.
      {std::string(WENDLEMOOR_ADAPTERS) + "/python-fasteners",
       fasteners ? 1 : 2,
       fasteners ? "through its other instance: " : "is not supported here",
       {"--seconds", "3", "--processes", "2", "--threads", "2", "--faults",
        "two-instances"}},
      {std::string(WENDLEMOOR_ADAPTERS) + "/postgres-advisory",
       postgres ? 0 : 2,
       postgres ? "verdict: clean: no overlap" : "wendlemoor-chaos: ",
       contention, kLeast, true},
      // One session for a process's threads: they all hold what one took.
      {std::string(WENDLEMOOR_ADAPTERS) + "/postgres-advisory-shared",
       postgres ? 1 : 2,
       postgres ? "overlapping holds" : "wendlemoor-chaos: ", contention},
      {std::string(WENDLEMOOR_ADAPTERS) + "/redis-set-nx", redis ? 0 : 2,
       redis ? "verdict: clean: no overlap" : "wendlemoor-chaos: ", contention,
       kLeast, true},
      {std::string(WENDLEMOOR_ADAPTERS) + "/redis-py-lock", redis ? 0 : 2,
       redis ? "verdict: clean: no overlap" : "wendlemoor-chaos: ", contention,
       kLeast},
      {std::string(WENDLEMOOR_ADAPTERS) + "/etcd-lock", etcd ? 0 : 2,
       etcd ? "verdict: clean: no overlap" : "wendlemoor-chaos: ", contention,
       kLeast, true},
      // The strikes on a lock's server: PostgreSQL's session locks wait
      // out a pause; a restart forgets Redis's keys and breaks every
      // connection; a worker cut off past its lease finds its key gone.
      // A lock without a server of the run's own has none of them.
      {std::string(WENDLEMOOR_ADAPTERS) + "/postgres-advisory",
       postgres ? 0 : 2,
       postgres ? "verdict: clean: no overlap" : "wendlemoor-chaos: ",
       {"--seconds", "6", "--processes", "2", "--threads", "2", "--faults",
        "server-pause"}},
      {std::string(WENDLEMOOR_ADAPTERS) + "/redis-set-nx",
       redis ? 1 : 2,
       redis ? "verdict: BROKEN: " : "wendlemoor-chaos: ",
       {"--seconds", "5", "--processes", "2", "--threads", "2", "--faults",
        "server-restart"}},
      {std::string(WENDLEMOOR_ADAPTERS) + "/redis-set-nx",
       redis ? 1 : 2,
       redis ? "verdict: BROKEN: " : "wendlemoor-chaos: ",
       {"--seconds", "8", "--processes", "2", "--threads", "2", "--faults",
        "cut-off"}},
      // A holder stopped past its lease: another takes the key, and the
      // grant's fencing token tells the stale holder's work apart.
      {std::string(WENDLEMOOR_ADAPTERS) + "/redis-set-nx",
       redis ? 1 : 2,
       redis ? " overlaps fenced; none went backwards" : "wendlemoor-chaos: ",
       {"--seconds", "8", "--processes", "2", "--threads", "2", "--faults",
        "stop"}},
      {flock, 2, "", {"--seconds", "1", "--faults", "server-pause"}},
      // A class the adapter lacks, and one that needs a server it has not.
      {flock,
       0,
       "| not supported | n/a ",
       {"--card", "--faults", "none,thread-end,server-pause", "--seconds", "1",
        "--out", card, "--result", card + ".json", "--junit", card + ".xml"}},
      // A File of its own per acquisition: its close frees the name, at a
      // thread's end and at a death too.
      {ruby_flock,
       ruby ? 0 : 2,
       ruby ? "verdict: clean: no overlap" : "is not supported here",
       {"--seconds", "3", "--processes", "2", "--threads", "3", "--faults",
        "thread-end,misuse,kill"}},
      // A lock with a lease, through the Node kit.
      {proper_lockfile,
       node ? 0 : 2,
       node ? "verdict: clean: no overlap" : "is not supported here",
       {"--seconds", "3", "--processes", "2", "--threads", "3", "--faults",
        "misuse"}},
      {tokenless, 1, "its adapter answered garbage"},
  };
  std::vector<RunRequest> requests;
  for (const Row& row : rows) {
    std::vector<std::string> argv = {
        "/bin/sh",   "-c",        "exec \"$@\" 2>&1", "sh",
        ChaosPath(), "--command", row.command};
    argv.insert(argv.end(), row.options.begin(), row.options.end());
    requests.push_back({argv, ""});
  }
  // The rows run a few at a time: dozens of adapter processes starting at
  // once on a small machine miss the 5 s their greeting has.
  constexpr std::size_t kAtOnce = 8;
  std::vector<RunResult> runs;
  for (std::size_t at = 0; at < requests.size(); at += kAtOnce) {
    const std::vector<RunRequest> some(
        requests.begin() + std::ptrdiff_t(at),
        requests.begin() +
            std::ptrdiff_t(std::min(requests.size(), at + kAtOnce)));
    for (RunResult& run : RunCaptureAll(some, kDeadlineMs)) {
      runs.push_back(std::move(run));
    }
  }
  // A row of one fault class proves nothing when the class never struck (its
  // strikes are drawn per hold, and a starved machine may make few holds):
  // such a row runs again, up to twice, before it is judged.
  RunAgainWhile(
      requests, &runs, kDeadlineMs, [&](std::size_t i, const RunResult& run) {
        const std::vector<std::string>& o = rows[i].options;
        const auto faults = std::find(o.begin(), o.end(), "--faults");
        if (faults == o.end() || faults + 1 == o.end() ||
            faults[1].find(',') != std::string::npos) {
          return false;
        }
        // The last class of the faults line has no comma after its count.
        const std::string unstruck = " " + faults[1] + " 0";
        return run.output.find("faults: ") != std::string::npos &&
               (run.output.find(unstruck + ",") != std::string::npos ||
                run.output.find(unstruck + "\n") != std::string::npos);
      });
  // So does a row that should break but came out clean, or without the
  // break it asks for: a lie the run catches by chance (two processes
  // asking for one name at once) may miss a short run on a starved machine,
  // and the second instance of fasteners' row answers busy while the
  // holder's sibling thread holds the name through it (one strike in 92
  // acquisitions under a sanitizer). A lock that holds never breaks.
  RunAgainWhile(requests, &runs, kDeadlineMs,
                [&](std::size_t i, const RunResult& run) {
                  return rows[i].status == 1 &&
                         (run.status == 0 ||
                          run.output.find(rows[i].line) == std::string::npos ||
                          (i == 7 && fasteners &&
                           run.output.find("(first kOk: a second grant)") ==
                               std::string::npos));
                });
  // So does a server row that took too few or did not come out as expected:
  // on a starved machine its Python client library (gRPC for etcd) may load
  // later than the 5 s an answer has. A lock that breaks fails each time.
  RunAgainWhile(requests, &runs, kDeadlineMs,
                [&](std::size_t i, const RunResult& run) {
                  return rows[i].least > 0 &&
                         (Acquisitions(run.output) < rows[i].least ||
                          run.output.find(rows[i].line) == std::string::npos);
                });
  for (std::size_t i = 0; i < rows.size(); ++i) {
    SCOPED_TRACE(rows[i].command);
    EXPECT_EQ(runs[i].status, rows[i].status) << runs[i].output;
    EXPECT_NE(runs[i].output.find(rows[i].line), std::string::npos)
        << runs[i].output;
    if (rows[i].least > 0 && rows[i].status == 0) {
      EXPECT_GE(Acquisitions(runs[i].output), rows[i].least) << runs[i].output;
      // Each grant's token reached the history through the kit; a lock
      // without tokens gets no such line.
      EXPECT_EQ(runs[i].output.find("fencing tokens: ") != std::string::npos,
                rows[i].tokens)
          << runs[i].output;
      if (rows[i].tokens) {
        EXPECT_NE(runs[i].output.find("none went backwards"), std::string::npos)
            << runs[i].output;
      }
    }
  }
  // A run says which faults it left out: every class of "all" whose word
  // its greeting does not say (no second instance: not two-instances).
  const std::string left_out = wendlemoor::FaultNames(
      wendlemoor::FaultsOursSurvives() & ~wendlemoor::FaultsGreeted({}), ", ");
  EXPECT_EQ(left_out.rfind("thread-end, fork, two-instances, misuse, ", 0), 0u)
      << left_out;
  EXPECT_NE(runs[1].output.find("not supported: " + left_out + "\n"),
            std::string::npos)
      << runs[1].output;
  if (fasteners) {
    EXPECT_NE(runs[7].output.find("(first kOk: a second grant)"),
              std::string::npos)
        << runs[7].output;
  }
  // Its results are written as any run's, naming the adapter.
  EXPECT_NE(ReadAll(json).find("\"verdict\": \"verdict: clean: "),
            std::string::npos);
  EXPECT_NE(ReadAll(json).find("\"lock\": \"adapter " + flock + "\""),
            std::string::npos)
      << ReadAll(json);
  // The card's own JSON and a JUnit suite for the adapter's row.
  EXPECT_NE(ReadAll(card + ".json").find("\"card\": "), std::string::npos);
  EXPECT_NE(ReadAll(card + ".xml")
                .find("<testsuite name=\"flock-command\" "
                      "tests=\"3\" failures=\"0\""),
            std::string::npos)
      << ReadAll(card + ".xml");
  // The history of a run whose adapter failed is judged again as the run
  // judged it.
  const RunResult check = RunCapture({"/bin/sh", "-c", "exec \"$@\" 2>&1", "sh",
                                      ChaosPath(), "--check", quitter_history},
                                     "", kDeadlineMs);
  EXPECT_EQ(check.status, 1) << check.output;
  const std::vector<std::string> lines = SplitLines(runs[2].output);
  ASSERT_FALSE(lines.empty());
  EXPECT_NE(check.output.find("\n" + lines.back() + "\n"), std::string::npos)
      << check.output;
}

// Each kit in adapters/kit, and each adapter that speaks the protocol itself
// (Java, Go), answers a whole session as the protocol says, whatever lock it
// serves: the misuse bookkeeping, threads that wait apart,
// thread end, fork, lines it cannot read, and the end of its input, after
// which a second process of the adapter gets what the first held.
TEST(AdapterRunTest, KitsAnswerAScriptedSession) {
  struct Row {
    const char* adapter;
    const char* missing;    // its greeting where it cannot run here
    const char* after_end;  // a name whose holder's thread ended, no wait
    const char* fork;       // "fork T NAME" while T holds NAME
    // Another adapter's nowait acquire of a name held across "open-close":
    // "done" where any close of the file in the process drops the hold; ""
    // where open-close is not offered.
    const char* open_close;
    // Instance 2 asked for a name that instance 1 holds; "failed
    // bad-request" where instances are not offered.
    const char* other_instance = "busy";
    const char* spawn = "done";  // "spawn T NAME" while T holds NAME
  };
  const std::vector<Row> rows = {
      {"python-fcntl-flock", "", "done", "forked done busy", "busy"},
      // The child's release of an inherited FileLock or file frees the
      // parent's hold; fasteners' ended thread keeps its turn taken, and
      // its second InterProcessLock shares the process's record lock.
      {"python-filelock", "missing python3-filelock", "done",
       "forked done done", "busy"},
      {"python-fasteners", "missing python3-fasteners", "busy",
       "forked done busy", "done", "done"},
      {"python-portalocker", "missing python3-portalocker", "done",
       "forked done done", "busy"},
      // Nothing frees a marker but its release; Node cannot fork.
      {"node-marker-file", "missing nodejs", "busy", "failed unknown-request",
       "busy"},
      // An ended thread's turn, and its *Flock's open file, stay taken;
      // neither Java nor Go forks, nor offers open-close.
      {"java-filechannel", "missing openjdk-17-jdk-headless", "busy",
       "failed unknown-request", "", "busy", "failed unknown-request"},
      {"go-flock", "missing golang-go", "busy", "failed unknown-request", "",
       "busy", "failed unknown-request"},
      // No kit: the adapter speaks the protocol itself. A child's close of
      // its copy of the file leaves the parent's lock; no open-close, no
      // second instance, no spawn.
      {"ruby-flock", "missing ruby", "done", "forked done busy", "",
       "failed bad-request", "failed unknown-request"},
  };
  // The compiled adapters find their programs in this build.
  const std::string build =
      std::filesystem::path(WENDLEMOOR_BINARY).parent_path().string();
  constexpr int kWaitMs = 60000;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.adapter);
    TempDir temp;
    ASSERT_FALSE(temp.path().empty());
    const std::string command = "env WENDLEMOOR_BUILD=" + build + " " +
                                WENDLEMOOR_ADAPTERS + "/" + row.adapter;
    const std::string folder = temp.path() + "/locks";
    wendlemoor::AdapterFeatures features;
    std::unique_ptr<wendlemoor::Adapter> first =
        StartAdapter(command, folder, &features);
    ASSERT_NE(first, nullptr);
    if (!features.missing.empty()) {
      EXPECT_EQ(features.missing, row.missing);
      continue;
    }
    EXPECT_TRUE(features.threads && features.thread_end &&
                features.words.count("misuse") > 0);
    const bool open_close = *row.open_close != '\0';
    EXPECT_EQ(features.words.count("open-close") > 0, open_close);
    const bool instances =
        std::string(row.other_instance) != "failed bad-request";
    EXPECT_EQ(features.instances, instances);
    EXPECT_EQ(features.words.count("spawn") > 0,
              std::string(row.spawn) == "done");
    const std::string other_release =
        !instances                                  ? "failed bad-request"
        : std::string(row.other_instance) == "done" ? "done"
                                                    : "failed not-held";
    EXPECT_EQ(features.words.count("fork") > 0,
              std::string(row.fork) != "failed unknown-request");
    const struct {
      std::uint32_t thread;
      const char* line;
      std::string answer;
    } steps[] = {
        {1, "release 1 wendlemoor-probe", "failed not-held"},
        {1, "acquire 1 a wait", "done"},
        {1, "acquire 1 a nowait", "failed deadlock"},
        // Each instance keeps its own holds.
        {1, "acquire 1 a nowait 2", row.other_instance},
        {1, "release 1 a 2", other_release},
        {1, "release 1 a 3", "failed bad-request"},
        {2, "acquire 2 a nowait", "busy"},
        {2, "release 2 a", "failed not-held"},
        {2, "acquire 2 b wait", "done"},
        {2, "end 2", "done"},
        {3, "acquire 3 b nowait", row.after_end},
        {6, "bogus 6 a", "failed unknown-request"},
        {6, "acquire 6 a sometimes", "failed bad-request"},
    };
    for (const auto& step : steps) {
      EXPECT_EQ(Ask(first.get(), step.thread, step.line), step.answer)
          << step.line;
    }
    // Thread 4 waits for a; meanwhile thread 5 is served and 1 gives a up.
    std::string waited;
    std::thread waiter(
        [&] { waited = Ask(first.get(), 4, "acquire 4 a wait", kWaitMs); });
    EXPECT_EQ(Ask(first.get(), 5, "acquire 5 c nowait"), "done");
    EXPECT_EQ(Ask(first.get(), 1, "release 1 a"), "done");
    waiter.join();
    EXPECT_EQ(waited, "done");
    EXPECT_EQ(Ask(first.get(), 5, "fork 5 c"), row.fork);
    // The child spawned while c was held leaves it free once released.
    EXPECT_EQ(Ask(first.get(), 5, "spawn 5 c"), row.spawn);
    EXPECT_EQ(Ask(first.get(), 5, "release 5 c"), "done");
    std::unique_ptr<wendlemoor::Adapter> second =
        StartAdapter(command, folder, &features);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(Ask(second.get(), 2, "acquire 2 c nowait"), "done");
    EXPECT_EQ(Ask(second.get(), 1, "acquire 1 a nowait"), "busy");
    EXPECT_EQ(Ask(first.get(), 8, "acquire 8 d nowait"), "done");
    EXPECT_EQ(Ask(first.get(), 8, "open-close 8 d"),
              open_close ? "done" : "failed unknown-request");
    if (open_close) {
      EXPECT_EQ(Ask(second.get(), 1, "acquire 1 d nowait"), row.open_close);
    }
    // A line without a thread number gets a line the run cannot read.
    EXPECT_EQ(Ask(first.get(), 7, "acquire x"), "fault: answered garbage");
    // At the end of its input the first gives a back.
    first.reset();
    EXPECT_EQ(Ask(second.get(), 1, "acquire 1 a wait", kWaitMs), "done");
  }
}

}  // namespace
