// The mechanism modules (modules/) and the module to copy
// (components/module_skeleton.c): what the adversary's run does not ask of
// them. Each plain build takes any name bytes and keeps lookalike names
// apart, refuses bad names, answers a holder asking again as its mechanism
// does, and its cleanup, called by a test or at the end of a run, leaves
// nothing of the folder's outside it; each +turns build's table knows a
// holder by its process and thread, and survives a fork.
#include <dirent.h>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <future>
#include <memory>
#include <string>
#include <thread>

#include "chaos/server.h"
#include "components/lock_service.h"
#include "components/module_loader.h"
#include "gtest/gtest.h"
#include "tests/helper_role.h"
#include "tests/run_capture.h"

namespace wendlemoor {
namespace {

constexpr int kDeadlineMs = 60000;
// The server of the modules that name one (postgres-advisory-libpq).
constexpr char kPostgres[] = "/usr/lib/postgresql/15/bin/postgres";

enum class Outside { kNothing, kPosixSemaphores, kSystemVSets };

// The file of `module`: a mechanism of modules/, or the skeleton.
std::string ModulePath(const std::string& module) {
  return std::string(module == "skeleton" ? WENDLEMOOR_TEST_MODULES
                                          : WENDLEMOOR_MODULES) +
         "/" + module + ".so";
}

std::string Hex(const std::string& name) {
  static const char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (unsigned char c : name) {
    hex += kDigits[c >> 4];
    hex += kDigits[c & 15];
  }
  return hex;
}

// Whether /dev/shm holds a semaphore whose name starts with `prefix` and
// ends with `suffix`.
bool SemaphoreNamed(const std::string& prefix, const std::string& suffix) {
  DIR* dir = opendir("/dev/shm");
  if (dir == nullptr) return false;
  bool found = false;
  while (dirent* d = readdir(dir)) {
    const std::string entry = d->d_name;
    found |=
        entry.rfind("sem." + prefix, 0) == 0 && entry.size() >= suffix.size() &&
        entry.compare(entry.size() - suffix.size(), suffix.size(), suffix) == 0;
  }
  closedir(dir);
  return found;
}

// The FNV-1a hash of a folder's path, from which the semaphore modules name
// what they make outside it.
std::uint64_t FolderHash(const std::string& folder) {
  std::uint64_t hash = 14695981039346656037ull;
  for (unsigned char c : folder) hash = (hash ^ c) * 1099511628211ull;
  return hash;
}

// The prefix of the names of `folder`'s POSIX semaphores.
std::string SemaphorePrefix(const std::string& folder) {
  char prefix[64];
  std::snprintf(prefix, sizeof prefix, "wendlemoor-%016" PRIx64 "-",
                FolderHash(folder));
  return prefix;
}

// How many of this user's System V sets carry `folder`'s tag (15 bits of
// its hash in each of the two semaphores after the lock).
int TaggedSystemVSets(const std::string& folder) {
  const std::uint64_t hash = FolderHash(folder);
  std::ifstream list("/proc/sysvipc/sem");
  std::string line;
  std::getline(list, line);  // the heading
  int tagged = 0;
  while (std::getline(list, line)) {
    long long key;
    int id;
    unsigned perms, owner;
    unsigned long count;
    if (std::sscanf(line.c_str(), "%lld %d %o %lu %u", &key, &id, &perms,
                    &count, &owner) == 5 &&
        count == 3 && owner == geteuid() &&
        semctl(id, 1, GETVAL) == int(hash & 0x7fff) &&
        semctl(id, 2, GETVAL) == int((hash >> 15) & 0x7fff)) {
      ++tagged;
    }
  }
  return tagged;
}

TEST(LockModulesTest, NamesStayApartBadNamesAreRefusedAndCleanupLeavesNothing) {
  struct Row {
    const char* module;
    Outside outside;
    // The mechanism's own answers to a holder asking again without waiting
    // (a lock of the process or of the description is granted again), and
    // to a second release (with no descriptor to close: EBADF).
    ResultCode again;
    ResultCode release_again;
    // Built only where its library is found.
    bool optional = false;
  };
  constexpr ResultCode kBadDescriptor = kErrorSystemBase | EBADF;
  const Row rows[] = {
      {"flock-each", Outside::kNothing, kErrorLockBusy, kBadDescriptor},
      {"flock-shared", Outside::kNothing, kOk, kOk},
      {"fcntl", Outside::kNothing, kOk, kOk},
      {"lockf", Outside::kNothing, kOk, kOk},
      {"ofd-unhealed", Outside::kNothing, kErrorLockBusy, kBadDescriptor},
      {"posix-semaphore", Outside::kPosixSemaphores, kErrorLockBusy, kOk},
      {"sysv-semaphore", Outside::kSystemVSets, kErrorLockBusy, kOk},
      {"robust-mutex", Outside::kNothing, kErrorLockBusy, kErrorLockNotHeld},
      {"pid-file", Outside::kNothing, kErrorLockBusy, kOk},
      {"grant-all", Outside::kNothing, kOk, kOk},
      // SQLite refuses a BEGIN inside the connection's transaction, and a
      // COMMIT outside one.
      {"sqlite-exclusive", Outside::kNothing, kErrorLockWouldDeadlock,
       kErrorLockNotHeld, true},
      // A session's advisory lock counts its holds; its release answers
      // false for a key it does not hold. On a server of its own, where
      // PostgreSQL is installed.
      {"postgres-advisory-libpq", Outside::kNothing, kOk, kErrorLockNotHeld,
       true},
      {"skeleton", Outside::kNothing, kErrorLockWouldDeadlock,
       kErrorLockNotHeld},
  };
  // A name of this process alone, so that no other run's objects count.
  const std::string probe = "probe/" + std::to_string(getpid());
  const std::string longest(kLockNameMax, '\xff');
  const std::string too_long(kLockNameMax + 1, 'x');
  for (const Row& row : rows) {
    SCOPED_TRACE(row.module);
    const std::string path = ModulePath(row.module);
    if (row.optional && !std::filesystem::exists(path)) continue;
    std::shared_ptr<LockModule> module;
    std::string error;
    ASSERT_EQ(LoadLockModule(path.c_str(), &module, &error), kOk) << error;
    EXPECT_EQ(module->name(), row.module);
    TempDir temp;
    ASSERT_FALSE(temp.path().empty());
    TempDir served;  // as root the server runs as nobody, who must reach it
    std::unique_ptr<Server> server;
    if (!module->server().empty()) {
      if (access(kPostgres, X_OK) != 0) continue;
      ASSERT_EQ(chmod(served.path().c_str(), 0711), 0);
      server = Server::Start(module->server(), served.path() + "/server",
                             kServerStartMs, &error);
      ASSERT_TRUE(server) << error;
      ASSERT_EQ(setenv(kServerVariable, server->address().c_str(), 1), 0);
    }
    LockService* lock = nullptr;
    ASSERT_EQ(CreateModuleLockService(module, temp.path().c_str(), &lock), kOk);

    for (const char* bad :
         {static_cast<const char*>(nullptr), "", too_long.c_str()}) {
      EXPECT_EQ(lock->AcquireLock(bad, 0), kErrorInvalidArgument);
      EXPECT_EQ(lock->ReleaseLock(bad), kErrorInvalidArgument);
    }
    // Held together, so each is a lock of its own; every byte value may be
    // in a name.
    const std::string names[] = {"a/b", "a%2Fb", "a_b", "..", longest, probe};
    for (const std::string& name : names) {
      EXPECT_EQ(lock->AcquireLock(name.c_str(), 0), kOk) << Hex(name);
    }
    EXPECT_EQ(lock->AcquireLock(probe.c_str(), 0), row.again);
    if (row.again == kOk) {
      EXPECT_EQ(lock->ReleaseLock(probe.c_str()), kOk);
    }
    key_t key = -1;
    if (row.outside == Outside::kSystemVSets) {
      key = ftok((temp.path() + "/" + Hex(probe)).c_str(), 'W');
      EXPECT_NE(semget(key, 0, 0), -1);
    }
    if (row.outside == Outside::kPosixSemaphores) {
      EXPECT_TRUE(SemaphoreNamed("", Hex(probe)));
    }
    for (const std::string& name : names) {
      EXPECT_EQ(lock->ReleaseLock(name.c_str()), kOk) << Hex(name);
    }
    // ThreadSanitizer fails a process that unlocks a mutex it does not hold,
    // which is just what a robust mutex's second release does: the
    // mechanism's own answer is then left unasked.
    if (!(kThreadSanitizer && std::string(row.module) == "robust-mutex")) {
      EXPECT_EQ(lock->ReleaseLock(probe.c_str()), row.release_again);
    }
    lock->Release();
    if (server) {
      ASSERT_EQ(unsetenv(kServerVariable), 0);
      server.reset();
    }
    module->Cleanup(temp.path().c_str());
    EXPECT_FALSE(SemaphoreNamed("", Hex(probe)));
    if (key != -1) {
      EXPECT_EQ(semget(key, 0, 0), -1);
      EXPECT_EQ(errno, ENOENT);
    }
    // Nothing but the names' own files in the folder.
    for (const auto& entry : std::filesystem::directory_iterator(temp.path())) {
      const std::string file = entry.path().filename().string();
      EXPECT_EQ(file.find_first_not_of("0123456789abcdef"), std::string::npos)
          << file;
    }
  }

  // A run over each module that makes objects outside the lock folder
  // leaves none of them behind: its cleanup is given the folder that the
  // workers named them from, whatever the faults left taken. The skeleton
  // keeps every promise under every fault.
  TempDir runs;
  ASSERT_FALSE(runs.path().empty());
  std::vector<const Row*> run_rows;
  std::vector<RunRequest> requests;
  for (const Row& row : rows) {
    const bool skeleton = std::string(row.module) == "skeleton";
    if (row.outside == Outside::kNothing && !skeleton) continue;
    const std::string folder = runs.path() + "/" + row.module;
    run_rows.push_back(&row);
    requests.push_back(
        {{(std::filesystem::path(WENDLEMOOR_BINARY).parent_path() /
           "wendlemoor-chaos")
              .string(),
          "--module", ModulePath(row.module), "--seconds", skeleton ? "3" : "1",
          "--folder", folder, "--log", folder + ".log"},
         ""});
  }
  const std::vector<RunResult> results = RunCaptureAll(requests, kDeadlineMs);
  for (std::size_t i = 0; i < run_rows.size(); ++i) {
    SCOPED_TRACE(run_rows[i]->module);
    const std::string folder = runs.path() + "/" + run_rows[i]->module;
    if (run_rows[i]->outside == Outside::kNothing) {
      std::ifstream log(folder + ".log");
      EXPECT_EQ(results[i].status, 0)
          << std::string((std::istreambuf_iterator<char>(log)), {});
      continue;
    }
    EXPECT_TRUE(results[i].status == 0 || results[i].status == 1)
        << results[i].status;
    const std::string locks = folder + "/locks";
    if (run_rows[i]->outside == Outside::kPosixSemaphores) {
      EXPECT_FALSE(SemaphoreNamed(SemaphorePrefix(locks), ""));
    } else {
      EXPECT_EQ(TaggedSystemVSets(locks), 0);
    }
  }
}

// Whether thread `tid` of this process is asleep (blocked) within the
// deadline.
bool AsleepSoon(pid_t tid) {
  const std::string stat = "/proc/self/task/" + std::to_string(tid) + "/stat";
  for (int ms = 0; ms < kDeadlineMs; ++ms) {
    std::ifstream file(stat);
    std::string text((std::istreambuf_iterator<char>(file)), {});
    const std::size_t end = text.rfind(") ");
    if (end != std::string::npos && text.substr(end + 2, 1) == "S") return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return false;
}

TEST(LockModulesTest, HoldersAreKnownByProcessAndThreadAndSurviveFork) {
  // The builds with the table's turns and answers, and the skeleton. The
  // plain builds answer as their mechanisms do, and the negative control,
  // grant-all, keeps none of these promises.
  const char* const modules[] = {
      "flock-each+turns",     "flock-shared+turns", "fcntl+turns",
      "lockf+turns",          "ofd-unhealed+turns", "posix-semaphore+turns",
      "sysv-semaphore+turns", "pid-file+turns",     "skeleton"};
  for (const char* name : modules) {
    SCOPED_TRACE(name);
    const std::string path = ModulePath(name);
    std::shared_ptr<LockModule> module;
    std::string error;
    ASSERT_EQ(LoadLockModule(path.c_str(), &module, &error), kOk) << error;
    EXPECT_EQ(module->name(), name);
    TempDir temp;
    ASSERT_FALSE(temp.path().empty());
    LockService* raw = nullptr;
    ASSERT_EQ(CreateModuleLockService(module, temp.path().c_str(), &raw), kOk);
    auto lock = InterfacePtr<LockService>::Adopt(raw);

    // A holder asking again would wait for itself: told so, never busy.
    ASSERT_EQ(lock->AcquireLock("a", 1), kOk);
    ASSERT_EQ(lock->AcquireLock("a", 0), kErrorLockWouldDeadlock);
    EXPECT_EQ(lock->AcquireLock("a", 1), kErrorLockWouldDeadlock);

    // The child of a fork is another process: the hold of the thread that
    // forked is not its own to give back, nor does asking for it deadlock.
    const pid_t child = fork();
    ASSERT_NE(child, -1);
    if (child == 0) {
      const bool ok = lock->ReleaseLock("a") == kErrorLockNotHeld &&
                      lock->AcquireLock("a", 0) != kErrorLockWouldDeadlock;
      _exit(ok ? kHelperOk : kHelperFailed);
    }
    EXPECT_EQ(WaitHelper(JX_AdoptProcess(child), kDeadlineMs), kHelperOk);

    // A thread that waits for a name another thread of its process holds
    // waits for that name: "b" given back does not let it in.
    ASSERT_EQ(lock->AcquireLock("b", 1), kOk);
    std::promise<pid_t> started;
    std::promise<std::pair<ResultCode, ResultCode>> finished;
    std::thread waiter([&] {
      started.set_value(gettid());
      const ResultCode taken = lock->AcquireLock("a", 1);
      finished.set_value({taken, lock->ReleaseLock("a")});
    });
    auto result = finished.get_future();
    EXPECT_TRUE(AsleepSoon(started.get_future().get()));
    EXPECT_EQ(lock->ReleaseLock("b"), kOk);
    EXPECT_EQ(result.wait_for(std::chrono::milliseconds(300)),
              std::future_status::timeout);
    EXPECT_EQ(lock->ReleaseLock("a"), kOk);
    if (result.wait_for(std::chrono::milliseconds(kDeadlineMs)) !=
        std::future_status::ready) {
      ADD_FAILURE() << "the waiter never took the name";
      waiter.detach();
      return;
    }
    waiter.join();
    EXPECT_EQ(result.get(), std::make_pair(kOk, kOk));

    // Children forked while two threads take and give back names (and so
    // are often inside the table) find the table usable.
    std::atomic<bool> stop{false};
    std::atomic<int> failures{0};
    auto busy = [&](const char* held) {
      while (!stop) {
        failures +=
            lock->AcquireLock(held, 1) != kOk || lock->ReleaseLock(held) != kOk;
      }
    };
    std::thread busy1(busy, "busy1"), busy2(busy, "busy2");
    for (int round = 0; round < 20 && !HasFailure(); ++round) {
      const pid_t forked = fork();
      EXPECT_NE(forked, -1);
      if (forked == 0) {
        const bool ok = lock->AcquireLock("child", 0) == kOk &&
                        lock->ReleaseLock("child") == kOk;
        _exit(ok ? kHelperOk : kHelperFailed);
      }
      if (forked > 0) {
        EXPECT_EQ(WaitHelper(JX_AdoptProcess(forked), kDeadlineMs), kHelperOk)
            << "round " << round;
      }
    }
    stop = true;
    busy1.join(), busy2.join();
    EXPECT_EQ(failures.load(), 0);
    lock.reset();
    module->Cleanup(temp.path().c_str());
  }
}

}  // namespace
}  // namespace wendlemoor
