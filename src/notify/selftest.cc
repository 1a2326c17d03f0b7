#include "notify/selftest.h"

#include "notify/channel.h"
#include "notify/dispatch.h"
#include "notify/outcome.h"
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

  QueuedMessage message;
  message.kind = kTestMessage;
  message.subject.assign(subject.c_str());
  message.body.assign(long_text.c_str());
  message.chat_text.assign(short_text.c_str());

  int ok[kChannelCount] = {};
  for (const ChannelRow& row : kChannelRows) {
    if (!channel_listed(row, notify)) continue;
    plain_print("%sTesting %s alert...\n", row.id == kChannelRows[0].id ? "" : "\n", row.test_name);
    if (!channel_takes(row, notify, message.kind)) {
      plain_print("%s not configured\n", row.name);
      log_event("%s test skipped: %s not configured", row.name, row.label);
      continue;
    }
    SendOutcome sent;
    row.send(notify, message, false, &sent);
    ok[static_cast<size_t>(row.id)] = sent.delivered ? 1 : 0;
    print_channel_result(row.id, ok[static_cast<size_t>(row.id)], sent);
  }

  plain_print("\nTest result:\n");
  for (const ChannelRow& row : kChannelRows) {
    if (!channel_listed(row, notify)) continue;
    FixedText<16> name;
    name.format("%-9s", row.name);
    plain_print("%s: %s\n", name.c_str(), outcome(ok[static_cast<size_t>(row.id)]));
  }

  log_event("***TEST sending : linkwatch notification test");
  bool any = false;
  for (const ChannelRow& row : kChannelRows) {
    if (!channel_listed(row, notify)) continue;
    log_event("%s test %s", row.name, outcome(ok[static_cast<size_t>(row.id)]));
    any |= ok[static_cast<size_t>(row.id)] != 0;
  }
  return any ? 0 : 1;
}

}  // namespace lw
