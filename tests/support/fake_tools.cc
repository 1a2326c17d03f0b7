#include "support/fake_tools.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>

#include "platform/platform.h"
#include "support/test_env.h"

namespace lw::test {

namespace fs = std::filesystem;

namespace {

constexpr const char* kTools[] = {"curl", "ping"};

std::string env_name(const std::string& tool, const char* what) {
  std::string name = "LW_FAKE_";
  for (char c : tool) name += static_cast<char>(c - 'a' + 'A');
  return name + "_" + what;
}

void clear_settings() {
  for (const char* tool : kTools)
    for (const char* what : {"EXIT", "OUTPUT", "SLEEP_MS"})
      platform::set_env(env_name(tool, what).c_str(), nullptr);
}

// Reads a record of lw_testtool (see its run_fake); `order` gets the fine
// start time. False for anything malformed.
bool parse_record(const std::string& text, Invocation* out, uint64_t* order) {
  if (text.rfind("LWREC1\n", 0) != 0) return false;
  std::string name;
  for (size_t pos = 7; pos < text.size();) {
    char tag = text[pos++];
    size_t end = text.find('\n', pos);
    if (end == std::string::npos || end == pos) return false;
    size_t len = std::strtoull(text.c_str() + pos, nullptr, 10);
    pos = end + 1;
    if (text.size() - pos < len + 1 || text[pos + len] != '\n') return false;
    std::string bytes = text.substr(pos, len);
    pos += len + 1;
    if (tag == 'T') out->tool = bytes;
    if (tag == 'A') out->args.push_back(bytes);
    if (tag == 'I') out->stdin_bytes = bytes;
    if (tag == 'N') name = bytes;
    if (tag == 'D') out->files[name] = bytes;
    if (tag == 'M') out->started_ms = std::strtoull(bytes.c_str(), nullptr, 10);
    if (tag == 'S') *order = std::strtoull(bytes.c_str(), nullptr, 10);
  }
  return !out->tool.empty();
}

}  // namespace

FakeTools::FakeTools() {
  const char* path = std::getenv("PATH");
  had_path_ = path != nullptr;
  if (path) old_path_ = path;
  static std::atomic<int> counter{0};
  std::error_code ec;
  root_ = fs::temp_directory_path(ec) /
          ("lwfake-" + std::to_string(platform::current_pid()) + "-" + std::to_string(counter++));
  fs::remove_all(root_, ec);
  fs::create_directories(root_ / "calls", ec);
  fs::create_directories(root_ / "bin", ec);  // else the copies below fail
  for (const char* name : kTools) {
    fs::path target = root_ / "bin" / (std::string(name) + platform::kExecutableSuffix);
    if (!fs::copy_file(program_path("lw_testtool"), target, ec)) return;
  }
  clear_settings();  // a clean answer set even if an earlier test left some
  std::string new_path = (root_ / "bin").string();
  if (!old_path_.empty()) new_path += platform::kPathListSeparator + old_path_;
  ok_ = platform::set_env("PATH", new_path.c_str()) &&
        platform::set_env("LW_FAKE_DIR", (root_ / "calls").string().c_str());
}

FakeTools::~FakeTools() {
  platform::set_env("PATH", had_path_ ? old_path_.c_str() : nullptr);
  platform::set_env("LW_FAKE_DIR", nullptr);
  clear_settings();
  // A fake ended by a time limit moments ago may still hold its file open
  // on Windows for a short while.
  std::error_code ec;
  for (int attempt = 0; attempt < 20; ++attempt) {
    fs::remove_all(root_, ec);
    if (!ec) break;
    platform::sleep_ms(50);
  }
}

// An empty value removes the setting.
void FakeTools::set(const std::string& tool, const char* what, const std::string& value) {
  platform::set_env(env_name(tool, what).c_str(), value.empty() ? nullptr : value.c_str());
}

std::vector<Invocation> FakeTools::calls(const std::string& tool) const {
  std::vector<std::pair<uint64_t, Invocation>> runs;
  std::error_code ec;
  for (fs::directory_iterator it(root_ / "calls", ec), end; !ec && it != end; it.increment(ec)) {
    if (it->path().extension() != ".rec") continue;  // one still being written
    std::pair<uint64_t, Invocation> run;
    if (parse_record(read_file(it->path()), &run.second, &run.first) &&
        (tool.empty() || run.second.tool == tool)) {
      runs.push_back(std::move(run));
    }
  }
  std::stable_sort(runs.begin(), runs.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  std::vector<Invocation> result;
  for (auto& run : runs) result.push_back(std::move(run.second));
  return result;
}

void FakeTools::clear_calls() {
  std::error_code ec;
  for (fs::directory_iterator it(root_ / "calls", ec), end; !ec && it != end; it.increment(ec)) {
    fs::remove(it->path(), ec);
  }
}

}  // namespace lw::test
