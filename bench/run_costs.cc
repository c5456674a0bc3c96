#include <signal.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "bench/measurements.h"
#include "runtime/private_mount.h"

using wendlemoor::DefaultLockFolder;
using wendlemoor::LockService;

extern char** environ;

namespace {

// ---- A waiter blocked for one second --------------------------------------

}  // namespace

// The same for a thread that merely sleeps a second: what being put to sleep
// and woken costs on this machine whatever the thread waits for.
BlockedCosts MeasureSleeper() {
  const std::uint64_t cpu_before = ThreadCpuNanos();
  const std::uint64_t wall_before = NowNanos();
  SleepNanos(kSecond);
  const std::uint64_t wall_after = NowNanos();
  const std::uint64_t cpu_after = ThreadCpuNanos();
  return {static_cast<double>(wall_after - wall_before) / 1e6,
          static_cast<double>(cpu_after - cpu_before) / 1e3};
}

BlockedCosts MeasureBlockedWaiter(LockService* service,
                                  const TempFolder& folder) {
  constexpr char kName[] = "bench_blocked";
  int ready[2];
  Check(pipe2(ready, O_CLOEXEC), "pipe2");
  // The holder is another process: it takes the lock, says so, holds it for
  // one second and releases.
  const pid_t holder = ForkWorker([&] {
    Check(close(ready[0]), "close");
    const int fd = RawAcquire(folder, kName);
    const char byte = 1;
    Check(RetryOnEintr([&] { return write(ready[1], &byte, 1); }), "write");
    SleepNanos(kSecond);
    RawRelease(fd);
    return 0;
  });
  Check(close(ready[1]), "close");
  char byte;
  if (Check(RetryOnEintr([&] { return read(ready[0], &byte, 1); }), "read") !=
      1) {
    errno = EPIPE;
    Die("holder did not start");
  }
  Check(close(ready[0]), "close");

  const std::uint64_t cpu_before = ThreadCpuNanos();
  const std::uint64_t wall_before = NowNanos();
  ServiceAcquire(service, kName);
  const std::uint64_t wall_after = NowNanos();
  const std::uint64_t cpu_after = ThreadCpuNanos();
  ServiceRelease(service, kName);
  int failed = 0;
  if (ReapWorkers({holder}, NowNanos() + 5 * kSecond, &failed) != 0 ||
      failed != 0) {
    errno = ECHILD;
    Die("holder process");
  }
  return {static_cast<double>(wall_after - wall_before) / 1e6,
          static_cast<double>(cpu_after - cpu_before) / 1e3};
}

namespace {

// ---- A whole driver run ---------------------------------------------------

struct RunReport {
  rusage children;
  std::uint64_t wall_ns;
  int status;
  int private_folder;
};

// Gives the calling process, and what it launches, a lock folder of its own
// (runtime/private_mount.h). Every driver run of this user on the machine
// shares the default folder, so without this a test run of someone else's
// would queue on the same five names and stretch our run. Returns false,
// with the default folder still the shared one, where this process may not.
bool PrivateLockFolder() {
  return JX_MountPrivateFolder(DefaultLockFolder().c_str()) == JX_SUCCESS;
}

double Millis(const timeval& t) { return t.tv_sec * 1e3 + t.tv_usec / 1e3; }

}  // namespace

// Runs "./Wendlemoor -10" from its build folder, output discarded, in a fresh
// measuring process: the children's usage it collects then holds that run
// alone and none of the rows before.
RunCosts MeasureDriverRun() {
  const std::string binary = WENDLEMOOR_BINARY;
  const std::string folder = binary.substr(0, binary.rfind('/'));
  auto* report = static_cast<RunReport*>(MapShared(sizeof(RunReport)));
  const pid_t measurer = ForkWorker([&] {
    // A group of its own, so that a run past its deadline is killed whole.
    Check(setpgid(0, 0), "setpgid");
    Check(chdir(folder.c_str()), "chdir");
    report->private_folder = PrivateLockFolder() ? 1 : 0;
    const int null_fd = static_cast<int>(
        Check(open("/dev/null", O_WRONLY | O_CLOEXEC), "open /dev/null"));
    char path[] = "./Wendlemoor";
    char count[] = "-10";
    char* const argv[] = {path, count, nullptr};
    const std::uint64_t start = NowNanos();
    // fork and exec rather than posix_spawn: a process launched from a
    // memory it shares with its launcher inherits the launcher's resident
    // peak, which would put this benchmark's own memory into ru_maxrss. A
    // forked copy holds only the few pages this process has written.
    const pid_t driver = static_cast<pid_t>(Check(fork(), "fork"));
    if (driver == 0) {
      if (dup2(null_fd, STDOUT_FILENO) == -1) _exit(126);
      execve(path, argv, environ);
      _exit(127);  // reported as the run's exit status
    }
    int status;
    Check(RetryOnEintr([&] { return waitpid(driver, &status, 0); }), "waitpid");
    report->wall_ns = NowNanos() - start;
    report->status = status;
    // Every descendant was waited for by its parent, so its usage is summed
    // in here, and ru_maxrss is the largest peak of any one of them.
    Check(getrusage(RUSAGE_CHILDREN, &report->children), "getrusage");
    return 0;
  });
  // Set from this side too: the kill below must find the group even if the
  // measurer has not run yet.
  if (setpgid(measurer, measurer) == -1 && errno != EACCES) Die("setpgid");
  int failed = 0;
  // A run takes about 12 s: five names, each held in turn by ten processes
  // for 500-1000 ms.
  const int killed =
      ReapWorkers({measurer}, NowNanos() + 60 * kSecond, &failed);
  RunCosts costs{};
  costs.private_folder = report->private_folder != 0;
  if (killed != 0) {
    costs.status = -1;
  } else if (failed != 0) {
    costs.status = -2;
  } else {
    const rusage& usage = report->children;
    costs.user_ms = Millis(usage.ru_utime);
    costs.sys_ms = Millis(usage.ru_stime);
    costs.cpu_ms = costs.user_ms + costs.sys_ms;
    costs.max_rss_kib = usage.ru_maxrss;
    costs.wall_ms = report->wall_ns / 1e6;
    costs.status = report->status;
  }
  UnmapShared(report, sizeof(RunReport));
  return costs;
}
