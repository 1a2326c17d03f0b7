#include "config/mute_file.h"

#include <cstdio>
#include <cstring>

#include "support/output.h"

namespace lw {
namespace {

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// Splits `target` into its host (start and length, no brackets) and port
// text (null when none). False when the target has no usable shape.
bool split_target(const char* target, const char** host, size_t* host_len, const char** port) {
  *port = nullptr;
  if (target[0] == '\0' || std::strpbrk(target, " \t\r\n")) return false;
  if (target[0] == '[') {
    const char* close = std::strchr(target, ']');
    if (!close || close == target + 1 || close[1] != ':') return false;
    *host = target + 1;
    *host_len = static_cast<size_t>(close - target - 1);
    *port = close + 2;
    return port_number(*port) != 0;
  }
  const char* colon = std::strchr(target, ':');
  *host = target;
  if (colon && std::strchr(colon + 1, ':') == nullptr) {  // host:port
    *host_len = static_cast<size_t>(colon - target);
    *port = colon + 1;
    return *host_len > 0 && port_number(*port) != 0;
  }
  *host_len = std::strlen(target);  // a name, or an IPv6 address without port
  return true;
}

}  // namespace

bool mute_target_usable(const char* target) {
  const char* host = nullptr;
  const char* port = nullptr;
  size_t len = 0;
  return std::strcmp(target, "all") == 0 || split_target(target, &host, &len, &port);
}

bool mute_covers(const Mute& mute, const HostConfig& config) {
  if (mute.target == "all") return true;
  const char* host = nullptr;
  const char* port = nullptr;
  size_t len = 0;
  if (!split_target(mute.target.c_str(), &host, &len, &port)) return false;
  const char* name = config.host.c_str();
  const size_t name_len = std::strlen(name);
  bool same = false;
  if (name_len >= 2 && name[0] == '[' && name[name_len - 1] == ']') {
    same = len == name_len - 2;
    for (size_t i = 0; same && i < len; ++i) same = lower(host[i]) == lower(name[i + 1]);
  } else {
    same = len == name_len;
    for (size_t i = 0; same && i < len; ++i) same = lower(host[i]) == lower(name[i]);
  }
  return same && (!port || port_number(port) == config.port_number);
}

int64_t parse_mute_duration(const char* text) {
  int64_t n = 0;
  int digits = 0;
  for (; *text >= '0' && *text <= '9'; ++text) {
    if (++digits > 6) return -1;
    n = n * 10 + (*text - '0');
  }
  if (digits == 0 || text[0] == '\0' || text[1] != '\0') return -1;
  const int64_t unit = *text == 'm' ? 60 : *text == 'h' ? 3600 : *text == 'd' ? 86400 : 0;
  const int64_t seconds = n * unit;
  return seconds >= 60 && seconds <= 366 * 86400 ? seconds : -1;
}

int parse_mute_line(const char* line, Mute* out, FixedText<96>* why) {
  const char* p = line + std::strspn(line, " \t");
  if (*p == '\0' || *p == '#' || *p == '\r' || *p == '\n') return 0;
  const size_t target_len = std::strcspn(p, " \t\r\n");
  Mute mute;
  if (target_len >= mute.target.capacity()) {
    why->assign("the target is too long");
    return -1;
  }
  std::memcpy(mute.target.data(), p, target_len);
  mute.target.data()[target_len] = '\0';
  if (!mute_target_usable(mute.target.c_str())) {
    why->format("invalid target \"%.60s\" (use all, a host, or host:port)", mute.target.c_str());
    return -1;
  }
  p += target_len;
  p += std::strspn(p, " \t");
  int64_t until = 0;
  int digits = 0;
  for (; *p >= '0' && *p <= '9'; ++p) {
    if (++digits > 12) break;
    until = until * 10 + (*p - '0');
  }
  if (digits == 0 || digits > 12 ||
      (*p != '\0' && *p != ' ' && *p != '\t' && *p != '\r' && *p != '\n')) {
    why->assign("the end must be seconds since the epoch");
    return -1;
  }
  p += std::strspn(p, " \t");
  size_t reason_len = std::strcspn(p, "\r\n");
  if (reason_len >= mute.reason.capacity()) reason_len = mute.reason.capacity() - 1;
  std::memcpy(mute.reason.data(), p, reason_len);
  mute.reason.data()[reason_len] = '\0';
  mute.until = until;
  *out = mute;
  return 1;
}

void format_mute_line(const Mute& mute, FixedText<kMuteLineSize>* out) {
  out->format("%s %lld%s%s", mute.target.c_str(), static_cast<long long>(mute.until),
              mute.reason.empty() ? "" : " ", mute.reason.c_str());
}

namespace {

// Walks the file's lines; `line_fn(line_no, text)` for each. False when
// there is no file.
template <typename Fn>
bool each_mute_line(Fn line_fn) {
  std::FILE* file = std::fopen(kMuteFileName, "rb");
  if (!file) return false;
  char buf[kMuteLineSize];
  int line_no = 0;
  while (std::fgets(buf, sizeof buf, file)) {
    ++line_no;
    const size_t len = std::strlen(buf);
    const bool whole = len > 0 && buf[len - 1] == '\n';
    line_fn(line_no, buf);
    if (!whole) {  // the rest of a line too long for the buffer is passed over
      int c = 0;
      while ((c = std::fgetc(file)) != EOF && c != '\n') {
      }
    }
  }
  std::fclose(file);
  return true;
}

}  // namespace

bool read_mute_file(MuteList* out) {
  out->count = 0;
  return each_mute_line([out](int, const char* text) {
    Mute mute;
    FixedText<96> why;
    if (parse_mute_line(text, &mute, &why) == 1 && out->count < kMaxMutes)
      out->mute[out->count++] = mute;
  });
}

int check_mute_file() {
  bool passed = true;
  int count = 0;
  each_mute_line([&](int line_no, const char* text) {
    Mute mute;
    FixedText<96> why;
    const int read = parse_mute_line(text, &mute, &why);
    if (read < 0) {
      plain_print("Line %d: %s\n", line_no, why.c_str());
      passed = false;
    } else if (read == 1 && ++count > kMaxMutes) {
      plain_print("Line %d: more than %d mutes\n", line_no, kMaxMutes);
      passed = false;
    }
  });
  return passed ? 1 : 0;
}

}  // namespace lw
