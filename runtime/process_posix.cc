// Child processes on POSIX systems: posix_spawn and waitpid.
//
// What POSIX gives: an argument vector handed over as it is, exec failures
// reported by posix_spawn itself, and wait statuses that tell a normal exit
// from a signal's.
#include "runtime/process.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>
#include <new>

#include "runtime/eintr.h"

extern char** environ;

struct JX_ProcessRecord {
  pid_t pid;
};

JX_Process JX_CreateProcess(const char* path, char* const* argv,
                            char* const* envp,
                            const JX_ProcessAttributes* attributes) {
  if (path == nullptr || argv == nullptr || attributes != nullptr) {
    errno = EINVAL;
    return nullptr;
  }
  auto* record = new (std::nothrow) JX_ProcessRecord{-1};
  if (record == nullptr) {
    errno = ENOMEM;
    return nullptr;
  }
  // posix_spawn reports a failed exec as its own result: the child shares the
  // parent's memory until it has exec'd, so a missing or non-executable file
  // shows up here instead of as a child that dies later with status 127.
  posix_spawnattr_t spawn_attributes;
  int error = posix_spawnattr_init(&spawn_attributes);
  if (error == 0) {
    sigset_t none;
    sigemptyset(&none);
    error = posix_spawnattr_setsigmask(&spawn_attributes, &none);
    if (error == 0) {
      error =
          posix_spawnattr_setflags(&spawn_attributes, POSIX_SPAWN_SETSIGMASK);
    }
    if (error == 0) {
      error = posix_spawn(&record->pid, path, nullptr, &spawn_attributes, argv,
                          envp != nullptr ? envp : environ);
    }
    posix_spawnattr_destroy(&spawn_attributes);
  }
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
  const pid_t pid = process->pid;
  delete process;
  if (RetryOnEintr([&] { return waitpid(pid, &status, 0); }) != pid) {
    return JX_FAILURE;
  }
  if (exit_code != nullptr) {
    if (WIFEXITED(status)) {
      *exit_code = WEXITSTATUS(status);
    } else {
      *exit_code = -WTERMSIG(status);
    }
  }
  return JX_SUCCESS;
}

pid_t JX_GetProcessId(JX_Process process) {
  return process != nullptr ? process->pid : -1;
}
