// Threads: creation, joining and the identity of the calling thread.
//
// All functions may be called from any thread. A handle returned by
// JX_CreateThread for a joinable thread is owned by the caller until it is
// spent by JX_JoinThread; a handle of an unjoinable thread must not be used.
#ifndef WENDLEMOOR_RUNTIME_THREAD_H_
#define WENDLEMOOR_RUNTIME_THREAD_H_

#include <cstddef>
#include <cstdint>

struct JX_ThreadRecord;
using JX_Thread =
    JX_ThreadRecord*;  // empty (nullptr) when no thread stands behind it

// Result of the runtime's own operations. JX_TIMED_OUT: a wait's deadline
// passed before what it waited for happened.
enum JX_Status : int { JX_SUCCESS = 0, JX_FAILURE = -1, JX_TIMED_OUT = -2 };

enum JX_ThreadKind : int { JX_USER_THREAD = 0, JX_SYSTEM_THREAD = 1 };
enum JX_ThreadPriority : int {
  JX_PRIORITY_LOW = 0,
  JX_PRIORITY_NORMAL = 1,
  JX_PRIORITY_HIGH = 2,
  JX_PRIORITY_URGENT = 3,
};
// Global scope: the thread is scheduled by the operating system. Local scope is
// accepted and is the same here: every thread is a kernel thread.
enum JX_ThreadScope : int { JX_LOCAL_THREAD = 0, JX_GLOBAL_THREAD = 1 };
enum JX_ThreadState : int { JX_JOINABLE_THREAD = 0, JX_UNJOINABLE_THREAD = 1 };

using JX_ThreadRoutine = void (*)(void* argument);

// Starts a thread that runs routine(argument) at once.
// `stack_size` 0 takes the system's default; a non-zero size below the system's
// minimum is raised to it. Kind and priority are accepted and not acted on: all
// threads run at the normal priority of the process.
// Returns the thread's handle, or an empty handle when the arguments are out of
// range or the system refuses a new thread (errno then tells why). For an
// unjoinable thread the result is only a token of success, which
// JX_JoinThread refuses.
[[nodiscard]] JX_Thread JX_CreateThread(
    JX_ThreadKind kind, JX_ThreadRoutine routine, void* argument,
    JX_ThreadPriority priority, JX_ThreadScope scope, JX_ThreadState state,
    std::size_t stack_size);

// Blocks until the thread's routine has returned, then frees the handle, which
// is spent. Not interrupted by signals.
// REQUIRES: `thread` came from JX_CreateThread and is not spent.
// Returns JX_SUCCESS, or JX_FAILURE for an empty handle, an unjoinable
// thread's token, or the calling thread's own handle; the handle is then left
// as it was.
JX_Status JX_JoinThread(JX_Thread thread);

// The calling thread's identity: pointer-sized, fixed for the thread's life and
// never given to another thread of this process, alive or later (a small
// number counted up from 1, so "%p" prints 0x1 for the first thread that
// asks, 0000000000000001 with the Windows build's formatter). Never null. Cheap
// enough to call on every log line. A child created by fork() keeps the forking
// thread's identity.
void* JX_GetCurrentThread();

#endif  // WENDLEMOOR_RUNTIME_THREAD_H_
