// Test helpers: a working directory per test, whole files, the programs beside the tests.

#ifndef LINKWATCH_TESTS_SUPPORT_TEST_ENV_H_
#define LINKWATCH_TESTS_SUPPORT_TEST_ENV_H_

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/platform.h"

namespace lw::test {

// A fresh temporary folder as the working directory for the life of the object.
class ScopedWorkDir {
 public:
  ScopedWorkDir();
  ~ScopedWorkDir();
  ScopedWorkDir(const ScopedWorkDir&) = delete;
  ScopedWorkDir& operator=(const ScopedWorkDir&) = delete;
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path previous_, path_;
};

// A test fixture that runs every test in its own ScopedWorkDir.
class WorkDirTest : public ::testing::Test {
 protected:
  const std::filesystem::path& work_dir() const { return dir_.path(); }

 private:
  ScopedWorkDir dir_;
};

// Bytes exactly as on disk.
std::string read_file(const std::filesystem::path& path);
void write_file(const std::filesystem::path& path, const std::string& bytes);
bool file_exists(const std::filesystem::path& path);

// The folder of the test program, with the build's other programs: program_path("linkwatch").
std::filesystem::path program_dir();
std::filesystem::path program_path(const std::string& name);

// `program` run with `args`: its exit code and joined output, carriage returns removed.
using ProgramResult = std::pair<int, std::string>;
ProgramResult run_program(const std::vector<std::string>& args,
                          const std::string& program = program_path("linkwatch").string());

// For the life of the object: the test tool as each of `tools` ("curl", "ping") in `dir`,
// first on PATH, and the LW_FAKE_* answers of `vars` (see tests/tools/testtool.cc).
class ScopedFakeTools {
 public:
  using Vars = std::vector<std::pair<const char*, const char*>>;
  ScopedFakeTools(const std::filesystem::path& dir, std::vector<const char*> tools, Vars vars = {});
  ~ScopedFakeTools();
  void set(const char* name, const char* value);  // unset again at the end

 private:
  std::string saved_path_;
  std::vector<const char*> names_;
};

// Line end of text-mode files on this platform ("\r\n" or "\n").
const char* text_line_end();

// `text` as UTF-16 little-endian after `mark` (as Notepad saves "Unicode").
std::string utf16le(std::u16string_view text, const char* mark = "\xFF\xFE");

// How often `part` occurs in `text` (overlaps counted).
inline size_t count_of(const std::string& text, const std::string& part) {
  size_t n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

// Waits up to `ms` (polling every 20 ms) until `done()` holds: its last answer.
template <typename Done>
bool eventually(Done done, int ms = 20000) {
  for (int waited = 0; waited < ms && !done(); waited += 20) platform::sleep_ms(20);
  return done();
}

// Waits up to 10 s for a file that a child writes ("<pid>\n"): the number, or 0.
uint32_t wait_for_pid_file(const std::string& name);

}  // namespace lw::test

#endif  // LINKWATCH_TESTS_SUPPORT_TEST_ENV_H_
