// What the Windows files of the platform share, for src/platform/win only.

#ifndef LINKWATCH_PLATFORM_WIN_INTERNAL_H_
#define LINKWATCH_PLATFORM_WIN_INTERNAL_H_

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif

// clang-format off
#include <winsock2.h>
#include <windows.h>
// clang-format on

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <mutex>

#include "platform/internal.h"
#include "platform/platform.h"

namespace lw::platform {

// The longest command line CreateProcess accepts, terminator included.
constexpr size_t kCommandLineCap = 32768;

inline HANDLE to_handle(intptr_t value) { return reinterpret_cast<HANDLE>(value); }
inline intptr_t from_handle(HANDLE handle) { return reinterpret_cast<intptr_t>(handle); }

inline bool valid(HANDLE handle) { return handle != nullptr && handle != INVALID_HANDLE_VALUE; }

inline void close_handle(HANDLE* handle) {
  if (valid(*handle)) CloseHandle(*handle);
  *handle = nullptr;
}

// ---- Stop event (signal.cc) -------------------------------------------------------

// The manual-reset event behind the stop request, created on first use
// under this process's stop event name; null when it cannot be created.
HANDLE stop_handle();

// Set while this process runs as a service: its stop comes from the
// service manager, and a user's log-off is no reason to stop.
extern std::atomic<bool> serving;

// ---- Command lines and creating processes (process.cc) -----------------------------

// Appends to a command line of kCommandLineCap bytes; false when it does
// not fit (a cut argument would reach the program altered).
class CommandLine {
 public:
  CommandLine(char* buf, size_t cap) : buf_(buf), cap_(cap) { buf_[0] = '\0'; }

  bool ok() const { return ok_; }
  const char* c_str() const { return buf_; }
  char* data() { return buf_; }

  void put(char c, size_t count = 1) {
    for (size_t i = 0; i < count; ++i) {
      if (len_ + 1 >= cap_) {
        ok_ = false;
        return;
      }
      buf_[len_++] = c;
      buf_[len_] = '\0';
    }
  }

  // Appends one argument so that the C runtime's argument parser gives it
  // back unchanged: plain text as it is; otherwise in quotes, with every
  // quote as \" and backslashes doubled where they precede a quote.
  void put_argument(const char* arg) {
    if (len_ > 0) put(' ');
    if (arg[0] != '\0' && std::strpbrk(arg, " \t\n\v\"") == nullptr) {
      for (const char* p = arg; *p; ++p) put(*p);
      return;
    }
    put('"');
    for (const char* p = arg;; ++p) {
      size_t backslashes = 0;
      while (*p == '\\') {
        ++backslashes;
        ++p;
      }
      if (*p == '\0') {
        put('\\', backslashes * 2);
        break;
      }
      if (*p == '"') {
        put('\\', backslashes * 2 + 1);
      } else {
        put('\\', backslashes);
      }
      put(*p);
    }
    put('"');
  }

  // The program name is parsed differently (no escapes: it runs to the next
  // quote); names cannot hold quotes, so plain quoting is enough.
  void put_program(const char* name) {
    put('"');
    for (const char* p = name; *p; ++p) {
      if (*p != '"') put(*p);
    }
    put('"');
  }

 private:
  char* buf_;
  size_t cap_;
  size_t len_ = 0;
  bool ok_ = true;
};

// True when `path` names a file (not a folder).
bool is_regular_file(const char* path);

// Serialises "make inheritable handles, create the child, close the
// child's copies", so that no child inherits handles meant for another
// call's child even where the explicit handle list is not honoured.
extern std::mutex spawn_mutex;

// A handle of the null device, inheritable, opened for `access`.
HANDLE open_null(DWORD access);

// Creates a process whose standard handles are the inheritable `in`, `out`
// and `err` and which inherits nothing else. Takes spawn_mutex; the caller
// closes the three handles afterwards.
bool create_with_handles(const char* application, char* command_line, DWORD flags, HANDLE in,
                         HANDLE out, HANDLE err, PROCESS_INFORMATION* info);

// ---- Child processes (child.cc) ---------------------------------------------------

// One overlapped transfer on a pipe end.
struct PipeIo {
  HANDLE pipe = nullptr;
  OVERLAPPED overlapped{};
  bool pending = false;
  bool done = true;  // no (more) transfers on this pipe

  bool open() {
    overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    done = overlapped.hEvent == nullptr;
    return !done;
  }

  // Stops a pending transfer and waits for it to be given up.
  void cancel() {
    if (pending) {
      DWORD n = 0;
      CancelIoEx(pipe, &overlapped);
      GetOverlappedResult(pipe, &overlapped, &n, TRUE);
      pending = false;
    }
    done = true;
  }

  void close() {
    cancel();
    close_handle(&pipe);
    close_handle(&overlapped.hEvent);
  }
};

// A started child: its process, the job that holds its tree, and our ends
// of its pipes with the buffer that reads into.
struct Child {
  PROCESS_INFORMATION info{};
  HANDLE job = nullptr;
  PipeIo input;
  PipeIo output;
  char buffer[4096];
};

}  // namespace lw::platform

#endif  // LINKWATCH_PLATFORM_WIN_INTERNAL_H_
