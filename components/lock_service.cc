#include "components/lock_service.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <vector>

#include "components/lock_file_name.h"
#include "runtime/eintr.h"
#include "runtime/thread.h"

namespace {

// Where a system call failed; the same errno means different things at
// different steps (EACCES from a non-blocking lock is "busy", from open it is
// a permission problem).
enum class Step { kFolder, kOpenFile, kLockNoWait, kOther };

// The one translation of errno into a result code.
ResultCode CodeFromErrno(int error, Step step) {
  if (error == ENOMEM) return kErrorOutOfMemory;
  switch (step) {
    case Step::kFolder:
      // A symbolic link or a non-folder at the folder's path, or a folder we
      // may not enter (another user's).
      if (error == ELOOP || error == ENOTDIR || error == EACCES ||
          error == EPERM) {
        return kErrorLockFolderUnusable;
      }
      break;
    case Step::kOpenFile:
      // A symbolic link or a folder planted at the lock file's name.
      if (error == ELOOP || error == EISDIR) return kErrorLockFolderUnusable;
      break;
    case Step::kLockNoWait:
      if (error == EAGAIN || error == EACCES || error == EWOULDBLOCK) {
        return kErrorLockBusy;
      }
      break;
    case Step::kOther:
      break;
  }
  return kErrorSystemBase | (static_cast<ResultCode>(error) & 0xFFFFu);
}

// Returns the length of a usable name, or 0 for a null, empty or long one.
std::size_t CheckedNameLength(const char* name) {
  if (name == nullptr) return 0;
  const std::size_t length = strnlen(name, kLockNameMax + 1);
  return length > kLockNameMax ? 0 : length;
}

// Writes the default folder into `out`; 64 bytes hold either form with any
// 32-bit uid.
void WriteDefaultFolder(char (&out)[64]) {
  const uid_t uid = geteuid();
  char runtime_dir[32];
  std::snprintf(runtime_dir, sizeof runtime_dir, "/run/user/%u",
                static_cast<unsigned>(uid));
  struct stat st;
  // lstat: a symbolic link at /run/user/<uid> is not trusted.
  if (lstat(runtime_dir, &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == uid) {
    std::snprintf(out, sizeof out, "%s/wendlemoor-locks", runtime_dir);
  } else {
    std::snprintf(out, sizeof out, "/tmp/wendlemoor-locks-%u",
                  static_cast<unsigned>(uid));
  }
}

// Bumped in the child of every fork(): locks taken before it belong to the
// parent.
std::atomic<unsigned> gForkGeneration{0};

void CountFork() { gForkGeneration.fetch_add(1, std::memory_order_relaxed); }

unsigned CurrentForkGeneration() {
  return gForkGeneration.load(std::memory_order_relaxed);
}

// Takes the kernel lock on `fd`; returns 0 or -1 with errno set.
int LockFile(int fd, bool use_flock, bool wait) {
  if (use_flock) {
    const int operation = wait ? LOCK_EX : LOCK_EX | LOCK_NB;
    return RetryOnEintr([&] { return flock(fd, operation); });
  }
  struct flock whole_file = {};
  whole_file.l_type = F_WRLCK;
  whole_file.l_whence = SEEK_SET;  // l_start 0, l_len 0: the whole file
  const int command = wait ? F_OFD_SETLKW : F_OFD_SETLK;
  return RetryOnEintr([&] { return fcntl(fd, command, &whole_file); });
}

void UnlockFile(int fd, bool use_flock) {
  // Unlocking before close() frees the lock even while a fork()ed child that
  // has not reached exec yet shares the description. A failure here is of no
  // consequence: the close() that follows releases the lock in the usual case.
  if (use_flock) {
    flock(fd, LOCK_UN);
    return;
  }
  struct flock whole_file = {};
  whole_file.l_type = F_UNLCK;
  whole_file.l_whence = SEEK_SET;
  fcntl(fd, F_OFD_SETLK, &whole_file);
}

class LockServiceImpl final
    : public InterfaceImpl<LockServiceImpl, LockService> {
 public:
  explicit LockServiceImpl(std::unique_ptr<char[]> folder)
      : folder_(std::move(folder)), euid_(geteuid()) {
    // Room for the usual handful of held locks, taken by the creating thread:
    // a worker thread's first allocation would cost it a malloc arena of its
    // own. Without the room the table simply grows later.
    try {
      held_.reserve(kReservedHeld);
    } catch (const std::bad_alloc&) {
    }
  }

  ~LockServiceImpl() {
    // Locks still held are given back. An entry from before a fork() belongs
    // to the parent, which shares the open file description: closing our
    // copy of the descriptor leaves the parent's lock alone, unlocking would
    // not.
    const unsigned generation = CurrentForkGeneration();
    for (const Held& held : held_) {
      if (held.generation == generation) UnlockFile(held.fd, use_flock_);
      close(held.fd);
    }
    if (folder_fd_ != -1) close(folder_fd_);
  }

  ResultCode AcquireLock(const char* name, int wait) override {
    const std::size_t length = CheckedNameLength(name);
    if (length == 0) return kErrorInvalidArgument;
    void* const thread = JX_GetCurrentThread();

    int folder_fd;
    bool checked;
    bool use_flock;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      const ResultCode folder_code = OpenFolderLocked();
      if (folder_code != kOk) return folder_code;
      // Only this thread adds entries owned by this thread, so the answer
      // cannot change before the insertion below.
      if (FindLocked(thread, name, length) != held_.end()) {
        return kErrorLockWouldDeadlock;
      }
      // Once open, the folder descriptor stays open until destruction.
      folder_fd = folder_fd_;
      checked = IsCheckedLocked(name, length);
      use_flock = use_flock_;
    }

    char file_name[kLockFileNameSize];
    LockFileName(name, length, file_name);
    // A fresh open file description on every acquisition: the lock belongs
    // to it, which is what makes threads of one process exclude each other.
    const int fd = RetryOnEintr([&] {
      return openat(folder_fd, file_name,
                    O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    });
    if (fd == -1) return CodeFromErrno(errno, Step::kOpenFile);

    // Only we can create entries in the private folder, but a file there that
    // is not a regular file of ours (a FIFO, a device, something root left)
    // is refused rather than locked. Lock files are never removed, so a name
    // whose file passed once is not checked again by this instance: whoever
    // could swap it since is this user or root, who need no trick to disturb
    // our locks. That saves a system call, a sixth of an uncontended pair.
    if (!checked) {
      struct stat st;
      if (fstat(fd, &st) != 0) {
        const int error = errno;
        close(fd);
        return CodeFromErrno(error, Step::kOther);
      }
      if (!S_ISREG(st.st_mode) || st.st_uid != euid_) {
        close(fd);
        return kErrorLockFolderUnusable;
      }
    }

    int locked = LockFile(fd, use_flock, wait != 0);
    if (locked == -1) {
      const int error = errno;
      close(fd);
      return CodeFromErrno(error, wait != 0 ? Step::kOther : Step::kLockNoWait);
    }

    {
      std::lock_guard<std::mutex> lock(mutex_);
      try {
        held_.emplace_back();
      } catch (const std::bad_alloc&) {
        // Fall through to give the kernel lock back below.
        locked = -1;
      }
      if (locked != -1) {
        Held& held = held_.back();
        held.name.Set(name, length);
        held.thread = thread;
        held.fd = fd;
        held.generation = CurrentForkGeneration();
        if (!checked) RememberCheckedLocked(name, length);
        return kOk;
      }
    }
    UnlockFile(fd, use_flock);
    close(fd);
    return kErrorOutOfMemory;
  }

  ResultCode ReleaseLock(const char* name) override {
    const std::size_t length = CheckedNameLength(name);
    if (length == 0) return kErrorInvalidArgument;
    void* const thread = JX_GetCurrentThread();

    int fd;
    bool use_flock;
    {
      // The entry goes before the kernel lock does: the moment the lock is
      // free another thread of ours may take it and add its own entry.
      std::lock_guard<std::mutex> lock(mutex_);
      auto it = FindLocked(thread, name, length);
      if (it == held_.end()) return kErrorLockNotHeld;
      fd = it->fd;
      use_flock = use_flock_;
      *it = held_.back();
      held_.pop_back();
    }
    UnlockFile(fd, use_flock);
    close(fd);  // never retried: the descriptor is gone even on EINTR
    return kOk;
  }

 private:
  // A lock name as the tables keep it, not NUL-terminated.
  struct Name {
    char bytes[kLockNameMax];
    std::size_t length;

    bool Is(const char* name, std::size_t name_length) const {
      return length == name_length && std::memcmp(bytes, name, length) == 0;
    }
    void Set(const char* name, std::size_t name_length) {
      std::memcpy(bytes, name, name_length);
      length = name_length;
    }
  };

  // A lock held by one of our threads. At most one entry per name exists,
  // since the kernel lock admits one holder and the entry lives inside it.
  struct Held {
    Name name;
    void* thread;
    int fd;
    unsigned generation;  // CurrentForkGeneration() when taken
  };

  static constexpr std::size_t kReservedHeld = 16;
  static constexpr std::size_t kCheckedMax = 16;

  // Held locks are few, and only the caller's own entries can match, so a
  // linear scan beats hashing the name.
  // Entries from before a fork() never match: a child that inherits the table
  // holds none of its locks, though its forking thread keeps its identity.
  std::vector<Held>::iterator FindLocked(void* thread, const char* name,
                                         std::size_t length) {
    const unsigned generation = CurrentForkGeneration();
    for (auto it = held_.begin(); it != held_.end(); ++it) {
      if (it->thread == thread && it->generation == generation &&
          it->name.Is(name, length)) {
        return it;
      }
    }
    return held_.end();
  }

  bool IsCheckedLocked(const char* name, std::size_t length) const {
    for (std::size_t i = 0; i < checked_count_; ++i) {
      if (checked_[i].Is(name, length)) return true;
    }
    return false;
  }

  // Past kCheckedMax names, later ones are simply checked on every open.
  void RememberCheckedLocked(const char* name, std::size_t length) {
    if (checked_count_ == kCheckedMax || IsCheckedLocked(name, length)) return;
    checked_[checked_count_++].Set(name, length);
  }

  // Opens and checks the folder on first use; a refused folder is closed and
  // checked afresh on the next call, so it can be repaired while we run.
  ResultCode OpenFolderLocked() {
    if (folder_fd_ != -1) return kOk;
    if (mkdir(folder_.get(), 0700) != 0 && errno != EEXIST) {
      return CodeFromErrno(errno, Step::kFolder);
    }
    // O_NOFOLLOW refuses a symbolic link planted at the folder's path, so
    // nothing behind it is ever touched.
    const int fd =
        open(folder_.get(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd == -1) return CodeFromErrno(errno, Step::kFolder);
    struct stat st;
    if (fstat(fd, &st) != 0) {
      const int error = errno;
      close(fd);
      return CodeFromErrno(error, Step::kOther);
    }
    if (!S_ISDIR(st.st_mode) || st.st_uid != euid_ || (st.st_mode & 077) != 0) {
      close(fd);
      return kErrorLockFolderUnusable;
    }
    // Where the kernel lacks open-file-description locks, flock(2) gives the
    // same ownership. The choice is made once, here, and never changes: the
    // two kinds of lock do not exclude each other.
    struct flock probe = {};
    probe.l_type = F_WRLCK;
    probe.l_whence = SEEK_SET;
    use_flock_ = fcntl(fd, F_OFD_GETLK, &probe) == -1 && errno == EINVAL;
    folder_fd_ = fd;
    return kOk;
  }

  const std::unique_ptr<char[]> folder_;
  const uid_t euid_;
  // Mutex rules: mutex_ guards held_, checked_, checked_count_, folder_fd_
  // and use_flock_; no call that can block on a lock is made while holding
  // it.
  std::mutex mutex_;
  std::vector<Held> held_;
  // Names whose lock file has passed the regular-file-of-ours check.
  Name checked_[kCheckedMax] = {};
  std::size_t checked_count_ = 0;
  int folder_fd_ = -1;
  bool use_flock_ = false;  // fixed when the folder is opened
};

}  // namespace

std::string DefaultLockFolder() {
  char folder[64];
  WriteDefaultFolder(folder);
  return folder;
}

LockService* CreateLockService(const char* folder) {
  static std::once_flag fork_handler;
  // Only out of memory makes registration fail; a forked child could then
  // release its parent's locks, which no caller of ours does.
  std::call_once(fork_handler,
                 [] { (void)pthread_atfork(nullptr, nullptr, CountFork); });
  char default_folder[64];
  if (folder == nullptr) {
    WriteDefaultFolder(default_folder);
    folder = default_folder;
  }
  // The path is copied without std::string so that running out of memory
  // gives null rather than an exception.
  const std::size_t size = std::strlen(folder) + 1;
  std::unique_ptr<char[]> copy(new (std::nothrow) char[size]);
  if (copy == nullptr) return nullptr;
  std::memcpy(copy.get(), folder, size);
  return new (std::nothrow) LockServiceImpl(std::move(copy));
}
