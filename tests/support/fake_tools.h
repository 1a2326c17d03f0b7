// Stand-ins for the external programs `curl` and `ping`.
//
// For its lifetime a FakeTools object puts a private folder first on PATH
// holding copies of lw_testtool named curl and ping (with the platform's
// executable suffix). Every run of either program, by the system or by the
// test, leaves one record of what it was given; the test then reads the
// records back with calls(). What the programs answer (exit code, output,
// duration) is set per tool through the process environment, which child
// processes inherit.
//
// Use one FakeTools at a time, created and destroyed on the test's main
// thread while no other thread starts programs. The setters change this
// process's environment: call them before the commands run.
//
//   FakeTools tools;
//   ASSERT_TRUE(tools.ok());
//   tools.set_exit("curl", 7);
//   ... code under test runs curl ...
//   auto calls = tools.calls("curl");
//   ASSERT_EQ(calls.size(), 1u);
//   EXPECT_EQ(calls[0].args[0], "-s");
//   EXPECT_EQ(calls[0].files["mailtext.txt"], expected_mail);

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
  // Bytes the program read from standard input. Only curl reads it, and only
  // when told to read its configuration ("--config -", "-K -") or its upload
  // or post data ("-T -", "--data-binary @-") from there; else "". Standard
  // input is a text stream: on Windows a CR LF pair arrives as LF.
  std::string stdin_bytes;
  // Files curl was told to send, by the name it was given, with their bytes
  // at the moment of the call: "-T <file>", "--upload-file <file>",
  // "--data-binary @<file>", the same options inside a configuration read
  // with --config/-K, and a configuration file itself. A file that could not
  // be read is absent.
  std::map<std::string, std::string> files;
  // Monotonic start time of the run in milliseconds (platform::monotonic_ms).
  uint64_t started_ms = 0;
};

class FakeTools {
 public:
  // Creates the folder, copies the tool, prepends the folder to PATH and
  // sets LW_FAKE_DIR. Check ok() before relying on it.
  FakeTools();
  // Restores PATH, removes every LW_FAKE_* setting and deletes the folder.
  ~FakeTools();
  FakeTools(const FakeTools&) = delete;
  FakeTools& operator=(const FakeTools&) = delete;

  // True when the tools are in place and PATH points at them.
  bool ok() const { return ok_; }
  // The folder put first on PATH (holds curl and ping).
  const std::filesystem::path& bin_dir() const { return bin_dir_; }

  // `tool` is "curl" or "ping". Exit code of every later run (default 0).
  void set_exit(const std::string& tool, int code);
  // Text written to standard output by every later run (default none).
  // Written as is; on a text-mode console "\n" becomes the platform line end.
  void set_output(const std::string& tool, const std::string& text);
  // Time every later run waits before ending (default 0).
  void set_sleep_ms(const std::string& tool, uint32_t ms);

  // The runs of `tool` ("" for both tools) in the order they were started.
  // A run records itself first, before it prints, sleeps and exits, so a run
  // still sleeping is listed already.
  std::vector<Invocation> calls(const std::string& tool) const;
  // Forgets every run recorded so far.
  void clear_calls();

 private:
  bool ok_ = false;
  bool had_path_ = false;
  std::string old_path_;
  std::filesystem::path root_;
  std::filesystem::path bin_dir_;
  std::filesystem::path record_dir_;
};

}  // namespace lw::test

#endif  // LINKWATCH_TESTS_SUPPORT_FAKE_TOOLS_H_
