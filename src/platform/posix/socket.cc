// Sockets on POSIX: resolving names, bounded TCP connects, the pieces of
// tcp_exchange_ms and the loopback listeners and peers of the tests.

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "platform/bounded_text.h"
#include "platform/platform.h"
#include "platform/posix/internal.h"

namespace lw::platform {

bool socket_startup() {
  ignore_sigpipe_once();
  return true;
}

void socket_cleanup() {}

namespace {

AddressFamily family_of(int af) {
  return af == AF_INET6 ? AddressFamily::kIPv6 : AddressFamily::kIPv4;
}

int af_of(AddressFamily family) {
  return family == AddressFamily::kIPv4   ? AF_INET
         : family == AddressFamily::kIPv6 ? AF_INET6
                                          : AF_UNSPEC;
}

// Parses the numeric address text into `addr` with `port`; false when it is
// not a numeric address.
bool numeric_sockaddr(const char* text, uint16_t port, struct sockaddr_storage* addr,
                      socklen_t* len) {
  if (!text || text[0] == '\0') return false;
  // The plain forms without a look-up; a zone ("%eth0") needs the resolver.
  std::memset(addr, 0, sizeof *addr);
  auto* v4 = reinterpret_cast<struct sockaddr_in*>(addr);
  auto* v6 = reinterpret_cast<struct sockaddr_in6*>(addr);
  if (inet_pton(AF_INET, text, &v4->sin_addr) == 1) {
    v4->sin_family = AF_INET;
    v4->sin_port = htons(port);
    *len = sizeof *v4;
    return true;
  }
  if (inet_pton(AF_INET6, text, &v6->sin6_addr) == 1) {
    v6->sin6_family = AF_INET6;
    v6->sin6_port = htons(port);
    *len = sizeof *v6;
    return true;
  }
  struct addrinfo hints;
  std::memset(&hints, 0, sizeof hints);
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICHOST;
  struct addrinfo* list = nullptr;
  if (getaddrinfo(text, nullptr, &hints, &list) != 0 || !list) return false;
  const bool ok = list->ai_addrlen <= sizeof *addr &&
                  (list->ai_family == AF_INET || list->ai_family == AF_INET6);
  if (ok) {
    std::memset(addr, 0, sizeof *addr);
    std::memcpy(addr, list->ai_addr, list->ai_addrlen);
    *len = static_cast<socklen_t>(list->ai_addrlen);
    if (list->ai_family == AF_INET) {
      reinterpret_cast<struct sockaddr_in*>(addr)->sin_port = htons(port);
    } else {
      reinterpret_cast<struct sockaddr_in6*>(addr)->sin6_port = htons(port);
    }
  }
  freeaddrinfo(list);
  return ok;
}

}  // namespace

int resolve_host(const char* host, AddressFamily family, Address* out, int max) {
  if (!host || host[0] == '\0' || !out || max <= 0) return 0;
  struct addrinfo hints;
  std::memset(&hints, 0, sizeof hints);
  hints.ai_family = af_of(family);
  hints.ai_socktype = SOCK_STREAM;
  struct addrinfo* list = nullptr;
  if (getaddrinfo(host, nullptr, &hints, &list) != 0 || !list) return 0;
  int count = 0;
  for (struct addrinfo* ai = list; ai && count < max; ai = ai->ai_next) {
    if ((ai->ai_family != AF_INET && ai->ai_family != AF_INET6) || !ai->ai_addr) continue;
    char text[NI_MAXHOST];
    if (getnameinfo(ai->ai_addr, ai->ai_addrlen, text, sizeof text, nullptr, 0, NI_NUMERICHOST) !=
            0 ||
        std::strlen(text) >= kAddressTextSize) {
      continue;
    }
    bool seen = false;
    for (int i = 0; i < count; ++i) seen = seen || std::strcmp(out[i].text, text) == 0;
    if (seen) continue;
    copy_bounded(out[count].text, kAddressTextSize, text);
    out[count].family = family_of(ai->ai_family);
    ++count;
  }
  freeaddrinfo(list);
  return count;
}

bool read_ipv4_text(const char* text, Address* out) {
  if (!text || text[0] == '\0' || !out) return false;
  struct addrinfo hints;
  std::memset(&hints, 0, sizeof hints);
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICHOST;
  struct addrinfo* list = nullptr;
  if (getaddrinfo(text, nullptr, &hints, &list) != 0 || !list) return false;
  const struct addrinfo* ai = list;
  char address[NI_MAXHOST];
  const bool ok = ai->ai_family == AF_INET && ai->ai_addr &&
                  getnameinfo(ai->ai_addr, ai->ai_addrlen, address, sizeof address, nullptr, 0,
                              NI_NUMERICHOST) == 0 &&
                  std::strlen(address) < kAddressTextSize;
  freeaddrinfo(list);
  if (!ok) return false;
  copy_bounded(out->text, kAddressTextSize, address);
  out->family = AddressFamily::kIPv4;
  return true;
}

ConnectStatus open_connection(const char* address, uint16_t port, uint32_t timeout_ms,
                              Connection* connection, int* error) {
  if (error) *error = 0;
  struct sockaddr_storage addr;
  socklen_t addr_len = 0;
  if (!numeric_sockaddr(address, port, &addr, &addr_len)) {
    if (error) *error = EINVAL;
    return ConnectStatus::kConnectFailed;
  }
  int fd = socket(addr.ss_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return ConnectStatus::kSocketFailed;

  ConnectStatus result = ConnectStatus::kConnected;
  if (connect(fd, reinterpret_cast<const struct sockaddr*>(&addr), addr_len) != 0) {
    int err = errno;
    if (err == ECONNREFUSED) {
      close(fd);
      return ConnectStatus::kRefused;
    }
    // An interrupted connect carries on in the background like one in progress.
    if (err != EINPROGRESS && err != EWOULDBLOCK && err != EAGAIN && err != EINTR) {
      if (error) *error = err;
      close(fd);
      return ConnectStatus::kConnectFailed;
    }
    uint64_t deadline = monotonic_ms() + timeout_ms;
    // The stop pipe stays readable once written, so a stop requested before
    // the call ends the wait as well.
    const int stop_fd = stop_read_fd(ensure_stop_pipe());
    struct pollfd fds[2] = {{fd, POLLOUT, 0}, {stop_fd, POLLIN, 0}};
    int ready;
    bool stopped = false;
    for (;;) {
      fds[0].revents = fds[1].revents = 0;
      int wait = poll_ms_until(deadline);
      if (stop_fd < 0 && wait > kStopCheckMs) wait = kStopCheckMs;
      ready = poll(fds, stop_fd >= 0 ? 2 : 1, wait);
      if (ready < 0 && errno == EINTR) continue;
      // An outcome of the connect wins over a stop seen at the same time.
      if (ready >= 0 && fds[0].revents == 0 && stop_flag.load()) {
        stopped = true;
        break;
      }
      // A wait cut short by the poll() limit (or a stale stop byte) goes on
      // until the deadline.
      if (ready >= 0 && fds[0].revents == 0 && monotonic_ms() < deadline) continue;
      if (ready > 0 && fds[0].revents == 0) ready = 0;
      break;
    }
    if (stopped) {
      result = ConnectStatus::kStopped;
    } else if (ready == 0) {
      result = ConnectStatus::kTimedOut;
    } else if (ready < 0) {
      result = ConnectStatus::kWaitFailed;
    } else {
      int pending = 0;
      socklen_t len = sizeof pending;
      if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &pending, &len) != 0) pending = errno;
      // A socket whose connect never started (Linux answers EAGAIN when it
      // has no local port to give) also polls ready with no pending error:
      // only a socket that has a peer is connected.
      struct sockaddr_storage peer;
      socklen_t peer_len = sizeof peer;
      if (pending == 0 &&
          getpeername(fd, reinterpret_cast<struct sockaddr*>(&peer), &peer_len) != 0) {
        pending = errno;
      }
      if (pending == ECONNREFUSED) {
        result = ConnectStatus::kRefused;
      } else if (pending != 0) {
        result = ConnectStatus::kPendingError;
        if (error) *error = pending;
      }
    }
  }
  if (result == ConnectStatus::kConnected && connection) {
    connection->socket = fd;
  } else {
    close(fd);
  }
  return result;
}

void close_connection(Connection* connection) {
  if (connection->socket >= 0) close(static_cast<int>(connection->socket));
  connection->socket = -1;
}

ConnectStatus tcp_connect_ms(const char* address, uint16_t port, uint32_t timeout_ms, int* error) {
  return open_connection(address, port, timeout_ms, nullptr, error);
}

namespace {

// The count of a send or receive as send_some and receive_some give it.
long moved(ssize_t n) {
  if (n >= 0) return n > 0 ? static_cast<long>(n) : -1;  // 0: the peer closed
  return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR ? 0 : -1;
}

}  // namespace

long send_some(const Connection& connection, const char* data, size_t len) {
  return moved(send(static_cast<int>(connection.socket), data, len, MSG_NOSIGNAL));
}

long receive_some(const Connection& connection, char* out, size_t cap) {
  return moved(recv(static_cast<int>(connection.socket), out, cap, 0));
}

Readiness wait_connection(const Connection& connection, bool for_write, uint64_t deadline) {
  // The stop pipe stays readable once written, as in open_connection.
  const int stop_fd = stop_read_fd(ensure_stop_pipe());
  struct pollfd fds[2] = {
      {static_cast<int>(connection.socket), static_cast<short>(for_write ? POLLOUT : POLLIN), 0},
      {stop_fd, POLLIN, 0}};
  for (;;) {
    fds[0].revents = fds[1].revents = 0;
    int wait = poll_ms_until(deadline);
    if (stop_fd < 0 && wait > kStopCheckMs) wait = kStopCheckMs;
    const int ready = poll(fds, stop_fd >= 0 ? 2 : 1, wait);
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) return Readiness::kFailed;
    if (fds[0].revents != 0) return Readiness::kReady;
    if (stop_flag.load()) return Readiness::kStopped;
    if (monotonic_ms() >= deadline) return Readiness::kTimedOut;
  }
}

bool listen_loopback(uint16_t port, int backlog, Listener* out, AddressFamily family) {
  if (!out) return false;
  out->handle = -1;
  out->port = 0;
  struct sockaddr_storage addr;
  socklen_t len = 0;
  if (!numeric_sockaddr(family == AddressFamily::kIPv6 ? "::1" : "127.0.0.1", port, &addr, &len)) {
    return false;
  }
  int fd = socket(addr.ss_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return false;
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (addr.ss_family == AF_INET6) setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
  if (bind(fd, reinterpret_cast<const struct sockaddr*>(&addr), len) != 0 ||
      listen(fd, backlog < 0 ? 0 : backlog) != 0 ||
      getsockname(fd, reinterpret_cast<struct sockaddr*>(&addr), &len) != 0) {
    close(fd);
    return false;
  }
  out->handle = fd;
  out->port = ntohs(addr.ss_family == AF_INET6
                        ? reinterpret_cast<const struct sockaddr_in6*>(&addr)->sin6_port
                        : reinterpret_cast<const struct sockaddr_in*>(&addr)->sin_port);
  return true;
}

void close_listener(Listener* listener) {
  if (!listener || listener->handle < 0) return;
  close(static_cast<int>(listener->handle));
  listener->handle = -1;
  listener->port = 0;
}

bool accept_peer(Listener* listener, uint32_t ms, intptr_t* peer) {
  *peer = -1;
  if (!listener || listener->handle < 0) return false;
  const uint64_t deadline = monotonic_ms() + ms;
  for (;;) {
    // Without SOCK_NONBLOCK the accepted socket blocks, whatever the listener does.
    const int fd = accept4(static_cast<int>(listener->handle), nullptr, nullptr, SOCK_CLOEXEC);
    if (fd >= 0) {
      *peer = fd;
      return true;
    }
    if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR && errno != ECONNABORTED) {
      return false;
    }
    const int left = poll_ms_until(deadline);
    if (left == 0) return false;
    struct pollfd pfd = {static_cast<int>(listener->handle), POLLIN, 0};
    if (poll(&pfd, 1, left) < 0 && errno != EINTR) return false;
  }
}

bool peer_send(intptr_t peer, const char* data, size_t len) {
  while (len > 0) {
    const ssize_t n = send(static_cast<int>(peer), data, len, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    len -= static_cast<size_t>(n);
  }
  return true;
}

int peer_receive(intptr_t peer, char* out, size_t cap, uint32_t ms) {
  struct pollfd pfd = {static_cast<int>(peer), POLLIN, 0};
  const int ready = poll(&pfd, 1, static_cast<int>(ms > kMaxPollMs ? kMaxPollMs : ms));
  if (ready <= 0) return ready;
  const ssize_t n = recv(static_cast<int>(peer), out, cap, 0);
  return n < 0 ? -1 : static_cast<int>(n);
}

void close_peer(intptr_t peer) {
  if (peer >= 0) close(static_cast<int>(peer));
}

}  // namespace lw::platform
