// Child processes, Linux's part: a process descriptor to wait on, and a
// child's death signal.
//
// A process descriptor (pidfd_open(2), Linux 5.3) becomes readable when its
// process ends, so that a wait for one child or for the first of many sleeps
// in poll(2) and wakes at once, where POSIX only offers looking again and
// again. A death signal (prctl(2) PR_SET_PDEATHSIG) is set by the child
// itself and kept through exec; the kernel sends it when the thread that
// forked the child ends. It is never sent for a parent that ended before it
// was set, which the child then learns from getppid().
#include "runtime/process_linux.h"

#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>

#include "runtime/process.h"

int OpenEndDescriptor(pid_t pid) {
  // No C library wrapper before glibc 2.36; the descriptor is always
  // close-on-exec.
  return static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
}

JX_Status JX_DieWithParent(pid_t parent) {
  if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0) return JX_FAILURE;
  // A parent that ended before the request has handed this process to
  // another (init or a subreaper), whose end the signal would follow.
  if (getppid() != parent) {
    errno = ESRCH;
    return JX_FAILURE;
  }
  return JX_SUCCESS;
}
