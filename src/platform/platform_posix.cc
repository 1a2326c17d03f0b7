// The platform layer on Linux (and other POSIX systems with /proc).

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/file.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "platform/bounded_text.h"
#include "platform/platform.h"

extern char** environ;

namespace lw::platform {

const char kSystemName[] = "Linux";
const char kExecutableSuffix[] = "";
const char kNullDevice[] = "/dev/null";
const char kTextLineEnd[] = "\n";
const char kPathListSeparator[] = ":";
const bool kHasPermissionBits = true;
const bool kReplaceRefusedWhileRead = false;
const bool kTlsChecksRevocation = false;
const char* const kPingOptions[4] = {"-c", "1", "-W", "2"};
#ifdef __linux__
const bool kChildEndsWithParent = true;
#else
const bool kChildEndsWithParent = false;
#endif

namespace {

// Largest millisecond wait handed to poll() in one go.
constexpr uint64_t kMaxPollMs = INT_MAX;

void close_fd(int* fd) {
  if (*fd >= 0) {
    close(*fd);
    *fd = -1;
  }
}

// A process id as the kernel's pid_t, or 0 when it cannot name one process:
// 0 and values beyond the pid_t range would address process groups or every
// process (kill(0, ...), kill(-1, ...)).
pid_t as_pid(uint32_t pid) {
  if (pid == 0 || pid > static_cast<uint32_t>(INT_MAX)) return 0;
  return static_cast<pid_t>(pid);
}

// Milliseconds left until `deadline` (monotonic), clamped for poll().
int poll_ms_until(uint64_t deadline) {
  uint64_t now = monotonic_ms();
  if (now >= deadline) return 0;
  uint64_t left = deadline - now;
  return static_cast<int>(left > kMaxPollMs ? kMaxPollMs : left);
}

// Writing into a pipe whose reader has gone must give EPIPE, not end us.
void ignore_sigpipe_once() {
  static std::once_flag once;
  std::call_once(once, [] {
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = SIG_IGN;
    sigemptyset(&action.sa_mask);
    sigaction(SIGPIPE, &action, nullptr);
  });
}

// A pidfd refers to one process for good: it cannot be confused with a
// later process of the same id, and it becomes readable when the process
// ends. -1 when the kernel has none (older than 5.3).
int open_pidfd(pid_t pid) {
#ifdef SYS_pidfd_open
  long fd = syscall(SYS_pidfd_open, pid, 0);
  return fd >= 0 ? static_cast<int>(fd) : -1;
#else
  (void)pid;
  return -1;
#endif
}

// Reads a small /proc file into `buf` (terminated). Returns the length or -1.
ssize_t read_small_file(const char* path, char* buf, size_t cap) {
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return -1;
  size_t total = 0;
  while (total + 1 < cap) {
    ssize_t got = read(fd, buf + total, cap - 1 - total);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    total += static_cast<size_t>(got);
  }
  close(fd);
  buf[total] = '\0';
  return static_cast<ssize_t>(total);
}

// The state letter of /proc/<pid>/stat ('R', 'S', 'Z', ...), or 0.
char process_state(pid_t pid) {
  char path[64];
  std::snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
  char stat[512];
  if (read_small_file(path, stat, sizeof stat) <= 0) return 0;
  // "pid (comm) S ...": the name may hold spaces and parentheses, so the
  // state follows the last ')'.
  const char* close_paren = std::strrchr(stat, ')');
  if (!close_paren || close_paren[1] != ' ') return 0;
  return close_paren[2];
}

bool has_ended(char state) { return state == 'Z' || state == 'X' || state == 'x'; }

// ---- Disk space seam -------------------------------------------------------

// Bytes the file writes may still store; -1: no limit.
std::atomic<int64_t> disk_space{-1};

// How many of `want` bytes the next write may store: all of them without a
// limit, else what is left of it (0: the disk is full), which is taken.
size_t disk_room(size_t want) {
  int64_t left = disk_space.load();
  for (;;) {
    if (left < 0) return want;
    const size_t room = static_cast<uint64_t>(left) < want ? static_cast<size_t>(left) : want;
    if (disk_space.compare_exchange_weak(left, left - static_cast<int64_t>(room))) return room;
  }
}

// Gives back `bytes` that a cut-back freed again.
void disk_release(size_t bytes) {
  int64_t left = disk_space.load();
  while (left >= 0 &&
         !disk_space.compare_exchange_weak(left, left + static_cast<int64_t>(bytes))) {
  }
}

// ---- Stop and reload requests ----------------------------------------------

// A self-pipe that a signal handler writes to wake the waits on its read end.
// Both ends, packed (read << 32 | write); -1 until created.
struct SelfPipe {
  std::atomic<int64_t> ends{-1};
};

std::atomic<bool> stop_flag{false};
SelfPipe stop_pipe;
// Set by the hang-up signal, cleared by take_reload_request; a byte left in
// its pipe after that is drained by wait_for_stop.
std::atomic<bool> reload_flag{false};
SelfPipe reload_pipe;
// The signal handlers touch these: they must not hide a lock.
static_assert(std::atomic<bool>::is_always_lock_free && std::atomic<int64_t>::is_always_lock_free);

// Creates the pipe once. Async-signal-safe: pipe2, close and lock-free
// atomics only.
int64_t ensure_pipe(SelfPipe* pipe) {
  int64_t packed = pipe->ends.load();
  if (packed != -1) return packed;
  int fds[2];
  if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) return -1;
  int64_t mine = (static_cast<int64_t>(fds[0]) << 32) | static_cast<uint32_t>(fds[1]);
  int64_t expected = -1;
  if (pipe->ends.compare_exchange_strong(expected, mine)) return mine;
  close(fds[0]);
  close(fds[1]);
  return expected;
}
int64_t ensure_stop_pipe() { return ensure_pipe(&stop_pipe); }

int pipe_read_fd(int64_t packed) { return packed == -1 ? -1 : static_cast<int>(packed >> 32); }
int pipe_write_fd(int64_t packed) {
  return packed == -1 ? -1 : static_cast<int>(packed & 0xffffffff);
}
int stop_read_fd(int64_t packed) { return pipe_read_fd(packed); }

// Makes the pipe's read end readable. Async-signal-safe.
void wake_pipe(SelfPipe* pipe) {
  int fd = pipe_write_fd(ensure_pipe(pipe));
  if (fd >= 0) {
    char byte = 1;
    // A full pipe is readable already; nothing more to do then.
    ssize_t ignored = write(fd, &byte, 1);
    (void)ignored;
  }
}

void drain_pipe(int fd) {
  if (fd < 0) return;
  char drain[64];
  while (read(fd, drain, sizeof drain) > 0) {
  }
}

void on_stop_signal(int) {
  int saved = errno;
  request_stop();
  errno = saved;
}

void on_hangup_signal(int) {
  int saved = errno;
  reload_flag.store(true);
  wake_pipe(&reload_pipe);
  errno = saved;
}

// Longest poll() while no stop pipe exists, so that a stop is still seen.
constexpr int kStopCheckMs = 100;

// ---- Child processes -------------------------------------------------------

// True when `path` is a regular file this process may execute.
bool is_program_file(const char* path) {
  struct stat st;
  return access(path, X_OK) == 0 && stat(path, &st) == 0 && S_ISREG(st.st_mode);
}

// Finds `name` the way execvp does: a name with '/' is taken as it is, else
// each directory of PATH is tried. True when an executable regular file was
// found; its path is then in `found` (`cap` bytes).
bool find_on_path(const char* name, char* found, size_t cap) {
  if (std::strchr(name, '/')) {
    return is_program_file(name) && copy_bounded(found, cap, name) == std::strlen(name);
  }
  const char* path = std::getenv("PATH");
  char default_path[256];
  if (!path) {
    size_t n = confstr(_CS_PATH, default_path, sizeof default_path);
    path = (n > 0 && n <= sizeof default_path) ? default_path : "/bin:/usr/bin";
  }
  const char* dir = path;
  for (;;) {
    const char* end = std::strchr(dir, ':');
    size_t dir_len = end ? static_cast<size_t>(end - dir) : std::strlen(dir);
    // An empty entry stands for the working directory.
    int n = dir_len == 0
                ? std::snprintf(found, cap, "%s", name)
                : std::snprintf(found, cap, "%.*s/%s", static_cast<int>(dir_len), dir, name);
    if (n > 0 && static_cast<size_t>(n) < cap && is_program_file(found)) return true;
    if (!end) return false;
    dir = end + 1;
  }
}

// Tries `name` in the folder of `dir_len` bytes at `dir`; true when found.
bool program_in_folder(const char* dir, size_t dir_len, const char* name, ProgramLookup* out) {
  if (dir_len == 0) return false;
  const char* separator = dir[dir_len - 1] == '/' ? "" : "/";
  const int n = std::snprintf(out->path, sizeof out->path, "%.*s%s%s", static_cast<int>(dir_len),
                              dir, separator, name);
  if (n > 0 && static_cast<size_t>(n) < sizeof out->path && is_program_file(out->path)) return true;
  out->path[0] = '\0';
  return false;
}

}  // namespace

// ---- Sockets ---------------------------------------------------------------

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

ConnectStatus tcp_connect_ms(const char* address, uint16_t port, uint32_t timeout_ms, int* error) {
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
  close(fd);
  return result;
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

bool accept_and_close(Listener* listener, uint32_t ms) {
  if (!listener || listener->handle < 0) return false;
  int fd = static_cast<int>(listener->handle);
  uint64_t deadline = monotonic_ms() + ms;
  for (;;) {
    int conn = accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
    if (conn >= 0) {
      close(conn);
      return true;
    }
    if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR && errno != ECONNABORTED) {
      return false;
    }
    int left = poll_ms_until(deadline);
    if (left == 0) return false;
    struct pollfd pfd = {fd, POLLIN, 0};
    if (poll(&pfd, 1, left) < 0 && errno != EINTR) return false;
  }
}

void close_listener(Listener* listener) {
  if (!listener || listener->handle < 0) return;
  close(static_cast<int>(listener->handle));
  listener->handle = -1;
  listener->port = 0;
}

// ---- Time ------------------------------------------------------------------

uint64_t monotonic_ms() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

bool local_time(int64_t seconds, std::tm* out) {
  if (!out) return false;
  time_t t = static_cast<time_t>(seconds);
  return localtime_r(&t, out) != nullptr;
}

void sleep_ms(uint32_t ms) {
  struct timespec left;
  left.tv_sec = static_cast<time_t>(ms / 1000);
  left.tv_nsec = static_cast<long>(ms % 1000) * 1000000L;
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

// ---- Orderly stop ----------------------------------------------------------

void install_stop_handler() {
  ensure_stop_pipe();
  ensure_pipe(&reload_pipe);
  struct sigaction action;
  std::memset(&action, 0, sizeof action);
  action.sa_handler = on_stop_signal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  action.sa_handler = on_hangup_signal;
  sigaction(SIGHUP, &action, nullptr);
}

void request_stop() {
  stop_flag.store(true);
  wake_pipe(&stop_pipe);
}

bool stop_requested() { return stop_flag.load(); }

bool wait_for_stop(uint32_t ms) {
  const int fd = stop_read_fd(ensure_stop_pipe());
  // The reload pipe exists once install_stop_handler made it.
  const int reload_fd = pipe_read_fd(reload_pipe.ends.load());
  uint64_t deadline = monotonic_ms() + ms;
  for (;;) {
    if (stop_flag.load()) return true;
    if (reload_flag.load()) return false;
    int left = poll_ms_until(deadline);
    if (left == 0) return stop_flag.load();
    if (fd < 0) {
      // No pipe could be made: fall back to short sleeps.
      sleep_ms(left < 50 ? static_cast<uint32_t>(left) : 50u);
      continue;
    }
    // Readable means a request was made; the stop byte stays so that every
    // waiter sees it until clear_stop_request().
    struct pollfd fds[2] = {{fd, POLLIN, 0}, {reload_fd, POLLIN, 0}};
    if (poll(fds, reload_fd >= 0 ? 2 : 1, left) <= 0) continue;
    // A byte whose request was taken already is stale; the handler sets the
    // flag before it writes, so a request drained here shows at the loop's top.
    if (reload_fd >= 0 && fds[1].revents != 0 && !reload_flag.load()) drain_pipe(reload_fd);
  }
}

void clear_stop_request() {
  stop_flag.store(false);
  drain_pipe(stop_read_fd(stop_pipe.ends.load()));
}

bool take_reload_request() {
  // The pipe's byte only wakes waits; wait_for_stop drains one left behind.
  return reload_flag.exchange(false);
}

// ---- Processes -------------------------------------------------------------

uint32_t current_pid() { return static_cast<uint32_t>(getpid()); }

bool own_executable_path(char* out, size_t cap) {
  if (!out || cap == 0) return false;
  out[0] = '\0';
  char path[PATH_MAX + 1];
  ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return false;
  path[n] = '\0';
  copy_bounded(out, cap, path);
  return true;
}

bool pid_is_alive(uint32_t pid) {
  pid_t id = as_pid(pid);
  if (id == 0) return false;
  // EPERM (another user's process) counts as not running.
  if (kill(id, 0) != 0) return false;
  return !has_ended(process_state(id));
}

bool request_process_stop(uint32_t pid) {
  const pid_t id = as_pid(pid);
  return id != 0 && kill(id, SIGTERM) == 0;
}

bool request_process_reload(uint32_t pid) {
  const pid_t id = as_pid(pid);
  return id != 0 && kill(id, SIGHUP) == 0;
}

bool wait_process_end(uint32_t pid, uint32_t ms) {
  const uint64_t deadline = monotonic_ms() + ms;
  while (pid_is_alive(pid)) {
    if (monotonic_ms() >= deadline) return false;
    sleep_ms(20);
  }
  return true;
}

TerminateResult terminate_process(uint32_t pid) {
  pid_t id = as_pid(pid);
  // A zombie has ended already; only its parent can remove it.
  if (id == 0 || has_ended(process_state(id))) return TerminateResult::kCannotOpen;
  int pidfd = open_pidfd(id);
  if (kill(id, SIGKILL) != 0) {
    if (pidfd >= 0) close(pidfd);
    return TerminateResult::kCannotOpen;
  }
  // Give it about 2 seconds to be gone (ended or a zombie).
  uint64_t deadline = monotonic_ms() + 2000;
  if (pidfd >= 0) {
    struct pollfd pfd = {pidfd, POLLIN, 0};
    while (poll(&pfd, 1, poll_ms_until(deadline)) < 0 && errno == EINTR) {
    }
    close(pidfd);
  } else {
    while (monotonic_ms() < deadline) {
      if (kill(id, 0) != 0 || has_ended(process_state(id))) break;
      sleep_ms(20);
    }
  }
  return TerminateResult::kTerminated;
}

bool start_detached(const char* exe, const char* arg) {
  if (!exe || exe[0] == '\0') return false;
  // Everything the children need is prepared before fork(): after it only
  // async-signal-safe calls are made.
  char* const argv[] = {const_cast<char*>(exe), const_cast<char*>(arg), nullptr};
  int report[2];
  if (pipe2(report, O_CLOEXEC) != 0) return false;
  sigset_t empty;
  sigemptyset(&empty);

  pid_t child = fork();
  if (child < 0) {
    close(report[0]);
    close(report[1]);
    return false;
  }
  if (child == 0) {
    // First child: leave the caller's session, start the real program in a
    // grandchild and end at once, so that the caller reaps us now and the
    // program is adopted by init (no zombie is ever left with the caller).
    close(report[0]);
    setsid();
    pid_t grandchild = fork();
    if (grandchild < 0) {
      int err = errno;
      ssize_t ignored = write(report[1], &err, sizeof err);
      (void)ignored;
      _exit(1);
    }
    if (grandchild > 0) _exit(0);
    int null_fd = open("/dev/null", O_RDWR);
    if (null_fd >= 0) {
      dup2(null_fd, 0);
      dup2(null_fd, 1);
      dup2(null_fd, 2);
      if (null_fd > 2) close(null_fd);
    }
#ifdef SYS_close_range
    // Nothing else of the caller's passes on (our own descriptors are
    // close-on-exec already; this covers those opened by others).
    syscall(SYS_close_range, 3u, ~0u, 4u /* CLOSE_RANGE_CLOEXEC */);
#endif
    struct sigaction dfl;
    std::memset(&dfl, 0, sizeof dfl);
    dfl.sa_handler = SIG_DFL;
    sigaction(SIGPIPE, &dfl, nullptr);
    sigprocmask(SIG_SETMASK, &empty, nullptr);
    execvp(exe, argv);
    int err = errno;
    ssize_t ignored = write(report[1], &err, sizeof err);
    (void)ignored;
    _exit(127);
  }

  close(report[1]);
  while (waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
  }
  // End of file: the program was executed (the close-on-exec end went away).
  int err = 0;
  ssize_t got;
  do {
    got = read(report[0], &err, sizeof err);
  } while (got < 0 && errno == EINTR);
  close(report[0]);
  return got == 0;
}

bool computer_name(char* out, size_t cap) {
  if (out && cap > 0) out[0] = '\0';
  if (!out || cap == 0) return false;
  char name[256];
  if (gethostname(name, sizeof name) != 0) return false;
  name[sizeof name - 1] = '\0';
  if (name[0] == '\0') return false;
  copy_bounded(out, cap, name);
  return true;
}

// ---- Files and environment -------------------------------------------------

bool find_program(const char* name, ProgramLookup* out) {
  *out = ProgramLookup{};
  char folder[PATH_MAX + 1];
  if (own_executable_path(folder, sizeof folder)) {
    const char* slash = std::strrchr(folder, '/');
    if (slash && program_in_folder(folder, static_cast<size_t>(slash - folder), name, out)) {
      return true;
    }
  }
  if (current_directory(folder, sizeof folder) &&
      program_in_folder(folder, std::strlen(folder), name, out)) {
    return true;
  }
  const char* path = std::getenv("PATH");
  for (const char* dir = path ? path : ""; *dir;) {
    const char* end = std::strchr(dir, ':');
    const size_t dir_len = end ? static_cast<size_t>(end - dir) : std::strlen(dir);
    if (program_in_folder(dir, dir_len, name, out)) return true;
    dir += dir_len + (end ? 1 : 0);
  }
  return false;
}

bool current_directory(char* out, size_t cap) {
  if (!out || cap == 0) return false;
  if (!getcwd(out, cap)) {
    out[0] = '\0';
    return false;
  }
  return true;
}

bool change_directory(const char* path) { return path && path[0] != '\0' && chdir(path) == 0; }

bool delete_file(const char* path) { return path && path[0] != '\0' && unlink(path) == 0; }

bool replace_file(const char* from, const char* to) {
  return from && to && from[0] != '\0' && to[0] != '\0' && std::rename(from, to) == 0;
}

bool set_env(const char* name, const char* value) {
  if (!name || name[0] == '\0' || std::strchr(name, '=')) return false;
  return (value ? setenv(name, value, 1) : unsetenv(name)) == 0;
}

LockResult lock_file(const char* path, FileLock* lock) {
  if (!lock) return LockResult::kError;
  lock->handle = -1;
  if (!path || path[0] == '\0') return LockResult::kError;
  // The holder deletes the file before it unlocks, so a lock won on a file
  // that no longer stands at `path` is worthless: open the path again.
  for (int attempt = 0; attempt < 100; ++attempt) {
    int fd;
    do {
      fd = open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return LockResult::kError;
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
      int err = errno;
      close(fd);
      return err == EWOULDBLOCK ? LockResult::kHeldElsewhere : LockResult::kError;
    }
    struct stat held;
    struct stat named;
    if (fstat(fd, &held) == 0 && held.st_nlink > 0 && stat(path, &named) == 0 &&
        held.st_dev == named.st_dev && held.st_ino == named.st_ino) {
      lock->handle = fd;
      return LockResult::kAcquired;
    }
    close(fd);
  }
  return LockResult::kError;
}

bool rewrite_locked_file(FileLock* lock, const char* text, size_t len) {
  if (!lock || lock->handle < 0 || (!text && len > 0)) return false;
  int fd = static_cast<int>(lock->handle);
  if (ftruncate(fd, 0) != 0) return false;
  size_t done = 0;
  while (done < len) {
    const size_t room = disk_room(len - done);
    ssize_t n = room == 0 ? -1 : pwrite(fd, text + done, room, static_cast<off_t>(done));
    if (n < 0 && room > 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

bool append_whole(const char* path, const char* data, size_t len) {
  if (!path || path[0] == '\0' || (!data && len > 0)) return false;
  int fd;
  do {
    fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return false;
  size_t done = 0;
  bool ok = true;
  while (done < len) {
    const size_t room = disk_room(len - done);
    ssize_t n = room == 0 ? -1 : write(fd, data + done, room);
    if (n < 0 && room > 0 && errno == EINTR) continue;
    if (n <= 0) {
      ok = false;
      break;
    }
    done += static_cast<size_t>(n);
  }
  if (!ok && done > 0) {
    // Appending leaves the offset at the end of what was stored: cut there
    // less this append's part (not at the length seen before, which another
    // writer may have changed since).
    const off_t end = lseek(fd, 0, SEEK_CUR);
    if (end >= static_cast<off_t>(done)) {
      int cut;
      while ((cut = ftruncate(fd, end - static_cast<off_t>(done))) != 0 && errno == EINTR) {
      }
      if (cut == 0) disk_release(done);
    }
  }
  return close(fd) == 0 && ok;
}

void set_disk_space_for_testing(int64_t bytes) { disk_space.store(bytes < 0 ? -1 : bytes); }

void unlock_file(FileLock* lock) {
  if (!lock || lock->handle < 0) return;
  close(static_cast<int>(lock->handle));
  lock->handle = -1;
}

// ---- Child processes -------------------------------------------------------

namespace {

// A started child and this process's ends of its pipes (-1: none).
struct Child {
  pid_t pid = -1;
  int pidfd = -1;   // readable once the child has ended; -1 without pidfds
  int in_fd = -1;   // writes the child's standard input
  int out_fd = -1;  // reads its standard output and standard error
};

// The file descriptor of the null device opened in a child before exec, or
// -1. Async-signal-safe.
int open_null_in_child(int flags) { return open(kNullDevice, flags | O_CLOEXEC); }

// Makes `from` the child's descriptor `to` (close-on-exec cleared); false
// when that fails. Async-signal-safe.
bool put_fd(int from, int to) {
  if (from < 0) return false;
  if (from == to) return fcntl(to, F_SETFD, 0) == 0;
  return dup2(from, to) == to;
}

// The child's side between fork() and exec: only async-signal-safe calls.
// Gives it `in_read` (or the null device) as standard input and `out_write`
// (or the null device, or our own streams) as standard output and error,
// and nothing else of ours; puts it in a process group of its own with
// default signal handling and no blocked signals; has it ended when this
// process ends; then runs `program`. On any failure the errno goes to
// `report` and the child ends.
[[noreturn]] void exec_child(const RunRequest& request, const char* program, pid_t parent,
                             int in_read, int out_write, int report) {
  bool ok = true;
#ifdef __linux__
  // The signal comes when the thread that forked ends, not the process. That
  // thread is in run_process, which returns only once this child is reaped,
  // so it never ends before the child; only the process's own end (also by
  // SIGKILL) sends it.
  ok = prctl(PR_SET_PDEATHSIG, SIGKILL) == 0;
  // Ended before the request took hold: nobody would send the signal now.
  if (ok && getppid() != parent) _exit(127);
#else
  (void)parent;
#endif
  // Its own process group lets a time-out end the whole tree.
  ok = ok && setpgid(0, 0) == 0;
  struct sigaction dfl;
  std::memset(&dfl, 0, sizeof dfl);
  dfl.sa_handler = SIG_DFL;
  sigemptyset(&dfl.sa_mask);
  for (int sig : {SIGPIPE, SIGINT, SIGTERM}) ok = ok && sigaction(sig, &dfl, nullptr) == 0;
  // The hang-up signal as this process got it, unless it is ours.
  struct sigaction hangup;
  if (ok && sigaction(SIGHUP, nullptr, &hangup) == 0 && hangup.sa_handler == on_hangup_signal) {
    ok = sigaction(SIGHUP, &dfl, nullptr) == 0;
  }
  if (ok) ok = put_fd(in_read >= 0 ? in_read : open_null_in_child(O_RDONLY), 0);
  if (ok && out_write >= 0) {
    ok = put_fd(out_write, 1) && put_fd(out_write, 2);
  } else if (ok && request.discard_output) {
    const int null_fd = open_null_in_child(O_WRONLY);
    ok = put_fd(null_fd, 1) && put_fd(null_fd, 2);
  }
#ifdef SYS_close_range
  // Descriptors that other code opened without close-on-exec do not pass on
  // either; `report` is close-on-exec already.
  if (ok) syscall(SYS_close_range, 3u, ~0u, 4u /* CLOSE_RANGE_CLOEXEC */);
#endif
  sigset_t no_mask;
  sigemptyset(&no_mask);
  ok = ok && sigprocmask(SIG_SETMASK, &no_mask, nullptr) == 0;
  if (ok) execve(program, const_cast<char* const*>(request.argv), environ);
  int err = errno;
  ssize_t ignored = write(report, &err, sizeof err);
  (void)ignored;
  _exit(127);
}

// Forks and runs `program` with the pipe ends given (see exec_child). Signals
// are blocked around fork() so that no handler of ours runs in the child
// before it has reset them. True when `program` was executed; a child that
// could not run it has been reaped.
bool spawn_child(const RunRequest& request, const char* program, int in_read, int out_write,
                 pid_t* pid) {
  int report[2];
  if (pipe2(report, O_CLOEXEC) != 0) return false;
  sigset_t all;
  sigset_t previous;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &previous);
  const pid_t parent = getpid();
  const pid_t child = fork();
  if (child == 0) {
    close(report[0]);
    exec_child(request, program, parent, in_read, out_write, report[1]);
  }
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  close(report[1]);
  if (child < 0) {
    close(report[0]);
    return false;
  }
  // End of file: the program was executed (the close-on-exec end went away).
  int err = 0;
  ssize_t got;
  do {
    got = read(report[0], &err, sizeof err);
  } while (got < 0 && errno == EINTR);
  close(report[0]);
  if (got != 0) {
    while (waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
    }
    return false;
  }
  *pid = child;
  return true;
}

// Starts the child with the pipes `request` asks for. False, with nothing
// left open, when no child was started.
bool start_child(const RunRequest& request, Child* child) {
  if (!request.argv || !request.argv[0] || request.argv[0][0] == '\0') return false;
  // Looked up before fork(): after it only async-signal-safe calls are made.
  char program[PATH_MAX + 1];
  if (!find_on_path(request.argv[0], program, sizeof program)) return false;
  ignore_sigpipe_once();
  int in_pipe[2] = {-1, -1};
  int out_pipe[2] = {-1, -1};
  bool ok = (!request.input || pipe2(in_pipe, O_CLOEXEC) == 0) &&
            (!request.sink || pipe2(out_pipe, O_CLOEXEC) == 0) &&
            spawn_child(request, program, in_pipe[0], out_pipe[1], &child->pid);
  close_fd(&in_pipe[0]);
  close_fd(&out_pipe[1]);
  if (!ok) {
    close_fd(&in_pipe[1]);
    close_fd(&out_pipe[0]);
    child->pid = -1;
    return false;
  }
  child->pidfd = open_pidfd(child->pid);
  child->in_fd = in_pipe[1];
  child->out_fd = out_pipe[0];
  if (child->in_fd >= 0) {
    fcntl(child->in_fd, F_SETFL, fcntl(child->in_fd, F_GETFL) | O_NONBLOCK);
    if (request.input_len == 0) close_fd(&child->in_fd);
  }
  return true;
}

// True when the child has ended (it stays a zombie until reaped).
bool child_ended(pid_t pid) {
  siginfo_t info;
  std::memset(&info, 0, sizeof info);
  if (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0) {
    return errno != EINTR;  // nothing left to wait for
  }
  return info.si_pid == pid;
}

// Writes what the input pipe takes now. Closes it once everything is
// written, or when the child has closed its end (the rest is dropped).
void feed_input(const RunRequest& request, size_t* written, int* fd) {
  ssize_t n = write(*fd, request.input + *written, request.input_len - *written);
  if (n > 0) {
    *written += static_cast<size_t>(n);
    if (*written == request.input_len) close_fd(fd);
  } else if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
    close_fd(fd);
  }
}

// Hands one read of the output pipe to the sink; closes the pipe once every
// writer is gone.
void drain_output(const RunRequest& request, char* buffer, size_t chunk, int* fd) {
  ssize_t n = read(*fd, buffer, chunk);
  if (n > 0) {
    request.sink(request.sink_context, buffer, static_cast<size_t>(n));
  } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
    close_fd(fd);
  }
}

// How pump_child ended.
enum class Pumped {
  kDone,      // the child ended and its output pipe reached its end
  kTimedOut,  // the time limit passed first (or waiting failed)
  kStopped,   // a stop was requested and the grace passed first
};

// Feeds the input and drains the output until the child has ended and its
// output pipe has reached its end. A child that ended in time still has its
// remaining output read. A stop request cuts the wait to kStopGraceMs from
// the moment it is seen. Anything but kDone means the child, or something it
// started, is still running.
Pumped pump_child(const RunRequest& request, Child* child) {
  uint64_t deadline =
      request.time_limit_ms > 0 ? monotonic_ms() + request.time_limit_ms : UINT64_MAX;
  Pumped late = Pumped::kTimedOut;  // what passing `deadline` means
  const int stop_fd = stop_read_fd(ensure_stop_pipe());
  bool stop_seen = false;
  char buffer[4096];
  size_t chunk = request.read_chunk == 0 ? 1 : request.read_chunk;
  if (chunk > sizeof buffer) chunk = sizeof buffer;
  size_t written = 0;
  bool ended = false;  // a zombie until reaped
  while (child->in_fd >= 0 || child->out_fd >= 0 || !ended) {
    if (!stop_seen && stop_flag.load()) {
      stop_seen = true;
      const uint64_t grace_end = monotonic_ms() + kStopGraceMs;
      if (grace_end < deadline) {
        deadline = grace_end;
        late = Pumped::kStopped;
      }
    }
    struct pollfd fds[4];
    int count = 0;
    int in_slot = -1, out_slot = -1, pid_slot = -1;
    if (child->in_fd >= 0) {
      in_slot = count;
      fds[count++] = {child->in_fd, POLLOUT, 0};
    }
    if (child->out_fd >= 0) {
      out_slot = count;
      fds[count++] = {child->out_fd, POLLIN, 0};
    }
    if (!ended && child->pidfd >= 0) {
      pid_slot = count;
      fds[count++] = {child->pidfd, POLLIN, 0};
    }
    // The stop pipe stays readable once written: watched until first seen.
    if (!stop_seen && stop_fd >= 0) fds[count++] = {stop_fd, POLLIN, 0};
    int wait = deadline == UINT64_MAX ? -1 : poll_ms_until(deadline);
    // Without a pidfd the end of the child is looked for in coarse steps.
    if (!ended && child->pidfd < 0 && (wait < 0 || wait > 50)) wait = 50;
    if (!stop_seen && stop_fd < 0 && (wait < 0 || wait > kStopCheckMs)) wait = kStopCheckMs;
    const bool past_deadline = monotonic_ms() >= deadline;
    if (past_deadline) {
      if (!ended) ended = child_ended(child->pid);
      if (!ended) return late;
      wait = 0;  // ended in time: take what its output still holds
    }
    int ready = poll(fds, static_cast<nfds_t>(count), wait);
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) return Pumped::kTimedOut;
    // Past the limit, a silent pipe is held open by what the child started.
    if (past_deadline && ready == 0) return late;
    if (in_slot >= 0 && fds[in_slot].revents) feed_input(request, &written, &child->in_fd);
    if (out_slot >= 0 && fds[out_slot].revents) {
      drain_output(request, buffer, chunk, &child->out_fd);
    }
    if (pid_slot >= 0) {
      ended = fds[pid_slot].revents != 0;
    } else if (!ended && child->pidfd < 0) {
      ended = child_ended(child->pid);
    }
    // Nobody reads our input once the child has ended.
    if (ended) close_fd(&child->in_fd);
  }
  return Pumped::kDone;
}

// Closes our pipe ends and waits for the child. With `kill_tree` it first ends
// the child's whole process group. Returns the child's exit code, 1 when it
// has none (ended by a signal).
int reap_child(Child* child, bool kill_tree) {
  close_fd(&child->in_fd);
  close_fd(&child->out_fd);
  close_fd(&child->pidfd);
  if (kill_tree) {
    // Not reaped yet, so its id (and group id) still names it.
    kill(-child->pid, SIGKILL);
    kill(child->pid, SIGKILL);  // also when it has left its group
  }
  int status = 0;
  for (;;) {
    pid_t got = waitpid(child->pid, &status, 0);
    if (got == child->pid) return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
    if (got < 0 && errno == EINTR) continue;
    return 1;
  }
}

}  // namespace

int run_process(const RunRequest& request, RunEnd* end) {
  if (end) *end = RunEnd::kStartFailed;
  Child child;
  if (!start_child(request, &child)) return kRunFailed;
  const Pumped pumped = pump_child(request, &child);
  const int code = reap_child(&child, pumped != Pumped::kDone);
  if (pumped == Pumped::kDone) {
    if (end) *end = RunEnd::kExited;
    return code;
  }
  if (end) *end = pumped == Pumped::kStopped ? RunEnd::kStopped : RunEnd::kTimedOut;
  return kRunFailed;
}

// ---- Resource use --------------------------------------------------------

size_t peak_resident_bytes() {
  // The "VmHWM:" line of /proc/self/status, in kB.
  int fd = ::open("/proc/self/status", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  char text[4096];
  ssize_t n = ::read(fd, text, sizeof text - 1);
  ::close(fd);
  if (n <= 0) return 0;
  text[n] = '\0';
  const char* line = std::strstr(text, "VmHWM:");
  if (!line) return 0;
  return static_cast<size_t>(std::strtoull(line + 6, nullptr, 10)) * 1024u;
}

uint64_t process_cpu_ms() {
  struct timespec ts;
  if (clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts) != 0) return 0;
  return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

// ---- System service --------------------------------------------------------

// systemd is set up through a unit file, by hand: nothing here talks to it.

ServiceResult install_service(const char*, const char*, const char*, uint32_t* missing,
                              uint32_t* error) {
  if (missing) *missing = 0;
  if (error) *error = 0;
  return ServiceResult::kNotSupported;
}

ServiceResult uninstall_service(uint32_t* error) {
  if (error) *error = 0;
  return ServiceResult::kNotSupported;
}

ServiceResult stop_service(uint32_t* error) {
  if (error) *error = 0;
  return ServiceResult::kNotSupported;
}

uint32_t service_pid() { return 0; }

bool serve_as_service(ServiceBody, void*) { return false; }

namespace {

// Appends text to a bounded buffer and remembers whether all of it fitted.
class UnitText {
 public:
  UnitText(char* out, size_t cap) : out_(out), cap_(cap) { copy_bounded(out, cap, ""); }
  bool ok() const { return ok_; }
  void put(const char* text) {
    const size_t want = std::strlen(out_) + std::strlen(text);
    if (append_bounded(out_, cap_, text) != want) ok_ = false;
  }
  // `text` with '%' (the specifier mark) doubled, and with `exec`, as
  // ExecStart= reads it: '$' doubled and '"' escaped.
  void put_unit_value(const char* text, bool exec) {
    for (const char* p = text; *p; ++p) {
      const bool doubled = *p == '%' || (exec && *p == '$');
      const bool escaped = exec && *p == '"';
      char one[3] = {escaped ? '\\' : *p, doubled || escaped ? *p : '\0', '\0'};
      put(one);
    }
  }
  // `text` as one shell word: as it is when plain, else in single quotes.
  void put_shell_word(const char* text) {
    const bool plain =
        text[0] != '\0' && std::strspn(text,
                                       "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnop"
                                       "qrstuvwxyz0123456789/._-+@:,=") == std::strlen(text);
    if (plain) return put(text);
    put("'");
    for (const char* p = text; *p; ++p) {
      const char one[2] = {*p, '\0'};
      put(*p == '\'' ? "'\\''" : one);
    }
    put("'");
  }

 private:
  char* out_;
  size_t cap_;
  bool ok_ = true;
};

// A path that a unit line can hold: absolute, no control bytes (a line
// break would end the setting) and no backslash (a line continuation or
// escape in unit files).
bool unit_path(const char* path) {
  if (!path || path[0] != '/') return false;
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(path); *p; ++p) {
    if (*p < 0x20 || *p == 0x7f || *p == '\\') return false;
  }
  return true;
}

// A user name or number as systemd's User= takes it.
bool unit_account(const char* account) {
  if (account[0] == '\0' || account[0] == '-') return false;
  return std::strspn(account,
                     "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789._-@") ==
         std::strlen(account);
}

// The name of the effective user; false for root (whose unit needs no
// User= line) and when it cannot be read.
bool effective_user(char* out, size_t cap) {
  const uid_t uid = geteuid();
  if (uid == 0) return false;
  struct passwd entry;
  struct passwd* found = nullptr;
  char buf[4096];
  if (getpwuid_r(uid, &entry, buf, sizeof buf, &found) != 0 || !found || !found->pw_name) {
    return false;
  }
  return copy_bounded(out, cap, found->pw_name) > 0;
}

}  // namespace

bool manual_service_setup(const char* exe, const char* folder, const char* account, char* out,
                          size_t cap) {
  if (!out || cap == 0) return false;
  out[0] = '\0';
  char user[256] = "";
  if (account && account[0] != '\0') {
    if (!unit_account(account)) return false;
    copy_bounded(user, sizeof user, account);
  } else if (!effective_user(user, sizeof user) || !unit_account(user)) {
    user[0] = '\0';
  }
  if (!unit_path(exe) || !unit_path(folder)) return false;

  UnitText text(out, cap);
  text.put("# linkwatch.service: runs linkwatch -s in ");
  text.put(folder);
  text.put(user[0] ? " as " : " as root");
  text.put(user);
  // ExecStart= is this program's own path, which is a build folder when it
  // runs from there: the comment says which program the unit should name.
  text.put(
      ".\n# ExecStart names the program that printed this unit: print it with the\n"
      "# installed program (after cmake --install: /usr/local/bin/linkwatch),\n"
      "# not with a copy in a build folder.\n"
      "# A system user of its own that owns the folder is best:\n"
      "#   sudo useradd --system --no-create-home --shell /usr/sbin/nologin ");
  const char* service_user = account && account[0] != '\0' ? account : "linkwatch";
  text.put_shell_word(service_user);
  text.put("\n#   sudo chown -R ");
  text.put_shell_word(service_user);
  text.put(": ");
  text.put_shell_word(folder);
  if (!account || account[0] == '\0') {
    text.put("\n# and name it after -install: linkwatch -install linkwatch");
  }
  text.put("\n# Install and start it:\n#   cd ");
  text.put_shell_word(folder);
  text.put("\n#   ");
  text.put_shell_word(exe);
  text.put(" -install");
  if (account && account[0] != '\0') {
    text.put(" ");
    text.put(account);
  }
  text.put(
      " | sudo tee /etc/systemd/system/linkwatch.service\n"
      "#   sudo systemctl daemon-reload\n"
      "#   sudo systemctl enable --now linkwatch\n"
      "# Check it: systemctl status linkwatch (and linkwatch -status in that folder).\n"
      "[Unit]\n"
      "Description=linkwatch TCP service monitor\n"
      "After=network-online.target\n"
      "Wants=network-online.target\n"
      "\n"
      "[Service]\n"
      "Type=simple\n");
  if (user[0]) {
    text.put("User=");
    text.put(user);
    text.put("\n");
  }
  text.put("WorkingDirectory=");
  text.put_unit_value(folder, false);
  text.put("\nExecStart=\"");
  text.put_unit_value(exe, true);
  text.put(
      "\" -s\n"
      "# The stop request goes to linkwatch alone; it ends its own children.\n"
      "KillMode=mixed\n"
      "TimeoutStopSec=30\n"
      "Restart=on-failure\n"
      "RestartSec=60\n"
      "\n"
      "[Install]\n"
      "WantedBy=multi-user.target\n");
  if (!text.ok()) {
    out[0] = '\0';
    return false;
  }
  return true;
}

bool manual_service_removal(char* out, size_t cap) {
  copy_bounded(out, cap,
               "sudo systemctl disable --now linkwatch\n"
               "sudo rm /etc/systemd/system/linkwatch.service\n"
               "sudo systemctl daemon-reload\n");
  return true;
}

}  // namespace lw::platform
