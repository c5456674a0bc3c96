/* boost-named-mutex: a Boost.Interprocess named_mutex per name, as a C++
 * program uses it: made with open_or_create at the name's first use and kept
 * until the service goes; lock() takes the name (try_lock() when the caller
 * must not block), unlock() gives it back.
 *
 * Mutex names are global to the machine, so each is derived from the
 * folder: "wendlemoor-bnm-<hash of the folder path>-<hex of the name>".
 * cleanup() removes every mutex of the folder with named_mutex::remove: it
 * finds them by that prefix where Linux keeps them (the library makes a
 * named mutex a POSIX named semaphore, /dev/shm/sem.<name>), so none is
 * missed when the folder was removed. Removing unlinks the name alone, safe
 * while services of the folder live: those that opened a mutex keep it, and
 * one that first uses the name later makes a new one beside it.
 *
 * Threads exclude each other as processes do (the mutex is not the
 * process's). The plain row measures the mutex alone. On Linux it is a
 * semaphore with no owner: a holder asking again sleeps for good, as lock()
 * sleeps while the mutex is locked, and an unlock by anyone, a forked child
 * included, is a success that lets two callers hold the name. The +turns row
 * adds the shared table of modules/module_common.h, which answers the misuse
 * codes and the forked child's release. What it does not claim: the mutex has
 * no owner the system knows, so a holder killed or a thread ended holding
 * leaves the name taken for good. Files or the folder removed do not touch it.
 *
 * Written in C++ against the C entry point of components/module.h alone:
 * no exception leaves a function the host calls. */
#include <dirent.h>
#include <errno.h>
#include <limits.h>

#include <boost/interprocess/exceptions.hpp>
#include <boost/interprocess/sync/named_mutex.hpp>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <new>

extern "C" {
#include "modules/module_common.h"
}

namespace {

namespace bip = boost::interprocess;

const char kShm[] = "/dev/shm";

// "wendlemoor-bnm-<hash>-": the folder's prefix of every mutex name.
void Prefix(const char* folder, char* out, size_t size) {
  std::snprintf(out, size, "wendlemoor-bnm-%016" PRIx64 "-", wm_hash(folder));
}

// The failure code of a library exception: its errno where it has one.
wendlemoor_result CodeOf(const bip::interprocess_exception& error) {
  const int native = static_cast<int>(error.get_native_error());
  return native != 0 ? wm_code_from_errno(native)
                     : WENDLEMOOR_ERROR_LOCK_FOLDER_UNUSABLE;
}

wendlemoor_result Prepare(wm_service* s, wm_entry* e) {
  char prefix[64];
  char hex[2 * WENDLEMOOR_LOCK_NAME_MAX + 1];
  char name[NAME_MAX];
  Prefix(s->folder, prefix, sizeof prefix);
  wm_hex(e->name, hex);
  std::snprintf(name, sizeof name, "%s%s", prefix, hex);
  try {
    e->object = reinterpret_cast<intptr_t>(
        new bip::named_mutex(bip::open_or_create, name));
    return WENDLEMOOR_OK;
  } catch (const bip::interprocess_exception& error) {
    return CodeOf(error);
  } catch (const std::bad_alloc&) {
    return WENDLEMOOR_ERROR_OUT_OF_MEMORY;
  }
}

wendlemoor_result Take(wm_service*, wm_entry* e, int wait, intptr_t*) {
  auto* mutex = reinterpret_cast<bip::named_mutex*>(e->object);
  for (;;) {
    try {
      if (!wait) {
        return mutex->try_lock() ? WENDLEMOOR_OK : WENDLEMOOR_ERROR_LOCK_BUSY;
      }
      mutex->lock();
      return WENDLEMOOR_OK;
    } catch (const bip::interprocess_exception& error) {
      // A signal ends the library's wait with EINTR: wait again.
      if (error.get_native_error() != EINTR) return CodeOf(error);
    }
  }
}

wendlemoor_result Give(wm_service*, wm_entry* e, intptr_t) {
  try {
    reinterpret_cast<bip::named_mutex*>(e->object)->unlock();
    return WENDLEMOOR_OK;
  } catch (const bip::interprocess_exception& error) {
    return CodeOf(error);
  }
}

void Drop(wm_entry* e) {
  if (e->object != WM_NONE) {
    delete reinterpret_cast<bip::named_mutex*>(e->object);
  }
}

void Cleanup(const char* folder) {
  if (folder == nullptr) return;
  char prefix[64];
  Prefix(folder, prefix, sizeof prefix);
  DIR* dir = opendir(kShm);
  if (dir == nullptr) return;
  const size_t length = std::strlen(prefix);
  for (struct dirent* d; (d = readdir(dir)) != nullptr;) {
    const char* name = d->d_name;
    if (std::strncmp(name, "sem.", 4) == 0) name += 4;
    if (std::strncmp(name, prefix, length) != 0) continue;
    try {
      (void)bip::named_mutex::remove(name);
    } catch (...) {  // remove() reports by its result; nothing to undo here
    }
  }
  closedir(dir);
}

const wm_mechanism kMechanism = {0, 0, Prepare, Take, Give, Drop};

}  // namespace

extern "C" {
WM_DEFINE_MODULE("boost-named-mutex", kMechanism, Cleanup)
}
