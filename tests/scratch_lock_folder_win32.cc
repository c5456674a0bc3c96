#include "tests/scratch_lock_folder.h"

#include <windows.h>

ScratchLockFolder::ScratchLockFolder() {
  static int made = 0;
  path_ = "Local\\wendlemoor-test-" + std::to_string(GetCurrentProcessId()) +
          "-" + std::to_string(++made);
}

ScratchLockFolder::~ScratchLockFolder() = default;
