// Child processes: launching, waiting (for good or up to a deadline), ending
// them, and reading a wait status.
//
// All functions may be called from any thread. A handle from JX_CreateProcess
// or JX_AdoptProcess is owned by the caller until JX_WaitProcess, a
// JX_WaitProcessFor that saw the end, or JX_DetachProcess spends it; a handle
// that is never spent leaks its small record and leaves a zombie until this
// process ends.
//
// POSIX only: a standard stream left closed (a child on Windows always gets
// three standard handles). Windows has no process groups: a job object of the
// child's own plays their part.
#ifndef WENDLEMOOR_RUNTIME_PROCESS_H_
#define WENDLEMOOR_RUNTIME_PROCESS_H_

#include <sys/types.h>

#include <cstdint>

#include "runtime/thread.h"  // JX_Status

struct JX_ProcessRecord;
using JX_Process =
    JX_ProcessRecord*;  // empty (nullptr) when no process stands behind it

// What a standard stream of the child is connected to: one of these, or a
// descriptor of ours (a pipe end or an open file; on Windows a C library
// descriptor, whose handle the child gets a copy of). The descriptor stays
// the caller's, open in the caller, and only the child's copy is made
// inheritable.
inline constexpr int JX_kInheritStream = -1;  // ours, as it is
inline constexpr int JX_kCloseStream = -2;    // closed in the child (POSIX)

// Launch options; a default-constructed value launches as a null pointer does.
struct JX_ProcessAttributes {
  int standard_input = JX_kInheritStream;
  int standard_output = JX_kInheritStream;
  int standard_error = JX_kInheritStream;
  // The child's working folder, ours when null. A relative `path` is taken
  // from it.
  const char* working_folder = nullptr;
  // The child leads a process group of its own (its ID is the child's), so
  // that a terminal's Ctrl-C does not reach it and JX_KillProcess ends
  // everything it starts that stays in the group. On Windows: a job object
  // of its own, which everything it starts joins.
  bool new_process_group = false;
};

// Starts the executable at `path` with the null-terminated argument vector
// `argv` and the null-terminated environment `envp` (the caller's own
// environment when null). The child's standard streams are as `attributes`
// say (inherited when it is null), and it inherits nothing else of ours:
// every descriptor this runtime and the lock service open is close-on-exec
// (on Windows: every handle is created not inheritable). The child starts with
// no signal blocked. On Windows a path whose last part has no '.' names that
// file with ".exe" added ("./Wendlemoor" starts Wendlemoor.exe), and `argv`
// is joined into a command line that the child's C library splits back into
// the same vector.
// Returns the child's handle once the executable is running. When it cannot be
// started (missing, not executable, not a valid executable, a working folder
// or a descriptor that is not there, out of processes) returns an empty handle
// with errno set to the cause; no child is left behind. Arguments out of range
// (a null path or vector, a stream value below JX_kCloseStream, an option
// this platform lacks) give EINVAL.
[[nodiscard]] JX_Process JX_CreateProcess(
    const char* path, char* const* argv, char* const* envp,
    const JX_ProcessAttributes* attributes);

// Blocks until the process has ended, reaps it and writes its exit code to
// `*exit_code` (when not null), as JX_ExitCodeFromStatus gives it: 0..255 for
// a normal exit, or minus the signal number (-9 for SIGKILL) for a process
// killed by a signal, a value no normal exit can produce. Signals delivered to
// the caller meanwhile do not end the wait. The handle is spent whatever the
// result.
// Returns JX_SUCCESS, or JX_FAILURE with errno set for an empty handle
// (EINVAL) or a process that cannot be waited for (ECHILD: someone else
// reaped it); `*exit_code` is then left untouched.
JX_Status JX_WaitProcess(JX_Process process, int* exit_code);

// JX_WaitProcess for at most `timeout_ms` milliseconds (0: look once and do
// not block). Returns JX_SUCCESS with `*exit_code` set and the handle spent
// once the process has ended; JX_TIMED_OUT when it still runs at the deadline,
// with the handle left as it was, to wait again or to kill; JX_FAILURE as
// JX_WaitProcess does, the handle then spent. Signals do not end the wait
// early. On POSIX the process is looked at every few milliseconds (1 ms,
// growing to 10 ms), so an end is seen up to that much late.
JX_Status JX_WaitProcessFor(JX_Process process, std::uint32_t timeout_ms,
                            int* exit_code);

// Ends the process at once, as SIGKILL does (on Windows: TerminateProcess
// with exit code 9), and with it every process left in the group or job it
// was started with (new_process_group). The handle stays the caller's, to be
// waited for. Returns JX_SUCCESS, or JX_FAILURE with errno set for an empty
// handle (EINVAL) or a process that has already been reaped.
JX_Status JX_KillProcess(JX_Process process);

// A handle for child `pid` that this process started by other means (fork()
// without exec on POSIX; on Windows, any process this user may wait for and
// end, opened by its ID), to wait for and kill as above. Returns an empty
// handle with errno set (ENOMEM; on Windows the cause of a failed open).
[[nodiscard]] JX_Process JX_AdoptProcess(pid_t pid);

// Spends the handle without waiting and returns the process ID (-1 for an
// empty handle), for a caller that reaps its children itself (waitpid(-1) on
// POSIX). On Windows the process runs on, and nobody waits for it.
pid_t JX_DetachProcess(JX_Process process);

// The process ID behind a handle that has not been spent, or -1 when empty.
pid_t JX_GetProcessId(JX_Process process);

// The exit code a raw status reports, as every wait here gives it: on POSIX a
// waitpid status becomes 0..255 for a normal exit and minus the signal number
// for a process a signal killed (a stopped or continued status is no end:
// REQUIRES that it is an ended process's); on Windows a GetExitCodeProcess
// code becomes its low 8 bits (exit(-1) gives 255, as on POSIX).
int JX_ExitCodeFromStatus(int status);

#endif  // WENDLEMOOR_RUNTIME_PROCESS_H_
