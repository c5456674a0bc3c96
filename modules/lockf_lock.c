/* lockf: lockf(F_LOCK, or F_TLOCK when the caller must not block) on one
 * descriptor per name kept open by the service and shared by its threads.
 *
 * Each name is the file "<folder>/<hex of the name>", opened (created when
 * missing, the folder too) at the name's first use and kept until the
 * service goes; the descriptor stays at offset 0, so each lock covers the
 * whole file. On Linux lockf is the classic record lock under another name,
 * so this module shares the fcntl module's behaviour: processes exclude each
 * other through the kernel, which frees the lock when its holder dies; the
 * child of a fork holds none of its parent's locks.
 *
 * The plain row measures lockf alone: the threads of a holding process are
 * all granted the name, a holder asking again is granted and one F_ULOCK
 * ends both grants, and a release of what the caller does not hold (a
 * forked child's included) answers WENDLEMOOR_OK. The +turns row adds the
 * table: threads take turns in their process, and the table answers the
 * misuse codes and the forked child's release.
 *
 * What it does not claim: a thread that ends holding leaves the name taken
 * until the process ends; a file removed at any time leaves this service
 * locking a file that is no longer the name's; two services in one process
 * grant each other the name, and one's unlock drops the other's lock.
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

static wendlemoor_result Take(wm_service* s, wm_entry* e, int wait,
                              intptr_t* token) {
  (void)s;
  (void)token;
  int rc;
  for (;;) {
    WM_RETRY(rc, lockf((int)e->object, wait ? F_LOCK : F_TLOCK, 0));
    if (rc == 0) return WENDLEMOOR_OK;
    if (errno != EDEADLK) break;
    PauseAfterFalseDeadlock();
  }
  return errno == EAGAIN || errno == EACCES ? WENDLEMOOR_ERROR_LOCK_BUSY
                                            : wm_code_from_errno(errno);
}

static wendlemoor_result Give(wm_service* s, wm_entry* e, intptr_t token) {
  (void)s;
  (void)token;
  if (lockf((int)e->object, F_ULOCK, 0) != 0) return wm_code_from_errno(errno);
  return WENDLEMOOR_OK;
}

static void Drop(wm_entry* e) {
  if (e->object != WM_NONE) close((int)e->object); /* never retried */
}

static const wm_mechanism kMechanism = {1, 0, Prepare, Take, Give, Drop};

WM_DEFINE_MODULE("lockf", kMechanism, NULL)
