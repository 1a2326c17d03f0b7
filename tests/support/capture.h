// Captures what the system prints (console_print, plain_print, error_print) for the life
// of the object.

#ifndef LINKWATCH_TESTS_SUPPORT_CAPTURE_H_
#define LINKWATCH_TESTS_SUPPORT_CAPTURE_H_

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>

#include "platform/platform.h"
#include "support/scoped_environment.h"

namespace lw::test {

class OutputCapture {
 public:
  OutputCapture() { env_.set_output(out_.file, err_.file); }  // binary: byte for byte
  std::string out() const { return read_all(out_.file); }
  std::string err() const { return read_all(err_.file); }

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
  // Not std::tmpfile(): the Windows C library names its files from a counter that every
  // process starts alike, so test programs running side by side collide and get no file.
  struct CaptureFile {
    CaptureFile() {
      static std::atomic<unsigned> next{0};
      std::error_code ec;
      path = std::filesystem::temp_directory_path(ec) /
             ("lw-capture-" + std::to_string(platform::current_pid()) + "-" +
              std::to_string(next.fetch_add(1)) + ".txt");
      file = std::fopen(path.string().c_str(), "w+b");
    }
    ~CaptureFile() {
      if (!file) return;
      std::fclose(file);
      std::error_code ec;
      std::filesystem::remove(path, ec);
    }
    std::filesystem::path path;
    std::FILE* file = nullptr;
  };
  // Declared before env_: the streams are given back before the files close.
  CaptureFile out_, err_;
  ScopedEnvironment env_;
};

}  // namespace lw::test

#endif  // LINKWATCH_TESTS_SUPPORT_CAPTURE_H_
