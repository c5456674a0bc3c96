// A loopback proxy: stands between the clients of a lock server and the
// server, on this machine, so that the run can cut one client off without
// touching the client or the server.
//
// Each connection accepted at the proxy's address gets a connection of its
// own to the target; bytes pass both ways in order, none lost, through two
// bounded buffers per connection (64 KiB each way): a side is not read
// while the buffer towards the other side is full, so a slow reader slows
// its writer down as it would on a direct connection. A half-close (one
// side ending its writes, shutdown(SHUT_WR)) is passed on once the bytes
// before it are. A connection to the target that fails closes the client's
// connection.
//
// The faults:
//   Freeze  nothing passes either way and nothing is read from either side:
//           the kernel's buffers fill and both peers see a silent but open
//           connection, as behind a network that drops every packet. New
//           connections are accepted and left waiting: their connection to
//           the target is made at the Thaw.
//   Thaw    everything goes on from where it stood; what the proxy held is
//           delivered.
//   Drop    every connection is shut down both ways and closed on both
//           sides, even where a child forked since holds a copy of its
//           descriptor: the peer sees end of file, and on TCP a reset
//           (ECONNRESET) when it reads or writes on. The proxy keeps
//           listening.
//
// Addresses: "unix:/path" (a Unix stream socket; a relative path is made
// absolute at Start) or "HOST:PORT" where HOST is a loopback address
// (127.0.0.0/8, "localhost", "::1" or "[::1]"); anything else is refused, so
// that traffic never leaves the machine. Listening on port 0 takes a free
// port, which address() then gives.
//
// Each proxy has one thread of its own, which waits in epoll for its
// sockets and for an eventfd that carries the commands; every descriptor is
// non-blocking and close-on-exec (the run forks adapters, which must not
// keep the proxy's connections open), and no write can raise SIGPIPE
// (MSG_NOSIGNAL), whatever the process does with that signal.
//
// Thread safety: Freeze, Thaw, Drop and address may be called from any
// thread, at once; each of the three returns once the proxy's thread has
// acted on it (after Freeze returns, not one more byte passes). They block
// only for that, never on a peer. A child made by fork() has no proxy
// thread: only the process that started the proxy may use it (a child that
// calls Freeze would wait for ever); the child's copies of its descriptors
// close at its exec. Ownership:
// the proxy owns its thread, its listening socket (and its Unix socket
// file, which it removes at the end) and every connection; destroying it
// closes them all and joins the thread.
#ifndef WENDLEMOOR_CHAOS_PROXY_H_
#define WENDLEMOOR_CHAOS_PROXY_H_

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "runtime/thread.h"

namespace wendlemoor {

class LoopbackProxy {
 public:
  // Listens on `listen` ("unix:/path" or "127.0.0.1:0": a free port) and
  // forwards every connection to `target` ("unix:/path" or "HOST:PORT",
  // loopback only). The target need not answer yet: each connection is
  // made when a client comes. Returns the proxy, running, or null with one
  // line's cause in `*error` ("10.0.0.1:80: not a loopback address",
  // "unix:/tmp/x: bind: Address already in use"), nothing left behind (an
  // existing socket file is never removed). Does not block.
  static std::unique_ptr<LoopbackProxy> Start(const std::string& target,
                                              const std::string& listen,
                                              std::string* error);
  ~LoopbackProxy();
  LoopbackProxy(const LoopbackProxy&) = delete;
  LoopbackProxy& operator=(const LoopbackProxy&) = delete;

  // What clients are given, in the forms above: "unix:/abs/path" or
  // "127.0.0.1:PORT" with the port taken.
  const std::string& address() const { return address_; }
  // No byte passes either way; connections stay open. Idempotent.
  void Freeze();
  // Bytes pass again, nothing lost. Idempotent.
  void Thaw();
  // Every connection closed on both sides; new ones are accepted (and
  // served unless frozen).
  void Drop();

  // How many client connections are open, waiting ones included (a
  // snapshot, for tests and reports).
  int connections() const { return open_.load(); }

  // Opaque outside proxy_linux.cc.
  struct Endpoint;  // a parsed address
  struct Pair;      // one client's connection and its own to the target

 private:
  LoopbackProxy() = default;
  static void ThreadMain(void* self);
  void Loop();
  // Sends a command to the thread and waits until it is applied.
  enum class Ask { kFreeze, kThaw, kDrop };
  void Command(Ask ask);
  // The thread's side (proxy_linux.cc).
  bool TakeCommands();
  void Accept();
  void Serve(Pair* pair, bool target_event);
  void StartConnect(Pair* pair);
  void Pump(Pair* pair);
  void SetInterest(int fd, std::uint64_t tag, std::uint32_t* registered,
                   std::uint32_t want);
  void Close(std::uint64_t id, bool reset);
  void CloseAll(bool reset);

  std::string address_;
  std::string socket_file_;  // the Unix socket file to remove, or empty
  std::unique_ptr<Endpoint> target_;
  int listen_fd_ = -1;
  int epoll_fd_ = -1;
  int wake_fd_ = -1;  // eventfd: a command is waiting
  JX_Thread thread_ = nullptr;

  // The thread's own state.
  std::map<std::uint64_t, std::unique_ptr<Pair>> pairs_;
  std::uint64_t next_id_ = 1;
  bool frozen_ = false;
  std::uint64_t drops_done_ = 0;
  std::uint32_t listen_events_ = 0;  // 0 while out of descriptors
  std::atomic<int> open_{0};         // pairs_.size(), for connections()

  // Mutex rules: mutex_ guards every field below.
  std::mutex mutex_;
  std::condition_variable applied_cv_;
  bool want_frozen_ = false;
  bool stop_ = false;
  bool ended_ = false;  // the thread has ended; commands return at once
  std::uint64_t drops_asked_ = 0;
  std::uint64_t asked_ = 0;    // commands sent
  std::uint64_t applied_ = 0;  // commands the thread has acted on
};

}  // namespace wendlemoor

#endif  // WENDLEMOOR_CHAOS_PROXY_H_
