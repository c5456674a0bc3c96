// What threads are on every platform: the arguments accepted and the identity
// of the calling thread.
#include "runtime/thread.h"

#include <atomic>
#include <cstdint>

#include "runtime/thread_shared.h"

bool ThreadArgumentsValid(JX_ThreadKind kind, JX_ThreadRoutine routine,
                          JX_ThreadPriority priority, JX_ThreadScope scope,
                          JX_ThreadState state) {
  return routine != nullptr &&
         (kind == JX_USER_THREAD || kind == JX_SYSTEM_THREAD) &&
         priority >= JX_PRIORITY_LOW && priority <= JX_PRIORITY_URGENT &&
         (scope == JX_LOCAL_THREAD || scope == JX_GLOBAL_THREAD) &&
         (state == JX_JOINABLE_THREAD || state == JX_UNJOINABLE_THREAD);
}

void* JX_GetCurrentThread() {
  // A number drawn once per thread from a process-wide counter: unlike an
  // address (of a stack or a thread-local), it is never handed to a later
  // thread, so a new thread can never be taken for one that has ended.
  static std::atomic<std::uintptr_t> last_identity{0};
  static thread_local std::uintptr_t identity = 0;
  if (identity == 0) identity = ++last_identity;
  return reinterpret_cast<void*>(identity);
}
