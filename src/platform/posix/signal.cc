// Stop and reload requests on POSIX: the signal handlers, the self-pipes
// that wake the waits, and the requests sent to another process.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <mutex>

#include "platform/platform.h"
#include "platform/posix/internal.h"

namespace lw::platform {

std::atomic<bool> stop_flag{false};

namespace {

// A self-pipe that a signal handler writes to wake the waits on its read end.
// Both ends, packed (read << 32 | write); -1 until created.
struct SelfPipe {
  std::atomic<int64_t> ends{-1};
};

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

int pipe_read_fd(int64_t packed) { return packed == -1 ? -1 : static_cast<int>(packed >> 32); }
int pipe_write_fd(int64_t packed) {
  return packed == -1 ? -1 : static_cast<int>(packed & 0xffffffff);
}

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

}  // namespace

int64_t ensure_stop_pipe() { return ensure_pipe(&stop_pipe); }

int stop_read_fd(int64_t packed) { return pipe_read_fd(packed); }

void on_hangup_signal(int) {
  int saved = errno;
  request_reload();
  errno = saved;
}

void request_reload() {
  reload_flag.store(true);
  wake_pipe(&reload_pipe);
}

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

bool request_process_stop(uint32_t pid) {
  const pid_t id = as_pid(pid);
  return id != 0 && kill(id, SIGTERM) == 0;
}

bool request_process_reload(uint32_t pid) {
  const pid_t id = as_pid(pid);
  return id != 0 && kill(id, SIGHUP) == 0;
}

}  // namespace lw::platform
