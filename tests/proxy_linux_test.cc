// The loopback proxy (chaos/proxy.h), over a Unix socket and over TCP: bytes
// pass both ways intact under back-pressure, a freeze holds them and a thaw
// delivers them, a drop ends every connection and the next one works, and
// the proxy leaves no descriptor and no socket file behind.
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>

#include "chaos/proxy.h"
#include "gtest/gtest.h"
#include "runtime/eintr.h"
#include "tests/run_capture.h"

namespace {

using wendlemoor::LoopbackProxy;

constexpr int kDeadlineMs = 60000;
// Long enough that a byte the proxy let through would be seen.
constexpr int kSilenceMs = 1000;

// How many descriptors this process has open, and how many of them a
// child would keep across exec.
std::pair<int, int> OpenDescriptors() {
  std::pair<int, int> count = {0, 0};
  for (const auto& entry :
       std::filesystem::directory_iterator("/proc/self/fd")) {
    ++count.first;
    const int flags = fcntl(std::stoi(entry.path().filename()), F_GETFD);
    if (flags != -1 && !(flags & FD_CLOEXEC)) ++count.second;
  }
  return count;
}

// A socket of the address's kind: bound and listening (`*address` then gets
// the port taken), or connected; -1 when it fails.
int Socket(std::string* address, bool listening) {
  sockaddr_un un{AF_UNIX, {}};
  sockaddr_in in{};
  auto* raw = reinterpret_cast<sockaddr*>(&in);
  socklen_t size = sizeof in;
  if (address->starts_with("unix:")) {
    std::strncpy(un.sun_path, address->c_str() + 5, sizeof un.sun_path - 1);
    raw = reinterpret_cast<sockaddr*>(&un);
    size = sizeof un;
  } else {
    in.sin_family = AF_INET;
    in.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    in.sin_port = htons(std::stoi(address->substr(address->rfind(':') + 1)));
  }
  const int fd = socket(raw->sa_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listening ? bind(fd, raw, size) != 0 || listen(fd, 16) != 0 ||
                      getsockname(fd, raw, &size) != 0
                : connect(fd, raw, size) != 0) {
    close(fd);
    return -1;
  }
  if (listening && raw->sa_family == AF_INET) {
    *address = "127.0.0.1:" + std::to_string(ntohs(in.sin_port));
  }
  return fd;
}

// Polls `fd` for `events`; true when it came within `ms`.
bool Ready(int fd, short events, int ms) {
  pollfd p = {fd, events, 0};
  return RetryOnEintr([&] { return poll(&p, 1, ms); }) == 1;
}

int Accept(int listener) {
  if (!Ready(listener, POLLIN, kDeadlineMs)) return -1;
  return accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
}

// Writes what `fd` takes at once of `bytes` from `from` on; returns how much.
std::size_t Offer(int fd, const std::string& bytes, std::size_t from) {
  const ssize_t sent = RetryOnEintr([&] {
    return send(fd, bytes.data() + from, bytes.size() - from,
                MSG_DONTWAIT | MSG_NOSIGNAL);
  });
  return sent > 0 ? static_cast<std::size_t>(sent) : 0;
}

// Sends `out` from byte `from` on over `a` while reading at `b`; returns
// what `b` got: `want` bytes, or less when `b` ended or the deadline passed.
std::string Pass(int a, int b, const std::string& out, std::size_t from,
                 std::size_t want) {
  std::string got;
  while (got.size() < want) {
    pollfd p[2] = {{from < out.size() ? a : -1, POLLOUT, 0}, {b, POLLIN, 0}};
    if (RetryOnEintr([&] { return poll(p, 2, kDeadlineMs); }) <= 0) break;
    if (p[0].revents & POLLOUT) from += Offer(a, out, from);
    if (p[1].revents == 0) continue;
    char buffer[65536];
    const ssize_t n = RetryOnEintr(
        [&] { return recv(b, buffer, sizeof buffer, MSG_DONTWAIT); });
    if (n == 0 || (n < 0 && errno != EAGAIN)) break;
    if (n > 0) got.append(buffer, static_cast<std::size_t>(n));
  }
  return got;
}

// True when `fd` ends (end of file or a reset) within the deadline.
bool Ends(int fd) {
  char buffer[4096];
  ssize_t n = 1;
  while (n > 0 && Ready(fd, POLLIN, kDeadlineMs)) {
    n = RetryOnEintr([&] { return recv(fd, buffer, sizeof buffer, 0); });
  }
  return n == 0 || (n == -1 && errno == ECONNRESET);
}

std::string Pattern(std::size_t size, unsigned seed) {
  std::string bytes(size, '\0');
  std::minstd_rand random(seed);
  for (char& c : bytes) c = static_cast<char>(random() >> 8);
  return bytes;
}

TEST(LoopbackProxyTest, PassesHoldsAndDropsBytesOverEitherAddress) {
  TempDir temp;
  ASSERT_FALSE(temp.path().empty());
  struct Row {
    std::string target;
    std::string listen;
  };
  const Row rows[] = {
      {"unix:" + temp.path() + "/server.sock", "unix:" + temp.path() + "/p"},
      {"127.0.0.1:0", "127.0.0.1:0"},
  };
  for (Row row : rows) {
    SCOPED_TRACE(row.listen);
    const std::pair<int, int> before = OpenDescriptors();
    const int listener = Socket(&row.target, true);
    ASSERT_NE(listener, -1) << std::strerror(errno);
    std::string error;
    std::unique_ptr<LoopbackProxy> proxy =
        LoopbackProxy::Start(row.target, row.listen, &error);
    ASSERT_NE(proxy, nullptr) << error;
    std::string address = proxy->address();
    const int client = Socket(&address, false);
    const int server = Accept(listener);
    ASSERT_NE(client, -1);
    ASSERT_NE(server, -1);

    // A writer whose reader reads nothing is stopped: the proxy buffers
    // only so much (32 MiB is more than both legs' kernel buffers hold with
    // Debian's limits: here 0.4 MiB over Unix sockets, 12 MiB over TCP).
    // Then every byte arrives, each way.
    const std::string up = Pattern(32 << 20, 1);
    const std::string down = Pattern(300 << 10, 2);
    std::size_t ahead = 0;
    while (ahead < up.size() && Ready(client, POLLOUT, kSilenceMs)) {
      ahead += Offer(client, up, ahead);
    }
    EXPECT_LT(ahead, up.size());
    EXPECT_TRUE(Pass(client, server, up, ahead, up.size()) == up);
    EXPECT_TRUE(Pass(server, client, down, 0, down.size()) == down);

    // Frozen: nothing passes, and a new client is left waiting.
    proxy->Freeze();
    EXPECT_EQ(Offer(client, "ping", 0), 4u);
    EXPECT_EQ(Offer(server, "pong", 0), 4u);
    const int waiting = Socket(&address, false);
    ASSERT_NE(waiting, -1);
    EXPECT_FALSE(Ready(server, POLLIN, kSilenceMs));
    EXPECT_FALSE(Ready(client, POLLIN, kSilenceMs));
    EXPECT_FALSE(Ready(listener, POLLIN, 0));
    proxy->Thaw();
    EXPECT_EQ(Pass(client, server, "", 0, 4), "ping");
    EXPECT_EQ(Pass(server, client, "", 0, 4), "pong");
    const int served = Accept(listener);
    ASSERT_NE(served, -1);
    EXPECT_EQ(proxy->connections(), 2);
    // Nothing of the proxy's is left open across an exec.
    EXPECT_EQ(OpenDescriptors().second, before.second);

    // Dropped: every connection ends on both sides, even while a child
    // forked meanwhile holds copies of the proxy's descriptors; the next
    // connection works, and its half-close is passed on.
    int hold[2];
    ASSERT_EQ(pipe2(hold, O_CLOEXEC), 0);
    const pid_t child = fork();
    ASSERT_NE(child, -1);
    if (child == 0) {
      char byte;
      close(hold[1]);
      _exit(static_cast<int>(read(hold[0], &byte, 1)));
    }
    proxy->Drop();
    EXPECT_TRUE(Ends(client));
    EXPECT_TRUE(Ends(server));
    EXPECT_TRUE(Ends(waiting));
    EXPECT_TRUE(Ends(served));
    for (int fd : {hold[0], hold[1]}) close(fd);
    EXPECT_EQ(RetryOnEintr([&] { return waitpid(child, nullptr, 0); }), child);
    for (int fd : {client, server, waiting, served}) close(fd);
    const int again = Socket(&address, false);
    const int again_server = Accept(listener);
    ASSERT_NE(again_server, -1);
    EXPECT_EQ(shutdown(again, SHUT_WR), 0);
    EXPECT_EQ(Pass(again_server, again, "late", 0, 4), "late");
    EXPECT_TRUE(Ends(again_server));

    // Gone: no socket file, no descriptor.
    proxy.reset();
    for (int fd : {again, again_server, listener}) close(fd);
    if (row.listen.starts_with("unix:")) {
      EXPECT_FALSE(std::filesystem::exists(row.listen.substr(5)));
      std::filesystem::remove(row.target.substr(5));
    }
    EXPECT_EQ(OpenDescriptors(), before);
  }
  // Traffic stays on this machine.
  std::string error;
  EXPECT_EQ(LoopbackProxy::Start("10.0.0.1:5432", "127.0.0.1:0", &error),
            nullptr);
  EXPECT_EQ(error, "10.0.0.1:5432: not a loopback address");
}

}  // namespace
