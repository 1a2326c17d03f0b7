#include "notify/selftest.h"

#include "notify/email.h"
#include "notify/outcome.h"
#include "notify/teams.h"
#include "notify/telegram.h"
#include "platform/platform.h"
#include "support/clock.h"
#include "support/fixed_text.h"
#include "support/output.h"

namespace lw {

namespace {

const char* outcome(int result) { return result ? "OK" : "FAILED"; }

// Prints "<channel> test OK (<detail>)" or "... FAILED (<detail>)".
void print_channel_result(Channel channel, int result, const SendOutcome& sent) {
  char detail[512];
  format_outcome_detail(sent, channel, DetailStyle::kTest, detail, sizeof detail);
  plain_print(detail[0] ? "%s test %s (%s)\n" : "%s test %s%s\n", channel_name(channel),
              outcome(result), detail);
}

}  // namespace

int run_notification_test(const HostTable& table, const MonitorSettings& settings,
                          const NotifySettings& notify) {
  char when[64];
  format_local_time(now_seconds(), "%Y-%m-%d %H:%M:%S", when, sizeof when);
  char computer[128];
  if (!platform::computer_name(computer, sizeof computer) || computer[0] == '\0') {
    copy_bounded(computer, sizeof computer, "unknown-host");
  }

  FixedText<256> subject("[TEST] linkwatch notification test");
  FixedText<2048> long_text;
  long_text.format("This is a test message from linkwatch.\n\nHost: %s\n", computer);
  long_text.append_format(
      "Time: %s\nTargets: %d\nWorkers: %d\n\nIf you received this message, notification is "
      "working correctly.\n",
      when, table.host_count, settings.workers);
  FixedText<1024> short_text;
  short_text.format("[TEST] linkwatch notification test\nHost: %s\n", computer);
  short_text.append_format(
      "Time: %s\nTargets: %d\nWorkers: %d\nEmail, Telegram and Teams settings are working.", when,
      table.host_count, settings.workers);

  int email_ok = 0;
  int telegram_ok = 0;
  int teams_ok = 0;
  SendOutcome sent;

  plain_print("Testing Email alert...\n");
  if (!email_configured(notify) || notify.to.empty()) {
    plain_print("Email not configured\n");
    log_event("Email test skipped: email not configured");
  } else {
    email_ok = send_mail_message(notify, notify.to.c_str(), subject.c_str(), long_text.c_str(),
                                 false, &sent);
    print_channel_result(Channel::kEmail, email_ok, sent);
  }

  plain_print("\nTesting Telegram alert...\n");
  if (!telegram_configured(notify)) {
    plain_print("Telegram not configured\n");
    log_event("Telegram test skipped: telegram not configured");
  } else {
    telegram_ok = send_telegram(notify, short_text.c_str(), false, &sent);
    print_channel_result(Channel::kTelegram, telegram_ok, sent);
  }

  plain_print("\nTesting Microsoft Teams alert...\n");
  if (!teams_configured(notify)) {
    plain_print("Teams not configured\n");
    log_event("Teams test skipped: teams not configured");
  } else {
    teams_ok = send_teams(notify, subject.c_str(), long_text.c_str(), false, &sent);
    print_channel_result(Channel::kTeams, teams_ok, sent);
  }

  plain_print("\nTest result:\n");
  plain_print("Email    : %s\n", outcome(email_ok));
  plain_print("Telegram : %s\n", outcome(telegram_ok));
  plain_print("Teams    : %s\n", outcome(teams_ok));

  log_event("***TEST sending : linkwatch notification test");
  log_event("Email test %s", outcome(email_ok));
  log_event("Telegram test %s", outcome(telegram_ok));
  log_event("Teams test %s", outcome(teams_ok));

  return (email_ok || telegram_ok || teams_ok) ? 0 : 1;
}

}  // namespace lw
