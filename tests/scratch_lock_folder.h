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

class ScratchLockFolder {
 public:
  ScratchLockFolder();
  ~ScratchLockFolder();
  ScratchLockFolder(const ScratchLockFolder&) = delete;
  ScratchLockFolder& operator=(const ScratchLockFolder&) = delete;

  // What CreateLockService (NewService in lock_helpers.h) takes as its
  // folder.
  const std::string& path() const { return path_; }

 private:
  std::string base_;  // what is removed afterwards (POSIX)
  std::string path_;
};

#endif  // WENDLEMOOR_TESTS_SCRATCH_LOCK_FOLDER_H_
