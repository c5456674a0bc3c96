// Child processes: launching, waiting (for good, up to a deadline, for the
// first of several, or until a deadline that kills), ending them, and reading
// a wait status.
//
// All functions may be called from any thread. A handle from JX_CreateProcess
// or JX_AdoptProcess is owned by the caller until a wait spends it (one that
// saw the end or failed; JX_WaitProcessOrKill always) or JX_DetachProcess
// does; a handle that is never spent leaks its small record and leaves a
// zombie until this process ends.
//
// POSIX only: a standard stream left closed (a child on Windows always gets
// three standard handles), signal dispositions, and a child made by fork().
// Windows has no process groups: a job object of the child's own plays their
// part.
//
// Pitfall of a child that dies with its parent (die_with_parent,
// JX_DieWithParent) on Linux: the kernel sends the death signal when the
// *thread* that started the child ends, not when its process does (prctl(2):
// "the parent thread"). Start such a child from a thread that lives as long
// as the child should, the main thread or one that outlives it: a child
// started from a thread that then returns is killed at that moment.
#ifndef WENDLEMOOR_RUNTIME_PROCESS_H_
#define WENDLEMOOR_RUNTIME_PROCESS_H_

#include <sys/types.h>

#include <cstddef>
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
  // A file that the child's standard output and standard error both go to,
  // made afresh: created when missing (mode 0644 less our umask, a log that
  // others may read, as a shell's redirection makes one), emptied when there.
  // We open it before the child starts, so a relative path is taken from our
  // folder, not the child's; we keep no descriptor of it. With a file,
  // standard_output and standard_error must be JX_kInheritStream.
  const char* output_file = nullptr;
  // The child's working folder, ours when null. A relative `path` is taken
  // from it.
  const char* working_folder = nullptr;
  // The child leads a process group of its own (its ID is the child's), so
  // that a terminal's Ctrl-C does not reach it and JX_KillProcess ends
  // everything it starts that stays in the group. On Windows: a job object
  // of its own, which everything it starts joins.
  bool new_process_group = false;
  // The child is killed when this process ends, however it ends (SIGKILL
  // included), so that it never outlives us. Linux: a death signal
  // (SIGKILL) that the child asks for before it runs the executable, which
  // keeps it (but see the pitfall above: it follows the starting thread); a
  // child whose parent ended before it could ask ends at once, without
  // running the executable. Windows: a job object that ends the child when
  // its last handle, ours, closes; the child alone is in it unless
  // new_process_group puts everything it starts there too, and then all of
  // it ends with us, and when the handle is spent. What the child starts is
  // not covered on Linux: give it the option in turn.
  bool die_with_parent = false;
  // POSIX: SIGPIPE is at its default action in the child even when we ignore
  // it, as a process that writes to pipes does to see EPIPE instead of dying.
  // Otherwise an ignored signal stays ignored through exec, and a shell
  // cannot put it back for what it runs. A signal we handle is always at its
  // default action in the child.
  bool default_sigpipe = false;
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
// started (missing, not executable, not a valid executable, a working folder,
// a descriptor or an output file's folder that is not there, out of
// processes) returns an empty handle with errno set to the cause; no child is
// left behind. Arguments out of range (a null path or vector, a stream value
// below JX_kCloseStream, an output file beside a standard output or error of
// its own, an option this platform lacks) give EINVAL.
// POSIX: blocks until the child has run the executable or failed to. A fork
// without exec by another of our threads meanwhile (that child holds our
// copy of the pipe that tells) makes it wait until that child execs or ends.
// A child found stopped before it reached the executable is continued (a
// stop and a continue of our process group during the fork can leave it
// so), within 100 ms.
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
// early. On Linux the wait sleeps on a process descriptor (pidfd_open(2)) and
// sees the end at once. Where the kernel gives none (before Linux 5.3, a
// sandbox that refuses it, no descriptor left) the process is looked at every
// few milliseconds (1 ms, growing to 10 ms), so an end is seen up to that
// much late.
JX_Status JX_WaitProcessFor(JX_Process process, std::uint32_t timeout_ms,
                            int* exit_code);

// JX_WaitProcessFor, then the kill at its deadline: a process still running
// after `timeout_ms` milliseconds is ended as JX_KillProcess ends it (with
// the group or job it was started with) and reaped. The handle is spent
// whatever the result. Signals do not end the wait early.
// Returns JX_SUCCESS when the process ended in time; JX_TIMED_OUT when it was
// killed at the deadline; both with `*exit_code` (when not null) set to what
// reaping it gave (-9 after the kill, 9 on Windows; its own code when it ended
// between the deadline and the kill). JX_FAILURE as JX_WaitProcess does, with
// `*exit_code` untouched.
JX_Status JX_WaitProcessOrKill(JX_Process process, std::uint32_t timeout_ms,
                               int* exit_code);

// The most processes that one JX_WaitAnyProcessFor waits for (on Windows,
// what one wait on many handles takes).
inline constexpr std::size_t JX_kMaxWaitProcesses = 64;

// Waits at most `timeout_ms` milliseconds (0: look once) for the first of the
// `count` processes `processes` to end, and reaps that one. Signals do not end
// the wait early. It sleeps until one ends and sees it at once, on Linux as
// JX_WaitProcessFor does (looking every few milliseconds where the kernel
// gives no process descriptors).
// Returns JX_SUCCESS once one has ended (the one first in `processes` when
// several have): `*index` is its place, `*exit_code` (when not null) its
// exit code, and its handle is spent; the others are left as they were.
// JX_TIMED_OUT when none has ended by the deadline: every handle is left as
// it was and `*index` untouched. JX_FAILURE with errno set: EINVAL for a
// null `processes` or `index`, a `count` of 0 or above JX_kMaxWaitProcesses,
// or an empty handle among them (nothing spent, `*index` untouched; on
// Windows also a wait the system refuses); ECHILD when one of them cannot be
// waited for (someone else reaped it): `*index` names it and its handle is
// spent.
// REQUIRES: no handle is given twice.
JX_Status JX_WaitAnyProcessFor(const JX_Process* processes, std::size_t count,
                               std::uint32_t timeout_ms, std::size_t* index,
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
// POSIX). On Windows the process runs on, and nobody waits for it; one
// started with die_with_parent keeps its job's handle open in this process
// (one handle each), so that it still ends with us.
pid_t JX_DetachProcess(JX_Process process);

// The process ID behind a handle that has not been spent, or -1 when empty.
pid_t JX_GetProcessId(JX_Process process);

// The exit code a raw status reports, as every wait here gives it: on POSIX a
// waitpid status becomes 0..255 for a normal exit and minus the signal number
// for a process a signal killed (a stopped or continued status is no end:
// REQUIRES that it is an ended process's); on Windows a GetExitCodeProcess
// code becomes its low 8 bits (exit(-1) gives 255, as on POSIX).
int JX_ExitCodeFromStatus(int status);

// For a child made by fork() without exec (POSIX): `parent` is the process ID
// its parent had before the fork (getpid() there). Asks that this process be
// killed (SIGKILL) when its parent ends, as die_with_parent does, and so with
// the same pitfall: on Linux the forking thread's end is what counts.
// Async-signal-safe: a child of a parent with many threads may call it.
// Returns JX_SUCCESS; JX_FAILURE with errno ESRCH when the parent has already
// ended (this process has another parent now, which nothing ties it to: it
// should end), or ENOSYS where the system has no such request (Windows, which
// has no fork).
[[nodiscard]] JX_Status JX_DieWithParent(pid_t parent);

// Sends this process's own standard output and standard error to the file at
// `path`, made afresh as output_file makes one (what the C library's streams
// hold is written out first, where it was going). Children started later
// inherit the file as their standard streams.
// Returns JX_SUCCESS, or JX_FAILURE with errno set: EINVAL for a null path,
// otherwise the cause from opening the file (the streams are as they were)
// or from moving standard error (standard output already goes to the file).
[[nodiscard]] JX_Status JX_RedirectOutputToFile(const char* path);

#endif  // WENDLEMOOR_RUNTIME_PROCESS_H_
