// Captures what the system prints (console_print, plain_print, error_print)
// for the life of the object, through the output test seam.

#ifndef LINKWATCH_TESTS_SUPPORT_CAPTURE_H_
#define LINKWATCH_TESTS_SUPPORT_CAPTURE_H_

#include <algorithm>
#include <cstdio>
#include <string>

#include "support/output.h"

namespace lw::test {

class OutputCapture {
 public:
  // Binary streams: the text comes back byte for byte on every platform.
  OutputCapture() : out_(std::tmpfile()), err_(std::tmpfile()) {
    set_output_streams_for_testing(out_, err_);
  }
  ~OutputCapture() {
    set_output_streams_for_testing(nullptr, nullptr);
    if (out_) std::fclose(out_);
    if (err_) std::fclose(err_);
  }
  OutputCapture(const OutputCapture&) = delete;
  OutputCapture& operator=(const OutputCapture&) = delete;
  // Everything printed so far to standard output / standard error.
  std::string out() const { return read_all(out_); }
  std::string err() const { return read_all(err_); }

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
  std::FILE* out_;
  std::FILE* err_;
};

}  // namespace lw::test

#endif  // LINKWATCH_TESTS_SUPPORT_CAPTURE_H_
