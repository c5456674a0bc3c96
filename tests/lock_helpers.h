// Helper processes that take lock names for tests, and the pipes that steer
// them.
//
// A helper reports on its standard output, read through `report`, and goes on
// once the test closes `control`. Everything here is called from a test's one
// thread; every read gives up at a deadline, so a broken lock fails a test
// instead of hanging it.
#ifndef WENDLEMOOR_TESTS_LOCK_HELPERS_H_
#define WENDLEMOOR_TESTS_LOCK_HELPERS_H_

#include <sys/stat.h>
#include <sys/types.h>

#include <string>
#include <vector>

#include "components/lock_service.h"

inline constexpr int kLockDeadlineMs = 60000;
// What ReadCode returns when the helper reported nothing.
inline constexpr wendlemoor::ResultCode kNoReport = 0xFFFFFFFF;

// A service over `folder`, or over the default folder for "-".
wendlemoor::InterfacePtr<wendlemoor::LockService> NewService(
    const std::string& folder);

// Blocks until the control pipe whose read end is descriptor `fd` closes.
void WaitForControl(const std::string& fd);

// A helper's report pipe and the write end of its control pipe.
struct Helper {
  pid_t pid = -1;
  int report = -1;
  int control = -1;
};

// Starts helper `role` with `arguments` and, appended, the number of the read
// end of a fresh control pipe (or of `control_read`, shared by several
// helpers that all go on when its write end closes).
Helper Start(const char* role, std::vector<std::string> arguments,
             int control_read = -1);

// Reads everything up to the first newline, or up to EOF when `line` is
// false; gives up at the deadline.
std::string Read(int fd, bool line, int deadline_ms = kLockDeadlineMs);

// The result code a "lock_hold" helper reports, or kNoReport.
wendlemoor::ResultCode ReadCode(const Helper& helper);

// Closes the helper's pipes and waits for it; returns what WaitHelper does.
int Finish(Helper& helper);

// How /proc/locks and fdinfo name the file `st` describes: " maj:min:inode ".
// The device is part of it: tests running side by side each have a lock
// folder on a file system of its own, and their inode numbers coincide.
std::string LockKey(const struct stat& st);

// True when /proc/locks shows, at this moment, a blocked request on a file
// whose LockKey is among `keys`.
bool SomeoneWaitsOnAny(const std::vector<std::string>& keys);

// The helper role "lock_hold" takes arguments: folder ("-": the default),
// name, wait flag, control descriptor. It reports the acquire's result code
// in hex on a line, holds until the control pipe closes, then releases.

#endif  // WENDLEMOOR_TESTS_LOCK_HELPERS_H_
