// Threads on Windows: _beginthreadex, which sets up the C library's
// per-thread state (rand's among it) as CreateThread would not on older C
// libraries.
//
// What Windows gives: a thread handle that becomes signalled when the thread
// ends, so joining is one wait in the kernel; GetThreadId to tell whether the
// caller joins itself. What it lacks, and how the contract is kept: there is
// no detached state, so an unjoinable thread's handle is closed at once and
// the thread runs on; there is no minimum stack size to raise a request to,
// and a non-zero size is the stack's reserved size.
#include "runtime/thread.h"

#include <process.h>
#include <windows.h>

#include <cerrno>
#include <climits>
#include <new>

#include "runtime/thread_shared.h"

struct JX_ThreadRecord {
  HANDLE handle;
  JX_ThreadRoutine routine;
  void* argument;
  bool joinable;
};

namespace {

JX_ThreadRecord gUnjoinableToken{};

unsigned __stdcall Trampoline(void* raw) {
  auto* record = static_cast<JX_ThreadRecord*>(raw);
  record->routine(record->argument);
  // Nobody will join an unjoinable thread, so its record is freed here.
  if (!record->joinable) delete record;
  return 0;
}

}  // namespace

JX_Thread JX_CreateThread(JX_ThreadKind kind, JX_ThreadRoutine routine,
                          void* argument, JX_ThreadPriority priority,
                          JX_ThreadScope scope, JX_ThreadState state,
                          std::size_t stack_size) {
  if (!ThreadArgumentsValid(kind, routine, priority, scope, state) ||
      stack_size > UINT_MAX) {
    errno = EINVAL;
    return nullptr;
  }
  auto* record = new (std::nothrow)
      JX_ThreadRecord{nullptr, routine, argument, state == JX_JOINABLE_THREAD};
  if (record == nullptr) {
    errno = ENOMEM;
    return nullptr;
  }
  const bool joinable = record->joinable;
  // An unjoinable thread may end, and free its record, before
  // _beginthreadex returns: its handle goes to a local, never into the
  // record. _beginthreadex sets errno when it fails.
  const uintptr_t handle = _beginthreadex(
      nullptr, static_cast<unsigned>(stack_size), Trampoline, record,
      stack_size != 0 ? STACK_SIZE_PARAM_IS_A_RESERVATION : 0, nullptr);
  if (handle == 0) {
    delete record;
    return nullptr;
  }
  if (!joinable) {
    CloseHandle(reinterpret_cast<HANDLE>(handle));
    return &gUnjoinableToken;
  }
  record->handle = reinterpret_cast<HANDLE>(handle);
  return record;
}

JX_Status JX_JoinThread(JX_Thread thread) {
  if (thread == nullptr || thread == &gUnjoinableToken) return JX_FAILURE;
  // Waiting for oneself would never end: the handle stays valid.
  if (GetThreadId(thread->handle) == GetCurrentThreadId()) {
    errno = EDEADLK;
    return JX_FAILURE;
  }
  if (WaitForSingleObject(thread->handle, INFINITE) != WAIT_OBJECT_0) {
    errno = EINVAL;
    return JX_FAILURE;
  }
  CloseHandle(thread->handle);
  delete thread;
  return JX_SUCCESS;
}
