#include "notify/channel.h"

#include "config/notify_config.h"
#include "notify/dispatch.h"
#include "notify/email.h"
#include "notify/teams.h"
#include "notify/telegram.h"
#include "notify/webhook.h"

namespace lw {

namespace {

bool mail_wants(const NotifySettings& settings, int32_t kind) {
  return mail_recipients(settings, kind)[0] != '\0';
}

// Telegram, Teams and the web hooks carry the host alerts (a digest of them
// too) and the test message.
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
    {Channel::kWebhook1, "Webhook1", "webhook1", "web hook 1", webhook_configured<0>, chat_wants,
     send_webhook_channel<0>},
    {Channel::kWebhook2, "Webhook2", "webhook2", "web hook 2", webhook_configured<1>, chat_wants,
     send_webhook_channel<1>},
    {Channel::kWebhook3, "Webhook3", "webhook3", "web hook 3", webhook_configured<2>, chat_wants,
     send_webhook_channel<2>},
    {Channel::kWebhook4, "Webhook4", "webhook4", "web hook 4", webhook_configured<3>, chat_wants,
     send_webhook_channel<3>},
};

static_assert(kWebhookRowCount == kMaxWebhooks, "one row per web hook block");

bool channel_takes(const ChannelRow& row, const NotifySettings& settings, int32_t kind) {
  return row.configured(settings) && row.wants(settings, kind);
}

bool channel_listed(const ChannelRow& row, const NotifySettings& settings) {
  const int index = webhook_index(row.id);
  return index < 0 || index < settings.webhook_count;
}

}  // namespace lw
