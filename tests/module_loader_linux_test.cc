// Lock services from modules: the loader's refusals, a module written in C
// served through the registry, and a short report card of real modules.
#include <dlfcn.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "components/module_loader.h"
#include "components/registry.h"
#include "gtest/gtest.h"
#include "tests/run_capture.h"

namespace wendlemoor {
namespace {

constexpr int kDeadlineMs = 120000;

std::string TestModule(const char* kind) {
  return std::string(WENDLEMOOR_TEST_MODULES) + "/" + kind + ".so";
}

std::string ChaosBinary() {
  return (std::filesystem::path(WENDLEMOOR_BINARY).parent_path() /
          "wendlemoor-chaos")
      .string();
}

std::string ReadAll(const std::string& path) {
  std::ifstream file(path);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

TEST(ModuleLoaderTest, RefusesEachBadModuleWithItsCodeAndOneLine) {
  TempDir temp;
  ASSERT_FALSE(temp.path().empty());
  const std::string text = temp.WriteFile("text.so", "not a library\n", 0644);
  // "lock.so" in the run's current folder lacks the entry point; the one on
  // the library path is a good module that the run must not take instead.
  const std::string library_path = temp.path() + "/library-path";
  std::filesystem::create_directory(library_path);
  std::filesystem::copy_file(TestModule("no_entry"), temp.path() + "/lock.so");
  std::filesystem::copy_file(TestModule("grant"), library_path + "/lock.so");
  struct Row {
    std::string path;
    ResultCode code;
    const char* cause;
    std::string run_as = "";  // the path the run is given, when not `path`
  };
  std::vector<Row> rows = {
      {temp.path() + "/missing.so", kErrorModuleNotFound, "No such file"},
      {text, kErrorModuleNotLibrary, "not a shared library"},
      {temp.path(), kErrorModuleNotLibrary, "not a regular file"},
      {TestModule("no_entry"), kErrorModuleNoEntry, "wendlemoor_module_entry"},
      {TestModule("abi"), kErrorModuleAbiVersion, "ABI version 4, not 1 to 3"},
      {TestModule("entry_fails"), kErrorModuleEntryFailed, "80000001"},
      {TestModule("no_service"), kErrorModuleNoLockService, "no lock service"},
      {temp.path() + "/lock.so", kErrorModuleNoEntry, "wendlemoor_module_entry",
       "lock.so"},
  };
  std::vector<RunRequest> requests;
  for (Row& row : rows) {
    if (row.run_as.empty()) row.run_as = row.path;
    requests.push_back(
        {{"/usr/bin/env", "LD_LIBRARY_PATH=" + library_path, ChaosBinary(),
          "--module", row.run_as, "--seconds", "1", "--log",
          temp.path() + "/" + std::to_string(requests.size()) + ".log"},
         temp.path()});
  }
  const std::vector<RunResult> runs = RunCaptureAll(requests, kDeadlineMs);
  for (std::size_t i = 0; i < rows.size(); ++i) {
    SCOPED_TRACE(rows[i].path);
    std::shared_ptr<LockModule> module;
    std::string error;
    EXPECT_EQ(LoadLockModule(rows[i].path.c_str(), &module, &error),
              rows[i].code);
    EXPECT_FALSE(module);
    EXPECT_NE(error.find(rows[i].cause), std::string::npos) << error;
    // The run refuses it before any worker starts: one line naming the file
    // and the cause, status 2.
    EXPECT_EQ(runs[i].status, 2);
    const auto lines = SplitLines(ReadAll(requests[i].argv.back()));
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find(rows[i].run_as + ": "), std::string::npos);
    EXPECT_NE(lines[0].find(rows[i].cause), std::string::npos) << lines[0];
  }
}

// Modules of every version load; the lease is read from version 2 on and
// the server from version 3 on, where the members are there (abi1 and lease
// carry both, the versions before them do not).
TEST(ModuleLoaderTest, LoadsEachVersionAndReadsOnlyItsOwnMembers) {
  const struct {
    const char* kind;
    std::uint32_t lease_ms;
    const char* server;
  } rows[] = {{"grant", 0, ""},
              {"abi1", 0, ""},
              {"lease", 300, ""},
              {"served", 0, "postgres"}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.kind);
    std::shared_ptr<LockModule> module;
    std::string error;
    ASSERT_EQ(LoadLockModule(TestModule(row.kind).c_str(), &module, &error),
              kOk)
        << error;
    EXPECT_EQ(module->lease_ms(), row.lease_ms);
    EXPECT_EQ(module->server(), row.server);
  }
}

// The count of objects that the test module at `path` has not released, or
// -1 when the library is not loaded in this process (asked without loading
// it, and without keeping it loaded).
int LiveObjects(const std::string& path) {
  void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NOLOAD);
  if (library == nullptr) return -1;
  const auto live =
      reinterpret_cast<int (*)()>(dlsym(library, "test_module_live_objects"));
  const int count = live != nullptr ? live() : -2;
  dlclose(library);
  return count;
}

TEST(ModuleLoaderTest, CModuleServesThroughTheRegistryUntilReleased) {
  TempDir temp;
  ASSERT_FALSE(temp.path().empty());
  const std::string path = TestModule("grant");
  std::shared_ptr<LockModule> module;
  std::string error;
  ASSERT_EQ(LoadLockModule(path.c_str(), &module, &error), kOk) << error;
  EXPECT_EQ(module->name(), "test");
  ASSERT_EQ(InitComponentSystem(nullptr, nullptr, nullptr), kOk);
  ASSERT_EQ(RegisterModuleLockService(module, temp.path().c_str()), kOk);
  EXPECT_EQ(LiveObjects(path), 1);
  ResultCode rv = kErrorNotInitialized;
  InterfacePtr<LockService> lock =
      GetService<LockService>(kLockServiceContractId, kLockServiceId, &rv);
  ASSERT_EQ(rv, kOk);
  // Every reference but the service's given up: its library stays loaded.
  module.reset();
  ASSERT_EQ(LiveObjects(path), 1);
  EXPECT_EQ(lock->AcquireLock("a", 1), kOk);
  EXPECT_EQ(lock->ReleaseLock("a"), kOk);
  void* base = nullptr;
  EXPECT_EQ(lock->QueryInterface(kBaseInterfaceId, &base), kOk);
  static_cast<Interface*>(base)->Release();
  lock.reset();
  EXPECT_EQ(LiveObjects(path), 1);  // the registry's reference
  // Loaded once more, so that its count can be read after the registry
  // lets go; once the last share goes, so does the library.
  ASSERT_EQ(LoadLockModule(path.c_str(), &module, &error), kOk) << error;
  ASSERT_EQ(ShutdownComponentSystem(nullptr), kOk);
  EXPECT_EQ(LiveObjects(path), 0);
  module.reset();
  EXPECT_EQ(LiveObjects(path), -1);

  // A table without an operation is refused when the service is made, not
  // called through a null slot later; its object is given back.
  const std::string lacking = TestModule("no_release");
  ASSERT_EQ(LoadLockModule(lacking.c_str(), &module, &error), kOk) << error;
  LockService* service = nullptr;
  EXPECT_EQ(CreateModuleLockService(module, temp.path().c_str(), &service),
            kErrorModuleMissingOperation);
  EXPECT_EQ(service, nullptr);
  EXPECT_EQ(LiveObjects(lacking), 0);
}

// The cell of `module` under `fault` in report-card.json, one line.
std::string CellLine(const std::string& json, const std::string& module,
                     const std::string& fault) {
  const std::string key =
      "\"module\": \"" + module + "\", \"fault\": \"" + fault + "\"";
  for (const std::string& line : SplitLines(json)) {
    if (line.find(key) != std::string::npos) return line;
  }
  return "";
}

bool Holds(const std::string& cell) {
  return cell.find("\"holds\": true") != std::string::npos;
}

TEST(ModuleCardTest, GrantingAndForgettingLocksBreakOursHolds) {
  TempDir temp;
  ASSERT_FALSE(temp.path().empty());
  const std::string modules = WENDLEMOOR_MODULES;
  const std::string grant_all = modules + "/grant-all.so";
  const std::string semaphore = modules + "/posix-semaphore.so";
  // A seed whose threads draw a kill within their first holds, so that the
  // kill cells are struck however slow the build.
  const std::string junit = temp.path() + "/card.xml";
  std::vector<std::string> argv = {ChaosBinary(), "--card",
                                   "--faults",    "none,kill",
                                   "--seconds",   "1",
                                   "--seed",      "6",
                                   "--out",       temp.path(),
                                   "--junit",     junit,
                                   "--module",    modules + "/wendlemoor.so",
                                   "--module",    TestModule("hang")};
  // The mechanism modules where they are built; the granting one of the
  // tests' own otherwise.
  const bool mechanisms = std::filesystem::exists(grant_all);
  for (const std::string& path :
       {mechanisms ? grant_all : TestModule("grant"), semaphore}) {
    if (std::filesystem::exists(path)) {
      argv.push_back("--module");
      argv.push_back(path);
    }
  }
  const auto start = std::chrono::steady_clock::now();
  const RunResult run = RunCapture(argv, "", kDeadlineMs);
  const auto took = std::chrono::steady_clock::now() - start;
  ASSERT_EQ(run.status, 0) << run.output;
  // Eight cells of 1 s; the hanging module's end within a short grace.
  EXPECT_LT(took, std::chrono::seconds(60));
  const std::string json = ReadAll(temp.path() + "/report-card.json");

  for (const char* fault : {"none", "kill"}) {
    SCOPED_TRACE(fault);
    EXPECT_TRUE(Holds(CellLine(json, "wendlemoor", fault))) << json;
    const std::string grant =
        CellLine(json, mechanisms ? "grant-all" : "grant", fault);
    EXPECT_FALSE(Holds(grant)) << grant;
    EXPECT_EQ(grant.find("\"overlaps\": 0,"), std::string::npos) << grant;
    // A lock that hangs and crashes its callers: the card outlives it and
    // says so.
    const std::string hang = CellLine(json, "hang", fault);
    EXPECT_EQ(hang.find("\"hung\": 0,"), std::string::npos) << hang;
    EXPECT_EQ(hang.find("\"crashed\": 0,"), std::string::npos) << hang;
  }
  if (std::filesystem::exists(semaphore)) {
    // A named semaphore is not given back when its holder dies.
    EXPECT_FALSE(Holds(CellLine(json, "posix-semaphore", "kill"))) << json;
  }
  EXPECT_TRUE(std::filesystem::exists(temp.path() + "/hang-none.svg"));
  EXPECT_FALSE(std::filesystem::exists(temp.path() + "/wendlemoor-none.svg"));
  EXPECT_NE(run.output.find("| wendlemoor "), std::string::npos) << run.output;
  // The root's counts (the first of each) are its suites' sums.
  const std::string xml = ReadAll(junit);
  for (const std::string count : {"failures", "errors", "skipped"}) {
    const std::string key = " " + count + "=\"";
    std::vector<std::size_t> counts;
    for (std::size_t at = xml.find(key); at != xml.npos;
         at = xml.find(key, at + 1)) {
      counts.push_back(std::stoul(xml.substr(at + key.size())));
    }
    ASSERT_GT(counts.size(), 2u) << xml;
    std::size_t suites = 0;
    for (std::size_t i = 1; i < counts.size(); ++i) suites += counts[i];
    EXPECT_EQ(counts[0], suites) << count << "\n" << xml;
  }
}

// Cards of a few cells, each showing one promise of the card: what it says,
// its status and its files.
TEST(ModuleCardTest, CardSaysWhatEachCellDidInItsStatusAndFiles) {
  TempDir temp;
  ASSERT_FALSE(temp.path().empty());
  const std::string ours = std::string(WENDLEMOOR_MODULES) + "/wendlemoor.so";
  // Two modules of one file name, and a lock that grants every call under
  // the name of ours.
  for (const char* folder : {"/a", "/b", "/ours"}) {
    std::filesystem::create_directory(temp.path() + folder);
  }
  std::filesystem::copy_file(ours, temp.path() + "/a/lock.so");
  std::filesystem::copy_file(TestModule("grant"), temp.path() + "/b/lock.so");
  std::filesystem::copy_file(TestModule("grant"),
                             temp.path() + "/ours/wendlemoor.so");
  const std::string files = temp.path() + "/";
  struct Row {
    const char* what;
    std::vector<std::string> options;
    int status;
    // What the card's files hold: a file ("": its output) and a text in it.
    std::vector<std::pair<std::string, std::string>> holds;
  };
  const std::vector<Row> rows = {
      {"rows of one file name stay apart, the cells run from the seed",
       {"--module", files + "a/lock.so", "--module", files + "b/lock.so",
        "--faults", "none", "--seed", "9", "--json", files + "ab.json",
        "--junit", files + "ab.xml"},
       0,
       // Ours holds; on a starved machine its cell may see too few
       // contended handovers to say so, which its JUnit case skips.
       {{"", "\n| lock   | "},
        {files + "ab.json", "\"filesystem\": \""},
        {"", "\n| lock-2 | overlap "},
        {files + "ab.xml",
         "<testsuite name=\"lock\" tests=\"1\" failures=\"0\""},
        {files + "ab.xml",
         "<testsuite name=\"lock-2\" tests=\"1\" failures=\"1\""},
        {files + "ab.json",
         "\"run\": \"1 s, 4 processes x 3 threads, 4 names, faults none, "
         "seed 9, until 1000 holds\""}}},
      // The run strikes stop itself and ends before the next one: n is 3,
      // too few to say it holds, which is no failure; its bound on the
      // failure rate is 1 - 0.05^(1/3).
      {"a fault that struck too seldom",
       // Its time is long enough for 3 stops under a sanitizer too: the
       // cell ends on its third.
       {"--module", ours, "--faults", "stop", "--strikes", "3", "--seconds",
        "20", "--json", files + "once.json", "--junit", files + "once.xml"},
       0,
       {{"", "\n| wendlemoor | too few (n=3) |"},
        {files + "once.json",
         "\"text\": \"too few (n=3)\", \"strikes\": 3, "
         "\"failure_rate_bound\": 0.631597, "},
        {files + "once.json", "\"seed\": \"1\""},
        {files + "once.json", "\"handovers\": "},
        {files + "once.xml",
         "name=\"stop\">\n      <skipped message=\"too few (n=3)\"/>"}}},
      // A class for a lock that makes nothing outside its folder, module or
      // adapter, is n/a; ours is judged on the classes it survives alone.
      {"n/a, and a limit of ours",
       {"--module", ours, "--command",
        std::string(WENDLEMOOR_ADAPTERS) + "/flock-command", "--faults",
        "remove-ipc,remove-held", "--json", files + "na.json"},
       0,
       {{"", "\n| wendlemoor    | n/a "},
        {"", "\n| flock-command | n/a "},
        {files + "na.json", "\n\"cells_not_run\": 0,\n"}}},
      // A stop of a lease row lasts 1.5 leases: its cell may take four
      // (the lease of 300 ms, from the module's table), the others the
      // card's 1 s.
      {"a lease's cell runs for its lease",
       {"--module", TestModule("lease"), "--faults", "none,stop", "--json",
        files + "lease.json"},
       0,
       {{files + "lease.json",
         "\"run\": \"1 s, 4 processes x 3 threads, 4 "
         "names, faults none, "},
        {files + "lease.json",
         "\"run\": \"2 s, 4 processes x 3 threads, 4 "
         "names, faults stop, "}}},
      {"our row broke",
       {"--module", files + "ours/wendlemoor.so", "--faults", "none"},
       1,
       {{"", "\nbroke: wendlemoor under none, a row that promises to hold\n"}}},
      // The hanging lock's run ends 5 s after its time: killed at 2 s.
      {"a cell past its deadline",
       {"--module", TestModule("hang"), "--faults", "none", "--grace", "1",
        "--json", files + "late.json"},
       1,
       {{"", "\n| hang   | killed at its deadline (2 s) |"},
        {files + "late.json", "\n\"holds\": false,\n"},
        {files + "late.json", "\n\"cells_not_run\": 1,\n"}}},
  };
  std::vector<RunRequest> requests;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    // Each card in a TMPDIR of its own, which it must leave empty.
    const std::string tmp = files + "tmp" + std::to_string(i);
    std::filesystem::create_directory(tmp);
    std::vector<std::string> argv = {
        "/bin/sh",
        "-c",
        "TMPDIR=\"$1\"; shift; exec \"$0\" \"$@\" 2>&1",
        ChaosBinary(),
        tmp,
        "--card",
        "--seconds",
        "1",
        "--out",
        files + "out" + std::to_string(i)};
    argv.insert(argv.end(), rows[i].options.begin(), rows[i].options.end());
    requests.push_back({argv, ""});
  }
  const auto start = std::chrono::steady_clock::now();
  std::vector<RunResult> runs = RunCaptureAll(requests, kDeadlineMs);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(40));
  // A granting lock breaks only when two holds meet, which a starved
  // sanitizer build running these cards side by side may not see in its
  // 1 s: a card that should fail but passed runs again, up to twice.
  RunAgainWhile(requests, &runs, kDeadlineMs,
                [&](std::size_t i, const RunResult& run) {
                  return rows[i].status == 1 && run.status == 0;
                });
  for (std::size_t i = 0; i < rows.size(); ++i) {
    SCOPED_TRACE(rows[i].what);
    EXPECT_EQ(runs[i].status, rows[i].status) << runs[i].output;
    for (const auto& [file, text] : rows[i].holds) {
      EXPECT_NE((file.empty() ? runs[i].output : ReadAll(file)).find(text),
                std::string::npos)
          << file << " lacks: " << text << "\n"
          << runs[i].output;
    }
    // Nor any folder of its children's in its own.
    EXPECT_TRUE(std::filesystem::is_empty(files + "tmp" + std::to_string(i)));
    for (const auto& entry : std::filesystem::directory_iterator(
             files + "out" + std::to_string(i))) {
      EXPECT_FALSE(entry.is_directory()) << entry.path();
    }
  }
}

// A count from a run's JSON result (0 when it is not there).
long long JsonCount(const std::string& json, const std::string& key) {
  const std::size_t at = json.find("\"" + key + "\": ");
  return at == std::string::npos ? 0
                                 : std::stoll(json.substr(at + key.size() + 4));
}

TEST(ModuleRunTest, CrashesHangsAndStaleFilesAreFoundAsTheyHappened) {
  TempDir temp;
  ASSERT_FALSE(temp.path().empty());
  // module, faults, threads per process
  const std::tuple<std::string, const char*, const char*> runs[] = {
      {TestModule("crash"), "kill,remove-files", "3"},
      {TestModule("release_hang"), "kill", "3"},
      // One thread a process: a process opens a name afresh only when it is
      // a newcomer.
      {std::string(WENDLEMOOR_MODULES) + "/ofd-unhealed.so", "remove-files",
       "1"}};
  std::vector<RunRequest> requests;
  for (const auto& [module, faults, threads] : runs) {
    const std::string folder =
        temp.path() + "/" + faults + std::to_string(requests.size());
    requests.push_back(
        {{ChaosBinary(), "--module", module, "--faults", faults, "--seconds",
          "3", "--processes", "4", "--threads", threads, "--folder", folder,
          "--json", folder + ".json"},
         ""});
  }
  const std::vector<RunResult> done = RunCaptureAll(requests, kDeadlineMs);
  std::string json[3];
  for (int i = 0; i < 3; ++i) json[i] = ReadAll(requests[i].argv.back());
  // Crashes, and no overlap where the kernel freed a dead holder's names
  // before the run saw it dead.
  EXPECT_GT(JsonCount(json[0], "crashed"), 0) << done[0].output;
  EXPECT_EQ(JsonCount(json[0], "overlaps"), 0) << done[0].output;
  // Removals went on after workers died inside a hold.
  EXPECT_GE(JsonCount(json[0], "struck_remove-files"), 2) << done[0].output;
  // Every release that hung past the bound was found, once, whether its
  // process then lived or killed itself.
  const std::string marks = ReadAll(temp.path() + "/kill1/locks/hang-marks");
  const long long past = std::count(marks.begin(), marks.end(), 'p');
  EXPECT_GT(past, 0);
  EXPECT_GE(JsonCount(json[1], "hung_release"), past) << done[1].output;
  EXPECT_LE(JsonCount(json[1], "hung_release"),
            std::count(marks.begin(), marks.end(), 'b'));
  // A worker renewed after a removal locks the new file, the others the
  // removed one.
  EXPECT_GT(JsonCount(json[2], "overlaps"), 0) << done[2].output;
}

}  // namespace
}  // namespace wendlemoor
