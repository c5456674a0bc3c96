/* sysv-semaphore: a System V semaphore per name, keyed by ftok() on the
 * name's file in the folder; semop -1 (IPC_NOWAIT when the caller must not
 * block) takes the name and +1 gives it back, both with SEM_UNDO.
 *
 * Each name is the file "<folder>/<hex of the name>" (created when missing,
 * the folder too), and its key ftok(file, 'W'). The process that creates the
 * set (IPC_EXCL wins) sets it to 1; a process that finds it made uses it, and
 * one that comes before the set is given its 1 waits (or finds it busy)
 * until it is. The key and the set are found at the name's first use and
 * kept by the service, as programs do. SEM_UNDO makes the kernel give back
 * what a process took when it dies, SIGKILL included; the semaphore has no
 * owner thread, so threads exclude each other as processes do, and only a
 * table of the service's can know who holds a name.
 *
 * Each set carries two more semaphores that hold 30 bits of a hash of the
 * folder path: cleanup() finds the folder's sets in /proc/sysvipc/sem by
 * them, so none is missed when the folder was removed, and removes them.
 * It may do so while services of the folder live (a logout that removes a
 * user's IPC objects): the kernel then wakes their waiters with EIDRM and
 * refuses every later operation on a removed set (EINVAL), which the
 * service answers as a system error, never a crash or a wait; a service
 * that first uses a name after it makes a new set, beside the old one. A
 * set found made by another process but removed before this one opens it
 * is made again.
 *
 * What it does not claim: a thread that ends holding leaves the name taken
 * until its process ends (undo is per process); ftok keys a file by its
 * inode, so a file removed and made again is another key and another
 * semaphore, while services that found the old one go on using it: two
 * holders. Keys are 32 bits from the device and 16 bits of the inode, and may
 * meet another run's or program's.
 *
 * The plain row measures the semaphore alone: a holder asking again waits
 * for itself for good (busy when it must not wait); a second release, or a
 * forked child's (the child does not inherit its parent's undo), is a
 * success that raises the value above 1, and two callers hold the name at
 * once; the undo at a process's end cannot take the value below 0, so the
 * excess may stay. The +turns row adds the table that answers the misuse
 * codes and the forked child's release, so no +1 comes but a holder's. */
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <unistd.h>

#include "modules/module_common.h"

/* The fourth argument of semctl, which the caller declares. */
union semun {
  int val;
  struct semid_ds* buf;
  unsigned short* array;
};

/* The folder's tag, in the two semaphores after the lock (15 bits each: a
 * semaphore's value is at most 32767). */
static void Tags(const char* folder, unsigned short tags[2]) {
  const uint64_t hash = wm_hash(folder);
  tags[0] = (unsigned short)(hash & 0x7fff);
  tags[1] = (unsigned short)((hash >> 15) & 0x7fff);
}

static wendlemoor_result Prepare(wm_service* s, wm_entry* e) {
  char path[PATH_MAX];
  wm_lock_file_path(s, e->name, "", path);
  key_t key = -1;
  /* A file removed between its creation and ftok is made again. */
  for (int attempt = 0; key == -1 && attempt < 100; ++attempt) {
    const int fd = wm_open_in_folder(s, path, O_RDWR | O_CREAT);
    if (fd == -1) return wm_code_from_errno(errno);
    close(fd); /* never retried */
    key = ftok(path, 'W');
    if (key == -1 && errno != ENOENT) break;
  }
  if (key == -1) return wm_code_from_errno(errno);
  int id = -1;
  /* Another process's set may be removed (cleanup) between its creation and
   * this open: the creation is tried again. */
  for (int attempt = 0; id == -1 && attempt < 100; ++attempt) {
    id = semget(key, 3, IPC_CREAT | IPC_EXCL | 0600);
    if (id != -1 || errno != EEXIST) break;
    id = semget(key, 3, 0600);
    if (id != -1) {
      e->object = id;
      return WENDLEMOOR_OK;
    }
    if (errno != ENOENT) return wm_code_from_errno(errno);
  }
  if (id != -1) {
    unsigned short values[3] = {1, 0, 0};
    Tags(s->folder, values + 1);
    union semun argument = {.array = values};
    if (semctl(id, 0, SETALL, argument) != 0) {
      const int error = errno;
      (void)semctl(id, 0, IPC_RMID);
      return wm_code_from_errno(error);
    }
  } else {
    return wm_code_from_errno(errno);
  }
  e->object = id;
  return WENDLEMOOR_OK;
}

static int Operate(int id, short change, short flags) {
  struct sembuf op = {0, change, flags};
  int rc;
  WM_RETRY(rc, semop(id, &op, 1));
  return rc;
}

static wendlemoor_result Take(wm_service* s, wm_entry* e, int wait,
                              intptr_t* token) {
  (void)s;
  (void)token;
  if (Operate((int)e->object, -1, SEM_UNDO | (wait ? 0 : IPC_NOWAIT)) == 0) {
    return WENDLEMOOR_OK;
  }
  return errno == EAGAIN ? WENDLEMOOR_ERROR_LOCK_BUSY
                         : wm_code_from_errno(errno);
}

static wendlemoor_result Give(wm_service* s, wm_entry* e, intptr_t token) {
  (void)s;
  (void)token;
  if (Operate((int)e->object, 1, SEM_UNDO) != 0) {
    return wm_code_from_errno(errno);
  }
  return WENDLEMOOR_OK;
}

/* Removes every set of this user with three semaphores whose tags are the
 * folder's. */
static void Cleanup(const char* folder) {
  if (folder == NULL) return;
  unsigned short tags[2];
  Tags(folder, tags);
  FILE* list = fopen("/proc/sysvipc/sem", "re");
  if (list == NULL) return;
  char line[256];
  if (fgets(line, sizeof line, list) == NULL) { /* the heading */
    fclose(list);
    return;
  }
  const uid_t uid = geteuid();
  while (fgets(line, sizeof line, list) != NULL) {
    long long key;
    int id;
    unsigned perms;
    unsigned long nsems;
    unsigned owner;
    if (sscanf(line, "%lld %d %o %lu %u", &key, &id, &perms, &nsems, &owner) !=
            5 ||
        nsems != 3 || owner != uid) {
      continue;
    }
    if (semctl(id, 1, GETVAL) == tags[0] && semctl(id, 2, GETVAL) == tags[1]) {
      (void)semctl(id, 0, IPC_RMID);
    }
  }
  fclose(list);
}

static const wm_mechanism kMechanism = {0, 0, Prepare, Take, Give, NULL};

WM_DEFINE_MODULE("sysv-semaphore", kMechanism, Cleanup)
