/* ofd-unhealed: open-file-description locks (fcntl F_OFD_SETLKW, or
 * F_OFD_SETLK when the caller must not block) on descriptors kept open for
 * reuse, with no check that a kept file is still the name's.
 *
 * Each name is the file "<folder>/<hex of the name>". A thread that
 * acquires takes a kept descriptor of the name, or opens one (creating the
 * file, and the folder, when missing), and locks the whole file through it;
 * the release unlocks and keeps the descriptor for the next acquisition by
 * any thread of the service. The lock belongs to the description, so each
 * holding thread has its own, threads exclude each other as processes do,
 * and the kernel frees the lock when its holder dies.
 *
 * What it does not claim: a thread that ends holding leaves the name taken
 * until the process ends; the child of a fork shares every kept
 * description, so a name it takes through one is taken for its parent too;
 * and, the point of the module, a kept descriptor whose file was removed
 * (or the folder) goes on being locked and unlocked as if it were still the
 * name's, while a process that opens the name afresh locks the new file:
 * two holders, until the service goes.
 *
 * The plain row measures the lock alone. A holder asking again locks through
 * another description, which its own lock refuses: busy, or a wait for
 * itself for good (the kernel looks for no deadlock between descriptions).
 * A release by a thread that holds nothing has no descriptor: EBADF. The
 * child of a fork unlocks its parent's description (its copy of the
 * holder's descriptor), freeing the parent's hold, and may then take the
 * name beside it. The +turns row adds the table that answers the misuse
 * codes and the forked child's release. */
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include "modules/module_common.h"

/* The descriptors of a name that nobody holds (Mutex rules: wm_lock). */
typedef struct Kept {
  int* fds;
  size_t count;
  size_t capacity;
} Kept;

static int SetLock(int fd, short type, int command) {
  struct flock lock = {0};
  lock.l_type = type;
  lock.l_whence = SEEK_SET; /* start 0, length 0: the whole file */
  int rc;
  WM_RETRY(rc, fcntl(fd, command, &lock));
  return rc;
}

/* Keeps `fd` for reuse, or closes it when memory runs out.
 * REQUIRES: the mutex held. */
static void Keep(wm_entry* e, int fd) {
  Kept* kept = e->data;
  if (kept == NULL) kept = e->data = calloc(1, sizeof *kept);
  if (kept != NULL && kept->count == kept->capacity) {
    const size_t capacity = kept->capacity == 0 ? 4 : 2 * kept->capacity;
    int* fds = realloc(kept->fds, capacity * sizeof *fds);
    if (fds != NULL) {
      kept->fds = fds;
      kept->capacity = capacity;
    }
  }
  if (kept == NULL || kept->count == kept->capacity) {
    close(fd); /* never retried */
    return;
  }
  kept->fds[kept->count++] = fd;
}

static wendlemoor_result Take(wm_service* s, wm_entry* e, int wait,
                              intptr_t* token) {
  int fd = -1;
  wm_lock();
  Kept* kept = e->data;
  if (kept != NULL && kept->count > 0) fd = kept->fds[--kept->count];
  wm_unlock();
  if (fd == -1) {
    char path[PATH_MAX];
    wm_lock_file_path(s, e->name, "", path);
    fd = wm_open_in_folder(s, path, O_RDWR | O_CREAT);
    if (fd == -1) return wm_code_from_errno(errno);
  }
  if (SetLock(fd, F_WRLCK, wait ? F_OFD_SETLKW : F_OFD_SETLK) != 0) {
    const int error = errno;
    wm_lock();
    Keep(e, fd);
    wm_unlock();
    return error == EAGAIN || error == EACCES ? WENDLEMOOR_ERROR_LOCK_BUSY
                                              : wm_code_from_errno(error);
  }
  *token = fd;
  return WENDLEMOOR_OK;
}

static wendlemoor_result Give(wm_service* s, wm_entry* e, intptr_t token) {
  (void)s;
  const int fd = (int)token;
  if (SetLock(fd, F_UNLCK, F_OFD_SETLK) != 0) {
    const int error = errno;
    close(fd); /* never retried; closing frees the lock all the same */
    return wm_code_from_errno(error);
  }
  Keep(e, fd);
  return WENDLEMOOR_OK;
}

static void Drop(wm_entry* e) {
  Kept* kept = e->data;
  if (kept == NULL) return;
  for (size_t i = 0; i < kept->count; ++i) close(kept->fds[i]);
  free(kept->fds);
  free(kept);
}

static const wm_mechanism kMechanism = {0, 0, NULL, Take, Give, Drop};

WM_DEFINE_MODULE("ofd-unhealed", kMechanism, NULL)
