/* boost-file-lock: a Boost.Interprocess file_lock on "<folder>/<hex of the
 * name>", as a C++ program uses it: the file is made (with the folder,
 * when it is missing) and the file_lock over it constructed at the name's
 * first use, then kept until the service goes, one per name; lock() takes
 * the name (try_lock() when the caller must not block), unlock() gives it
 * back.
 *
 * A file_lock belongs to the process, not the thread (its documentation
 * says so: threads of one process are not kept apart by it, and one process
 * should keep one file_lock per file). The plain row measures it alone:
 * every thread of a holding process is granted the name, a holder asking
 * again is granted and one unlock() ends both grants, and a release of what
 * the caller does not hold, a forked child's included, answers
 * WENDLEMOOR_OK. The +turns row adds the shared table of
 * modules/module_common.h: the threads of a process take turns
 * (exclude_threads) before one takes the file_lock, and the table answers
 * the misuse codes and the forked child's release. A killed holder's lock
 * goes with its process.
 *
 * The kernel's deadlock check under the file_lock sees processes, not
 * threads: while one thread holds a name and another thread of the same
 * process waits for a second name, a process waiting the other way round is
 * told EDEADLK (the library throws it) though no thread waits for itself.
 * The wait then goes on after a short pause, as modules/fcntl_lock.c does.
 *
 * What it does not claim: a thread that ends holding leaves the name taken
 * until its process ends (with +turns, in its own process for good: the
 * table's turn is never given back); a file
 * removed, or its folder, while held lets the next process lock a new file
 * while the holder still holds the old one.
 *
 * Written in C++ against the C entry point of components/module.h alone:
 * no exception leaves a function the host calls. */
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <unistd.h>

#include <boost/interprocess/exceptions.hpp>
#include <boost/interprocess/sync/file_lock.hpp>
#include <ctime>
#include <new>

extern "C" {
#include "modules/module_common.h"
}

namespace {

namespace bip = boost::interprocess;

// The failure code of a library exception: its errno where it has one.
wendlemoor_result CodeOf(const bip::interprocess_exception& error) {
  const int native = static_cast<int>(error.get_native_error());
  return native != 0 ? wm_code_from_errno(native)
                     : WENDLEMOOR_ERROR_LOCK_FOLDER_UNUSABLE;
}

// The pause before waiting again after a false EDEADLK.
void PauseAfterFalseDeadlock() {
  const struct timespec pause = {0, 1000000};
  nanosleep(&pause, nullptr);  // a signal may shorten it: the wait goes on
}

wendlemoor_result Prepare(wm_service* s, wm_entry* e) {
  char path[PATH_MAX];
  wm_lock_file_path(s, e->name, "", path);
  // file_lock locks a file that exists: make it first.
  const int fd = wm_open_in_folder(s, path, O_RDWR | O_CREAT);
  if (fd < 0) return wm_code_from_errno(errno);
  if (close(fd) != 0 && errno != EINTR) return wm_code_from_errno(errno);
  try {
    e->object = reinterpret_cast<intptr_t>(new bip::file_lock(path));
    return WENDLEMOOR_OK;
  } catch (const bip::interprocess_exception& error) {
    return CodeOf(error);
  } catch (const std::bad_alloc&) {
    return WENDLEMOOR_ERROR_OUT_OF_MEMORY;
  }
}

wendlemoor_result Take(wm_service*, wm_entry* e, int wait, intptr_t*) {
  auto* lock = reinterpret_cast<bip::file_lock*>(e->object);
  for (;;) {
    try {
      if (!wait) {
        return lock->try_lock() ? WENDLEMOOR_OK : WENDLEMOOR_ERROR_LOCK_BUSY;
      }
      lock->lock();
      return WENDLEMOOR_OK;
    } catch (const bip::interprocess_exception& error) {
      // A signal ends the library's wait with EINTR: wait again; after a
      // false EDEADLK, after a pause.
      if (error.get_native_error() == EDEADLK) {
        PauseAfterFalseDeadlock();
      } else if (error.get_native_error() != EINTR) {
        return CodeOf(error);
      }
    }
  }
}

wendlemoor_result Give(wm_service*, wm_entry* e, intptr_t) {
  try {
    reinterpret_cast<bip::file_lock*>(e->object)->unlock();
    return WENDLEMOOR_OK;
  } catch (const bip::interprocess_exception& error) {
    return CodeOf(error);
  }
}

void Drop(wm_entry* e) {
  if (e->object != WM_NONE) delete reinterpret_cast<bip::file_lock*>(e->object);
}

const wm_mechanism kMechanism = {1, 0, Prepare, Take, Give, Drop};

}  // namespace

extern "C" {
WM_DEFINE_MODULE("boost-file-lock", kMechanism, nullptr)
}
