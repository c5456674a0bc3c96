#include "bench/bench_support.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/utsname.h>
#include <sys/wait.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string_view>

#include "components/lock_holders.h"
#include "runtime/eintr.h"
#include "runtime/process.h"

using wendlemoor::KernelFileLocks;
using wendlemoor::ReadKernelFileLocks;

void Die(const char* what) {
  std::fprintf(stderr, "wendlemoor_bench: %s: %s\n", what,
               std::strerror(errno));
  std::fflush(stderr);
  _exit(2);
}

long Check(long result, const char* what) {
  if (result == -1) Die(what);
  return result;
}

namespace {

std::uint64_t ClockNanos(clockid_t clock, const char* what) {
  timespec now;
  Check(clock_gettime(clock, &now), what);
  return static_cast<std::uint64_t>(now.tv_sec) * 1000000000u +
         static_cast<std::uint64_t>(now.tv_nsec);
}

// Reads a whole /proc file; such files are produced as they are read, so one
// fstat cannot tell their size.
std::string ReadProcFile(const char* path) {
  const int fd = static_cast<int>(Check(
      RetryOnEintr([&] { return open(path, O_RDONLY | O_CLOEXEC); }), path));
  std::string text;
  char chunk[16384];
  for (;;) {
    const ssize_t n =
        RetryOnEintr([&] { return read(fd, chunk, sizeof chunk); });
    Check(n, path);
    if (n == 0) break;
    text.append(chunk, static_cast<std::size_t>(n));
  }
  Check(close(fd), "close");
  return text;
}

}  // namespace

std::uint64_t ThreadCpuNanos() {
  return ClockNanos(CLOCK_THREAD_CPUTIME_ID,
                    "clock_gettime(CLOCK_THREAD_CPUTIME_ID)");
}

void SleepNanos(std::uint64_t nanos) { JX_Sleep((nanos + 999) / 1000); }

double Median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const std::size_t n = values.size();
  return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

double MedianRatio(const std::vector<double>& a, const std::vector<double>& b) {
  std::vector<double> ratios;
  for (std::size_t i = 0; i < a.size() && i < b.size(); ++i) {
    if (a[i] > 0 && b[i] > 0) ratios.push_back(a[i] / b[i]);
  }
  return Median(std::move(ratios));
}

double Percentile(std::vector<double> values, double fraction) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const double rank = std::ceil(fraction * static_cast<double>(values.size()));
  const std::size_t index = rank < 1 ? 0 : static_cast<std::size_t>(rank) - 1;
  return values[std::min(index, values.size() - 1)];
}

void* MapShared(std::size_t size) {
  void* const address = mmap(nullptr, size, PROT_READ | PROT_WRITE,
                             MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (address == MAP_FAILED) Die("mmap");
  return address;
}

void UnmapShared(void* address, std::size_t size) {
  Check(munmap(address, size), "munmap");
}

pid_t ForkProcess() {
  const pid_t parent = getpid();
  const pid_t pid = static_cast<pid_t>(Check(fork(), "fork"));
  if (pid != 0) return pid;
  // Dies with the bench; a bench already gone ends the child at once.
  if (JX_DieWithParent(parent) != JX_SUCCESS) _exit(3);
  return 0;
}

int ReapWorkers(const std::vector<pid_t>& pids, std::uint64_t deadline,
                int* failed) {
  std::vector<pid_t> left = pids;
  auto reaped = [&](pid_t pid, int status) {
    if (failed != nullptr && JX_ExitCodeFromStatus(status) != 0) {
      ++*failed;
    }
    left.erase(std::find(left.begin(), left.end(), pid));
  };
  // Polled rather than blocked on: a blocking wait could not keep the
  // deadline.
  while (!left.empty() && JX_MonotonicNanos() < deadline) {
    int status;
    const pid_t pid =
        RetryOnEintr([&] { return waitpid(-1, &status, WNOHANG); });
    Check(pid, "waitpid");
    if (pid == 0) {
      SleepNanos(1000000);
    } else if (std::find(left.begin(), left.end(), pid) != left.end()) {
      reaped(pid, status);
    }
  }
  const int killed = static_cast<int>(left.size());
  for (const pid_t pid : std::vector<pid_t>(left)) {
    // A worker that leads a process group takes its whole group with it; the
    // driver run's processes are in their measuring process's group.
    if (getpgid(pid) == pid) {
      Check(kill(-pid, SIGKILL), "kill(group)");
    } else {
      Check(kill(pid, SIGKILL), "kill");
    }
    int status;
    Check(RetryOnEintr([&] { return waitpid(pid, &status, 0); }), "waitpid");
    reaped(pid, status);
  }
  return killed;
}

int CountBlockedRequests(dev_t dev, ino_t ino) {
  std::vector<KernelFileLocks> locks;
  errno = ReadKernelFileLocks({{dev, ino}}, &locks);
  if (errno != 0) Die("/proc/locks");
  return locks[0].waiting;
}

long VoluntarySwitches(pid_t pid) {
  char path[64];
  std::snprintf(path, sizeof path, "/proc/%d/status", static_cast<int>(pid));
  const std::string text = ReadProcFile(path);
  constexpr std::string_view kKey = "\nvoluntary_ctxt_switches:";
  const std::size_t at = text.find(kKey);
  if (at == std::string::npos) {
    errno = ENOENT;
    Die("voluntary_ctxt_switches in /proc/<pid>/status");
  }
  return std::strtol(text.c_str() + at + kKey.size(), nullptr, 10);
}

bool IsAsleep(pid_t pid) {
  char path[64];
  std::snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
  const std::string text = ReadProcFile(path);
  // "PID (COMM) STATE ...": the command may hold spaces and parentheses, so
  // the state follows the last ')'.
  const std::size_t close = text.rfind(')');
  if (close == std::string::npos || close + 2 >= text.size()) {
    errno = EINVAL;
    Die("/proc/<pid>/stat");
  }
  const char state = text[close + 2];
  return state == 'S' || state == 'D';
}

HostFacts ReadHostFacts() {
  HostFacts facts;
  const std::time_t now = std::time(nullptr);
  if (now == static_cast<std::time_t>(-1)) Die("time");
  std::tm local;
  if (localtime_r(&now, &local) == nullptr) Die("localtime_r");
  char date[64];
  if (std::strftime(date, sizeof date, "%Y-%m-%d %H:%M:%S %Z", &local) == 0) {
    Die("strftime");
  }
  facts.date = date;

  utsname names;
  Check(uname(&names), "uname");
  facts.kernel = names.release;

  const std::string cpuinfo = ReadProcFile("/proc/cpuinfo");
  const std::size_t at = cpuinfo.find("model name");
  if (at != std::string::npos) {
    const std::size_t colon = cpuinfo.find(':', at);
    const std::size_t end = cpuinfo.find('\n', at);
    if (colon != std::string::npos && colon < end) {
      facts.cpu_model = cpuinfo.substr(colon + 2, end - colon - 2);
    }
  }
  if (facts.cpu_model.empty()) facts.cpu_model = "unknown";
  facts.cores = Check(sysconf(_SC_NPROCESSORS_ONLN), "sysconf");
  return facts;
}
