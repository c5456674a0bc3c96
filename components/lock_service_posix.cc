// The lock service on Linux: open-file-description locks on files in a
// private folder. components/lock_service.h tells the mechanism, what it
// refuses and its limits; components/lock_service_win32.cc is Windows' own.
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

#include "components/lock_file_name.h"
#include "components/lock_file_table.h"
#include "runtime/eintr.h"
#include "runtime/thread.h"

namespace wendlemoor {

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
      // A symbolic link or a folder planted at the lock file's name, or a
      // file we may not open (another user's).
      if (error == ELOOP || error == EISDIR || error == EACCES ||
          error == EPERM) {
        return kErrorLockFolderUnusable;
      }
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

// Writes the default folder into `out`; 48 bytes hold it with any 32-bit uid.
void WriteDefaultFolder(char (&out)[48]) {
  std::snprintf(out, sizeof out, "/tmp/wendlemoor-locks-%u",
                static_cast<unsigned>(geteuid()));
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

// Gives the kernel lock on `fd` back; never blocks. Unlocking rather than
// relying on close() frees the lock even while a child being spawned by
// another thread still shares the description until its exec. It cannot fail
// on a descriptor we hold a lock through.
void UnlockFile(int fd, bool use_flock) {
  if (use_flock) {
    flock(fd, LOCK_UN);
    return;
  }
  struct flock whole_file = {};
  whole_file.l_type = F_UNLCK;
  whole_file.l_whence = SEEK_SET;
  fcntl(fd, F_OFD_SETLK, &whole_file);
}

// What a pass of AcquireLock meets when the name's file or the folder was
// removed after it was opened, and what the call returns when that happens at
// every one of kPassesMax passes in a row (a remover that never stops, or a
// file system that reports every file unlinked). openat with O_CREAT fails
// with ENOENT on a plain name only when the folder itself is gone.
constexpr ResultCode kFileRemoved = kErrorSystemBase | ESTALE;
constexpr ResultCode kFolderRemoved = kErrorSystemBase | ENOENT;
constexpr int kPassesMax = 100;

// Takes the kernel lock on `fd` and makes sure that its file is still linked:
// a file removed after it was opened is no longer the name's file, and a lock
// on it excludes nobody who opens the name afresh. Returns kOk holding the
// lock; kErrorLockBusy when `wait` is false and a linked file is held
// elsewhere; kFileRemoved, holding nothing, for a removed file, busy or not;
// or the failed call's code, holding nothing.
ResultCode LockLinkedFile(int fd, bool use_flock, bool wait) {
  const bool locked = LockFile(fd, use_flock, wait) == 0;
  if (!locked) {
    const ResultCode code =
        CodeFromErrno(errno, wait ? Step::kOther : Step::kLockNoWait);
    struct stat st;
    // A removed file held by whoever had it before is not the name's file:
    // its holder does not make the name busy.
    return code == kErrorLockBusy && fstat(fd, &st) == 0 && st.st_nlink == 0
               ? kFileRemoved
               : code;
  }
  struct stat st;
  if (fstat(fd, &st) != 0) {
    const int error = errno;
    UnlockFile(fd, use_flock);
    return CodeFromErrno(error, Step::kOther);
  }
  if (st.st_nlink == 0) {
    UnlockFile(fd, use_flock);
    return kFileRemoved;
  }
  return kOk;
}

class LockServiceImpl;

// Every live instance, for the fork and thread-exit handlers below.
// Mutex rules: gInstancesMutex guards gInstances and every instance's links;
// it is taken before any instance's mutex, never after.
std::mutex gInstancesMutex;
LockServiceImpl* gInstances = nullptr;

// Set (to the thread's identity) in a thread that has taken a lock, so that
// its end releases what it still holds.
pthread_key_t gHolderKey;

void ReleaseLocksOfEndingThread(void* thread);
void LockAllForFork();
void UnlockAllAfterFork();
void ForgetParentsLocksAfterFork();

class LockServiceImpl final
    : public InterfaceImpl<LockServiceImpl, LockService> {
 public:
  explicit LockServiceImpl(std::unique_ptr<char[]> folder)
      : folder_(std::move(folder)), euid_(geteuid()) {
    std::lock_guard<std::mutex> lock(gInstancesMutex);
    next_ = gInstances;
    if (next_ != nullptr) next_->previous_ = this;
    gInstances = this;
  }

  ~LockServiceImpl() {
    {
      std::lock_guard<std::mutex> lock(gInstancesMutex);
      (previous_ != nullptr ? previous_->next_ : gInstances) = next_;
      if (next_ != nullptr) next_->previous_ = previous_;
    }
    // Locks still held are given back; the table closes every descriptor.
    ReleaseAllOf(nullptr);
    const int folder_fd = folder_fd_.load(std::memory_order_relaxed);
    if (folder_fd != -1) close(folder_fd);
  }

  ResultCode AcquireLock(const char* name, int wait) override {
    const std::size_t length = CheckedNameLength(name);
    if (length == 0) return kErrorInvalidArgument;
    ResultCode code = OpenFolder(-1);
    if (code != kOk) return code;
    void* const thread = JX_GetCurrentThread();

    // A pass that goes round again found that the file it opened or kept, or
    // the folder, had been removed since it was opened: each one follows a
    // removal by someone else, and the next pass opens what is there now.
    for (int pass = 0; pass < kPassesMax; ++pass) {
      int fd = -1;
      bool use_flock;
      int removed_folder = -1;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        if (files_.FindInUse(thread, name, length) != -1) {
          return kErrorLockWouldDeadlock;
        }
        use_flock = use_flock_;
        fd = files_.TakeKept(thread, name, length);
        if (fd == -1) {
          // Opened inside the mutex, so that a fork() finds every descriptor
          // of ours in the table and its child closes them all.
          code = OpenLockFileLocked(thread, name, length, &fd);
          if (code == kFolderRemoved) {
            removed_folder = folder_fd_.load(std::memory_order_relaxed);
          } else if (code != kOk) {
            return code;
          }
        }
      }
      if (removed_folder != -1) {
        code = OpenFolder(removed_folder);
        if (code != kOk) return code;
        code = kFolderRemoved;
        continue;
      }

      // The table entry says that this thread uses `fd` from here on: another
      // thread asking for the name opens a description of its own and waits
      // in the kernel.
      code = LockLinkedFile(fd, use_flock, wait != 0);
      if (code == kOk) {
        if (pthread_getspecific(gHolderKey) == nullptr) {
          (void)pthread_setspecific(gHolderKey, thread);
        }
        return kOk;
      }
      std::lock_guard<std::mutex> lock(mutex_);
      if (code == kErrorLockBusy) {
        files_.Keep(fd);
        return code;
      }
      files_.Drop(fd);
      if (code != kFileRemoved) return code;
    }
    return code;
  }

  ResultCode ReleaseLock(const char* name) override {
    const std::size_t length = CheckedNameLength(name);
    if (length == 0) return kErrorInvalidArgument;
    void* const thread = JX_GetCurrentThread();
    // The unlock happens inside the mutex and never blocks: once the lock is
    // free, the description may be taken by another thread of ours, which
    // must find it unlocked.
    std::lock_guard<std::mutex> lock(mutex_);
    const int fd = files_.FindInUse(thread, name, length);
    if (fd == -1) return kErrorLockNotHeld;
    UnlockFile(fd, use_flock_);
    files_.Keep(fd);
    return kOk;
  }

  // Releases every lock that `thread` holds (every lock when null).
  void ReleaseAllOf(const void* thread) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (int fd; (fd = files_.AnyInUse(thread)) != -1;) {
      UnlockFile(fd, use_flock_);
      files_.Keep(fd);
    }
  }

  LockServiceImpl* next() const { return next_; }
  std::mutex& mutex() { return mutex_; }

  // In the child of a fork(): every description in the table is shared with
  // the parent, whose locks must die with it. Closing our copies leaves the
  // parent's locks alone (unlocking would not) and holds none of them here.
  // The caller holds mutex_ since before the fork.
  void ForgetDescriptorsAfterForkLocked() { files_.CloseAll(); }

 private:
  // Opens the name's lock file into `*fd` as a description in use by
  // `thread`. A file that is not a regular file of ours (a FIFO, a device,
  // something another user left) is refused rather than locked.
  ResultCode OpenLockFileLocked(const void* thread, const char* name,
                                std::size_t length, int* fd) {
    char file_name[kLockFileNameSize];
    LockFileName(name, length, file_name);
    const int folder_fd = folder_fd_.load(std::memory_order_relaxed);
    const auto open_file = [&] {
      return RetryOnEintr([&] {
        return openat(folder_fd, file_name,
                      O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
      });
    };
    int opened = open_file();
    // Out of descriptors: the kept ones go back first, then one more try.
    if (opened == -1 && (errno == EMFILE || errno == ENFILE) &&
        files_.CloseKept() > 0) {
      opened = open_file();
    }
    if (opened == -1) return CodeFromErrno(errno, Step::kOpenFile);

    struct stat st;
    if (fstat(opened, &st) != 0) {
      const int error = errno;
      close(opened);
      return CodeFromErrno(error, Step::kOther);
    }
    if (!S_ISREG(st.st_mode) || st.st_uid != euid_) {
      close(opened);
      return kErrorLockFolderUnusable;
    }
    // A file created under a restrictive umask (0277 gives 0400) could not
    // be opened for writing again, by us or by anyone else.
    if ((st.st_mode & 0777) != 0600 && fchmod(opened, 0600) != 0) {
      const int error = errno;
      close(opened);
      return CodeFromErrno(error, Step::kOther);
    }
    if (!files_.AddInUse(thread, name, length, opened)) {
      close(opened);
      return kErrorOutOfMemory;
    }
    *fd = opened;
    return kOk;
  }

  // Opens and checks the folder on first use (`removed` -1), or again when
  // `removed`, the descriptor in use, refers to a folder that was removed; a
  // refused folder is checked afresh on the next call, so it can be repaired
  // while we run. Done outside the mutex: the shared lock on the folder may
  // wait for a cleaner.
  ResultCode OpenFolder(int removed) {
    const int current = folder_fd_.load(std::memory_order_acquire);
    if (current != -1 && current != removed) return kOk;
    int fd;
    for (int pass = 0;; ++pass) {
      if (mkdir(folder_.get(), 0700) != 0 && errno != EEXIST) {
        return CodeFromErrno(errno, Step::kFolder);
      }
      // O_NOFOLLOW refuses a symbolic link planted at the folder's path, so
      // nothing behind it is ever touched.
      fd = RetryOnEintr([&] {
        return open(folder_.get(),
                    O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      });
      // ENOENT: removed again between the two calls, so it is made afresh.
      if (fd != -1 || errno != ENOENT || pass + 1 == kPassesMax) break;
    }
    if (fd == -1) return CodeFromErrno(errno, Step::kFolder);
    const ResultCode code = CheckFolder(fd);
    if (code != kOk) {
      close(fd);
      return code;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    const int now = folder_fd_.load(std::memory_order_relaxed);
    if (now != removed) {
      close(fd);  // another thread got there first
      return kOk;
    }
    if (now == -1) {
      // Where the kernel lacks open-file-description locks, flock(2) gives
      // the same ownership. The choice is made once, here, and never
      // changes: the two kinds of lock do not exclude each other.
      struct flock probe = {};
      probe.l_type = F_WRLCK;
      probe.l_whence = SEEK_SET;
      use_flock_ = fcntl(fd, F_OFD_GETLK, &probe) == -1 && errno == EINVAL;
    }
    folder_fd_.store(fd, std::memory_order_release);
    // Nobody uses the removed folder's descriptor outside the mutex. Its
    // number may have been closed and reused by a newer folder's since the
    // caller saw it; that one is then replaced by an equally good one.
    if (now != -1) close(now);
    return kOk;
  }

  // The folder must be ours and private. A folder created under a
  // restrictive umask gets its owner's rights back. While we use it we hold a
  // shared BSD lock on it: age-based cleaners that take the folder's lock
  // before emptying it leave it alone.
  ResultCode CheckFolder(int fd) const {
    struct stat st;
    if (fstat(fd, &st) != 0) return CodeFromErrno(errno, Step::kOther);
    if (!S_ISDIR(st.st_mode) || st.st_uid != euid_ || (st.st_mode & 077) != 0) {
      return kErrorLockFolderUnusable;
    }
    if ((st.st_mode & 0700) != 0700 && fchmod(fd, 0700) != 0) {
      return CodeFromErrno(errno, Step::kOther);
    }
    if (RetryOnEintr([&] { return flock(fd, LOCK_SH); }) != 0) {
      return CodeFromErrno(errno, Step::kOther);
    }
    return kOk;
  }

  const std::unique_ptr<char[]> folder_;
  const uid_t euid_;
  // Written under mutex_ when a folder passes its checks, and again when that
  // folder was removed and a new one passes them; the old descriptor is
  // closed then, under mutex_. Used for openat only under mutex_; compared
  // without it.
  std::atomic<int> folder_fd_{-1};
  // Mutex rules: mutex_ guards files_ and use_flock_; no call that can block
  // on a lock is made while holding it.
  std::mutex mutex_;
  LockFileTable files_;
  bool use_flock_ = false;  // fixed when the folder is opened
  // Guarded by gInstancesMutex.
  LockServiceImpl* next_ = nullptr;
  LockServiceImpl* previous_ = nullptr;
};

void ReleaseLocksOfEndingThread(void* thread) {
  std::lock_guard<std::mutex> lock(gInstancesMutex);
  for (LockServiceImpl* it = gInstances; it != nullptr; it = it->next()) {
    it->ReleaseAllOf(thread);
  }
}

// fork() handlers. The parent's tables are frozen across the fork, so that the
// child's copy is whole and its mutexes free.
void LockAllForFork() {
  gInstancesMutex.lock();
  for (LockServiceImpl* it = gInstances; it != nullptr; it = it->next()) {
    it->mutex().lock();
  }
}

void UnlockAllAfterFork() {
  for (LockServiceImpl* it = gInstances; it != nullptr; it = it->next()) {
    it->mutex().unlock();
  }
  gInstancesMutex.unlock();
}

void ForgetParentsLocksAfterFork() {
  for (LockServiceImpl* it = gInstances; it != nullptr; it = it->next()) {
    it->ForgetDescriptorsAfterForkLocked();
  }
  UnlockAllAfterFork();
}

// Registers the fork handlers and the thread-exit key once per process;
// returns false when that failed (out of memory or keys).
bool RegisterProcessHandlers() {
  static const bool registered = [] {
    return pthread_key_create(&gHolderKey, ReleaseLocksOfEndingThread) == 0 &&
           pthread_atfork(LockAllForFork, UnlockAllAfterFork,
                          ForgetParentsLocksAfterFork) == 0;
  }();
  return registered;
}

}  // namespace

std::string DefaultLockFolder() {
  char folder[48];
  WriteDefaultFolder(folder);
  return folder;
}

LockService* CreateLockService(const char* folder) {
  if (!RegisterProcessHandlers()) return nullptr;
  char default_folder[48];
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

}  // namespace wendlemoor
