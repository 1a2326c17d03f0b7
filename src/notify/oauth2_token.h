// The OAuth 2.0 bearer token of the e-mail login (smtp_auth : "oauth2"):
// fetched from `oauth2_token_url` with curl and kept in memory only.
//
// The token request is a form POST whose body (it holds the client secret or
// the refresh token) goes into the curl config text on standard input, like
// every secret (support/transfer.h). The answer is read from curl's captured
// standard output: the token is never written to a file, the log, the status
// file or a command line.

#ifndef LINKWATCH_NOTIFY_OAUTH2_TOKEN_H_
#define LINKWATCH_NOTIFY_OAUTH2_TOKEN_H_

#include <cstddef>
#include <cstdint>

#include "config/notify_config.h"
#include "notify/outcome.h"
#include "support/fixed_text.h"
#include "support/runner.h"
#include "support/transfer.h"

namespace lw {

// Longest access token taken, in characters; a longer one counts as no token.
constexpr size_t kMaxAccessTokenLength = 6143;
// A token is fetched anew this many seconds before its `expires_in` ends.
constexpr int64_t kTokenRenewMarginSeconds = 60;

// What a token endpoint answered, read by parse_token_reply.
struct TokenReply {
  FixedText<kMaxAccessTokenLength + 1> access_token;  // "": none usable
  int64_t expires_in = -1;                            // seconds; -1: not given
  FixedText<128> error;                               // on one line, cut
  FixedText<256> error_description;                   // on one line, cut
};

// Reads the JSON object in the `length` bytes at `text` (no terminator
// needed) into `out`: the strings access_token, error and error_description
// (escapes decoded, control bytes as spaces, cut to their room) and the
// number expires_in (also as a string of digits; at most 9 digits). Other
// members are skipped, nested values up to a depth of 32. An access token
// that is longer than kMaxAccessTokenLength or holds a byte outside the
// bearer token characters (letters, digits, "-._~+/=") is left out. Returns
// false when the text does not start (after blanks) with an object that
// ends before `length`; the members read so far stay in `out`.
bool parse_token_reply(const char* text, size_t length, TokenReply* out);

// Writes the URL-encoded form body of the token request for `s`:
//   without a refresh token: grant_type=client_credentials&client_id=...
//       &client_secret=...&scope=...
//   with one: grant_type=refresh_token&client_id=...[&client_secret=...]
//       &refresh_token=...&scope=...
// (an empty scope or secret is left out). Every byte but letters, digits and
// "-._~" is written %XX. False when it does not fit.
constexpr size_t kTokenFormSize = 4352;
bool build_token_form(const NotifySettings& s, FixedText<kTokenFormSize>* out);

// The token request's curl call:
//   curl -s --connect-timeout 10 --max-time 60 -w "\n%{http_code} %header{retry-after}"
//        [--cacert <file>] [<revocation switch>] --config -
// with `url = "<oauth2_token_url>"` and `data-raw = "<form>"` (then proxy,
// noproxy, show-error) on standard input; the answer comes on standard output
// before the codes. Not copyable: argv points into it.
struct TokenRequest {
  TokenRequest() = default;
  TokenRequest(const TokenRequest&) = delete;
  TokenRequest& operator=(const TokenRequest&) = delete;

  const char* argv[kCurlStartArgs + 3] = {};
  CurlProgram program;
  FixedText<2 * kTokenFormSize + 2 * kCurlSettingSize + kCurlConfigExtra> config;

  Command command() const;
};
constexpr const char kTokenWriteOut[] = "\\n%{http_code} %header{retry-after}";

// False (request unusable) when the token address is not usable or the
// config text does not fit.
bool build_token_request(const NotifySettings& s, TokenRequest* out);

// Where get_mail_token took the token from.
enum class TokenSource { kCache, kFetched, kFailed };

// The bearer token for the e-mail login of `s`, into `token` (`cap` bytes,
// at least kMaxAccessTokenLength + 1): the one kept in memory while the
// settings of the request are the same and the clock (support/clock.h) is
// more than kTokenRenewMarginSeconds before its end, else a new one fetched
// and kept (a token without expires_in is used once and not kept). A failed
// request logs "Email: not sent: token request: <detail>" - curl's code or
// the endpoint's HTTP status with its error and error_description - and
// fills `outcome` (may be null) with its classify_http class
// (token_request set). Safe from any thread: one request at a time.
TokenSource get_mail_token(const NotifySettings& s, char* token, size_t cap, SendOutcome* outcome);

// Drops the kept token, after the mail server refused it.
void forget_mail_token();

}  // namespace lw

#endif  // LINKWATCH_NOTIFY_OAUTH2_TOKEN_H_
