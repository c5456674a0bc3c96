// Lock servers that a run starts for itself: a database or key-value server
// whose locks an adapter (docs/adapter-protocol.md) puts under the
// adversary, private to the run, on this machine alone.
//
// A server lives in a folder of its own, which Server::Start makes and which
// holds its data, its log and, where it has one, its Unix socket; nothing of
// it is outside that folder but a loopback port (etcd, which the client
// library reaches over TCP alone). The kinds:
//
//   postgres   PostgreSQL 15 (/usr/lib/postgresql/15/bin): initdb, then
//              postgres on a Unix socket, no TCP, trust for local users
//   redis      redis-server on a Unix socket, persistence off
//   redis-aof  the same with its append-only file on (fsync every second)
//   etcd       etcd on two free loopback ports (clients, peers)
//
// The address an adapter is given (WENDLEMOOR_SERVER) is "unix:PATH" for a
// socket (PostgreSQL's: DIR/.s.PGSQL.5432, the file its clients name by DIR
// and port) or "HOST:PORT".
//
// Each server is kept by a guard: a process forked from the caller, in a
// process group of its own (a terminal's Ctrl-C reaches neither), that
// starts the server and waits for the end of a pipe whose other end only the
// caller holds. When that pipe ends, because the Server is destroyed or its
// process died (a crash, SIGKILL, an unhandled Ctrl-C), the guard stops the
// server (its shutdown signal, then SIGKILL to its whole process group after
// 10 s), removes the folder and exits. The server dies with its guard
// (die_with_parent) should the guard itself be killed.
//
// The guard also serves a channel, a Unix socket in the folder, through
// which any process of the same user (a report card's cell, which does not
// own the Server) pauses and restarts the server (ServerChannel): the fault
// classes that strike a lock's server (chaos/fault.h) act through it. A
// pause stops every process of the server (SIGSTOP to its group and to its
// descendants: PostgreSQL's backends each lead a session of their own)
// until the process that asked continues it, or closes the channel, or
// dies; a restart kills them all (SIGKILL), waits for their end and starts
// the server again on the same data and the same address (socket path, ports),
// waiting until it answers. Server::Export names the channel in the
// environment beside the address, so that whatever starts a server for a
// row makes it a row "with a server of the run's own".
//
// Run as root, the server runs as the user nobody (uid and gid 65534, as on
// Debian; through setpriv, which keeps the death signal across the change of
// user), since PostgreSQL refuses root; its folder is then nobody's, and the
// folder around it must be searchable by others.
//
// Thread safety: one thread at a time. Start forks: call it while no other
// thread of the process holds a lock the child could need (the C library's
// own are safe), best before any thread starts. Ownership: the Server owns
// its guard and the server; destroying it stops both and removes the
// folder, waiting at most 30 s for that.
#ifndef WENDLEMOOR_CHAOS_SERVER_H_
#define WENDLEMOOR_CHAOS_SERVER_H_

#include <cstdint>
#include <memory>
#include <string>
#include <utility>

#include "runtime/process.h"

namespace wendlemoor {

// The environment variable that holds the server's address for adapters.
inline constexpr char kServerVariable[] = "WENDLEMOOR_SERVER";
// How long a run or a card gives a server to start, its initialisation
// included.
inline constexpr int kServerStartMs = 30000;
// The environment variable that names the channel of the server's guard
// (ServerChannel), set beside kServerVariable by Server::Export: a run finds
// in it that its lock's server is its own, to pause and restart.
inline constexpr char kServerChannelVariable[] = "WENDLEMOOR_SERVER_CHANNEL";

// True when `kind` names a server kind above.
bool IsServerKind(const std::string& kind);

// The server kind an adapter file declares with a line
// "# wendlemoor-server: KIND" among its first 64 lines; the file is the
// first word of the shell command line `command`. Returns an empty string
// when the file cannot be read or declares none.
std::string DeclaredServer(const std::string& command);

class Server {
 public:
  // Makes `folder` (or takes it when it is an empty folder already; its
  // parent must exist), removed at the end however it ends, and starts a
  // server of `kind` in it, waiting until it answers, at most
  // `deadline_ms`. Blocks; signals do not shorten the wait. Returns the
  // server, or null with one line's cause in `*error` ("did not start
  // within 30 s", "exited with status 1: LAST LINE OF ITS LOG", "FOLDER:
  // File exists"), nothing left behind: no process, no folder (unless it
  // existed before).
  // REQUIRES: IsServerKind(kind).
  static std::unique_ptr<Server> Start(const std::string& kind,
                                       const std::string& folder,
                                       int deadline_ms, std::string* error);
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  const std::string& kind() const { return kind_; }
  // "unix:/path" or "127.0.0.1:PORT".
  const std::string& address() const { return address_; }
  // The process ID of the server (the guard's child) as it started; a
  // restart through the channel starts another (ServerChannel::Restart).
  pid_t pid() const { return pid_; }
  // How long the start took, initialisation included.
  std::uint64_t start_ms() const { return start_ms_; }
  // The path of the guard's channel (ServerChannel).
  const std::string& channel() const { return channel_; }

  // Sets kServerVariable to address() and kServerChannelVariable to
  // channel() in this process's environment, for the processes it starts
  // after this. Returns false with the cause in `*error` when setenv fails.
  [[nodiscard]] bool Export(std::string* error) const;
  // Unsets both variables.
  static void Unexport();

 private:
  Server() = default;

  std::string kind_;
  std::string folder_;
  std::string address_;
  std::string channel_;
  pid_t pid_ = -1;  // the first server's: a restart makes another
  std::uint64_t start_ms_ = 0;
  JX_Process guard_ = nullptr;
  int keep_ = -1;  // our end of the pipe whose end stops the server
};

// A process's use of a running server's guard channel (Server::channel(),
// kServerChannelVariable): pause and restart of a server this process need
// not own. Each request is a connection of its own; a pause keeps its
// connection until Resume, so that a server paused by a process that dies
// goes on at once. Thread safety: one thread at a time. Ownership: the
// object owns the pause's connection; destroying it resumes the server.
class ServerChannel {
 public:
  explicit ServerChannel(std::string path) : path_(std::move(path)) {}
  ~ServerChannel() { Resume(); }
  ServerChannel(const ServerChannel&) = delete;
  ServerChannel& operator=(const ServerChannel&) = delete;

  // The process ID of the server that runs now, or -1 with the cause in
  // `*error`. Blocks 5 s at most.
  pid_t Pid(std::string* error) const;
  // Stops every process of the server (SIGSTOP). Blocks until the guard
  // says it did (5 s at most). Returns the server's process ID, or -1 with
  // the cause in `*error` (no guard there, no answer); nothing is paused
  // then. A second Pause before Resume returns the same server at once.
  pid_t Pause(std::string* error);
  // Continues a paused server (SIGCONT to its processes); nothing when
  // none is.
  void Resume();
  // Kills every process of the server (SIGKILL) and starts it again on the
  // same folder, data and address, after continuing it when paused. Blocks
  // until it answers: the guard gives it the deadline the server was
  // started with, and this waits for the guard `deadline_ms` (and 20 s for
  // the old group's end) at most. Returns the new server's process ID, or -1
  // with the cause in
  // `*error` ("did not start within 30 s: LAST LOG LINE"); the guard then
  // keeps no server, and the folder stays until its owner ends.
  pid_t Restart(int deadline_ms, std::string* error);

 private:
  // Connects and sends `request`; returns the connection, or -1 with the
  // cause in `*error`.
  int Send(const char* request, std::string* error) const;

  std::string path_;
  int paused_ = -1;  // the connection that holds the pause
  pid_t paused_pid_ = -1;
};

}  // namespace wendlemoor

#endif  // WENDLEMOOR_CHAOS_SERVER_H_
