// What the lock benchmark needs around its measurements: checked clocks, order
// statistics, memory shared with forked workers, worker processes that never
// outlive a deadline, the kernel's list of blocked lock requests, and the host
// facts printed above the table.
//
// Everything here runs in the benchmark's one thread or in a forked worker,
// which is single-threaded too; nothing is meant to be called concurrently.
#ifndef WENDLEMOOR_BENCH_BENCH_SUPPORT_H_
#define WENDLEMOOR_BENCH_BENCH_SUPPORT_H_

#include <sys/types.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

// JX_MonotonicNanos: the clock every timestamp shared between processes is
// taken on.
#include "runtime/interval.h"

// Reports "wendlemoor_bench: WHAT: <errno text>" on standard error and exits
// with status 2. A benchmark that carried on past a failed call would print
// numbers that mean nothing.
[[noreturn]] void Die(const char* what);

// Returns `result`, or dies naming `what` when it is -1.
long Check(long result, const char* what);

// CPU time the calling thread has used, user and system, in nanoseconds.
std::uint64_t ThreadCpuNanos();

// Sleeps the calling thread for `nanos`, rounded up to the microsecond, as
// JX_Sleep does (signals do not shorten it).
void SleepNanos(std::uint64_t nanos);

// The median of `values` (the mean of the middle two for an even count);
// 0 for none.
double Median(std::vector<double> values);

// The median of the ratios a[i] / b[i] of samples taken side by side (the
// shorter length counts; a pair with a sample of 0 or less, nothing measured,
// is left out); 0 for none.
double MedianRatio(const std::vector<double>& a, const std::vector<double>& b);

// The nearest-rank percentile: the smallest sample that at least `fraction` of
// the samples do not exceed. 0 for none.
double Percentile(std::vector<double> values, double fraction);

// Anonymous memory shared with every process forked after the mapping: the
// workers and the parent read and write the same bytes. Zero-filled.
void* MapShared(std::size_t size);
void UnmapShared(void* address, std::size_t size);

// Forks a process that dies with the benchmark (a parent killed mid-run leaves
// no worker behind). Returns the child's pid in the parent and 0 in the child.
pid_t ForkProcess();

// Forks a worker that runs `body` and exits with the int it returns, without
// running exit handlers or flushing stdio buffers it inherited.
template <typename Body>
pid_t ForkWorker(Body&& body) {
  // Flushed first so that nothing buffered is written by both processes.
  if (std::fflush(nullptr) != 0) Die("fflush");
  const pid_t pid = ForkProcess();
  if (pid == 0) _exit(body());
  return pid;
}

// Reaps every process in `pids`, waiting for them until `deadline` (on
// JX_MonotonicNanos) and killing the rest with SIGKILL (the process group of
// each, when it leads one). Returns how many had to be killed; a worker that
// exited with a status other than 0 counts in `*failed` when it is not null.
int ReapWorkers(const std::vector<pid_t>& pids, std::uint64_t deadline,
                int* failed);

// The number of requests blocked, this moment, on the lock of the file with
// device `dev` and inode `ino`, as the kernel lists them in /proc/locks.
int CountBlockedRequests(dev_t dev, ino_t ino);

// The number of times process `pid` has blocked (given up its CPU to wait),
// from "voluntary_ctxt_switches" in /proc/<pid>/status. A process blocked in
// the kernel adds one each time it is woken and blocks again.
long VoluntarySwitches(pid_t pid);

// Whether process `pid` is asleep this moment (state S or D in
// /proc/<pid>/stat), as opposed to running or ready to run.
bool IsAsleep(pid_t pid);

struct HostFacts {
  std::string date;
  std::string kernel;
  std::string cpu_model;
  long cores;
};
HostFacts ReadHostFacts();

#endif  // WENDLEMOOR_BENCH_BENCH_SUPPORT_H_
