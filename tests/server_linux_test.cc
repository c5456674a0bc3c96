// The lock servers a run starts (chaos/server.h): each one answers at its
// address, and leaves nothing behind, no process, socket or folder, both
// when its owner ends it and when its owner is killed; paused and
// restarted through its guard's channel by another object than its owner,
// it answers at the same address, and the killed server is gone.
#include <dirent.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <vector>

#include "chaos/server.h"
#include "gtest/gtest.h"
#include "runtime/eintr.h"
#include "runtime/interval.h"
#include "tests/run_capture.h"

namespace {

constexpr int kStartMs = 60000;
constexpr std::uint64_t kGoneNanos = 60ull * 1000000000;

bool Exists(const std::string& path) {
  struct stat status;
  return lstat(path.c_str(), &status) == 0;
}

// True while any process of the group `pgid` lives (a server's helpers
// included).
bool GroupLives(pid_t pgid) { return kill(-pgid, 0) == 0 || errno == EPERM; }

// True when a connection to `address` ("unix:PATH" or "127.0.0.1:PORT")
// is taken.
bool Connects(const std::string& address) {
  sockaddr_un unix_address{};
  sockaddr_in inet_address{};
  sockaddr* where = reinterpret_cast<sockaddr*>(&inet_address);
  socklen_t size = sizeof inet_address;
  if (address.starts_with("unix:")) {
    unix_address.sun_family = AF_UNIX;
    address.copy(unix_address.sun_path, sizeof unix_address.sun_path - 1, 5);
    where = reinterpret_cast<sockaddr*>(&unix_address);
    size = sizeof unix_address;
  } else {
    inet_address.sin_family = AF_INET;
    inet_address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    inet_address.sin_port = htons(
        std::uint16_t(std::atoi(address.c_str() + address.find(':') + 1)));
  }
  const int fd = socket(where->sa_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const bool taken = fd != -1 && connect(fd, where, size) == 0;
  if (fd != -1) close(fd);
  return taken;
}

// The state letter of process `pid` in /proc ('T' stopped), or 0.
char State(pid_t pid) {
  FILE* file =
      std::fopen(("/proc/" + std::to_string(pid) + "/stat").c_str(), "r");
  if (file == nullptr) return 0;
  char state = 0;
  if (std::fscanf(file, "%*d (%*[^)]) %c", &state) != 1) state = 0;
  std::fclose(file);
  return state;
}

// The processes whose parent is `pid`.
std::vector<pid_t> Children(pid_t pid) {
  std::vector<pid_t> children;
  DIR* proc = opendir("/proc");
  while (const dirent* entry = proc ? readdir(proc) : nullptr) {
    const pid_t process = std::atoi(entry->d_name);
    FILE* file =
        process > 0
            ? std::fopen(
                  ("/proc/" + std::string(entry->d_name) + "/stat").c_str(),
                  "r")
            : nullptr;
    if (file == nullptr) continue;
    int parent = 0;
    if (std::fscanf(file, "%*d (%*[^)]) %*c %d", &parent) == 1 &&
        parent == pid) {
      children.push_back(process);
    }
    std::fclose(file);
  }
  if (proc != nullptr) closedir(proc);
  return children;
}

// Waits, with a generous deadline, until nothing of a server is left.
bool AllGone(pid_t pgid, const std::string& folder) {
  const std::uint64_t deadline = JX_MonotonicNanos() + kGoneNanos;
  while (GroupLives(pgid) || Exists(folder)) {
    if (JX_MonotonicNanos() >= deadline) return false;
    usleep(50000);
  }
  return true;
}

TEST(LockServerTest, EachServerAnswersAndLeavesNothingBehind) {
  TempDir temp;
  ASSERT_FALSE(temp.path().empty());
  // As root the server runs as nobody, who must reach its folder.
  ASSERT_EQ(chmod(temp.path().c_str(), 0711), 0);
  struct Row {
    const char* kind;
    const char* binary;  // the row is skipped where it is not installed
    bool owner_killed;   // the owner dies by SIGKILL instead of ending it
  };
  const std::vector<Row> rows = {
      {"postgres", "/usr/lib/postgresql/15/bin/postgres", false},
      {"postgres", "/usr/lib/postgresql/15/bin/postgres", true},
      {"redis", "/usr/bin/redis-server", false},
      {"redis-aof", "/usr/bin/redis-server", true},
      {"etcd", "/usr/bin/etcd", false},
      {"etcd", "/usr/bin/etcd", true},
  };
  int ran = 0;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const Row& row = rows[i];
    SCOPED_TRACE(std::string(row.kind) +
                 (row.owner_killed ? ", owner killed" : ""));
    if (access(row.binary, X_OK) != 0) continue;
    ++ran;
    const std::string folder = temp.path() + "/" + std::to_string(i);
    pid_t server_pid = -1;
    std::string address;
    if (!row.owner_killed) {
      std::string error;
      std::unique_ptr<wendlemoor::Server> server =
          wendlemoor::Server::Start(row.kind, folder, kStartMs, &error);
      ASSERT_NE(server, nullptr) << error;
      server_pid = server->pid();
      address = server->address();
      EXPECT_TRUE(GroupLives(server_pid));
      if (address.starts_with("unix:")) {
        EXPECT_TRUE(Exists(address.substr(5)));
      }
      // Paused and restarted by another than its owner, through the
      // channel: the old group is gone and the new server answers where
      // the old one did.
      {
        wendlemoor::ServerChannel channel(server->channel());
        EXPECT_EQ(channel.Pause(&error), server_pid) << error;
        // Every process of it, PostgreSQL's helpers in sessions of their
        // own included.
        const std::vector<pid_t> children = Children(server_pid);
        EXPECT_EQ(State(server_pid), 'T');
        for (const pid_t child : children) EXPECT_EQ(State(child), 'T');
        const pid_t restarted = channel.Restart(kStartMs, &error);
        ASSERT_GT(restarted, 0) << error;
        EXPECT_NE(restarted, server_pid);
        // A killed process of the old group may wait a moment to be reaped
        // by whoever adopted it; it is gone within seconds.
        for (int tries = 0; tries < 100 && GroupLives(server_pid); ++tries) {
          usleep(100000);
        }
        EXPECT_FALSE(GroupLives(server_pid));
        for (const pid_t child : children) {
          EXPECT_TRUE(State(child) == 0 || State(child) == 'Z');
        }
        EXPECT_TRUE(Connects(address)) << address;
        server_pid = restarted;
      }
      server.reset();
      // Ended by its owner: all gone by the time the destructor returns.
      EXPECT_FALSE(GroupLives(server_pid));
      EXPECT_FALSE(Exists(folder));
      continue;
    }
    // An owner that starts the server, says its process, and is killed.
    int said[2];
    ASSERT_EQ(pipe(said), 0);
    const pid_t owner = fork();
    ASSERT_NE(owner, -1);
    if (owner == 0) {
      close(said[0]);
      std::string error;
      std::unique_ptr<wendlemoor::Server> server =
          wendlemoor::Server::Start(row.kind, folder, kStartMs, &error);
      const std::string line =
          server == nullptr
              ? "0\n"
              : std::to_string(server->pid()) + " " + server->channel() + "\n";
      (void)WriteAll(said[1], line.data(), line.size());
      for (;;) pause();
    }
    close(said[1]);
    char text[512] = {};
    const ssize_t n =
        RetryOnEintr([&] { return read(said[0], text, sizeof text - 1); });
    close(said[0]);
    server_pid = n > 0 ? pid_t(std::atoi(text)) : 0;
    // Paused by this process while its owner dies: the guard continues it
    // to stop it.
    std::string channel_path = text;
    channel_path = channel_path.substr(channel_path.find(' ') + 1);
    channel_path.resize(channel_path.find('\n'));
    wendlemoor::ServerChannel channel(channel_path);
    std::string error;
    EXPECT_EQ(channel.Pause(&error), server_pid) << error;
    ASSERT_EQ(kill(owner, SIGKILL), 0);
    int status = 0;
    ASSERT_EQ(RetryOnEintr([&] { return waitpid(owner, &status, 0); }), owner);
    ASSERT_GT(server_pid, 0) << "the server did not start";
    EXPECT_TRUE(AllGone(server_pid, folder));
  }
  // Where the servers are installed, the table ran.
  if (ran == 0) GTEST_SKIP() << "no lock server installed";
  // A folder that cannot be made: the cause, and nothing started.
  std::string error;
  EXPECT_EQ(wendlemoor::Server::Start("redis", temp.path() + "/no/such",
                                      kStartMs, &error),
            nullptr);
  EXPECT_NE(error.find(temp.path() + "/no/such: No such file"),
            std::string::npos)
      << error;
}

}  // namespace
