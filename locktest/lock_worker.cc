#include "locktest/lock_worker.h"

#include "driver/log.h"
#include "driver/random_sleep.h"

using wendlemoor::Failed;
using wendlemoor::LockService;
using wendlemoor::ResultCode;

LockService* gLockService = nullptr;

void TestThread(void* lock_name) {
  const char* const name = static_cast<const char*>(lock_name);
  LogMessage("entering TestThread [lock=%s]\n", name);
  RandomSleep(1000, 1100);

  ResultCode rv = gLockService->AcquireLock(name, 1);
  if (Failed(rv)) {
    LogMessage("failed to acquire lock [rv=%x]\n", rv);
  } else {
    RandomSleep(500, 1000);
    rv = gLockService->ReleaseLock(name);
    if (Failed(rv)) LogMessage("failed to release lock [rv=%x]\n", rv);
  }
  LogMessage("exiting TestThread [lock=%s rv=%x]\n", name, rv);
}
