// The loopback proxy on Linux: one thread per proxy in epoll, level
// triggered.
//
// Linux gives what the proxy needs in one wait: epoll over the listening
// socket, every connection's two sockets and an eventfd that carries the
// commands, so the thread sleeps until a byte, a client or a command comes
// and never polls. A socket is in epoll only while there is something to
// wait for on it (room to read into, bytes to write); one with nothing is
// taken out, because epoll reports a hang-up or an error whatever it was
// asked, and a frozen connection whose peer hung up would otherwise wake
// the thread again and again. Taken out before it is closed, too: a child
// forked by the run holds a copy of every descriptor until its exec, and
// epoll watches the open file, not the number.
//
// What it lacks: a non-blocking connect to a Unix socket whose queue of
// waiting connections is full fails (EAGAIN) instead of waiting; the client
// is then closed as for any connect that fails.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <filesystem>
#include <vector>

#include "chaos/proxy.h"
#include "runtime/eintr.h"

namespace wendlemoor {

namespace {

// Each way of each connection; a side is not read while its way is full.
constexpr std::size_t kBufferBytes = 64 * 1024;
// epoll tags: the eventfd, the listener, then (pair id << 1) | target side.
constexpr std::uint64_t kWakeTag = 0;
constexpr std::uint64_t kListenTag = 1;
constexpr int kMaxEvents = 64;
constexpr std::uint32_t kIn = EPOLLIN;
constexpr std::uint32_t kOut = EPOLLOUT;

std::string Cause(const std::string& what, const char* step, int error) {
  return what + ": " + step + ": " + std::strerror(error);
}

bool WouldBlock(int error) { return error == EAGAIN || error == EWOULDBLOCK; }

// close() is never retried (runtime/eintr.h); a failure leaves nothing to
// do, the descriptor is gone either way.
void CloseFd(int* fd) {
  if (*fd != -1) close(*fd);
  *fd = -1;
}

}  // namespace

struct LoopbackProxy::Endpoint {
  int family = AF_UNSPEC;
  sockaddr_storage address{};
  socklen_t size = 0;
  std::string path;  // AF_UNIX: the socket file
};

struct LoopbackProxy::Pair {
  // One way: bytes read from `from` and not yet written to `to`.
  struct Way {
    std::vector<char> bytes;
    std::size_t begin = 0;
    std::size_t end = 0;
    bool eof = false;   // `from` ended its writes
    bool shut = false;  // and that was passed on to `to`
    std::size_t size() const { return end - begin; }
  };
  enum class State { kWaiting, kConnecting, kOpen };

  std::uint64_t id = 0;
  State state = State::kWaiting;
  int client = -1;
  int target = -1;
  std::uint32_t client_events = 0;  // what epoll watches on each
  std::uint32_t target_events = 0;
  Way up;    // client to target
  Way down;  // target to client
};

namespace {

// Parses `text` (proxy.h's forms) into `*endpoint`; false with one line in
// `*error` for anything else, a host that is not loopback included.
bool Parse(const std::string& text, LoopbackProxy::Endpoint* endpoint,
           std::string* error) {
  if (text.starts_with("unix:")) {
    std::error_code code;
    const std::filesystem::path path =
        text.size() > 5 ? std::filesystem::absolute(text.substr(5), code)
                        : std::filesystem::path();
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.empty() || code) {
      *error = text + ": no socket path";
      return false;
    }
    endpoint->path = path.string();
    if (endpoint->path.size() >= sizeof address.sun_path) {
      *error = text + ": too long for a Unix socket path";
      return false;
    }
    std::memcpy(address.sun_path, endpoint->path.data(), endpoint->path.size());
    endpoint->family = AF_UNIX;
    std::memcpy(&endpoint->address, &address, sizeof address);
    endpoint->size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) +
                                            endpoint->path.size() + 1);
    return true;
  }
  const std::size_t colon = text.rfind(':');
  const std::string port_text =
      colon == std::string::npos ? "" : text.substr(colon + 1);
  unsigned long port = 0;
  bool port_ok = !port_text.empty() && port_text.size() <= 5;
  for (const char c : port_text) {
    port_ok = port_ok && c >= '0' && c <= '9';
    port = port * 10 + static_cast<unsigned long>(c - '0');
  }
  if (!port_ok || port > 65535) {
    *error = text + ": not unix:PATH or HOST:PORT";
    return false;
  }
  std::string host = text.substr(0, colon);
  if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
    host = host.substr(1, host.size() - 2);
  }
  if (host == "localhost") host = "127.0.0.1";
  sockaddr_in v4{};
  sockaddr_in6 v6{};
  if (inet_pton(AF_INET, host.c_str(), &v4.sin_addr) == 1 &&
      (ntohl(v4.sin_addr.s_addr) >> 24) == 127) {
    v4.sin_family = AF_INET;
    v4.sin_port = htons(static_cast<std::uint16_t>(port));
    endpoint->family = AF_INET;
    std::memcpy(&endpoint->address, &v4, sizeof v4);
    endpoint->size = sizeof v4;
    return true;
  }
  if (inet_pton(AF_INET6, host.c_str(), &v6.sin6_addr) == 1 &&
      IN6_IS_ADDR_LOOPBACK(&v6.sin6_addr)) {
    v6.sin6_family = AF_INET6;
    v6.sin6_port = htons(static_cast<std::uint16_t>(port));
    endpoint->family = AF_INET6;
    std::memcpy(&endpoint->address, &v6, sizeof v6);
    endpoint->size = sizeof v6;
    return true;
  }
  *error = text + ": not a loopback address";
  return false;
}

// The text form of a bound TCP endpoint, with its port.
std::string Text(const sockaddr_storage& address) {
  char host[INET6_ADDRSTRLEN] = {};
  if (address.ss_family == AF_INET6) {
    const auto* v6 = reinterpret_cast<const sockaddr_in6*>(&address);
    inet_ntop(AF_INET6, &v6->sin6_addr, host, sizeof host);
    return "[" + std::string(host) +
           "]:" + std::to_string(ntohs(v6->sin6_port));
  }
  const auto* v4 = reinterpret_cast<const sockaddr_in*>(&address);
  inet_ntop(AF_INET, &v4->sin_addr, host, sizeof host);
  return std::string(host) + ":" + std::to_string(ntohs(v4->sin_port));
}

// Moves what it can of one way, one read and one write: reads `from` while
// the way has room, writes to `to` while it holds bytes, and passes an end
// of writes on once every byte before it is written. Returns false when a
// side failed (reset, broken pipe): the connection is over.
bool Move(int from, int to, LoopbackProxy::Pair::Way* way) {
  if (!way->eof && way->size() < kBufferBytes) {
    if (way->end == kBufferBytes) {  // room only at the front
      std::memmove(way->bytes.data(), way->bytes.data() + way->begin,
                   way->size());
      way->end -= way->begin;
      way->begin = 0;
    }
    const ssize_t got = RetryOnEintr([&] {
      return recv(from, way->bytes.data() + way->end, kBufferBytes - way->end,
                  0);
    });
    if (got > 0) {
      way->end += static_cast<std::size_t>(got);
    } else if (got == 0) {
      way->eof = true;
    } else if (!WouldBlock(errno)) {
      return false;
    }
  }
  if (way->size() > 0) {
    const ssize_t sent = RetryOnEintr([&] {
      return send(to, way->bytes.data() + way->begin, way->size(),
                  MSG_NOSIGNAL);
    });
    if (sent > 0) {
      way->begin += static_cast<std::size_t>(sent);
      if (way->begin == way->end) way->begin = way->end = 0;
    } else if (sent == -1 && !WouldBlock(errno)) {
      return false;
    }
  }
  if (way->eof && way->size() == 0 && !way->shut) {
    if (shutdown(to, SHUT_WR) != 0) return false;
    way->shut = true;
  }
  return true;
}

// What epoll should wait for on the side that reads `in` and writes `out`.
std::uint32_t Wanted(const LoopbackProxy::Pair::Way& in,
                     const LoopbackProxy::Pair::Way& out) {
  std::uint32_t events = 0;
  if (!in.eof && in.size() < kBufferBytes) events |= kIn;
  if (out.size() > 0) events |= kOut;
  return events;
}

}  // namespace

std::unique_ptr<LoopbackProxy> LoopbackProxy::Start(const std::string& target,
                                                    const std::string& listen,
                                                    std::string* error) {
  std::unique_ptr<LoopbackProxy> proxy(new LoopbackProxy);
  proxy->target_ = std::make_unique<Endpoint>();
  Endpoint local;
  if (!Parse(target, proxy->target_.get(), error) ||
      !Parse(listen, &local, error)) {
    return nullptr;
  }
  proxy->epoll_fd_ = epoll_create1(EPOLL_CLOEXEC);
  if (proxy->epoll_fd_ == -1) {
    *error = Cause(listen, "epoll_create1", errno);
    return nullptr;
  }
  proxy->wake_fd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (proxy->wake_fd_ == -1) {
    *error = Cause(listen, "eventfd", errno);
    return nullptr;
  }
  proxy->listen_fd_ =
      socket(local.family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (proxy->listen_fd_ == -1) {
    *error = Cause(listen, "socket", errno);
    return nullptr;
  }
  const int on = 1;
  // A fixed port is taken again at once after a run, its old connections
  // in TIME_WAIT notwithstanding.
  if (local.family != AF_UNIX &&
      setsockopt(proxy->listen_fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) !=
          0) {
    *error = Cause(listen, "setsockopt", errno);
    return nullptr;
  }
  if (bind(proxy->listen_fd_, reinterpret_cast<sockaddr*>(&local.address),
           local.size) != 0) {
    *error = Cause(listen, "bind", errno);
    return nullptr;
  }
  // Ours from here on: the destructor removes it.
  proxy->socket_file_ = local.path;
  if (::listen(proxy->listen_fd_, SOMAXCONN) != 0) {
    *error = Cause(listen, "listen", errno);
    return nullptr;
  }
  if (local.family == AF_UNIX) {
    proxy->address_ = "unix:" + local.path;
  } else {
    sockaddr_storage bound{};
    socklen_t size = sizeof bound;
    if (getsockname(proxy->listen_fd_, reinterpret_cast<sockaddr*>(&bound),
                    &size) != 0) {
      *error = Cause(listen, "getsockname", errno);
      return nullptr;
    }
    proxy->address_ = Text(bound);
  }
  epoll_event wake{};
  wake.events = EPOLLIN;
  wake.data.u64 = kWakeTag;
  if (epoll_ctl(proxy->epoll_fd_, EPOLL_CTL_ADD, proxy->wake_fd_, &wake) != 0) {
    *error = Cause(listen, "epoll_ctl", errno);
    return nullptr;
  }
  proxy->SetInterest(proxy->listen_fd_, kListenTag, &proxy->listen_events_,
                     kIn);
  if (proxy->listen_events_ == 0) {
    *error = Cause(listen, "epoll_ctl", errno);
    return nullptr;
  }
  proxy->thread_ = JX_CreateThread(JX_USER_THREAD, ThreadMain, proxy.get(),
                                   JX_PRIORITY_NORMAL, JX_GLOBAL_THREAD,
                                   JX_JOINABLE_THREAD, 0);
  if (proxy->thread_ == nullptr) {
    *error = Cause(listen, "thread", errno);
    return nullptr;
  }
  return proxy;
}

LoopbackProxy::~LoopbackProxy() {
  if (thread_ != nullptr) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
    }
    const std::uint64_t one = 1;
    // An eventfd write fails only when its counter is near 2^64: never
    // here. The thread is joined whatever it said.
    (void)RetryOnEintr([&] { return write(wake_fd_, &one, sizeof one); });
    (void)JX_JoinThread(thread_);
  }
  CloseAll(false);
  CloseFd(&listen_fd_);
  CloseFd(&wake_fd_);
  CloseFd(&epoll_fd_);
  // Only a file this proxy bound; gone already is as good.
  if (!socket_file_.empty()) (void)unlink(socket_file_.c_str());
}

void LoopbackProxy::Freeze() { Command(Ask::kFreeze); }
void LoopbackProxy::Thaw() { Command(Ask::kThaw); }
void LoopbackProxy::Drop() { Command(Ask::kDrop); }

void LoopbackProxy::Command(Ask ask) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (ended_) return;
  if (ask == Ask::kDrop) {
    ++drops_asked_;
  } else {
    want_frozen_ = ask == Ask::kFreeze;
  }
  const std::uint64_t mine = ++asked_;
  lock.unlock();
  const std::uint64_t one = 1;
  if (RetryOnEintr([&] { return write(wake_fd_, &one, sizeof one); }) !=
      static_cast<ssize_t>(sizeof one)) {
    return;  // cannot happen (see the destructor); never wait in vain
  }
  lock.lock();
  applied_cv_.wait(lock, [&] { return applied_ >= mine || ended_; });
}

void LoopbackProxy::ThreadMain(void* self) {
  auto* proxy = static_cast<LoopbackProxy*>(self);
  proxy->Loop();
  // Broken or stopped: nobody waits for a command that will not come.
  std::lock_guard<std::mutex> lock(proxy->mutex_);
  proxy->ended_ = true;
  proxy->applied_cv_.notify_all();
}

void LoopbackProxy::Loop() {
  epoll_event events[kMaxEvents];
  for (;;) {
    const int count = RetryOnEintr(
        [&] { return epoll_wait(epoll_fd_, events, kMaxEvents, -1); });
    if (count == -1) {
      // Only a broken epoll descriptor fails here: the clients are better
      // off told than left hanging.
      CloseAll(true);
      return;
    }
    for (int i = 0; i < count; ++i) {
      const std::uint64_t tag = events[i].data.u64;
      if (tag == kWakeTag) {
        if (!TakeCommands()) return;
        // The rest of this batch may be of connections frozen since:
        // epoll tells again of those still ready and still watched.
        break;
      } else if (tag == kListenTag) {
        Accept();
      } else {
        // A pair closed earlier in this batch is no longer there.
        const auto found = pairs_.find(tag >> 1);
        if (found != pairs_.end()) {
          Serve(found->second.get(), (tag & 1) != 0);
        }
      }
    }
  }
}

bool LoopbackProxy::TakeCommands() {
  std::uint64_t count = 0;
  // Non-blocking: EAGAIN when another wake-up read it first; nothing lost,
  // the state below is what counts.
  (void)RetryOnEintr([&] { return read(wake_fd_, &count, sizeof count); });
  bool frozen = false;
  std::uint64_t drops = 0;
  std::uint64_t asked = 0;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stop_) return false;
    frozen = want_frozen_;
    drops = drops_asked_;
    asked = asked_;
  }
  if (drops != drops_done_) {
    CloseAll(true);
    drops_done_ = drops;
  }
  if (frozen != frozen_) {
    frozen_ = frozen;
    std::vector<std::uint64_t> ids;
    for (const auto& [id, pair] : pairs_) ids.push_back(id);
    for (const std::uint64_t id : ids) {
      const auto found = pairs_.find(id);
      if (found == pairs_.end()) continue;
      Pair* pair = found->second.get();
      if (pair->state == Pair::State::kWaiting) {
        if (!frozen_) StartConnect(pair);
      } else if (pair->state == Pair::State::kConnecting) {
        SetInterest(pair->target, (id << 1) | 1, &pair->target_events,
                    frozen_ ? 0 : kOut);
      } else {
        Pump(pair);
      }
    }
  }
  // Out of descriptors earlier: a command is a good moment to try again.
  if (listen_events_ == 0) {
    SetInterest(listen_fd_, kListenTag, &listen_events_, kIn);
  }
  std::lock_guard<std::mutex> lock(mutex_);
  applied_ = asked;
  applied_cv_.notify_all();
  return true;
}

void LoopbackProxy::Accept() {
  for (;;) {
    const int fd = RetryOnEintr([&] {
      return accept4(listen_fd_, nullptr, nullptr,
                     SOCK_NONBLOCK | SOCK_CLOEXEC);
    });
    if (fd == -1) {
      if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS ||
          errno == ENOMEM) {
        // The client waits in the queue; listening again when a connection
        // closes (or at the next command) keeps epoll from waking us for
        // it over and over.
        SetInterest(listen_fd_, kListenTag, &listen_events_, 0);
        return;
      }
      if (errno == ECONNABORTED) continue;  // gone before it was taken
      // EAGAIN: none left. Anything else is no reason to spin: a client
      // still waiting in the queue makes epoll report it again.
      return;
    }
    auto pair = std::make_unique<Pair>();
    pair->id = next_id_++;
    pair->client = fd;
    Pair* raw = pair.get();
    pairs_.emplace(raw->id, std::move(pair));
    ++open_;
    if (!frozen_) StartConnect(raw);
  }
}

void LoopbackProxy::StartConnect(Pair* pair) {
  pair->target =
      socket(target_->family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (pair->target == -1) {
    Close(pair->id, false);
    return;
  }
  // Not retried on EINTR: a non-blocking connect goes on in the background
  // whatever interrupted it, and reports as one in progress does.
  if (connect(pair->target, reinterpret_cast<sockaddr*>(&target_->address),
              target_->size) == 0) {
    pair->state = Pair::State::kOpen;
    pair->up.bytes.resize(kBufferBytes);
    pair->down.bytes.resize(kBufferBytes);
    Pump(pair);
  } else if (errno == EINPROGRESS || errno == EINTR) {
    pair->state = Pair::State::kConnecting;
    SetInterest(pair->target, (pair->id << 1) | 1, &pair->target_events, kOut);
  } else {
    Close(pair->id, false);
  }
}

void LoopbackProxy::Serve(Pair* pair, bool target_event) {
  if (pair->state == Pair::State::kConnecting) {
    if (!target_event) return;
    int failure = 0;
    socklen_t size = sizeof failure;
    if (getsockopt(pair->target, SOL_SOCKET, SO_ERROR, &failure, &size) != 0 ||
        failure != 0) {
      Close(pair->id, false);
      return;
    }
    pair->state = Pair::State::kOpen;
    pair->up.bytes.resize(kBufferBytes);
    pair->down.bytes.resize(kBufferBytes);
  }
  if (pair->state == Pair::State::kOpen) Pump(pair);
}

void LoopbackProxy::Pump(Pair* pair) {
  const std::uint64_t tag = pair->id << 1;
  // The one place a freeze acts: out of epoll, the sockets are neither read
  // nor written, and their hang-ups wake nobody.
  if (frozen_) {
    SetInterest(pair->client, tag, &pair->client_events, 0);
    SetInterest(pair->target, tag | 1, &pair->target_events, 0);
    return;
  }
  if (!Move(pair->client, pair->target, &pair->up) ||
      !Move(pair->target, pair->client, &pair->down)) {
    Close(pair->id, true);  // pass the reset or broken pipe on
    return;
  }
  if (pair->up.shut && pair->down.shut) {
    Close(pair->id, false);
    return;
  }
  SetInterest(pair->client, tag, &pair->client_events,
              Wanted(pair->up, pair->down));
  SetInterest(pair->target, tag | 1, &pair->target_events,
              Wanted(pair->down, pair->up));
}

void LoopbackProxy::SetInterest(int fd, std::uint64_t tag,
                                std::uint32_t* registered, std::uint32_t want) {
  if (fd == -1 || want == *registered) return;
  epoll_event event{};
  event.events = want;
  event.data.u64 = tag;
  const int op = want == 0          ? EPOLL_CTL_DEL
                 : *registered == 0 ? EPOLL_CTL_ADD
                                    : EPOLL_CTL_MOD;
  // Fails only without memory for a new watch (ENOMEM, ENOSPC): the
  // descriptor then stays as epoll had it, and `*registered` says so.
  if (epoll_ctl(epoll_fd_, op, fd, &event) == 0) *registered = want;
}

void LoopbackProxy::Close(std::uint64_t id, bool reset) {
  const auto found = pairs_.find(id);
  if (found == pairs_.end()) return;
  Pair* pair = found->second.get();
  const std::uint64_t tag = id << 1;
  SetInterest(pair->client, tag, &pair->client_events, 0);
  SetInterest(pair->target, tag | 1, &pair->target_events, 0);
  const linger now = {1, 0};
  for (const int fd : {pair->client, pair->target}) {
    if (fd == -1) continue;
    // A close ends a connection only with the last descriptor of it, and a
    // child forked since holds one until its exec; a shutdown ends it for
    // every holder. ENOTCONN (never connected, or the peer gone) is as
    // good.
    (void)shutdown(fd, SHUT_RDWR);
    // A zero linger makes close() send a TCP reset; a Unix socket ignores
    // it. A failure leaves the ordinary close, the shutdown has ended the
    // connection.
    if (reset) (void)setsockopt(fd, SOL_SOCKET, SO_LINGER, &now, sizeof now);
  }
  CloseFd(&pair->client);
  CloseFd(&pair->target);
  pairs_.erase(found);
  --open_;
  if (listen_events_ == 0 && listen_fd_ != -1) {
    SetInterest(listen_fd_, kListenTag, &listen_events_, kIn);
  }
}

void LoopbackProxy::CloseAll(bool reset) {
  while (!pairs_.empty()) Close(pairs_.begin()->first, reset);
}

}  // namespace wendlemoor
