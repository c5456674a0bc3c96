/* flock-shared: a BSD lock (flock LOCK_EX) on one descriptor per name, kept
 * open by the service and shared by its threads: the common shortcut of
 * opening each lock file once.
 *
 * Each name is the file "<folder>/<hex of the name>", opened (created when
 * missing, the folder too) at the name's first use and kept until the
 * service goes. Processes exclude each other through the kernel, which
 * frees the lock when its holder dies.
 *
 * The plain row measures the shared description alone. The threads of a
 * process share it, and a description never conflicts with itself: every
 * thread of a holding process is granted the name, a holder asking again is
 * granted, and one LOCK_UN ends every grant. The child of a fork shares the
 * held description too: its release (LOCK_UN) frees its parent's lock, and
 * its acquisition is then granted beside its parent. The +turns row adds the
 * table: the threads take turns before one of them takes the BSD lock, the
 * table answers the misuse codes, and the child finds the name busy only
 * because it inherited the table that says a thread holds it.
 *
 * What it does not claim: a thread that ends holding leaves the name taken
 * in every other process (with +turns, in its own too) until the process
 * ends; a file removed at any time, held or not, leaves this service locking a
 * file that is no longer the name's, while a process that opens the name afresh
 * locks the new one: two holders from then on. Two services in one process open
 * two descriptions, which exclude each other as processes do. */
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/file.h>
#include <unistd.h>

#include "modules/module_common.h"

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
  WM_RETRY(rc, flock((int)e->object, LOCK_EX | (wait ? 0 : LOCK_NB)));
  if (rc == 0) return WENDLEMOOR_OK;
  return errno == EWOULDBLOCK ? WENDLEMOOR_ERROR_LOCK_BUSY
                              : wm_code_from_errno(errno);
}

static wendlemoor_result Give(wm_service* s, wm_entry* e, intptr_t token) {
  (void)s;
  (void)token;
  if (flock((int)e->object, LOCK_UN) != 0) return wm_code_from_errno(errno);
  return WENDLEMOOR_OK;
}

static void Drop(wm_entry* e) {
  if (e->object != WM_NONE) close((int)e->object); /* never retried */
}

static const wm_mechanism kMechanism = {1, 0, Prepare, Take, Give, Drop};

WM_DEFINE_MODULE("flock-shared", kMechanism, NULL)
