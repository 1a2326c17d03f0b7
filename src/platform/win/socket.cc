// Windows Sockets: starting the library, resolving names, bounded TCP
// connects, the pieces of tcp_exchange_ms and the loopback listeners and
// peers of the tests.

// clang-format off
#include "platform/win/internal.h"  // first: it includes the Windows headers in order
// clang-format on

#include <ws2tcpip.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <mutex>

#include "platform/bounded_text.h"
#include "platform/platform.h"

namespace lw::platform {

namespace {

// Every socket function starts the library when nobody has yet, so a
// caller that forgot socket_startup() gets sockets rather than errors.
std::mutex socket_mutex;
std::atomic<bool> sockets_started{false};

bool ensure_sockets() {
  if (sockets_started.load()) return true;
  std::lock_guard<std::mutex> hold(socket_mutex);
  if (sockets_started.load()) return true;
  WSADATA data;
  if (WSAStartup(MAKEWORD(2, 2), &data) != 0) return false;
  sockets_started.store(true);
  return true;
}

}  // namespace

// ---- Sockets ---------------------------------------------------------------------

bool socket_startup() { return ensure_sockets(); }

void socket_cleanup() {
  std::lock_guard<std::mutex> hold(socket_mutex);
  if (!sockets_started.load()) return;
  WSACleanup();
  sockets_started.store(false);
}

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
bool numeric_sockaddr(const char* text, uint16_t port, sockaddr_storage* addr, int* len) {
  if (!text || text[0] == '\0' || !ensure_sockets()) return false;
  // The plain forms without a look-up; a zone ("%eth0") needs the resolver.
  std::memset(addr, 0, sizeof *addr);
  auto* v4 = reinterpret_cast<sockaddr_in*>(addr);
  auto* v6 = reinterpret_cast<sockaddr_in6*>(addr);
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
  addrinfo hints;
  std::memset(&hints, 0, sizeof hints);
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICHOST;
  addrinfo* list = nullptr;
  if (getaddrinfo(text, nullptr, &hints, &list) != 0 || !list) return false;
  const bool ok = list->ai_addrlen <= sizeof *addr &&
                  (list->ai_family == AF_INET || list->ai_family == AF_INET6);
  if (ok) {
    std::memset(addr, 0, sizeof *addr);
    std::memcpy(addr, list->ai_addr, list->ai_addrlen);
    *len = static_cast<int>(list->ai_addrlen);
    if (list->ai_family == AF_INET) {
      reinterpret_cast<sockaddr_in*>(addr)->sin_port = htons(port);
    } else {
      reinterpret_cast<sockaddr_in6*>(addr)->sin6_port = htons(port);
    }
  }
  freeaddrinfo(list);
  return ok;
}

}  // namespace

int resolve_host(const char* host, AddressFamily family, Address* out, int max) {
  if (!host || host[0] == '\0' || !out || max <= 0 || !ensure_sockets()) return 0;
  addrinfo hints;
  std::memset(&hints, 0, sizeof hints);
  hints.ai_family = af_of(family);
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* list = nullptr;
  if (getaddrinfo(host, nullptr, &hints, &list) != 0 || !list) return 0;
  int count = 0;
  for (addrinfo* a = list; a && count < max; a = a->ai_next) {
    if ((a->ai_family != AF_INET && a->ai_family != AF_INET6) || !a->ai_addr) continue;
    char text[NI_MAXHOST];
    if (getnameinfo(a->ai_addr, static_cast<socklen_t>(a->ai_addrlen), text, sizeof text, nullptr,
                    0, NI_NUMERICHOST) != 0 ||
        std::strlen(text) >= kAddressTextSize) {
      continue;
    }
    bool seen = false;
    for (int i = 0; i < count; ++i) seen = seen || std::strcmp(out[i].text, text) == 0;
    if (seen) continue;
    copy_bounded(out[count].text, kAddressTextSize, text);
    out[count].family = family_of(a->ai_family);
    ++count;
  }
  freeaddrinfo(list);
  return count;
}

bool read_ipv4_text(const char* text, Address* out) {
  if (!text || text[0] == '\0' || !out || !ensure_sockets()) return false;
  addrinfo hints;
  std::memset(&hints, 0, sizeof hints);
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICHOST;
  addrinfo* list = nullptr;
  if (getaddrinfo(text, nullptr, &hints, &list) != 0 || !list) return false;
  const addrinfo* ai = list;
  char address[NI_MAXHOST];
  const bool ok = ai->ai_family == AF_INET && ai->ai_addr &&
                  getnameinfo(ai->ai_addr, static_cast<socklen_t>(ai->ai_addrlen), address,
                              sizeof address, nullptr, 0, NI_NUMERICHOST) == 0 &&
                  std::strlen(address) < kAddressTextSize;
  freeaddrinfo(list);
  if (!ok) return false;
  copy_bounded(out->text, kAddressTextSize, address);
  out->family = AddressFamily::kIPv4;
  return true;
}

namespace {

// A stream socket that no child process inherits: a child started meanwhile
// by another thread must not keep a probe's connection open.
SOCKET private_socket(int af) {
  SOCKET s = WSASocketW(af, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT);
  if (s == INVALID_SOCKET) {  // systems without the flag
    s = socket(af, SOCK_STREAM, 0);
    if (s != INVALID_SOCKET)
      SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
  }
  return s;
}

}  // namespace

ConnectStatus open_connection(const char* address, uint16_t port, uint32_t timeout_ms,
                              Connection* connection, int* error) {
  if (error) *error = 0;
  ensure_sockets();
  sockaddr_storage addr;
  int addr_len = 0;
  if (!numeric_sockaddr(address, port, &addr, &addr_len)) {
    if (error) *error = WSAEINVAL;
    return ConnectStatus::kConnectFailed;
  }
  SOCKET s = private_socket(addr.ss_family);
  if (s == INVALID_SOCKET) return ConnectStatus::kSocketFailed;

  // The connect's outcome signals `ready`, which is waited on together with
  // the stop event. Selecting events makes the socket non-blocking.
  WSAEVENT ready = WSACreateEvent();
  if (ready == WSA_INVALID_EVENT) {
    closesocket(s);
    return ConnectStatus::kSocketFailed;
  }
  if (WSAEventSelect(s, ready, FD_CONNECT) != 0) {
    WSACloseEvent(ready);
    closesocket(s);
    return ConnectStatus::kSocketFailed;
  }

  ConnectStatus status = ConnectStatus::kConnected;
  if (connect(s, reinterpret_cast<const sockaddr*>(&addr), addr_len) != 0) {
    int code = WSAGetLastError();
    if (code == WSAECONNREFUSED) {
      status = ConnectStatus::kRefused;
    } else if (code != WSAEWOULDBLOCK && code != WSAEINPROGRESS) {
      if (error) *error = code;
      status = ConnectStatus::kConnectFailed;
    } else {
      // The socket's event first: an outcome there wins over a stop.
      HANDLE events[2] = {ready, stop_handle()};
      const DWORD count = events[1] ? 2 : 1;
      const DWORD limit = timeout_ms == INFINITE ? INFINITE - 1 : timeout_ms;
      const DWORD woke = WaitForMultipleObjects(count, events, FALSE, limit);
      WSANETWORKEVENTS happened;
      if (woke == WAIT_TIMEOUT) {
        status = ConnectStatus::kTimedOut;
      } else if (woke == WAIT_OBJECT_0 + 1) {
        status = ConnectStatus::kStopped;
      } else if (woke != WAIT_OBJECT_0 || WSAEnumNetworkEvents(s, ready, &happened) != 0) {
        status = ConnectStatus::kWaitFailed;
      } else if ((happened.lNetworkEvents & FD_CONNECT) == 0) {
        // Signalled without a connect outcome: not a connection.
        status = ConnectStatus::kRefused;
      } else {
        const int pending = happened.iErrorCode[FD_CONNECT_BIT];
        if (pending == WSAECONNREFUSED) {
          status = ConnectStatus::kRefused;
        } else if (pending != 0) {
          status = ConnectStatus::kPendingError;
          if (error) *error = pending;
        }
      }
    }
  }
  // From now on the event tells of bytes to read, room to write and the close.
  if (status == ConnectStatus::kConnected && connection &&
      WSAEventSelect(s, ready, FD_READ | FD_WRITE | FD_CLOSE) == 0) {
    connection->socket = static_cast<intptr_t>(s);
    connection->event = from_handle(ready);
    return status;
  }
  if (status == ConnectStatus::kConnected && connection) status = ConnectStatus::kWaitFailed;
  closesocket(s);
  WSACloseEvent(ready);
  return status;
}

void close_connection(Connection* connection) {
  if (connection->socket == -1) return;
  closesocket(static_cast<SOCKET>(connection->socket));
  WSACloseEvent(to_handle(connection->event));
  connection->socket = connection->event = -1;
}

ConnectStatus tcp_connect_ms(const char* address, uint16_t port, uint32_t timeout_ms, int* error) {
  return open_connection(address, port, timeout_ms, nullptr, error);
}

namespace {

// The count of a send or receive as send_some and receive_some give it.
long moved(int n) {
  if (n >= 0) return n > 0 ? n : -1;  // 0: the peer closed
  const int code = WSAGetLastError();
  return code == WSAEWOULDBLOCK || code == WSAEINTR ? 0 : -1;
}

int chunk(size_t len) { return len > 65536 ? 65536 : static_cast<int>(len); }

}  // namespace

long send_some(const Connection& connection, const char* data, size_t len) {
  return moved(send(static_cast<SOCKET>(connection.socket), data, chunk(len), 0));
}

long receive_some(const Connection& connection, char* out, size_t cap) {
  return moved(recv(static_cast<SOCKET>(connection.socket), out, chunk(cap), 0));
}

Readiness wait_connection(const Connection& connection, bool, uint64_t deadline) {
  // The socket's event first: an outcome there wins over a stop. Any
  // network event wakes the wait; the caller tries its call again.
  HANDLE events[2] = {to_handle(connection.event), stop_handle()};
  const uint64_t now = monotonic_ms();
  const DWORD left =
      now >= deadline ? 0 : static_cast<DWORD>(std::min<uint64_t>(deadline - now, INFINITE - 1));
  const DWORD woke = WaitForMultipleObjects(events[1] ? 2 : 1, events, FALSE, left);
  WSANETWORKEVENTS happened;
  if (woke == WAIT_TIMEOUT) return Readiness::kTimedOut;
  if (woke == WAIT_OBJECT_0 + 1) return Readiness::kStopped;
  if (woke != WAIT_OBJECT_0 ||
      WSAEnumNetworkEvents(static_cast<SOCKET>(connection.socket), events[0], &happened) != 0) {
    return Readiness::kFailed;
  }
  return Readiness::kReady;
}

bool listen_loopback(uint16_t port, int backlog, Listener* out, AddressFamily family) {
  if (!out) return false;
  out->handle = -1;
  out->port = 0;
  if (!ensure_sockets()) return false;
  sockaddr_storage addr;
  int len = 0;
  if (!numeric_sockaddr(family == AddressFamily::kIPv6 ? "::1" : "127.0.0.1", port, &addr, &len)) {
    return false;
  }
  SOCKET s = private_socket(addr.ss_family);
  if (s == INVALID_SOCKET) return false;
  BOOL exclusive = TRUE;
  setsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&exclusive),
             sizeof exclusive);
  if (addr.ss_family == AF_INET6) {
    DWORD only = 1;
    setsockopt(s, IPPROTO_IPV6, IPV6_V6ONLY, reinterpret_cast<const char*>(&only), sizeof only);
  }
  if (bind(s, reinterpret_cast<const sockaddr*>(&addr), len) != 0 ||
      listen(s, backlog > 0 ? backlog : 0) != 0 ||
      getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    closesocket(s);
    return false;
  }
  out->handle = static_cast<intptr_t>(s);
  out->port =
      ntohs(addr.ss_family == AF_INET6 ? reinterpret_cast<const sockaddr_in6*>(&addr)->sin6_port
                                       : reinterpret_cast<const sockaddr_in*>(&addr)->sin_port);
  return true;
}

namespace {

// select() on `s` alone for reading, at most `ms`: > 0 readable, 0 not
// within the wait, < 0 failed.
int wait_readable(SOCKET s, uint32_t ms) {
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(s, &readable);
  timeval wait;
  wait.tv_sec = static_cast<long>(ms / 1000);
  wait.tv_usec = static_cast<long>((ms % 1000) * 1000);
  return select(0, &readable, nullptr, nullptr, &wait);
}

}  // namespace

void close_listener(Listener* listener) {
  if (!listener || listener->handle == -1) return;
  closesocket(static_cast<SOCKET>(listener->handle));
  listener->handle = -1;
  listener->port = 0;
}

bool accept_peer(Listener* listener, uint32_t ms, intptr_t* peer) {
  *peer = -1;
  if (!listener || listener->handle == -1) return false;
  SOCKET s = static_cast<SOCKET>(listener->handle);
  if (wait_readable(s, ms) <= 0) return false;
  SOCKET accepted = accept(s, nullptr, nullptr);
  if (accepted == INVALID_SOCKET) return false;
  *peer = static_cast<intptr_t>(accepted);
  return true;
}

bool peer_send(intptr_t peer, const char* data, size_t len) {
  while (len > 0) {
    const int n = send(static_cast<SOCKET>(peer), data, chunk(len), 0);
    if (n <= 0) return false;
    data += n;
    len -= static_cast<size_t>(n);
  }
  return true;
}

int peer_receive(intptr_t peer, char* out, size_t cap, uint32_t ms) {
  SOCKET s = static_cast<SOCKET>(peer);
  const int ready = wait_readable(s, ms);
  if (ready <= 0) return ready < 0 ? -1 : 0;
  const int n = recv(s, out, chunk(cap), 0);
  return n < 0 ? -1 : n;
}

void close_peer(intptr_t peer) {
  if (peer != -1) closesocket(static_cast<SOCKET>(peer));
}

}  // namespace lw::platform
