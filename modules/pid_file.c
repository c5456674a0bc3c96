/* pid-file: the classic PID file. A lock file made with O_CREAT|O_EXCL
 * holds the holder's process id; a file whose process no longer exists
 * (kill(pid, 0) fails with ESRCH) is stale and is taken over; a release
 * removes the file. Waiting is sleeping a little and trying again.
 *
 * Each name is the file "<folder>/<hex of the name>" (the folder is made
 * again when missing). Whoever creates it holds the name, and writes its
 * process id into it; anyone else reads that id. A file of a live process
 * is busy, this process's own included, so threads exclude each other as
 * processes do, and the service's table knows which thread holds a name. A
 * file whose process is gone is removed and the creation tried again, so a
 * holder killed frees its names for the next comer; a file found still
 * empty (its maker has not written yet) is busy.
 *
 * What it does not claim: the takeover is the classic race (two takers see
 * the same dead id, one removes the file and makes its own, the other then
 * removes that one and makes its own: two holders), and a process id used
 * again by another process keeps a dead holder's name taken; a thread that
 * ends holding leaves its name taken until its process ends, and then until
 * someone finds the id gone; a file removed while held lets the next comer
 * in beside the holder, whose release then removes the newcomer's file. A
 * waiter notices a release only at its next try, a few milliseconds on.
 *
 * The plain row measures the file alone: a holder asking again finds its own
 * live process in the file, busy, and a waiting one waits for itself for
 * good; any release removes the file, whoever made it, so a second release
 * or a forked child's (its process id is another, the file its parent's)
 * frees a name that someone holds. The +turns row adds the table that
 * answers the misuse codes and the forked child's release. */
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include "modules/module_common.h"

/* The pause between tries of a waiter. */
static const struct timespec kRetryPause = {0, 2000000};

/* The process id in the file at `path`: > 0, 0 when the file is empty or
 * unreadable as an id, -1 when the file is gone. */
static pid_t ReadHolder(const char* path) {
  int fd;
  WM_RETRY(fd, open(path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  if (fd == -1) return errno == ENOENT ? -1 : 0;
  char text[32];
  ssize_t length;
  WM_RETRY(length, read(fd, text, sizeof text - 1));
  close(fd); /* never retried */
  if (length <= 0) return 0;
  text[length] = '\0';
  char* end;
  const long pid = strtol(text, &end, 10);
  if (end == text || *end != '\n' || pid <= 0 || pid > INT_MAX) return 0;
  return (pid_t)pid;
}

/* Makes the file with this process's id. Returns 1 when made, 0 when it
 * exists, -1 with errno on failure. */
static int Create(const wm_service* s, const char* path) {
  const int fd = wm_open_in_folder(s, path, O_WRONLY | O_CREAT | O_EXCL);
  if (fd == -1) return errno == EEXIST ? 0 : -1;
  char text[32];
  const int length = snprintf(text, sizeof text, "%d\n", (int)getpid());
  ssize_t written;
  WM_RETRY(written, write(fd, text, (size_t)length));
  const int error = errno;
  close(fd); /* never retried */
  if (written != length) {
    unlink(path);
    errno = written < 0 ? error : EIO;
    return -1;
  }
  return 1;
}

static wendlemoor_result Take(wm_service* s, wm_entry* e, int wait,
                              intptr_t* token) {
  (void)token;
  char path[PATH_MAX];
  wm_lock_file_path(s, e->name, "", path);
  for (;;) {
    const int made = Create(s, path);
    if (made == 1) return WENDLEMOOR_OK;
    if (made == -1) return wm_code_from_errno(errno);
    const pid_t holder = ReadHolder(path);
    if (holder == -1) continue; /* released meanwhile: try at once */
    if (holder > 0 && kill(holder, 0) != 0 && errno == ESRCH) {
      if (unlink(path) != 0 && errno != ENOENT) {
        return wm_code_from_errno(errno);
      }
      continue; /* stale: taken over */
    }
    if (!wait) return WENDLEMOOR_ERROR_LOCK_BUSY;
    nanosleep(&kRetryPause, NULL); /* a signal may shorten it: it loops */
  }
}

static wendlemoor_result Give(wm_service* s, wm_entry* e, intptr_t token) {
  (void)token;
  char path[PATH_MAX];
  wm_lock_file_path(s, e->name, "", path);
  if (unlink(path) != 0 && errno != ENOENT) return wm_code_from_errno(errno);
  return WENDLEMOOR_OK;
}

static const wm_mechanism kMechanism = {0, 0, NULL, Take, Give, NULL};

WM_DEFINE_MODULE("pid-file", kMechanism, NULL)
