// Faults the system must survive: a child or the parent killed in the middle
// of a run, an output pipe that is read slowly, signals aimed again and again
// at a thread waiting for a lock, descriptors or processes left behind, a
// start with the standard descriptors closed, other runs on the machine, and
// a chroot.
#include <dirent.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "components/lock_service.h"
#include "components/registry.h"
#include "driver/log.h"
#include "gtest/gtest.h"
#include "locktest/child_run.h"
#include "runtime/eintr.h"
#include "runtime/interval.h"
#include "tests/helper_role.h"
#include "tests/lock_helpers.h"
#include "tests/log_lines.h"
#include "tests/run_capture.h"

using wendlemoor::CreateLockService;
using wendlemoor::DefaultLockFolder;
using wendlemoor::InitComponentSystem;
using wendlemoor::InterfacePtr;
using wendlemoor::kOk;
using wendlemoor::LockService;
using wendlemoor::ResultCode;
using wendlemoor::ShutdownComponentSystem;

extern char** environ;

namespace {

constexpr int kDeadlineMs = 120000;
constexpr char kJoined[] = "joined with all threads; exiting DoTest";

// The content of a /proc file, or "" when it went away meanwhile (a stream
// would throw on the read error).
std::string ReadProcFile(const std::string& path) {
  std::string text;
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd == -1) return text;
  char buffer[4096];
  for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;)
    text.append(buffer, n);
  close(fd);
  return text;
}

// The keys (see LockKey) of files on which `pid` holds a lock through one of
// its descriptors (lock files only).
std::vector<std::string> LockedFiles(pid_t pid) {
  std::vector<std::string> keys;
  const std::string proc = "/proc/" + std::to_string(pid);
  DIR* dir = opendir((proc + "/fdinfo").c_str());
  if (dir == nullptr) return keys;
  while (dirent* entry = readdir(dir)) {
    if (entry->d_name[0] == '.') continue;
    struct stat st;
    if (ReadProcFile(proc + "/fdinfo/" + entry->d_name).find("lock:") !=
            std::string::npos &&
        stat((proc + "/fd/" + entry->d_name).c_str(), &st) == 0 &&
        S_ISREG(st.st_mode)) {  // not the folder, which is held shared
      keys.push_back(LockKey(st));
    }
  }
  closedir(dir);
  return keys;
}

TEST(KilledProcessTest, OtherChildrenFinishWhenAChildDiesHoldingLocks) {
  std::mutex mutex;
  pid_t victim = 0;  // the first child to start its workers
  int victim_exits = 0;
  bool victim_killed = false, stop = false;
  ReadPlan plan;
  plan.on_line = [&](pid_t parent, const LogLine& line) {
    std::lock_guard<std::mutex> lock(mutex);
    const auto pid = static_cast<pid_t>(line.pid);
    if (victim == 0 && pid != parent && line.message == "running child test") {
      victim = pid;
    }
    if (pid == victim && line.message.starts_with("exiting")) ++victim_exits;
  };
  // Kills the victim once it holds a lock that another child waits for; as
  // the victim may come last for every name, one of its last holds will do.
  std::thread killer([&] {
    for (;;) {
      JX_Sleep(JX_MillisecondsToInterval(2));
      std::lock_guard<std::mutex> lock(mutex);
      if (stop) return;
      if (victim == 0) continue;
      const auto held = LockedFiles(victim);
      if (!held.empty() && (SomeoneWaitsOnAny(held) || victim_exits >= 4)) {
        kill(victim, SIGKILL);
        victim_killed = true;
        return;
      }
    }
  });
  const TimedRun run =
      RunReadingLines({"./Wendlemoor", "-3"}, BuildFolder(), kDeadlineMs, plan);
  {
    std::lock_guard<std::mutex> lock(mutex);
    stop = true;
  }
  killer.join();

  ASSERT_FALSE(run.timed_out);
  EXPECT_EQ(run.status, 0);
  ASSERT_TRUE(victim_killed) << "the victim never held a lock";
  const unsigned parent = run.lines.front().pid;
  auto children = ChildOutcomes(run.lines, parent);
  ASSERT_EQ(children.size(), 3u);
  EXPECT_FALSE(children[victim].joined);
  children.erase(victim);
  for (const auto& [pid, child] : children) ExpectFullRun(child, pid);
}

// Arguments: child count, "kill" or "wait". Runs "./Wendlemoor -N" in the
// build folder as the subreaper of its tree, so that whatever the parent
// leaves behind becomes ours. With "kill", the parent is killed once all its
// children run. Reports the parent's status, whether anything was left the
// moment it was reaped, and the status of each process reaped after it.
WENDLEMOOR_HELPER_ROLE(run_as_subreaper) {
  if (prctl(PR_SET_CHILD_SUBREAPER, 1) != 0) return kHelperFailed;
  const int count = std::stoi(arguments[0]);
  char path[] = "./Wendlemoor";
  std::string flag = "-" + arguments[0];
  char* const argv[] = {path, flag.data(), nullptr};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addchdir_np(&actions, BuildFolder().c_str());
  pid_t parent = -1;
  const int error =
      posix_spawn(&parent, path, &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  if (error != 0) return kHelperFailed;

  if (arguments[1] == "kill") {
    // The children are those whose parent is `parent` in /proc/PID/stat.
    siginfo_t ended = {};
    for (int children = 0; children < count && ended.si_pid == 0;) {
      JX_Sleep(JX_MillisecondsToInterval(5));
      children = 0;
      DIR* proc = opendir("/proc");
      while (dirent* entry = readdir(proc)) {
        if (entry->d_name[0] < '1' || entry->d_name[0] > '9') continue;
        const std::string text =
            ReadProcFile(std::string("/proc/") + entry->d_name + "/stat");
        const std::size_t close_paren = text.rfind(')');
        int ppid = 0;
        if (close_paren != std::string::npos &&
            std::sscanf(text.c_str() + close_paren, ") %*c %d", &ppid) == 1 &&
            ppid == parent) {
          ++children;
        }
      }
      closedir(proc);
      // A parent that ended without them is reported as it ended.
      waitid(P_PID, parent, &ended, WEXITED | WNOHANG | WNOWAIT);
    }
    kill(parent, SIGKILL);
  }
  int status = 0;
  RetryOnEintr([&] { return waitpid(parent, &status, 0); });
  std::printf("parent status %d\n",
              WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status));
  const bool nothing_left =
      waitpid(-1, &status, WNOHANG) == -1 && errno == ECHILD;
  std::printf("nothing left %d\n", nothing_left ? 1 : 0);
  for (;;) {
    const pid_t pid = RetryOnEintr([&] { return waitpid(-1, &status, 0); });
    if (pid == -1) break;
    std::printf("reaped status %d\n",
                WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status));
  }
  std::fflush(stdout);
  return kHelperOk;
}

std::vector<std::string> HelperReport(const TimedRun& run) {
  std::vector<std::string> report;
  for (const auto& line : run.lines) {
    if (line.pid == 0) report.push_back(line.message);
  }
  return report;
}

TEST(KilledProcessTest, ParentLeavesNothingBehindAndChildrenOutliveItsDeath) {
  TimedRun clean;
  std::thread clean_run([&] {
    clean = RunAndTimeLines(
        {TestBinaryPath(), "--helper-role", "run_as_subreaper", "2", "wait"},
        "", kDeadlineMs);
  });
  const TimedRun killed = RunAndTimeLines(
      {TestBinaryPath(), "--helper-role", "run_as_subreaper", "3", "kill"}, "",
      kDeadlineMs);
  clean_run.join();

  ASSERT_FALSE(clean.timed_out);
  EXPECT_EQ(clean.status, kHelperOk);
  EXPECT_EQ(HelperReport(clean),
            (std::vector<std::string>{"parent status 0", "nothing left 1"}));

  ASSERT_FALSE(killed.timed_out);
  EXPECT_EQ(killed.status, kHelperOk);
  EXPECT_EQ(HelperReport(killed),
            (std::vector<std::string>{"parent status -9", "nothing left 0",
                                      "reaped status 0", "reaped status 0",
                                      "reaped status 0"}));
  // The parent is the first process of the tree to log a line.
  unsigned parent = 0;
  for (const auto& line : killed.lines) {
    if (line.pid != 0) {
      parent = line.pid;
      break;
    }
  }
  const auto children = ChildOutcomes(killed.lines, parent);
  EXPECT_EQ(children.size(), 3u);
  for (const auto& [pid, child] : children) ExpectFullRun(child, pid);
}

constexpr int kFloodThreads = 16;
constexpr int kFloodLines = 50;
// With the prefix, a line of about 500 bytes.
const std::string kFloodText(480, 'w');

// Argument: a count of processes to start, each logging kFloodLines lines from
// each of kFloodThreads threads at once; 0 to be such a process. Its stream
// buffer, as a program may set it, holds one line and a half: two lines that
// wait together overflow it, which would split the second where it ends.
WENDLEMOOR_HELPER_ROLE(log_flood) {
  static char buffer[768];
  std::setvbuf(stdout, buffer, _IOFBF, sizeof buffer);
  std::vector<pid_t> processes(std::stoul(arguments[0]));
  for (pid_t& pid : processes) pid = StartHelper("log_flood", {"0"});
  std::vector<std::thread> threads;
  for (int t = 0; processes.empty() && t < kFloodThreads; ++t) {
    threads.emplace_back([] {
      for (int i = 0; i < kFloodLines; ++i)
        LogMessage("%s\n", kFloodText.c_str());
    });
  }
  for (auto& thread : threads) thread.join();
  int failed = 0;
  for (pid_t pid : processes) failed += WaitHelper(pid, kDeadlineMs) != 0;
  return failed == 0 ? kHelperOk : kHelperFailed;
}

TEST(SlowReaderTest, NoLineIsTornOrLostWhenThePipeIsFull) {
  // Ten children write about 9 KB; a one-page pipe that is first left alone
  // and then drained 16 bytes at a time keeps dozens of writers blocked.
  constexpr int kChildren = 10;
  ReadPlan plan;
  plan.pipe_size = 4096;
  plan.start_delay_ms = 3000;
  plan.chunk = 16;
  plan.pause_ms = 10;
  const TimedRun run = RunReadingLines(
      {"./Wendlemoor", std::string("-").append(std::to_string(kChildren))},
      BuildFolder(), kDeadlineMs, plan);
  ASSERT_FALSE(run.timed_out);
  EXPECT_EQ(run.status, 0);

  std::map<unsigned, std::multiset<std::string>> messages;
  for (const auto& line : run.lines) {
    EXPECT_NE(line.pid, 0u) << "torn line: " << line.message;
    messages[line.pid].insert(line.message);
  }
  ASSERT_EQ(messages.size(), std::size_t{kChildren + 1});
  const unsigned parent = run.lines.front().pid;
  std::multiset<std::string> expected = {"entering main",
                                         "sleeping for 1 second"};
  for (int i = 0; i < kChildren; ++i) expected.insert("spawning child test");
  EXPECT_EQ(messages[parent], expected);
  messages.erase(parent);
  expected = {"entering main", "running child test", kJoined};
  for (const char* name : {"foopy", "test", "1", "xyz", "zib4ever"}) {
    expected.insert(std::string("entering TestThread [lock=") + name + "]");
    expected.insert(std::string("exiting TestThread [lock=") + name + " rv=0]");
  }
  for (const auto& [pid, got] : messages) EXPECT_EQ(got, expected) << pid;

  // Four processes of sixteen threads: far more lines wait at once than a
  // stream buffer holds, and each must still arrive whole and alone.
  plan.start_delay_ms = 200;
  plan.chunk = 4096;
  plan.pause_ms = 1;
  const TimedRun flood =
      RunReadingLines({TestBinaryPath(), "--helper-role", "log_flood", "4"}, "",
                      kDeadlineMs, plan);
  ASSERT_FALSE(flood.timed_out);
  EXPECT_EQ(flood.status, kHelperOk);
  std::map<unsigned, int> whole;  // by process; torn lines count for none
  for (const auto& line : flood.lines) {
    if (line.message == kFloodText) ++whole[line.pid];
  }
  EXPECT_EQ(whole.size(), 4u);
  for (const auto& [pid, n] : whole) {
    EXPECT_EQ(n, kFloodThreads * kFloodLines) << "torn or lost lines";
  }
}

std::atomic<int> g_signals{0};

void CountSignal(int) { g_signals.fetch_add(1, std::memory_order_relaxed); }

std::string ReadLine(int fd) {
  std::string text;
  char c;
  pollfd p = {fd, POLLIN, 0};
  while (poll(&p, 1, kDeadlineMs) == 1 && read(fd, &c, 1) == 1 && c != '\n') {
    text += c;
  }
  return text;
}

// Arguments: folder, name, control descriptor. Acquires, reports "held",
// holds until the control pipe closes, then reports the monotonic time just
// before it releases.
WENDLEMOOR_HELPER_ROLE(hold_until_told) {
  auto service =
      InterfacePtr<LockService>::Adopt(CreateLockService(arguments[0].c_str()));
  if (service->AcquireLock(arguments[1].c_str(), 1) != kOk)
    return kHelperFailed;
  std::printf("held\n");
  std::fflush(stdout);
  WaitForControl(arguments[2]);
  std::printf("%llu\n", static_cast<unsigned long long>(JX_MonotonicNanos()));
  std::fflush(stdout);
  return service->ReleaseLock(arguments[1].c_str()) == kOk ? kHelperOk
                                                           : kHelperFailed;
}

// Argument: a private lock folder. With a handler for SIGUSR1 installed
// without SA_RESTART, waits for a lock that another process holds while its
// thread gets that signal every 2 ms. The holder lets go once the wait has
// lasted 300 ms and more than ten signals were handled, however late this
// process got to run. (Sleeping and waiting for a process under signals are
// covered with the runtime.)
WENDLEMOOR_HELPER_ROLE(lock_wait_under_signals) {
  struct sigaction action = {};
  action.sa_handler = CountSignal;
  sigemptyset(&action.sa_mask);
  if (sigaction(SIGUSR1, &action, nullptr) != 0) return kHelperFailed;
  auto service =
      InterfacePtr<LockService>::Adopt(CreateLockService(arguments[0].c_str()));
  int report[2], control[2];
  if (pipe2(report, O_CLOEXEC) != 0 || pipe2(control, O_CLOEXEC) != 0)
    return kHelperFailed;
  // The read end is the one descriptor the holder inherits.
  if (fcntl(control[0], F_SETFD, 0) != 0) return kHelperFailed;
  const pid_t holder =
      StartHelper("hold_until_told",
                  {arguments[0], "n", std::to_string(control[0])}, report[1]);
  close(control[0]);
  close(report[1]);
  if (ReadLine(report[0]) != "held") return kHelperFailed;

  ResultCode rv = kOk;
  std::uint64_t acquired = 0;
  std::atomic<bool> done{false};
  const std::uint64_t start = JX_MonotonicNanos();
  std::thread waiter([&] {
    rv = service->AcquireLock("n", 1);
    acquired = JX_MonotonicNanos();
    done = true;
  });
  // ThreadSanitizer hands signals over late and coalesced: no count is asked
  // for there.
  const int enough = kThreadSanitizer ? -1 : 10;
  while (!done) {
    pthread_kill(waiter.native_handle(), SIGUSR1);
    JX_Sleep(JX_MillisecondsToInterval(2));
    const std::uint64_t waited_ms = (JX_MonotonicNanos() - start) / 1000000;
    if (control[1] != -1 && waited_ms >= 300 &&
        (g_signals.load() > enough || waited_ms >= kDeadlineMs / 2)) {
      close(control[1]);
      control[1] = -1;
    }
  }
  waiter.join();
  if (control[1] != -1) close(control[1]);  // the wait failed: let go
  const std::uint64_t released =
      std::stoull(std::string("0").append(ReadLine(report[0])));
  std::printf("rv=%x after_release=%d signals=%d holder=%d\n", rv,
              released != 0 && acquired >= released, g_signals.load() > enough,
              WaitHelper(holder, kDeadlineMs));
  std::fflush(stdout);
  return kHelperOk;
}

TEST(SignalStormTest, LockWaitNeitherEndsEarlyNorFails) {
  TempDir temp;
  ASSERT_FALSE(temp.path().empty());
  const TimedRun run =
      RunAndTimeLines({TestBinaryPath(), "--helper-role",
                       "lock_wait_under_signals", temp.path() + "/locks"},
                      "", kDeadlineMs);
  ASSERT_FALSE(run.timed_out);
  EXPECT_EQ(run.status, kHelperOk);
  ASSERT_EQ(run.lines.size(), 1u);
  EXPECT_EQ(run.lines[0].message, "rv=0 after_release=1 signals=1 holder=0");
}

// Lists the calling process's open descriptors.
std::set<int> OpenDescriptors() {
  std::set<int> fds;
  DIR* dir = opendir("/proc/self/fd");
  while (dirent* entry = readdir(dir)) {
    if (entry->d_name[0] != '.') fds.insert(std::stoi(entry->d_name));
  }
  fds.erase(dirfd(dir));
  closedir(dir);
  return fds;
}

// A whole child run in this process; reports the descriptors it left open and
// the threads left running.
WENDLEMOOR_HELPER_ROLE(child_run_leftovers) {
  const std::set<int> before = OpenDescriptors();
  if (InitComponentSystem(nullptr, nullptr, nullptr) != kOk)
    return kHelperFailed;
  const ResultCode rv = DoTest();
  ShutdownComponentSystem(nullptr);
  std::string left;
  for (int fd : OpenDescriptors()) {
    if (before.count(fd) == 0) left.append(" ").append(std::to_string(fd));
  }
  // A joined thread may stay listed for a moment: the kernel wakes its joiner
  // before it reaps the thread. Count again for up to half a second; a worker
  // the run forgot to join lives three times that (its pauses), so it still
  // shows.
  const int expected = kThreadSanitizer ? 2 : 1;
  int threads = 0;
  for (int attempt = 0; attempt < 500; ++attempt) {
    threads = 0;
    DIR* dir = opendir("/proc/self/task");
    while (dirent* entry = readdir(dir)) threads += entry->d_name[0] != '.';
    closedir(dir);
    if (threads <= expected) break;
    usleep(1000);
  }
  std::printf("rv=%x descriptors left:%s threads=%d\n", rv, left.c_str(),
              threads);
  std::fflush(stdout);
  return kHelperOk;
}

TEST(LeftoverTest, ChildRunLeavesNoDescriptorOrThread) {
  const TimedRun run = RunAndTimeLines(
      {TestBinaryPath(), "--helper-role", "child_run_leftovers"}, "",
      kDeadlineMs);
  ASSERT_FALSE(run.timed_out);
  EXPECT_EQ(run.status, kHelperOk);
  ASSERT_FALSE(run.lines.empty());
  EXPECT_EQ(run.lines.back().message, kThreadSanitizer
                                          ? "rv=0 descriptors left: threads=2"
                                          : "rv=0 descriptors left: threads=1");
}

TEST(LeftoverTest, ChildStartedWithStandardDescriptorsClosedWritesNoLockFile) {
  // It holds the five names a real run uses, which it may not in a shared
  // folder.
  if (!gPrivateLockFolder) GTEST_SKIP() << "tests share the machine's folder";
  // Its names are held here until it waits for each: its workers then log
  // while its lock files are open.
  auto service = InterfacePtr<LockService>::Adopt(CreateLockService(nullptr));
  const char* const names[] = {"foopy", "test", "1", "xyz", "zib4ever"};
  for (const char* name : names) ASSERT_EQ(service->AcquireLock(name, 0), kOk);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  for (int fd = 0; fd <= 2; ++fd)
    posix_spawn_file_actions_addclose(&actions, fd);
  char path[] = WENDLEMOOR_BINARY;
  char flag[] = "-child";
  char* const argv[] = {path, flag, nullptr};
  pid_t pid = -1;
  ASSERT_EQ(posix_spawn(&pid, path, &actions, nullptr, argv, environ), 0);
  posix_spawn_file_actions_destroy(&actions);
  const std::uint64_t end = JX_MonotonicNanos() + kDeadlineMs * 1000000ull;
  for (const auto& key : LockedFiles(getpid())) {
    while (!SomeoneWaitsOnAny({key}) && JX_MonotonicNanos() < end)
      JX_Sleep(JX_MillisecondsToInterval(5));
  }
  EXPECT_LT(JX_MonotonicNanos(), end) << "the child never waited for a name";
  // All three are /dev/null: one left closed would give its number to the
  // first folder or lock file opened, even where nothing is written to it.
  for (int fd = 0; fd <= 2; ++fd) {
    std::error_code gone;
    EXPECT_EQ(
        std::filesystem::read_symlink(
            "/proc/" + std::to_string(pid) + "/fd/" + std::to_string(fd), gone),
        "/dev/null")
        << fd;
  }
  for (const char* name : names) EXPECT_EQ(service->ReleaseLock(name), kOk);
  EXPECT_EQ(WaitHelper(pid, kDeadlineMs), 0);
  // Its log lines went nowhere, and none into a lock file.
  DIR* dir = opendir(DefaultLockFolder().c_str());
  ASSERT_NE(dir, nullptr);
  while (dirent* entry = readdir(dir)) {
    struct stat file;
    if (fstatat(dirfd(dir), entry->d_name, &file, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISREG(file.st_mode)) {
      EXPECT_EQ(file.st_size, 0) << entry->d_name;
    }
  }
  closedir(dir);
}

TEST(IsolationTest, TestsSeeALockFolderOfTheirOwn) {
  if (!gPrivateLockFolder) GTEST_SKIP() << "tests share the machine's folder";
  // A fresh file system exactly on the folder, private as the service wants.
  const std::string folder = DefaultLockFolder();
  struct stat own, parent;
  struct statfs system;
  ASSERT_EQ(stat(folder.c_str(), &own) |
                stat((folder + "/..").c_str(), &parent) |
                statfs(folder.c_str(), &system),
            0);
  EXPECT_NE(own.st_dev, parent.st_dev);
  EXPECT_EQ(system.f_type, static_cast<decltype(system.f_type)>(TMPFS_MAGIC));
  EXPECT_EQ(own.st_mode & 07777, 0700u);
  EXPECT_EQ(own.st_uid, geteuid());
}

// Enters a mount namespace of its own as its root: directly when this
// process is root, else in a user namespace whose root is this user, so that
// the program it runs next may enter a namespace again.
bool EnterMountNamespaceAsRoot() {
  if (unshare(CLONE_NEWNS) == 0) return true;
  const std::string uid = std::to_string(geteuid());
  const std::string gid = std::to_string(getegid());
  auto write_proc = [](const char* path, const std::string& text) {
    return static_cast<bool>(std::ofstream(path) << text << std::flush);
  };
  return unshare(CLONE_NEWUSER | CLONE_NEWNS) == 0 &&
         write_proc("/proc/self/setgroups", "deny") &&
         write_proc("/proc/self/uid_map", "0 " + uid + " 1\n") &&
         write_proc("/proc/self/gid_map", "0 " + gid + " 1\n");
}

constexpr int kNoChroot = 5;

// The chroot's /tmp of its own would hide a test binary built under /tmp:
// then the binary's folder is bound back at its path inside `root`.
bool BindBackFolderUnderTmp(const std::string& root, const std::string& path) {
  const std::string folder = std::filesystem::path(path).parent_path();
  if (folder.rfind("/tmp/", 0) != 0) return true;
  std::error_code error;
  std::filesystem::create_directories(root + folder, error);
  return !error && mount(folder.c_str(), (root + folder).c_str(), nullptr,
                         MS_BIND, nullptr) == 0;
}

// Arguments: an empty folder, a test filter. Makes the folder a root that
// sees the machine's files at their usual paths and a /tmp of its own, enters
// it with chroot, and runs the tests of the filter there with this binary,
// found by its path inside the chroot. Their run enters a namespace of its own
// inside the chroot, as the test binary does in a chroot made by anyone.
// Exits kNoChroot when the system allows no mount namespace to make it in.
WENDLEMOOR_HELPER_ROLE(run_in_own_chroot) {
  const std::string& root = arguments[0];
  if (!EnterMountNamespaceAsRoot() ||
      mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
      mount("/", root.c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0 ||
      mount("wendlemoor-chroot", (root + "/tmp").c_str(), "tmpfs", 0,
            "mode=1777") != 0 ||
      !BindBackFolderUnderTmp(root, WENDLEMOOR_TESTS_BINARY) ||
      chroot(root.c_str()) != 0 || chdir("/") != 0) {
    std::printf("no chroot of our own: %s\n", std::strerror(errno));
    return kNoChroot;
  }
  // This process stays in the namespace meanwhile, as the world outside a
  // chroot does: a namespace that no process is left in loses its mounts,
  // and paths that led out of the chroot then read as if they did not.
  std::fflush(stdout);
  const pid_t pid = fork();
  if (pid == 0) {
    char binary[] = WENDLEMOOR_TESTS_BINARY;
    std::string filter = "--gtest_filter=" + arguments[1];
    char* const argv[] = {binary, filter.data(), nullptr};
    execv(binary, argv);
    _exit(127);
  }
  return pid == -1 ? kHelperFailed : WaitHelper(pid, kDeadlineMs);
}

TEST(IsolationTest, HelpersStartFromANamespaceEnteredInsideAChroot) {
  // One test that starts helpers, one that shows the run entered a namespace.
  TempDir root;
  ASSERT_FALSE(root.path().empty());
  const RunResult run = RunCapture(
      {TestBinaryPath(), "--helper-role", "run_in_own_chroot", root.path(),
       "IsolationTest.TestsSeeALockFolderOfTheirOwn:"
       "LockServiceTest.ChildStartedWhileHoldingInheritsNoDescriptor"},
      "", kDeadlineMs);
  if (run.status == kNoChroot) GTEST_SKIP() << run.output;
  EXPECT_EQ(run.status, 0) << run.output;
  EXPECT_NE(run.output.find("[  PASSED  ] 2 tests."), std::string::npos)
      << run.output;
}

}  // namespace
