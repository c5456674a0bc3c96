#include "chaos/history.h"

#include <dirent.h>
#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "runtime/eintr.h"

const char* const kChaosFaultNames[] = {
    "thread-end",   "kill",          "fork",          "stop",
    "remove-files", "remove-folder", "two-instances", "misuse",
};
static_assert(sizeof kChaosFaultNames / sizeof kChaosFaultNames[0] ==
              static_cast<std::size_t>(ChaosFault::kCount));

std::uint64_t ChaosNow() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return std::uint64_t(now.tv_sec) * 1000000000u + std::uint64_t(now.tv_nsec);
}

bool RecordEvent(int fd, ChaosRecord record) {
  record.time = ChaosNow();
  record.pid = getpid();
  // One write of a few bytes to a file opened with O_APPEND lands whole and
  // is never interleaved with another thread's or process's record.
  return WriteAll(fd, reinterpret_cast<const char*>(&record), sizeof record);
}

namespace {

bool ReadFile(const std::string& path, std::vector<ChaosRecord>* records) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd == -1) return false;
  std::string bytes;
  char buffer[1 << 16];
  for (;;) {
    const ssize_t n =
        RetryOnEintr([&] { return read(fd, buffer, sizeof buffer); });
    if (n == 0) break;
    if (n < 0) {
      const int error = errno;
      close(fd);  // never retried (runtime/eintr.h)
      errno = error;
      return false;
    }
    bytes.append(buffer, static_cast<std::size_t>(n));
  }
  close(fd);
  // A file may hold no whole record (its process ended before it recorded
  // anything): there is then nothing to copy, and no buffer to copy into.
  const std::size_t count = bytes.size() / sizeof(ChaosRecord);
  if (count == 0) return true;
  const std::size_t first = records->size();
  records->resize(first + count);
  std::memcpy(records->data() + first, bytes.data(),
              count * sizeof(ChaosRecord));
  return true;
}

}  // namespace

void MergeHistory(std::vector<ChaosRecord>* records) {
  std::stable_sort(records->begin(), records->end(),
                   [](const ChaosRecord& a, const ChaosRecord& b) {
                     return a.time < b.time;
                   });
}

bool ReadHistory(const std::string& folder, std::vector<ChaosRecord>* records) {
  DIR* dir = opendir(folder.c_str());
  if (dir == nullptr) return false;
  std::vector<std::string> files;
  errno = 0;
  while (const struct dirent* entry = readdir(dir)) {
    const std::string name = entry->d_name;
    const std::string suffix = ".history";
    if (name.size() > suffix.size() &&
        name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0) {
      files.push_back(folder + "/" + name);
    }
  }
  const int error = errno;
  closedir(dir);
  if (error != 0) {
    errno = error;
    return false;
  }
  // A fixed order of files keeps the merge of equal times reproducible.
  std::sort(files.begin(), files.end());
  bool ok = true;
  for (const auto& file : files) ok = ReadFile(file, records) && ok;
  MergeHistory(records);
  return ok;
}
