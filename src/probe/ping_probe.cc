#include "probe/ping_probe.h"

#include <cctype>
#include <cstring>

#include "platform/platform.h"
#include "probe/resolve.h"
#include "support/runner.h"

namespace lw {

namespace {

char lower(char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); }

bool starts_with_ci(const char* text, const char* end, const char* word) {
  for (; *word; ++text, ++word) {
    if (text >= end || lower(*text) != lower(*word)) return false;
  }
  return true;
}

bool contains_ci(const char* begin, const char* end, const char* word) {
  for (const char* p = begin; p < end; ++p) {
    if (starts_with_ci(p, end, word)) return true;
  }
  return false;
}

bool is_address_byte(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '.'; }

// `target` stands in the line as a whole address: not part of a longer one.
bool names_target(const char* begin, const char* end, const char* target) {
  const size_t n = std::strlen(target);
  for (const char* p = begin; p + n <= end; ++p) {
    if (!starts_with_ci(p, end, target)) continue;
    const char* after = p + n;
    const bool clean_before = p == begin || (!is_address_byte(p[-1]) && p[-1] != ':');
    const bool clean_after =
        after == end ||
        (!is_address_byte(*after) && (*after != ':' || after + 1 == end ||
                                      !std::isxdigit(static_cast<unsigned char>(after[1]))));
    if (clean_before && clean_after) return true;
  }
  return false;
}

// A round-trip time such as "time<1ms", "Zeit=12ms" or "time=0.05 ms".
bool has_time_figure(const char* begin, const char* end) {
  for (const char* p = begin; p < end; ++p) {
    if (*p != '=' && *p != '<') continue;
    const char* q = p + 1;
    const char* digits = q;
    while (q < end && std::isdigit(static_cast<unsigned char>(*q))) ++q;
    if (q == digits) continue;
    if (q < end && (*q == '.' || *q == ',')) {
      ++q;
      while (q < end && std::isdigit(static_cast<unsigned char>(*q))) ++q;
    }
    if (q < end && *q == ' ') ++q;
    if (starts_with_ci(q, end, "ms")) return true;
  }
  return false;
}

}  // namespace

bool ping_answered(int exit_code, const char* output, const char* target) {
  if (exit_code != 0 || !output || !target || target[0] == '\0') return false;
  const HostForm form = classify_host(target, nullptr);
  const bool address = form == HostForm::kIPv4 || form == HostForm::kIPv6;
  for (const char* line = output; *line;) {
    const char* end = line + std::strcspn(line, "\r\n");
    const bool timed = form == HostForm::kIPv6 ? has_time_figure(line, end)
                                               : contains_ci(line, end, "ttl=") ||
                                                     (!address && has_time_figure(line, end));
    if (timed && !contains_ci(line, end, "unreachable") &&
        (!address || names_target(line, end, target))) {
      return true;
    }
    line = *end ? end + 1 : end;
  }
  return false;
}

int probe_ping(const char* target, int32_t* answered) {
  if (answered) *answered = 0;
  // Nothing to ping; a leading "-" would reach ping as an option, not a host.
  if (!target || target[0] == '\0' || target[0] == '-') return 0;

  const HostForm form = classify_host(target, nullptr);
  const char* argv[8];
  int n = 0;
  argv[n++] = "ping";
  if (form == HostForm::kIPv4) argv[n++] = "-4";
  if (form == HostForm::kIPv6) argv[n++] = "-6";
  for (const char* option : platform::kPingOptions) argv[n++] = option;
  argv[n++] = target;
  argv[n] = nullptr;
  Command command;
  command.argv = argv;

  int count = 0;
  // Once a stop is requested no further attempt starts: the run ends soon.
  for (int attempt = 0; attempt < kPingAttempts && !platform::stop_requested(); ++attempt) {
    char output[kCaptureBufferSize];
    const int rc = run_command_capture(command, output, kPingAttemptLimitMs);
    if (ping_answered(rc, output, target)) ++count;
  }
  if (answered) *answered = count;
  return count;
}

}  // namespace lw
