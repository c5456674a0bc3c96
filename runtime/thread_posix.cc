// Threads on POSIX systems: pthreads.
//
// What POSIX gives: a detached state for unjoinable threads, pthread_join
// that reports a thread joining itself (EDEADLK), a minimum stack size
// (PTHREAD_STACK_MIN) that smaller requests are raised to.
#include "runtime/thread.h"

#include <pthread.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <new>

#include "runtime/thread_shared.h"

struct JX_ThreadRecord {
  pthread_t id;
  JX_ThreadRoutine routine;
  void* argument;
  bool joinable;
};

namespace {

JX_ThreadRecord gUnjoinableToken{};

void* Trampoline(void* raw) {
  auto* record = static_cast<JX_ThreadRecord*>(raw);
  record->routine(record->argument);
  // Nobody will join an unjoinable thread, so its record is freed here.
  if (!record->joinable) delete record;
  return nullptr;
}

}  // namespace

JX_Thread JX_CreateThread(JX_ThreadKind kind, JX_ThreadRoutine routine,
                          void* argument, JX_ThreadPriority priority,
                          JX_ThreadScope scope, JX_ThreadState state,
                          std::size_t stack_size) {
  if (!ThreadArgumentsValid(kind, routine, priority, scope, state)) {
    errno = EINVAL;
    return nullptr;
  }
  auto* record = new (std::nothrow)
      JX_ThreadRecord{{}, routine, argument, state == JX_JOINABLE_THREAD};
  if (record == nullptr) {
    errno = ENOMEM;
    return nullptr;
  }
  pthread_attr_t attr;
  int error = pthread_attr_init(&attr);
  if (error != 0) {
    delete record;
    errno = error;
    return nullptr;
  }
  if (stack_size != 0) {
    const auto minimum = static_cast<std::size_t>(PTHREAD_STACK_MIN);
    if (stack_size < minimum) stack_size = minimum;
    error = pthread_attr_setstacksize(&attr, stack_size);
  }
  const bool joinable = record->joinable;
  if (error == 0 && !joinable) {
    error = pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  }
  // An unjoinable thread may end, and free its record, before pthread_create
  // returns: its ID is written to a local, never into the record.
  pthread_t id;
  if (error == 0) error = pthread_create(&id, &attr, Trampoline, record);
  pthread_attr_destroy(&attr);
  if (error == 0 && joinable) record->id = id;
  if (error != 0) {
    delete record;
    errno = error;
    return nullptr;
  }
  // An unjoinable thread may already have ended and freed its record; the
  // caller gets a shared token that JX_JoinThread refuses.
  return joinable ? record : &gUnjoinableToken;
}

JX_Status JX_JoinThread(JX_Thread thread) {
  if (thread == nullptr || thread == &gUnjoinableToken) return JX_FAILURE;
  const int error = pthread_join(thread->id, nullptr);
  if (error != 0) {
    // EDEADLK (joining oneself): the thread still runs and the handle stays
    // valid.
    errno = error;
    return JX_FAILURE;
  }
  delete thread;
  return JX_SUCCESS;
}
