/* A lock module written in plain C against the installed header, built in
 * several kinds (TEST_MODULE_KIND) for the loader's tests:
 *   grant       a lock that grants every call (never exclusive: the
 *               adversary must find it broken);
 *   no_entry    no entry point;
 *   abi         built for another ABI version;
 *   entry_fails an entry point that fails;
 *   no_service  no lock service;
 *   hang        as grant, but in the one process that holds the folder's
 *               "hang-role" file an acquisition of "chaos-0" never returns,
 *               and in every other one an acquisition of "chaos-1" crashes
 *               the process (so that a run always shows both, however its
 *               threads interleave);
 *   no_release  as grant, but its table lacks release_lock (slot 4);
 *   crash       a real lock (flock(2) on the name's file, opened at each
 *               acquisition); a process's every 100th acquisition crashes it;
 *   release_hang the same lock; a process's every 100th release appends 'b'
 *               to the folder's "hang-marks", sleeps 5.3 s (past the
 *               adversary's hang bound, chaos/run.h) and appends 'p'; the
 *               first returns then, the second kills its process;
 *   cleanup_hangs  as grant, with a cleanup that never returns;
 *   lease       a lease of 300 ms (ABI version 2): a name is the marker
 *               file "<folder>/<name>.lease", made with O_EXCL and holding
 *               its holder's token; a marker older than the lease is
 *               removed and the name taken over, so a holder stopped past
 *               its lease loses the name, and a dead one's is free 300 ms
 *               on. Waiting is trying again every millisecond. Two takers
 *               of one old marker may both take it: only after a holder
 *               died or was stopped, where the lease already splits;
 *   abi1        as grant, built for ABI version 1, with lease and server
 *               members that a host must not read (they are not there for
 *               version 1; the lease kind's server member neither);
 *   served      as grant, declaring a server of kind "postgres".
 * test_module_live_objects() counts the objects not yet released. */
#define _DEFAULT_SOURCE /* flock */
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "components/module.h"

#define KIND_GRANT 0
#define KIND_NO_ENTRY 1
#define KIND_ABI 2
#define KIND_ENTRY_FAILS 3
#define KIND_NO_SERVICE 4
#define KIND_HANG 5
#define KIND_NO_RELEASE 6
#define KIND_CRASH 7
#define KIND_RELEASE_HANG 8
#define KIND_CLEANUP_HANGS 9
#define KIND_LEASE 10
#define KIND_ABI1 11
#define KIND_SERVED 12
#define LEASE_MS 300
#define REAL_LOCK \
  (TEST_MODULE_KIND == KIND_CRASH || TEST_MODULE_KIND == KIND_RELEASE_HANG)

typedef struct object {
  wendlemoor_lock_service base;
  uint32_t references;
  char folder[4096];
  int held[256];  /* the real lock kinds: the descriptor of "chaos-<i>" + 1 */
  uint32_t calls; /* acquisitions (crash) or releases (release_hang) */
} object;

static int live_objects;

/* Hang kind: 1 in the process that hangs, 0 in those that crash, -1 before
 * the first service is made. */
static int hang_role = -1;

WENDLEMOOR_MODULE_EXPORT int test_module_live_objects(void) {
  return __atomic_load_n(&live_objects, __ATOMIC_SEQ_CST);
}

static wendlemoor_result query_interface(wendlemoor_lock_service* self,
                                         const wendlemoor_interface_id* iid,
                                         void** result) {
  static const wendlemoor_interface_id lock = WENDLEMOOR_LOCK_SERVICE_IID;
  if (memcmp(iid, &lock, sizeof lock) != 0) {
    *result = NULL;
    return WENDLEMOOR_ERROR_NO_INTERFACE;
  }
  __atomic_add_fetch(&((object*)self)->references, 1, __ATOMIC_SEQ_CST);
  *result = self;
  return WENDLEMOOR_OK;
}

static uint32_t add_ref(wendlemoor_lock_service* self) {
  return __atomic_add_fetch(&((object*)self)->references, 1, __ATOMIC_SEQ_CST);
}

static uint32_t release(wendlemoor_lock_service* self) {
  const uint32_t left =
      __atomic_sub_fetch(&((object*)self)->references, 1, __ATOMIC_SEQ_CST);
  if (left == 0) {
    __atomic_sub_fetch(&live_objects, 1, __ATOMIC_SEQ_CST);
    free(self);
  }
  return left;
}

/* The real lock kinds serve the adversary's names, "chaos-<i>", and the
 * cost's one name ("cost", slot 0) alone. */
static int* held_slot(object* self, const char* name) {
  const char* dash = strrchr(name, '-');
  return &self->held[(dash != NULL ? atoi(dash + 1) : 0) & 255];
}

static void mark(object* self, const char* what) {
  char path[4200];
  snprintf(path, sizeof path, "%s/hang-marks", self->folder);
  const int fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  if (fd != -1 && write(fd, what, 1) == 1) close(fd);
}

static wendlemoor_result real_acquire(object* self, const char* name,
                                      int wait) {
  if (TEST_MODULE_KIND == KIND_CRASH &&
      __atomic_add_fetch(&self->calls, 1, __ATOMIC_SEQ_CST) % 100 == 0) {
    abort();
  }
  char path[4200];
  snprintf(path, sizeof path, "%s/%s", self->folder, name);
  const int fd = open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd == -1) return WENDLEMOOR_ERROR_SYSTEM_BASE | (uint32_t)errno;
  int rc;
  do rc = flock(fd, LOCK_EX | (wait ? 0 : LOCK_NB));
  while (rc != 0 && errno == EINTR);
  if (rc != 0) {
    close(fd);
    return WENDLEMOOR_ERROR_LOCK_BUSY;
  }
  __atomic_store_n(held_slot(self, name), fd + 1, __ATOMIC_SEQ_CST);
  return WENDLEMOOR_OK;
}

static wendlemoor_result real_release(object* self, const char* name) {
  const int fd =
      __atomic_exchange_n(held_slot(self, name), 0, __ATOMIC_SEQ_CST) - 1;
  if (fd == -1) return WENDLEMOOR_ERROR_LOCK_NOT_HELD;
  const uint32_t call =
      TEST_MODULE_KIND == KIND_RELEASE_HANG
          ? __atomic_add_fetch(&self->calls, 1, __ATOMIC_SEQ_CST)
          : 1;
  if (call % 100 == 0) {
    const struct timespec pause = {5, 300000000};
    mark(self, "b");
    while (nanosleep(&pause, NULL) != 0 && errno == EINTR) {
    }
    mark(self, "p");
    if (call % 200 == 0) kill(getpid(), SIGKILL);
  }
  close(fd); /* frees the lock */
  return WENDLEMOOR_OK;
}

/* The lease kind's marker of `name`, and this process's next token. */
static void lease_path(object* self, const char* name, char* path,
                       size_t size) {
  snprintf(path, size, "%s/%s.lease", self->folder, name);
}
static uint32_t lease_tokens;

static int lease_expired(const char* path) {
  struct stat st;
  struct timespec now;
  if (stat(path, &st) != 0 || clock_gettime(CLOCK_REALTIME, &now) != 0) {
    return 0;
  }
  const long long age_ms = (long long)(now.tv_sec - st.st_mtim.tv_sec) * 1000 +
                           (now.tv_nsec - st.st_mtim.tv_nsec) / 1000000;
  return age_ms > LEASE_MS;
}

static wendlemoor_result lease_acquire(object* self, const char* name,
                                       int wait) {
  char path[4200];
  lease_path(self, name, path, sizeof path);
  const uint32_t token =
      __atomic_add_fetch(&lease_tokens, 1, __ATOMIC_SEQ_CST) & 0xffffff;
  char text[32];
  const int length = snprintf(text, sizeof text, "%d.%u", (int)getpid(), token);
  for (;;) {
    const int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd != -1) {
      const int written = (int)write(fd, text, (size_t)length) == length;
      close(fd);
      if (!written) return WENDLEMOOR_ERROR_SYSTEM_BASE | EIO;
      __atomic_store_n(held_slot(self, name), (int)token, __ATOMIC_SEQ_CST);
      return WENDLEMOOR_OK;
    }
    if (errno == ENOENT) {
      (void)mkdir(self->folder, 0700);
      continue;
    }
    if (errno != EEXIST) return WENDLEMOOR_ERROR_SYSTEM_BASE | (uint32_t)errno;
    if (lease_expired(path)) {
      (void)unlink(path); /* taken over */
      continue;
    }
    if (!wait) return WENDLEMOOR_ERROR_LOCK_BUSY;
    const struct timespec pause = {0, 1000000};
    (void)nanosleep(&pause, NULL);
  }
}

/* Gives the name back when the marker is still this hold's. */
static wendlemoor_result lease_release(object* self, const char* name) {
  const int token =
      __atomic_exchange_n(held_slot(self, name), 0, __ATOMIC_SEQ_CST);
  if (token == 0) return WENDLEMOOR_ERROR_LOCK_NOT_HELD;
  char path[4200], text[32], mine[32];
  lease_path(self, name, path, sizeof path);
  snprintf(mine, sizeof mine, "%d.%u", (int)getpid(), (unsigned)token);
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  ssize_t n = fd == -1 ? -1 : read(fd, text, sizeof text - 1);
  if (fd != -1) close(fd);
  if (n < 0) n = 0;
  text[n] = '\0';
  if (strcmp(text, mine) != 0) return WENDLEMOOR_ERROR_LOCK_NOT_HELD;
  (void)unlink(path);
  return WENDLEMOOR_OK;
}

static wendlemoor_result acquire_lock(wendlemoor_lock_service* self,
                                      const char* name, int wait) {
  if (REAL_LOCK) return real_acquire((object*)self, name, wait);
  if (TEST_MODULE_KIND == KIND_LEASE) {
    return lease_acquire((object*)self, name, wait);
  }
  if (TEST_MODULE_KIND == KIND_HANG && hang_role == 1 &&
      strcmp(name, "chaos-0") == 0) {
    for (;;) pause();
  }
  if (TEST_MODULE_KIND == KIND_HANG && hang_role == 0 &&
      strcmp(name, "chaos-1") == 0) {
    abort();
  }
  return WENDLEMOOR_OK;
}

static wendlemoor_result release_lock(wendlemoor_lock_service* self,
                                      const char* name) {
  if (REAL_LOCK) return real_release((object*)self, name);
  if (TEST_MODULE_KIND == KIND_LEASE) return lease_release((object*)self, name);
  return WENDLEMOOR_OK;
}

static const wendlemoor_lock_service_ops ops = {
    query_interface, add_ref, release, acquire_lock,
    TEST_MODULE_KIND == KIND_NO_RELEASE ? NULL : release_lock};

static wendlemoor_result create(const char* folder,
                                wendlemoor_lock_service** out) {
  object* made = calloc(1, sizeof *made);
  *out = NULL;
  if (TEST_MODULE_KIND == KIND_HANG && hang_role == -1) {
    /* The role's file stays locked, and open, while this process lives: a
     * process that takes over a dead one's slot may take the role. */
    char path[4096];
    (void)mkdir(folder, 0700); /* made by the first module to use it */
    snprintf(path, sizeof path, "%s/hang-role", folder);
    const int fd = open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    hang_role = fd != -1 && flock(fd, LOCK_EX | LOCK_NB) == 0;
    if (fd != -1 && hang_role == 0) close(fd);
  }
  if (made == NULL) return WENDLEMOOR_ERROR_OUT_OF_MEMORY;
  if (REAL_LOCK || TEST_MODULE_KIND == KIND_LEASE) {
    (void)mkdir(folder, 0700);
    snprintf(made->folder, sizeof made->folder, "%s", folder);
  }
  made->base.ops = &ops;
  made->references = 1;
  __atomic_add_fetch(&live_objects, 1, __ATOMIC_SEQ_CST);
  *out = &made->base;
  return WENDLEMOOR_OK;
}

static void cleanup_hangs(const char* folder) {
  (void)folder;
  for (;;) pause();
}

static const wendlemoor_module module = {
    TEST_MODULE_KIND == KIND_ABI     ? WENDLEMOOR_MODULE_ABI_VERSION + 1
    : TEST_MODULE_KIND == KIND_ABI1  ? 1
    : TEST_MODULE_KIND == KIND_LEASE ? 2
                                     : WENDLEMOOR_MODULE_ABI_VERSION,
    "test",
    TEST_MODULE_KIND == KIND_NO_SERVICE ? NULL : create,
    TEST_MODULE_KIND == KIND_CLEANUP_HANGS ? cleanup_hangs : NULL,
    TEST_MODULE_KIND == KIND_LEASE  ? LEASE_MS
    : TEST_MODULE_KIND == KIND_ABI1 ? 77
                                    : 0,
    TEST_MODULE_KIND == KIND_SERVED || TEST_MODULE_KIND == KIND_ABI1 ||
            TEST_MODULE_KIND == KIND_LEASE
        ? "postgres"
        : NULL};

#if TEST_MODULE_KIND == KIND_NO_ENTRY
/* The description, exported under another name than the entry point's. */
WENDLEMOOR_MODULE_EXPORT const wendlemoor_module* module_entry(void) {
  return &module;
}
#else
WENDLEMOOR_MODULE_EXPORT wendlemoor_result wendlemoor_module_entry(
    uint32_t host_abi_version, const wendlemoor_module** out) {
  (void)host_abi_version;
  if (TEST_MODULE_KIND == KIND_ENTRY_FAILS) {
    return WENDLEMOOR_ERROR_NOT_INITIALIZED;
  }
  *out = &module;
  return WENDLEMOOR_OK;
}
#endif
