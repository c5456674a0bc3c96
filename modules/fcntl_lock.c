/* fcntl: classic record locks (fcntl F_SETLKW, or F_SETLK when the caller
 * must not block) on the whole file, through one descriptor per name kept
 * open by the service and shared by its threads.
 *
 * Each name is the file "<folder>/<hex of the name>", opened (created when
 * missing, the folder too) at the name's first use and kept until the
 * service goes. Processes exclude each other through the kernel, which frees
 * the lock when its holder dies, and the child of a fork holds none of its
 * parent's locks.
 *
 * The plain row measures the record lock alone. It belongs to the process,
 * so every thread of a holding process is granted the name at once; a holder
 * asking again is granted (a process never conflicts with itself), and one
 * unlock then ends both grants, and any other thread's; a release of what
 * the caller does not hold unlocks whatever the process holds and answers
 * WENDLEMOOR_OK; so does a forked child's release, which frees nothing of
 * its parent's. The +turns row adds a table of holders by process and
 * thread: the threads of a process take turns before one of them takes the
 * record lock, and the table answers the misuse codes and the forked
 * child's release.
 *
 * What it does not claim: a thread that ends holding leaves the name taken
 * until the process ends; a file removed at any time leaves this service
 * locking a file that is no longer the name's: two holders from then on.
 * Two services in one process are the mechanism's known trap: the second
 * one's lock on a name the first holds is granted at once (a process never
 * conflicts with itself), and its unlock, or the close of any descriptor of
 * the file, drops the lock that the first one's holder still counts on.
 *
 * The kernel's deadlock check sees processes, not threads: while one thread
 * holds a name and another thread of the same process waits for a second
 * name, a process waiting the other way round is told EDEADLK though no
 * thread waits for itself. The wait then goes on after a short pause. */
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <time.h>
#include <unistd.h>

#include "modules/module_common.h"

/* The pause before waiting again after a false EDEADLK. */
static void PauseAfterFalseDeadlock(void) {
  const struct timespec pause = {0, 1000000};
  nanosleep(&pause, NULL); /* a signal may shorten it: the wait goes on */
}

static wendlemoor_result Prepare(wm_service* s, wm_entry* e) {
  char path[PATH_MAX];
  wm_lock_file_path(s, e->name, "", path);
  const int fd = wm_open_in_folder(s, path, O_RDWR | O_CREAT);
  if (fd == -1) return wm_code_from_errno(errno);
  e->object = fd;
  return WENDLEMOOR_OK;
}

static int SetLock(int fd, short type, int command) {
  struct flock lock = {0};
  lock.l_type = type;
  lock.l_whence = SEEK_SET; /* start 0, length 0: the whole file */
  int rc;
  WM_RETRY(rc, fcntl(fd, command, &lock));
  return rc;
}

static wendlemoor_result Take(wm_service* s, wm_entry* e, int wait,
                              intptr_t* token) {
  (void)s;
  (void)token;
  for (;;) {
    if (SetLock((int)e->object, F_WRLCK, wait ? F_SETLKW : F_SETLK) == 0) {
      return WENDLEMOOR_OK;
    }
    if (errno != EDEADLK) break;
    PauseAfterFalseDeadlock();
  }
  return errno == EAGAIN || errno == EACCES ? WENDLEMOOR_ERROR_LOCK_BUSY
                                            : wm_code_from_errno(errno);
}

static wendlemoor_result Give(wm_service* s, wm_entry* e, intptr_t token) {
  (void)s;
  (void)token;
  if (SetLock((int)e->object, F_UNLCK, F_SETLK) != 0) {
    return wm_code_from_errno(errno);
  }
  return WENDLEMOOR_OK;
}

static void Drop(wm_entry* e) {
  if (e->object != WM_NONE) close((int)e->object); /* never retried */
}

static const wm_mechanism kMechanism = {1, 0, Prepare, Take, Give, Drop};

WM_DEFINE_MODULE("fcntl", kMechanism, NULL)
