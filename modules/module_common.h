/* What every lock module shares: the service object behind the C table of
 * components/module.h, its reference count, the checks on names, and the
 * bookkeeping that gives each hold back.
 *
 * A module describes its mechanism in a wm_mechanism: how to make the
 * name's object (a descriptor, a semaphore, a mapping) at its first use, how
 * to take the name for the calling thread and how to give it back. Each
 * module is built twice, and the two rows of the card differ only here:
 *
 * The plain build (the row named after the mechanism) measures the
 * mechanism alone. A name is checked (1 to WENDLEMOOR_LOCK_NAME_MAX bytes,
 * else WENDLEMOOR_ERROR_INVALID_ARGUMENT); then every call goes to the
 * mechanism and its answer goes back. The service only remembers, per
 * name, what each thread's hold needs to be given back (its token, a
 * descriptor), as a program keeps the descriptor of each lock it took. A
 * thread is known by a number kept in its own memory, which fork() copies:
 * the child's thread is the one that forked, as it is to a program that
 * keeps its locks in thread-local or global variables. So a holder asking
 * again gets what the mechanism answers (a record lock of its own process:
 * granted; a semaphore: a wait for itself); a release by a thread without
 * a hold hands the mechanism no token (WM_NONE) and returns what it
 * answers; the child of a fork gives back its parent's hold through the
 * mechanism; and the threads of a process meet only in the mechanism, so a
 * lock that belongs to the process lets them all in at once.
 *
 * The build with WM_WITH_TURNS (the row "<mechanism>+turns") adds what a
 * program that keeps its own per-process table of holders gets:
 *   - a holder is known by its process id and thread number, so the child
 *     of a fork is never taken for the thread that forked: its release
 *     answers WENDLEMOOR_ERROR_LOCK_NOT_HELD before the mechanism sees it;
 *   - a holder asking again gets WENDLEMOOR_ERROR_LOCK_WOULD_DEADLOCK and a
 *     release by anyone else WENDLEMOOR_ERROR_LOCK_NOT_HELD, from the table,
 *     whatever the mechanism could tell;
 *   - for a mechanism whose kernel lock belongs to the process rather than
 *     the thread (exclude_threads), the threads of the process take turns:
 *     a thread waits on a condition variable until the name is free in the
 *     process, and only then takes the kernel lock. This is the usual way to
 *     use such a lock from many threads, with its usual weakness: a thread
 *     that ends holding leaves the name taken for good.
 * Only the mechanisms whose card cells differ between the two builds get a
 * +turns row (modules/CMakeLists.txt).
 *
 * The table is per service, as a program that made two lock objects would
 * have two: two services in one process know nothing of each other's holds.
 * Nothing here heals what the mechanism does not (a removed file, a thread
 * that ended holding): the modules measure the mechanisms as people use them.
 *
 * Mutex rules: one mutex per loaded module (wm_lock/wm_unlock) guards every
 * table of every service of the module, and its condition variable wakes the
 * threads that wait for their turn at a name. No call that blocks on a lock
 * is made while holding it. Fork handlers take it around fork(), so the
 * child of a fork finds it free and its condition variable new.
 *
 * Thread safety: every function may be called from any thread. */
#ifndef WENDLEMOOR_MODULES_MODULE_COMMON_H_
#define WENDLEMOOR_MODULES_MODULE_COMMON_H_

#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

#include "components/module.h"

/* An entry's object before it is made; the token of a release by a thread
 * that holds nothing. */
#define WM_NONE ((intptr_t)-1)

/* A thread of a process: numbers are never reused within a process, and the
 * child of a fork inherits them. The +turns build compares the process id
 * too, so that a forked child is another holder; the plain build compares
 * the number alone, as the child's copy of the thread's memory does. */
typedef struct wm_thread_id {
  pid_t pid;
  uint64_t number;
} wm_thread_id;

/* A hold of a name by a thread of this process through one service. */
typedef struct wm_hold {
  struct wm_hold* next;
  wm_thread_id holder;
  /* What the hold needs to be given back (a descriptor). */
  intptr_t token;
} wm_hold;

/* One name used through one service. Mutex rules: wm_lock guards every
 * field; `name` never changes, and `object`, once made, neither, so its
 * maker and the holders of the name may read it without the mutex. */
typedef struct wm_entry {
  struct wm_entry* next;
  char name[WENDLEMOOR_LOCK_NAME_MAX + 1];
  /* The holds of the name, the latest first (with turns and
   * exclude_threads, the one thread that holds it or is taking it). A sound
   * mechanism grants a name to one thread at a time; one that fails may
   * grant it to two threads of this process, or twice to one, and each
   * grant is given back once. */
  wm_hold* holds;
  /* The name's object shared by the service's threads, WM_NONE until
   * made. */
  intptr_t object;
  /* The mechanism's own state for the name, freed by its drop. */
  void* data;
} wm_entry;

typedef struct wm_service wm_service;

typedef struct wm_mechanism {
  /* 1: the kernel lock does not keep the process's threads apart; the
   * +turns build makes them take turns (see above). */
  int exclude_threads;
  /* 1: no table at all; every valid name is granted (the negative
   * control). */
  int grant_all;
  /* Makes e->object; called with the mutex held, never blocks on a lock.
   * May be null. */
  wendlemoor_result (*prepare)(wm_service* s, wm_entry* e);
  /* Takes the name for the calling thread, blocking when `wait` is
   * non-zero; stores what the release needs in *token. Called without the
   * mutex. WENDLEMOOR_ERROR_LOCK_BUSY when `wait` is 0 and it is held. */
  wendlemoor_result (*take)(wm_service* s, wm_entry* e, int wait,
                            intptr_t* token);
  /* Gives back a hold; called with the mutex held, never blocks. `token`
   * is WM_NONE when the caller holds nothing (the plain build asks the
   * mechanism all the same). */
  wendlemoor_result (*give)(wm_service* s, wm_entry* e, intptr_t token);
  /* Frees e->object and e->data when the service goes; may be null. */
  void (*drop)(wm_entry* e);
} wm_mechanism;

struct wm_service {
  wendlemoor_lock_service base; /* first: the host sees only this */
  const wm_mechanism* mechanism;
  /* 1 in the +turns build: the table decides the misuse and fork answers
   * and makes threads take turns; 0: the mechanism answers. */
  int turns;
  char* folder;
  uint32_t refs; /* atomic */
  wm_entry* entries;
};

/* Creates a service over `folder` (copied), with the table's turns and
 * answers when `turns` is 1. */
wendlemoor_result wm_create_service(const wm_mechanism* mechanism, int turns,
                                    const char* folder,
                                    wendlemoor_lock_service** out);

void wm_lock(void);
void wm_unlock(void);

/* The failure code for `error` (an errno value). */
wendlemoor_result wm_code_from_errno(int error);

/* "<folder>/<name in lower-case hex><suffix>" into `path` (PATH_MAX bytes);
 * hex keeps any name bytes inside the folder, and distinct names apart. */
void wm_lock_file_path(const wm_service* s, const char* name,
                       const char* suffix, char* path);

/* Writes `name` as lower-case hex into `out` (2 * length + 1 bytes). */
void wm_hex(const char* name, char* out);

/* open(path, flags | O_CLOEXEC | O_NOFOLLOW, 0600); when the folder is gone
 * and O_CREAT is asked, makes the folder (0700) again and retries, as a
 * program that makes its lock folder when missing does. Returns the
 * descriptor, or -1 with errno set. */
int wm_open_in_folder(const wm_service* s, const char* path, int flags);

/* FNV-1a over `text`: folder-derived names outside the folder. */
uint64_t wm_hash(const char* text);

/* Retries `call` while it fails with EINTR: signals never end a wait. */
#define WM_RETRY(result, call) \
  do {                         \
    (result) = (call);         \
  } while ((result) == -1 && errno == EINTR)

/* The build with the table's turns and answers names itself so. */
#ifdef WM_WITH_TURNS
#define WM_TURNS 1
#define WM_NAME_SUFFIX "+turns"
#else
#define WM_TURNS 0
#define WM_NAME_SUFFIX ""
#endif

/* The module's entry point and description, in one line per module. */
#define WM_DEFINE_MODULE(module_name, mechanism, cleanup_fn)          \
  static wendlemoor_result wm_create(const char* folder,              \
                                     wendlemoor_lock_service** out) { \
    return wm_create_service(&(mechanism), WM_TURNS, folder, out);    \
  }                                                                   \
  WM_DEFINE_ENTRY(module_name, wm_create, cleanup_fn, NULL)

/* The same for a module that makes its services itself (create_fn, which
 * calls wm_create_service) and may need a lock server of the kind `server`
 * (components/module.h; NULL for none). */
#define WM_DEFINE_ENTRY(module_name, create_fn, cleanup_fn, server)          \
  static const wendlemoor_module wm_module = {WENDLEMOOR_MODULE_ABI_VERSION, \
                                              module_name WM_NAME_SUFFIX,    \
                                              create_fn,                     \
                                              cleanup_fn,                    \
                                              0,                             \
                                              server};                       \
  WENDLEMOOR_MODULE_EXPORT wendlemoor_result wendlemoor_module_entry(        \
      uint32_t host_abi_version, const wendlemoor_module** module);          \
  WENDLEMOOR_MODULE_EXPORT wendlemoor_result wendlemoor_module_entry(        \
      uint32_t host_abi_version, const wendlemoor_module** module) {         \
    if (module == NULL) return WENDLEMOOR_ERROR_INVALID_ARGUMENT;            \
    *module = NULL;                                                          \
    if (host_abi_version < 1) return WENDLEMOOR_ERROR_NOT_INITIALIZED;       \
    *module = &wm_module;                                                    \
    return WENDLEMOOR_OK;                                                    \
  }

#endif /* WENDLEMOOR_MODULES_MODULE_COMMON_H_ */
