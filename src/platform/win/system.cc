// The Windows system's name and conventions, time, and resource use.

// clang-format off
#include "platform/win/internal.h"  // first: it includes the Windows headers in order
// clang-format on

#include <psapi.h>

#include <cstdint>
#include <ctime>

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

// ---- Time ------------------------------------------------------------------------

uint64_t monotonic_ms() { return GetTickCount64(); }

bool local_time(int64_t seconds, std::tm* out) {
  if (!out) return false;
  time_t t = static_cast<time_t>(seconds);
  return localtime_s(out, &t) == 0;
}

void sleep_ms(uint32_t ms) { Sleep(ms); }

// ---- This computer -------------------------------------------------------

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

}  // namespace lw::platform
