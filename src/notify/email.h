// The e-mail channel: one prepared message sent through curl's SMTP support.

#ifndef LINKWATCH_NOTIFY_EMAIL_H_
#define LINKWATCH_NOTIFY_EMAIL_H_

#include <mutex>

#include "config/notify_config.h"

namespace lw {

// Held from the writing of the mail file until its deletion, so no two
// messages share "mailtext.txt" and no send runs while another writes it.
// Lock order: mail_lock, then log_lock or console_lock inside it; nothing
// takes mail_lock while holding another lock.
extern std::mutex mail_lock;

// The sender of every message: `from`, or `email` when `from` is empty.
const char* mail_sender(const NotifySettings& settings);

// Writes the mail file: "From:", "To:" (`recipients` as given), "Subject:",
// the content type line, an empty line, `body` and a line end, every line
// end CR LF (a CR LF already in a text stays as it is). Returns false when
// the file cannot be written completely; a partial file is removed.
// Requires: mail_lock held.
bool write_mail_file(const NotifySettings& settings, const char* recipients, const char* subject,
                     const char* body);

// True when `settings` lets an e-mail go out: `email_enabled` with non-empty
// `server`, `email` and `password`.
bool email_configured(const NotifySettings& settings);

// Sends the mail file just written to `recipients` (comma-separated) and
// deletes it. Prints "Sending mail alert now ....." and "Email command
// rc=%d" unless `silent`, logs "Send Mail Alert to %s via SMTP server %s".
// Returns 1 when curl exited with 0, else 0. Returns 0 at once, without any
// output, when the channel is not configured or `recipients` is empty.
// Requires: mail_lock held (send_mail_message does all of this).
int send_email(const NotifySettings& settings, const char* recipients, bool silent);

// The whole e-mail path, safe from any thread: takes mail_lock, writes the
// mail file, sends it with send_email and deletes it. Nothing is written
// when the channel is not configured or `recipients` is empty; when the
// file cannot be written the message counts as not sent and nothing is
// printed. Returns 1 when sent, else 0.
int send_mail_message(const NotifySettings& settings, const char* recipients, const char* subject,
                      const char* body, bool silent);

}  // namespace lw

#endif  // LINKWATCH_NOTIFY_EMAIL_H_
