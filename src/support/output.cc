#include "support/output.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "platform/platform.h"
#include "support/clock.h"
#include "support/environment.h"

namespace lw {

namespace {
// Guards every console_print; always the innermost lock.
std::mutex console_lock;
// Guards every append to the log file; nothing else is locked while it is
// held.
std::mutex log_lock;
std::atomic<bool> silent{false};
// Set once a failed append has been reported; the next good one clears it.
// Guarded by log_lock.
bool log_outage_reported = false;

// The sink of this thread's innermost ScopedPrintCapture; null: none.
thread_local std::string* capture_sink = nullptr;

// Appends the formatted text to `sink`.
void capture_text(std::string* sink, const char* fmt, va_list args) {
  char text[2048];
  std::vsnprintf(text, sizeof text, fmt, args);
  sink->append(text);
}

std::FILE* out_stream() {
  std::FILE* f = current_environment().out;
  return f ? f : stdout;
}
std::FILE* err_stream() {
  std::FILE* f = current_environment().err;
  return f ? f : stderr;
}
}  // namespace

void set_silent_mode(bool on) { silent.store(on, std::memory_order_relaxed); }
bool silent_mode() { return silent.load(std::memory_order_relaxed); }

ScopedPrintCapture::ScopedPrintCapture(std::string* sink) : previous_(capture_sink) {
  capture_sink = sink;
}
ScopedPrintCapture::~ScopedPrintCapture() { capture_sink = previous_; }

void console_print(const char* fmt, ...) {
  if (capture_sink) {
    va_list args;
    va_start(args, fmt);
    capture_text(capture_sink, fmt, args);
    va_end(args);
    return;
  }
  if (silent_mode()) return;
  std::lock_guard<std::mutex> hold(console_lock);
  std::FILE* out = out_stream();
  va_list args;
  va_start(args, fmt);
  std::vfprintf(out, fmt, args);
  va_end(args);
  std::fflush(out);  // at once: the process may be ended without a chance to flush
}

void plain_print(const char* fmt, ...) {
  if (capture_sink) {
    va_list args;
    va_start(args, fmt);
    capture_text(capture_sink, fmt, args);
    va_end(args);
    return;
  }
  std::FILE* out = out_stream();
  va_list args;
  va_start(args, fmt);
  std::vfprintf(out, fmt, args);
  va_end(args);
  std::fflush(out);
}

void error_print(const char* fmt, ...) {
  std::FILE* err = err_stream();
  va_list args;
  va_start(args, fmt);
  std::vfprintf(err, fmt, args);
  va_end(args);
  std::fflush(err);
}

void print_and_log(const char* fmt, ...) {
  char text[1024];
  va_list args;
  va_start(args, fmt);
  std::vsnprintf(text, sizeof text, fmt, args);
  va_end(args);
  plain_print("%s\n", text);
  log_event("%s", text);
}

namespace {

// Room for a usual log line on the stack; longer ones go to the heap.
constexpr size_t kLogLineStackSize = 1024;

// Formats one log line whole: "<stamp> - <text>" and a line end, each "\n"
// stored as the platform's text line end, as a text-mode file stores it.
class LogLine {
 public:
  LogLine(const char* stamp, const char* fmt, va_list args) {
    char small[kLogLineStackSize];
    va_list again;
    va_copy(again, args);
    const int n = std::vsnprintf(small, sizeof small, fmt, args);
    const char* text = small;
    char* big = nullptr;
    if (n >= static_cast<int>(sizeof small)) {
      big = static_cast<char*>(std::malloc(static_cast<size_t>(n) + 1));
      if (big) std::vsnprintf(big, static_cast<size_t>(n) + 1, fmt, again);
      text = big;
    }
    va_end(again);
    if (n >= 0 && text) build(stamp, text);
    std::free(big);
  }
  ~LogLine() {
    if (data_ != stack_) std::free(data_);
  }
  LogLine(const LogLine&) = delete;
  LogLine& operator=(const LogLine&) = delete;
  // Null when the line could not be formatted (no memory, a format error).
  const char* data() const { return data_; }
  size_t size() const { return size_; }

 private:
  void build(const char* stamp, const char* text) {
    const size_t end_len = std::strlen(platform::kTextLineEnd);
    size_t need = 0;
    for (const char* part : {stamp, " - ", text, "\n"}) {
      for (const char* p = part; *p; ++p) need += *p == '\n' ? end_len : 1;
    }
    data_ = need <= sizeof stack_ ? stack_ : static_cast<char*>(std::malloc(need));
    if (!data_) return;
    for (const char* part : {stamp, " - ", text, "\n"}) {
      for (const char* p = part; *p; ++p) {
        if (*p == '\n') {
          std::memcpy(data_ + size_, platform::kTextLineEnd, end_len);
          size_ += end_len;
        } else {
          data_[size_++] = *p;
        }
      }
    }
  }

  char stack_[kLogLineStackSize + 64];
  char* data_ = nullptr;
  size_t size_ = 0;
};

}  // namespace

void log_event(const char* fmt, ...) {
  bool report_outage = false;
  {
    std::lock_guard<std::mutex> hold(log_lock);
    // Stamped under the lock, so that the lines stand in the order of their times.
    char stamp[32];
    format_local_time(now_seconds(), "%Y-%m-%d %H:%M:%S", stamp, sizeof stamp);
    va_list args;
    va_start(args, fmt);
    const LogLine line(stamp, fmt, args);
    va_end(args);
    // Whole or not at all: a line that does not fit leaves the file as it was.
    const bool written =
        line.data() && platform::append_whole(kLogFileName, line.data(), line.size());
    if (written) {
      log_outage_reported = false;
    } else if (!log_outage_reported) {
      log_outage_reported = true;
      report_outage = true;
    }
  }
  // Outside log_lock: nothing is locked while it is held.
  if (report_outage) {
    error_print("Cannot write log file %s: events are not recorded\n", kLogFileName);
  }
}

long log_file_size() {
  std::FILE* file = std::fopen(kLogFileName, "rb");
  if (!file) return 0;
  const long size = std::fseek(file, 0, SEEK_END) == 0 ? std::ftell(file) : 0;
  std::fclose(file);
  return size < 0 ? 0 : size;
}

std::string log_file_since(long offset) {
  std::string text;
  std::FILE* file = std::fopen(kLogFileName, "rb");
  if (!file) return text;
  if (std::fseek(file, offset, SEEK_SET) == 0) {
    char buf[4096];
    for (size_t n; (n = std::fread(buf, 1, sizeof buf, file)) > 0;) text.append(buf, n);
  }
  std::fclose(file);
  return text;
}

void trim_in_place(char* text) {
  if (!text) return;
  char* start = text;
  while (*start && is_space_byte(*start)) ++start;
  size_t len = 0;
  while (start[len]) ++len;
  if (start != text) {
    for (size_t i = 0; i <= len; ++i) text[i] = start[i];
  }
  while (len > 0 && is_space_byte(text[len - 1])) text[--len] = '\0';
}

}  // namespace lw
