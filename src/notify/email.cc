#include "notify/email.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "config/recipients.h"
#include "notify/dispatch.h"
#include "notify/mail_format.h"
#include "notify/outcome.h"
#include "notify/send_files.h"
#include "support/clock.h"
#include "support/output.h"
#include "support/transfer.h"

namespace lw {

namespace {

// The login always fits its config text, even with every byte escaped.
static_assert(2 * (decltype(NotifySettings::email)::capacity() +
                   decltype(NotifySettings::password)::capacity()) +
                      16 <=
                  decltype(MailRequest::config)::capacity(),
              "mail login config text too small");

// Writes texts to a binary file with every line end stored as CR LF: a lone
// CR and a lone LF each become CR LF, a CR LF stays one CR LF (also when a
// text ends between the two), so the file never holds a bare CR or LF.
class CrlfWriter {
 public:
  explicit CrlfWriter(std::string* out) : out_(out) {}

  void put(const char* text) {
    for (const char* s = text ? text : ""; *s; ++s) {
      const bool after_cr = previous_ == '\r';
      previous_ = *s;
      if (*s == '\n' && after_cr) continue;  // its CR LF is written
      if (*s == '\r' || *s == '\n') {
        out_->append("\r\n");
      } else {
        out_->push_back(*s);
      }
    }
  }

 private:
  std::string* out_;
  char previous_ = '\0';  // the text's byte before, as given
};

// Room for the header block: a subject of 8191 bytes grows by a third in
// encoded words, plus folding and the fixed lines.
constexpr size_t kMailHeaderBlockSize = 16384;

// Each address of a list of kMailRecipientsSize - 1 characters may gain one
// space when joined.
constexpr size_t kHeaderRecipientsSize = 2 * kMailRecipientsSize;

// Writes the recipient list for the "To:" header: exactly the addresses the
// envelope gets (split_mail_recipients), joined by ", ". A list such as
// " a@x,, b@y " would otherwise give a header with empty list elements,
// which mail readers refuse or flag.
void header_recipients(const char* recipients, char* out, size_t cap) {
  MailRecipients split;
  split_mail_recipients(recipients, &split);
  out[0] = '\0';
  for (int i = 0; i < split.count; ++i) {
    if (i > 0) append_bounded(out, cap, ", ");
    append_bounded(out, cap, split.address[i]);
  }
}

// Writes the whole message into `file` and closes it. False when any byte
// could not be written or the header block cannot be formed.
bool write_mail(SendFile* file, const NotifySettings& settings, const char* recipients,
                const char* subject, const char* body) {
  char headers[kMailHeaderBlockSize];
  char to[kHeaderRecipientsSize];
  header_recipients(recipients, to, sizeof to);
  MailHeaderInput input;
  input.from = mail_sender(settings);
  input.to = to;
  input.subject = subject;
  input.seconds = now_seconds();
  if (format_mail_headers(input, headers, sizeof headers) == 0) return false;
  std::string text;
  CrlfWriter out(&text);
  out.put(headers);
  out.put(body);
  out.put("\n");
  return file->write(text.data(), text.size());
}

// Overwrites a buffer that held a secret.
void wipe_secret(char* buffer, size_t size) {
  volatile char* p = buffer;
  for (size_t i = 0; i < size; ++i) p[i] = '\0';
}

}  // namespace

const char* mail_sender(const NotifySettings& settings) {
  return settings.from.empty() ? settings.email.c_str() : settings.from.c_str();
}

const char* mail_recipients(const NotifySettings& settings, int32_t kind) {
  return kind == kAliveReport ? settings.iamalive.c_str() : settings.to.c_str();
}

bool email_configured(const NotifySettings& settings) {
  return settings.email_enabled != 0 && mail_login_complete(settings);
}

bool login_refused(const SendOutcome& outcome) {
  return !outcome.delivered && !outcome.token_request && outcome.run == RunStatus::kExited &&
         (outcome.curl_code == 67 || outcome.status == 535 || outcome.status == 534);
}

const char* login_hint(MailAuth mode, const SendOutcome& outcome) {
  if (!login_refused(outcome)) return "";
  switch (mode) {
    case MailAuth::kPassword:
      return "Email: the mail server refused the login; when it no longer takes password logins "
             "(Microsoft 365, Outlook.com, Gmail), set smtp_auth : \"oauth2\" in "
             "linkwatch_email.txt, send through a relay with smtp_auth : \"none\", or log in "
             "with an app password";
    case MailAuth::kOAuth2:
      return "Email: the mail server refused the OAuth 2.0 token; check that the application may "
             "send as the mailbox in email (SMTP.SendAsApp or the Gmail scope) and that the "
             "mailbox allows SMTP logins";
    case MailAuth::kNone:
      break;
  }
  return "";
}

int send_mail_message(const NotifySettings& settings, const char* recipients, const char* subject,
                      const char* body, bool silent, SendOutcome* outcome) {
  if (outcome) *outcome = SendOutcome();
  if (!email_configured(settings) || !recipients || recipients[0] == '\0') return 0;
  SendFile mail_file(kMailFilePrefix, kMailFileSuffix);
  if (!write_mail(&mail_file, settings, recipients, subject, body)) {
    note_unwritten_send_file(Channel::kEmail, "message", outcome);
    return 0;
  }
  // The envelope gets the bare address of a sender written "Name <address>".
  char header_from[decltype(NotifySettings::from)::capacity()];
  char envelope_from[decltype(NotifySettings::from)::capacity()];
  if (!split_mailbox(mail_sender(settings), header_from, sizeof header_from, envelope_from,
                     sizeof envelope_from)) {
    copy_bounded(envelope_from, sizeof envelope_from, mail_sender(settings));
  }
  const MailAuth mode = mail_auth_of(settings);
  // TLS is optional only where no secret goes over the line ("-check" refuses the rest).
  const bool tls_try = mode == MailAuth::kNone && settings.smtp_tls == "try";
  char token[kMaxAccessTokenLength + 1] = "";
  TokenSource source = TokenSource::kFetched;
  if (!silent) console_print("Sending mail alert now .....\n");
  // Control bytes reach neither curl nor the log: such an address is left
  // out, and shown escaped.
  char shown[4 * kMailRecipientsSize];
  MailRecipients split;
  split_mail_recipients(recipients, &split);
  for (int i = 0; i < split.refused_count; ++i) {
    escape_control_bytes(split.refused[i], shown, sizeof shown);
    log_event("Email: recipient \"%s\" holds a control character; it is left out", shown);
  }
  escape_control_bytes(recipients, shown, sizeof shown);
  log_event("Send Mail Alert to %s via SMTP server %s", shown, settings.server.c_str());
  SendOutcome local;
  if (!outcome) outcome = &local;
  int sent = 0;
  for (int attempt = 0; attempt < 2; ++attempt) {
    if (mode == MailAuth::kOAuth2) {
      source = get_mail_token(settings, token, sizeof token, outcome);
      if (source == TokenSource::kFailed) {
        if (!silent) console_print("Email command rc=%d\n", outcome_console_code(*outcome));
        return 0;
      }
    }
    MailRequest request;
    const bool usable = build_mail_request(
        settings.server.c_str(), envelope_from, settings.email.c_str(),
        mode == MailAuth::kOAuth2 ? token : settings.password.c_str(), recipients, mail_file.name(),
        &request, curl_settings(settings), mode, tls_try);
    // A server value curl would read as an option is never run: the send
    // fails like a command that could not be started.
    const Command command = request.command();
    sent = run_send(Channel::kEmail, usable ? &command : nullptr, nullptr,
                    settings.ssl_revoke.c_str(), silent, outcome);
    wipe_secret(request.config.data(), request.config.capacity());
    if (mode != MailAuth::kOAuth2 || !login_refused(*outcome)) break;
    // The server refused the token: the next send fetches a new one, and a
    // token that came from memory is replaced at once.
    forget_mail_token();
    if (source != TokenSource::kCache) break;
  }
  wipe_secret(token, sizeof token);
  if (const char* hint = login_hint(mode, *outcome); hint[0] != '\0') log_event("%s", hint);
  return sent;
}

Command MailRequest::command() const { return make_command(argv, config.c_str()); }

bool build_mail_request(const char* server, const char* sender, const char* user,
                        const char* password, const char* recipients, const char* mail_file,
                        MailRequest* out, const CurlSettings& curl, MailAuth auth, bool tls_try) {
  out->argv[0] = nullptr;
  out->recipients.count = 0;
  out->recipients.refused_count = 0;
  out->config.clear();
  if (!server || server[0] == '\0' || looks_like_option(server) || !mail_file) return false;

  const char* login[] = {user, ":", auth == MailAuth::kOAuth2 ? "" : password};
  if ((auth != MailAuth::kNone && !append_curl_config_line(&out->config, "user", login, 3)) ||
      (auth == MailAuth::kOAuth2 &&
       !append_curl_config_line(&out->config, "oauth2-bearer", &password, 1)) ||
      !finish_curl_config(&out->config, curl)) {
    return false;
  }

  int n = put_curl_start(out->argv, out->program, kMailWriteOut, curl);
  out->argv[n++] = server;
  out->argv[n++] = "--mail-from";
  out->argv[n++] = sender ? sender : "";
  out->argv[n++] = tls_try ? "--ssl" : "--ssl-reqd";
  out->argv[n++] = "--config";
  out->argv[n++] = "-";
  out->argv[n++] = "-T";
  out->argv[n++] = mail_file;

  split_mail_recipients(recipients, &out->recipients);
  for (int i = 0; i < out->recipients.count; ++i) {
    out->argv[n++] = "--mail-rcpt";
    out->argv[n++] = out->recipients.address[i];
  }
  out->argv[n] = nullptr;
  return true;
}

void send_mail_channel(const NotifySettings& settings, const QueuedMessage& message, bool silent,
                       SendOutcome* outcome) {
  send_mail_message(settings, mail_recipients(settings, message.kind), message.subject.c_str(),
                    message.body.c_str(), silent, outcome);
}

}  // namespace lw
