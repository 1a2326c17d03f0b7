#include "notify/email.h"

#include <cstdio>
#include <cstring>

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

// Writes texts to a binary file with every line feed stored as CR LF; a
// line feed that already follows a carriage return is written as it is.
class CrlfWriter {
 public:
  explicit CrlfWriter(std::FILE* file) : file_(file) {}

  void put(const char* text) {
    for (const char* s = text ? text : ""; *s; ++s) {
      if (*s == '\n' && previous_ != '\r') byte('\r');
      byte(*s);
    }
  }
  bool ok() const { return ok_; }

 private:
  void byte(char c) {
    if (std::fputc(static_cast<unsigned char>(c), file_) == EOF) ok_ = false;
    previous_ = c;
  }

  std::FILE* file_;
  char previous_ = '\0';
  bool ok_ = true;
};

// Room for the header block: a subject of 8191 bytes grows by a third in
// encoded words, plus folding and the fixed lines.
constexpr size_t kMailHeaderBlockSize = 16384;

// Writes the recipient list for the "To:" header: the addresses as the
// envelope gets them (split at commas, trimmed, empty ones dropped), joined
// by ", ". A list such as " a@x,, b@y " would otherwise give a header with
// empty list elements, which mail readers refuse or flag.
void header_recipients(const char* recipients, char* out, size_t cap) {
  out[0] = '\0';
  for (const char* p = recipients ? recipients : ""; *p;) {
    while (*p == ',' || is_space_byte(*p)) ++p;
    const char* start = p;
    while (*p && *p != ',') ++p;
    const char* end = p;
    while (end > start && is_space_byte(end[-1])) --end;
    if (end == start) continue;
    if (out[0] != '\0') append_bounded(out, cap, ", ");
    const size_t used = std::strlen(out);
    const size_t n = static_cast<size_t>(end - start);
    if (used + n + 1 > cap) break;  // whole addresses only
    std::memcpy(out + used, start, n);
    out[used + n] = '\0';
  }
}

// Writes the whole message into `file` and closes it. False when any byte
// could not be written or the header block cannot be formed.
bool write_mail(std::FILE* file, const NotifySettings& settings, const char* recipients,
                const char* subject, const char* body) {
  char headers[kMailHeaderBlockSize];
  // Each address of the 1023-character list may gain one space.
  char to[2 * kMailRecipientsSize];
  header_recipients(recipients, to, sizeof to);
  MailHeaderInput input;
  input.from = mail_sender(settings);
  input.to = to;
  input.subject = subject;
  input.seconds = now_seconds();
  const bool formed = format_mail_headers(input, headers, sizeof headers) > 0;
  CrlfWriter out(file);
  out.put(headers);
  out.put(body);
  out.put("\n");
  bool ok = formed && out.ok();
  if (std::fclose(file) != 0) ok = false;
  return ok;
}

}  // namespace

const char* mail_sender(const NotifySettings& settings) {
  return settings.from.empty() ? settings.email.c_str() : settings.from.c_str();
}

bool email_configured(const NotifySettings& settings) {
  return settings.email_enabled != 0 && !settings.server.empty() && !settings.email.empty() &&
         !settings.password.empty();
}

int send_mail_message(const NotifySettings& settings, const char* recipients, const char* subject,
                      const char* body, bool silent, SendOutcome* outcome) {
  if (outcome) *outcome = SendOutcome();
  if (!email_configured(settings) || !recipients || recipients[0] == '\0') return 0;
  SendFile mail_file(kMailFilePrefix, kMailFileSuffix);
  std::FILE* file = mail_file.create();
  if (!file || !write_mail(file, settings, recipients, subject, body)) {
    if (outcome) {
      outcome->attempted = true;
      outcome->temporary = true;  // a full disk may have room again later
    }
    log_event("Email: not sent: the message file could not be written");
    return 0;
  }
  // The envelope gets the bare address of a sender written "Name <address>".
  char header_from[decltype(NotifySettings::from)::capacity()];
  char envelope_from[decltype(NotifySettings::from)::capacity()];
  if (!split_mailbox(mail_sender(settings), header_from, sizeof header_from, envelope_from,
                     sizeof envelope_from)) {
    copy_bounded(envelope_from, sizeof envelope_from, mail_sender(settings));
  }
  MailRequest request;
  const bool usable = build_mail_request(
      settings.server.c_str(), envelope_from, settings.email.c_str(), settings.password.c_str(),
      recipients, mail_file.name(), &request, curl_settings(settings));
  if (!silent) console_print("Sending mail alert now .....\n");
  log_event("Send Mail Alert to %s via SMTP server %s", recipients, settings.server.c_str());
  // A server value curl would read as an option is never run: the send
  // fails like a command that could not be started.
  const Command command = request.command();
  return run_send(Channel::kEmail, usable ? &command : nullptr, nullptr,
                  settings.ssl_revoke.c_str(), silent, outcome);
}

}  // namespace lw
