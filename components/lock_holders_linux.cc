#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <new>
#include <utility>

#include "components/lock_file_name.h"
#include "components/lock_holders.h"
#include "runtime/eintr.h"

namespace wendlemoor {

namespace {

// Room for "<pid>/fdinfo/<fd>" with any two directory entry names.
constexpr std::size_t kProcPathSize = 2 * sizeof(dirent::d_name) + 16;

using FileKey = std::pair<dev_t, ino_t>;

struct Entry {
  LockRow row;
  FileKey key;
};

// The one translation of errno into a result, for opening and listing
// `folder`. Opening a symbolic link with O_NOFOLLOW | O_DIRECTORY fails with
// ENOTDIR or ELOOP; lstat tells it from a file, and tells a folder closed to
// us because it is another user's, for the message.
SnapshotResult FolderResultFromErrno(const char* folder, int error) {
  struct stat st;
  switch (error) {
    case ENOENT:
      return SnapshotResult::kFolderMissing;
    case ENOTDIR:
    case ELOOP:
      return lstat(folder, &st) == 0 && S_ISLNK(st.st_mode)
                 ? SnapshotResult::kFolderSymlink
                 : SnapshotResult::kFolderNotAFolder;
    case EACCES:  // another user's folder is usually closed to us
      return lstat(folder, &st) == 0 && st.st_uid != geteuid()
                 ? SnapshotResult::kFolderNotOurs
                 : SnapshotResult::kFolderUnreadable;
    case ENOMEM:
      return SnapshotResult::kOutOfMemory;
    default:
      return SnapshotResult::kFolderUnreadable;
  }
}

// Reads the file `path` (relative to `dir_fd`) whole into `out`; returns 0 or
// the errno of the failed call. /proc files report no size, hence the loop.
int ReadWhole(int dir_fd, const char* path, std::string* out) {
  out->clear();
  const int fd =
      RetryOnEintr([&] { return openat(dir_fd, path, O_RDONLY | O_CLOEXEC); });
  if (fd == -1) return errno;
  char buffer[4096];
  for (;;) {
    const ssize_t n =
        RetryOnEintr([&] { return read(fd, buffer, sizeof buffer); });
    if (n == 0) break;
    if (n == -1) {
      const int error = errno;
      close(fd);
      return error;
    }
    out->append(buffer, static_cast<std::size_t>(n));
  }
  close(fd);  // never retried
  return 0;
}

// Parses a /proc/locks token "maj:min:inode" (hex, hex, decimal).
bool ParseFileKey(const char* token, FileKey* key) {
  char* end;
  const unsigned long major = std::strtoul(token, &end, 16);
  if (end == token || *end != ':') return false;
  const char* minor_text = end + 1;
  const unsigned long minor = std::strtoul(minor_text, &end, 16);
  if (end == minor_text || *end != ':') return false;
  const char* inode_text = end + 1;
  const unsigned long long inode = std::strtoull(inode_text, &end, 10);
  if (end == inode_text || *end != '\0') return false;
  *key = {makedev(major, minor), static_cast<ino_t>(inode)};
  return true;
}

// Marks held rows and counts waiters from the text of /proc/locks. A line is
// "N: TYPE ... PID maj:min:inode START END"; a blocked request has one "->"
// before its type, indented by how deep it sits in the chain of waiters.
// Returns how many rows are held.
int ApplyKernelLocks(std::string& text,
                     const std::map<FileKey, std::size_t>& index,
                     std::vector<Entry>* entries) {
  int held = 0;
  char* save_line = nullptr;
  for (char* line = strtok_r(text.data(), "\n", &save_line); line != nullptr;
       line = strtok_r(nullptr, "\n", &save_line)) {
    bool waiter = false;
    char* save_token = nullptr;
    for (char* token = strtok_r(line, " \t", &save_token); token != nullptr;
         token = strtok_r(nullptr, " \t", &save_token)) {
      if (std::strcmp(token, "->") == 0) waiter = true;
      FileKey key;
      if (!ParseFileKey(token, &key)) continue;
      const auto it = index.find(key);
      if (it != index.end()) {
        LockRow& row = (*entries)[it->second].row;
        if (waiter) {
          ++row.waiting;
        } else if (!row.held) {
          row.held = true;
          ++held;
        }
      }
      break;
    }
  }
  return held;
}

// True when the process's description behind descriptor `fd_name` holds a
// lock: the kernel lists a description's granted locks as "lock:" lines of
// its fdinfo, and blocked requests never.
bool HoldsLock(int proc_fd, const char* pid, const char* fd_name,
               std::string* scratch) {
  char path[kProcPathSize];
  std::snprintf(path, sizeof path, "%s/fdinfo/%s", pid, fd_name);
  if (ReadWhole(proc_fd, path, scratch) != 0) return false;
  return scratch->find("\nlock:") != std::string::npos;
}

// The command name of `pid`, or false when the process is gone.
bool ReadCommand(int proc_fd, const char* pid, std::string* command) {
  char path[kProcPathSize];
  std::snprintf(path, sizeof path, "%s/comm", pid);
  if (ReadWhole(proc_fd, path, command) != 0) return false;
  if (!command->empty() && command->back() == '\n') command->pop_back();
  return true;
}

// Looks through the descriptors of every process we may inspect for the
// holders of the `held` held rows, and stops once all are found. Whatever
// cannot be read (another user's process, one that has just ended) is
// skipped.
void FindHolders(int held, const std::map<FileKey, std::size_t>& index,
                 std::vector<Entry>* entries) {
  DIR* proc = opendir("/proc");
  if (proc == nullptr) return;
  const int proc_fd = dirfd(proc);
  std::string scratch;
  for (dirent* p = readdir(proc); p != nullptr && held > 0; p = readdir(proc)) {
    const char* pid = p->d_name;
    if (pid[0] < '1' || pid[0] > '9' || std::strlen(pid) > 10 ||
        pid[std::strspn(pid, "0123456789")] != '\0') {
      continue;
    }
    char path[kProcPathSize];
    std::snprintf(path, sizeof path, "%s/fd", pid);
    const int fds_fd = RetryOnEintr([&] {
      return openat(proc_fd, path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    });
    if (fds_fd == -1) continue;
    DIR* fds = fdopendir(fds_fd);
    if (fds == nullptr) {
      close(fds_fd);
      continue;
    }
    for (dirent* f = readdir(fds); f != nullptr && held > 0; f = readdir(fds)) {
      if (f->d_name[0] == '.') continue;
      // Following the descriptor's link gives the open file's own device and
      // inode, whatever its path has become.
      struct stat st;
      if (fstatat(fds_fd, f->d_name, &st, 0) != 0 || !S_ISREG(st.st_mode)) {
        continue;
      }
      const auto it = index.find({st.st_dev, st.st_ino});
      if (it == index.end()) continue;
      LockRow& row = (*entries)[it->second].row;
      if (!row.held || row.holder != 0) continue;
      if (!HoldsLock(proc_fd, pid, f->d_name, &scratch)) continue;
      if (!ReadCommand(proc_fd, pid, &scratch)) continue;
      row.command = scratch;
      row.holder = static_cast<pid_t>(std::atol(pid));
      --held;
    }
    closedir(fds);
  }
  closedir(proc);
}

SnapshotResult Snapshot(const char* folder, std::vector<LockRow>* rows,
                        int* error) {
  // Read-only, never created, and O_NOFOLLOW: a symbolic link at the path is
  // refused, and nothing behind it is looked at.
  const int folder_fd = RetryOnEintr([&] {
    return open(folder, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  });
  if (folder_fd == -1) {
    *error = errno;
    return FolderResultFromErrno(folder, *error);
  }
  struct stat st;
  if (fstat(folder_fd, &st) != 0) {
    *error = errno;
    close(folder_fd);
    return SnapshotResult::kFolderUnreadable;
  }
  if (st.st_uid != geteuid()) {
    close(folder_fd);
    return SnapshotResult::kFolderNotOurs;
  }
  if ((st.st_mode & 077) != 0) {
    close(folder_fd);
    return SnapshotResult::kFolderNotPrivate;
  }
  DIR* dir = fdopendir(folder_fd);
  if (dir == nullptr) {
    *error = errno;
    close(folder_fd);
    return FolderResultFromErrno(folder, *error);
  }

  std::vector<Entry> entries;
  char name[kLockNameMax + 1];
  for (;;) {
    errno = 0;
    const dirent* e = readdir(dir);
    if (e == nullptr) {
      *error = errno;
      break;
    }
    const std::size_t length = LockNameFromFileName(e->d_name, name);
    if (length == 0) continue;
    if (fstatat(folder_fd, e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 ||
        !S_ISREG(st.st_mode)) {
      continue;
    }
    entries.push_back({{}, {st.st_dev, st.st_ino}});
    entries.back().row.name.assign(name, length);
  }
  closedir(dir);
  if (*error != 0) return FolderResultFromErrno(folder, *error);

  std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
    return a.row.name < b.row.name;
  });
  if (!entries.empty()) {
    std::map<FileKey, std::size_t> index;
    for (std::size_t i = 0; i < entries.size(); ++i) {
      index.emplace(entries[i].key, i);
    }
    std::string locks;
    *error = ReadWhole(AT_FDCWD, "/proc/locks", &locks);
    if (*error != 0) return SnapshotResult::kLocksUnreadable;
    const int held = ApplyKernelLocks(locks, index, &entries);
    if (held > 0) FindHolders(held, index, &entries);
  }
  for (Entry& entry : entries) rows->push_back(std::move(entry.row));
  return SnapshotResult::kOk;
}

}  // namespace

SnapshotResult TakeLockSnapshot(const char* folder, std::vector<LockRow>* rows,
                                int* error) {
  rows->clear();
  *error = 0;
  try {
    const SnapshotResult result = Snapshot(folder, rows, error);
    if (result != SnapshotResult::kOk) rows->clear();
    if (result != SnapshotResult::kFolderUnreadable &&
        result != SnapshotResult::kLocksUnreadable) {
      *error = 0;
    }
    return result;
  } catch (const std::bad_alloc&) {
    rows->clear();
    return SnapshotResult::kOutOfMemory;
  }
}

const char* SnapshotResultText(SnapshotResult result) {
  switch (result) {
    case SnapshotResult::kOk:
      return "ok";
    case SnapshotResult::kFolderMissing:
      return "does not exist";
    case SnapshotResult::kFolderNotAFolder:
      return "is not a folder";
    case SnapshotResult::kFolderSymlink:
      return "is a symbolic link, not a private folder";
    case SnapshotResult::kFolderNotOurs:
      return "is not private: owned by another user";
    case SnapshotResult::kFolderNotPrivate:
      return "is not private: group or others have access";
    case SnapshotResult::kFolderUnreadable:
      return "cannot be read";
    case SnapshotResult::kLocksUnreadable:
      return "cannot read /proc/locks";
    case SnapshotResult::kOutOfMemory:
      return "out of memory";
  }
  return "unknown result";
}

}  // namespace wendlemoor
