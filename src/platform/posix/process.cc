// Processes on POSIX: ids, ending and waiting for them, the detached start,
// and finding the programs to run.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/bounded_text.h"
#include "platform/platform.h"
#include "platform/posix/internal.h"

namespace lw::platform {

pid_t as_pid(uint32_t pid) {
  if (pid == 0 || pid > static_cast<uint32_t>(INT_MAX)) return 0;
  return static_cast<pid_t>(pid);
}

int open_pidfd(pid_t pid) {
#ifdef SYS_pidfd_open
  long fd = syscall(SYS_pidfd_open, pid, 0);
  return fd >= 0 ? static_cast<int>(fd) : -1;
#else
  (void)pid;
  return -1;
#endif
}

bool is_program_file(const char* path) {
  struct stat st;
  return access(path, X_OK) == 0 && stat(path, &st) == 0 && S_ISREG(st.st_mode);
}

namespace {

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
  return program_was_executed(report[0]);
}

bool program_was_executed(int fd) {
  int err = 0;
  ssize_t got;
  do {
    got = read(fd, &err, sizeof err);
  } while (got < 0 && errno == EINTR);
  close(fd);
  return got == 0;
}

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

}  // namespace lw::platform
