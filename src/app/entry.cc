#include "app/entry.h"

#include <cstring>

#include "app/cert_watch.h"
#include "app/globals.h"
#include "app/instance.h"
#include "app/monitor.h"
#include "app/quiet.h"
#include "app/reload.h"
#include "app/service.h"
#include "config/check.h"
#include "config/host_config.h"
#include "config/mute_file.h"
#include "config/notify_config.h"
#include "notify/selftest.h"
#include "notify/send_files.h"
#include "platform/platform.h"
#include "support/about.h"
#include "support/output.h"
#include "support/transfer.h"

namespace lw {

namespace {

bool same(const char* a, const char* b) { return std::strcmp(a, b) == 0; }

const char* pass_text(bool passed) { return passed ? "OK" : "FAILED"; }

}  // namespace

void print_banner() {
  plain_print("\n%s %s Version %s from %s\n\n", "LINKWATCH", platform::kSystemName, kVersion,
              kMakerAddress);
}

void print_usage(const char* program) {
  print_banner();
  plain_print("Usage:\n");
  plain_print("  %s -start\n", program);
  plain_print("  %s -stop\n", program);
  plain_print("  %s -status\n", program);
  plain_print("  %s -reload\n", program);
  plain_print("  %s -install [account [password]]\n", program);
  plain_print("  %s -uninstall\n", program);
  plain_print("  %s -check\n", program);
  plain_print("  %s -mute <host:port | host | all> <90m | 2h | 1d> [\"reason\"]\n", program);
  plain_print("  %s -unmute <host:port | host | all>\n", program);
  plain_print("  %s -test\n", program);
  plain_print("  %s -s\n", program);
  plain_print("  %s -h | --help\n", program);
  plain_print("\nOptions:\n");
  plain_print("  -start        Start in background mode\n");
  plain_print("  -stop         Stop running instance\n");
  plain_print("  -status       Show running status\n");
  plain_print("  -reload       Re-read both files in the running instance\n");
  plain_print("  -install      Install as a service running in this folder\n");
  plain_print("  -uninstall    Stop and remove the service\n");
  plain_print("  -check        Validate config file format\n");
  plain_print("  -test         Send test email / Telegram / Teams alert\n");
  plain_print("  -mute         Send no alert of these services for a while\n");
  plain_print("  -unmute       End their mute\n");
  plain_print("  -s            Silent mode\n");
  plain_print("  -h, --help    Show this help\n");
}

int check_files_command() {
  plain_print("linkwatch from %s\n\n", kMakerAddress);
  plain_print("Important: use ':' as separator. '=' is not supported.\n\n");

  plain_print("Checking %s ...\n", kHostFileName);
  const bool host_ok = check_config_file(kHostFileName, kHostFile) == 1;
  plain_print("%s\n\n", pass_text(host_ok));

  plain_print("Checking %s ...\n", kNotifyFileName);
  const bool notify_ok = check_config_file(kNotifyFileName, kNotifyFile) == 1;
  plain_print("%s\n\n", pass_text(notify_ok));

  bool mute_ok = true;
  if (file_readable(kMuteFileName)) {
    plain_print("Checking %s ...\n", kMuteFileName);
    mute_ok = check_mute_file() == 1;
    plain_print("%s\n\n", pass_text(mute_ok));
  }

  // The certificate checks need a curl that prints the chain; an older one
  // skips them, which fails nothing.
  if (host_ok && load_host_config(&process_host_table(), &process_monitor_settings()) &&
      any_tls_host(process_host_table()) && !curl_can_check_certificates(true)) {
    plain_print("\n");
  }

  plain_print("Result: %s\n", pass_text(host_ok && notify_ok && mute_ok));
  return host_ok && notify_ok && mute_ok ? 0 : 1;
}

int test_command() {
  HostTable& table = process_host_table();
  MonitorSettings& settings = process_monitor_settings();
  NotifySettings& notify = process_notify_settings();
  if (!load_host_config(&table, &settings)) return 1;
  load_notify_config(&notify);
  remove_stale_send_files();
  log_curl_in_use(true);
  return run_notification_test(table, settings, notify);
}

int run_entry(int argc, char** argv) {
  // A failed start shows later as failed resolutions and probes.
  platform::socket_startup();

  const char* program = argc > 0 && argv[0] ? argv[0] : "";
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    if (!arg) continue;
    if (same(arg, "-status")) return show_status();
    if (same(arg, "-stop")) return stop_instance();
    if (same(arg, "-reload")) return reload_command();
    if (same(arg, "-h") || same(arg, "--help")) {
      print_usage(program);
      return 0;
    }
    if (same(arg, "-check")) return check_files_command();
    if (same(arg, "-test")) return test_command();
    // Neither ever starts a run; a missing argument is refused by the command.
    if (same(arg, "-mute")) {
      return mute_command(i + 1 < argc ? argv[i + 1] : nullptr,
                          i + 2 < argc ? argv[i + 2] : nullptr,
                          i + 3 < argc ? argv[i + 3] : nullptr);
    }
    if (same(arg, "-unmute")) return unmute_command(i + 1 < argc ? argv[i + 1] : nullptr);
    if (same(arg, "-start")) return start_background();
    if (same(arg, "-install")) {
      // An account is never named like an option; its password may be.
      const char* account =
          i + 1 < argc && argv[i + 1] && argv[i + 1][0] != '-' ? argv[i + 1] : nullptr;
      return install_command(account, account && i + 2 < argc ? argv[i + 2] : nullptr);
    }
    if (same(arg, "-uninstall")) return uninstall_command();
    if (same(arg, "-service")) return service_command(i + 1 < argc ? argv[i + 1] : nullptr);
    if (same(arg, "-s")) set_silent_mode(true);
  }

  const int rc = run_monitor();
  platform::socket_cleanup();
  return rc;
}

}  // namespace lw
