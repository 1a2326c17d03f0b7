// The child of run_process on Windows: a hidden process in a job that ends
// its whole tree, overlapped pipes fed and drained with waits on their
// events, and the job ended at the time limit or a stop.

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "platform/platform.h"
#include "platform/win/internal.h"

namespace lw::platform {

// The job object of run_process ends the child with this process.
const bool kChildEndsWithParent = true;

namespace {

bool has_directory_part(const char* name) { return std::strpbrk(name, "\\/:") != nullptr; }

bool has_extension(const char* name) {
  const char* base = name;
  for (const char* p = name; *p; ++p) {
    if (*p == '\\' || *p == '/' || *p == ':') base = p + 1;
  }
  return std::strchr(base, '.') != nullptr;
}

// Looks `name` up like a command: a name with a directory part as given,
// otherwise in each directory of PATH; ".exe" is added to a name without
// an extension. False when nothing is found: the start then fails, as
// CreateProcess's own search would also look in the working directory and
// this program's folder.
bool find_command(const char* name, char* out, size_t cap) {
  const char* suffix = has_extension(name) ? "" : ".exe";
  if (has_directory_part(name)) {
    if (std::snprintf(out, cap, "%s%s", name, suffix) >= static_cast<int>(cap)) return false;
    return is_regular_file(out);
  }
  char path_list[kCommandLineCap];
  DWORD n = GetEnvironmentVariableA("PATH", path_list, sizeof path_list);
  if (n == 0 || n >= sizeof path_list) return false;
  char* cursor = path_list;
  while (*cursor) {
    char* end = std::strchr(cursor, ';');
    char* next = end ? end + 1 : cursor + std::strlen(cursor);
    if (end) *end = '\0';
    // Entries may be quoted and may end with a separator.
    char* dir = cursor;
    size_t len = std::strlen(dir);
    if (len >= 2 && dir[0] == '"' && dir[len - 1] == '"') {
      dir[len - 1] = '\0';
      ++dir;
      len -= 2;
    }
    if (len > 0) {
      const char* separator = (dir[len - 1] == '\\' || dir[len - 1] == '/') ? "" : "\\";
      int written = std::snprintf(out, cap, "%s%s%s%s", dir, separator, name, suffix);
      if (written > 0 && written < static_cast<int>(cap) && is_regular_file(out)) return true;
    }
    cursor = next;
  }
  return false;
}

// An inheritable copy of one of this process's standard handles; the null
// device when this process has none.
HANDLE inheritable_std(DWORD which) {
  HANDLE original = GetStdHandle(which);
  HANDLE copy = nullptr;
  if (valid(original) && DuplicateHandle(GetCurrentProcess(), original, GetCurrentProcess(), &copy,
                                         0, TRUE, DUPLICATE_SAME_ACCESS)) {
    return copy;
  }
  return open_null(GENERIC_READ | GENERIC_WRITE);
}

// ---- Pipes of run_process ---------------------------------------------------------

std::atomic<unsigned> pipe_counter{0};

// A byte pipe whose end in this process is overlapped (so the caller can
// wait on it with a time limit) and whose child end is inheritable and
// synchronous. `inbound`: the child writes, this process reads.
bool create_pipe(bool inbound, HANDLE* own_end, HANDLE* child_end) {
  *own_end = nullptr;
  *child_end = nullptr;
  for (int attempt = 0; attempt < 8; ++attempt) {
    char name[96];
    std::snprintf(name, sizeof name, "\\\\.\\pipe\\linkwatch-%lu-%u-%llu",
                  static_cast<unsigned long>(GetCurrentProcessId()), pipe_counter.fetch_add(1),
                  static_cast<unsigned long long>(GetTickCount64()));
    DWORD open_mode = (inbound ? PIPE_ACCESS_INBOUND : PIPE_ACCESS_OUTBOUND) |
                      FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE;
    HANDLE server =
        CreateNamedPipeA(name, open_mode, PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1, 4096,
                         4096, 0, nullptr);
    if (!valid(server)) {
      if (GetLastError() == ERROR_ACCESS_DENIED || GetLastError() == ERROR_PIPE_BUSY) continue;
      return false;
    }
    SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
    HANDLE client = CreateFileA(name, inbound ? GENERIC_WRITE : GENERIC_READ, 0, &sa, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (!valid(client)) {
      CloseHandle(server);
      return false;
    }
    *own_end = server;
    *child_end = client;
    return true;
  }
  return false;
}

// Feeds the child's standard input: starts the next write of what remains.
// When everything is written (or the child stopped reading) the pipe is
// closed, which the child sees as the end of its input.
void feed_input(PipeIo* io, const char** data, size_t* remaining) {
  while (!io->done && !io->pending) {
    if (*remaining == 0) {
      io->close();
      return;
    }
    DWORD want = *remaining > 65536 ? 65536 : static_cast<DWORD>(*remaining);
    DWORD written = 0;
    ResetEvent(io->overlapped.hEvent);
    if (WriteFile(io->pipe, *data, want, &written, &io->overlapped)) {
      *data += written;
      *remaining -= written;
    } else if (GetLastError() == ERROR_IO_PENDING) {
      io->pending = true;
    } else {
      io->close();  // the child closed its input
      return;
    }
  }
}

// Collects a finished write.
void input_completed(PipeIo* io, const char** data, size_t* remaining) {
  DWORD written = 0;
  io->pending = false;
  if (!GetOverlappedResult(io->pipe, &io->overlapped, &written, FALSE)) {
    io->close();
    return;
  }
  *data += written;
  *remaining -= written;
  feed_input(io, data, remaining);
}

// Reads the child's output until a read is pending, handing each read to
// the sink. The pipe is done when it reports its end.
void drain_output(PipeIo* io, char* buf, DWORD chunk, const RunRequest& request) {
  while (!io->done && !io->pending) {
    DWORD got = 0;
    ResetEvent(io->overlapped.hEvent);
    if (ReadFile(io->pipe, buf, chunk, &got, &io->overlapped)) {
      if (got > 0) request.sink(request.sink_context, buf, got);
    } else if (GetLastError() == ERROR_IO_PENDING) {
      io->pending = true;
    } else {
      io->done = true;  // broken: every writer is gone
    }
  }
}

void output_completed(PipeIo* io, char* buf, DWORD chunk, const RunRequest& request) {
  DWORD got = 0;
  io->pending = false;
  if (!GetOverlappedResult(io->pipe, &io->overlapped, &got, FALSE)) {
    io->done = true;
    return;
  }
  if (got > 0) request.sink(request.sink_context, buf, got);
  drain_output(io, buf, chunk, request);
}

// A job that ends every process in it when its last handle is closed
// (JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE) and lets a process that asks for it
// (a detached background start) leave. The handle is not inheritable, so
// only this process holds it: when this process ends in any way, even by
// TerminateProcess, the system closes it and ends the child's whole tree.
HANDLE create_kill_job() {
  HANDLE job = CreateJobObjectA(nullptr, nullptr);
  if (!job) return nullptr;
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits;
  std::memset(&limits, 0, sizeof limits);
  limits.BasicLimitInformation.LimitFlags =
      JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE | JOB_OBJECT_LIMIT_BREAKAWAY_OK;
  if (!SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits)) {
    CloseHandle(job);
    return nullptr;
  }
  return job;
}

// Longest wait for a child to be gone after it was ended at its time limit.
constexpr DWORD kKillWaitMs = 2000;

// Creates the child suspended, its standard streams on the pipes or devices
// `request` asks for; under spawn_mutex, so that it inherits nothing else.
bool create_child(const RunRequest& request, const char* program, char* command_line,
                  Child* child) {
  std::lock_guard<std::mutex> hold(spawn_mutex);
  HANDLE child_in = nullptr;
  HANDLE child_out = nullptr;
  bool ready = true;
  if (request.input) {
    ready = create_pipe(false, &child->input.pipe, &child_in) && child->input.open();
  } else {
    child_in = open_null(GENERIC_READ);
  }
  if (request.sink) {
    ready = ready && create_pipe(true, &child->output.pipe, &child_out) && child->output.open();
  } else if (request.discard_output) {
    child_out = open_null(GENERIC_WRITE);
  }
  HANDLE child_err = child_out;
  if (ready && !request.sink && !request.discard_output) {
    child_out = inheritable_std(STD_OUTPUT_HANDLE);
    child_err = inheritable_std(STD_ERROR_HANDLE);
  }
  ready = ready && valid(child_in) && valid(child_out) && valid(child_err);
  const bool started =
      ready && create_with_handles(program, command_line, CREATE_NO_WINDOW | CREATE_SUSPENDED,
                                   child_in, child_out, child_err, &child->info);
  if (child_err != child_out) close_handle(&child_err);
  close_handle(&child_out);
  close_handle(&child_in);
  return started;
}

}  // namespace

// Starts the child in a job that ends its whole tree. False, with nothing
// left open, when no child was started.
bool start_child(const RunRequest& request, Child* child) {
  if (!request.argv || !request.argv[0] || request.argv[0][0] == '\0') return false;
  // About 100 KB of stack at the deepest (with the PATH search): well within
  // the default thread stack, and nothing is allocated per call.
  char command_buf[kCommandLineCap];
  char program[kCommandLineCap];
  CommandLine line(command_buf, sizeof command_buf);
  line.put_program(request.argv[0]);
  for (const char* const* arg = request.argv + 1; *arg; ++arg) line.put_argument(*arg);
  if (!line.ok() || !find_command(request.argv[0], program, sizeof program)) return false;

  child->job = create_kill_job();
  if (!create_child(request, program, line.data(), child)) {
    child->output.close();
    child->input.close();
    close_handle(&child->job);
    return false;
  }
  // Outside a job (where that is refused) only the child itself can be
  // ended at the time limit.
  if (child->job && !AssignProcessToJobObject(child->job, child->info.hProcess)) {
    close_handle(&child->job);
  }
  ResumeThread(child->info.hThread);
  close_handle(&child->info.hThread);
  return true;
}

Pumped pump_child(const RunRequest& request, Child* child) {
  const char* pending_input = request.input;
  size_t input_left = request.input ? request.input_len : 0;
  const size_t want = request.read_chunk == 0 ? 1 : request.read_chunk;
  const DWORD chunk = static_cast<DWORD>(want < sizeof child->buffer ? want : sizeof child->buffer);
  if (request.input) feed_input(&child->input, &pending_input, &input_left);
  if (request.sink) drain_output(&child->output, child->buffer, chunk, request);

  uint64_t deadline =
      request.time_limit_ms != 0 ? GetTickCount64() + request.time_limit_ms : UINT64_MAX;
  Pumped late = Pumped::kTimedOut;  // what passing `deadline` means
  // Without the event no stop can be requested at all.
  const HANDLE stop = stop_handle();
  bool stop_seen = false;
  bool exited = false;
  while (!exited || !child->output.done) {
    if (!stop_seen && stop && WaitForSingleObject(stop, 0) == WAIT_OBJECT_0) {
      stop_seen = true;
      const uint64_t grace_end = GetTickCount64() + kStopGraceMs;
      if (grace_end < deadline) {
        deadline = grace_end;
        late = Pumped::kStopped;
      }
    }
    HANDLE waits[4];
    DWORD count = 0;
    int process_slot = -1, output_slot = -1, input_slot = -1;
    if (!exited) {
      process_slot = static_cast<int>(count);
      waits[count++] = child->info.hProcess;
    }
    if (child->output.pending) {
      output_slot = static_cast<int>(count);
      waits[count++] = child->output.overlapped.hEvent;
    }
    if (child->input.pending) {
      input_slot = static_cast<int>(count);
      waits[count++] = child->input.overlapped.hEvent;
    }
    if (count == 0) break;
    // The event stays set once requested: watched until first seen, last
    // so that the child's own events are taken first.
    if (!stop_seen && stop) waits[count++] = stop;
    DWORD wait_ms = INFINITE;
    if (deadline != UINT64_MAX) {
      const uint64_t now = GetTickCount64();
      const uint64_t left = now >= deadline ? 0 : deadline - now;
      wait_ms = static_cast<DWORD>(left < INFINITE ? left : INFINITE - 1);
    }
    const DWORD result = WaitForMultipleObjects(count, waits, FALSE, wait_ms);
    // Also when only programs the child started still hold the output: the
    // command as a whole did not finish in time.
    if (result == WAIT_TIMEOUT) return late;
    if (result >= WAIT_OBJECT_0 + count) return Pumped::kTimedOut;
    const int slot = static_cast<int>(result - WAIT_OBJECT_0);
    if (slot == process_slot) {
      exited = true;
      child->input.cancel();  // a child that ended reads no more input
    } else if (slot == output_slot) {
      output_completed(&child->output, child->buffer, chunk, request);
    } else if (slot == input_slot) {
      input_completed(&child->input, &pending_input, &input_left);
    }
  }
  return Pumped::kDone;
}

// With `kill_tree` first ends the child's whole job. Gives up pending pipe
// transfers, reads the exit code (1 when there is none) and closes
// everything; closing the job ends whatever the child left running.
int reap_child(Child* child, bool kill_tree) {
  if (kill_tree) {
    if (child->job) TerminateJobObject(child->job, 1);
    TerminateProcess(child->info.hProcess, 1);
    WaitForSingleObject(child->info.hProcess, kKillWaitMs);
  }
  child->output.close();
  child->input.close();
  int rc = 1;
  DWORD code = 0;
  if (WaitForSingleObject(child->info.hProcess, 0) == WAIT_OBJECT_0 &&
      GetExitCodeProcess(child->info.hProcess, &code)) {
    rc = static_cast<int>(code);
  }
  close_handle(&child->info.hProcess);
  close_handle(&child->job);
  return rc;
}

}  // namespace lw::platform
