/* robust-mutex: a robust, process-shared pthread mutex per name, in a file
 * of the folder that every process maps shared.
 *
 * Each name is the file "<folder>/<hex of the name>" holding one mutex. The
 * file is made whole before anyone can open it: the mutex is initialised in
 * a temporary file, which link() then puts in place (the first link wins;
 * a loser removes its temporary file and uses the winner's). The service
 * maps the file at the name's first use and keeps the mapping until it goes,
 * as programs do. The mutex belongs to a thread, so threads exclude each
 * other as processes do. When its owner dies or its thread ends, the kernel
 * marks it, and the next locker gets EOWNERDEAD: this module then makes it
 * consistent (pthread_mutex_consistent) and answers a success, so a holder
 * killed or a thread ended holding frees the name at once. The mutex checks
 * its owner, so a second lock by the owner through a second service answers
 * busy, never a second grant.
 *
 * The mechanism answers misuse itself: a holder asking again gets EDEADLK
 * (WENDLEMOOR_ERROR_LOCK_WOULD_DEADLOCK, or busy when it must not wait); an
 * unlock by a thread that does not own it gets EPERM
 * (WENDLEMOOR_ERROR_LOCK_NOT_HELD), a forked child's too, as its thread is
 * another. A table of holders changes no cell of the card, so this module
 * has no +turns build.
 *
 * What it does not claim: whatever the dead holder was protecting is taken
 * as it was left; a file removed and made again is a new mutex, while
 * services that mapped the old one go on locking it: two holders. */
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <stdatomic.h>
#include <stdio.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "modules/module_common.h"

/* Numbers the temporary files of this process's threads. */
static atomic_uint g_temporary = 0;

static int InitMutex(pthread_mutex_t* mutex) {
  pthread_mutexattr_t attributes;
  int error = pthread_mutexattr_init(&attributes);
  if (error != 0) return error;
  error = pthread_mutexattr_setpshared(&attributes, PTHREAD_PROCESS_SHARED);
  if (error == 0) {
    error = pthread_mutexattr_setrobust(&attributes, PTHREAD_MUTEX_ROBUST);
  }
  if (error == 0) {
    error = pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_ERRORCHECK);
  }
  if (error == 0) error = pthread_mutex_init(mutex, &attributes);
  pthread_mutexattr_destroy(&attributes);
  return error;
}

/* Puts a file holding a fresh mutex at `path`, unless one is there. Returns
 * 0 or an errno value. */
static int MakeFile(const wm_service* s, const char* path) {
  char temporary[PATH_MAX];
  snprintf(temporary, sizeof temporary, "%s/tmp.%d.%u", s->folder,
           (int)getpid(), atomic_fetch_add(&g_temporary, 1));
  const int fd = wm_open_in_folder(s, temporary, O_RDWR | O_CREAT | O_EXCL);
  if (fd == -1) return errno;
  int error = 0;
  void* map = MAP_FAILED;
  if (ftruncate(fd, sizeof(pthread_mutex_t)) != 0) {
    error = errno;
  } else {
    map = mmap(NULL, sizeof(pthread_mutex_t), PROT_READ | PROT_WRITE,
               MAP_SHARED, fd, 0);
    if (map == MAP_FAILED) error = errno;
  }
  if (error == 0) {
    error = InitMutex(map);
    munmap(map, sizeof(pthread_mutex_t));
  }
  close(fd); /* never retried */
  if (error == 0 && link(temporary, path) != 0 && errno != EEXIST) {
    error = errno;
  }
  unlink(temporary);
  return error;
}

static wendlemoor_result Prepare(wm_service* s, wm_entry* e) {
  char path[PATH_MAX];
  wm_lock_file_path(s, e->name, "", path);
  for (int attempt = 0; attempt < 100; ++attempt) {
    int fd;
    WM_RETRY(fd, open(path, O_RDWR | O_CLOEXEC | O_NOFOLLOW));
    if (fd == -1) {
      if (errno != ENOENT) return wm_code_from_errno(errno);
      const int error = MakeFile(s, path);
      if (error != 0) return wm_code_from_errno(error);
      continue; /* open what is there now, ours or another's */
    }
    struct stat status;
    if (fstat(fd, &status) != 0) {
      const int error = errno;
      close(fd); /* never retried */
      return wm_code_from_errno(error);
    }
    if (!S_ISREG(status.st_mode) ||
        status.st_size < (off_t)sizeof(pthread_mutex_t)) {
      close(fd); /* never retried */
      return WENDLEMOOR_ERROR_LOCK_FOLDER_UNUSABLE;
    }
    void* map = mmap(NULL, sizeof(pthread_mutex_t), PROT_READ | PROT_WRITE,
                     MAP_SHARED, fd, 0);
    const int error = errno;
    close(fd); /* never retried; the mapping stays */
    if (map == MAP_FAILED) return wm_code_from_errno(error);
    e->object = (intptr_t)map;
    return WENDLEMOOR_OK;
  }
  return wm_code_from_errno(ENOENT);
}

static wendlemoor_result Take(wm_service* s, wm_entry* e, int wait,
                              intptr_t* token) {
  (void)s;
  (void)token;
  pthread_mutex_t* mutex = (pthread_mutex_t*)e->object;
  int error = wait ? pthread_mutex_lock(mutex) : pthread_mutex_trylock(mutex);
  if (error == EOWNERDEAD) error = pthread_mutex_consistent(mutex);
  switch (error) {
    case 0:
      return WENDLEMOOR_OK;
    case EBUSY:
      return WENDLEMOOR_ERROR_LOCK_BUSY;
    case EDEADLK: /* held by this thread through another service */
      return wait ? WENDLEMOOR_ERROR_LOCK_WOULD_DEADLOCK
                  : WENDLEMOOR_ERROR_LOCK_BUSY;
    default:
      return wm_code_from_errno(error);
  }
}

static wendlemoor_result Give(wm_service* s, wm_entry* e, intptr_t token) {
  (void)s;
  (void)token;
  const int error = pthread_mutex_unlock((pthread_mutex_t*)e->object);
  if (error == EPERM) return WENDLEMOOR_ERROR_LOCK_NOT_HELD;
  return error == 0 ? WENDLEMOOR_OK : wm_code_from_errno(error);
}

static void Drop(wm_entry* e) {
  if (e->object != WM_NONE) {
    munmap((void*)e->object, sizeof(pthread_mutex_t));
  }
}

static const wm_mechanism kMechanism = {0, 0, Prepare, Take, Give, Drop};

WM_DEFINE_MODULE("robust-mutex", kMechanism, NULL)
