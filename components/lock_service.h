// The lock service: named locks, exclusive across every thread of every process
// of one user on this machine.
//
// Mechanism. Each name has one lock file in a private lock folder. To acquire a
// name, the calling thread opens the name's file (a new open file description
// on every acquisition) and takes a write lock on the whole file with the
// kernel's open-file-description locks (fcntl F_OFD_SETLKW, or F_OFD_SETLK when
// the caller must not block). Such a lock belongs to the open file description,
// not to the process, so two threads of one process exclude each other exactly
// as two processes do. Releasing unlocks and closes the description. When a
// holder dies for any reason, SIGKILL included, the kernel closes its
// descriptors and the lock is free again at once. A waiter sleeps in the kernel
// until the lock is handed to it: waiting costs no CPU, and nothing polls.
// Where the kernel lacks open-file-description locks (EINVAL), flock(2) on the
// same descriptor gives the same ownership and is used instead.
//
// What it refuses. Classic per-process fcntl locks (F_SETLK) are never used:
// they belong to the process, so any close() of any descriptor of the same file
// in the process silently drops them, and threads of one process do not
// exclude each other. Lock files are never unlinked: a waiter that has opened
// the file would go on to lock an inode that nobody else can reach. Every
// descriptor is close-on-exec, so a child launched while a lock is held never
// holds it. Lock files are opened without following symbolic links, with mode
// 0600, and must be regular files owned by the user (checked the first time an
// instance opens a name's file; they are never removed). The lock folder must
// be a real folder (not a symbolic link) owned by the user with no access for
// group or others (mode 0700); otherwise every call fails with
// kErrorLockFolderUnusable and nothing in or behind the folder is touched.
//
// Names. A name is any NUL-terminated string of 1 to kLockNameMax bytes. The
// file name is the name with every byte other than ASCII letters, digits, '-'
// and '_' written as '%' and two upper-case hex digits, so the mapping is
// injective ("a/b", "a%2Fb" and "a_b" are three locks) and no name can leave
// the folder or be "." or ".." (components/lock_file_name.h maps both ways).
//
// Misuse. The service keeps a table of the names each of its own callers holds
// (Mutex rules: the service's mutex guards its tables and the folder
// descriptor; no system call that blocks is made while holding it). A thread
// that asks again for a name it holds gets kErrorLockWouldDeadlock at once
// instead of waiting on itself forever; releasing a name that the calling
// thread does not hold, or releasing twice, gets kErrorLockNotHeld. A thread
// that ends while holding a name leaves it held until the process ends: thread
// identities are never reused, so no later thread can release it.
//
// Limits. The check against waiting on oneself sees one instance's table: a
// thread that holds a name through one instance and asks for it through
// another waits for itself. (The driver uses the registry's one instance.)
// After fork() without exec the child holds none of its parent's locks and
// cannot release them; as with any mutex, a child forked while another thread
// was inside the service must exec before using it. All processes must agree
// on the folder: the default is chosen when an instance is created, so a
// process started without /run/user/<uid> (outside a login session) uses the
// one under /tmp. A system cleaner that ages files out of /tmp may remove a
// lock file that has not changed for days; a lock held at that moment is no
// longer exclusive against processes that open the name afresh.
//
// Thread safety: both operations may be called from any number of threads at
// once through one reference. Ownership: the caller of CreateLockService owns
// one reference; destroying the service closes its folder descriptor and gives
// back any lock still held.
#ifndef WENDLEMOOR_COMPONENTS_LOCK_SERVICE_H_
#define WENDLEMOOR_COMPONENTS_LOCK_SERVICE_H_

#include <cstddef>
#include <string>

#include "components/interface.h"
#include "components/result_code.h"

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
  // delivered meanwhile do not end the wait. `wait` 0: never blocks.
  // Returns kOk when the calling thread now holds the lock, or
  //   kErrorLockBusy           wait 0 and the lock is held elsewhere,
  //   kErrorLockWouldDeadlock  the calling thread already holds it,
  //   kErrorInvalidArgument    name null, empty or longer than kLockNameMax,
  //   kErrorLockFolderUnusable the lock folder or the name's file is not ours,
  //   kErrorSystemBase | errno any other failed system call.
  virtual ResultCode AcquireLock(const char* name, int wait) = 0;

  // Releases the lock `name` that the calling thread holds.
  // Returns kOk, kErrorLockNotHeld when the calling thread does not hold it,
  // or kErrorInvalidArgument for a bad name. Never blocks.
  virtual ResultCode ReleaseLock(const char* name) = 0;

 protected:
  ~LockService() = default;
};

// The lock folder used when none is given: "/run/user/<uid>/wendlemoor-locks"
// when /run/user/<uid> is a folder owned by the user (not a symbolic link),
// else "/tmp/wendlemoor-locks-<uid>".
std::string DefaultLockFolder();

// Creates a lock service over `folder` (DefaultLockFolder() when null) with one
// reference for the caller, or returns null when memory runs out. The folder
// is created with mode 0700 when missing; its parent must exist. A folder that
// is not private to the user is not an error here: every call then fails with
// kErrorLockFolderUnusable.
LockService* CreateLockService(const char* folder);

#endif  // WENDLEMOOR_COMPONENTS_LOCK_SERVICE_H_
