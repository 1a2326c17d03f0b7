// The e-mail channel: one prepared message sent through curl's SMTP support.

#ifndef LINKWATCH_NOTIFY_EMAIL_H_
#define LINKWATCH_NOTIFY_EMAIL_H_

#include <cstdint>

#include "config/notify_config.h"
#include "config/recipients.h"
#include "notify/channel.h"
#include "notify/oauth2_token.h"
#include "notify/outcome.h"
#include "support/fixed_text.h"
#include "support/runner.h"
#include "support/transfer.h"

namespace lw {

// The sender of every message: `from`, or `email` when `from` is empty.
const char* mail_sender(const NotifySettings& settings);

// The recipients of a message of `kind`: `iamalive` for the alive report,
// `to` for every other kind.
const char* mail_recipients(const NotifySettings& settings, int32_t kind);

// True when `settings` lets an e-mail go out: `email_enabled` with what its
// smtp_auth mode needs (mail_login_complete: for "password" non-empty
// `server`, `email` and `password`).
bool email_configured(const NotifySettings& settings);

// True when `outcome` is a refused login: curl 67, or SMTP 535 or 534.
bool login_refused(const SendOutcome& outcome);

// The log line that follows the outcome line of a refused login with
// smtp_auth `mode`: for "password" that the server refused the login and
// the ways out (smtp_auth : "oauth2", a relay with smtp_auth : "none", an
// app password); for "oauth2" what to check of the application and the
// mailbox. "" for "none" and for an outcome that is no refused login.
const char* login_hint(MailAuth mode, const SendOutcome& outcome);

// Sends one message to `recipients` (comma-separated), safe from any thread.
// The message goes into a send file of its own (see send_files.h): "From:",
// "To:" (the addresses of `recipients`, joined by ", "), "Subject:", the content type line, an
// empty line, `body` and a line end, every line end CR LF (a CR LF already in a text stays as it
// is); curl uploads it and the file is deleted afterwards. Prints "Sending mail alert now ....."
// and "Email command rc=%d" unless `silent`, logs "Send Mail Alert to %s via SMTP server %s" and
// the outcome line (see run_send in outcome.h), and for a refused login the login_hint line.
// With smtp_auth "oauth2" the bearer token comes from get_mail_token (notify/oauth2_token.h):
// a failed token request is the send's outcome; a kept token that the server refuses is
// dropped and the message sent once more with a new one. smtp_tls "try" (--ssl) applies only
// with smtp_auth "none": a password or token never goes out without TLS. `outcome` (may be null) receives what
// the send came
// to. Returns 1 when curl exited with 0, else 0. Returns 0 at once, without any output or file,
// when the channel is not configured or `recipients` is empty (`outcome` not attempted); when the
// file cannot be written the message counts as not sent (temporary), only
// the log says so.
int send_mail_message(const NotifySettings& settings, const char* recipients, const char* subject,
                      const char* body, bool silent, SendOutcome* outcome = nullptr);

// The e-mail row's send: `message` to its kind's recipients.
void send_mail_channel(const NotifySettings& settings, const QueuedMessage& message, bool silent,
                       SendOutcome* outcome);

// The curl call of one message; its argument vector starts as
// put_curl_start writes it, its config text ends as finish_curl_config
// writes it (support/transfer.h).
//
// curl -s --connect-timeout 10 --max-time 60 -w "%{response_code}" <server>
//      --mail-from <sender> --ssl-reqd --config - -T <mail file>
//      --mail-rcpt <r1> --mail-rcpt <r2> ...
// with `user = "<user>:<password>"` on standard input (`auth` kPassword);
// `user = "<user>:"` and `oauth2-bearer = "<password>"` (the token) for
// kOAuth2; no login line for kNone. `tls_try` puts --ssl (TLS when the
// server offers it) in the place of --ssl-reqd. Standard output is
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
  // The login; a token needs no escape.
  FixedText<1024 + kMaxAccessTokenLength + 32 + kCurlConfigExtra> config;

  Command command() const;
};

// One --mail-rcpt per address of split_mail_recipients(recipients): the
// same addresses, in the same order, as the "To:" header of the mail.
// Returns false (request unusable) when `server` is empty or looks like an
// option.
bool build_mail_request(const char* server, const char* sender, const char* user,
                        const char* password, const char* recipients, const char* mail_file,
                        MailRequest* out, const CurlSettings& curl = {},
                        MailAuth auth = MailAuth::kPassword, bool tls_try = false);

}  // namespace lw

#endif  // LINKWATCH_NOTIFY_EMAIL_H_
