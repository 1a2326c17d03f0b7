// Processes on Windows: ids, ending and waiting for them, command lines,
// creating a process that inherits only its standard handles, the detached
// start, and finding the programs to run.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "platform/bounded_text.h"
#include "platform/platform.h"
#include "platform/win/internal.h"

namespace lw::platform {

bool is_regular_file(const char* path) {
  DWORD attributes = GetFileAttributesA(path);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

std::mutex spawn_mutex;

HANDLE open_null(DWORD access) {
  SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
  return CreateFileA("NUL", access, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa, OPEN_EXISTING, 0,
                     nullptr);
}

namespace {

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

}  // namespace

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

namespace {

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

}  // namespace

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

}  // namespace lw::platform
