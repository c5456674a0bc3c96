/* postgres-advisory-libpq: PostgreSQL's session-level advisory locks, through
 * the system's libpq, on the server that the run starts for the module (its
 * table declares the kind "postgres"; the address is in WENDLEMOOR_SERVER,
 * "unix:DIR/.s.PGSQL.PORT" or "HOST:PORT", reached as user and database
 * "postgres").
 *
 * An advisory lock belongs to a session, that is to one connection, so each
 * thread of each process has a connection of its own per service, opened at
 * its first call and kept: threads sharing one would share its locks. A
 * name is the 64-bit key made by FNV-1a over the folder's bytes, a zero
 * byte and the name's bytes, so that two runs on one server never meet (two
 * names share a key with odds of about 2^-64). A take that must not wait is
 * "SELECT pg_try_advisory_lock(KEY)" (false: busy); one that waits is
 * "SELECT pg_advisory_lock(KEY)" under the session's lock_timeout of
 * kWaitSliceMs, asked again each time the server gives up (SQLSTATE 55P03),
 * so that the request of a waiter that died lingers on the server one slice
 * at most. A lock_timeout that fires as the lock is granted (a holder's
 * release and the slice's end seen at once, as when a stopped server goes
 * on) fails the statement but leaves the session holding the lock, so after
 * each 55P03 the session's own row in pg_locks is read: a granted one is the
 * hold, and asking again would count a second. The release is "SELECT
 * pg_advisory_unlock(KEY)", whose false (the session did not hold the key) is
 * WENDLEMOOR_ERROR_LOCK_NOT_HELD.
 *
 * The server frees a session's locks when its connection ends: a process
 * that dies, SIGKILL included, gives back its names as soon as the server
 * reads the end of its sockets. A thread that ends closes its connections
 * (a pthread key's destructor), and so gives back what it held, as a
 * program that keeps one connection per thread in a thread-local object
 * does. The child of a fork gets its parent's sockets: a fork handler puts
 * /dev/null in their place in the child, so that nothing the child does,
 * nor its life after the parent's death, touches the parent's sessions; the
 * child opens sessions of its own, and its release of a hold it inherited
 * answers WENDLEMOOR_ERROR_LOCK_NOT_HELD; a fork waits for the sessions
 * being opened by other threads, so that the child has no socket the
 * handler does not know of. Sockets are close-on-exec.
 *
 * What the server answers itself: a session asking again for a key it holds
 * is granted it again (the lock counts its holds, and needs as many
 * releases), so the plain build grants a holder's second request; the
 * +turns build's table answers WENDLEMOOR_ERROR_LOCK_WOULD_DEADLOCK.
 *
 * Failures: no WENDLEMOOR_SERVER, or one that is not an address, fails
 * create_lock_service with WENDLEMOOR_ERROR_NOT_INITIALIZED; a server that
 * cannot be reached, with ECONNREFUSED as a system code; both with one line
 * on standard error. A session that breaks later answers ECONNRESET, and is
 * not used again (the thread's next call opens another); any other refusal
 * of a statement answers EIO. Each call is a round trip that waits for the
 * server: a server that stops answering (stopped, cut off) leaves the call
 * waiting, and the release waits holding the module's mutex (module_common.h
 * gives back under it). */
#include <errno.h>
#include <fcntl.h>
#include <inttypes.h>
#include <libpq-fe.h>
#include <pthread.h>
#include <stdatomic.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "modules/module_common.h"

/* How long one waiting pg_advisory_lock may wait on the server before it
 * gives up and the thread asks again. */
enum { kWaitSliceMs = 1000 };

/* A session of one thread of one process (`pid`: the child of a fork has
 * its parent's, and never uses them). Mutex rules: wm_lock guards the list,
 * `conn` (set to null when the thread ends or the session breaks) and
 * `lost`; the session is used by its thread alone, and by the service when
 * it goes. */
typedef struct session {
  struct session* next;
  pid_t pid;
  uint64_t thread;
  PGconn* conn;
  int lost; /* a fork's child closed its socket: never finished */
} session;

/* The sessions of one service, shared by its names. Mutex rules: wm_lock
 * guards every field and the list g_pools. */
typedef struct pool {
  struct pool* next;
  const wm_service* service;
  int names; /* the names whose data point here; at 0 the pool goes */
  session* sessions;
} pool;

/* A name's data (e->data): its key and its service's sessions. */
typedef struct name_data {
  int64_t key;
  pool* pool;
} name_data;

static pool* g_pools;
static pthread_once_t g_once = PTHREAD_ONCE_INIT;
static pthread_key_t g_thread_end;
static int g_ready; /* written once, under g_once */
/* Mutex rules: g_open_mutex guards g_opening, the count of sessions being
 * opened; g_opened is broadcast when it falls to 0. */
static pthread_mutex_t g_open_mutex = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t g_opened = PTHREAD_COND_INITIALIZER;
static int g_opening;

static atomic_uint_fast64_t g_next_thread = 1;
static _Thread_local uint64_t t_thread;

/* The calling thread's number: never reused, and copied into the child of a
 * fork with the thread's memory. */
static uint64_t ThisThread(void) {
  if (t_thread == 0) t_thread = atomic_fetch_add(&g_next_thread, 1);
  return t_thread;
}

static void Quiet(void* arg, const char* message) {
  (void)arg;
  (void)message; /* a false unlock's warning: its answer says it all */
}

/* Ends the calling thread's sessions, so that the server frees what they
 * held. */
static void ThreadEnds(void* value) {
  const uint64_t self = (uint64_t)(uintptr_t)value;
  wm_lock();
  for (pool* p = g_pools; p != NULL; p = p->next) {
    for (session* c = p->sessions; c != NULL; c = c->next) {
      if (c->conn != NULL && c->thread == self && c->pid == getpid()) {
        PQfinish(c->conn);
        c->conn = NULL;
      }
    }
  }
  wm_unlock();
}

/* A session is opened outside wm_lock and listed only once open: a fork
 * meanwhile would give the child a socket that no list holds, which the
 * child would keep open, and with it the parent's session after the
 * parent's death. So a fork waits until no session is being opened, and
 * holds g_open_mutex across fork(), which keeps new ones from starting. */
static void BeginOpen(void) {
  pthread_mutex_lock(&g_open_mutex);
  ++g_opening;
  pthread_mutex_unlock(&g_open_mutex);
}
static void EndOpen(void) {
  pthread_mutex_lock(&g_open_mutex);
  if (--g_opening == 0) pthread_cond_broadcast(&g_opened);
  pthread_mutex_unlock(&g_open_mutex);
}
static void ForkPrepare(void) {
  pthread_mutex_lock(&g_open_mutex);
  while (g_opening > 0) pthread_cond_wait(&g_opened, &g_open_mutex);
}
static void ForkParent(void) { pthread_mutex_unlock(&g_open_mutex); }

/* In the child of a fork, the parent's sockets become /dev/null: libpq may
 * still free its objects (its goodbye then goes nowhere), and the parent's
 * sessions end when the parent does, whatever the child does. A socket that
 * cannot be replaced is closed, and its session never finished here (its
 * descriptor's number may be reused). Runs after module_common's handler has
 * given the child its mutex. */
static void ForkChild(void) {
  pthread_mutex_unlock(&g_open_mutex);
  pthread_cond_init(&g_opened, NULL); /* its waiters are not in the child */
  wm_lock();
  const int null_fd = open("/dev/null", O_RDWR | O_CLOEXEC);
  for (pool* p = g_pools; p != NULL; p = p->next) {
    for (session* c = p->sessions; c != NULL; c = c->next) {
      const int fd = c->conn != NULL && !c->lost ? PQsocket(c->conn) : -1;
      if (fd >= 0 && (null_fd < 0 || dup3(null_fd, fd, O_CLOEXEC) == -1)) {
        (void)close(fd); /* never retried: the descriptor goes anyway */
        c->lost = 1;
      }
    }
  }
  if (null_fd >= 0) (void)close(null_fd);
  wm_unlock();
}

static void Once(void) {
  g_ready = pthread_key_create(&g_thread_end, ThreadEnds) == 0;
  if (g_ready && pthread_atfork(ForkPrepare, ForkParent, ForkChild) != 0) {
    (void)pthread_key_delete(g_thread_end);
    g_ready = 0;
  }
}

/* The key's destructor is this library's code: the key goes with it. */
__attribute__((destructor)) static void Unloaded(void) {
  if (g_ready) (void)pthread_key_delete(g_thread_end);
}

/* The server's host (a socket's folder, or a host name) and port from
 * WENDLEMOOR_SERVER; 0 when it is missing or not an address. */
static int ServerAddress(char* host, size_t host_size, char* port) {
  const char* value = getenv("WENDLEMOOR_SERVER");
  if (value == NULL) return 0;
  const int unix_socket = strncmp(value, "unix:", 5) == 0;
  if (unix_socket) value += 5;
  /* unix:DIR/.s.PGSQL.PORT, or HOST:PORT */
  const char* split = strrchr(value, unix_socket ? '/' : ':');
  if (split == NULL || split == value) return 0;
  const char* digits = split + 1;
  if (unix_socket) {
    if (strncmp(digits, ".s.PGSQL.", 9) != 0) return 0;
    digits += 9;
  }
  const size_t length = strlen(digits);
  if (length == 0 || length > 5 || strspn(digits, "0123456789") != length ||
      (size_t)(split - value) >= host_size) {
    return 0;
  }
  memcpy(host, value, (size_t)(split - value));
  host[split - value] = '\0';
  strcpy(port, digits);
  return 1;
}

/* A new session, or null with the cause in `*code` (and, when `say`, one
 * line on standard error). */
static PGconn* Open(int say, wendlemoor_result* code) {
  char host[4096];
  char port[8];
  if (!ServerAddress(host, sizeof host, port)) {
    if (say) {
      fprintf(stderr,
              "postgres-advisory-libpq: no server: WENDLEMOOR_SERVER is %s\n",
              getenv("WENDLEMOOR_SERVER") ? "not an address" : "not set");
    }
    *code = WENDLEMOOR_ERROR_NOT_INITIALIZED;
    return NULL;
  }
  static const char* const kKeys[] = {"host",    "port",    "user",
                                      "dbname",  "options", "connect_timeout",
                                      "sslmode", NULL};
  char options[40];
  snprintf(options, sizeof options, "-c lock_timeout=%d", kWaitSliceMs);
  const char* values[] = {host,    port, "postgres", "postgres",
                          options, "10", "disable",  NULL};
  PGconn* conn = PQconnectdbParams(kKeys, values, 0);
  if (conn == NULL) {
    *code = WENDLEMOOR_ERROR_OUT_OF_MEMORY;
    return NULL;
  }
  if (PQstatus(conn) != CONNECTION_OK) {
    if (say) {
      const char* message = PQerrorMessage(conn);
      fprintf(stderr, "postgres-advisory-libpq: %s: %.*s\n",
              getenv("WENDLEMOOR_SERVER"), (int)strcspn(message, "\n"),
              message);
    }
    PQfinish(conn);
    *code = wm_code_from_errno(ECONNREFUSED);
    return NULL;
  }
  const int fd = PQsocket(conn);
  const int flags = fcntl(fd, F_GETFD);
  if (flags == -1 || fcntl(fd, F_SETFD, flags | FD_CLOEXEC) == -1) {
    *code = wm_code_from_errno(errno);
    PQfinish(conn);
    return NULL;
  }
  PQsetNoticeProcessor(conn, Quiet, NULL);
  return conn;
}

/* The calling thread's session of `p`, or null. REQUIRES: wm_lock. */
static session* Find(pool* p) {
  const uint64_t self = ThisThread();
  for (session* c = p->sessions; c != NULL; c = c->next) {
    if (c->conn != NULL && c->thread == self && c->pid == getpid()) return c;
  }
  return NULL;
}

/* The calling thread's session of `p`, opened when it has none. */
static wendlemoor_result Session(pool* p, session** out) {
  wm_lock();
  *out = Find(p);
  wm_unlock();
  if (*out != NULL) return WENDLEMOOR_OK;
  session* c = calloc(1, sizeof *c);
  if (c == NULL) return WENDLEMOOR_ERROR_OUT_OF_MEMORY;
  wendlemoor_result code = WENDLEMOOR_OK;
  BeginOpen();
  c->conn = Open(0, &code);
  c->pid = getpid();
  c->thread = ThisThread();
  /* The thread's end ends its sessions. */
  if (c->conn != NULL &&
      pthread_setspecific(g_thread_end, (void*)(uintptr_t)c->thread) != 0) {
    PQfinish(c->conn);
    c->conn = NULL;
    code = WENDLEMOOR_ERROR_OUT_OF_MEMORY;
  }
  if (c->conn != NULL) {
    wm_lock();
    c->next = p->sessions;
    p->sessions = c;
    wm_unlock();
  }
  EndOpen();
  if (c->conn == NULL) {
    free(c);
    return code;
  }
  *out = c;
  return WENDLEMOOR_OK;
}

/* Runs "SELECT call(KEY)" on `c`. Returns 1 for true, 0 for false, or -1
 * with the failure in `*code`; `*sqlstate` gets the server's code of a
 * refusal ("" for none). */
static int Ask(session* c, const char* call, int64_t key,
               wendlemoor_result* code, char sqlstate[6]) {
  char query[80];
  snprintf(query, sizeof query, "SELECT %s(%" PRId64 ")", call, key);
  sqlstate[0] = '\0';
  PGresult* result = PQexec(c->conn, query);
  int answer = -1;
  if (result != NULL && PQresultStatus(result) == PGRES_TUPLES_OK &&
      PQntuples(result) == 1 && PQnfields(result) == 1) {
    answer = PQgetvalue(result, 0, 0)[0] == 't';
  } else if (PQstatus(c->conn) != CONNECTION_OK) {
    *code = wm_code_from_errno(ECONNRESET);
  } else if (result == NULL) {
    *code = WENDLEMOOR_ERROR_OUT_OF_MEMORY;
  } else {
    const char* state = PQresultErrorField(result, PG_DIAG_SQLSTATE);
    if (state != NULL) snprintf(sqlstate, 6, "%s", state);
    *code = wm_code_from_errno(EIO);
  }
  PQclear(result);
  return answer;
}

/* 1 when the session holds the advisory lock `key` (pg_locks shows a
 * bigint key's high half as classid, its low half as objid, objsubid 1), 0
 * when it does not, -1 with `*code` when the server did not say. */
static int HeldBySession(session* c, int64_t key, wendlemoor_result* code) {
  char query[256];
  const uint64_t bits = (uint64_t)key;
  snprintf(query, sizeof query,
           "SELECT EXISTS (SELECT 1 FROM pg_locks WHERE locktype = 'advisory'"
           " AND pid = pg_backend_pid() AND granted AND classid = %" PRIu32
           " AND objid = %" PRIu32 " AND objsubid = 1)",
           (uint32_t)(bits >> 32), (uint32_t)bits);
  PGresult* result = PQexec(c->conn, query);
  int held = -1;
  if (result != NULL && PQresultStatus(result) == PGRES_TUPLES_OK &&
      PQntuples(result) == 1 && PQnfields(result) == 1) {
    held = PQgetvalue(result, 0, 0)[0] == 't';
  } else {
    *code = wm_code_from_errno(PQstatus(c->conn) != CONNECTION_OK ? ECONNRESET
                                                                  : EIO);
  }
  PQclear(result);
  return held;
}

/* A broken session is not used again; its thread opens another. REQUIRES:
 * wm_lock. */
static void DropIfBroken(session* c) {
  if (c->conn != NULL && PQstatus(c->conn) != CONNECTION_OK) {
    PQfinish(c->conn);
    c->conn = NULL;
  }
}

static wendlemoor_result Prepare(wm_service* s, wm_entry* e) {
  name_data* d = calloc(1, sizeof *d);
  if (d == NULL) return WENDLEMOOR_ERROR_OUT_OF_MEMORY;
  pool* p = g_pools;
  while (p != NULL && p->service != s) p = p->next;
  if (p == NULL) {
    p = calloc(1, sizeof *p);
    if (p == NULL) {
      free(d);
      return WENDLEMOOR_ERROR_OUT_OF_MEMORY;
    }
    p->service = s;
    p->next = g_pools;
    g_pools = p;
  }
  ++p->names;
  /* FNV-1a over the folder, a zero byte and the name. */
  uint64_t hash = wm_hash(s->folder) * 1099511628211ull;
  for (const unsigned char* b = (const unsigned char*)e->name; *b; ++b) {
    hash = (hash ^ *b) * 1099511628211ull;
  }
  d->key = (int64_t)hash;
  d->pool = p;
  e->data = d;
  e->object = 0;
  return WENDLEMOOR_OK;
}

static wendlemoor_result Take(wm_service* s, wm_entry* e, int wait,
                              intptr_t* token) {
  (void)s;
  const name_data* d = e->data;
  session* c = NULL;
  wendlemoor_result code = Session(d->pool, &c);
  if (WENDLEMOOR_FAILED(code)) return code;
  char sqlstate[6];
  for (;;) {
    const int answer =
        Ask(c, wait ? "pg_advisory_lock" : "pg_try_advisory_lock", d->key,
            &code, sqlstate);
    if (answer == 1 || (wait && answer == 0)) {
      *token = (intptr_t)c;
      return WENDLEMOOR_OK;
    }
    if (answer == 0) return WENDLEMOOR_ERROR_LOCK_BUSY;
    /* lock_not_available: the slice ran out; the wait goes on, unless the
     * lock came with the timeout. */
    if (!wait || strcmp(sqlstate, "55P03") != 0) break;
    const int held = HeldBySession(c, d->key, &code);
    if (held == 1) {
      *token = (intptr_t)c;
      return WENDLEMOOR_OK;
    }
    if (held < 0) break;
  }
  wm_lock();
  DropIfBroken(c);
  wm_unlock();
  return code;
}

/* Gives back the hold of session `token`, or, for a thread that holds
 * nothing, asks its own session (which the server answers false). */
static wendlemoor_result Give(wm_service* s, wm_entry* e, intptr_t token) {
  (void)s;
  const name_data* d = e->data;
  session* c = token != WM_NONE ? (session*)token : Find(d->pool);
  /* None, one whose thread ended or that broke (the server freed its
   * locks), or one the child of a fork inherited. */
  if (c == NULL || c->conn == NULL || c->pid != getpid()) {
    return WENDLEMOOR_ERROR_LOCK_NOT_HELD;
  }
  wendlemoor_result code = WENDLEMOOR_OK;
  char sqlstate[6];
  const int answer = Ask(c, "pg_advisory_unlock", d->key, &code, sqlstate);
  if (answer < 0) {
    DropIfBroken(c);
    return code;
  }
  return answer == 1 ? WENDLEMOOR_OK : WENDLEMOOR_ERROR_LOCK_NOT_HELD;
}

/* The name's data; the pool and its sessions with the service's last name
 * (the holds of every name were given back before). */
static void Drop(wm_entry* e) {
  name_data* d = e->data;
  if (d == NULL) return;
  pool* p = d->pool;
  free(d);
  e->data = NULL;
  if (--p->names > 0) return;
  pool** link = &g_pools;
  while (*link != p) link = &(*link)->next;
  *link = p->next;
  for (session* c = p->sessions; c != NULL;) {
    session* next = c->next;
    if (c->conn != NULL && !c->lost) PQfinish(c->conn);
    free(c);
    c = next;
  }
  free(p);
}

static const wm_mechanism kMechanism = {0, 0, Prepare, Take, Give, Drop};

/* A service, once one session to the server has opened: a run without its
 * server fails here, with a line, rather than at every call. */
static wendlemoor_result Create(const char* folder,
                                wendlemoor_lock_service** out) {
  if (out == NULL) return WENDLEMOOR_ERROR_INVALID_ARGUMENT;
  *out = NULL;
  wendlemoor_result code =
      wm_create_service(&kMechanism, WM_TURNS, folder, out);
  if (WENDLEMOOR_FAILED(code)) return code;
  /* After module_common's fork handlers, so that our child handler runs
   * after its own has released the mutex. */
  pthread_once(&g_once, Once);
  PGconn* probe = NULL;
  if (g_ready) {
    BeginOpen();
    probe = Open(1, &code);
    PQfinish(probe);
    EndOpen();
  } else {
    code = WENDLEMOOR_ERROR_OUT_OF_MEMORY;
  }
  if (probe == NULL) {
    (*out)->ops->release(*out);
    *out = NULL;
    return code;
  }
  return WENDLEMOOR_OK;
}

WM_DEFINE_ENTRY("postgres-advisory-libpq", Create, NULL, "postgres")
