// The child test run: what a process started with "-child" does.
//
// Both functions run on the child's main thread, one run at a time.
#ifndef WENDLEMOOR_LOCKTEST_CHILD_RUN_H_
#define WENDLEMOOR_LOCKTEST_CHILD_RUN_H_

#include "components/result_code.h"

// The five lock names every child uses, in order, followed by a null entry.
extern const char* const kLockNames[6];

// Obtains the event-queue service, prepares and obtains the calling thread's
// event queue, obtains the lock service, runs one TestThread per name of
// kLockNames, joins every worker that started and logs
// "joined with all threads; exiting DoTest".
// Returns kOk after a full run, or the failing code of the set-up step that
// ended it; no worker starts unless every set-up step succeeded. A worker that
// cannot be started is logged as "failed to start TestThread [lock=NAME]" and
// the others run. The three references it takes are released in reverse order
// of taking, however it ends.
// REQUIRES: the component system is started.
wendlemoor::ResultCode DoTest();

// The child branch: pauses 1000 ms, logs "running child test", starts the
// component system, runs DoTest and shuts the component system down. Returns
// the exit status, always 0.
int RunChildTest();

#endif  // WENDLEMOOR_LOCKTEST_CHILD_RUN_H_
