// Captures what the system prints (console_print, plain_print, error_print)
// for the life of the object, through the output test seam.

#ifndef LINKWATCH_TESTS_SUPPORT_CAPTURE_H_
#define LINKWATCH_TESTS_SUPPORT_CAPTURE_H_

#include <cstdio>
#include <string>

namespace lw::test {

class OutputCapture {
 public:
  OutputCapture();
  ~OutputCapture();
  OutputCapture(const OutputCapture&) = delete;
  OutputCapture& operator=(const OutputCapture&) = delete;
  // Everything printed so far to standard output / standard error.
  std::string out() const { return read_all(out_); }
  std::string err() const { return read_all(err_); }

 private:
  static std::string read_all(std::FILE* f);
  std::FILE* out_;
  std::FILE* err_;
};

}  // namespace lw::test

#endif  // LINKWATCH_TESTS_SUPPORT_CAPTURE_H_
