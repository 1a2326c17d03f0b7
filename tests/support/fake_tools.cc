#include "support/fake_tools.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <system_error>

#include "platform/platform.h"
#include "support/test_env.h"

namespace lw::test {

namespace fs = std::filesystem;

namespace {

// Record format written by lw_testtool: "LWREC1\n", then fields of one tag
// byte, the decimal byte count, "\n", the bytes and "\n". Tags: 'T' tool,
// 'A' argument, 'I' standard input, 'N' file name followed by 'D' its bytes,
// 'M' start time in monotonic milliseconds, 'S' a finer start time used only
// to order runs.
constexpr char kRecordMagic[] = "LWREC1\n";
constexpr char kRecordSuffix[] = ".rec";

struct Field {
  char tag;
  std::string bytes;
};

bool read_fields(const std::string& text, std::vector<Field>* fields) {
  size_t pos = sizeof kRecordMagic - 1;
  if (text.compare(0, pos, kRecordMagic) != 0) return false;
  while (pos < text.size()) {
    char tag = text[pos++];
    size_t len = 0;
    bool digits = false;
    while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9') {
      len = len * 10 + static_cast<size_t>(text[pos++] - '0');
      digits = true;
    }
    if (!digits || pos >= text.size() || text[pos] != '\n') return false;
    ++pos;
    if (text.size() - pos < len + 1 || text[pos + len] != '\n') return false;
    fields->push_back({tag, text.substr(pos, len)});
    pos += len + 1;
  }
  return true;
}

uint64_t to_u64(const std::string& text) { return std::strtoull(text.c_str(), nullptr, 10); }

bool parse_record(const std::string& text, Invocation* out, uint64_t* order_key) {
  std::vector<Field> fields;
  if (!read_fields(text, &fields)) return false;
  std::string pending_name;
  bool have_name = false;
  for (const Field& f : fields) {
    switch (f.tag) {
      case 'T':
        out->tool = f.bytes;
        break;
      case 'A':
        out->args.push_back(f.bytes);
        break;
      case 'I':
        out->stdin_bytes = f.bytes;
        break;
      case 'N':
        pending_name = f.bytes;
        have_name = true;
        break;
      case 'D':
        if (have_name) out->files[pending_name] = f.bytes;
        have_name = false;
        break;
      case 'M':
        out->started_ms = to_u64(f.bytes);
        break;
      case 'S':
        *order_key = to_u64(f.bytes);
        break;
      default:
        break;
    }
  }
  return !out->tool.empty();
}

std::string env_name(const std::string& tool, const char* what) {
  std::string name = "LW_FAKE_";
  for (char c : tool) name += static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
  name += '_';
  name += what;
  return name;
}

constexpr const char* kTools[] = {"curl", "ping"};
constexpr const char* kSettings[] = {"EXIT", "OUTPUT", "SLEEP_MS"};

}  // namespace

FakeTools::FakeTools() {
  static std::atomic<int> counter{0};
  std::error_code ec;
  for (int attempt = 0; attempt < 100; ++attempt) {
    char name[80];
    std::snprintf(name, sizeof name, "lwfake-%u-%d-%d",
                  static_cast<unsigned>(platform::current_pid()), counter++, attempt);
    fs::path candidate = fs::temp_directory_path(ec) / name;
    if (ec) return;
    if (fs::create_directory(candidate, ec)) {
      root_ = candidate;
      break;
    }
  }
  if (root_.empty()) return;
  bin_dir_ = root_ / "bin";
  record_dir_ = root_ / "calls";
  if (!fs::create_directory(bin_dir_, ec) || !fs::create_directory(record_dir_, ec)) return;

  const fs::path tool = program_path("lw_testtool");
  for (const char* name : kTools) {
    fs::path target = bin_dir_ / (std::string(name) + platform::kExecutableSuffix);
    if (!fs::copy_file(tool, target, ec)) return;
    fs::permissions(target, fs::perms::owner_all, fs::perm_options::add, ec);
  }

  // Start from a clean answer set even if an earlier test left settings.
  for (const char* name : kTools) {
    for (const char* what : kSettings) platform::set_env(env_name(name, what).c_str(), nullptr);
  }

  const char* path = std::getenv("PATH");
  had_path_ = path != nullptr;
  if (path) old_path_ = path;
  std::string new_path = bin_dir_.string();
  if (!old_path_.empty()) new_path += platform::kPathListSeparator + old_path_;
  if (!platform::set_env("PATH", new_path.c_str())) return;
  if (!platform::set_env("LW_FAKE_DIR", record_dir_.string().c_str())) return;
  ok_ = true;
}

FakeTools::~FakeTools() {
  if (ok_ || !root_.empty()) {
    platform::set_env("PATH", had_path_ ? old_path_.c_str() : nullptr);
    platform::set_env("LW_FAKE_DIR", nullptr);
    for (const char* name : kTools) {
      for (const char* what : kSettings) platform::set_env(env_name(name, what).c_str(), nullptr);
    }
  }
  if (!root_.empty()) {
    std::error_code ec;
    // A fake still running (e.g. ended by a time limit moments ago) may hold
    // its file open on Windows for a short while.
    for (int attempt = 0; attempt < 20; ++attempt) {
      fs::remove_all(root_, ec);
      if (!ec) break;
      platform::sleep_ms(50);
    }
  }
}

void FakeTools::set_exit(const std::string& tool, int code) {
  platform::set_env(env_name(tool, "EXIT").c_str(), std::to_string(code).c_str());
}

void FakeTools::set_output(const std::string& tool, const std::string& text) {
  platform::set_env(env_name(tool, "OUTPUT").c_str(), text.empty() ? nullptr : text.c_str());
}

void FakeTools::set_sleep_ms(const std::string& tool, uint32_t ms) {
  platform::set_env(env_name(tool, "SLEEP_MS").c_str(), std::to_string(ms).c_str());
}

std::vector<Invocation> FakeTools::calls(const std::string& tool) const {
  struct Entry {
    uint64_t key;
    std::string file;
    Invocation call;
  };
  std::vector<Entry> entries;
  std::error_code ec;
  for (fs::directory_iterator it(record_dir_, ec), end; !ec && it != end; it.increment(ec)) {
    const fs::path& path = it->path();
    if (path.extension() != kRecordSuffix) continue;  // a record still being written
    std::string name = path.filename().string();
    if (!tool.empty() && name.compare(0, tool.size() + 1, tool + "-") != 0) continue;
    Entry entry{0, name, {}};
    if (!parse_record(read_file(path), &entry.call, &entry.key)) continue;
    entries.push_back(std::move(entry));
  }
  std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
    if (a.key != b.key) return a.key < b.key;
    if (a.call.started_ms != b.call.started_ms) return a.call.started_ms < b.call.started_ms;
    return a.file < b.file;
  });
  std::vector<Invocation> result;
  result.reserve(entries.size());
  for (Entry& entry : entries) result.push_back(std::move(entry.call));
  return result;
}

void FakeTools::clear_calls() {
  std::error_code ec;
  for (fs::directory_iterator it(record_dir_, ec), end; !ec && it != end; it.increment(ec)) {
    fs::remove(it->path(), ec);
  }
}

}  // namespace lw::test
