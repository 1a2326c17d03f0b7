// Files and the environment on Windows: directories, deleting and replacing
// files, the lock file, appending whole, and environment variables.

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "platform/bounded_text.h"
#include "platform/platform.h"
#include "platform/win/internal.h"

namespace lw::platform {

namespace {

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

}  // namespace

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

void unlock_file(FileLock* lock) {
  if (!lock || lock->handle == -1) return;
  HANDLE file = to_handle(lock->handle);
  OVERLAPPED range;
  set_lock_range(&range);
  UnlockFileEx(file, 0, 1, 0, &range);
  CloseHandle(file);
  lock->handle = -1;
}

}  // namespace lw::platform
