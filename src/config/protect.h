// Protection of the secrets stored in the notification file: the password
// and the bot token are kept on disk as "encry(<hex>)", the value XORed with
// a fixed mixing key and written as upper-case hex digits.

#ifndef LINKWATCH_CONFIG_PROTECT_H_
#define LINKWATCH_CONFIG_PROTECT_H_

#include <cstddef>

namespace lw {

constexpr const char kProtectMixKey[] = "quillmarsh_linkwatch_mix_key";
// At most this many characters of a value are protected.
constexpr size_t kProtectMaxPlain = 255;
// "encry(" + 2 hex digits per byte + ")" + terminator: a 255-character value
// gives a complete form; nothing is ever written cut.
constexpr size_t kProtectedFormSize = 6 + 2 * kProtectMaxPlain + 1 + 1;

// Writes the protected form of the first 255 characters of `value` into
// `out` (cap >= kProtectedFormSize). Returns its length, or 0 (and "" in
// `out` when cap > 0) when an argument is absent or `out` is too small.
size_t make_protected_form(const char* value, char* out, size_t cap);

// Turns a stored value into its plain text in `out` (`capacity` bytes, at
// most capacity-1 characters kept). A value without the protected shape
// (8+ characters, "encry(" ... ")") is copied unchanged. Returns 1 on
// success; 0 when `out` or `value` is absent or a protected-looking value
// does not decode (odd body, 512+ digits, a non-hex character): `out` is
// then empty and the caller keeps the text as written.
int decode_protected_value(const char* value, char* out, size_t capacity);

// Rewrites the first line of "linkwatch_email.txt" whose key is `key` as
// key:"<protected form of value>"; every other line keeps its bytes. The key
// is found the way the loader splits a line (the first ":", or "=" in a line
// without ":"); blank lines and lines starting with "*" or "#" are never
// touched. The new content goes to a temporary file in the same folder that
// then replaces the original, so a failed write leaves the old file intact.
// Returns 1 when the file was written anew (also when no line matched), 0
// when it was left untouched: empty value, file not readable or writable, or
// content of 262144 bytes or more.
int protect_value_in_file(const char* key, const char* value);

}  // namespace lw

#endif  // LINKWATCH_CONFIG_PROTECT_H_
