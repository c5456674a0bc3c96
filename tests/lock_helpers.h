// Helper processes that take lock names for tests, and the pipes that steer
// them.
//
// A helper reports on its standard output and goes on once its standard
// input ends (the test closes the pipe's write end). The factory, the wait
// for the input's end and the roles below are the same on every platform;
// the section marked Linux only starts and reads helpers through pipes of
// descriptors and reads /proc/locks. Everything here is called from a test's
// one thread; every read gives up at a deadline, so a broken lock fails a test
// instead of hanging it.
#ifndef WENDLEMOOR_TESTS_LOCK_HELPERS_H_
#define WENDLEMOOR_TESTS_LOCK_HELPERS_H_

#include <sys/stat.h>
#include <sys/types.h>

#include <string>
#include <vector>

#include "components/lock_holders.h"  // LockFileKey
#include "components/lock_service.h"
#include "runtime/process.h"

inline constexpr int kLockDeadlineMs = 60000;
// What ReadCode returns when the helper reported nothing.
inline constexpr wendlemoor::ResultCode kNoReport = 0xFFFFFFFF;

// A new service over `folder` ("-": the default folder), with the caller's
// reference: the one way tests make a lock service.
wendlemoor::InterfacePtr<wendlemoor::LockService> NewService(
    const std::string& folder);

// Blocks until standard input ends (every writer has closed it).
void WaitForInputEnd();

// The result code in a line a "lock_hold" helper reported, or kNoReport for
// an empty line.
wendlemoor::ResultCode CodeFromReport(const std::string& line);

// Helper roles of every platform:
// "lock_hold" folder ("-": the default) name wait-flag: reports the acquire's
// result code in hex on a line, holds until its input ends, then releases.
// "lock_intervals" folder name count hold-microseconds: once its input ends,
// takes the name `count` times and prints "acquired released" monotonic times
// of every hold (TakeTimedHolds).

// Linux only (lock_helpers_linux.cc) from here on.

// A helper, its report pipe and the write end of its control pipe (its
// standard input).
struct Helper {
  JX_Process process = nullptr;
  pid_t pid = -1;
  int report = -1;
  int control = -1;
};

// Starts helper `role` with `arguments`, its standard input on a fresh
// control pipe (or on `control_read`, shared by several helpers that all go
// on when its write end closes).
Helper Start(const char* role, const std::vector<std::string>& arguments,
             int control_read = -1);

// Reads everything up to the first newline, or up to EOF when `line` is
// false; gives up at the deadline.
std::string Read(int fd, bool line, int deadline_ms = kLockDeadlineMs);

// The result code a "lock_hold" helper reports, or kNoReport.
wendlemoor::ResultCode ReadCode(const Helper& helper);

// Closes the helper's pipes and waits for it; returns what WaitHelper does.
int Finish(Helper& helper);

// The key of the file `st` describes, for SomeoneWaitsOnAny.
wendlemoor::LockFileKey LockKey(const struct stat& st);

// True when /proc/locks shows, at this moment, a blocked request on one of
// `files` (false when it cannot be read).
bool SomeoneWaitsOnAny(const std::vector<wendlemoor::LockFileKey>& files);

#endif  // WENDLEMOOR_TESTS_LOCK_HELPERS_H_
