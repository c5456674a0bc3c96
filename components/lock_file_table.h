// The lock service's table of open lock files: which descriptions are in use
// by which thread, and which are kept, unlocked, for the next acquisition.
//
// Each entry is one open file description of one name's lock file, in one of
// two states:
//   in use  a thread holds the name's kernel lock through it, or is taking the
//           lock through it right now; nobody else touches the descriptor.
//   kept    no lock on it. Any thread of the process may take it for its next
//           acquisition of that name, which then skips the open, the checks
//           of what was opened and the close. A kept description holds
//           nothing, so keeping it can never make a lock outlive its holder;
//           one whose file was removed is dropped when next locked.
// A description is never shared by two threads at once: the kernel lock
// belongs to the description, so threads of one process exclude each other
// only while each uses a description of its own. A thread that finds no kept
// description of the name opens a fresh one, and waits in the kernel like any
// other process.
//
// Bounded: at most kKeptMax descriptions are kept; when one more is given
// back, the least recently used kept one is closed. Descriptions in use are
// as many as the holds and acquisitions in progress.
//
// Thread safety: none of its own; the lock service's mutex guards every call.
// Ownership: the table owns every descriptor in it and closes what it drops.
// The calls never block; the only system call they make is close().
//
// Private to the lock service: not installed, and no public header includes
// it.
#ifndef WENDLEMOOR_COMPONENTS_LOCK_FILE_TABLE_H_
#define WENDLEMOOR_COMPONENTS_LOCK_FILE_TABLE_H_

#include <cstddef>
#include <cstdint>
#include <vector>

#include "components/lock_service.h"

namespace wendlemoor {

class LockFileTable {
 public:
  // Kept descriptions, a handful per name for a few dozen names.
  static constexpr std::size_t kKeptMax = 32;

  // Reserves room for the usual entries, so that the first acquisitions of
  // the creating process's threads do not allocate.
  LockFileTable();
  // Closes every descriptor still in the table.
  ~LockFileTable();

  LockFileTable(const LockFileTable&) = delete;
  LockFileTable& operator=(const LockFileTable&) = delete;

  // Returns the descriptor of `name` in use by `thread`, or -1.
  [[nodiscard]] int FindInUse(const void* thread, const char* name,
                              std::size_t length) const;

  // Returns a descriptor in use by `thread` (by anyone when `thread` is
  // null), or -1 when there is none.
  [[nodiscard]] int AnyInUse(const void* thread) const;

  // Takes a kept description of `name` for `thread` and returns its
  // descriptor, or -1 when none is kept.
  [[nodiscard]] int TakeKept(const void* thread, const char* name,
                             std::size_t length);

  // Adds the freshly opened `fd` of `name`, in use by `thread`. Returns false
  // when memory runs out; the descriptor is then still the caller's.
  [[nodiscard]] bool AddInUse(const void* thread, const char* name,
                              std::size_t length, int fd);

  // `fd`, in use and unlocked now, is kept for reuse; past kKeptMax the least
  // recently used kept description is closed.
  void Keep(int fd);

  // Removes `fd` from the table and closes it.
  void Drop(int fd);

  // Closes every kept description; returns how many it closed.
  std::size_t CloseKept();

  // Closes every descriptor, in use or kept, and empties the table.
  void CloseAll();

 private:
  struct Entry {
    char name[kLockNameMax];
    std::size_t length;
    int fd;
    const void* thread;       // null while kept
    std::uint64_t last_used;  // when it was last kept
  };

  std::vector<Entry> entries_;
  std::uint64_t clock_ = 0;
};

}  // namespace wendlemoor

#endif  // WENDLEMOOR_COMPONENTS_LOCK_FILE_TABLE_H_
