// The POSIX system's name and conventions, time, and resource use.

#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "platform/bounded_text.h"
#include "platform/platform.h"
#include "platform/posix/internal.h"

namespace lw::platform {

const char kSystemName[] = "Linux";
const char kExecutableSuffix[] = "";
const char kNullDevice[] = "/dev/null";
const char kTextLineEnd[] = "\n";
const char kPathListSeparator[] = ":";
const bool kHasPermissionBits = true;
const bool kReplaceRefusedWhileRead = false;
const bool kTlsChecksRevocation = false;
const char* const kPingOptions[4] = {"-c", "1", "-W", "2"};

// ---- Time ------------------------------------------------------------------

uint64_t monotonic_ms() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

bool local_time(int64_t seconds, std::tm* out) {
  if (!out) return false;
  time_t t = static_cast<time_t>(seconds);
  return localtime_r(&t, out) != nullptr;
}

void sleep_ms(uint32_t ms) {
  struct timespec left;
  left.tv_sec = static_cast<time_t>(ms / 1000);
  left.tv_nsec = static_cast<long>(ms % 1000) * 1000000L;
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

int poll_ms_until(uint64_t deadline) {
  uint64_t now = monotonic_ms();
  if (now >= deadline) return 0;
  uint64_t left = deadline - now;
  return static_cast<int>(left > kMaxPollMs ? kMaxPollMs : left);
}

// ---- This computer -------------------------------------------------------

bool computer_name(char* out, size_t cap) {
  if (out && cap > 0) out[0] = '\0';
  if (!out || cap == 0) return false;
  char name[256];
  if (gethostname(name, sizeof name) != 0) return false;
  name[sizeof name - 1] = '\0';
  if (name[0] == '\0') return false;
  copy_bounded(out, cap, name);
  return true;
}

// ---- Resource use --------------------------------------------------------

size_t peak_resident_bytes() {
  // The "VmHWM:" line of /proc/self/status, in kB.
  int fd = ::open("/proc/self/status", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  char text[4096];
  ssize_t n = ::read(fd, text, sizeof text - 1);
  ::close(fd);
  if (n <= 0) return 0;
  text[n] = '\0';
  const char* line = std::strstr(text, "VmHWM:");
  if (!line) return 0;
  return static_cast<size_t>(std::strtoull(line + 6, nullptr, 10)) * 1024u;
}

uint64_t process_cpu_ms() {
  struct timespec ts;
  if (clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts) != 0) return 0;
  return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

}  // namespace lw::platform
