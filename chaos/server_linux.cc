// Lock servers for a run, on Linux: a guard process per server.
//
// Linux gives what the guard needs: a process group of its own (setpgid),
// a death signal that setpriv keeps across a change of user (a change of
// credentials otherwise clears it), a pipe whose end the kernel makes when
// its last writer dies, however it dies, and loopback ports that the kernel
// picks free (bind to port 0). What it lacks: a way to hand a server a port
// it holds already, so a port is picked, closed and given, and another
// process may take it in between; the server then fails to start, and says
// so in its log, whose last line becomes the cause.
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "chaos/control.h"
#include "chaos/procfs.h"
#include "chaos/server.h"
#include "runtime/eintr.h"
#include "runtime/interval.h"

namespace wendlemoor {

namespace {

constexpr uid_t kNobody = 65534;
constexpr gid_t kNogroup = 65534;
constexpr char kPostgresBin[] = "/usr/lib/postgresql/15/bin";
// How often the guard looks whether its server answers, and for the end of
// the keep pipe while it waits.
constexpr int kLookMs = 25;
// How long a server has to stop after its shutdown signal, and the caller
// for the guard's end.
constexpr int kStopMs = 10000;
constexpr int kGuardEndMs = 30000;

struct Plan {
  std::string kind;
  std::string folder;
  std::string socket;             // the Unix socket a client names, or empty
  std::string channel;            // the guard's channel (ServerChannel)
  int port = 0;                   // the client port on 127.0.0.1, or 0
  std::vector<std::string> init;  // a command to run first, or empty
  std::vector<std::string> run;   // the server
  int stop_signal = SIGTERM;
  bool drop = false;  // run as nobody
};

// A free loopback port, or 0 with errno set.
int FreePort() {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd == -1) return 0;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  int port = 0;
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) == 0) {
    port = ntohs(address.sin_port);
  }
  const int saved = errno;
  close(fd);  // never retried (runtime/eintr.h)
  errno = saved;
  return port;
}

// The commands of a server of `kind` in `folder`. Returns false with the
// cause in `*error`.
bool MakePlan(const std::string& kind, const std::string& folder, Plan* plan,
              std::string* error) {
  plan->kind = kind;
  plan->folder = folder;
  plan->drop = geteuid() == 0;
  const std::string data = folder + "/data";
  if (kind == "postgres") {
    const std::string bin = kPostgresBin;
    plan->socket = folder + "/.s.PGSQL.5432";
    plan->init = {
        bin + "/initdb", "-D",        data,         "-A",
        "trust",         "-U",        "postgres",   "-E",
        "UTF8",          "--no-sync", "--locale=C", "--no-instructions"};
    // No TCP; shared memory of its own in the data folder (mmap), so that
    // nothing of it is left in /dev/shm.
    plan->run = {bin + "/postgres",
                 "-D",
                 data,
                 "-k",
                 folder,
                 "-p",
                 "5432",
                 "-c",
                 "listen_addresses=",
                 "-c",
                 "fsync=off",
                 "-c",
                 "max_connections=300",
                 "-c",
                 "shared_buffers=16MB",
                 "-c",
                 "dynamic_shared_memory_type=mmap",
                 "-c",
                 "unix_socket_permissions=0777"};
    plan->stop_signal = SIGINT;  // its fast shutdown: clients cut off
  } else if (kind == "redis" || kind == "redis-aof") {
    plan->socket = folder + "/redis.sock";
    plan->run = {"/usr/bin/redis-server",
                 "--port",
                 "0",
                 "--unixsocket",
                 plan->socket,
                 "--unixsocketperm",
                 "777",
                 "--dir",
                 folder,
                 "--save",
                 "",
                 "--appendonly",
                 kind == "redis" ? "no" : "yes",
                 "--appendfsync",
                 "everysec",
                 "--daemonize",
                 "no",
                 "--logfile",
                 ""};
  } else if (kind == "etcd") {
    const int client = FreePort();
    const int peer = client == 0 ? 0 : FreePort();
    if (peer == 0) {
      *error = std::string("no free loopback port: ") + std::strerror(errno);
      return false;
    }
    plan->port = client;
    const std::string client_url = "http://127.0.0.1:" + std::to_string(client);
    const std::string peer_url = "http://127.0.0.1:" + std::to_string(peer);
    plan->run = {"/usr/bin/etcd",
                 "--name",
                 "wendlemoor",
                 "--data-dir",
                 data,
                 "--listen-client-urls",
                 client_url,
                 "--advertise-client-urls",
                 client_url,
                 "--listen-peer-urls",
                 peer_url,
                 "--initial-advertise-peer-urls",
                 peer_url,
                 "--initial-cluster",
                 "wendlemoor=" + peer_url,
                 "--initial-cluster-state",
                 "new"};
  } else {
    *error = "no such server kind";
    return false;
  }
  plan->channel = folder + "/guard.sock";
  for (const std::string& path : {plan->socket, plan->channel}) {
    if (path.size() >= sizeof(sockaddr_un{}.sun_path)) {
      *error = path + ": a socket path longer than " +
               std::to_string(sizeof(sockaddr_un{}.sun_path) - 1) + " bytes";
      return false;
    }
  }
  return true;
}

// True when `folder` is a folder with nothing in it; errno stays EEXIST.
bool EmptyFolder(const std::string& folder) {
  DIR* dir = opendir(folder.c_str());
  if (dir == nullptr) return false;
  bool empty = true;
  while (const dirent* entry = readdir(dir)) {
    const std::string name = entry->d_name;
    empty = empty && (name == "." || name == "..");
  }
  closedir(dir);
  errno = EEXIST;
  return empty;
}

// ---- The guard's side: everything below up to Server runs in the guard.

// True once the keep pipe has ended (or cannot be waited on), after at most
// `ms` milliseconds.
bool KeepEnded(int keep, int ms) {
  pollfd p = {keep, POLLIN, 0};
  const int n = RetryOnEintr([&] { return poll(&p, 1, ms); });
  return n != 0;
}

// The last line of a log file, for a cause.
std::string LastLine(const std::string& path) {
  std::ifstream file(path);
  std::string line, last;
  while (std::getline(file, line)) {
    if (line.find_first_not_of(" \t\r") != std::string::npos) last = line;
  }
  if (last.size() > 300) last.resize(300);
  return last.empty() ? "(its log " + path + " is empty)" : last;
}

JX_Process Launch(const Plan& plan, const std::vector<std::string>& command,
                  const std::string& log) {
  std::vector<std::string> strings;
  if (plan.drop) {
    strings = {"/usr/bin/setpriv",
               "--reuid=" + std::to_string(kNobody),
               "--regid=" + std::to_string(kNogroup),
               "--clear-groups",
               "--pdeathsig=keep",
               "--"};
  }
  strings.insert(strings.end(), command.begin(), command.end());
  std::vector<char*> argv;
  for (std::string& s : strings) argv.push_back(s.data());
  argv.push_back(nullptr);
  JX_ProcessAttributes attributes;
  attributes.output_file = log.c_str();
  attributes.working_folder = plan.folder.c_str();
  attributes.new_process_group = true;
  attributes.die_with_parent = true;
  attributes.default_sigpipe = true;
  return JX_CreateProcess(argv[0], argv.data(), nullptr, &attributes);
}

// Sends `request` to the socket at `address` and reads until `expect`
// arrives (true), or the server closes, is silent for a second or refuses.
bool Answers(const sockaddr* address, socklen_t size, const char* request,
             const char* expect) {
  const int fd = socket(address->sa_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd == -1) return false;
  timeval second = {1, 0};
  (void)setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &second, sizeof second);
  (void)setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &second, sizeof second);
  bool ok = RetryOnEintr([&] { return connect(fd, address, size); }) == 0 &&
            WriteAll(fd, request, std::strlen(request));
  std::string got;
  while (ok && got.find(expect) == std::string::npos) {
    char buffer[512];
    const ssize_t n =
        RetryOnEintr([&] { return read(fd, buffer, sizeof buffer); });
    if (n <= 0) ok = false;
    if (n > 0) got.append(buffer, std::size_t(n));
  }
  close(fd);  // never retried (runtime/eintr.h)
  return ok;
}

// Whether the server `pid` answers as a ready one does.
bool Ready(const Plan& plan, pid_t pid) {
  if (plan.kind == "postgres") {
    // Line 8 of postmaster.pid says "ready" once it takes connections; line
    // 1 names the server, so that a killed one's file is not taken for the
    // restarted one's.
    std::ifstream file(plan.folder + "/data/postmaster.pid");
    std::string line;
    for (int i = 0; i < 8 && std::getline(file, line); ++i) {
      if (i == 0 && line != std::to_string(pid)) return false;
      if (i == 7) return line.starts_with("ready");
    }
    return false;
  }
  if (plan.port != 0) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(std::uint16_t(plan.port));
    return Answers(reinterpret_cast<sockaddr*>(&address), sizeof address,
                   "GET /health HTTP/1.0\r\n\r\n", "\"health\":\"true\"");
  }
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, plan.socket.c_str(), plan.socket.size() + 1);
  return Answers(reinterpret_cast<sockaddr*>(&address), sizeof address,
                 "PING\r\n", "+PONG");
}

enum class Wait { kEnded, kReady, kLate, kLeft };

// Waits until `process` ends (kEnded, `*code` set), `ready` says so
// (kReady), `deadline` passes (kLate) or the keep pipe ends (kLeft).
template <typename ReadyCall>
Wait AwaitProcess(JX_Process process, std::uint64_t deadline, int keep,
                  int* code, ReadyCall ready) {
  for (;;) {
    if (JX_WaitProcessFor(process, 0, code) != JX_TIMED_OUT) {
      return Wait::kEnded;
    }
    if (ready()) return Wait::kReady;
    if (JX_MonotonicNanos() >= deadline) return Wait::kLate;
    if (KeepEnded(keep, kLookMs)) return Wait::kLeft;
  }
}

// The state letter of `process` in /proc ('T' stopped, 'Z' a zombie), or
// 0 when it is gone.
char StateOf(pid_t process) {
  ProcEntry entry;
  return ReadProcStat("/proc/" + std::to_string(process) + "/stat", &entry)
             ? entry.state
             : 0;
}

// The process `pid` and every process descended from it, by the parent
// links of /proc: a server's processes. PostgreSQL's children each lead a
// session of their own (setsid), so a signal to the server's process group
// reaches its postmaster alone.
std::vector<pid_t> Tree(pid_t pid) {
  const std::vector<ProcEntry> table = ProcessTable();
  std::vector<pid_t> tree = {pid};
  for (std::size_t i = 0; i < tree.size(); ++i) {
    for (const ProcEntry& process : table) {
      if (process.ppid == tree[i]) tree.push_back(process.pid);
    }
  }
  return tree;
}

// Sends `signal` to the server `pid`'s group and to every process of its
// tree, the server first: stopped or killed, it forks no more.
void SignalTree(pid_t pid, int signal) {
  (void)kill(pid, signal);
  (void)kill(-pid, signal);
  for (const pid_t process : Tree(pid)) (void)kill(process, signal);
}

// True while one of `processes` lives: exists and is not a zombie that
// nobody has reaped yet.
bool AnyLives(const std::vector<pid_t>& processes) {
  for (const pid_t process : processes) {
    const char state = StateOf(process);
    if (state != 0 && state != 'Z') return true;
  }
  return false;
}

// Stops a server that runs: its shutdown signal, then SIGKILL to its group.
void Stop(const Plan& plan, JX_Process server) {
  const pid_t pid = JX_GetProcessId(server);
  (void)kill(pid, plan.stop_signal);
  SignalTree(pid, SIGCONT);  // a paused server handles it only now
  int code = 0;
  (void)JX_WaitProcessOrKill(server, kStopMs, &code);
  (void)kill(-pid, SIGKILL);  // what it left in its group
}

std::string Seconds(std::uint64_t nanos) {
  char text[32];
  std::snprintf(text, sizeof text, "%.0f s", double(nanos) / 1e9);
  return text;
}

// Starts the server and waits until it answers, until `deadline` (the
// monotonic clock; `deadline_ns` is its length, for the cause) at most, or
// until the keep pipe ends. Returns it, or null with the cause in `*cause`:
// a server that did not answer is stopped.
JX_Process StartAndAwait(const Plan& plan, std::uint64_t deadline,
                         std::uint64_t deadline_ns, int keep,
                         std::string* cause) {
  const std::string log = plan.folder + "/server.log";
  JX_Process server = Launch(plan, plan.run, log);
  if (server == nullptr) {
    *cause = plan.run[0] + ": " + std::strerror(errno);
    return nullptr;
  }
  const pid_t pid = JX_GetProcessId(server);
  int code = 0;
  switch (AwaitProcess(server, deadline, keep, &code,
                       [&] { return Ready(plan, pid); })) {
    case Wait::kEnded:
      *cause =
          "exited with status " + std::to_string(code) + ": " + LastLine(log);
      return nullptr;
    case Wait::kReady:
      return server;
    case Wait::kLate:
      *cause =
          "did not start within " + Seconds(deadline_ns) + ": " + LastLine(log);
      break;
    case Wait::kLeft:
      *cause = "abandoned";
      break;
  }
  Stop(plan, server);
  return nullptr;
}

// The guard's channel: a Unix socket at `path`, for this user alone (the
// folder is). Returns the listening socket, or -1 with the cause.
int Listen(const std::string& path, std::string* cause) {
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  if (fd == -1 ||
      bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(fd, 8) != 0) {
    *cause = path + ": " + std::strerror(errno);
    if (fd != -1) close(fd);  // never retried (runtime/eintr.h)
    return -1;
  }
  return fd;
}

// Waits until every process of the server `pid` has stopped, or is gone (a
// second at most): a stop lands a little after its signal. Returns false
// with errno set when one did not stop.
bool Stopped(pid_t pid, int keep) {
  const std::vector<pid_t> tree = Tree(pid);
  for (int ms = 0; ms < 1000; ++ms) {
    bool all = true;
    for (const pid_t process : tree) {
      const char state = StateOf(process);
      all = all && (state == 'T' || state == 't' || state == 'Z' || state == 0);
    }
    if (all) return true;
    if (KeepEnded(keep, 1)) break;
  }
  errno = ETIMEDOUT;
  return false;
}

// Kills the server's every process and starts it again on the same plan:
// the same data, socket and ports. Returns the new server, or null with the
// cause. The server is stopped first, so that it forks nothing while its
// tree is read; every killed process is waited for to its end (at most
// kStopMs), so that nothing of it holds the data, the socket or a port.
JX_Process Restart(const Plan& plan, JX_Process server, int keep,
                   std::uint64_t deadline_ns, std::string* cause) {
  const pid_t pid = JX_GetProcessId(server);
  // Once stopped the server forks no more: the tree read then is whole.
  SignalTree(pid, SIGSTOP);
  (void)Stopped(pid, keep);
  const std::vector<pid_t> tree = Tree(pid);
  SignalTree(pid, SIGKILL);
  for (const pid_t process : tree) (void)kill(process, SIGKILL);
  int code = 0;
  (void)JX_WaitProcessOrKill(server, kStopMs, &code);
  const std::uint64_t gone_by =
      JX_MonotonicNanos() + std::uint64_t(kStopMs) * 1000000;
  while (AnyLives(tree) && JX_MonotonicNanos() < gone_by) {
    if (KeepEnded(keep, 1)) {
      *cause = "abandoned";
      return nullptr;
    }
  }
  return StartAndAwait(plan, JX_MonotonicNanos() + deadline_ns, deadline_ns,
                       keep, cause);
}

// Serves the channel `listener` until the keep pipe ends: each connection
// sends one request line. "pid" answers "server PID"; "stop" stops the server's
// group and answers "stopped PID"; the group goes on at that connection's end.
// "restart" answers "ready PID" or "failed CAUSE". `*server` is the server that
// runs, null once a restart failed.
void Serve(const Plan& plan, int keep, int listener, std::uint64_t deadline_ns,
           JX_Process* server) {
  struct Client {
    int fd;
    std::string got;
    bool paused = false;
  };
  std::vector<Client> clients;
  auto answer = [](const Client& c, const std::string& line) {
    (void)WriteAll(c.fd, line.data(), line.size());
  };
  auto resume = [&](Client& c) {
    if (c.paused && *server != nullptr) {
      SignalTree(JX_GetProcessId(*server), SIGCONT);
    }
    c.paused = false;
  };
  for (;;) {
    std::vector<pollfd> fds = {{keep, POLLIN, 0}, {listener, POLLIN, 0}};
    for (const Client& c : clients) fds.push_back({c.fd, POLLIN, 0});
    if (RetryOnEintr([&] { return poll(fds.data(), fds.size(), -1); }) < 0 ||
        fds[0].revents != 0) {
      break;
    }
    for (std::size_t i = clients.size(); i-- > 0;) {
      Client& c = clients[i];
      if (fds[i + 2].revents == 0) continue;
      char buffer[128];
      const ssize_t n =
          RetryOnEintr([&] { return read(c.fd, buffer, sizeof buffer); });
      if (n > 0) c.got.append(buffer, std::size_t(n));
      const std::size_t end = c.got.find('\n');
      if (n <= 0 || c.got.size() > 256) {
        resume(c);
        close(c.fd);  // never retried (runtime/eintr.h)
        clients.erase(clients.begin() + std::ptrdiff_t(i));
        continue;
      }
      if (end == std::string::npos) continue;
      const std::string request = c.got.substr(0, end);
      c.got.erase(0, end + 1);
      if (*server == nullptr) {
        answer(c, "failed no server since a restart failed\n");
      } else if (request == "stop") {
        const pid_t pid = JX_GetProcessId(*server);
        if (!c.paused && kill(pid, SIGSTOP) == 0) {
          SignalTree(pid, SIGSTOP);
          c.paused = Stopped(pid, keep);
          if (!c.paused) SignalTree(pid, SIGCONT);
        }
        answer(c, c.paused
                      ? "stopped " + std::to_string(pid) + "\n"
                      : std::string("failed ") + std::strerror(errno) + "\n");
      } else if (request == "pid") {
        answer(c, "server " + std::to_string(JX_GetProcessId(*server)) + "\n");
      } else if (request == "restart") {
        for (Client& other : clients) other.paused = false;
        std::string cause;
        *server = Restart(plan, *server, keep, deadline_ns, &cause);
        answer(c,
               *server != nullptr
                   ? "ready " + std::to_string(JX_GetProcessId(*server)) + "\n"
                   : "failed " + cause + "\n");
      } else {
        answer(c, "failed unknown request\n");
      }
    }
    if (fds[1].revents != 0) {
      const int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd != -1) clients.push_back({fd, ""});
    }
  }
  for (Client& c : clients) {
    resume(c);
    close(c.fd);  // never retried (runtime/eintr.h)
  }
  close(listener);  // never retried (runtime/eintr.h)
}

// The guard: starts the server, says "ready PID" or "failed CAUSE" on
// `status`, waits for the end of `keep`, stops the server and removes the
// folder. Never returns.
[[noreturn]] void Guard(const Plan& plan, int status, int keep,
                        std::uint64_t deadline_ns) {
  (void)setpgid(0, 0);
  const std::uint64_t start = JX_MonotonicNanos();
  const std::uint64_t deadline = start + deadline_ns;
  std::string cause;
  JX_Process server = nullptr;
  int code = 0;
  if (!plan.init.empty()) {
    const std::string log = plan.folder + "/init.log";
    JX_Process init = Launch(plan, plan.init, log);
    if (init == nullptr) {
      cause = plan.init[0] + ": " + std::strerror(errno);
    } else {
      switch (AwaitProcess(init, deadline, keep, &code, [] { return false; })) {
        case Wait::kEnded:
          if (code != 0) {
            cause = "its initialisation ended with status " +
                    std::to_string(code) + ": " + LastLine(log);
          }
          break;
        case Wait::kReady:
        case Wait::kLate:
          cause =
              "its initialisation did not end within " + Seconds(deadline_ns);
          (void)JX_WaitProcessOrKill(init, 0, &code);
          break;
        case Wait::kLeft:
          cause = "abandoned";
          (void)JX_WaitProcessOrKill(init, 0, &code);
          break;
      }
    }
  }
  if (cause.empty()) {
    server = StartAndAwait(plan, deadline, deadline_ns, keep, &cause);
  }
  const int channel = cause.empty() ? Listen(plan.channel, &cause) : -1;
  if (channel == -1 && server != nullptr) {
    Stop(plan, server);
    server = nullptr;
  }
  const std::string said =
      cause.empty() ? "ready " + std::to_string(JX_GetProcessId(server)) + "\n"
                    : "failed " + cause + "\n";
  (void)WriteAll(status, said.data(), said.size());
  close(status);  // never retried (runtime/eintr.h)
  if (cause.empty()) Serve(plan, keep, channel, deadline_ns, &server);
  if (server != nullptr) Stop(plan, server);
  (void)RemoveTree(plan.folder);
  _exit(0);
}

// Reads the guard's one line, waiting at most `ms`. Returns it without its
// newline, or an empty string when none came whole.
std::string ReadStatus(int fd, int ms) {
  const std::uint64_t deadline =
      JX_MonotonicNanos() + std::uint64_t(ms) * 1000000;
  std::string line;
  while (line.find('\n') == std::string::npos) {
    const std::uint64_t now = JX_MonotonicNanos();
    if (now >= deadline) return "";
    pollfd p = {fd, POLLIN, 0};
    const int wait = int((deadline - now) / 1000000) + 1;
    if (RetryOnEintr([&] { return poll(&p, 1, wait); }) < 0) return "";
    if (p.revents == 0) continue;
    char buffer[512];
    const ssize_t n =
        RetryOnEintr([&] { return read(fd, buffer, sizeof buffer); });
    if (n <= 0) return "";
    line.append(buffer, std::size_t(n));
  }
  return line.substr(0, line.find('\n'));
}

}  // namespace

bool IsServerKind(const std::string& kind) {
  return kind == "postgres" || kind == "redis" || kind == "redis-aof" ||
         kind == "etcd";
}

std::string DeclaredServer(const std::string& command) {
  const std::size_t start = command.find_first_not_of(' ');
  if (start == std::string::npos) return "";
  const std::string path =
      command.substr(start, command.find(' ', start) - start);
  std::ifstream file(path);
  std::string line;
  constexpr char kMark[] = "# wendlemoor-server: ";
  for (int i = 0; i < 64 && std::getline(file, line); ++i) {
    if (!line.starts_with(kMark)) continue;
    std::string kind = line.substr(sizeof kMark - 1);
    while (!kind.empty() && (kind.back() == ' ' || kind.back() == '\r')) {
      kind.pop_back();
    }
    return kind;
  }
  return "";
}

std::unique_ptr<Server> Server::Start(const std::string& kind,
                                      const std::string& given, int deadline_ms,
                                      std::string* error) {
  const std::uint64_t start = JX_MonotonicNanos();
  // The server runs in a folder of its own and is reached from others: a
  // relative folder is made absolute here, against this process's.
  std::error_code failed;
  const std::string folder =
      std::filesystem::absolute(given, failed).lexically_normal().string();
  if (failed) {
    *error = given + ": " + failed.message();
    return nullptr;
  }
  Plan plan;
  if (!MakePlan(kind, folder, &plan, error)) return nullptr;
  if (mkdir(folder.c_str(), 0700) != 0 &&
      (errno != EEXIST || !EmptyFolder(folder))) {
    *error = folder + ": " + std::strerror(errno);
    return nullptr;
  }
  if (plan.drop && chown(folder.c_str(), kNobody, kNogroup) != 0) {
    *error = folder + ": " + std::strerror(errno);
    (void)RemoveTree(folder);
    return nullptr;
  }
  int status[2], keep[2];
  if (pipe2(status, O_CLOEXEC) != 0) {
    *error = std::string("pipe: ") + std::strerror(errno);
    (void)RemoveTree(folder);
    return nullptr;
  }
  if (pipe2(keep, O_CLOEXEC) != 0) {
    *error = std::string("pipe: ") + std::strerror(errno);
    close(status[0]);
    close(status[1]);
    (void)RemoveTree(folder);
    return nullptr;
  }
  std::fflush(nullptr);  // nothing buffered is written twice
  const pid_t guard = fork();
  if (guard == 0) {
    close(status[0]);
    close(keep[1]);
    Guard(plan, status[1], keep[0], std::uint64_t(deadline_ms) * 1000000);
  }
  const int saved = errno;
  close(status[1]);
  close(keep[0]);
  std::unique_ptr<Server> server(new Server);
  server->kind_ = kind;
  server->folder_ = folder;
  server->keep_ = keep[1];
  if (guard == -1) {
    *error = std::string("fork: ") + std::strerror(saved);
    close(status[0]);
    return nullptr;  // the destructor removes the folder
  }
  server->guard_ = JX_AdoptProcess(guard);
  // The guard keeps the deadline; a guard that says nothing well past it is
  // stuck, and ends with the pipe.
  const std::string line = ReadStatus(status[0], deadline_ms + kStopMs);
  close(status[0]);
  if (!line.starts_with("ready ")) {
    *error = line.starts_with("failed ")
                 ? line.substr(7)
                 : "its guard did not say whether it started";
    return nullptr;
  }
  server->pid_ = pid_t(std::atoi(line.c_str() + 6));
  server->channel_ = plan.channel;
  server->address_ = plan.socket.empty()
                         ? "127.0.0.1:" + std::to_string(plan.port)
                         : "unix:" + plan.socket;
  server->start_ms_ = (JX_MonotonicNanos() - start) / 1000000;
  return server;
}

Server::~Server() {
  if (keep_ != -1) close(keep_);  // the guard stops the server now
  if (guard_ != nullptr) {
    int code = 0;
    (void)JX_WaitProcessOrKill(guard_, kGuardEndMs, &code);
  }
  // A guard killed at its deadline left the folder; its server dies with
  // it (die_with_parent).
  if (!folder_.empty()) (void)RemoveTree(folder_);
}

bool Server::Export(std::string* error) const {
  if (setenv(kServerVariable, address_.c_str(), 1) != 0 ||
      setenv(kServerChannelVariable, channel_.c_str(), 1) != 0) {
    *error = std::string("setenv: ") + std::strerror(errno);
    return false;
  }
  return true;
}

void Server::Unexport() {
  (void)unsetenv(kServerVariable);
  (void)unsetenv(kServerChannelVariable);
}

int ServerChannel::Send(const char* request, std::string* error) const {
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path_.size() >= sizeof address.sun_path) {
    *error = path_ + ": too long for a socket path";
    if (fd != -1) close(fd);  // never retried (runtime/eintr.h)
    return -1;
  }
  std::memcpy(address.sun_path, path_.c_str(), path_.size() + 1);
  if (fd == -1 || RetryOnEintr([&] {
                    return connect(fd, reinterpret_cast<sockaddr*>(&address),
                                   sizeof address);
                  }) != 0 ||
      !WriteAll(fd, request, std::strlen(request))) {
    *error = path_ + ": " + std::strerror(errno);
    if (fd != -1) close(fd);  // never retried (runtime/eintr.h)
    return -1;
  }
  return fd;
}

pid_t ServerChannel::Pause(std::string* error) {
  if (paused_ != -1) return paused_pid_;
  const int fd = Send("stop\n", error);
  if (fd == -1) return -1;
  const std::string line = ReadStatus(fd, 5000);
  if (!line.starts_with("stopped ")) {
    *error = line.starts_with("failed ") ? line.substr(7)
                                         : "its guard did not answer";
    close(fd);  // never retried (runtime/eintr.h); the server goes on
    return -1;
  }
  paused_ = fd;
  paused_pid_ = pid_t(std::atoi(line.c_str() + 8));
  return paused_pid_;
}

void ServerChannel::Resume() {
  if (paused_ == -1) return;
  // The end of the connection continues the server, whatever was said.
  close(paused_);  // never retried (runtime/eintr.h)
  paused_ = -1;
  paused_pid_ = -1;
}

pid_t ServerChannel::Pid(std::string* error) const {
  const int fd = Send("pid\n", error);
  if (fd == -1) return -1;
  const std::string line = ReadStatus(fd, 5000);
  close(fd);  // never retried (runtime/eintr.h)
  if (!line.starts_with("server ")) {
    *error = line.starts_with("failed ") ? line.substr(7)
                                         : "its guard did not answer";
    return -1;
  }
  return pid_t(std::atoi(line.c_str() + 7));
}

pid_t ServerChannel::Restart(int deadline_ms, std::string* error) {
  Resume();
  const int fd = Send("restart\n", error);
  if (fd == -1) return -1;
  const std::string line = ReadStatus(fd, deadline_ms + 2 * kStopMs);
  close(fd);  // never retried (runtime/eintr.h)
  if (!line.starts_with("ready ")) {
    *error = line.starts_with("failed ") ? line.substr(7)
                                         : "its guard did not answer";
    return -1;
  }
  return pid_t(std::atoi(line.c_str() + 6));
}

}  // namespace wendlemoor
