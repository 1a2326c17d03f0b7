#include "support/output.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>

#include "support/clock.h"

namespace lw {

std::mutex console_lock;
std::mutex log_lock;

namespace {
std::atomic<bool> silent{false};
std::atomic<std::FILE*> test_out{nullptr};
std::atomic<std::FILE*> test_err{nullptr};
// Set once a failed append has been reported; the next good one clears it.
// Guarded by log_lock.
bool log_outage_reported = false;

std::FILE* out_stream() {
  std::FILE* f = test_out.load();
  return f ? f : stdout;
}
std::FILE* err_stream() {
  std::FILE* f = test_err.load();
  return f ? f : stderr;
}
}  // namespace

void set_silent_mode(bool on) { silent.store(on, std::memory_order_relaxed); }
bool silent_mode() { return silent.load(std::memory_order_relaxed); }

void set_output_streams_for_testing(std::FILE* out, std::FILE* err) {
  test_out.store(out);
  test_err.store(err);
}

void console_print(const char* fmt, ...) {
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

void log_event(const char* fmt, ...) {
  bool report_outage = false;
  {
    std::lock_guard<std::mutex> hold(log_lock);
    bool written = false;
    if (std::FILE* file = std::fopen(kLogFileName, "a")) {
      char stamp[32];
      format_local_time(now_seconds(), "%Y-%m-%d %H:%M:%S", stamp, sizeof stamp);
      const bool head_ok = std::fprintf(file, "%s - ", stamp) >= 0;
      va_list args;
      va_start(args, fmt);
      const bool text_ok = std::vfprintf(file, fmt, args) >= 0;
      va_end(args);
      const bool end_ok = std::fputc('\n', file) != EOF;
      // A full disk shows only when the buffered line is handed over.
      written = std::fclose(file) == 0 && head_ok && text_ok && end_ok;
    }
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
