// The "-test" command: one test message through every configured channel.

#ifndef LINKWATCH_NOTIFY_SELFTEST_H_
#define LINKWATCH_NOTIFY_SELFTEST_H_

#include "config/host_config.h"
#include "config/notify_config.h"

namespace lw {

// Sends the test message through e-mail, Telegram and Teams (each only when
// configured), prints each outcome ("Email test OK (SMTP 250)", "Teams test
// FAILED (HTTP 404)") and the result table, logs the outcome.
// Returns 0 when at least one channel succeeded, else 1.
int run_notification_test(const HostTable& table, const MonitorSettings& settings,
                          const NotifySettings& notify);

}  // namespace lw

#endif  // LINKWATCH_NOTIFY_SELFTEST_H_
