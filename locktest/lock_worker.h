// The lock worker: one acquire-hold-release cycle on one named lock.
//
// Thread safety: TestThread runs in up to five threads of a child at once, all
// calling the lock service through gLockService. Ownership: gLockService does
// not own a reference; the child run (DoTest) holds the owning one.
#ifndef WENDLEMOOR_LOCKTEST_LOCK_WORKER_H_
#define WENDLEMOOR_LOCKTEST_LOCK_WORKER_H_

#include "components/lock_service.h"

// The lock service the workers call, or null when no test is running. Written
// only by the child's main thread while no worker exists (before the first
// start, after the last join); starting and joining the threads order those
// writes with the workers' reads, so no lock guards it.
extern wendlemoor::LockService* gLockService;

// The thread routine of a worker; `lock_name` is a const char* that outlives
// the thread. Logs "entering TestThread [lock=NAME]", pauses 1000-1100 ms,
// acquires the lock (waiting for it), holds it 500-1000 ms, releases it and
// logs "exiting TestThread [lock=NAME rv=CODE]" with the last call's code. A
// failed acquire or release is logged with its code in a line of its own; a
// failed acquire skips the hold and the release.
// REQUIRES: gLockService is set.
void TestThread(void* lock_name);

#endif  // WENDLEMOOR_LOCKTEST_LOCK_WORKER_H_
