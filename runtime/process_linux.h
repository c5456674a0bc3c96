// What the POSIX process code (runtime/process_posix.cc) takes from Linux
// beyond POSIX, defined in runtime/process_linux.cc; not for use outside
// runtime/. The POSIX build is Linux's: the lock service needs its
// open-file-description locks too.
#ifndef WENDLEMOOR_RUNTIME_PROCESS_LINUX_H_
#define WENDLEMOOR_RUNTIME_PROCESS_LINUX_H_

#include <sys/types.h>

// A descriptor of the process `pid` (close-on-exec) that poll(2) reports
// readable once the process has ended, a zombie not yet reaped included.
// Returns -1 with errno set where there is none: ENOSYS before Linux 5.3,
// EPERM in a sandbox that refuses the call, EMFILE, or ESRCH for a process
// that has been reaped.
int OpenEndDescriptor(pid_t pid);

#endif  // WENDLEMOOR_RUNTIME_PROCESS_LINUX_H_
