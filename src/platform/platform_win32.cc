// Win32 and Windows Sockets implementation of the platform interface.

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif

// clang-format off
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <psapi.h>
// clang-format on

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>

#include "platform/bounded_text.h"
#include "platform/platform.h"

namespace lw::platform {

const char kSystemName[] = "Windows";
const char kExecutableSuffix[] = ".exe";
const char kNullDevice[] = "nul";
const char kTextLineEnd[] = "\r\n";
const char kPathListSeparator[] = ";";
const bool kHasPermissionBits = false;
const bool kReplaceRefusedWhileRead = true;
const bool kTlsChecksRevocation = true;
const char* const kPingOptions[4] = {"-n", "1", "-w", "2000"};
// The job object of run_process ends the child with this process.
const bool kChildEndsWithParent = true;

namespace {

// The longest command line CreateProcess accepts, terminator included.
constexpr size_t kCommandLineCap = 32768;

HANDLE to_handle(intptr_t value) { return reinterpret_cast<HANDLE>(value); }
intptr_t from_handle(HANDLE handle) { return reinterpret_cast<intptr_t>(handle); }

bool valid(HANDLE handle) { return handle != nullptr && handle != INVALID_HANDLE_VALUE; }

void close_handle(HANDLE* handle) {
  if (valid(*handle)) CloseHandle(*handle);
  *handle = nullptr;
}

// ---- Disk space seam -----------------------------------------------------------

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

// Writes all `len` bytes at the file's position; false when a write fails or
// stores less (a full disk, also the one of the seam above).
bool write_all(HANDLE file, const char* data, size_t len) {
  // Largest piece handed to one WriteFile.
  constexpr size_t kMaxWrite = 1u << 30;
  while (len > 0) {
    const size_t room = disk_room(len < kMaxWrite ? len : kMaxWrite);
    DWORD written = 0;
    if (room == 0 || !WriteFile(file, data, static_cast<DWORD>(room), &written, nullptr) ||
        written == 0) {
      return false;
    }
    data += written;
    len -= written;
    if (written < room) return false;
  }
  return true;
}

// ---- Windows Sockets start ---------------------------------------------------

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

// ---- Stop event --------------------------------------------------------------

std::atomic<HANDLE> stop_event{nullptr};

// Set while this process runs as a service: its stop comes from the
// service manager, and a user's log-off is no reason to stop.
std::atomic<bool> serving{false};

// Name of the stop event of process `pid`, through which another process
// asks it to stop in order.
void stop_event_name(uint32_t pid, char* out, size_t cap) {
  std::snprintf(out, cap, "Local\\linkwatch-stop-%lu", static_cast<unsigned long>(pid));
}

// The manual-reset event behind the stop request, created on first use
// under this process's stop event name.
HANDLE stop_handle() {
  HANDLE event = stop_event.load();
  if (event) return event;
  char name[64];
  stop_event_name(GetCurrentProcessId(), name, sizeof name);
  HANDLE created = CreateEventA(nullptr, TRUE, FALSE, name);
  if (!created) return nullptr;
  HANDLE expected = nullptr;
  if (!stop_event.compare_exchange_strong(expected, created)) {
    CloseHandle(created);
    return expected;
  }
  return created;
}

// How long the handler of a closing console holds the process: a running
// child's grace and a second to end it and finish.
constexpr DWORD kCloseHoldMs = kStopGraceMs + 1000;

BOOL WINAPI console_control_handler(DWORD type) {
  switch (type) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
      request_stop();
      return TRUE;
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
      // A service ignores these: the service manager's controls stop it,
      // and a user's log-off is no reason to.
      if (serving.load()) return TRUE;
      [[fallthrough]];
    case CTRL_CLOSE_EVENT:
      // The process ends as soon as this handler returns; give the main
      // thread a moment to finish its orderly stop first.
      request_stop();
      Sleep(kCloseHoldMs);
      return TRUE;
    default:
      return FALSE;
  }
}

// ---- Command lines -------------------------------------------------------------

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

bool is_regular_file(const char* path) {
  DWORD attributes = GetFileAttributesA(path);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

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

// Serialises "make inheritable handles, create the child, close the
// child's copies", so that no child inherits handles meant for another
// call's child even where the explicit handle list is not honoured.
std::mutex spawn_mutex;

HANDLE open_null(DWORD access) {
  SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
  return CreateFileA("NUL", access, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa, OPEN_EXISTING, 0,
                     nullptr);
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

// Storage for a process thread attribute list with one attribute.
struct AttributeList {
  alignas(16) unsigned char storage[256];
  LPPROC_THREAD_ATTRIBUTE_LIST list = nullptr;

  // Restricts inheritance to `handles` (count > 0, all distinct).
  bool init(HANDLE* handles, size_t count) {
    SIZE_T size = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    if (size == 0 || size > sizeof storage) return false;
    auto* candidate = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage);
    if (!InitializeProcThreadAttributeList(candidate, 1, 0, &size)) return false;
    if (!UpdateProcThreadAttribute(candidate, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handles,
                                   count * sizeof(HANDLE), nullptr, nullptr)) {
      DeleteProcThreadAttributeList(candidate);
      return false;
    }
    list = candidate;
    return true;
  }

  ~AttributeList() {
    if (list) DeleteProcThreadAttributeList(list);
  }
};

// Creates a process whose standard handles are the inheritable `in`, `out`
// and `err` and which inherits nothing else. Takes spawn_mutex; the caller
// closes the three handles afterwards.
bool create_with_handles(const char* application, char* command_line, DWORD flags, HANDLE in,
                         HANDLE out, HANDLE err, PROCESS_INFORMATION* info) {
  STARTUPINFOEXA startup;
  std::memset(&startup, 0, sizeof startup);
  startup.StartupInfo.cb = sizeof startup;
  startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES | STARTF_USESHOWWINDOW;
  startup.StartupInfo.wShowWindow = SW_HIDE;
  startup.StartupInfo.hStdInput = in;
  startup.StartupInfo.hStdOutput = out;
  startup.StartupInfo.hStdError = err;

  HANDLE handles[3];
  size_t count = 0;
  for (HANDLE h : {in, out, err}) {
    bool seen = false;
    for (size_t i = 0; i < count; ++i) seen = seen || handles[i] == h;
    if (!seen) handles[count++] = h;
  }
  AttributeList attributes;
  if (attributes.init(handles, count)) {
    startup.lpAttributeList = attributes.list;
    if (CreateProcessA(application, command_line, nullptr, nullptr, TRUE,
                       flags | EXTENDED_STARTUPINFO_PRESENT, nullptr, nullptr, &startup.StartupInfo,
                       info)) {
      return true;
    }
    // A system that cannot take one of the handles in the list refuses the
    // parameter; spawn_mutex alone then keeps other calls' handles out.
    if (GetLastError() != ERROR_INVALID_PARAMETER) return false;
  }
  startup.StartupInfo.cb = sizeof startup.StartupInfo;
  startup.lpAttributeList = nullptr;
  return CreateProcessA(application, command_line, nullptr, nullptr, TRUE, flags, nullptr, nullptr,
                        &startup.StartupInfo, info) != 0;
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

ConnectStatus tcp_connect_ms(const char* address, uint16_t port, uint32_t timeout_ms, int* error) {
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
  closesocket(s);
  WSACloseEvent(ready);
  return status;
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

bool accept_and_close(Listener* listener, uint32_t ms) {
  if (!listener || listener->handle == -1) return false;
  SOCKET s = static_cast<SOCKET>(listener->handle);
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(s, &readable);
  timeval wait;
  wait.tv_sec = static_cast<long>(ms / 1000);
  wait.tv_usec = static_cast<long>((ms % 1000) * 1000);
  if (select(0, &readable, nullptr, nullptr, &wait) <= 0) return false;
  SOCKET peer = accept(s, nullptr, nullptr);
  if (peer == INVALID_SOCKET) return false;
  closesocket(peer);
  return true;
}

void close_listener(Listener* listener) {
  if (!listener || listener->handle == -1) return;
  closesocket(static_cast<SOCKET>(listener->handle));
  listener->handle = -1;
  listener->port = 0;
}

// ---- Time ------------------------------------------------------------------------

uint64_t monotonic_ms() { return GetTickCount64(); }

bool local_time(int64_t seconds, std::tm* out) {
  if (!out) return false;
  time_t t = static_cast<time_t>(seconds);
  return localtime_s(out, &t) == 0;
}

void sleep_ms(uint32_t ms) { Sleep(ms); }

// ---- Orderly stop ----------------------------------------------------------------

void install_stop_handler() {
  stop_handle();
  SetConsoleCtrlHandler(console_control_handler, TRUE);
}

void request_stop() {
  if (HANDLE event = stop_handle()) SetEvent(event);
}

bool stop_requested() {
  HANDLE event = stop_handle();
  return event && WaitForSingleObject(event, 0) == WAIT_OBJECT_0;
}

bool wait_for_stop(uint32_t ms) {
  HANDLE event = stop_handle();
  if (!event) {
    Sleep(ms);
    return false;
  }
  DWORD limit = ms == INFINITE ? INFINITE - 1 : ms;
  return WaitForSingleObject(event, limit) == WAIT_OBJECT_0;
}

void clear_stop_request() {
  if (HANDLE event = stop_handle()) ResetEvent(event);
}

// Windows has no hang-up signal.
bool take_reload_request() { return false; }

// ---- Processes -------------------------------------------------------------------

uint32_t current_pid() { return GetCurrentProcessId(); }

bool own_executable_path(char* out, size_t cap) {
  if (!out || cap == 0) return false;
  char path[kCommandLineCap];
  DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
  if (n == 0 || n >= sizeof path) {
    out[0] = '\0';
    return false;
  }
  path[n] = '\0';
  copy_bounded(out, cap, path);
  return true;
}

bool request_process_stop(uint32_t pid) {
  char name[64];
  stop_event_name(pid, name, sizeof name);
  HANDLE event = OpenEventA(EVENT_MODIFY_STATE, FALSE, name);
  if (!event) return false;
  const bool set = SetEvent(event) != 0;
  CloseHandle(event);
  return set;
}

bool request_process_reload(uint32_t) { return false; }

bool wait_process_end(uint32_t pid, uint32_t ms) {
  HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, pid);
  if (!process) return !pid_is_alive(pid);
  const bool ended =
      WaitForSingleObject(process, ms < INFINITE ? ms : INFINITE - 1) == WAIT_OBJECT_0;
  CloseHandle(process);
  return ended;
}

bool pid_is_alive(uint32_t pid) {
  if (pid == 0) return false;
  // With SYNCHRONIZE the process's own state answers; a process that ended
  // with exit code 259 (STILL_ACTIVE) has then ended all the same.
  HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, pid);
  if (process) {
    bool running = WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
    CloseHandle(process);
    return running;
  }
  process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
  if (!process) return false;
  DWORD code = 0;
  bool running = GetExitCodeProcess(process, &code) && code == STILL_ACTIVE;
  CloseHandle(process);
  return running;
}

TerminateResult terminate_process(uint32_t pid) {
  if (pid == 0) return TerminateResult::kCannotOpen;
  HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, pid);
  bool can_wait = process != nullptr;
  if (!process) process = OpenProcess(PROCESS_TERMINATE, FALSE, pid);
  if (!process) return TerminateResult::kCannotOpen;
  // A process that has ended already (its object kept by some handle) is
  // no process to end.
  if (can_wait && WaitForSingleObject(process, 0) == WAIT_OBJECT_0) {
    CloseHandle(process);
    return TerminateResult::kCannotOpen;
  }
  bool ended = TerminateProcess(process, 0) != 0;
  if (can_wait) {
    // One that ended meanwhile refuses the call but is gone all the same.
    ended = WaitForSingleObject(process, 2000) == WAIT_OBJECT_0 || ended;
  }
  CloseHandle(process);
  return ended ? TerminateResult::kTerminated : TerminateResult::kCannotOpen;
}

bool start_detached(const char* exe, const char* arg) {
  if (!exe || exe[0] == '\0') return false;
  char buf[kCommandLineCap];
  CommandLine line(buf, sizeof buf);
  line.put_program(exe);
  if (arg) line.put_argument(arg);
  if (!line.ok()) return false;

  PROCESS_INFORMATION info;
  std::memset(&info, 0, sizeof info);
  bool started = false;
  {
    std::lock_guard<std::mutex> hold(spawn_mutex);
    HANDLE null_in = open_null(GENERIC_READ);
    HANDLE null_out = open_null(GENERIC_WRITE);
    if (valid(null_in) && valid(null_out)) {
      // Leave the caller's job when it allows so: a background instance
      // outlives the command that started it.
      DWORD flags = DETACHED_PROCESS | CREATE_NO_WINDOW | CREATE_NEW_PROCESS_GROUP;
      started =
          create_with_handles(nullptr, line.data(), flags | CREATE_BREAKAWAY_FROM_JOB, null_in,
                              null_out, null_out, &info) ||
          create_with_handles(nullptr, line.data(), flags, null_in, null_out, null_out, &info);
    }
    close_handle(&null_in);
    close_handle(&null_out);
  }
  if (!started) return false;
  CloseHandle(info.hThread);
  CloseHandle(info.hProcess);
  return true;
}

bool computer_name(char* out, size_t cap) {
  char name[MAX_COMPUTERNAME_LENGTH + 1];
  DWORD size = sizeof name;
  if (!GetComputerNameA(name, &size) || size == 0) {
    copy_bounded(out, cap, "");
    return false;
  }
  name[size < sizeof name ? size : sizeof name - 1] = '\0';
  copy_bounded(out, cap, name);
  return name[0] != '\0';
}

// ---- Files and environment -------------------------------------------------------

// Extensions of PATHEXT when it is not set.
constexpr char kDefaultPathExt[] = ".COM;.EXE;.BAT;.CMD";

bool same_extension(const char* ext, size_t len, const char* known) {
  return len == std::strlen(known) && _strnicmp(ext, known, len) == 0;
}

// Tries `name` with each extension of `extensions` in the folder of
// `dir_len` bytes at `dir` (quotes around it are dropped); true when a
// program that starts without the command interpreter was found.
bool program_in_folder(const char* dir, size_t dir_len, const char* name, const char* extensions,
                       ProgramLookup* out) {
  if (dir_len >= 2 && dir[0] == '"' && dir[dir_len - 1] == '"') {
    ++dir;
    dir_len -= 2;
  }
  if (dir_len == 0) return false;
  const char* separator = (dir[dir_len - 1] == '\\' || dir[dir_len - 1] == '/') ? "" : "\\";
  char candidate[kProgramPathSize];
  for (const char *ext = extensions, *next; *ext; ext = next) {
    const char* end = std::strchr(ext, ';');
    const size_t len = end ? static_cast<size_t>(end - ext) : std::strlen(ext);
    next = end ? end + 1 : ext + len;
    const bool program = same_extension(ext, len, ".exe") || same_extension(ext, len, ".com");
    const bool script = same_extension(ext, len, ".cmd") || same_extension(ext, len, ".bat");
    const int n =
        std::snprintf(candidate, sizeof candidate, "%.*s%s%s%.*s", static_cast<int>(dir_len), dir,
                      separator, name, static_cast<int>(len), ext);
    if (!(program || script) || n <= 0 || static_cast<size_t>(n) >= sizeof candidate) continue;
    for (char* p = candidate + n - len; *p; ++p) {  // "curl.exe", as users write it
      if (*p >= 'A' && *p <= 'Z') *p = static_cast<char>(*p - 'A' + 'a');
    }
    if (!is_regular_file(candidate)) continue;
    if (program) {
      copy_bounded(out->path, sizeof out->path, candidate);
      return true;
    }
    if (out->skipped[0] == '\0') copy_bounded(out->skipped, sizeof out->skipped, candidate);
  }
  return false;
}

bool find_program(const char* name, ProgramLookup* out) {
  *out = ProgramLookup{};
  char extensions[512];
  DWORD n = GetEnvironmentVariableA("PATHEXT", extensions, sizeof extensions);
  if (n == 0 || n >= sizeof extensions)
    copy_bounded(extensions, sizeof extensions, kDefaultPathExt);
  char folder[kCommandLineCap];
  if (own_executable_path(folder, sizeof folder)) {
    const char* slash = std::strrchr(folder, '\\');
    if (slash &&
        program_in_folder(folder, static_cast<size_t>(slash - folder), name, extensions, out)) {
      return true;
    }
  }
  if (current_directory(folder, sizeof folder) &&
      program_in_folder(folder, std::strlen(folder), name, extensions, out)) {
    return true;
  }
  n = GetEnvironmentVariableA("PATH", folder, sizeof folder);
  if (n == 0 || n >= sizeof folder) return false;
  for (const char* dir = folder; *dir;) {
    const char* end = std::strchr(dir, ';');
    const size_t dir_len = end ? static_cast<size_t>(end - dir) : std::strlen(dir);
    if (program_in_folder(dir, dir_len, name, extensions, out)) return true;
    dir += dir_len + (end ? 1 : 0);
  }
  return false;
}

bool current_directory(char* out, size_t cap) {
  if (!out || cap == 0) return false;
  char path[kCommandLineCap];
  const DWORD n = GetCurrentDirectoryA(sizeof path, path);
  if (n == 0 || n >= sizeof path || n >= cap) {
    out[0] = '\0';
    return false;
  }
  copy_bounded(out, cap, path);
  return true;
}

bool change_directory(const char* path) {
  return path && path[0] != '\0' && SetCurrentDirectoryA(path) != 0;
}

bool delete_file(const char* path) { return path && DeleteFileA(path) != 0; }

bool replace_file(const char* from, const char* to) {
  return from && to &&
         MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

bool set_env(const char* name, const char* value) {
  if (!name || name[0] == '\0' || std::strchr(name, '=')) return false;
  // The runtime's copy first: it also updates the process environment, and
  // removes a variable given an empty value, which the second call undoes.
  bool ok = _putenv_s(name, value ? value : "") == 0;
  return SetEnvironmentVariableA(name, value) != 0 && ok;
}

namespace {

// The locked byte range lies far beyond any real end of file, so readers
// of the file's text are never blocked by it.
constexpr DWORD kLockOffsetHigh = 0x40000000;

void set_lock_range(OVERLAPPED* overlapped) {
  std::memset(overlapped, 0, sizeof *overlapped);
  overlapped->OffsetHigh = kLockOffsetHigh;
}

}  // namespace

LockResult lock_file(const char* path, FileLock* lock) {
  if (!lock) return LockResult::kError;
  lock->handle = -1;
  if (!path || path[0] == '\0') return LockResult::kError;
  // The holder deletes the file before it unlocks, so a lock won on a file
  // that is being deleted is worthless: open the path again.
  for (int attempt = 0; attempt < 100; ++attempt) {
    HANDLE file = CreateFileA(path, GENERIC_READ | GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (!valid(file)) {
      // A name still pending deletion cannot be opened for a moment.
      if (GetLastError() == ERROR_ACCESS_DENIED && attempt + 1 < 100) {
        Sleep(10);
        continue;
      }
      return LockResult::kError;
    }
    OVERLAPPED range;
    set_lock_range(&range);
    if (!LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &range)) {
      DWORD code = GetLastError();
      CloseHandle(file);
      return code == ERROR_LOCK_VIOLATION || code == ERROR_IO_PENDING ? LockResult::kHeldElsewhere
                                                                      : LockResult::kError;
    }
    FILE_STANDARD_INFO info;
    if (GetFileInformationByHandleEx(file, FileStandardInfo, &info, sizeof info) &&
        (info.DeletePending || info.NumberOfLinks == 0)) {
      CloseHandle(file);  // closing releases the lock
      continue;
    }
    lock->handle = from_handle(file);
    return LockResult::kAcquired;
  }
  return LockResult::kError;
}

bool rewrite_locked_file(FileLock* lock, const char* text, size_t len) {
  if (!lock || lock->handle == -1 || (!text && len > 0)) return false;
  HANDLE file = to_handle(lock->handle);
  LARGE_INTEGER zero;
  zero.QuadPart = 0;
  if (!SetFilePointerEx(file, zero, nullptr, FILE_BEGIN) || !SetEndOfFile(file)) return false;
  char buf[1024];
  size_t used = 0;
  for (size_t i = 0; i <= len; ++i) {
    bool last = i == len;
    if (!last) {
      if (text[i] == '\n') buf[used++] = '\r';
      buf[used++] = text[i];
    }
    if (last || used + 2 > sizeof buf) {
      if (used > 0 && !write_all(file, buf, used)) return false;
      used = 0;
    }
  }
  return true;
}

bool append_whole(const char* path, const char* data, size_t len) {
  if (!path || path[0] == '\0' || (!data && len > 0)) return false;
  // Shared like a file opened by the C library, and deletable: the log may
  // be moved or deleted at any time.
  HANDLE file =
      CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (!valid(file)) return false;
  LARGE_INTEGER zero;
  zero.QuadPart = 0;
  LARGE_INTEGER start;
  bool ok = SetFilePointerEx(file, zero, &start, FILE_END) != 0;
  if (ok && !write_all(file, data, len)) {
    ok = false;
    // Cut back to where this append began; that frees what it stored.
    LARGE_INTEGER reached;
    const bool known = SetFilePointerEx(file, zero, &reached, FILE_CURRENT) != 0;
    if (SetFilePointerEx(file, start, nullptr, FILE_BEGIN) && SetEndOfFile(file) && known &&
        reached.QuadPart > start.QuadPart) {
      disk_release(static_cast<size_t>(reached.QuadPart - start.QuadPart));
    }
  }
  return CloseHandle(file) != 0 && ok;
}

void set_disk_space_for_testing(int64_t bytes) { disk_space.store(bytes < 0 ? -1 : bytes); }

void unlock_file(FileLock* lock) {
  if (!lock || lock->handle == -1) return;
  HANDLE file = to_handle(lock->handle);
  OVERLAPPED range;
  set_lock_range(&range);
  UnlockFileEx(file, 0, 1, 0, &range);
  CloseHandle(file);
  lock->handle = -1;
}

// ---- Child processes -------------------------------------------------------------

namespace {

// A started child: its process, the job that holds its tree, and our ends
// of its pipes with the buffer that reads into.
struct Child {
  PROCESS_INFORMATION info{};
  HANDLE job = nullptr;
  PipeIo input;
  PipeIo output;
  char buffer[4096];
};

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
  PROCESS_MEMORY_COUNTERS counters;
  counters.cb = sizeof counters;
  if (!K32GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters)) return 0;
  return counters.PeakWorkingSetSize;
}

uint64_t process_cpu_ms() {
  FILETIME created, exited, kernel, user;
  if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user)) return 0;
  auto ticks = [](const FILETIME& t) {
    return (static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
  };
  return (ticks(kernel) + ticks(user)) / 10000u;  // 100 ns units
}

// ---- System service --------------------------------------------------------------

namespace {

char kServiceName[] = "linkwatch";
constexpr char kServiceDisplayName[] = "linkwatch TCP service monitor";
char kServiceDescription[] = "Checks TCP services and sends alerts by e-mail, Telegram and Teams.";
// After a failure the service manager starts the service again after this
// long; the count of failures is forgotten after a day without one.
constexpr DWORD kRestartDelayMs = 60000;
constexpr DWORD kFailureResetSeconds = 24 * 3600;
// How often a stop wait asks for the service's state.
constexpr DWORD kServicePollMs = 100;

ServiceResult failed(uint32_t* error) {
  const DWORD code = GetLastError();
  if (error) *error = code;
  switch (code) {
    case ERROR_ACCESS_DENIED:
      return ServiceResult::kNoRights;
    case ERROR_SERVICE_DOES_NOT_EXIST:
      return ServiceResult::kNotInstalled;
    case ERROR_SERVICE_EXISTS:
    case ERROR_DUPLICATE_SERVICE_NAME:
      return ServiceResult::kExists;
    default:
      return ServiceResult::kFailed;
  }
}

// A service manager handle closed at the end of its scope.
class ScHandle {
 public:
  explicit ScHandle(SC_HANDLE handle = nullptr) : handle_(handle) {}
  ~ScHandle() {
    if (handle_) CloseServiceHandle(handle_);
  }
  ScHandle(const ScHandle&) = delete;
  ScHandle& operator=(const ScHandle&) = delete;
  SC_HANDLE get() const { return handle_; }
  void reset(SC_HANDLE handle) {
    if (handle_) CloseServiceHandle(handle_);
    handle_ = handle;
  }
  explicit operator bool() const { return handle_ != nullptr; }

 private:
  SC_HANDLE handle_;
};

// The state and process of `service`; false when it cannot be asked.
bool query_service(SC_HANDLE service, SERVICE_STATUS_PROCESS* status) {
  DWORD needed = 0;
  return QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(status),
                              sizeof *status, &needed) != 0;
}

// Asks `service` to stop and waits up to kServiceStopWaitMs until it has.
ServiceResult stop_and_wait(SC_HANDLE service, uint32_t* error) {
  SERVICE_STATUS status;
  if (!ControlService(service, SERVICE_CONTROL_STOP, &status)) {
    const DWORD code = GetLastError();
    if (code == ERROR_SERVICE_NOT_ACTIVE) return ServiceResult::kNotRunning;
    // One that is already stopping is waited for like one just asked.
    if (code != ERROR_SERVICE_CANNOT_ACCEPT_CTRL) return failed(error);
  }
  const uint64_t deadline = monotonic_ms() + kServiceStopWaitMs;
  for (;;) {
    SERVICE_STATUS_PROCESS state;
    if (!query_service(service, &state)) return failed(error);
    if (state.dwCurrentState == SERVICE_STOPPED) return ServiceResult::kDone;
    if (monotonic_ms() >= deadline) return ServiceResult::kTimedOut;
    Sleep(kServicePollMs);
  }
}

// Opens the service with `access`; `*result` tells why when it cannot.
SC_HANDLE open_service(DWORD access, ScHandle* manager, ServiceResult* result, uint32_t* error) {
  if (error) *error = 0;
  manager->reset(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (!*manager) {
    *result = failed(error);
    return nullptr;
  }
  SC_HANDLE service = OpenServiceA(manager->get(), kServiceName, access);
  if (!service) *result = failed(error);
  return service;
}

// Whether a refused ChangeServiceConfig2 means that the service manager
// does not know that setting, rather than that the call went wrong.
bool unknown_setting() {
  const DWORD code = GetLastError();
  return code == ERROR_INVALID_PARAMETER || code == ERROR_INVALID_LEVEL ||
         code == ERROR_CALL_NOT_IMPLEMENTED;
}

// The service's settings beyond CreateService's: its description, the
// restart after a failure and, where the service manager knows them, the
// delayed automatic start and the restart also after an exit with an
// error code; those it does not know are added to `*missing`.
bool configure_service(SC_HANDLE service, uint32_t* missing) {
  SERVICE_DESCRIPTIONA description = {kServiceDescription};
  SC_ACTION restart = {SC_ACTION_RESTART, kRestartDelayMs};
  SERVICE_FAILURE_ACTIONSA actions;
  std::memset(&actions, 0, sizeof actions);
  actions.dwResetPeriod = kFailureResetSeconds;
  actions.cActions = 1;
  actions.lpsaActions = &restart;
  if (!ChangeServiceConfig2A(service, SERVICE_CONFIG_DESCRIPTION, &description) ||
      !ChangeServiceConfig2A(service, SERVICE_CONFIG_FAILURE_ACTIONS, &actions)) {
    return false;
  }
  SERVICE_DELAYED_AUTO_START_INFO delayed = {TRUE};
  if (!ChangeServiceConfig2A(service, SERVICE_CONFIG_DELAYED_AUTO_START_INFO, &delayed)) {
    if (!unknown_setting()) return false;
    *missing |= kServiceDelayedStart;
  }
  SERVICE_FAILURE_ACTIONS_FLAG on_exit_code = {TRUE};
  if (!ChangeServiceConfig2A(service, SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, &on_exit_code)) {
    if (!unknown_setting()) return false;
    *missing |= kServiceRestartOnExitCode;
  }
  return true;
}

// ---- The service's own side ----

ServiceBody service_body = nullptr;
void* service_context = nullptr;
SERVICE_STATUS_HANDLE status_handle = nullptr;
std::mutex status_mutex;
SERVICE_STATUS service_status;

// Reports `state` to the service manager. A pending state counts its
// reports, as the manager expects; `exit_code` matters for the stopped one.
void report_state(DWORD state, int exit_code = 0) {
  std::lock_guard<std::mutex> hold(status_mutex);
  // Once stopping, a late report of running would undo the stop.
  if (state == SERVICE_RUNNING && service_status.dwCurrentState == SERVICE_STOP_PENDING) return;
  service_status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  service_status.dwCurrentState = state;
  service_status.dwControlsAccepted =
      state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN : 0;
  service_status.dwWin32ExitCode = exit_code != 0 ? ERROR_SERVICE_SPECIFIC_ERROR : NO_ERROR;
  service_status.dwServiceSpecificExitCode = static_cast<DWORD>(exit_code);
  const bool pending = state == SERVICE_STOP_PENDING || state == SERVICE_START_PENDING;
  service_status.dwCheckPoint = pending ? service_status.dwCheckPoint + 1 : 0;
  service_status.dwWaitHint = pending ? kServiceStopWaitMs : 0;
  SetServiceStatus(status_handle, &service_status);
}

DWORD WINAPI service_control(DWORD control, DWORD, void*, void*) {
  switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
      report_state(SERVICE_STOP_PENDING);
      request_stop();
      return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE:
      return NO_ERROR;
    default:
      return ERROR_CALL_NOT_IMPLEMENTED;
  }
}

void WINAPI service_main(DWORD, LPSTR*) {
  status_handle = RegisterServiceCtrlHandlerExA(kServiceName, service_control, nullptr);
  if (!status_handle) return;
  report_state(SERVICE_RUNNING);
  const int code = service_body(service_context);
  report_state(SERVICE_STOPPED, code);
}

}  // namespace

ServiceResult install_service(const char* folder, const char* account, const char* password,
                              uint32_t* missing, uint32_t* error) {
  if (error) *error = 0;
  uint32_t not_taken = 0;
  char exe[kCommandLineCap];
  char buf[kCommandLineCap];
  CommandLine line(buf, sizeof buf);
  if (!folder || folder[0] == '\0' || !own_executable_path(exe, sizeof exe)) {
    return ServiceResult::kFailed;
  }
  line.put_program(exe);
  line.put_argument("-service");
  line.put_argument(folder);
  if (!line.ok()) return ServiceResult::kFailed;

  // A bare account name is a local account; LocalSystem is the default.
  char user[512] = "";
  if (account && account[0] != '\0' && _stricmp(account, "LocalSystem") != 0) {
    const bool qualified = std::strpbrk(account, "\\@") != nullptr;
    std::snprintf(user, sizeof user, "%s%s", qualified ? "" : ".\\", account);
  }
  ScHandle manager(
      OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT | SC_MANAGER_CREATE_SERVICE));
  if (!manager) return failed(error);
  ScHandle service(CreateServiceA(
      manager.get(), kServiceName, kServiceDisplayName, SERVICE_ALL_ACCESS,
      SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL, line.c_str(), nullptr,
      nullptr, nullptr, user[0] ? user : nullptr, user[0] && password ? password : nullptr));
  if (!service) return failed(error);
  if (!configure_service(service.get(), &not_taken)) {
    // Half a registration would start without its restart rule: none at all.
    const ServiceResult result = failed(error);
    DeleteService(service.get());
    return result;
  }
  if (missing) *missing = not_taken;
  return ServiceResult::kDone;
}

ServiceResult uninstall_service(uint32_t* error) {
  ScHandle manager;
  ServiceResult result = ServiceResult::kFailed;
  ScHandle service(
      open_service(SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE, &manager, &result, error));
  if (!service) return result;
  result = stop_and_wait(service.get(), error);
  if (result != ServiceResult::kDone && result != ServiceResult::kNotRunning) return result;
  if (!DeleteService(service.get()) && GetLastError() != ERROR_SERVICE_MARKED_FOR_DELETE) {
    return failed(error);
  }
  return ServiceResult::kDone;
}

ServiceResult stop_service(uint32_t* error) {
  ScHandle manager;
  ServiceResult result = ServiceResult::kFailed;
  ScHandle service(open_service(SERVICE_STOP | SERVICE_QUERY_STATUS, &manager, &result, error));
  if (!service) return result;
  return stop_and_wait(service.get(), error);
}

uint32_t service_pid() {
  ScHandle manager;
  ServiceResult result = ServiceResult::kFailed;
  ScHandle service(open_service(SERVICE_QUERY_STATUS, &manager, &result, nullptr));
  SERVICE_STATUS_PROCESS state;
  if (!service || !query_service(service.get(), &state)) return 0;
  return state.dwCurrentState == SERVICE_STOPPED ? 0 : state.dwProcessId;
}

bool serve_as_service(ServiceBody body, void* context) {
  if (!body) return false;
  service_body = body;
  service_context = context;
  serving.store(true);
  SERVICE_TABLE_ENTRYA table[] = {{kServiceName, service_main}, {nullptr, nullptr}};
  // Runs service_main on a thread of its own and returns once it ended;
  // fails at once in a process the service manager did not start.
  if (!StartServiceCtrlDispatcherA(table)) {
    serving.store(false);
    return false;
  }
  return true;
}

bool manual_service_setup(const char*, const char*, const char*, char* out, size_t cap) {
  copy_bounded(out, cap, "");
  return false;
}

bool manual_service_removal(char* out, size_t cap) {
  copy_bounded(out, cap, "");
  return false;
}

}  // namespace lw::platform
