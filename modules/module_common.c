/* The service object, its table and its fork handlers, shared by every
 * module (module_common.h tells what and why). */
#include "modules/module_common.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

/* Mutex rules: g_mutex guards every service's entries; g_changed is
 * broadcast whenever a name that threads may wait for their turn at is
 * given back. */
static pthread_mutex_t g_mutex = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t g_changed = PTHREAD_COND_INITIALIZER;
static pthread_once_t g_once = PTHREAD_ONCE_INIT;
static int g_fork_handlers = 0; /* written once, under g_once */

static atomic_uint_fast64_t g_next_thread = 1;
static _Thread_local uint64_t t_number;

/* The forking thread holds the mutex across fork(), so the child gets it in
 * a known state. The child's condition variable is made anew: the waiters it
 * knew of are threads the child does not have, and a broadcast could wait
 * for them. */
static void ForkPrepare(void) { pthread_mutex_lock(&g_mutex); }
static void ForkParent(void) { pthread_mutex_unlock(&g_mutex); }
static void ForkChild(void) {
  pthread_mutex_unlock(&g_mutex);
  pthread_cond_init(&g_changed, NULL);
}
static void RegisterForkHandlers(void) {
  g_fork_handlers = pthread_atfork(ForkPrepare, ForkParent, ForkChild) == 0;
}

void wm_lock(void) { pthread_mutex_lock(&g_mutex); }
void wm_unlock(void) { pthread_mutex_unlock(&g_mutex); }

static wm_thread_id Self(void) {
  if (t_number == 0) t_number = atomic_fetch_add(&g_next_thread, 1);
  wm_thread_id self = {getpid(), t_number};
  return self;
}

/* Whether `a` and `b` are one holder: with turns, one thread of one
 * process; without, one thread number, which a forked child shares. */
static int Same(const wm_service* s, wm_thread_id a, wm_thread_id b) {
  return a.number == b.number && (!s->turns || a.pid == b.pid);
}

wendlemoor_result wm_code_from_errno(int error) {
  if (error == ENOMEM) return WENDLEMOOR_ERROR_OUT_OF_MEMORY;
  return WENDLEMOOR_ERROR_SYSTEM_BASE | ((uint32_t)error & 0xffffu);
}

static wendlemoor_result CheckName(const char* name) {
  if (name == NULL || name[0] == '\0' ||
      strnlen(name, WENDLEMOOR_LOCK_NAME_MAX + 1) > WENDLEMOOR_LOCK_NAME_MAX) {
    return WENDLEMOOR_ERROR_INVALID_ARGUMENT;
  }
  return WENDLEMOOR_OK;
}

void wm_hex(const char* name, char* out) {
  static const char kDigits[] = "0123456789abcdef";
  for (const unsigned char* p = (const unsigned char*)name; *p != 0; ++p) {
    *out++ = kDigits[*p >> 4];
    *out++ = kDigits[*p & 15];
  }
  *out = '\0';
}

void wm_lock_file_path(const wm_service* s, const char* name,
                       const char* suffix, char* path) {
  char hex[2 * WENDLEMOOR_LOCK_NAME_MAX + 1];
  wm_hex(name, hex);
  snprintf(path, PATH_MAX, "%s/%s%s", s->folder, hex, suffix);
}

int wm_open_in_folder(const wm_service* s, const char* path, int flags) {
  for (int attempt = 0;; ++attempt) {
    int fd;
    WM_RETRY(fd, open(path, flags | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (fd != -1 || errno != ENOENT || !(flags & O_CREAT) || attempt == 100) {
      return fd;
    }
    if (mkdir(s->folder, 0700) != 0 && errno != EEXIST) return -1;
  }
}

uint64_t wm_hash(const char* text) {
  uint64_t hash = 14695981039346656037ull;
  for (const unsigned char* p = (const unsigned char*)text; *p != 0; ++p) {
    hash = (hash ^ *p) * 1099511628211ull;
  }
  return hash;
}

/* The entry for `name`, added when missing; null when memory runs out.
 * REQUIRES: the mutex held. */
static wm_entry* FindEntry(wm_service* s, const char* name, int add) {
  for (wm_entry* e = s->entries; e != NULL; e = e->next) {
    if (strcmp(e->name, name) == 0) return e;
  }
  if (!add) return NULL;
  wm_entry* e = calloc(1, sizeof *e);
  if (e == NULL) return NULL;
  strcpy(e->name, name);
  e->object = WM_NONE;
  e->next = s->entries;
  s->entries = e;
  return e;
}

static wendlemoor_result QueryInterface(wendlemoor_lock_service* self,
                                        const wendlemoor_interface_id* iid,
                                        void** result) {
  static const wendlemoor_interface_id kLock = WENDLEMOOR_LOCK_SERVICE_IID;
  static const wendlemoor_interface_id kBase = WENDLEMOOR_BASE_IID;
  if (result == NULL) return WENDLEMOOR_ERROR_INVALID_ARGUMENT;
  *result = NULL;
  if (iid == NULL) return WENDLEMOOR_ERROR_INVALID_ARGUMENT;
  if (memcmp(iid, &kLock, sizeof kLock) != 0 &&
      memcmp(iid, &kBase, sizeof kBase) != 0) {
    return WENDLEMOOR_ERROR_NO_INTERFACE;
  }
  self->ops->add_ref(self);
  *result = self;
  return WENDLEMOOR_OK;
}

static uint32_t AddRef(wendlemoor_lock_service* self) {
  wm_service* s = (wm_service*)self;
  return __atomic_add_fetch(&s->refs, 1, __ATOMIC_RELAXED);
}

/* The calling thread's latest hold of `e`, or null. REQUIRES: the mutex
 * held. */
static wm_hold** FindHold(const wm_service* s, wm_entry* e, wm_thread_id self) {
  for (wm_hold** h = &e->holds; *h != NULL; h = &(*h)->next) {
    if (Same(s, (*h)->holder, self)) return h;
  }
  return NULL;
}

/* Unlinks and frees the hold at `h`. REQUIRES: the mutex held. */
static void RemoveHold(wm_hold** h) {
  wm_hold* hold = *h;
  *h = hold->next;
  free(hold);
}

/* Gives back what is still held (a thread that ended holding, a caller that
 * never released), then frees each name's object. */
static void Destroy(wm_service* s) {
  wm_lock();
  for (wm_entry* e = s->entries; e != NULL;) {
    wm_entry* next = e->next;
    while (e->holds != NULL) {
      (void)s->mechanism->give(s, e, e->holds->token);
      RemoveHold(&e->holds);
    }
    if (s->mechanism->drop != NULL) s->mechanism->drop(e);
    free(e);
    e = next;
  }
  wm_unlock();
  free(s->folder);
  free(s);
}

static uint32_t Release(wendlemoor_lock_service* self) {
  wm_service* s = (wm_service*)self;
  const uint32_t left = __atomic_sub_fetch(&s->refs, 1, __ATOMIC_ACQ_REL);
  if (left == 0) Destroy(s);
  return left;
}

static wendlemoor_result AcquireLock(wendlemoor_lock_service* self,
                                     const char* name, int wait) {
  wm_service* s = (wm_service*)self;
  const wm_mechanism* m = s->mechanism;
  wendlemoor_result code = CheckName(name);
  if (WENDLEMOOR_FAILED(code) || m->grant_all) return code;
  /* Made before the name is taken, so that no hold is ever lost for want of
   * memory. */
  wm_hold* hold = calloc(1, sizeof *hold);
  if (hold == NULL) return WENDLEMOOR_ERROR_OUT_OF_MEMORY;
  hold->holder = Self();
  /* Without turns, a holder asking again and the threads of a process meet
   * in the mechanism alone. */
  const int take_turns = s->turns && m->exclude_threads;
  wm_lock();
  wm_entry* e = FindEntry(s, name, 1);
  if (e == NULL || (s->turns && FindHold(s, e, hold->holder) != NULL)) {
    wm_unlock();
    free(hold);
    return e == NULL ? WENDLEMOOR_ERROR_OUT_OF_MEMORY
                     : WENDLEMOOR_ERROR_LOCK_WOULD_DEADLOCK;
  }
  if (take_turns) {
    while (e->holds != NULL) {
      if (!wait) {
        wm_unlock();
        free(hold);
        return WENDLEMOOR_ERROR_LOCK_BUSY;
      }
      pthread_cond_wait(&g_changed, &g_mutex);
    }
    /* Reserved for this thread while it takes the kernel lock. */
    e->holds = hold;
  }
  if (m->prepare != NULL && e->object == WM_NONE) code = m->prepare(s, e);
  wm_unlock();

  intptr_t token = 0;
  if (!WENDLEMOOR_FAILED(code)) code = m->take(s, e, wait, &token);

  wm_lock();
  if (take_turns) {
    if (WENDLEMOOR_FAILED(code)) {
      RemoveHold(&e->holds);
      pthread_cond_broadcast(&g_changed);
    } else {
      hold->token = token;
    }
  } else if (WENDLEMOOR_FAILED(code)) {
    free(hold);
  } else {
    hold->token = token;
    hold->next = e->holds;
    e->holds = hold;
  }
  wm_unlock();
  return code;
}

static wendlemoor_result ReleaseLock(wendlemoor_lock_service* self,
                                     const char* name) {
  wm_service* s = (wm_service*)self;
  const wm_mechanism* m = s->mechanism;
  wendlemoor_result code = CheckName(name);
  if (WENDLEMOOR_FAILED(code) || m->grant_all) return code;
  wm_lock();
  /* Without turns, a name never used here is made, as a program's release
   * would open it, and a release of what the caller does not hold is asked
   * of the mechanism all the same. */
  wm_entry* e = FindEntry(s, name, !s->turns);
  wm_hold** h = e == NULL ? NULL : FindHold(s, e, Self());
  if (h != NULL) {
    code = m->give(s, e, (*h)->token);
    RemoveHold(h);
    if (s->turns && m->exclude_threads) pthread_cond_broadcast(&g_changed);
  } else if (s->turns) {
    code = WENDLEMOOR_ERROR_LOCK_NOT_HELD;
  } else if (e == NULL) {
    code = WENDLEMOOR_ERROR_OUT_OF_MEMORY;
  } else {
    if (m->prepare != NULL && e->object == WM_NONE) code = m->prepare(s, e);
    if (!WENDLEMOOR_FAILED(code)) code = m->give(s, e, WM_NONE);
  }
  wm_unlock();
  return code;
}

static const wendlemoor_lock_service_ops kOps = {
    QueryInterface, AddRef, Release, AcquireLock, ReleaseLock};

wendlemoor_result wm_create_service(const wm_mechanism* mechanism, int turns,
                                    const char* folder,
                                    wendlemoor_lock_service** out) {
  if (out == NULL) return WENDLEMOOR_ERROR_INVALID_ARGUMENT;
  *out = NULL;
  if (folder == NULL || folder[0] == '\0' ||
      strlen(folder) > PATH_MAX - 2 * WENDLEMOOR_LOCK_NAME_MAX - 16) {
    return WENDLEMOOR_ERROR_INVALID_ARGUMENT;
  }
  pthread_once(&g_once, RegisterForkHandlers);
  if (!g_fork_handlers) return WENDLEMOOR_ERROR_OUT_OF_MEMORY;
  wm_service* s = calloc(1, sizeof *s);
  if (s == NULL) return WENDLEMOOR_ERROR_OUT_OF_MEMORY;
  s->folder = strdup(folder);
  if (s->folder == NULL) {
    free(s);
    return WENDLEMOOR_ERROR_OUT_OF_MEMORY;
  }
  s->base.ops = &kOps;
  s->mechanism = mechanism;
  s->turns = turns;
  s->refs = 1;
  *out = &s->base;
  return WENDLEMOOR_OK;
}
