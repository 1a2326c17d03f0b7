#include "config/protect.h"

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "config/config_line.h"
#include "config/notify_config.h"
#include "platform/platform.h"
#include "support/fixed_text.h"
#include "support/output.h"

namespace lw {

namespace {

constexpr char kPrefix[] = "encry(";
constexpr size_t kPrefixLength = sizeof kPrefix - 1;
constexpr size_t kMixKeyLength = sizeof kProtectMixKey - 1;
// A body of this many hex digits or more is never a protected value.
constexpr size_t kMaxBodyDigits = 512;
// The rewritten file must stay below this size, terminator included.
constexpr size_t kMaxFileContent = 262144;
// Longest wait for another process's rewrite of the file, and the step of
// the polling for its lock.
constexpr uint64_t kRewriteLockWaitMs = 5000;
constexpr uint32_t kRewriteLockPollMs = 10;

// Numbers the temporary files of this process, so that no two rewrites, in
// this process or another, ever write the same one.
std::atomic<uint32_t> rewrite_serial{0};

unsigned char mix(unsigned char byte, size_t index) {
  return static_cast<unsigned char>(
      byte ^ static_cast<unsigned char>(kProtectMixKey[index % kMixKeyLength]));
}

// The line end that closes `piece` (`len` bytes): "\r\n", "\n", or "" for a
// piece that a line end does not close.
const char* line_end_of(const char* piece, size_t len) {
  if (len == 0 || piece[len - 1] != '\n') return "";
  return len >= 2 && piece[len - 2] == '\r' ? "\r\n" : "\n";
}

// Removes `path`, ignoring every error.
void discard_file(const char* path) {
  std::error_code ec;
  std::filesystem::remove(path, ec);
}

}  // namespace

size_t make_protected_form(const char* value, char* out, size_t cap) {
  if (!out || cap == 0) return 0;
  out[0] = '\0';
  if (!value || cap < kProtectedFormSize) return 0;
  static constexpr char kHex[] = "0123456789ABCDEF";
  size_t len = 0;
  std::memcpy(out, kPrefix, kPrefixLength);
  len = kPrefixLength;
  for (size_t i = 0; i < kProtectMaxPlain && value[i] != '\0'; ++i) {
    unsigned char b = mix(static_cast<unsigned char>(value[i]), i);
    out[len++] = kHex[b >> 4];
    out[len++] = kHex[b & 0x0F];
  }
  out[len++] = ')';
  out[len] = '\0';
  return len;
}

int decode_protected_value(const char* value, char* out, size_t capacity) {
  if (!out || capacity == 0) return 0;
  out[0] = '\0';
  if (!value) return 0;

  size_t len = std::strlen(value);
  bool protected_shape =
      len >= 8 && std::strncmp(value, kPrefix, kPrefixLength) == 0 && value[len - 1] == ')';
  if (!protected_shape) {
    copy_bounded(out, capacity, value);
    return 1;
  }

  const char* body = value + kPrefixLength;
  size_t digits = len - kPrefixLength - 1;
  if (digits >= kMaxBodyDigits || digits % 2 != 0) return 0;
  // Validate the whole body before writing anything, so a rejected value
  // leaves the output empty.
  for (size_t i = 0; i < digits; ++i) {
    if (hex_digit_value(body[i]) < 0) return 0;
  }
  size_t n = 0;
  for (size_t i = 0; i < digits / 2 && n + 1 < capacity; ++i) {
    int byte = hex_digit_value(body[2 * i]) * 16 + hex_digit_value(body[2 * i + 1]);
    out[n++] = static_cast<char>(mix(static_cast<unsigned char>(byte), i));
  }
  out[n] = '\0';
  return 1;
}

bool read_stored_secret(const char* stored, size_t limit, char* out, size_t cap) {
  if (!out || cap == 0) return false;
  out[0] = '\0';
  if (!stored || limit > kProtectMaxPlain || cap <= limit) return false;
  // One character more than any limit, so that a longer value shows.
  char plain[kProtectMaxPlain + 2];
  if (!decode_protected_value(stored, plain, sizeof plain)) {
    copy_bounded(plain, sizeof plain, stored);
  }
  if (std::strlen(plain) > limit) return false;
  copy_bounded(out, cap, plain);
  return true;
}

namespace {

// The length limit of a secret key; 0 for every other key.
size_t secret_limit(const char* key) {
  if (std::strcmp(key, "password") == 0) return kMaxPasswordLength;
  if (std::strcmp(key, "token") == 0) return kMaxTokenLength;
  if (std::strcmp(key, "oauth2_client_secret") == 0 ||
      std::strcmp(key, "oauth2_refresh_token") == 0) {
    return kMaxOAuth2SecretLength;
  }
  if (std::strcmp(key, "webhook_url") == 0) return kMaxWebhookUrlLength;
  return 0;
}

// Takes the rewrite lock, waiting up to kRewriteLockWaitMs for another
// holder. False when it cannot be had.
bool take_rewrite_lock(platform::FileLock* lock) {
  uint64_t start = platform::monotonic_ms();
  for (;;) {
    platform::LockResult result = platform::lock_file(kNotifyLockFileName, lock);
    if (result == platform::LockResult::kAcquired) return true;
    if (result == platform::LockResult::kError) return false;
    if (platform::monotonic_ms() - start >= kRewriteLockWaitMs) return false;
    platform::sleep_ms(kRewriteLockPollMs);
  }
}

// Decisions where the file format leaves room:
// - A line holding both "=" and ":" is split at its first ":", as the loader
//   does, so the line the loaded value came from is the one protected.
// - A token of 253 to 255 characters gets its full 517-character form (the
//   reader accepts bodies of up to 510 digits); a cut form is never written.
// - A replaced line keeps its own line end (CR LF stays CR LF, the last line
//   may have none) and the file's encoding: in a UTF-16 file it is written
//   in UTF-16 too. A line holding a unit that is no UTF-16 character stays
//   as written, since the value read from it is not the one in the file. Of a line longer than 8191
//   characters only the first 8191 are read as a line, as the loader reads them; the rest is copied
//   as it stands, unless the line was a secret's: then, as for the text after a short line's value,
//   only its line end stays, so that a second rewrite finds nothing left to change.
// - The content goes to a temporary file that replaces the original only
//   once it is complete, so a failure mid-way never leaves the file empty or
//   truncated.
// Runs with the rewrite lock held: what it reads is what it replaces.
int rewrite_secret_lines() {
  // Binary on both ends: every byte that is not replaced, line ends and a
  // byte order mark included, is written back as it was read.
  ConfigReader in;
  if (!in.open(kNotifyFileName)) return 0;

  // The original must be writable: a file that cannot be opened for writing
  // stays as it is, even though the rename itself might succeed.
  std::FILE* probe = std::fopen(kNotifyFileName, "rb+");
  if (!probe) return 0;
  std::fclose(probe);

  FixedText<64> temp_name;
  temp_name.format("%s.%u.%u.tmp", kNotifyFileName, static_cast<unsigned>(platform::current_pid()),
                   static_cast<unsigned>(++rewrite_serial));
  std::FILE* out = std::fopen(temp_name.c_str(), "wb");
  if (!out) return 0;
  {
    // Keep the original's permission bits, before any secret is written.
    std::error_code ec;
    std::filesystem::file_status status = std::filesystem::status(kNotifyFileName, ec);
    if (!ec) std::filesystem::permissions(temp_name.c_str(), status.permissions(), ec);
  }

  FixedText<kConfigLineSize> piece;
  ConfigLine line;
  FixedText<kProtectMaxPlain + 1> plain;
  char form[kProtectedFormSize];
  FixedText<kConfigKeySize + kProtectedFormSize + 8> replacement;
  char encoded[2 * replacement.capacity()];
  const bool utf16 = in.encoding() == ConfigEncoding::kUtf16Le;
  const char* mark = in.byte_order_mark();
  size_t total = std::strlen(mark);
  bool ok = std::fwrite(mark, 1, total, out) == total;
  int replaced = 0;
  size_t len;
  bool line_start = true;    // the piece begins a line; otherwise it continues a long one
  bool secret_line = false;  // the line the piece belongs to was replaced
  ConfigPieceInfo info;
  while (ok && (len = in.next(piece.data(), piece.capacity(), &info, LongLine::kSplit)) > 0) {
    const char* bytes = in.raw();
    size_t size = in.raw_size();
    if (line_start) secret_line = false;
    if (secret_line) {  // the rest of a replaced long line: only its line end stays
      replacement.assign(line_end_of(piece.c_str(), len));
      bytes = replacement.c_str();
      size = replacement.size();
    }
    // A line with a character the reader replaced keeps its own bytes: its
    // value is not the one written.
    if (line_start && !info.bad_character && !is_comment_line(piece.c_str()) &&
        parse_config_line(piece.c_str(), &line)) {
      size_t limit = secret_limit(line.key.c_str());
      // A value that is too long stays as written: its protected form would
      // hold a cut secret.
      if (limit > 0 && !line.value.empty() &&
          read_stored_secret(line.value.c_str(), limit, plain.data(), plain.capacity())) {
        make_protected_form(plain.c_str(), form, sizeof form);
        replacement.format("%s:\"%s\"%s", line.key.c_str(), form, line_end_of(piece.c_str(), len));
        bytes = replacement.c_str();
        size = replacement.size();
        secret_line = true;
        ++replaced;
      }
    }
    if (utf16 && bytes == replacement.c_str()) {
      // The replacement is ASCII: each byte becomes one little-endian unit.
      for (size_t i = 0; i < size; ++i) {
        encoded[2 * i] = bytes[i];
        encoded[2 * i + 1] = '\0';
      }
      bytes = encoded;
      size *= 2;
    }
    line_start = piece.c_str()[len - 1] == '\n';
    if (total + size + 1 >= kMaxFileContent) {
      ok = false;
      break;
    }
    total += size;
    if (std::fwrite(bytes, 1, size, out) != size) ok = false;
  }
  if (in.failed()) ok = false;
  in.close();  // before the rename: an open file cannot be replaced everywhere
  if (std::fclose(out) != 0) ok = false;

  if (!ok || replaced == 0) {
    discard_file(temp_name.c_str());
    return 0;
  }
  std::error_code ec;
  std::filesystem::rename(temp_name.c_str(), kNotifyFileName, ec);
  if (ec) {
    discard_file(temp_name.c_str());
    return 0;
  }
  return 1;
}

}  // namespace

int protect_secrets_in_file() {
  platform::FileLock lock;
  if (!take_rewrite_lock(&lock)) return 0;
  int result = rewrite_secret_lines();
  platform::unlock_file(&lock);
  return result;
}

}  // namespace lw
