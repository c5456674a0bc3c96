// The loopback proxy (chaos/proxy.h), over a Unix socket and over TCP: bytes
// pass both ways intact under back-pressure, a freeze holds them and a thaw
// delivers them, a drop ends every connection and the next one works, and
// the proxy leaves no descriptor and no socket file behind.
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
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

int OpenDescriptors() {
  int count = 0;
  for ([[maybe_unused]] const auto& fd :
       std::filesystem::directory_iterator("/proc/self/fd")) {
    ++count;
  }
  return count;
}

// A socket of the address's kind: bound and listening (`*address` then gets
// the port taken), or connected.
int Socket(std::string* address, bool listening) {
  const bool unix_socket = address->starts_with("unix:");
  sockaddr_storage storage{};
  socklen_t size = sizeof(sockaddr_in);
  if (unix_socket) {
    auto* un = reinterpret_cast<sockaddr_un*>(&storage);
    un->sun_family = AF_UNIX;
    std::strncpy(un->sun_path, address->c_str() + 5, sizeof un->sun_path - 1);
    size = sizeof(sockaddr_un);
  } else {
    auto* in = reinterpret_cast<sockaddr_in*>(&storage);
    in->sin_family = AF_INET;
    in->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    in->sin_port = htons(std::stoi(address->substr(address->rfind(':') + 1)));
  }
  const int fd = socket(storage.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  auto* raw = reinterpret_cast<sockaddr*>(&storage);
  if (!listening) {
    if (connect(fd, raw, size) == 0) return fd;
  } else if (bind(fd, raw, size) == 0 && listen(fd, 16) == 0) {
    if (!unix_socket && getsockname(fd, raw, &size) == 0) {
      const auto* in = reinterpret_cast<sockaddr_in*>(raw);
      *address = "127.0.0.1:" + std::to_string(ntohs(in->sin_port));
    }
    return fd;
  }
  close(fd);
  return -1;
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

// Writes what `fd` takes at once; returns how much that was.
std::size_t Offer(int fd, const std::string& bytes, std::size_t from) {
  const ssize_t sent = RetryOnEintr([&] {
    return send(fd, bytes.data() + from, bytes.size() - from,
                MSG_DONTWAIT | MSG_NOSIGNAL);
  });
  return sent > 0 ? static_cast<std::size_t>(sent) : 0;
}

// Sends `a_out` from a to b and `b_out` from b to a at once, and returns
// what each end received, `a_in` bytes at a and `b_in` at b, or less when
// the deadline passed or a side ended first.
std::pair<std::string, std::string> Exchange(int a, int b,
                                             const std::string& a_out,
                                             const std::string& b_out,
                                             std::size_t a_in,
                                             std::size_t b_in) {
  std::string got[2];
  std::size_t sent[2] = {0, 0};
  const int fds[2] = {a, b};
  const std::string* out[2] = {&a_out, &b_out};
  const std::size_t want[2] = {a_in, b_in};
  while (got[0].size() < want[0] || got[1].size() < want[1]) {
    pollfd p[2];
    for (int i = 0; i < 2; ++i) {
      p[i] = {fds[i], static_cast<short>(got[i].size() < want[i] ? POLLIN : 0),
              0};
      if (sent[i] < out[i]->size()) p[i].events |= POLLOUT;
    }
    if (RetryOnEintr([&] { return poll(p, 2, kDeadlineMs); }) <= 0) break;
    for (int i = 0; i < 2; ++i) {
      if (p[i].revents & POLLOUT) sent[i] += Offer(fds[i], *out[i], sent[i]);
      if (!(p[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      char buffer[16384];
      const ssize_t n = RetryOnEintr(
          [&] { return recv(fds[i], buffer, sizeof buffer, MSG_DONTWAIT); });
      if (n == 0 || (n < 0 && errno != EAGAIN)) return {got[0], got[1]};
      if (n > 0) got[i].append(buffer, static_cast<std::size_t>(n));
    }
  }
  return {got[0], got[1]};
}

// True when `fd` ends (end of file or a reset) within the deadline.
bool Ends(int fd) {
  char buffer[4096];
  while (Ready(fd, POLLIN, kDeadlineMs)) {
    const ssize_t n =
        RetryOnEintr([&] { return recv(fd, buffer, sizeof buffer, 0); });
    if (n == 0 || (n == -1 && errno == ECONNRESET)) return true;
    if (n == -1) return false;
  }
  return false;
}

std::string Pattern(std::size_t size, unsigned seed) {
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; ++i) {
    seed = seed * 1103515245u + 12345u;
    bytes[i] = static_cast<char>(seed >> 16);
  }
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
    const int before = OpenDescriptors();
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
    // only so much. Then every byte arrives, both ways at once.
    const std::string up = Pattern(32 << 20, 1);
    const std::string down = Pattern(300 << 10, 2);
    std::size_t ahead = 0;
    while (ahead < up.size() && Ready(client, POLLOUT, kSilenceMs)) {
      ahead += Offer(client, up, ahead);
    }
    EXPECT_LT(ahead, up.size());
    auto [at_client, at_server] = Exchange(client, server, up.substr(ahead),
                                           down, down.size(), up.size());
    EXPECT_TRUE(at_client == down) << at_client.size() << " bytes";
    EXPECT_TRUE(at_server == up) << at_server.size() << " bytes";

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
    auto [pong, ping] = Exchange(client, server, "", "", 4, 4);
    EXPECT_EQ(ping, "ping");
    EXPECT_EQ(pong, "pong");
    const int served = Accept(listener);
    ASSERT_NE(served, -1);
    EXPECT_EQ(proxy->connections(), 2);

    // Dropped: every connection ends on both sides; the next one works,
    // and its half-close is passed on.
    proxy->Drop();
    EXPECT_TRUE(Ends(client));
    EXPECT_TRUE(Ends(server));
    EXPECT_TRUE(Ends(waiting));
    EXPECT_TRUE(Ends(served));
    for (int fd : {client, server, waiting, served}) close(fd);
    const int again = Socket(&address, false);
    const int again_server = Accept(listener);
    ASSERT_NE(again_server, -1);
    EXPECT_EQ(shutdown(again, SHUT_WR), 0);
    EXPECT_EQ(Exchange(again, again_server, "", "late", 4, 0).first, "late");
    EXPECT_TRUE(Ends(again_server));
    close(again);
    close(again_server);

    // Gone: no socket file, no descriptor.
    proxy.reset();
    close(listener);
    if (row.listen.starts_with("unix:")) {
      EXPECT_FALSE(std::filesystem::exists(row.listen.substr(5)));
      std::filesystem::remove(row.target.substr(5));
    }
    EXPECT_EQ(OpenDescriptors(), before);
  }
  // Traffic stays on this machine; a target that does not answer closes
  // its client.
  std::string error;
  EXPECT_EQ(LoopbackProxy::Start("10.0.0.1:5432", "127.0.0.1:0", &error),
            nullptr);
  EXPECT_EQ(error, "10.0.0.1:5432: not a loopback address");
  auto proxy = LoopbackProxy::Start("unix:" + temp.path() + "/none",
                                    "127.0.0.1:0", &error);
  ASSERT_NE(proxy, nullptr) << error;
  std::string address = proxy->address();
  const int client = Socket(&address, false);
  EXPECT_TRUE(Ends(client));
  close(client);
}

}  // namespace
