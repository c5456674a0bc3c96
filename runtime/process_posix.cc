// Child processes on POSIX systems: fork, exec and waitpid.
//
// What POSIX gives: an argument vector handed over as it is, process groups,
// descriptors and a folder that the child sets before it runs the
// executable, and wait statuses that tell a normal exit from a signal's.
// posix_spawn would start a child for less, but runs nothing of ours in it,
// and a death signal (die_with_parent) must be asked for by the child itself.
// So every launch forks, and the child sets itself up with async-signal-safe
// calls alone: another thread of ours may hold a lock (the allocator's, say)
// that the child's copy of memory keeps locked for good. Every signal is
// blocked across the fork, so that none of our handlers runs in the child
// before it has put them back to the default. A failed exec is reported
// through a close-on-exec pipe: a child that reaches exec closes it unread,
// one that fails writes its errno there, and the parent reads until one of
// the two, so the launch's result is the exec's. A child can be born
// stopped, before it runs anything: when a stop and the continue after it
// (as Ctrl-Z then fg send) reach the parent's process group while it
// forks, the kernel hands the fork's child the stop, and the continue only
// if this process catches or blocks SIGCONT, which few programs do. The parent,
// waiting on the pipe, looks for that every so often and continues the
// child; a stop of the group that is still under way then ends for the
// child a moment before it ends for the rest.
//
// What POSIX lacks: a wait for a child with a deadline, or for the first of
// several. On Linux a process descriptor of each (runtime/process_linux.h)
// lets poll(2) sleep until one ends; without one, each is looked at with
// WNOHANG, with a growing sleep between looks.
#include "runtime/process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <new>

#include "runtime/eintr.h"
#include "runtime/interval.h"
#include "runtime/process_linux.h"

extern char** environ;

struct JX_ProcessRecord {
  pid_t pid;
  bool leads_group;  // started with new_process_group
};

namespace {

// All the child needs, made before the fork: it only reads it.
struct Launch {
  const char* path;
  char* const* argv;
  char* const* envp;
  int streams[3];  // what descriptors 0, 1 and 2 become
  const char* working_folder;
  bool new_process_group;
  bool die_with_parent;
  bool default_sigpipe;
  pid_t parent;  // getpid() before the fork
  int report;    // the pipe's write end
};

// Opens `path` as an output file is made: afresh, close-on-exec.
int OpenOutputFile(const char* path) {
  return RetryOnEintr([&] {
    return open(path, O_WRONLY | O_CREAT | O_TRUNC | O_NOCTTY | O_CLOEXEC,
                0644);
  });
}

// `fd` moved above the standard descriptors (still close-on-exec), so that
// setting the child's 0, 1 and 2 cannot overwrite it. Returns -1 with errno
// set, `fd` closed, when it cannot be moved.
int AboveStandard(int fd) {
  if (fd == -1 || fd > STDERR_FILENO) return fd;
  const int moved = fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
  const int error = errno;
  close(fd);  // never retried (runtime/eintr.h)
  errno = error;
  return moved;
}

// The child's side, between fork and exec. Every signal is blocked on entry.
[[noreturn]] void RunChild(const Launch& launch) {
  int error = 0;
  // First: the later the request, the longer a parent's end goes unseen.
  if (launch.die_with_parent && JX_DieWithParent(launch.parent) != JX_SUCCESS) {
    error = errno;
  }
  if (error == 0 && launch.new_process_group && setpgid(0, 0) != 0) {
    error = errno;
  }
  // The folder before the streams' files are the child's, as the path is.
  if (error == 0 && launch.working_folder != nullptr &&
      chdir(launch.working_folder) != 0) {
    error = errno;
  }
  for (int target = 0; error == 0 && target <= STDERR_FILENO; ++target) {
    const int stream = launch.streams[target];
    if (stream == JX_kCloseStream) {
      close(target);  // one already closed is closed as asked
    } else if (stream == target) {
      // dup2 onto itself would leave it close-on-exec.
      if (fcntl(target, F_SETFD, 0) != 0) error = errno;
    } else if (stream != JX_kInheritStream && dup2(stream, target) == -1) {
      error = errno;
    }
  }
  // Our handlers are not the executable's. Exec would put them back to the
  // default, but one that ran before it would run in this copy of us.
  for (int signal = 1; error == 0 && signal < NSIG; ++signal) {
    struct sigaction current;
    // The C library's own signals refuse (EINVAL); they are its business.
    if (sigaction(signal, nullptr, &current) != 0) continue;
    const bool ignored =
        (current.sa_flags & SA_SIGINFO) == 0 && current.sa_handler == SIG_IGN;
    const bool by_default =
        (current.sa_flags & SA_SIGINFO) == 0 && current.sa_handler == SIG_DFL;
    if (by_default ||
        (ignored && !(launch.default_sigpipe && signal == SIGPIPE))) {
      continue;
    }
    struct sigaction fresh = {};
    fresh.sa_handler = SIG_DFL;
    sigemptyset(&fresh.sa_mask);
    (void)sigaction(signal, &fresh, nullptr);
  }
  if (error == 0) {
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    execve(launch.path, launch.argv,
           launch.envp != nullptr ? launch.envp : environ);
    error = errno;
  }
  // Every signal is blocked here, SIGPIPE too: a parent gone makes this
  // write fail, not kill.
  (void)RetryOnEintr(
      [&] { return write(launch.report, &error, sizeof error); });
  _exit(127);
}

// How often a launch looks whether its child was born stopped.
constexpr int kStoppedLookMs = 100;

// Forks the child of `launch` and waits until it has run the executable or
// failed to. Returns its process ID, or -1 with errno set to the cause
// (no child is left).
pid_t Start(Launch* launch) {
  int report[2];
  if (pipe2(report, O_CLOEXEC) != 0) return -1;
  launch->report = AboveStandard(report[1]);
  if (launch->report == -1) {
    const int error = errno;
    close(report[0]);
    errno = error;
    return -1;
  }
  launch->parent = getpid();
  sigset_t all, old;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &old);
  const pid_t pid = fork();
  if (pid == 0) RunChild(*launch);
  int error = errno;
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  close(launch->report);
  if (pid != -1) {
    // End of file: the exec closed the last write end. An errno: the child
    // failed and exits, and is reaped here.
    pollfd ready = {report[0], POLLIN, 0};
    while (RetryOnEintr([&] { return poll(&ready, 1, kStoppedLookMs); }) == 0) {
      siginfo_t info{};
      if (waitid(P_PID, id_t(pid), &info, WSTOPPED | WNOHANG) == 0 &&
          info.si_pid == pid) {
        (void)kill(pid, SIGCONT);
      }
    }
    int child_error = 0;
    const ssize_t got = RetryOnEintr(
        [&] { return read(report[0], &child_error, sizeof child_error); });
    error = got == ssize_t(sizeof child_error) ? child_error : 0;
    if (error != 0) {
      int status = 0;
      (void)RetryOnEintr([&] { return waitpid(pid, &status, 0); });
    }
  }
  close(report[0]);
  errno = error;
  return error != 0 ? -1 : pid;
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

// Process descriptors for a wait, closed with it; none where the kernel
// gives none for one of the processes.
class EndDescriptors {
 public:
  EndDescriptors(const JX_Process* processes, std::size_t count) {
    for (; count_ < count; ++count_) {
      fds_[count_] = {OpenEndDescriptor(processes[count_]->pid), POLLIN, 0};
      if (fds_[count_].fd == -1) {
        Close();
        return;
      }
    }
  }
  ~EndDescriptors() { Close(); }
  EndDescriptors(const EndDescriptors&) = delete;
  EndDescriptors& operator=(const EndDescriptors&) = delete;

  bool open() const { return count_ > 0; }

  // Sleeps until one of the processes has ended (returns true) or `deadline`
  // (monotonic nanoseconds) has passed. Signals do not end the sleep. When
  // poll fails for another cause, the descriptors are closed.
  bool Await(std::uint64_t deadline) {
    const int ready = RetryOnEintr([&] {
      const std::uint64_t now = JX_MonotonicNanos();
      // Rounded up: never back before the deadline.
      const std::uint64_t left =
          now >= deadline ? 0 : (deadline - now + 999999) / 1000000;
      return poll(fds_, nfds_t(count_),
                  int(std::min<std::uint64_t>(left, INT_MAX)));
    });
    if (ready == -1) Close();
    return ready > 0;
  }

 private:
  void Close() {
    for (std::size_t i = 0; i < count_; ++i) close(fds_[i].fd);
    count_ = 0;
  }

  std::size_t count_ = 0;  // open descriptors, at the front of fds_
  pollfd fds_[JX_kMaxWaitProcesses];
};

// The wait of JX_WaitProcessFor and JX_WaitAnyProcessFor, on arguments
// already checked.
JX_Status WaitAny(const JX_Process* processes, std::size_t count,
                  std::uint32_t timeout_ms, std::size_t* index,
                  int* exit_code) {
  const std::uint64_t deadline =
      JX_MonotonicNanos() + std::uint64_t(timeout_ms) * 1000000u;
  // Opened before the first look: a process that ends after it wakes the
  // poll. None for a wait that only looks once.
  EndDescriptors ends(processes, timeout_ms > 0 ? count : 0);
  // An end that poll saw and no look found (it should not happen) sends the
  // next round to sleep instead, so that the loop never spins.
  bool woken = false;
  JX_Interval pause = JX_MillisecondsToInterval(1);
  for (;;) {
    for (std::size_t i = 0; i < count; ++i) {
      int status = 0;
      const pid_t waited = RetryOnEintr(
          [&] { return waitpid(processes[i]->pid, &status, WNOHANG); });
      if (waited != 0) {
        *index = i;
        return Spend(processes[i], waited, status, exit_code);
      }
    }
    const std::uint64_t now = JX_MonotonicNanos();
    if (now >= deadline) return JX_TIMED_OUT;
    if (ends.open() && !woken) {
      woken = ends.Await(deadline);
      if (ends.open()) continue;
    }
    woken = false;
    // Never past the deadline by more than the rounding to a microsecond.
    JX_Sleep(std::min<JX_Interval>(pause, (deadline - now + 999) / 1000));
    pause = std::min<JX_Interval>(2 * pause, JX_MillisecondsToInterval(10));
  }
}

}  // namespace

JX_Process JX_CreateProcess(const char* path, char* const* argv,
                            char* const* envp,
                            const JX_ProcessAttributes* attributes) {
  const JX_ProcessAttributes options =
      attributes != nullptr ? *attributes : JX_ProcessAttributes{};
  if (path == nullptr || argv == nullptr ||
      std::min({options.standard_input, options.standard_output,
                options.standard_error}) < JX_kCloseStream ||
      (options.output_file != nullptr &&
       (options.standard_output != JX_kInheritStream ||
        options.standard_error != JX_kInheritStream))) {
    errno = EINVAL;
    return nullptr;
  }
  auto* record =
      new (std::nothrow) JX_ProcessRecord{-1, options.new_process_group};
  if (record == nullptr) {
    errno = ENOMEM;
    return nullptr;
  }
  Launch launch = {
      path,
      argv,
      envp,
      {options.standard_input, options.standard_output, options.standard_error},
      options.working_folder,
      options.new_process_group,
      options.die_with_parent,
      options.default_sigpipe,
      -1,
      -1};
  int output = -1;
  if (options.output_file != nullptr) {
    output = AboveStandard(OpenOutputFile(options.output_file));
    launch.streams[STDOUT_FILENO] = launch.streams[STDERR_FILENO] = output;
  }
  const pid_t pid =
      options.output_file == nullptr || output != -1 ? Start(&launch) : -1;
  const int error = errno;
  if (output != -1) close(output);
  if (pid == -1) {
    delete record;
    errno = error;
    return nullptr;
  }
  record->pid = pid;
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
  std::size_t index = 0;
  return WaitAny(&process, 1, timeout_ms, &index, exit_code);
}

JX_Status JX_WaitAnyProcessFor(const JX_Process* processes, std::size_t count,
                               std::uint32_t timeout_ms, std::size_t* index,
                               int* exit_code) {
  if (processes == nullptr || index == nullptr || count == 0 ||
      count > JX_kMaxWaitProcesses ||
      std::find(processes, processes + count, nullptr) != processes + count) {
    errno = EINVAL;
    return JX_FAILURE;
  }
  return WaitAny(processes, count, timeout_ms, index, exit_code);
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

JX_Status JX_RedirectOutputToFile(const char* path) {
  if (path == nullptr) {
    errno = EINVAL;
    return JX_FAILURE;
  }
  // Above the standard descriptors: dup2 then makes 1 and 2 inheritable,
  // even where one of them was closed and the file landed on it.
  const int fd = AboveStandard(OpenOutputFile(path));
  if (fd == -1) return JX_FAILURE;
  std::fflush(stdout);
  std::fflush(stderr);
  const bool moved =
      dup2(fd, STDOUT_FILENO) != -1 && dup2(fd, STDERR_FILENO) != -1;
  const int error = errno;
  close(fd);
  errno = error;
  return moved ? JX_SUCCESS : JX_FAILURE;
}
