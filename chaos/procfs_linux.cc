// The process table from /proc on Linux. A stat line is
// "PID (COMMAND) STATE PPID ...", and the command may hold anything,
// parentheses and spaces included, so the fields are read after the last
// ')'. The command is at most 15 bytes, so the fields read here come early
// in the line, which the kernel gives in one read.
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "chaos/procfs.h"
#include "runtime/eintr.h"

namespace wendlemoor {

namespace {

// The PIDs that name the entries of the folder `path`.
std::vector<pid_t> NumberedEntries(const std::string& path) {
  std::vector<pid_t> numbers;
  DIR* folder = opendir(path.c_str());
  if (folder == nullptr) return numbers;
  while (const dirent* entry = readdir(folder)) {
    char* end = nullptr;
    const long number = std::strtol(entry->d_name, &end, 10);
    if (number > 0 && *end == '\0') numbers.push_back(pid_t(number));
  }
  closedir(folder);
  return numbers;
}

}  // namespace

bool ReadProcStat(const std::string& path, ProcEntry* entry) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd == -1) return false;
  char line[512];
  const ssize_t n =
      RetryOnEintr([&] { return read(fd, line, sizeof line - 1); });
  close(fd);  // never retried (runtime/eintr.h)
  if (n <= 0) return false;
  line[n] = '\0';
  const char* close_paren = std::strrchr(line, ')');
  ProcEntry read_entry;
  int pid = 0, ppid = 0;
  if (close_paren == nullptr || std::sscanf(line, "%d", &pid) != 1 ||
      std::sscanf(close_paren + 1, " %c %d", &read_entry.state, &ppid) != 2) {
    return false;
  }
  read_entry.pid = pid_t(pid);
  read_entry.ppid = pid_t(ppid);
  *entry = read_entry;
  return true;
}

std::vector<ProcEntry> ProcessTable() {
  std::vector<ProcEntry> table;
  for (const pid_t pid : NumberedEntries("/proc")) {
    ProcEntry entry;
    if (ReadProcStat("/proc/" + std::to_string(pid) + "/stat", &entry)) {
      table.push_back(entry);
    }
  }
  return table;
}

}  // namespace wendlemoor
