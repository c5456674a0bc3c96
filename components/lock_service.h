// The lock service: named locks, exclusive across every thread of every process
// of one user on this machine.
//
// Mechanism. Each name has one lock file in a private lock folder. A thread
// acquires a name by taking a write lock on the whole file through an open
// file description of its own, with the kernel's open-file-description locks
// (fcntl F_OFD_SETLKW, or F_OFD_SETLK when the caller must not block). Such a
// lock belongs to the open file description, not to the process, so two
// threads of one process exclude each other exactly as two processes do.
// Releasing unlocks; the description is then kept open for the next
// acquisition of the name by any thread of the process, so that a warm
// acquire is one fcntl and one fstat (see below) and a release one fcntl
// (components/lock_file_table.h says what is kept, for how long, and who may
// use it). When a holder dies for any reason, SIGKILL included, the kernel
// closes its descriptors and the lock is free again at once. A waiter sleeps in
// the kernel until the lock is handed to it: waiting costs no CPU, and nothing
// polls. Where the kernel lacks open-file-description locks (EINVAL), flock(2)
// on the same descriptor gives the same ownership and is used instead.
//
// Holders that end. A thread that ends (returns or calls pthread_exit) while
// holding names gives them back as it ends, as if by ReleaseLock. The child of
// a fork() without exec closes, in the fork itself, every lock file descriptor
// it inherited: the parent's locks die with the parent, and the child holds
// none of them, cannot release them, and may take any name afresh. (The child
// shares them only until it first runs, when its fork handler closes them.)
//
// Files and folder removed. Once the kernel lock is taken, one fstat of the
// description tells whether its file is still linked. A file removed since it
// was opened (by a cleaner, "rm -rf /tmp/*", a rename over it) is no longer
// the name's file: that lock is given back, the description closed, and the
// name taken again on the file that is there now, created if need be. When
// the folder is gone too, it is made afresh and passes every check below
// (ours, private, no link, its shared lock); a folder that someone else made
// in its place is refused with kErrorLockFolderUnusable, nothing in it
// touched. So a lock file or the folder removed while nobody holds the name
// heals at the next acquisition, whether the file was kept open or not, and
// a long-lived service goes on without a restart. A call with wait 0 goes
// round the same way and still never blocks on the name; a removed file that
// is busy does not make the name busy.
//
// What it refuses. Classic per-process fcntl locks (F_SETLK) are never used:
// they belong to the process, so any close() of any descriptor of the same file
// in the process silently drops them, and threads of one process do not
// exclude each other. Lock files are never unlinked by the service: only a
// holder could do it, and a file removed while it is held breaks exclusion
// (see Limits). Every descriptor is close-on-exec, so a child launched while a
// lock is held never holds it. Lock files are opened without following
// symbolic links and must be regular files owned by the user (checked each
// time a file is opened; a kept description is checked again only for being
// linked); a file we may not open counts as not ours. The lock folder must be a
// real folder (not a symbolic link) owned by the user with no access for group
// or others; otherwise every call fails with kErrorLockFolderUnusable and
// nothing in or behind the folder is touched. Folder and files get modes 0700
// and 0600 whatever the umask.
//
// The folder. By default "/tmp/wendlemoor-locks-<uid>", chosen from the user
// id alone, so every process of the user agrees on it whatever its session,
// environment or start time. While an instance uses the folder it holds a
// shared BSD lock (flock LOCK_SH) on it; age-based cleaners that take the
// folder's lock before cleaning it (systemd-tmpfiles does) leave it alone;
// what one that ignores the lock removes heals as said above.
//
// Names. A name is any NUL-terminated string of 1 to kLockNameMax bytes. The
// file name is the name with every byte other than ASCII letters, digits, '-'
// and '_' written as '%' and two upper-case hex digits, so the mapping is
// injective ("a/b", "a%2Fb" and "a_b" are three locks) and no name can leave
// the folder or be "." or ".." (components/lock_file_name.h maps both ways).
//
// Misuse. The service keeps a table of the descriptions its own callers use
// (Mutex rules: the service's mutex guards the table; no call that blocks on a
// lock is made while holding it). A thread that asks again for a name it holds
// gets kErrorLockWouldDeadlock at once instead of waiting on itself forever;
// releasing a name that the calling thread does not hold, or releasing twice,
// gets kErrorLockNotHeld. Thread identities are never reused, so no later
// thread can release an ended thread's lock.
//
// Limits. The check against waiting on oneself sees one instance's table: a
// thread that holds a name through one instance and asks for it through
// another waits for itself. (The driver uses the registry's one instance.) A
// "/tmp/wendlemoor-locks-<uid>" made by another user first (a squatter) is
// refused, and the service is then unusable for this user until it is
// removed: it fails closed, never shares. Processes of the user must run on
// one machine with one /tmp; a private /tmp (a mount namespace) is a separate
// set of locks. A file removed while it is held stays a limit: its holder
// keeps a lock that nobody who opens the name afresh can see, so until it
// lets go the name has two holders (a cleaner that takes the folder's lock
// first never does this). A file or the folder moved elsewhere rather than
// removed is still linked, and is not noticed. Each instance keeps a bounded
// number of descriptions open (LockFileTable::kKeptMax) besides those held: a
// process that cycles through more names than that pays an open, a check and a
// close per acquisition again. When opening fails for lack of descriptors, the
// kept ones are closed and the open is tried once more.
//
// On Windows (components/lock_service_win32.cc tells how and why) each name is
// a named mutex, "<folder>/<name>", in the logon session's namespace: the
// folder is the prefix of those names, "Local\wendlemoor-locks" by default,
// and nothing is kept on disk, so nothing can be removed from under a holder
// and nothing needs to heal. The promises above hold with these
// differences: names are exclusive across the processes of the user's logon
// session (not the whole machine); a thread that ends holding a name frees it
// at once, and the service drops that hold's handle only when it is
// destroyed; destroying a service gives back the holds of the destroying
// thread, while the others go when their threads release or end (only a
// mutex's owner may release it); an object that another user made first
// under a name, or an object of another kind, fails closed with
// kErrorLockFolderUnusable; kErrorSystemBase carries the Win32 error code;
// there is no fork(). Mutexes are recursive, so the holds of every instance
// in the process are checked: a thread that holds a name through one
// instance and asks for it through another gets kErrorLockWouldDeadlock
// rather than a second grant (on Linux it would wait for itself).
//
// Tested under wine 8.0, not yet on Windows itself. Wine runs every process
// as one user. Tested there: exclusion between processes, release when a
// holder is ended with TerminateProcess or its thread ends, no handle
// inherited by a child, the misuse codes, the objects' owner and DACL, and
// names squatted by an object of another kind, by a mutex whose DACL shuts
// the user out and by a mutex of another owner. Resting on Windows'
// documentation alone: that another user's process is kept out by the DACL,
// and that names are compared case-sensitively on Windows as they are under
// wine. Where wine differs: it lets a process make an object owned by
// another user (SYSTEM), which Windows refuses (ERROR_INVALID_OWNER) to all
// but administrators; the test stages that squat only where it can be made.
//
// Thread safety: both operations may be called from any number of threads at
// once through one reference, and fork() may be called at any time. Ownership:
// the caller of CreateLockService owns one reference; destroying the service
// closes its descriptors and gives back any lock still held.
//
// Public: installed with the library (include/wendlemoor/components/), this
// header is the contract that programs using it build against.
#ifndef WENDLEMOOR_COMPONENTS_LOCK_SERVICE_H_
#define WENDLEMOOR_COMPONENTS_LOCK_SERVICE_H_

#include <cstddef>
#include <string>

#include "components/interface.h"
#include "components/result_code.h"

namespace wendlemoor {

inline constexpr char kLockServiceContractId[] =
    "@wendlemoor.org/ipc/lock-service;1";

// {9F6DBE15-D851-4B00-912A-5AC0BE88A409}
inline constexpr InterfaceId kLockServiceId = {
    0x9F6DBE15,
    0xD851,
    0x4B00,
    {0x91, 0x2A, 0x5A, 0xC0, 0xBE, 0x88, 0xA4, 0x09}};

// The longest name in bytes; its file name, escaped in full, still fits the
// file system's limit of 255 bytes.
inline constexpr std::size_t kLockNameMax = 80;

class LockService : public Interface {
 public:
  static constexpr const InterfaceId& kIid = kLockServiceId;

  // Acquires the lock `name` for the calling thread.
  // `wait` 1 (or any non-zero value): blocks until the lock is held; signals
  // delivered meanwhile do not end the wait. `wait` 0: never blocks on the
  // name (the first call of an instance, and the first after the folder was
  // removed, may wait for a cleaner that holds the folder's lock, as long as
  // the cleaner takes).
  // Returns kOk when the calling thread now holds the lock, or
  //   kErrorLockBusy           wait 0 and the lock is held elsewhere,
  //   kErrorLockWouldDeadlock  the calling thread already holds it,
  //   kErrorInvalidArgument    name null, empty or longer than kLockNameMax,
  //   kErrorLockFolderUnusable the lock folder or the name's file is not ours,
  //   kErrorSystemBase | errno any other failed system call; ESTALE (the
  //                            file) or ENOENT (the folder) when what it
  //                            opened was removed under it 100 times in a row.
  virtual ResultCode AcquireLock(const char* name, int wait) = 0;

  // Releases the lock `name` that the calling thread holds.
  // Returns kOk, kErrorLockNotHeld when the calling thread does not hold it,
  // or kErrorInvalidArgument for a bad name. Never blocks.
  virtual ResultCode ReleaseLock(const char* name) = 0;

 protected:
  ~LockService() = default;
};

// The lock folder used when none is given: "/tmp/wendlemoor-locks-<uid>",
// with the effective user id ("Local\wendlemoor-locks" on Windows).
std::string DefaultLockFolder();

// Creates a lock service over `folder` (DefaultLockFolder() when null) with one
// reference for the caller, or returns null when memory runs out (or the
// process's fork and thread-exit handlers could not be registered). The folder
// is created with mode 0700 when missing; its parent must exist. A folder that
// is not private to the user is not an error here: every call then fails with
// kErrorLockFolderUnusable.
LockService* CreateLockService(const char* folder);

}  // namespace wendlemoor

#endif  // WENDLEMOOR_COMPONENTS_LOCK_SERVICE_H_
