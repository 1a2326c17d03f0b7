#include "app/instance.h"

#include <cctype>
#include <cstdio>
#include <cstring>

#include "support/fixed_text.h"
#include "support/output.h"

namespace lw {

namespace {

// Room for a full path on every system; a cut path would name another file.
constexpr size_t kPathSize = 4096;

const char* file_name_part(const char* path) {
  const char* name = path;
  for (const char* p = path; *p; ++p) {
    if (*p == '/' || *p == '\\') name = p + 1;
  }
  return name;
}

bool same_ignoring_case(const char* a, const char* b) {
  for (; *a && *b; ++a, ++b) {
    if (std::tolower(static_cast<unsigned char>(*a)) !=
        std::tolower(static_cast<unsigned char>(*b))) {
      return false;
    }
  }
  return *a == *b;
}

}  // namespace

uint32_t read_pid_file() {
  std::FILE* file = std::fopen(kPidFileName, "r");
  if (!file) return 0;
  char text[64];
  const size_t n = std::fread(text, 1, sizeof text - 1, file);
  std::fclose(file);
  text[n] = '\0';

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

bool is_own_instance(uint32_t pid) {
  if (pid == 0 || !platform::pid_is_alive(pid)) return false;
  char own_path[kPathSize];
  char other_name[kPathSize];
  if (!platform::own_executable_path(own_path, sizeof own_path)) return false;
  if (!platform::process_executable_name(pid, other_name, sizeof other_name)) return false;
  return same_ignoring_case(file_name_part(own_path), other_name);
}

int show_status() {
  const uint32_t pid = read_pid_file();
  if (pid != 0 && is_own_instance(pid)) {
    plain_print("linkwatch running pid %lu\n", static_cast<unsigned long>(pid));
    return 0;
  }
  // Ended, or the id now belongs to another program: the record is stale.
  if (pid != 0) platform::delete_file(kPidFileName);
  plain_print("linkwatch not running\n");
  return 1;
}

int stop_instance() {
  const uint32_t pid = read_pid_file();
  if (pid == 0) {
    plain_print("linkwatch not running\n");
    return 1;
  }
  // Never end a process that is not ours, even when the recorded id has
  // been given to another program since.
  if (!is_own_instance(pid) ||
      platform::terminate_process(pid) != platform::TerminateResult::kTerminated) {
    plain_print("Unable to open pid %lu\n", static_cast<unsigned long>(pid));
    return 1;
  }
  platform::delete_file(kPidFileName);
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
  switch (platform::lock_file(kPidFileName, &claim->lock)) {
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
