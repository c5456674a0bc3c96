/* flock-each: a BSD lock (flock LOCK_EX) on a descriptor opened for each
 * acquisition and closed at its release.
 *
 * Each name is the file "<folder>/<hex of the name>", created when missing
 * (and the folder with it). Every acquisition opens the file afresh, so
 * every hold has an open file description of its own: threads of one
 * process exclude each other exactly as processes do, and the kernel frees
 * the lock when its holder dies, SIGKILL included. Since nothing is kept
 * open between holds, a file or the folder removed while the name is free
 * costs nothing: the next acquisition opens the file that is there now.
 *
 * What it does not claim: a thread that ends holding leaves its descriptor
 * open and the name taken until the process ends; a fork while holding gives
 * the child a copy of the held description, which keeps the lock alive
 * after the parent lets go until the child closes it or ends; a file
 * removed while held lets the next comer lock a new file beside the holder.
 *
 * The plain row measures the lock alone. A holder asking again opens a
 * second description, which its own lock refuses: busy, or a wait for itself
 * for good. A release by a thread that holds nothing has no descriptor to
 * close (EBADF). The child of a fork closes its copy of its parent's
 * descriptor, which frees nothing (the parent's copy still holds the lock)
 * and answers WENDLEMOOR_OK. The +turns row adds the table that answers the
 * misuse codes and the forked child's release. */
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/file.h>
#include <unistd.h>

#include "modules/module_common.h"

static wendlemoor_result Take(wm_service* s, wm_entry* e, int wait,
                              intptr_t* token) {
  char path[PATH_MAX];
  wm_lock_file_path(s, e->name, "", path);
  const int fd = wm_open_in_folder(s, path, O_RDWR | O_CREAT);
  if (fd == -1) return wm_code_from_errno(errno);
  int rc;
  WM_RETRY(rc, flock(fd, LOCK_EX | (wait ? 0 : LOCK_NB)));
  if (rc != 0) {
    const int error = errno;
    close(fd); /* never retried: the descriptor is gone even on EINTR */
    return error == EWOULDBLOCK ? WENDLEMOOR_ERROR_LOCK_BUSY
                                : wm_code_from_errno(error);
  }
  *token = fd;
  return WENDLEMOOR_OK;
}

/* Closing the only descriptor of the description frees the lock. A caller
 * that holds nothing has no descriptor to close (WM_NONE): EBADF. */
static wendlemoor_result Give(wm_service* s, wm_entry* e, intptr_t token) {
  (void)s;
  (void)e;
  /* never retried: the descriptor is gone even on EINTR */
  if (close((int)token) != 0 && errno != EINTR) {
    return wm_code_from_errno(errno);
  }
  return WENDLEMOOR_OK;
}

static const wm_mechanism kMechanism = {0, 0, NULL, Take, Give, NULL};

WM_DEFINE_MODULE("flock-each", kMechanism, NULL)
