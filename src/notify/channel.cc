#include "notify/channel.h"

#include "config/notify_config.h"
#include "notify/dispatch.h"
#include "notify/email.h"
#include "notify/teams.h"
#include "notify/telegram.h"

namespace lw {

namespace {

bool mail_wants(const NotifySettings& settings, int32_t kind) {
  return mail_recipients(settings, kind)[0] != '\0';
}

// Telegram and Teams carry the host alerts and the test message.
bool chat_wants(const NotifySettings&, int32_t kind) {
  return is_host_alert(kind) || kind == kTestMessage;
}

}  // namespace

const ChannelRow kChannelRows[kChannelCount] = {
    {Channel::kEmail, "Email", "email", "Email", email_configured, mail_wants, send_mail_channel},
    {Channel::kTelegram, "Telegram", "telegram", "Telegram", telegram_configured, chat_wants,
     send_telegram_channel},
    {Channel::kTeams, "Teams", "teams", "Microsoft Teams", teams_configured, chat_wants,
     send_teams_channel},
};

bool channel_takes(const ChannelRow& row, const NotifySettings& settings, int32_t kind) {
  return row.configured(settings) && row.wants(settings, kind);
}

}  // namespace lw
