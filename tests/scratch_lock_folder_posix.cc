#include "tests/scratch_lock_folder.h"

#include <cstdlib>
#include <filesystem>

ScratchLockFolder::ScratchLockFolder() {
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern = (tmp != nullptr && *tmp != '\0') ? tmp : "/tmp";
  pattern += "/wendlemoor-lock-test-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) return;
  base_ = pattern;
  path_ = base_ + "/locks";
}

ScratchLockFolder::~ScratchLockFolder() {
  std::error_code ignored;
  if (!base_.empty()) std::filesystem::remove_all(base_, ignored);
}
