// Console and log output shared by every thread.
//
// console_print is the console text that silent mode suppresses; plain_print
// is the unconditional output of side commands, loaders and refusals. Both
// flush standard output at once, so nothing waits in a buffer when the
// process is ended from outside (also when output goes to a file or pipe).
// "Standard output" and "standard error" are the environment's streams
// (support/environment): the real ones unless others are put in their place.
// console_print holds the console lock, always the innermost lock; log_event
// holds the log lock, under which nothing else is locked.

#ifndef LINKWATCH_SUPPORT_OUTPUT_H_
#define LINKWATCH_SUPPORT_OUTPUT_H_

#include <cstdio>
#include <string>

namespace lw {

constexpr const char kLogFileName[] = "linkwatch_log.txt";

// Process-wide silent mode, set by the entry before any thread exists.
void set_silent_mode(bool on);
bool silent_mode();

// The printing functions format like C99 printf on every system (%zu, %lld
// included); their format checks say so (gnu_printf).

// printf to standard output under the console lock, unless silent mode is on
// (then nothing is formatted). Callers end their lines with "\n".
__attribute__((format(gnu_printf, 1, 2))) void console_print(const char* fmt, ...);

// printf to standard output whatever silent mode says; takes no lock.
__attribute__((format(gnu_printf, 1, 2))) void plain_print(const char* fmt, ...);

// While one lives, plain_print and console_print on the thread that made it
// append their text to `*sink` instead of writing it (console_print also in
// silent mode); other threads print as before. Captures nest: the innermost
// one takes the text. Used to send "-check" lines into the log.
class ScopedPrintCapture {
 public:
  explicit ScopedPrintCapture(std::string* sink);
  ~ScopedPrintCapture();
  ScopedPrintCapture(const ScopedPrintCapture&) = delete;
  ScopedPrintCapture& operator=(const ScopedPrintCapture&) = delete;

 private:
  std::string* previous_;
};

// printf to standard error; takes no lock.
__attribute__((format(gnu_printf, 1, 2))) void error_print(const char* fmt, ...);

// Appends "YYYY-mm-dd HH:MM:SS - <message>" and a line end to the log file
// under the log lock, opening and closing the file for this one line; each "\n"
// is stored as the platform's text line end. The line is formatted whole
// first and appended whole or not at all (platform::append_whole), so the
// file never holds part of a line. When the line cannot be written (the
// file cannot be opened for appending, or the write fails or stores less,
// as on a full disk) the event is dropped and the file left as it was; the first such failure, and
// the first one after a line was written again, prints "Cannot write log file linkwatch_log.txt:
// events are not recorded" to standard error (once per outage, after the log lock is released). The
// caller is not told.
__attribute__((format(gnu_printf, 1, 2))) void log_event(const char* fmt, ...);
// The same one-line text with plain_print (and a line end) and log_event,
// for settings the run cannot use as written. Longer texts are cut at 1023.
__attribute__((format(gnu_printf, 1, 2))) void print_and_log(const char* fmt, ...);

// The size of the log file in bytes (0 when there is none), and its bytes
// from `offset` on ("" when there are none): how a command reads what the
// running instance logged after it asked something of it.
long log_file_size();
std::string log_file_since(long offset);

// Removes leading and trailing white space (space, \t, \n, \v, \f, \r; bytes
// from 0x80 up are never white space) in place. Does nothing for null.
void trim_in_place(char* text);

// True for the six white-space bytes of trim_in_place.
inline bool is_space_byte(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// The value of hex digit `c` (0-9, a-f, A-F), or -1 when it is none.
inline int hex_digit_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// `c` with A to Z made lower case; every other byte as it is.
inline char lower_ascii(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

}  // namespace lw

#endif  // LINKWATCH_SUPPORT_OUTPUT_H_
