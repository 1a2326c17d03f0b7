// Captures what the system prints (console_print, plain_print, error_print)
// for the life of the object, as the environment's output streams.

#ifndef LINKWATCH_TESTS_SUPPORT_CAPTURE_H_
#define LINKWATCH_TESTS_SUPPORT_CAPTURE_H_

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>

#include "support/scoped_environment.h"

namespace lw::test {

class OutputCapture {
 public:
  // Binary streams: the text comes back byte for byte on every platform.
  OutputCapture() : out_(std::tmpfile()), err_(std::tmpfile()) {
    env_.set_output(out_.get(), err_.get());
  }
  OutputCapture(const OutputCapture&) = delete;
  OutputCapture& operator=(const OutputCapture&) = delete;
  // Everything printed so far to standard output / standard error.
  std::string out() const { return read_all(out_.get()); }
  std::string err() const { return read_all(err_.get()); }

 private:
  static std::string read_all(std::FILE* f) {
    std::string text;
    if (!f || std::fflush(f) != 0) return text;
    text.resize(static_cast<size_t>(std::max(std::ftell(f), 0L)));
    std::rewind(f);
    text.resize(std::fread(text.data(), 1, text.size(), f));
    std::fseek(f, 0, SEEK_END);
    return text;
  }
  struct Close {
    void operator()(std::FILE* f) const { std::fclose(f); }
  };
  // Declared before env_: the streams are given back before the files close.
  std::unique_ptr<std::FILE, Close> out_, err_;
  ScopedEnvironment env_;
};

}  // namespace lw::test

#endif  // LINKWATCH_TESTS_SUPPORT_CAPTURE_H_
