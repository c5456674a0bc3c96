// A lock folder for one test that no other run uses: on POSIX systems a fresh
// folder inside a temporary one, removed with everything in it when the object
// goes; on Windows a name prefix of its own in the session's namespace, whose
// objects go with their last handle.
//
// Not thread-safe; one object per test. path() is empty when no folder could
// be made.
#ifndef WENDLEMOOR_TESTS_SCRATCH_LOCK_FOLDER_H_
#define WENDLEMOOR_TESTS_SCRATCH_LOCK_FOLDER_H_

#include <string>

#include "components/lock_service.h"

class ScratchLockFolder {
 public:
  ScratchLockFolder();
  ~ScratchLockFolder();
  ScratchLockFolder(const ScratchLockFolder&) = delete;
  ScratchLockFolder& operator=(const ScratchLockFolder&) = delete;

  // What CreateLockService takes as its folder.
  const std::string& path() const { return path_; }

  // A new service over the folder, with the caller's reference.
  wendlemoor::InterfacePtr<wendlemoor::LockService> NewService() const {
    return wendlemoor::InterfacePtr<wendlemoor::LockService>::Adopt(
        wendlemoor::CreateLockService(path_.c_str()));
  }

 private:
  std::string base_;  // what is removed afterwards (POSIX)
  std::string path_;
};

#endif  // WENDLEMOOR_TESTS_SCRATCH_LOCK_FOLDER_H_
