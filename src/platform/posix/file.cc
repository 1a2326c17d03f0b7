// Files and the environment on POSIX: directories, deleting and replacing
// files, the lock file, appending whole, and environment variables.

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"
#include "platform/posix/internal.h"

namespace lw::platform {

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

void unlock_file(FileLock* lock) {
  if (!lock || lock->handle < 0) return;
  close(static_cast<int>(lock->handle));
  lock->handle = -1;
}

}  // namespace lw::platform
