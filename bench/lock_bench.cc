// The lock benchmark: what a lock costs through the lock service, beside the
// kernel primitive it is built on, and what a whole driver run costs. Prints
// one table; every row is measured in this run.
//
// Rows that need other processes fork workers from this single-threaded
// process; they share anonymous memory, stamp times on CLOCK_MONOTONIC, and
// every phase has a deadline after which its workers are killed, so a broken
// lock shows up as a failed row and never as a hang.
#include <dirent.h>
#include <fcntl.h>
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
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench/bench_support.h"
#include "components/interface.h"
#include "components/lock_service.h"
#include "runtime/eintr.h"
#include "runtime/private_mount.h"

extern char** environ;

namespace {

constexpr int kOpenFlags = O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW;
constexpr std::uint64_t kMillisecond = 1000000;
constexpr std::uint64_t kSecond = 1000 * kMillisecond;

// Lock names are kept to letters, digits and '_', which the service does not
// escape, so a name is also its lock file's name in the folder and the raw
// variants lock the very file the service would.
constexpr char kProbeName[] = "bench_probe";

[[noreturn]] void DieCode(const char* what, ResultCode code) {
  std::fprintf(stderr, "wendlemoor_bench: %s: result code %x\n", what, code);
  std::fflush(stderr);
  _exit(2);
}

// A private lock folder (mode 0700, as the service demands) that is removed
// with everything in it when the benchmark ends.
class TempFolder {
 public:
  TempFolder() {
    char path[] = "/tmp/wendlemoor-bench-XXXXXX";
    if (mkdtemp(path) == nullptr) Die("mkdtemp");
    path_ = path;
    fd_ = static_cast<int>(
        Check(open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC), "open folder"));
  }
  ~TempFolder() {
    // Lock files are left by the service by design; they go with the folder.
    DIR* const dir = fdopendir(fd_);
    if (dir == nullptr) Die("fdopendir");
    std::vector<std::string> names;
    errno = 0;
    while (const dirent* entry = readdir(dir)) {
      if (std::strcmp(entry->d_name, ".") != 0 &&
          std::strcmp(entry->d_name, "..") != 0) {
        names.push_back(entry->d_name);
      }
    }
    if (errno != 0) Die("readdir");
    for (const std::string& name : names) {
      Check(unlinkat(fd_, name.c_str(), 0), "unlinkat");
    }
    Check(closedir(dir), "closedir");
    Check(rmdir(path_.c_str()), "rmdir");
  }
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  const char* path() const { return path_.c_str(); }
  int fd() const { return fd_; }

  // Device and inode of the lock file `name`, created when missing, for
  // finding its waiters in /proc/locks.
  void Identify(const char* name, dev_t* dev, ino_t* ino) const {
    const int fd = OpenLockFile(name);
    struct stat st;
    Check(fstat(fd, &st), "fstat");
    Check(close(fd), "close");
    *dev = st.st_dev;
    *ino = st.st_ino;
  }

  int OpenLockFile(const char* name) const {
    return static_cast<int>(
        Check(RetryOnEintr([&] { return openat(fd_, name, kOpenFlags, 0600); }),
              "openat"));
  }

 private:
  std::string path_;
  int fd_ = -1;
};

// The primitive the service is built on, with nothing around it: a new open
// file description, a whole-file write lock on it, then unlock and close.
struct flock WholeFile(short type) {
  struct flock whole = {};
  whole.l_type = type;
  whole.l_whence = SEEK_SET;  // l_start 0, l_len 0: the whole file
  return whole;
}

int RawAcquire(const TempFolder& folder, const char* name) {
  const int fd = folder.OpenLockFile(name);
  struct flock whole = WholeFile(F_WRLCK);
  Check(RetryOnEintr([&] { return fcntl(fd, F_OFD_SETLKW, &whole); }),
        "fcntl(F_OFD_SETLKW)");
  return fd;
}

void RawRelease(int fd) {
  struct flock whole = WholeFile(F_UNLCK);
  Check(fcntl(fd, F_OFD_SETLK, &whole), "fcntl(F_OFD_SETLK, F_UNLCK)");
  Check(close(fd), "close");
}

// The same shape with flock, the other lock that belongs to the description.
int FlockAcquire(const TempFolder& folder, const char* name) {
  const int fd = folder.OpenLockFile(name);
  Check(RetryOnEintr([&] { return flock(fd, LOCK_EX); }), "flock(LOCK_EX)");
  return fd;
}

void FlockRelease(int fd) {
  Check(flock(fd, LOCK_UN), "flock(LOCK_UN)");
  Check(close(fd), "close");
}

InterfacePtr<LockService> NewService(const TempFolder& folder) {
  auto service =
      InterfacePtr<LockService>::Adopt(CreateLockService(folder.path()));
  if (!service) DieCode("CreateLockService", kErrorOutOfMemory);
  return service;
}

void ServiceAcquire(LockService* service, const char* name) {
  const ResultCode code = service->AcquireLock(name, 1);
  if (Failed(code)) DieCode("AcquireLock", code);
}

void ServiceRelease(LockService* service, const char* name) {
  const ResultCode code = service->ReleaseLock(name);
  if (Failed(code)) DieCode("ReleaseLock", code);
}

// Whether a name the service reports held is locked in the kernel: a second
// open of its file must be refused both kinds of lock the service may use.
// Rows that time the service mean nothing when it does not lock at all.
bool ServiceLocks(LockService* service, const TempFolder& folder) {
  ServiceAcquire(service, kProbeName);
  const int fd = folder.OpenLockFile(kProbeName);
  bool refused = false;
  struct flock whole = WholeFile(F_WRLCK);
  if (fcntl(fd, F_OFD_SETLK, &whole) == -1) {
    if (errno != EAGAIN && errno != EACCES) Die("fcntl(F_OFD_SETLK)");
    refused = true;
  }
  if (!refused && flock(fd, LOCK_EX | LOCK_NB) == -1) {
    if (errno != EWOULDBLOCK) Die("flock(LOCK_NB)");
    refused = true;
  }
  Check(close(fd), "close");  // gives back whatever the probe took
  ServiceRelease(service, kProbeName);
  return refused;
}

// ---- Uncontended pairs ----------------------------------------------------

struct PairCosts {
  double service_ns;
  double raw_ns;
  double flock_ns;
};

template <typename Pair>
double NanosPerPair(int pairs, Pair&& pair) {
  const std::uint64_t start = NowNanos();
  for (int i = 0; i < pairs; ++i) pair();
  return static_cast<double>(NowNanos() - start) / pairs;
}

// The three variants take turns in every round, in a rotating order, and each
// reports its median round: a burst of load from elsewhere on the machine
// lands on one round of one variant instead of skewing the ratio.
PairCosts MeasurePairs(LockService* service, const TempFolder& folder) {
  constexpr int kRounds = 21;
  constexpr int kPairsPerRound = 4000;
  constexpr char kServiceName[] = "bench_pair_service";
  constexpr char kRawName[] = "bench_pair_raw";
  constexpr char kFlockName[] = "bench_pair_flock";
  auto run = [&](int variant, int pairs) {
    switch (variant) {
      case 0:
        return NanosPerPair(pairs, [&] {
          ServiceAcquire(service, kServiceName);
          ServiceRelease(service, kServiceName);
        });
      case 1:
        return NanosPerPair(pairs,
                            [&] { RawRelease(RawAcquire(folder, kRawName)); });
      default:
        return NanosPerPair(
            pairs, [&] { FlockRelease(FlockAcquire(folder, kFlockName)); });
    }
  };
  // The first round creates the files and warms the caches; it is not kept.
  for (int variant = 0; variant < 3; ++variant)
    run(variant, kPairsPerRound / 4);
  std::vector<double> rounds[3];
  for (int round = 0; round < kRounds; ++round) {
    for (int k = 0; k < 3; ++k) {
      const int variant = (round + k) % 3;
      rounds[variant].push_back(run(variant, kPairsPerRound));
    }
  }
  return {Median(rounds[0]), Median(rounds[1]), Median(rounds[2])};
}

// ---- Handoff between processes --------------------------------------------

// Samples per configuration, taken in rounds in which every configuration
// has a turn.
constexpr int kHandoffSamples = 600;
constexpr int kHandoffRounds = 4;
constexpr int kHandoffWarmup = 20;

// The workers' meeting place, in memory shared by all of them and the parent.
// Every field is an atomic that is lock-free, and so works across processes.
struct HandoffBoard {
  std::atomic<int> stop;
  // Workers between their return from acquiring and their release; more than
  // one at a time is a lock that does not exclude.
  std::atomic<int> inside;
  std::atomic<int> overlaps;
  // Stamped by the holder right before it releases; 0 once consumed.
  std::atomic<std::uint64_t> release_ns;
  std::atomic<int> releaser;
  // Requests blocked in the kernel behind the holder when it released.
  std::atomic<int> queued_at_release;
  std::atomic<std::uint64_t> acquisitions;
  std::atomic<int> handoffs;
  std::atomic<int> short_queue;
  std::atomic<int> taken;
  std::uint64_t samples[kHandoffSamples];
};
static_assert(std::atomic<std::uint64_t>::is_always_lock_free &&
              std::atomic<int>::is_always_lock_free);

// Handoffs of one configuration, pooled over its rounds.
struct HandoffCosts {
  std::vector<double> micros;
  int handoffs = 0;
  int short_queue = 0;
  int overlaps = 0;
  int killed = 0;
  int failed = 0;
};

// How long a holder waits for the others to queue up behind it before it
// releases anyway, and how long a releaser waits for someone else to take the
// lock before it queues again.
constexpr std::uint64_t kQueueWait = 50 * kMillisecond;
constexpr std::uint64_t kTakeWait = 50 * kMillisecond;

// One worker's loop: queue, take the lock, note the handoff, hold the lock
// until all `waiters` others are asleep in the kernel behind it, release.
int HandoffWorker(HandoffBoard* board, const TempFolder& folder,
                  bool via_service, const char* name, int waiters, dev_t dev,
                  ino_t ino) {
  // A service of its own, as each driver process has.
  InterfacePtr<LockService> service;
  if (via_service) service = NewService(folder);
  const int self = getpid();
  // A worker's first return from acquiring is the first time it runs after
  // the fork: copy-on-write faults and caches that hold none of its memory
  // (about 170 us where a steady handoff takes 10-40). With 51 workers those
  // first returns outnumber the warm-up and would make a fifth of each
  // round's samples, so they are never samples; a steady queue is measured.
  bool held_before = false;
  while (board->stop.load() == 0) {
    int fd = -1;
    if (via_service) {
      ServiceAcquire(service.get(), name);
    } else {
      fd = RawAcquire(folder, name);
    }
    const std::uint64_t acquired = NowNanos();
    if (board->inside.fetch_add(1) != 0) board->overlaps.fetch_add(1);
    board->acquisitions.fetch_add(1);

    const std::uint64_t released = board->release_ns.exchange(0);
    // A releaser never takes the lock back before another worker has (see
    // below), so this is a handoff unless that wait ran out. Once the run is
    // stopping, holders no longer wait for a full queue and nothing counts.
    if (released != 0 && board->releaser.load() != self &&
        board->stop.load() == 0 &&
        board->handoffs.fetch_add(1) >= kHandoffWarmup && held_before) {
      if (board->queued_at_release.load() < waiters) {
        board->short_queue.fetch_add(1);
      } else {
        const int slot = board->taken.fetch_add(1);
        if (slot < kHandoffSamples) board->samples[slot] = acquired - released;
      }
    }

    held_before = true;

    // Only a release with every other worker blocked in the kernel counts:
    // that is the queue being measured.
    int queued = 0;
    const std::uint64_t give_up = NowNanos() + kQueueWait;
    while ((queued = CountBlockedRequests(dev, ino)) < waiters &&
           board->stop.load() == 0 && NowNanos() < give_up) {
      SleepNanos(20000);
    }

    board->inside.fetch_sub(1);
    board->queued_at_release.store(queued);
    board->releaser.store(self);
    const std::uint64_t before = board->acquisitions.load();
    board->release_ns.store(NowNanos());
    if (via_service) {
      ServiceRelease(service.get(), name);
    } else {
      RawRelease(fd);
    }
    // Queueing again at once could take the lock back before the woken
    // waiter runs; waiting until someone else has it keeps every release a
    // handoff to another process.
    const std::uint64_t take_limit = NowNanos() + kTakeWait;
    while (board->acquisitions.load() == before && board->stop.load() == 0 &&
           NowNanos() < take_limit) {
      SleepNanos(20000);
    }
  }
  return 0;
}

// Runs one round of `samples` handoffs (at most kHandoffSamples) with
// `waiters` processes queued behind the holder, and adds it to `costs`.
void MeasureHandoff(const TempFolder& folder, bool via_service, int waiters,
                    int samples, HandoffCosts* costs) {
  char name[64];
  std::snprintf(name, sizeof name, "bench_handoff_%s_%d",
                via_service ? "service" : "raw", waiters);
  dev_t dev;
  ino_t ino;
  folder.Identify(name, &dev, &ino);

  auto* board = static_cast<HandoffBoard*>(MapShared(sizeof(HandoffBoard)));
  std::vector<pid_t> workers;
  for (int i = 0; i <= waiters; ++i) {
    workers.push_back(ForkWorker([&] {
      return HandoffWorker(board, folder, via_service, name, waiters, dev, ino);
    }));
  }
  // Enough for every sample at a few milliseconds each on a loaded machine.
  const std::uint64_t deadline = NowNanos() + 6 * kSecond;
  while (board->taken.load() < samples && NowNanos() < deadline) {
    SleepNanos(5 * kMillisecond);
  }
  board->stop.store(1);
  // Each holder in turn sees the flag and leaves, handing the lock down the
  // queue; the deadline covers a queue that no longer moves.
  costs->killed +=
      ReapWorkers(workers, NowNanos() + 5 * kSecond, &costs->failed);

  const int taken = std::min({board->taken.load(), samples, kHandoffSamples});
  for (int i = 0; i < taken; ++i) {
    costs->micros.push_back(static_cast<double>(board->samples[i]) / 1e3);
  }
  costs->handoffs += board->handoffs.load();
  costs->short_queue += board->short_queue.load();
  costs->overlaps += board->overlaps.load();
  UnmapShared(board, sizeof(HandoffBoard));
}

// ---- Waiters woken per release --------------------------------------------

// The woken waiters' word that they hold the lock, in shared memory.
struct WakeBoard {
  std::atomic<int> acquired;
};

// How long a release is given to wake every waiter it is going to wake after
// the new holder has gone back to sleep.
constexpr std::uint64_t kWakeSettle = 20 * kMillisecond;
constexpr int kWakeReleases = 5;

// Waits until every process in `pids` is asleep; false at `deadline`.
bool AllAsleep(const std::vector<pid_t>& pids, std::uint64_t deadline) {
  for (const pid_t pid : pids) {
    while (!IsAsleep(pid)) {
      if (NowNanos() >= deadline) return false;
      SleepNanos(100000);
    }
  }
  return true;
}

long SumVoluntarySwitches(const std::vector<pid_t>& pids) {
  long sum = 0;
  for (const pid_t pid : pids) sum += VoluntarySwitches(pid);
  return sum;
}

// Waiters that one release sets running, averaged over kWakeReleases
// releases: this process holds the lock, `waiters` forked processes block
// behind it, and each release is judged by how often the waiters blocked
// again after it. A waiter that takes the lock blocks once more, in pause(),
// and one woken for nothing blocks again on the lock, so a release that wakes
// only the next holder adds exactly 1. Returns -1 when a release could not be
// set up (a waiter that never blocked, or a lock that was never taken).
double MeasureWakeups(LockService* service, const TempFolder& folder,
                      bool via_service, int waiters) {
  char name[64];
  std::snprintf(name, sizeof name, "bench_wake_%s_%d",
                via_service ? "service" : "raw", waiters);
  dev_t dev;
  ino_t ino;
  folder.Identify(name, &dev, &ino);
  auto* board = static_cast<WakeBoard*>(MapShared(sizeof(WakeBoard)));
  long woken = 0;
  bool valid = true;
  for (int release = 0; release < kWakeReleases && valid; ++release) {
    int fd = -1;
    if (via_service) {
      ServiceAcquire(service, name);
    } else {
      fd = RawAcquire(folder, name);
    }
    board->acquired.store(0);
    std::vector<pid_t> pids;
    for (int i = 0; i < waiters; ++i) {
      pids.push_back(ForkWorker([&] {
        InterfacePtr<LockService> own;
        if (via_service) {
          own = NewService(folder);
          ServiceAcquire(own.get(), name);
        } else {
          RawAcquire(folder, name);
        }
        board->acquired.fetch_add(1);
        // Holds the lock asleep until killed; the one block this adds is the
        // holder's share of the count.
        for (;;) pause();
        return 0;
      }));
    }
    // A request shows in /proc/locks a moment before its process has gone to
    // sleep, and that going to sleep must land before the first reading.
    const std::uint64_t deadline = NowNanos() + 5 * kSecond;
    while (CountBlockedRequests(dev, ino) < waiters && NowNanos() < deadline) {
      SleepNanos(kMillisecond);
    }
    valid =
        CountBlockedRequests(dev, ino) == waiters && AllAsleep(pids, deadline);
    if (valid) {
      const long before = SumVoluntarySwitches(pids);
      if (via_service) {
        ServiceRelease(service, name);
      } else {
        RawRelease(fd);
      }
      while (board->acquired.load() == 0 && NowNanos() < deadline) {
        SleepNanos(100000);
      }
      valid = board->acquired.load() == 1 && AllAsleep(pids, deadline);
      SleepNanos(kWakeSettle);
      woken += SumVoluntarySwitches(pids) - before;
    } else if (via_service) {
      ServiceRelease(service, name);
    } else {
      RawRelease(fd);
    }
    // Killing the holder passes the lock down the queue as each one dies.
    ReapWorkers(pids, NowNanos(), nullptr);
  }
  UnmapShared(board, sizeof(WakeBoard));
  return valid ? static_cast<double>(woken) / kWakeReleases : -1;
}

// ---- A waiter blocked for one second --------------------------------------

struct BlockedCosts {
  double waited_ms;
  double cpu_us;
};

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

// ---- A whole driver run ---------------------------------------------------

struct RunCosts {
  double cpu_ms;
  double user_ms;
  double sys_ms;
  long max_rss_kib;
  double wall_ms;
  int status;
  bool private_folder;
};

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

// ---- The table ------------------------------------------------------------

class Table {
 public:
  void Add(std::string what, std::string value, std::string goal,
           std::string met) {
    rows_.push_back(
        {std::move(what), std::move(value), std::move(goal), std::move(met)});
  }
  void Rule() { rows_.push_back({}); }
  void Print() const {
    std::printf("%-46s %-24s %-16s %s\n", "measurement", "value", "goal",
                "met");
    for (const Row& row : rows_) {
      if (row.what.empty()) {
        std::printf("%.98s\n",
                    "---------------------------------------------------------"
                    "-----------------------------------------");
      } else {
        std::printf("%-46s %-24s %-16s %s\n", row.what.c_str(),
                    row.value.c_str(), row.goal.c_str(), row.met.c_str());
      }
    }
  }

 private:
  struct Row {
    std::string what, value, goal, met;
  };
  std::vector<Row> rows_;
};

std::string Format(const char* format, double a, double b = 0) {
  char text[64];
  std::snprintf(text, sizeof text, format, a, b);
  return text;
}

const char* Verdict(bool met) { return met ? "yes" : "NO"; }

}  // namespace

int main() {
  const HostFacts host = ReadHostFacts();
  TempFolder folder;
  InterfacePtr<LockService> service = NewService(folder);

  std::fprintf(stderr, "checking that the service locks...\n");
  const bool service_locks = ServiceLocks(service.get(), folder);
  // A service that does not exclude returns from every acquisition at once:
  // its rows are still printed, but judged invalid rather than fast.
  const char* const invalid = "INVALID (no lock)";
  auto service_verdict = [&](bool met) {
    return service_locks ? Verdict(met) : invalid;
  };

  std::fprintf(stderr, "uncontended pairs...\n");
  const PairCosts pairs = MeasurePairs(service.get(), folder);

  constexpr int kWaiterCounts[] = {1, 10, 50};
  HandoffCosts handoff[2][3];  // [service?][waiters]
  // All six configurations take turns in every round, in a rotating order:
  // the goals compare them with each other, so a busy spell of the machine
  // must not land on one configuration alone.
  for (int round = 0; round < kHandoffRounds; ++round) {
    std::fprintf(stderr, "handoff, round %d of %d...\n", round + 1,
                 kHandoffRounds);
    for (int k = 0; k < 6; ++k) {
      const int config = (round + k) % 6;
      const int w = config / 2;
      const bool via_service = config % 2 == 0;
      // Without a lock nobody waits, and there is no handoff to time.
      if (via_service && !service_locks) continue;
      MeasureHandoff(folder, via_service, kWaiterCounts[w],
                     kHandoffSamples / kHandoffRounds,
                     &handoff[via_service][w]);
    }
  }

  std::fprintf(stderr, "waiters woken per release...\n");
  double woken[2][3];  // [service?][waiters]; -1 when not measured
  for (int w = 0; w < 3; ++w) {
    for (int via_service = 1; via_service >= 0; --via_service) {
      woken[via_service][w] =
          via_service && !service_locks
              ? -1
              : MeasureWakeups(service.get(), folder, via_service != 0,
                               kWaiterCounts[w]);
    }
  }

  std::fprintf(stderr, "a waiter blocked for one second, and a sleeper...\n");
  // CPU per second waited, median of a few waits: one wake-up that lands on a
  // busy moment of the machine costs several times the usual.
  constexpr int kWaits = 3;
  std::vector<double> blocked_cpu, sleeper_cpu;
  double shortest_wait_ms = 1e9;
  for (int i = 0; i < kWaits; ++i) {
    const BlockedCosts blocked = MeasureBlockedWaiter(service.get(), folder);
    shortest_wait_ms = std::min(shortest_wait_ms, blocked.waited_ms);
    blocked_cpu.push_back(blocked.cpu_us / (blocked.waited_ms / 1e3));
    const BlockedCosts sleeper = MeasureSleeper();
    sleeper_cpu.push_back(sleeper.cpu_us / (sleeper.waited_ms / 1e3));
  }

  std::fprintf(stderr, "three runs of Wendlemoor -10...\n");
  constexpr int kRuns = 3;
  std::vector<double> run_cpu;
  std::vector<RunCosts> runs;
  long max_rss_kib = 0;
  bool runs_ok = true;
  for (int i = 0; i < kRuns; ++i) {
    runs.push_back(MeasureDriverRun());
    if (runs.back().status != 0) runs_ok = false;
    run_cpu.push_back(runs.back().cpu_ms);
    max_rss_kib = std::max(max_rss_kib, runs.back().max_rss_kib);
  }
  service.reset();

  std::printf("Wendlemoor lock benchmark  %s\n", host.date.c_str());
  std::printf("kernel %s, CPU %s, %ld cores\n\n", host.kernel.c_str(),
              host.cpu_model.c_str(), host.cores);

  Table table;
  const double pair_ratio = pairs.service_ns / pairs.raw_ns;
  table.Add("uncontended acquire+release, service (ns)",
            Format("%.0f", pairs.service_ns), "", "");
  table.Add("uncontended acquire+release, raw OFD (ns)",
            Format("%.0f", pairs.raw_ns), "", "");
  table.Add("uncontended acquire+release, flock (ns)",
            Format("%.0f", pairs.flock_ns), "", "");
  table.Add("uncontended pair service/raw", Format("%.3f", pair_ratio),
            "<= 1.25", service_verdict(pair_ratio <= 1.25));
  table.Rule();

  for (int w = 0; w < 3; ++w) {
    for (int via_service = 1; via_service >= 0; --via_service) {
      const HandoffCosts& h = handoff[via_service][w];
      char what[96];
      std::snprintf(what, sizeof what,
                    "handoff, %2d waiting, %-7s p50/p99 (us)", kWaiterCounts[w],
                    via_service ? "service" : "raw");
      char value[96];
      std::snprintf(value, sizeof value, "%.1f / %.1f  n=%zu",
                    Percentile(h.micros, 0.50), Percentile(h.micros, 0.99),
                    h.micros.size());
      // A row with overlapping holders, missing samples or killed workers is
      // flagged, so that its numbers are not taken at face value.
      std::string note;
      if (h.overlaps != 0)
        note += "overlaps=" + std::to_string(h.overlaps) + " ";
      if (h.short_queue != 0) {
        note += "short-queue=" + std::to_string(h.short_queue) + " ";
      }
      if (h.killed != 0) note += "killed=" + std::to_string(h.killed) + " ";
      if (h.failed != 0) note += "failed=" + std::to_string(h.failed) + " ";
      if (h.micros.size() < kHandoffSamples) note += "short-run ";
      table.Add(what, value, "", note);
    }
    const double ratio = Percentile(handoff[1][w].micros, 0.50) /
                         std::max(Percentile(handoff[0][w].micros, 0.50), 1e-9);
    char what[96];
    std::snprintf(what, sizeof what, "handoff, %2d waiting, service/raw p50",
                  kWaiterCounts[w]);
    table.Add(what, Format("%.3f", ratio), "<= 1.25",
              service_verdict(!handoff[1][w].micros.empty() && ratio <= 1.25));
  }
  for (int w = 0; w < 3; ++w) {
    for (int via_service = 1; via_service >= 0; --via_service) {
      const double value = woken[via_service][w];
      char what[96];
      std::snprintf(what, sizeof what,
                    "waiters woken per release, %2d waiting, %s",
                    kWaiterCounts[w], via_service ? "service" : "raw");
      // Counted in whole blocks, so anything above 1 is a waiter woken for
      // nothing.
      const bool met = value >= 0 && value <= 1.0;
      const char* verdict = value < 0 ? "NO (not measured)" : Verdict(met);
      if (via_service && !service_locks) verdict = invalid;
      table.Add(what, value < 0 ? "-" : Format("%.2f", value), "1", verdict);
    }
  }
  for (int via_service = 1; via_service >= 0; --via_service) {
    const HandoffCosts* const h = handoff[via_service];
    const double scale = Percentile(h[2].micros, 0.50) /
                         std::max(Percentile(h[0].micros, 0.50), 1e-9);
    const bool met = !h[2].micros.empty() && scale <= 2.0;
    table.Add(via_service ? "handoff p50, 50 waiting / 1 waiting, service"
                          : "handoff p50, 50 waiting / 1 waiting, raw",
              Format("%.3f", scale), "<= 2",
              via_service ? service_verdict(met) : Verdict(met));
  }
  table.Rule();

  const double cpu_per_second = Median(blocked_cpu);
  table.Add("blocked waiter, shortest of 3 waits (ms)",
            Format("%.0f", shortest_wait_ms), "~1000", "");
  table.Add("blocked waiter, CPU per second waited (us)",
            Format("%.1f", cpu_per_second), "< 1000",
            service_verdict(shortest_wait_ms > 900 && cpu_per_second < 1000));
  table.Add("  for scale: sleeping thread, CPU per second",
            Format("%.1f", Median(sleeper_cpu)), "", "");
  table.Rule();

  const double cpu_ms = Median(run_cpu);
  char value[96];
  std::snprintf(value, sizeof value, "%.0f (%.0f-%.0f, of %d)", cpu_ms,
                *std::min_element(run_cpu.begin(), run_cpu.end()),
                *std::max_element(run_cpu.begin(), run_cpu.end()), kRuns);
  table.Add("Wendlemoor -10, CPU all processes (ms)", value, "<= 60",
            runs_ok ? Verdict(cpu_ms <= 60) : "NO (run failed)");
  std::snprintf(value, sizeof value, "user %.0f sys %.0f",
                runs[kRuns / 2].user_ms, runs[kRuns / 2].sys_ms);
  table.Add("Wendlemoor -10, CPU split of one run (ms)", value, "", "");
  table.Add("Wendlemoor -10, peak RSS of one process (KiB)",
            Format("%.0f", static_cast<double>(max_rss_kib)), "<= 4096",
            runs_ok ? Verdict(max_rss_kib <= 4096) : "NO (run failed)");
  table.Add(
      "Wendlemoor -10, wall time (ms)", Format("%.0f", runs[0].wall_ms), "",
      runs[0].private_folder ? "private lock folder" : "SHARED lock folder");
  table.Print();
  for (int i = 0; i < kRuns; ++i) {
    if (runs[i].status == -1) {
      std::printf("run %d of Wendlemoor -10: killed at its deadline\n", i + 1);
    } else if (runs[i].status == -2) {
      std::printf("run %d of Wendlemoor -10: could not be run (see above)\n",
                  i + 1);
    } else if (runs[i].status != 0) {
      std::printf("run %d of Wendlemoor -10: wait status %#x\n", i + 1,
                  static_cast<unsigned>(runs[i].status));
    }
  }
  if (!service_locks) {
    std::printf(
        "\nThe service returned from AcquireLock without a kernel lock on the "
        "name's file:\nits rows measure no locking at all.\n");
  }
  return 0;
}
