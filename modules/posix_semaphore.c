/* posix-semaphore: a named POSIX semaphore per name, of value 1: sem_wait
 * (sem_trywait when the caller must not block) takes the name, sem_post
 * gives it back.
 *
 * Semaphore names live outside the folder, in one namespace for the whole
 * machine, so each is derived from the folder: "/wendlemoor-<hash of the
 * folder path>-<hex of the name>". The first sem_open creates it with value
 * 1; the service keeps it open until it goes. A semaphore has no owner, so
 * threads exclude each other as processes do, and only a table of the
 * service's can know who holds a name. cleanup() unlinks every semaphore of
 * the folder:
 * it finds them where Linux keeps them (/dev/shm/sem.<name>), so none is
 * missed when the folder, or a list kept in it, was removed. Unlinking is
 * safe while services of the folder live (a logout that removes a user's
 * IPC objects): those that opened a semaphore keep it, mapped, and a
 * service that first uses the name later makes a new one beside it (two
 * holders at once).
 *
 * What it does not claim: nothing gives a name back when its holder dies or
 * its thread ends: a holder killed or a thread ended holding leaves the
 * name taken for good. Files or the folder removed do not touch it.
 *
 * The plain row measures the semaphore alone: a holder asking again waits
 * for itself for good (busy when it must not wait); any sem_post, a second
 * release or a forked child's, is a success that raises the count, and
 * from then on two callers hold the name at once. The +turns row adds the
 * table that knows holders by process and thread: it answers the misuse
 * codes and the forked child's release, and no sem_post comes but a
 * holder's. */
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <inttypes.h>
#include <limits.h>
#include <semaphore.h>
#include <stdio.h>
#include <string.h>

#include "modules/module_common.h"

static const char kShm[] = "/dev/shm";

/* "wendlemoor-<hash>-": the folder's prefix of every semaphore name. */
static void Prefix(const char* folder, char* out, size_t size) {
  snprintf(out, size, "wendlemoor-%016" PRIx64 "-", wm_hash(folder));
}

static wendlemoor_result Prepare(wm_service* s, wm_entry* e) {
  char prefix[64];
  char hex[2 * WENDLEMOOR_LOCK_NAME_MAX + 1];
  char name[NAME_MAX];
  Prefix(s->folder, prefix, sizeof prefix);
  wm_hex(e->name, hex);
  snprintf(name, sizeof name, "/%s%s", prefix, hex);
  sem_t* semaphore = sem_open(name, O_CREAT, 0600, 1);
  if (semaphore == SEM_FAILED) return wm_code_from_errno(errno);
  e->object = (intptr_t)semaphore;
  return WENDLEMOOR_OK;
}

static wendlemoor_result Take(wm_service* s, wm_entry* e, int wait,
                              intptr_t* token) {
  (void)s;
  (void)token;
  sem_t* semaphore = (sem_t*)e->object;
  int rc;
  if (wait) {
    WM_RETRY(rc, sem_wait(semaphore));
  } else {
    WM_RETRY(rc, sem_trywait(semaphore));
  }
  if (rc == 0) return WENDLEMOOR_OK;
  return errno == EAGAIN ? WENDLEMOOR_ERROR_LOCK_BUSY
                         : wm_code_from_errno(errno);
}

static wendlemoor_result Give(wm_service* s, wm_entry* e, intptr_t token) {
  (void)s;
  (void)token;
  if (sem_post((sem_t*)e->object) != 0) return wm_code_from_errno(errno);
  return WENDLEMOOR_OK;
}

static void Drop(wm_entry* e) {
  if (e->object != WM_NONE) sem_close((sem_t*)e->object);
}

static void Cleanup(const char* folder) {
  if (folder == NULL) return;
  char prefix[64];
  char entry_prefix[80];
  Prefix(folder, prefix, sizeof prefix);
  snprintf(entry_prefix, sizeof entry_prefix, "sem.%s", prefix);
  DIR* dir = opendir(kShm);
  if (dir == NULL) return;
  const size_t length = strlen(entry_prefix);
  for (struct dirent* d; (d = readdir(dir)) != NULL;) {
    if (strncmp(d->d_name, entry_prefix, length) != 0) continue;
    char name[NAME_MAX + 2];
    snprintf(name, sizeof name, "/%s", d->d_name + 4);
    (void)sem_unlink(name);
  }
  closedir(dir);
}

static const wm_mechanism kMechanism = {0, 0, Prepare, Take, Give, Drop};

WM_DEFINE_MODULE("posix-semaphore", kMechanism, Cleanup)
