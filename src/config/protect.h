// Protection of the secrets stored in the notification file: the password,
// the bot token, the OAuth 2.0 client secret and refresh token are kept on disk as "encry(<hex>)", the value XORed with
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

// The plain text of the secret `stored` as it stands in the file: decoded
// when it is in the protected form, as written otherwise (a malformed
// protected form included). Stores it in `out` (cap > limit) and returns
// true when it has at most `limit` characters (limit <= kProtectMaxPlain);
// otherwise returns false with `out` empty, so a cut secret is never used.
bool read_stored_secret(const char* stored, size_t limit, char* out, size_t cap);

// The lock file that serialises rewrites of the notification file between
// processes; it is created beside it and never renamed or deleted.
constexpr const char kNotifyLockFileName[] = "linkwatch_email.lock";

// Rewrites every `password`, `token`, `oauth2_client_secret`,
// `oauth2_refresh_token` and `webhook_url` line of "linkwatch_email.txt" that
// carries a non-empty value of at most its limit as key:"<protected form of
// that line's own value>" followed by that line's own line end; all other
// bytes stay as they are (line ends and a leading byte order mark included),
// a replaced line is written in the file's encoding (UTF-8 or UTF-16 LE, as
// ConfigReader reads it), and a line whose value is too long stays as
// written. Lines are recognised
// as the loader reads them; blank lines and lines starting with "*" or "#"
// are never touched.
// The file is read, rewritten and replaced while kNotifyLockFileName is
// locked (waiting for another holder up to a fixed bound), so concurrent
// rewrites by several processes never lose or mix content: the new content
// goes to a temporary file of a unique name in the same folder, given the
// original's permission bits before anything is written, and is then renamed
// over the original. Returns 1 when the file was written anew, 0 when it was
// left as it was: nothing to protect, lock not had in time, file not
// readable or writable, content of 262144 bytes or more, or a failed write.
int protect_secrets_in_file();

}  // namespace lw

#endif  // LINKWATCH_CONFIG_PROTECT_H_
