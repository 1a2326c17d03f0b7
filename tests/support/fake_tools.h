// Stand-ins for the external programs `curl` and `ping`: for its lifetime a
// FakeTools object puts copies of lw_testtool under those names first on
// PATH. Every run leaves a record of what it was given, read back with
// calls(). The answers are set through the environment, which children
// inherit: call the setters before the commands run. Use one FakeTools at a
// time, made and destroyed on the test's main thread.

#ifndef LINKWATCH_TESTS_SUPPORT_FAKE_TOOLS_H_
#define LINKWATCH_TESTS_SUPPORT_FAKE_TOOLS_H_

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace lw::test {

// One run of a fake tool.
struct Invocation {
  std::string tool;               // "curl" or "ping"
  std::vector<std::string> args;  // every argument after the program name, exactly
  // What curl read from standard input when an argument said so ("-" as in
  // "--config -", or "@-"); else "". On Windows CR LF arrives as LF.
  std::string stdin_bytes;
  // Files curl was told to send ("-T <file>", "--upload-file <file>",
  // "--data-binary @<file>") with their bytes at the moment of the call.
  std::map<std::string, std::string> files;
  uint64_t started_ms = 0;  // platform::monotonic_ms() at its start
};

class FakeTools {
 public:
  FakeTools();   // puts the tools first on PATH and sets LW_FAKE_DIR
  ~FakeTools();  // restores PATH, removes every LW_FAKE_* setting and the folder
  FakeTools(const FakeTools&) = delete;
  FakeTools& operator=(const FakeTools&) = delete;

  bool ok() const { return ok_; }

  // For every later run of `tool`: its exit code (default 0), the text it
  // prints (default none), the time it waits before ending (default 0).
  void set_exit(const std::string& tool, int code) { set(tool, "EXIT", std::to_string(code)); }
  void set_output(const std::string& tool, const std::string& text) { set(tool, "OUTPUT", text); }
  void set_sleep_ms(const std::string& tool, uint32_t ms) {
    set(tool, "SLEEP_MS", std::to_string(ms));
  }

  // The runs of `tool` ("" for both) in the order they started. A run
  // records itself before it prints, sleeps and exits.
  std::vector<Invocation> calls(const std::string& tool) const;
  void clear_calls();

 private:
  static void set(const std::string& tool, const char* what, const std::string& value);
  bool ok_ = false;
  bool had_path_ = false;
  std::string old_path_;
  std::filesystem::path root_;
};

}  // namespace lw::test

#endif  // LINKWATCH_TESTS_SUPPORT_FAKE_TOOLS_H_
