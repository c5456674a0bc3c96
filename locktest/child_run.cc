#include "locktest/child_run.h"

#include "components/event_queue_service.h"
#include "components/lock_service.h"
#include "components/registry.h"
#include "driver/log.h"
#include "driver/random_sleep.h"
#include "locktest/lock_worker.h"
#include "runtime/thread.h"

using wendlemoor::EventQueue;
using wendlemoor::EventQueueService;
using wendlemoor::Failed;
using wendlemoor::GetService;
using wendlemoor::InitComponentSystem;
using wendlemoor::InterfacePtr;
using wendlemoor::kEventQueueServiceContractId;
using wendlemoor::kEventQueueServiceId;
using wendlemoor::kLockServiceContractId;
using wendlemoor::kLockServiceId;
using wendlemoor::kOk;
using wendlemoor::LockService;
using wendlemoor::ResultCode;
using wendlemoor::ShutdownComponentSystem;

const char* const kLockNames[6] = {"foopy", "test",     "1",
                                   "xyz",   "zib4ever", nullptr};

namespace {

constexpr int kThreadSlots = 10;
static_assert(sizeof kLockNames / sizeof kLockNames[0] <= kThreadSlots,
              "every lock name needs a thread slot");

}  // namespace

ResultCode DoTest() {
  // Declared in the order of filling, so they are released in reverse.
  InterfacePtr<EventQueueService> event_queue_service;
  InterfacePtr<EventQueue> queue;
  InterfacePtr<LockService> lock_service;
  ResultCode rv = kOk;

  event_queue_service = GetService<EventQueueService>(
      kEventQueueServiceContractId, kEventQueueServiceId, &rv);
  if (Failed(rv)) return rv;
  rv = event_queue_service->PrepareQueue();
  if (Failed(rv)) return rv;
  rv = event_queue_service->GetQueue(nullptr, queue.Receive());
  if (Failed(rv)) return rv;

  // A missing lock service ends the run here: no worker may call through an
  // empty reference.
  lock_service =
      GetService<LockService>(kLockServiceContractId, kLockServiceId, &rv);
  if (Failed(rv)) return rv;

  gLockService = lock_service.get();

  JX_Thread threads[kThreadSlots] = {};
  for (int i = 0; kLockNames[i] != nullptr; ++i) {
    threads[i] = JX_CreateThread(
        JX_USER_THREAD, TestThread, const_cast<char*>(kLockNames[i]),
        JX_PRIORITY_NORMAL, JX_GLOBAL_THREAD, JX_JOINABLE_THREAD, 0);
    if (threads[i] == nullptr) {
      LogMessage("failed to start TestThread [lock=%s]\n", kLockNames[i]);
    }
  }
  // Every slot is visited: a worker that failed to start leaves a gap, and
  // gLockService must not be cleared while any later worker still runs.
  for (JX_Thread& thread : threads) {
    if (thread == nullptr) continue;
    (void)JX_JoinThread(thread);
    thread = nullptr;
  }

  gLockService = nullptr;
  LogMessage("joined with all threads; exiting DoTest\n");
  return kOk;
}

int RunChildTest() {
  RandomSleep(1000, 1000);
  LogMessage("running child test\n");
  (void)InitComponentSystem(nullptr, nullptr, nullptr);
  (void)DoTest();
  (void)ShutdownComponentSystem(nullptr);
  return 0;
}
