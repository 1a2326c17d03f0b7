#include "app/instance.h"

#include <cstdio>

#include "app/service.h"
#include "support/fixed_text.h"
#include "support/output.h"

namespace lw {

namespace {

// Room for a full path on every system; a cut path would name another file.
constexpr size_t kPathSize = 4096;
// Longest wait for a pid file lock held elsewhere: a check by "-status" or
// "-stop" holds it for a moment, an instance between taking the lock and
// writing its id only briefly; anything longer is a running instance.
constexpr uint32_t kLockWaitMs = 1000;
// How long "-stop" gives the instance to end in order (its current checks,
// the grace of a send in flight) before it is ended at once.
constexpr uint32_t kOrderlyStopWaitMs = 20000;
constexpr uint32_t kLockRetryMs = 20;

// The first bytes of the pid file, terminated, in `text`. Returns their
// number, or -1 when the file cannot be opened.
int read_record(char (&text)[64]) {
  std::FILE* file = std::fopen(kPidFileName, "r");
  if (!file) {
    text[0] = '\0';
    return -1;
  }
  const size_t n = std::fread(text, 1, sizeof text - 1, file);
  std::fclose(file);
  text[n] = '\0';
  return static_cast<int>(n);
}

uint32_t parse_pid(const char* text) {
  const char* p = text;
  while (is_space_byte(*p)) ++p;
  if (*p < '0' || *p > '9') return 0;
  uint64_t value = 0;
  for (; *p >= '0' && *p <= '9'; ++p) {
    value = value * 10 + static_cast<uint64_t>(*p - '0');
    if (value > 0xFFFFFFFFull) return 0;  // no process has such an id
  }
  return static_cast<uint32_t>(value);
}

// Locks the pid file, trying again for up to kLockWaitMs while it is held
// elsewhere.
platform::LockResult lock_waiting(platform::FileLock* lock) {
  const uint64_t deadline = platform::monotonic_ms() + kLockWaitMs;
  for (;;) {
    const platform::LockResult result = platform::lock_file(kPidFileName, lock);
    if (result != platform::LockResult::kHeldElsewhere || platform::monotonic_ms() >= deadline) {
      return result;
    }
    platform::sleep_ms(kLockRetryMs);
  }
}

// While we hold the lock: deletes the pid file when it records `pid` or,
// with `any_id`, any id; and when it is empty, as lock_file makes it when
// the old file has just been deleted.
void delete_locked_record(bool any_id, uint32_t pid) {
  char text[64];
  const int length = read_record(text);
  const uint32_t recorded = parse_pid(text);
  if (length == 0 || (recorded != 0 && (any_id || recorded == pid))) {
    platform::delete_file(kPidFileName);
  }
}

enum class Found {
  kNothing,     // no pid file, or no id recorded in it
  kInstance,    // another process holds the lock and the recorded id lives
  kNoInstance,  // an id is recorded, but it is no running instance
  kUnknown,     // an id is recorded; its lock cannot be tested
};

// Looks for the running instance; `*pid` receives the recorded id. A free
// lock means nobody runs: with `delete_stale` the file is then deleted while
// locked. A lock held without a live recorded id is looked at again until
// kLockWaitMs passed, as is one whose record changed meanwhile.
Found find_instance(bool delete_stale, uint32_t* pid) {
  const uint64_t deadline = platform::monotonic_ms() + kLockWaitMs;
  for (;;) {
    char text[64];
    if (read_record(text) < 0) {
      *pid = 0;
      return Found::kNothing;
    }
    const uint32_t before = parse_pid(text);
    platform::FileLock lock;
    switch (platform::lock_file(kPidFileName, &lock)) {
      case platform::LockResult::kAcquired:
        read_record(text);
        *pid = parse_pid(text);
        delete_locked_record(delete_stale, 0);
        platform::unlock_file(&lock);
        return *pid == 0 ? Found::kNothing : Found::kNoInstance;
      case platform::LockResult::kError:
        *pid = before;
        return before == 0 ? Found::kNothing : Found::kUnknown;
      case platform::LockResult::kHeldElsewhere:
        break;
    }
    read_record(text);
    *pid = parse_pid(text);
    if (*pid != 0 && *pid == before && platform::pid_is_alive(*pid)) return Found::kInstance;
    if (platform::monotonic_ms() >= deadline) {
      return *pid == 0 ? Found::kNothing : Found::kNoInstance;
    }
    platform::sleep_ms(kLockRetryMs);
  }
}

}  // namespace

uint32_t read_pid_file() {
  char text[64];
  read_record(text);
  return parse_pid(text);
}

int show_status() {
  uint32_t pid = 0;
  if (find_instance(true, &pid) == Found::kInstance) {
    plain_print("linkwatch running pid %lu\n", static_cast<unsigned long>(pid));
    return 0;
  }
  plain_print("linkwatch not running\n");
  return 1;
}

int stop_instance() {
  uint32_t pid = 0;
  const Found found = find_instance(false, &pid);
  if (found == Found::kNothing) {
    plain_print("linkwatch not running\n");
    return 1;
  }
  // Only the lock holder under its recorded id is ended, never a program
  // that was given a stale id since.
  if (found != Found::kInstance) {
    plain_print("Unable to open pid %lu\n", static_cast<unsigned long>(pid));
    return 1;
  }
  // The service manager would take a service that ended without its word
  // for a failed one and start it again: a service is stopped through it.
  if (is_service_process(pid)) return stop_service_instance();
  // In order first: the instance ends its sends, logs what is left and
  // removes its record. One that has not ended in time is ended at once.
  const bool orderly =
      platform::request_process_stop(pid) && platform::wait_process_end(pid, kOrderlyStopWaitMs);
  if (!orderly && platform::terminate_process(pid) != platform::TerminateResult::kTerminated &&
      platform::pid_is_alive(pid)) {
    plain_print("Unable to open pid %lu\n", static_cast<unsigned long>(pid));
    return 1;
  }
  // An instance ended at once left its file. It goes once its lock is free,
  // unless a new instance has taken the lock first.
  platform::FileLock lock;
  if (lock_waiting(&lock) == platform::LockResult::kAcquired) {
    delete_locked_record(false, pid);
    platform::unlock_file(&lock);
  }
  plain_print("linkwatch stopped\n");
  return 0;
}

int start_background() {
  char path[kPathSize];
  if (!platform::own_executable_path(path, sizeof path) || !platform::start_detached(path, "-s")) {
    plain_print("start failed\n");
    return 1;
  }
  plain_print("linkwatch start requested\n");
  return 0;
}

bool claim_instance(InstanceClaim* claim) {
  claim->held = false;
  switch (lock_waiting(&claim->lock)) {
    case platform::LockResult::kAcquired:
      break;
    case platform::LockResult::kHeldElsewhere:
      error_print("linkwatch already running pid %lu\n",
                  static_cast<unsigned long>(read_pid_file()));
      return false;
    case platform::LockResult::kError:
      error_print("Cannot write pid file %s\n", kPidFileName);
      return false;
  }
  FixedText<32> text;
  text.format("%lu\n", static_cast<unsigned long>(platform::current_pid()));
  if (!platform::rewrite_locked_file(&claim->lock, text.c_str(), text.size())) {
    platform::unlock_file(&claim->lock);
    error_print("Cannot write pid file %s\n", kPidFileName);
    return false;
  }
  claim->held = true;
  return true;
}

void release_instance(InstanceClaim* claim, bool delete_pid_file) {
  if (!claim->held) return;
  // Deleted while still locked, so no new instance's file can be removed.
  if (delete_pid_file) platform::delete_file(kPidFileName);
  platform::unlock_file(&claim->lock);
  claim->held = false;
}

}  // namespace lw
