// The process table as the kernel shows it under /proc: what the run and a
// server's guard learn of processes they did not start themselves (an
// adapter's children, a server's backends), which no wait(2) reports to
// them.
//
// Every read is a snapshot of a moment: a process may begin or end while
// the table is read, and a process ID read here may be reused by the time
// it is signalled unless the reader is that process's parent.
#ifndef WENDLEMOOR_CHAOS_PROCFS_H_
#define WENDLEMOOR_CHAOS_PROCFS_H_

#include <sys/types.h>

#include <string>
#include <vector>

namespace wendlemoor {

// A process as its stat line shows it.
struct ProcEntry {
  pid_t pid = 0;
  // 'R' running, 'S' or 'D' asleep, 'T' stopped, 't' stopped by a tracer,
  // 'Z' ended but not reaped, ...
  char state = 0;
  pid_t ppid = 0;  // its parent (a subreaper, once adopted)
};

// Reads the stat line at `path` ("/proc/PID/stat"). Returns false when the
// process is gone or the line cannot be read or parsed; *entry is then
// unchanged.
bool ReadProcStat(const std::string& path, ProcEntry* entry);

// Every process /proc lists now; empty when /proc cannot be read.
std::vector<ProcEntry> ProcessTable();

}  // namespace wendlemoor

#endif  // WENDLEMOOR_CHAOS_PROCFS_H_
