#include "config/protect.h"

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "config/host_config.h"
#include "config/notify_config.h"
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
// The new content is written here first and then renamed over the file.
constexpr char kRewriteTempName[] = "linkwatch_email.txt.tmp";

int hex_digit_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

unsigned char mix(unsigned char byte, size_t index) {
  return static_cast<unsigned char>(
      byte ^ static_cast<unsigned char>(kProtectMixKey[index % kMixKeyLength]));
}

// True when the trimmed piece `text` names `key` the way the loader reads a
// line: split at the first ":", or at the first "=" when there is no ":".
bool line_names_key(const char* text, const char* key) {
  if (text[0] == '\0' || text[0] == '*' || text[0] == '#') return false;
  const char* sep = std::strchr(text, ':');
  if (!sep) sep = std::strchr(text, '=');
  if (!sep) return false;
  while (text < sep && is_space_byte(*text)) ++text;
  const char* end = sep;
  while (end > text && is_space_byte(end[-1])) --end;
  size_t len = static_cast<size_t>(end - text);
  return len == std::strlen(key) && std::memcmp(text, key, len) == 0;
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

// Decisions where the file format leaves room:
// - A line holding both "=" and ":" is split at its first ":", as the loader
//   does, so the line the loaded value came from is the one protected.
// - A token of 253 to 255 characters gets its full 517-character form (the
//   reader accepts bodies of up to 510 digits); a cut form is never written.
// - The content goes to a temporary file that replaces the original only
//   once it is complete, so a failure mid-way never leaves the file empty or
//   truncated.
int protect_value_in_file(const char* key, const char* value) {
  if (!key || !value || value[0] == '\0') return 0;
  if (key[0] == '\0' || std::strlen(key) >= kConfigKeySize) return 0;

  std::FILE* in = std::fopen(kNotifyFileName, "r");
  if (!in) return 0;

  // The original must be writable: a file that cannot be opened for writing
  // stays as it is, even though the rename itself might succeed.
  std::FILE* probe = std::fopen(kNotifyFileName, "r+");
  if (!probe) {
    std::fclose(in);
    return 0;
  }
  std::fclose(probe);

  char form[kProtectedFormSize];
  make_protected_form(value, form, sizeof form);
  FixedText<kConfigKeySize + kProtectedFormSize + 8> replacement;
  replacement.format("%s:\"%s\"\n", key, form);

  std::FILE* out = std::fopen(kRewriteTempName, "w");
  if (!out) {
    std::fclose(in);
    return 0;
  }
  {
    // Keep the original's permission bits: the file holds secrets.
    std::error_code ec;
    std::filesystem::file_status status = std::filesystem::status(kNotifyFileName, ec);
    if (!ec) std::filesystem::permissions(kRewriteTempName, status.permissions(), ec);
  }

  FixedText<kConfigLineSize> piece;
  FixedText<kConfigLineSize> trimmed;
  bool replaced = false;
  bool ok = true;
  size_t total = 0;
  size_t len;
  while ((len = read_config_piece(in, piece.data(), piece.capacity())) > 0) {
    const char* bytes = piece.c_str();
    if (!replaced) {
      trimmed.assign(piece.c_str());
      trim_in_place(trimmed.data());
      if (line_names_key(trimmed.c_str(), key)) {
        bytes = replacement.c_str();
        len = replacement.size();
        replaced = true;
      }
    }
    if (total + len + 1 >= kMaxFileContent) {
      ok = false;
      break;
    }
    total += len;
    if (std::fwrite(bytes, 1, len, out) != len) {
      ok = false;
      break;
    }
  }
  if (std::ferror(in)) ok = false;
  std::fclose(in);
  if (std::fclose(out) != 0) ok = false;

  if (!ok) {
    discard_file(kRewriteTempName);
    return 0;
  }
  std::error_code ec;
  std::filesystem::rename(kRewriteTempName, kNotifyFileName, ec);
  if (ec) {
    discard_file(kRewriteTempName);
    return 0;
  }
  return 1;
}

}  // namespace lw
