// A snapshot of a lock folder: every name in it, whether it is held, by which
// process, and how many wait for it.
//
// Where it comes from. The lock service's locks belong to open file
// descriptions, so the kernel reports them with PID -1 and asking the lock
// itself names no owner. The snapshot reads the kernel's own records instead:
// /proc/locks lists every granted lock and every blocked request ("->" lines)
// by device and inode, which tells which names are held and how many wait;
// then, only when some name is held, the descriptors of our processes are
// searched for one that refers to a held file and whose /proc/<pid>/fdinfo
// entry has a "lock:" line. That line, not the open descriptor, marks the
// holder: the service may keep descriptors open while not holding anything.
//
// Limits. Processes of other users are not visible (their /proc entries are
// not ours to read), so a name they hold shows as held with no holder. A
// holder that is exiting may show for a moment after its lock is gone, or a
// held name may show no holder while its descriptors are being closed. Every
// row is a snapshot, true of some moment during the call and not a promise
// about the next. A /proc entry that vanishes while being read (the process
// ended) is skipped. Devices are compared as stat(2) reports them; on a file
// system whose stat device differs from its kernel device (btrfs subvolumes)
// no lock is seen.
//
// Nothing in or behind the folder is created, opened for writing or locked:
// the folder is listed and its entries are looked at with fstatat(2).
//
// Thread safety: TakeLockSnapshot may be called from any thread at once.
// Ownership: the caller owns the rows.
//
// Public: installed with the library (include/wendlemoor/components/), this
// header is the contract that programs using it build against.
#ifndef WENDLEMOOR_COMPONENTS_LOCK_HOLDERS_H_
#define WENDLEMOOR_COMPONENTS_LOCK_HOLDERS_H_

#include <sys/types.h>

#include <string>
#include <vector>

namespace wendlemoor {

// One name of the folder.
struct LockRow {
  std::string name;     // the lock name as its callers wrote it (raw bytes)
  bool held = false;    // a granted lock on its file exists
  pid_t holder = 0;     // the holding process, 0 when free or not visible
  std::string command;  // the holder's command name, empty when holder is 0
  int waiting = 0;      // blocked requests for it, threads counted one by one
};

// What a snapshot came to. Every outcome but kOk refuses the whole folder.
enum class SnapshotResult {
  kOk,
  kFolderMissing,     // nothing at the path
  kFolderNotAFolder,  // a file, a FIFO, a path through a non-folder
  kFolderSymlink,     // a symbolic link, wherever it points
  kFolderNotOurs,     // owned by another user
  kFolderNotPrivate,  // group or others have some access
  kFolderUnreadable,  // it could not be opened or listed (errno given)
  kLocksUnreadable,   // /proc/locks could not be read (errno given)
  kOutOfMemory,
};

// Fills `rows` with one row per lock file in `folder`, sorted by name (byte
// order), and returns kOk; a file whose name is not one the lock service
// writes, or that is not a regular file, is no lock file and has no row. On
// any other result `rows` is empty and `error` holds the errno behind
// kFolderUnreadable and kLocksUnreadable (0 otherwise). The folder must be a
// real folder, owned by the effective user, with no access for group or
// others. Never blocks on a lock; signals do not interrupt it.
[[nodiscard]] SnapshotResult TakeLockSnapshot(const char* folder,
                                              std::vector<LockRow>* rows,
                                              int* error);

// A short phrase for a result, such as "does not exist"; for the two results
// with an errno, the caller adds strerror(error).
const char* SnapshotResultText(SnapshotResult result);

}  // namespace wendlemoor

#endif  // WENDLEMOOR_COMPONENTS_LOCK_HOLDERS_H_
