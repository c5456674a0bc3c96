// The one mapping between lock names and the names of their files in the lock
// folder, both ways.
//
// A file name is the lock name with every byte other than ASCII letters,
// digits, '-' and '_' written as '%' and two upper-case hex digits. Because '%'
// itself is escaped the mapping is injective ("a/b", "a%2Fb" and "a_b" are
// three files), and a file name can never contain '/' nor be "." or "..".
//
// Thread safety: both functions are pure and may be called from any thread.
// Ownership: the caller owns every buffer.
//
// Private to the lock service: not installed, and no public header includes
// it.
#ifndef WENDLEMOOR_COMPONENTS_LOCK_FILE_NAME_H_
#define WENDLEMOOR_COMPONENTS_LOCK_FILE_NAME_H_

#include <cstddef>

#include "components/lock_service.h"

namespace wendlemoor {

// Room for the file name of the longest lock name, its NUL included.
inline constexpr std::size_t kLockFileNameSize = 256;
static_assert(kLockNameMax * 3 + 1 <= kLockFileNameSize);

// Writes the file name of `name` (`length` bytes) and a NUL into `out`.
// REQUIRES: 1 <= length <= kLockNameMax; `out` holds kLockFileNameSize bytes.
void LockFileName(const char* name, std::size_t length, char* out);

// Reads the lock name back from `file_name` into `out` (NUL-terminated) and
// returns its length, or 0 when `file_name` is not a name that LockFileName
// writes (lower-case hex, a byte escaped that needs no escape, a NUL, a name
// too long): such a file is not a lock file of ours.
// REQUIRES: `out` holds kLockNameMax + 1 bytes.
[[nodiscard]] std::size_t LockNameFromFileName(const char* file_name,
                                               char* out);

}  // namespace wendlemoor

#endif  // WENDLEMOOR_COMPONENTS_LOCK_FILE_NAME_H_
