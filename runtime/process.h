// Child processes: launching and waiting.
//
// All functions may be called from any thread. A handle from JX_CreateProcess
// is owned by the caller until JX_WaitProcess spends it; a handle that is never
// waited for leaks its small record and leaves a zombie until this process
// ends.
#ifndef WENDLEMOOR_RUNTIME_PROCESS_H_
#define WENDLEMOOR_RUNTIME_PROCESS_H_

#include <sys/types.h>

#include "runtime/thread.h"  // JX_Status

struct JX_ProcessRecord;
using JX_Process =
    JX_ProcessRecord*;  // empty (nullptr) when no process stands behind it

// Reserved for launch options; callers pass null.
struct JX_ProcessAttributes;

// Starts the executable at `path` with the null-terminated argument vector
// `argv` and the null-terminated environment `envp` (the caller's own
// environment when null). The child inherits standard input, output and error
// and nothing else of ours: every descriptor this runtime and the lock service
// open is close-on-exec (on Windows: every handle is created not inheritable).
// The child starts with no signal blocked. On Windows a path whose last part
// has no '.' names that file with ".exe" added ("./Wendlemoor" starts
// Wendlemoor.exe), and `argv` is joined into a command line that the child's
// C library splits back into the same vector.
// Returns the child's handle once the executable is running. When it cannot be
// started (missing, not executable, not a valid executable, out of processes)
// returns an empty handle with errno set to the cause; no child is left behind.
// REQUIRES: `attributes` is null.
[[nodiscard]] JX_Process JX_CreateProcess(
    const char* path, char* const* argv, char* const* envp,
    const JX_ProcessAttributes* attributes);

// Blocks until the process has ended, reaps it and writes its exit code to
// `*exit_code` (when not null): 0..255 for a normal exit, or minus the signal
// number (-9 for SIGKILL) for a process killed by a signal, a value no normal
// exit can produce. On Windows, which has no signals, it is the low 8 bits of
// the process's exit code (exit(-1) gives 255, as on POSIX; TerminateProcess
// gives the code it was passed). Signals delivered to the caller meanwhile do
// not end the wait. The handle is spent whatever the result.
// Returns JX_SUCCESS, or JX_FAILURE for an empty handle or a process that
// cannot be waited for; `*exit_code` is then left untouched.
JX_Status JX_WaitProcess(JX_Process process, int* exit_code);

// The process ID behind a handle that has not been spent, or -1 when empty.
pid_t JX_GetProcessId(JX_Process process);

#endif  // WENDLEMOOR_RUNTIME_PROCESS_H_
