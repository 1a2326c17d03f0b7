#include "app/instance.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "app/quiet.h"
#include "app/service.h"
#include "app/status.h"
#include "config/config_line.h"
#include "config/host_config.h"
#include "support/clock.h"
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
// How long "-start" waits for the new copy to run (its pid file naming a
// live instance) before it reports that the copy did not start.
constexpr uint32_t kStartWaitMs = 5000;
constexpr uint32_t kStartPollMs = 50;
// Lines of the log shown when the copy did not start.
constexpr size_t kStartLogLines = 5;

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

// What the host file gives a new instance: -1 no file, 0 no host, 1 hosts.
int host_file_state() {
  ConfigReader file;
  if (!file.open(kHostFileName)) return -1;
  FixedText<kConfigLineSize> piece;
  ConfigLine line;
  int found = 0;
  while (!found && file.next(piece.data(), piece.capacity()) > 0) {
    found = parse_config_line(piece.c_str(), &line) && line.key == "host";
  }
  file.close();
  return found;
}

// True when a log text holds the end of a start: a refusal or a stop.
bool start_ended(const std::string& log) {
  return log.find("linkwatch not started") != std::string::npos ||
         log.find("linkwatch is stopped") != std::string::npos;
}

// Prints why a started copy is not running: the last lines it logged.
void print_start_failure(const std::string& log) {
  std::vector<std::string> lines;
  for (size_t at = 0; at < log.size();) {
    size_t end = log.find('\n', at);
    if (end == std::string::npos) end = log.size();
    std::string line = log.substr(at, end - at);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty()) lines.push_back(line);
    at = end + 1;
  }
  if (lines.empty()) {
    plain_print("linkwatch did not start within %u s; it logged nothing\n", kStartWaitMs / 1000);
    return;
  }
  plain_print("linkwatch did not start; the last lines of %s:\n", kLogFileName);
  const size_t first = lines.size() > kStartLogLines ? lines.size() - kStartLogLines : 0;
  for (size_t i = first; i < lines.size(); ++i) plain_print("  %s\n", lines[i].c_str());
}

// Prints the status table of the running instance `pid` when the table on
// disk was written by it.
void print_status_table(uint32_t pid) {
  std::FILE* file = std::fopen(kStatusFileName, "r");
  if (!file) return;
  std::string text;
  char buf[4096];
  for (size_t n; (n = std::fread(buf, 1, sizeof buf, file)) > 0;) text.append(buf, n);
  std::fclose(file);
  char first[64];
  std::snprintf(first, sizeof first, kStatusFirstLine, static_cast<unsigned long>(pid));
  const size_t length = std::strlen(first);
  if (text.compare(0, length, first) != 0 || text.size() <= length || text[length] != '\n') {
    return;  // left by an earlier instance
  }
  plain_print("\n%s", text.c_str());
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
    print_status_table(pid);
    print_active_mutes(now_seconds());
    return 0;
  }
  plain_print("linkwatch not running\n");
  print_active_mutes(now_seconds());
  return 1;
}

bool instance_running() {
  uint32_t pid = 0;
  return find_instance(false, &pid) == Found::kInstance;
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

uint32_t running_instance_pid() {
  uint32_t pid = 0;
  return find_instance(false, &pid) == Found::kInstance ? pid : 0;
}

int start_background() {
  const int hosts = host_file_state();
  if (hosts <= 0) {
    print_and_log(
        hosts < 0 ? "linkwatch not started: %s is missing" : "linkwatch not started: no host in %s",
        kHostFileName);
    return 1;
  }
  // A record left by a run that did not stop in order stays for the copy,
  // which logs it when it claims the file.
  uint32_t pid = 0;
  if (find_instance(false, &pid) == Found::kInstance) {
    print_and_log("linkwatch not started: already running pid %lu",
                  static_cast<unsigned long>(pid));
    return 1;
  }
  const long log_start = log_file_size();
  char path[kPathSize];
  if (!platform::own_executable_path(path, sizeof path) || !platform::start_detached(path, "-s")) {
    plain_print("start failed\n");
    log_event("linkwatch not started: start failed, no process could be created");
    return 1;
  }
  // The copy claims the pid file before its start delay; a copy that ends
  // before that logs why.
  const uint64_t deadline = platform::monotonic_ms() + kStartWaitMs;
  std::string log;
  for (;;) {
    if (find_instance(false, &pid) == Found::kInstance) {
      plain_print("linkwatch is running, pid %lu\n", static_cast<unsigned long>(pid));
      return 0;
    }
    log = log_file_since(log_start);
    if (start_ended(log) || platform::monotonic_ms() >= deadline) break;
    platform::sleep_ms(kStartPollMs);
  }
  print_start_failure(log);
  return 1;
}

bool claim_instance(InstanceClaim* claim) {
  claim->held = false;
  switch (lock_waiting(&claim->lock)) {
    case platform::LockResult::kAcquired:
      break;
    case platform::LockResult::kHeldElsewhere:
      error_print("linkwatch already running pid %lu\n",
                  static_cast<unsigned long>(read_pid_file()));
      log_event("linkwatch not started: already running pid %lu",
                static_cast<unsigned long>(read_pid_file()));
      return false;
    case platform::LockResult::kError:
      error_print("Cannot write pid file %s\n", kPidFileName);
      log_event("linkwatch not started: cannot write pid file %s", kPidFileName);
      return false;
  }
  // We hold the lock, so a process recorded in the file runs no more; an
  // orderly end deletes or empties the record, any other end leaves it.
  char record[64];
  const uint32_t previous = read_record(record) > 0 ? parse_pid(record) : 0;
  if (previous != 0 && previous != platform::current_pid()) {
    log_event(
        "the previous run (pid %lu) did not stop in order; alerts waiting then may have been "
        "lost",
        static_cast<unsigned long>(previous));
  }
  FixedText<32> text;
  text.format("%lu\n", static_cast<unsigned long>(platform::current_pid()));
  if (!platform::rewrite_locked_file(&claim->lock, text.c_str(), text.size())) {
    platform::unlock_file(&claim->lock);
    error_print("Cannot write pid file %s\n", kPidFileName);
    log_event("linkwatch not started: cannot write pid file %s", kPidFileName);
    return false;
  }
  claim->held = true;
  return true;
}

void release_instance(InstanceClaim* claim, bool delete_pid_file) {
  if (!claim->held) return;
  // Deleted while still locked, so no new instance's file can be removed.
  // A record kept is emptied: the next start then knows the run ended in order.
  if (delete_pid_file) {
    platform::delete_file(kPidFileName);
  } else {
    platform::rewrite_locked_file(&claim->lock, "", 0);
  }
  platform::unlock_file(&claim->lock);
  claim->held = false;
}

}  // namespace lw
