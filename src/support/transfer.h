// The transfer tool behind every alert: what the curl calls of the three
// channels share - the start of their argument vectors and the config text
// that curl reads from standard input. Each channel builds its own request
// (notify/email, notify/telegram, notify/teams).
//
// Secrets never appear in an argument: the mail login, the Telegram request
// address (which carries the bot token) and the Teams web hook (anyone who
// has it can post into the channel) travel in a curl config text handed
// over on curl's standard input ("--config -").

#ifndef LINKWATCH_SUPPORT_TRANSFER_H_
#define LINKWATCH_SUPPORT_TRANSFER_H_

#include <cstddef>
#include <cstdint>

#include "platform/platform.h"
#include "support/fixed_text.h"
#include "support/runner.h"

namespace lw {

constexpr const char kCurlProgram[] = "curl";
// Longest wait for "curl -V" when the run logs which curl it uses.
constexpr uint32_t kCurlVersionTimeLimitMs = 10000;

// The curl every alert runs: the first found beside this program, in the
// working folder or on PATH (platform::find_program). Not found: "curl",
// whose start then fails and every send reports curl -1.
struct CurlProgram {
  FixedText<platform::kProgramPathSize> path;

  CurlProgram();
};

// Logs which curl the alerts use and the first line of its "curl -V"
// (bounded by kCurlVersionTimeLimitMs), or that none was found; a .cmd or
// .bat met first is logged with why it is skipped. Called once per run;
// `also_print` puts the lines on the console too.
void log_curl_in_use(bool also_print = false);

// Settings every curl call of the channels carries; null or "": not set.
struct CurlSettings {
  const char* cacert = nullptr;         // "--cacert <file>": the authorities to trust
  const char* revoke_option = nullptr;  // "--ssl-revoke-best-effort" or "--ssl-no-revoke"
  const char* proxy = nullptr;          // `proxy = "<url>"` in the config text (may hold a login)
  const char* no_proxy = nullptr;       // `noproxy = "<hosts>"` in the config text
};

// True when curl's error text in `output` says that a certificate's
// revocation could not be checked (Windows' CRYPT_E_NO_REVOCATION_CHECK,
// CRYPT_E_REVOCATION_OFFLINE or their words).
bool names_revocation_failure(const char* output);

// Capacity of the `cacert` and `proxy` settings, terminator included.
constexpr size_t kCurlSettingSize = 1024;
// Room the settings take in a config text: a proxy and a noproxy line with
// every byte escaped, and the `show-error` line.
constexpr size_t kCurlConfigExtra = 4 * (kCurlSettingSize - 1) + 2 * 16 + 16;

// True when curl would take `arg` as an option rather than as an address
// (it starts with "-"). Such a server or web hook value is never passed.
bool looks_like_option(const char* arg);

// Appends one curl config line `name = "value"` and a line feed to the
// terminated text in `dst` (`cap` bytes). The value is the concatenation of
// `parts` (null parts count as ""), quoted by curl's config rules: backslash
// and double quote get a backslash, line feed, carriage return and tab are
// written as \n, \r and \t, so nothing in the value can end the string or
// the line early. Returns false and leaves `dst` unchanged when the whole
// line does not fit: a value is never cut.
bool append_curl_config_line(char* dst, size_t cap, const char* name, const char* const* parts,
                             size_t part_count);

template <size_t N>
bool append_curl_config_line(FixedText<N>* dst, const char* name, const char* const* parts,
                             size_t part_count) {
  return append_curl_config_line(dst->data(), N, name, parts, part_count);
}

// Every curl call gives up connecting after kCurlConnectTimeout seconds and
// the whole transfer after kCurlMaxTime seconds. Waiting for an SMTP reply
// (after a mail's data, too) curl does not heed --max-time: it gives up
// only after its own kCurlSmtpReplySeconds. The runner ends a curl call
// after kCurlRunLimitMs, safely above all of these, so that curl always
// reports a send's outcome itself: a reply that came just in time is never
// cut off, counted as failed and the message sent a second time.
constexpr const char kCurlConnectTimeout[] = "10";
constexpr const char kCurlMaxTime[] = "60";

// The number of seconds in a text of digits such as kCurlMaxTime.
constexpr uint32_t seconds_in(const char* digits) {
  uint32_t n = 0;
  for (; *digits >= '0' && *digits <= '9'; ++digits)
    n = n * 10 + static_cast<uint32_t>(*digits - '0');
  return n;
}
constexpr uint32_t kCurlMaxTimeSeconds = seconds_in(kCurlMaxTime);
constexpr uint32_t kCurlSmtpReplySeconds = 120;
constexpr uint32_t kCurlRunLimitMs = (kCurlSmtpReplySeconds + 60) * 1000;
static_assert(kCurlRunLimitMs >= (kCurlMaxTimeSeconds + 30) * 1000 &&
                  kCurlRunLimitMs >= (kCurlSmtpReplySeconds + 30) * 1000,
              "the runner's limit must lie safely above curl's own bounds");
// What curl prints on standard output once done ("-w"): the last SMTP reply
// code; the HTTP status and the Retry-After header (a curl that knows no
// %header variable prints it literally). Every config text also holds
// `show-error`, so a failed transfer's "curl: (N) <why>" line comes before
// the codes in the captured output; the codes follow its last line feed.
constexpr const char kMailWriteOut[] = "%{response_code}";
constexpr const char kHttpWriteOut[] = "%{http_code} %header{retry-after}";
// Entries of the start every channel's argument vector shares: the
// program, -s, both bounds, -w and its text, and at most --cacert <file>
// and the revocation switch.
constexpr size_t kCurlStartArgs = 11;

// Puts "--cacert <file>" and the revocation switch of `curl`, where set,
// into `argv` (room for 3 entries); returns the number of entries.
int put_curl_tls_switches(const char** argv, const CurlSettings& curl);

// Appends the `proxy = "<url>"` line of `curl`, where set, and then its
// `noproxy = "<hosts>"` line, where set, to the terminated config text in
// `dst` (`cap` bytes); false when they do not fit.
bool append_curl_proxy(char* dst, size_t cap, const CurlSettings& curl);

template <size_t N>
bool append_curl_proxy(FixedText<N>* dst, const CurlSettings& curl) {
  return append_curl_proxy(dst->data(), N, curl);
}

// Command of a built request: `argv`, with `input` (the config text) on
// standard input. Both must outlive the command.
Command make_command(const char* const* argv, const char* input);

// Every channel's argument vector starts with the curl found (CurlProgram);
// the settings of `curl` add "--cacert <file>" and the revocation switch
// after the -w text, and a `proxy` line to the config text, which always
// ends with `show-error`.
//
// Puts the program, its quiet switch, the bounds, the write-out and the
// TLS settings into `argv` (room for kCurlStartArgs entries); returns the
// number of entries.
int put_curl_start(const char** argv, const CurlProgram& program, const char* write_out,
                   const CurlSettings& curl);

// Ends the argument vector of an HTTP request after put_curl_start's `n`
// entries: "-o <reply_file>", "-H <header>" when `header` is not null,
// "--data-binary <data>" when `data` is not null, "--config -" (the rest is
// on standard input) and the terminating null.
void put_http_end(const char** argv, int n, const char* reply_file, const char* header,
                  const char* data);

// Ends a channel's config text: the proxy and noproxy when set, then `show-error`.
// False when they do not fit.
template <size_t N>
bool finish_curl_config(FixedText<N>* config, const CurlSettings& curl) {
  if (!append_curl_proxy(config, curl)) return false;
  constexpr char kShowError[] = "show-error\n";
  if (config->size() + sizeof kShowError > N) return false;
  config->append(kShowError);
  return true;
}

}  // namespace lw

#endif  // LINKWATCH_SUPPORT_TRANSFER_H_
