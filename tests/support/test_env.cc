#include "support/test_env.h"

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "platform/platform.h"
#include "support/runner.h"

namespace lw::test {

namespace fs = std::filesystem;

ScopedWorkDir::ScopedWorkDir() : previous_(fs::current_path()) {
  static std::atomic<int> counter{0};
  std::error_code ec;
  do {  // a fresh name until one is free
    path_ = fs::temp_directory_path() /
            ("lwtest-" + std::to_string(platform::current_pid()) + "-" + std::to_string(counter++));
  } while (!fs::create_directory(path_, ec) && !ec);
  fs::current_path(path_);
}

ScopedWorkDir::~ScopedWorkDir() {
  std::error_code ec;
  fs::current_path(previous_, ec);
  fs::remove_all(path_, ec);
}

std::string read_file(const fs::path& path) {
  std::ostringstream bytes;
  bytes << std::ifstream(path, std::ios::binary).rdbuf();
  return bytes.str();
}

void write_file(const fs::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

bool file_exists(const fs::path& path) {
  std::error_code ec;
  return fs::exists(path, ec);
}

fs::path program_dir() {
  char self[4096];
  if (!platform::own_executable_path(self, sizeof self)) return fs::current_path();
  return fs::path(self).parent_path();
}

fs::path program_path(const std::string& name) {
  return program_dir() / (name + platform::kExecutableSuffix);
}

ProgramResult run_program(const std::vector<std::string>& args, const std::string& program) {
  std::vector<const char*> argv{program.c_str()};
  for (const std::string& arg : args) argv.push_back(arg.c_str());
  argv.push_back(nullptr);
  std::vector<char> buffer(kCaptureBufferSize);
  const int rc = run_command_capture({argv.data()}, buffer.data(), 30000);
  std::string out(buffer.data());
  std::erase(out, '\r');
  return {rc, out};
}

ScopedFakeTools::ScopedFakeTools(const fs::path& dir, std::vector<const char*> tools, Vars vars) {
  const char* path = std::getenv("PATH");
  saved_path_ = path ? path : "";
  for (const char* tool : tools) {
    fs::copy_file(program_path("lw_testtool"),
                  dir / (std::string(tool) + platform::kExecutableSuffix));
  }
  EXPECT_TRUE(platform::set_env(
      "PATH", (dir.string() + platform::kPathListSeparator + saved_path_).c_str()));
  for (const auto& [name, value] : vars) set(name, value);
}

ScopedFakeTools::~ScopedFakeTools() {
  platform::set_env("PATH", saved_path_.c_str());
  for (const char* name : names_) platform::set_env(name, nullptr);
}

void ScopedFakeTools::set(const char* name, const char* value) {
  names_.push_back(name);
  platform::set_env(name, value);
}

const char* text_line_end() { return platform::kTextLineEnd; }

std::string utf16le(std::u16string_view text, const char* mark) {
  std::string bytes = mark;
  for (const char16_t unit : text)
    bytes += {static_cast<char>(unit & 0xFF), static_cast<char>(unit >> 8)};
  return bytes;
}

uint32_t wait_for_pid_file(const std::string& name) {
  for (int i = 0; i < 500; ++i) {
    const std::string text = read_file(name);
    if (text.find('\n') != std::string::npos) return std::strtoul(text.c_str(), nullptr, 10);
    platform::sleep_ms(20);
  }
  return 0;
}

}  // namespace lw::test
