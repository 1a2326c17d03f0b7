#include "notify/dispatch.h"

#include "notify/email.h"
#include "notify/teams.h"
#include "notify/telegram.h"
#include "support/output.h"

namespace lw {

void dispatch_message(const NotifyMessage& message, const NotifySettings& settings) {
  const bool silent = silent_mode();
  const bool host_alert = is_host_alert(message.kind);

  if (settings.email_enabled) {
    const char* recipients =
        message.kind == kAliveReport ? settings.iamalive.c_str() : settings.to.c_str();
    send_mail_message(settings, recipients, message.subject.c_str(), message.body.c_str(), silent);
  }
  if (host_alert && telegram_configured(settings)) {
    send_telegram(settings, message.chat_text.c_str(), silent);
  }
  if (host_alert && teams_configured(settings)) {
    send_teams(settings, message.subject.c_str(), message.card_text(), silent);
  }
}

}  // namespace lw
