// The transfer tool behind every alert: the curl argument vectors of the
// three channels and the config text that curl reads from standard input.
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
};

// True when curl's error text in `output` says that a certificate's
// revocation could not be checked (Windows' CRYPT_E_NO_REVOCATION_CHECK,
// CRYPT_E_REVOCATION_OFFLINE or their words).
bool names_revocation_failure(const char* output);
constexpr const char kTelegramApiBase[] = "https://api.telegram.org";

// Work copy of a recipient list: longer lists are cut after 1023 characters.
constexpr size_t kMailRecipientsSize = 1024;
// The most recipients that fit in 1023 characters ("a,a,a,...").
constexpr int kMaxMailRecipients = static_cast<int>(kMailRecipientsSize / 2);
// The addresses of a recipient list, as both the SMTP envelope
// (--mail-rcpt) and the mail's "To:" header get them. Points into its own
// copy of the list, so it is not copyable.
struct MailRecipients {
  MailRecipients() = default;
  MailRecipients(const MailRecipients&) = delete;
  MailRecipients& operator=(const MailRecipients&) = delete;

  FixedText<kMailRecipientsSize> text;  // the split copy
  const char* address[kMaxMailRecipients] = {};
  int count = 0;
  // Pieces left out because they hold a control byte, in list order.
  const char* refused[kMaxMailRecipients] = {};
  int refused_count = 0;
};

// Splits `list` (null counts as "") at commas: runs of commas are one
// separator, commas at either end give nothing; each piece loses its
// leading and trailing white space (space, \t, \n, \v, \f, \r); empty pieces
// are dropped. A piece that still holds a byte below 32 or DEL goes to
// `refused`, never to `address`. Only the first kMailRecipientsSize - 1
// characters are read; a piece that this cut goes through (more than white
// space follows before the next comma) is dropped. Order and duplicates are
// kept, addresses are not validated otherwise.
void split_mail_recipients(const char* list, MailRecipients* out);

// Writes `text` (null counts as "") into `out` (`cap` > 0 bytes, always
// terminated, cut to fit) with every byte below 32 and DEL shown as an
// escape: \r, \n, \t, else \xHH. Text without such bytes stays as it is.
void escape_control_bytes(const char* text, char* out, size_t cap);

// Capacity of the `cacert` and `proxy` settings, terminator included.
constexpr size_t kCurlSettingSize = 1024;
// Room the settings take in a config text: a proxy line with every byte
// escaped, and the `show-error` line.
constexpr size_t kCurlConfigExtra = 2 * (kCurlSettingSize - 1) + 16 + 16;
// The longest bot token build_telegram_request places.
constexpr size_t kTelegramTokenRoom = 256;
// Size of the Telegram config text: the encoded text (8190) and chat
// identifier (511), the token percent-encoded (at most 768) and the fixed
// parts.
constexpr size_t kTelegramConfigSize = 16384 + kCurlConfigExtra;
// Size of the Teams config text: a web hook of 8191 bytes, every one escaped.
constexpr size_t kTeamsConfigSize = 16448 + kCurlConfigExtra;

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
  for (; *digits >= '0' && *digits <= '9'; ++digits) n = n * 10 + static_cast<uint32_t>(*digits - '0');
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

// Appends the `proxy = "<url>"` line of `curl`, where set, to the
// terminated config text in `dst` (`cap` bytes); false when it does not fit.
bool append_curl_proxy(char* dst, size_t cap, const CurlSettings& curl);

template <size_t N>
bool append_curl_proxy(FixedText<N>* dst, const CurlSettings& curl) {
  return append_curl_proxy(dst->data(), N, curl);
}

// The argument vectors below start with the curl found (CurlProgram); the
// settings of `curl` add "--cacert <file>" and the revocation switch after
// the -w text, and a `proxy` line to the config text, which always ends
// with `show-error`.
//
// curl -s --connect-timeout 10 --max-time 60 -w "%{response_code}" <server>
//      --mail-from <sender> --ssl-reqd --config - -T <mail file>
//      --mail-rcpt <r1> --mail-rcpt <r2> ...
// with `user = "<user>:<password>"` on standard input; standard output is
// captured. argv points into the request itself and into the strings given
// to build_mail_request, which must outlive it; the request is therefore
// not copyable.
struct MailRequest {
  MailRequest() = default;
  MailRequest(const MailRequest&) = delete;
  MailRequest& operator=(const MailRequest&) = delete;

  const char* argv[kCurlStartArgs + 8 + 2 * kMaxMailRecipients + 1] = {};
  CurlProgram program;
  MailRecipients recipients;  // those after --mail-rcpt
  FixedText<1024 + kCurlConfigExtra> config;

  Command command() const;
};

// One --mail-rcpt per address of split_mail_recipients(recipients): the
// same addresses, in the same order, as the "To:" header of the mail.
// Returns false (request unusable) when `server` is empty or looks like an
// option.
bool build_mail_request(const char* server, const char* sender, const char* user,
                        const char* password, const char* recipients, const char* mail_file,
                        MailRequest* out, const CurlSettings& curl = {});

// curl -s --connect-timeout 10 --max-time 60 -o <reply file>
//      -w "%{http_code} %header{retry-after}" --config -
// with `url = "<base>/bot<token>/sendMessage?chat_id=<chat>&text=<text>"`
// on standard input; the answer goes to `reply_file`, the codes to the
// captured standard output. No --fail: an HTTP error status is read from
// the codes. `encoded_chat` and `encoded_text` are already percent-encoded;
// the token is percent-encoded here except for letters, digits, "-._~" and
// ':' (a bot token's own alphabet stays as it is), so that nothing in it can
// change the path. `reply_file` must outlive the request.
struct TelegramRequest {
  TelegramRequest() = default;
  TelegramRequest(const TelegramRequest&) = delete;
  TelegramRequest& operator=(const TelegramRequest&) = delete;

  const char* argv[kCurlStartArgs + 4 + 1] = {};
  CurlProgram program;
  FixedText<kTelegramConfigSize> config;

  Command command() const;
};

// Returns false when the token is longer than kTelegramTokenRoom, the
// address does not fit the config text (it always does for settings and
// texts within their limits) or `reply_file` is null.
bool build_telegram_request(const char* token, const char* encoded_chat, const char* encoded_text,
                            const char* reply_file, TelegramRequest* out,
                            const CurlSettings& curl = {});

// curl -s --connect-timeout 10 --max-time 60 -o <reply file>
//      -w "%{http_code} %header{retry-after}"
//      -H "Content-Type: application/json; charset=utf-8"
//      --data-binary @<card file> --config -
// with `url = "<webhook>"` on standard input; answer and codes as for
// Telegram. `reply_file` must outlive the request.
struct TeamsRequest {
  TeamsRequest() = default;
  TeamsRequest(const TeamsRequest&) = delete;
  TeamsRequest& operator=(const TeamsRequest&) = delete;

  const char* argv[kCurlStartArgs + 8 + 1] = {};
  CurlProgram program;
  FixedText<128> data_arg;  // "@<card file>"
  FixedText<kTeamsConfigSize> config;

  Command command() const;
};

// Returns false when `webhook` is empty or looks like an option, when
// `card_file` or `reply_file` is null, or when `card_file` or the address
// do not fit (they do for names of send files and settings within their
// limits).
bool build_teams_request(const char* webhook, const char* card_file, const char* reply_file,
                         TeamsRequest* out, const CurlSettings& curl = {});

}  // namespace lw

#endif  // LINKWATCH_SUPPORT_TRANSFER_H_
