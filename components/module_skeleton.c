/* A lock module to start from: the smallest module we know of that keeps
 * every promise of components/module.h on Linux. Copy it, rename it, and
 * change the mechanism; build it on its own:
 *
 *   cc -std=c11 -shared -fPIC -fvisibility=hidden \
 *      -I<prefix>/include/wendlemoor module_skeleton.c -o my-lock.so
 *   wendlemoor-chaos --module ./my-lock.so --seconds 10
 *
 * Mechanism. Each name is the file "<folder>/<name in lower-case hex>" (hex
 * keeps any name bytes inside the folder, and distinct names apart). Every
 * acquisition opens the file afresh and takes an open-file-description lock
 * on it (fcntl F_OFD_SETLKW, or F_OFD_SETLK when the caller must not wait);
 * the release closes the descriptor, which gives the lock back. Such a lock
 * belongs to the description, so every hold has its own: threads exclude
 * each other as processes do, and two services in one process exclude each
 * other too. The kernel frees it when the process dies, SIGKILL included.
 * A file removed since it was opened is no longer the name's: after taking
 * the lock, a file found unlinked is let go and the name taken again; a
 * removed folder is made again.
 *
 * The holds table. One list per module of every hold in this process: which
 * service, which name, which thread (process ID and a number of our own:
 * the child of a fork has its parent's threads' numbers but another process
 * ID), and its descriptor. It gives the misuse answers, lets a thread's end
 * give back what the thread held (a pthread key's destructor), and lets the
 * child of a fork close the descriptors it inherited (pthread_atfork), so
 * that it holds none of its parent's names and none outlives the parent. A
 * hold is listed before its descriptor is opened, and each descriptor is
 * opened and closed with the mutex held, so that no fork can copy one that
 * the table does not list.
 * Mutex rules: g_mutex guards g_holds and every hold in it; no call that
 * blocks on a lock is made while holding it.
 *
 * Nothing is made outside the folder, so the module has no cleanup. */
#define _GNU_SOURCE /* F_OFD_SETLK, F_OFD_SETLKW */
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "components/module.h"

typedef struct service {
  wendlemoor_lock_service base; /* first: the host sees only this */
  uint32_t references;          /* atomic */
  char folder[];
} service;

typedef struct hold {
  struct hold* next;
  const service* owner;
  char name[WENDLEMOOR_LOCK_NAME_MAX + 1];
  pid_t pid;
  uintptr_t thread;
  int fd;
} hold;

static pthread_mutex_t g_mutex = PTHREAD_MUTEX_INITIALIZER;
static hold* g_holds;
static uintptr_t g_next_thread = 1;
static pthread_once_t g_once = PTHREAD_ONCE_INIT;
static pthread_key_t g_thread_key;
static int g_ready; /* written once, under g_once */

static void ForkPrepare(void) { pthread_mutex_lock(&g_mutex); }
static void ForkParent(void) { pthread_mutex_unlock(&g_mutex); }

/* The child holds none of its parent's names: their descriptors close. */
static void ForkChild(void) {
  while (g_holds != NULL) {
    hold* h = g_holds;
    g_holds = h->next;
    if (h->fd != -1) close(h->fd);
    free(h);
  }
  pthread_mutex_unlock(&g_mutex);
}

/* Takes `h` out of the list. REQUIRES: g_mutex held. */
static void Unlist(hold* h) {
  for (hold** p = &g_holds; *p != NULL; p = &(*p)->next) {
    if (*p == h) {
      *p = h->next;
      return;
    }
  }
}

/* Unlinks and frees every hold of `owner` (any owner when null) by `thread`
 * of this process (any thread when 0), closing its descriptor. REQUIRES:
 * g_mutex held. */
static void DropHolds(const service* owner, uintptr_t thread) {
  const pid_t pid = getpid();
  for (hold** p = &g_holds; *p != NULL;) {
    hold* h = *p;
    if ((owner == NULL || h->owner == owner) &&
        (thread == 0 || (h->thread == thread && h->pid == pid))) {
      *p = h->next;
      if (h->fd != -1) close(h->fd);
      free(h);
    } else {
      p = &h->next;
    }
  }
}

/* A thread that ends gives back what it held. */
static void ThreadEnds(void* thread) {
  pthread_mutex_lock(&g_mutex);
  DropHolds(NULL, (uintptr_t)thread);
  pthread_mutex_unlock(&g_mutex);
}

static void Start(void) {
  g_ready = pthread_key_create(&g_thread_key, ThreadEnds) == 0;
  if (g_ready && pthread_atfork(ForkPrepare, ForkParent, ForkChild) != 0) {
    pthread_key_delete(g_thread_key);
    g_ready = 0;
  }
}

/* The key's destructor is this library's code: it goes before the library
 * is unloaded. */
__attribute__((destructor)) static void Stop(void) {
  if (g_ready) pthread_key_delete(g_thread_key);
}

/* The calling thread's number, given at its first call; 0 when memory for
 * it runs out. */
static uintptr_t Self(void) {
  uintptr_t self = (uintptr_t)pthread_getspecific(g_thread_key);
  if (self == 0) {
    self = __atomic_fetch_add(&g_next_thread, 1, __ATOMIC_RELAXED);
    if (pthread_setspecific(g_thread_key, (void*)self) != 0) return 0;
  }
  return self;
}

static hold* FindHold(const service* s, const char* name, uintptr_t thread) {
  const pid_t pid = getpid();
  for (hold* h = g_holds; h != NULL; h = h->next) {
    if (h->owner == s && h->thread == thread && h->pid == pid &&
        strcmp(h->name, name) == 0) {
      return h;
    }
  }
  return NULL;
}

static int BadName(const char* name) {
  return name == NULL || name[0] == '\0' ||
         strnlen(name, WENDLEMOOR_LOCK_NAME_MAX + 1) > WENDLEMOOR_LOCK_NAME_MAX;
}

static wendlemoor_result FromErrno(int error) {
  if (error == ENOMEM) return WENDLEMOOR_ERROR_OUT_OF_MEMORY;
  return WENDLEMOOR_ERROR_SYSTEM_BASE | ((uint32_t)error & 0xffffu);
}

/* Opens the name's file into h->fd and locks it; h->fd is -1 on failure.
 * REQUIRES: `h` listed, g_mutex not held. */
static wendlemoor_result Lock(const service* s, hold* h, int wait) {
  static const char digits[] = "0123456789abcdef";
  char path[PATH_MAX];
  int at = snprintf(path, sizeof path, "%s/", s->folder);
  for (const unsigned char* p = (const unsigned char*)h->name; *p != 0; ++p) {
    path[at++] = digits[*p >> 4];
    path[at++] = digits[*p & 15];
  }
  path[at] = '\0';
  for (;;) {
    pthread_mutex_lock(&g_mutex);
    h->fd = open(path, O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    const int opened = h->fd != -1, error = errno;
    pthread_mutex_unlock(&g_mutex);
    if (!opened && error == ENOENT) {
      /* The folder was removed: made again, then the file. */
      if (mkdir(s->folder, 0700) == 0 || errno == EEXIST) continue;
      return FromErrno(errno);
    }
    if (!opened && error == EINTR) continue;
    if (!opened) return FromErrno(error);
    struct flock lock;
    memset(&lock, 0, sizeof lock); /* l_pid 0, as these locks require */
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET; /* start 0, length 0: the whole file */
    int rc;
    do {
      rc = fcntl(h->fd, wait ? F_OFD_SETLKW : F_OFD_SETLK, &lock);
    } while (rc == -1 && errno == EINTR);
    struct stat status;
    if (rc == 0 && fstat(h->fd, &status) == 0 && status.st_nlink > 0) {
      return WENDLEMOOR_OK;
    }
    const int failure = rc == 0 ? 0 : errno;
    pthread_mutex_lock(&g_mutex);
    close(h->fd); /* never retried: the descriptor is gone either way */
    h->fd = -1;
    pthread_mutex_unlock(&g_mutex);
    if (failure == EAGAIN || failure == EACCES) {
      return WENDLEMOOR_ERROR_LOCK_BUSY;
    }
    if (failure != 0) return FromErrno(failure);
    /* Locked a file that is no longer the name's: again, on the one there
     * now. */
  }
}

static wendlemoor_result QueryInterface(wendlemoor_lock_service* self,
                                        const wendlemoor_interface_id* iid,
                                        void** result) {
  static const wendlemoor_interface_id lock = WENDLEMOOR_LOCK_SERVICE_IID;
  static const wendlemoor_interface_id base = WENDLEMOOR_BASE_IID;
  if (result == NULL) return WENDLEMOOR_ERROR_INVALID_ARGUMENT;
  *result = NULL;
  if (iid == NULL) return WENDLEMOOR_ERROR_INVALID_ARGUMENT;
  if (memcmp(iid, &lock, sizeof lock) != 0 &&
      memcmp(iid, &base, sizeof base) != 0) {
    return WENDLEMOOR_ERROR_NO_INTERFACE;
  }
  self->ops->add_ref(self);
  *result = self;
  return WENDLEMOOR_OK;
}

static uint32_t AddRef(wendlemoor_lock_service* self) {
  return __atomic_add_fetch(&((service*)self)->references, 1, __ATOMIC_RELAXED);
}

/* The last reference gives back whatever its callers still hold. */
static uint32_t Release(wendlemoor_lock_service* self) {
  service* s = (service*)self;
  const uint32_t left = __atomic_sub_fetch(&s->references, 1, __ATOMIC_ACQ_REL);
  if (left == 0) {
    pthread_mutex_lock(&g_mutex);
    DropHolds(s, 0);
    pthread_mutex_unlock(&g_mutex);
    free(s);
  }
  return left;
}

static wendlemoor_result AcquireLock(wendlemoor_lock_service* self,
                                     const char* name, int wait) {
  const service* s = (const service*)self;
  if (BadName(name)) return WENDLEMOOR_ERROR_INVALID_ARGUMENT;
  const uintptr_t thread = Self();
  hold* h = calloc(1, sizeof *h);
  if (thread == 0 || h == NULL) {
    free(h);
    return WENDLEMOOR_ERROR_OUT_OF_MEMORY;
  }
  h->owner = s;
  strcpy(h->name, name);
  h->pid = getpid();
  h->thread = thread;
  h->fd = -1;
  pthread_mutex_lock(&g_mutex);
  if (FindHold(s, name, thread) != NULL) {
    pthread_mutex_unlock(&g_mutex);
    free(h);
    return WENDLEMOOR_ERROR_LOCK_WOULD_DEADLOCK;
  }
  h->next = g_holds;
  g_holds = h;
  pthread_mutex_unlock(&g_mutex);
  const wendlemoor_result code = Lock(s, h, wait);
  if (code != WENDLEMOOR_OK) {
    pthread_mutex_lock(&g_mutex);
    Unlist(h);
    pthread_mutex_unlock(&g_mutex);
    free(h);
  }
  return code;
}

static wendlemoor_result ReleaseLock(wendlemoor_lock_service* self,
                                     const char* name) {
  const service* s = (const service*)self;
  if (BadName(name)) return WENDLEMOOR_ERROR_INVALID_ARGUMENT;
  const uintptr_t thread = Self();
  pthread_mutex_lock(&g_mutex);
  hold* h = thread == 0 ? NULL : FindHold(s, name, thread);
  if (h != NULL) {
    Unlist(h);
    close(h->fd); /* gives the lock back */
  }
  pthread_mutex_unlock(&g_mutex);
  if (h == NULL) return WENDLEMOOR_ERROR_LOCK_NOT_HELD;
  free(h);
  return WENDLEMOOR_OK;
}

static const wendlemoor_lock_service_ops ops = {QueryInterface, AddRef, Release,
                                                AcquireLock, ReleaseLock};

static wendlemoor_result Create(const char* folder,
                                wendlemoor_lock_service** out) {
  if (out == NULL) return WENDLEMOOR_ERROR_INVALID_ARGUMENT;
  *out = NULL;
  /* Room in a path for the longest name in hex. */
  if (folder == NULL || folder[0] == '\0' ||
      strlen(folder) > PATH_MAX - 2 * WENDLEMOOR_LOCK_NAME_MAX - 2) {
    return WENDLEMOOR_ERROR_INVALID_ARGUMENT;
  }
  pthread_once(&g_once, Start);
  if (!g_ready) return WENDLEMOOR_ERROR_OUT_OF_MEMORY;
  service* s = calloc(1, sizeof *s + strlen(folder) + 1);
  if (s == NULL) return WENDLEMOOR_ERROR_OUT_OF_MEMORY;
  s->base.ops = &ops;
  s->references = 1;
  strcpy(s->folder, folder);
  *out = &s->base;
  return WENDLEMOOR_OK;
}

/* No cleanup (nothing outside the folder), no lease and no server. */
static const wendlemoor_module module = {
    WENDLEMOOR_MODULE_ABI_VERSION, "skeleton", Create, NULL, 0, NULL};

WENDLEMOOR_MODULE_EXPORT wendlemoor_result wendlemoor_module_entry(
    uint32_t host_abi_version, const wendlemoor_module** out);

WENDLEMOOR_MODULE_EXPORT wendlemoor_result wendlemoor_module_entry(
    uint32_t host_abi_version, const wendlemoor_module** out) {
  if (out == NULL) return WENDLEMOOR_ERROR_INVALID_ARGUMENT;
  *out = NULL;
  if (host_abi_version < WENDLEMOOR_MODULE_ABI_VERSION) {
    return WENDLEMOOR_ERROR_NOT_INITIALIZED;
  }
  *out = &module;
  return WENDLEMOOR_OK;
}
