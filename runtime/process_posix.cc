// Child processes on POSIX systems: posix_spawn and waitpid.
//
// What POSIX gives: an argument vector handed over as it is, exec failures
// reported by posix_spawn itself, process groups, file actions that set the
// child's descriptors and folder before it runs, and wait statuses that tell
// a normal exit from a signal's. What it lacks: a wait for one child with a
// deadline, so a timed wait looks with WNOHANG and sleeps between looks.
#include "runtime/process.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <new>

#include "runtime/eintr.h"
#include "runtime/interval.h"

extern char** environ;

struct JX_ProcessRecord {
  pid_t pid;
  bool leads_group;  // started with new_process_group
};

namespace {

// Connects the child's descriptor `target` as `stream` says.
int AddStreamAction(posix_spawn_file_actions_t* actions, int stream,
                    int target) {
  if (stream == JX_kInheritStream) return 0;
  if (stream == JX_kCloseStream) {
    return posix_spawn_file_actions_addclose(actions, target);
  }
  // The copy dup2 makes is inheritable, whatever the caller's descriptor is.
  return posix_spawn_file_actions_adddup2(actions, stream, target);
}

// Spawns with the options of `a`; returns posix_spawn's error number.
int SpawnWith(pid_t* pid, const char* path, char* const* argv,
              char* const* envp, const JX_ProcessAttributes& a) {
  posix_spawn_file_actions_t actions;
  int error = posix_spawn_file_actions_init(&actions);
  if (error != 0) return error;
  posix_spawnattr_t spawn_attributes;
  error = posix_spawnattr_init(&spawn_attributes);
  if (error != 0) {
    posix_spawn_file_actions_destroy(&actions);
    return error;
  }
  // The folder first: a relative path and the streams' files are then the
  // child's. Every action's failure is posix_spawn's result.
  if (a.working_folder != nullptr) {
    error = posix_spawn_file_actions_addchdir_np(&actions, a.working_folder);
  }
  if (error == 0) error = AddStreamAction(&actions, a.standard_input, 0);
  if (error == 0) error = AddStreamAction(&actions, a.standard_output, 1);
  if (error == 0) error = AddStreamAction(&actions, a.standard_error, 2);
  sigset_t none;
  sigemptyset(&none);
  short flags = POSIX_SPAWN_SETSIGMASK;
  if (error == 0) error = posix_spawnattr_setsigmask(&spawn_attributes, &none);
  if (error == 0 && a.new_process_group) {
    error = posix_spawnattr_setpgroup(&spawn_attributes, 0);
    flags |= POSIX_SPAWN_SETPGROUP;
  }
  if (error == 0) error = posix_spawnattr_setflags(&spawn_attributes, flags);
  // posix_spawn reports a failed exec as its own result: the child shares the
  // parent's memory until it has exec'd, so a missing or non-executable file
  // shows up here instead of as a child that dies later with status 127.
  if (error == 0) {
    error = posix_spawn(pid, path, &actions, &spawn_attributes, argv,
                        envp != nullptr ? envp : environ);
  }
  posix_spawnattr_destroy(&spawn_attributes);
  posix_spawn_file_actions_destroy(&actions);
  return error;
}

// Spends `process` after a wait that ended: reports a reaped status, or
// keeps the errno of a failed wait.
JX_Status Spend(JX_Process process, pid_t waited, int status, int* exit_code) {
  const int error = errno;
  const bool reaped = waited == process->pid;
  delete process;
  if (!reaped) {
    errno = error;
    return JX_FAILURE;
  }
  if (exit_code != nullptr) *exit_code = JX_ExitCodeFromStatus(status);
  return JX_SUCCESS;
}

}  // namespace

JX_Process JX_CreateProcess(const char* path, char* const* argv,
                            char* const* envp,
                            const JX_ProcessAttributes* attributes) {
  const JX_ProcessAttributes options =
      attributes != nullptr ? *attributes : JX_ProcessAttributes{};
  if (path == nullptr || argv == nullptr ||
      std::min({options.standard_input, options.standard_output,
                options.standard_error}) < JX_kCloseStream) {
    errno = EINVAL;
    return nullptr;
  }
  auto* record =
      new (std::nothrow) JX_ProcessRecord{-1, options.new_process_group};
  if (record == nullptr) {
    errno = ENOMEM;
    return nullptr;
  }
  const int error = SpawnWith(&record->pid, path, argv, envp, options);
  if (error != 0) {
    delete record;
    errno = error;
    return nullptr;
  }
  return record;
}

JX_Status JX_WaitProcess(JX_Process process, int* exit_code) {
  if (process == nullptr) {
    errno = EINVAL;
    return JX_FAILURE;
  }
  int status = 0;
  const pid_t waited =
      RetryOnEintr([&] { return waitpid(process->pid, &status, 0); });
  return Spend(process, waited, status, exit_code);
}

JX_Status JX_WaitProcessFor(JX_Process process, std::uint32_t timeout_ms,
                            int* exit_code) {
  if (process == nullptr) {
    errno = EINVAL;
    return JX_FAILURE;
  }
  const std::uint64_t deadline =
      JX_MonotonicNanos() + std::uint64_t(timeout_ms) * 1000000u;
  JX_Interval pause = JX_MillisecondsToInterval(1);
  for (;;) {
    int status = 0;
    const pid_t waited =
        RetryOnEintr([&] { return waitpid(process->pid, &status, WNOHANG); });
    if (waited != 0) return Spend(process, waited, status, exit_code);
    const std::uint64_t now = JX_MonotonicNanos();
    if (now >= deadline) return JX_TIMED_OUT;
    // Never past the deadline by more than the rounding to a microsecond.
    JX_Sleep(std::min<JX_Interval>(pause, (deadline - now + 999) / 1000));
    pause = std::min<JX_Interval>(2 * pause, JX_MillisecondsToInterval(10));
  }
}

JX_Status JX_KillProcess(JX_Process process) {
  if (process == nullptr) {
    errno = EINVAL;
    return JX_FAILURE;
  }
  // The group may be empty already (ESRCH): only the process itself tells.
  if (process->leads_group) kill(-process->pid, SIGKILL);
  return kill(process->pid, SIGKILL) == 0 ? JX_SUCCESS : JX_FAILURE;
}

JX_Process JX_AdoptProcess(pid_t pid) {
  auto* record = new (std::nothrow) JX_ProcessRecord{pid, false};
  if (record == nullptr) errno = ENOMEM;
  return record;
}

pid_t JX_DetachProcess(JX_Process process) {
  const pid_t pid = JX_GetProcessId(process);
  delete process;
  return pid;
}

pid_t JX_GetProcessId(JX_Process process) {
  return process != nullptr ? process->pid : -1;
}

int JX_ExitCodeFromStatus(int status) {
  return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
}
