// The child of run_process on POSIX: fork and exec with the pipes asked
// for, feeding and draining them with poll(), and ending the child's process
// group at its time limit or a stop.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif
#include <sys/syscall.h>
#include <sys/types.h>
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

extern char** environ;

namespace lw::platform {

#ifdef __linux__
const bool kChildEndsWithParent = true;
#else
const bool kChildEndsWithParent = false;
#endif

namespace {

void close_fd(int* fd) {
  if (*fd >= 0) {
    close(*fd);
    *fd = -1;
  }
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
  if (!program_was_executed(report[0])) {
    while (waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
    }
    return false;
  }
  *pid = child;
  return true;
}

}  // namespace

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

namespace {

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

}  // namespace

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

}  // namespace lw::platform
