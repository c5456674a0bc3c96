/* sqlite-exclusive: an exclusive transaction of an SQLite database (the
 * system's libsqlite3), one database file per name, as programs that use a
 * database file as their lock do.
 *
 * Each name is the database "<folder>/<hex of the name>". A thread takes it
 * with BEGIN EXCLUSIVE on a connection of its own to that database, opened
 * at the thread's first use of the name and kept (one connection per thread
 * and name: a connection is not to be shared by threads that each run a
 * transaction), and gives it back with COMMIT. A thread that must wait sets
 * a busy timeout and asks again each time SQLite answers SQLITE_BUSY after
 * it: SQLite's busy handler sleeps between its tries, so the wait never
 * spins. A thread that must not wait sets no timeout: SQLITE_BUSY is busy.
 *
 * SQLite itself keeps the threads and the connections of a process apart:
 * its Unix layer locks the file with fcntl record locks, which belong to
 * the process, and counts in a table of the process which of its
 * connections holds what, so two connections of one process, one thread's
 * and another's or two services', exclude each other as two processes do.
 * The kernel frees a dead holder's record locks.
 *
 * This row has no table of holders: SQLite answers everything. A holder
 * asking again runs BEGIN inside its own transaction, which SQLite refuses
 * at once ("cannot start a transaction within a transaction"), answered
 * WENDLEMOOR_ERROR_LOCK_WOULD_DEADLOCK; a COMMIT with no transaction is
 * refused too ("cannot commit - no transaction is active"), answered
 * WENDLEMOOR_ERROR_LOCK_NOT_HELD. Other SQLite failures are the system
 * error SQLite saw (sqlite3_system_errno), or EIO.
 *
 * What it does not claim: a thread that ends holding leaves its connection
 * open inside its transaction, and the name taken until the process ends.
 * The child of a fork has its parent's connections, which SQLite's
 * documentation says not to use there: its COMMIT of the parent's
 * transaction fails (SQLITE_IOERR_RDLOCK: the parent's record lock keeps it
 * from stepping down to a read lock; answered as EIO) and frees nothing of
 * the parent's, and its BEGIN EXCLUSIVE finds the parent's lock. SQLite has
 * no fork handlers, so a fork while another thread is inside SQLite may
 * leave the child waiting for a mutex that thread held. A file
 * removed while connections keep it open leaves them locking a file that is
 * no longer the name's: two holders. A close() of any descriptor of the
 * file by the process, outside SQLite, drops SQLite's record locks. */
#include <errno.h>
#include <limits.h>
#include <sqlite3.h>
#include <stdatomic.h>
#include <stdint.h>
#include <stdlib.h>
#include <sys/stat.h>

#include "modules/module_common.h"

/* How long one BEGIN EXCLUSIVE lets SQLite's busy handler wait before it
 * answers SQLITE_BUSY and a waiting thread asks again. */
enum { kBusyTimeoutMs = 1000 };

/* The connections of the threads of this process to a name's database.
 * Mutex rules: wm_lock guards the list (e->data); a connection is used by
 * its thread alone, and by the service when it goes. */
typedef struct connection {
  struct connection* next;
  uint64_t thread;
  sqlite3* db;
} connection;

static atomic_uint_fast64_t g_next_thread = 1;
static _Thread_local uint64_t t_thread;

/* The calling thread's number: numbers are never reused, and the child of
 * a fork has the number of the thread that forked, as it has its memory. */
static uint64_t ThisThread(void) {
  if (t_thread == 0) t_thread = atomic_fetch_add(&g_next_thread, 1);
  return t_thread;
}

/* The calling thread's connection to `e`, or null. REQUIRES: wm_lock. */
static sqlite3* FindConnection(wm_entry* e) {
  const uint64_t self = ThisThread();
  for (connection* c = e->data; c != NULL; c = c->next) {
    if (c->thread == self) return c->db;
  }
  return NULL;
}

/* A failure of `db` as a result code: the system error under it, else
 * EIO. */
static wendlemoor_result CodeOf(sqlite3* db, int rc) {
  if (rc == SQLITE_NOMEM) return WENDLEMOOR_ERROR_OUT_OF_MEMORY;
  const int error = db != NULL ? sqlite3_system_errno(db) : 0;
  return wm_code_from_errno(error != 0 ? error : EIO);
}

/* Opens a connection of the calling thread to `e`'s database, making the
 * folder again when a cleaner removed it, and adds it to `e`'s list. */
static wendlemoor_result Connect(wm_service* s, wm_entry* e, sqlite3** out) {
  char path[PATH_MAX];
  wm_lock_file_path(s, e->name, "", path);
  connection* c = calloc(1, sizeof *c);
  if (c == NULL) return WENDLEMOOR_ERROR_OUT_OF_MEMORY;
  sqlite3* db = NULL;
  int rc = SQLITE_CANTOPEN;
  for (int attempt = 0; attempt < 10 && rc == SQLITE_CANTOPEN; ++attempt) {
    if (db != NULL) {
      (void)mkdir(s->folder, 0700); /* EEXIST and others: opened again */
      sqlite3_close_v2(db);
      db = NULL;
    }
    rc = sqlite3_open_v2(path, &db,
                         SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE |
                             SQLITE_OPEN_NOFOLLOW | SQLITE_OPEN_FULLMUTEX,
                         NULL);
  }
  if (rc != SQLITE_OK) {
    const wendlemoor_result code = CodeOf(db, rc);
    sqlite3_close_v2(db);
    free(c);
    return code;
  }
  c->thread = ThisThread();
  c->db = db;
  wm_lock();
  c->next = e->data;
  e->data = c;
  wm_unlock();
  *out = db;
  return WENDLEMOOR_OK;
}

static wendlemoor_result Take(wm_service* s, wm_entry* e, int wait,
                              intptr_t* token) {
  wm_lock();
  sqlite3* db = FindConnection(e);
  wm_unlock();
  if (db == NULL) {
    const wendlemoor_result code = Connect(s, e, &db);
    if (WENDLEMOOR_FAILED(code)) return code;
  }
  sqlite3_busy_timeout(db, wait ? kBusyTimeoutMs : 0);
  for (;;) {
    const int rc = sqlite3_exec(db, "BEGIN EXCLUSIVE", NULL, NULL, NULL);
    if (rc == SQLITE_OK) {
      *token = (intptr_t)db;
      return WENDLEMOOR_OK;
    }
    if ((rc & 0xff) == SQLITE_BUSY) {
      if (wait) continue; /* the busy handler has slept its timeout */
      return WENDLEMOOR_ERROR_LOCK_BUSY;
    }
    /* The connection's own transaction is open: SQLite refused a second. */
    if (rc == SQLITE_ERROR && !sqlite3_get_autocommit(db)) {
      return WENDLEMOOR_ERROR_LOCK_WOULD_DEADLOCK;
    }
    return CodeOf(db, rc);
  }
}

/* Commits the transaction of the connection that took the hold, or, for a
 * thread that holds nothing, of its own connection: SQLite refuses a COMMIT
 * with no transaction. */
static wendlemoor_result Give(wm_service* s, wm_entry* e, intptr_t token) {
  (void)s;
  sqlite3* db = token != WM_NONE ? (sqlite3*)token : FindConnection(e);
  if (db == NULL) return WENDLEMOOR_ERROR_LOCK_NOT_HELD;
  const int rc = sqlite3_exec(db, "COMMIT", NULL, NULL, NULL);
  if (rc == SQLITE_OK) return WENDLEMOOR_OK;
  if (rc == SQLITE_ERROR && sqlite3_get_autocommit(db)) {
    return WENDLEMOOR_ERROR_LOCK_NOT_HELD;
  }
  return CodeOf(db, rc);
}

/* Closes every connection to the name (their holds were committed first). */
static void Drop(wm_entry* e) {
  for (connection* c = e->data; c != NULL;) {
    connection* next = c->next;
    sqlite3_close_v2(c->db);
    free(c);
    c = next;
  }
  e->data = NULL;
}

static const wm_mechanism kMechanism = {0, 0, NULL, Take, Give, Drop};

WM_DEFINE_MODULE("sqlite-exclusive", kMechanism, NULL)
