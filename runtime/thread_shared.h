// What the platforms' thread files share (runtime/thread.cc); not for use
// outside runtime/.
#ifndef WENDLEMOOR_RUNTIME_THREAD_SHARED_H_
#define WENDLEMOOR_RUNTIME_THREAD_SHARED_H_

#include "runtime/thread.h"

// True when every argument of JX_CreateThread but the stack size is in range.
bool ThreadArgumentsValid(JX_ThreadKind kind, JX_ThreadRoutine routine,
                          JX_ThreadPriority priority, JX_ThreadScope scope,
                          JX_ThreadState state);

#endif  // WENDLEMOOR_RUNTIME_THREAD_SHARED_H_
