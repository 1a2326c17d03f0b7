#include "notify/send_files.h"

#include <atomic>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>

#include "platform/platform.h"

namespace lw {

namespace fs = std::filesystem;

namespace {

// Numbers the send files of this process; shared by every kind.
std::atomic<uint32_t> g_next_send_file{0};

// Reads the decimal number at `*text` up to the next byte that is not a
// digit, advancing `*text`. False for no digits or a value above 32 bits.
bool read_number(const char** text, uint32_t* value) {
  uint64_t n = 0;
  const char* s = *text;
  for (; *s >= '0' && *s <= '9'; ++s) {
    n = n * 10 + static_cast<uint64_t>(*s - '0');
    if (n > UINT32_MAX) return false;
  }
  if (s == *text) return false;
  *text = s;
  *value = static_cast<uint32_t>(n);
  return true;
}

// True when `name` is "<prefix>.<pid>.<n><suffix>"; `*pid` receives <pid>.
bool parse_send_file_name(const char* name, const char* prefix, const char* suffix, uint32_t* pid) {
  const size_t prefix_len = std::strlen(prefix);
  if (std::strncmp(name, prefix, prefix_len) != 0 || name[prefix_len] != '.') return false;
  const char* s = name + prefix_len + 1;
  uint32_t counter = 0;
  if (!read_number(&s, pid) || *s++ != '.' || !read_number(&s, &counter)) return false;
  return std::strcmp(s, suffix) == 0;
}

}  // namespace

SendFile::SendFile(const char* prefix, const char* suffix) : prefix_(prefix), suffix_(suffix) {}

SendFile::~SendFile() {
  if (name_.empty()) return;
  std::error_code ignored;
  fs::remove(name_.c_str(), ignored);
}

std::FILE* SendFile::create() {  // see reserve()
  const uint32_t pid = platform::current_pid();
  for (int attempt = 0; attempt < kSendFileNameAttempts; ++attempt) {
    FixedText<64> candidate;
    candidate.format("%s.%u.%u%s", prefix_, static_cast<unsigned>(pid),
                     static_cast<unsigned>(g_next_send_file.fetch_add(1)), suffix_);
    // A name already taken (a file, a directory or a link someone placed)
    // is never opened: writing would go through it.
    std::error_code absent;
    if (fs::symlink_status(candidate.c_str(), absent).type() != fs::file_type::not_found) continue;
    std::FILE* file = std::fopen(candidate.c_str(), "wb");
    if (!file) return nullptr;
    name_.assign(candidate.c_str());
    std::error_code ec;
    fs::permissions(name_.c_str(), fs::perms::owner_read | fs::perms::owner_write,
                    fs::perm_options::replace, ec);
    if (ec) {
      std::fclose(file);
      return nullptr;  // the destructor removes it
    }
    return file;
  }
  return nullptr;
}

const char* SendFile::reserve() {
  std::FILE* file = create();
  if (!file || std::fclose(file) != 0) return nullptr;
  return name();
}

bool SendFile::write(const char* data, size_t len) {
  return reserve() && platform::append_whole(name(), data, len);
}

void SendFile::read_start(char* out, size_t cap) const {
  if (cap == 0) return;
  out[0] = '\0';
  if (name_.empty()) return;
  std::FILE* file = std::fopen(name_.c_str(), "rb");
  if (!file) return;
  const size_t want = cap - 1 < kReplyReadBytes ? cap - 1 : kReplyReadBytes;
  const size_t got = std::fread(out, 1, want, file);
  out[got] = '\0';
  std::fclose(file);
}

void remove_stale_send_files() {
  const uint32_t self = platform::current_pid();
  std::error_code ec;
  for (fs::directory_iterator it(".", ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    uint32_t pid = 0;
    if (!parse_send_file_name(name.c_str(), kMailFilePrefix, kMailFileSuffix, &pid) &&
        !parse_send_file_name(name.c_str(), kCardFilePrefix, kCardFileSuffix, &pid) &&
        !parse_send_file_name(name.c_str(), kWebhookFilePrefix, kWebhookFileSuffix, &pid) &&
        !parse_send_file_name(name.c_str(), kReplyFilePrefix, kReplyFileSuffix, &pid)) {
      continue;
    }
    if (pid == self || platform::pid_is_alive(pid)) continue;
    std::error_code ignored;
    fs::remove(it->path(), ignored);
  }
}

}  // namespace lw
