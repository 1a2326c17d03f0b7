#include "app/service.h"

#include "app/monitor.h"
#include "platform/platform.h"
#include "support/output.h"

namespace lw {

namespace {

// Room for a full path on every system; a cut path would name another folder.
constexpr size_t kPathSize = 4096;
// Room for the unit text with two full paths.
constexpr size_t kUnitTextSize = 4 * kPathSize + 2048;

unsigned long as_ulong(uint32_t value) { return static_cast<unsigned long>(value); }

void print_admin_hint(const char* command, const char* folder) {
  plain_print("linkwatch %s needs administrator rights.\n", command);
  plain_print("Open a command prompt with \"Run as administrator\", then run:\n");
  plain_print("  cd /d \"%s\"\n", folder);
  plain_print("  linkwatch %s\n", command);
}

int print_unit(const char* folder, const char* account) {
  char exe[kPathSize];
  static char text[kUnitTextSize];
  if (!platform::own_executable_path(exe, sizeof exe) ||
      !platform::manual_service_setup(exe, folder, account, text, sizeof text)) {
    plain_print("Cannot write a systemd unit for this program, folder or account\n");
    return 1;
  }
  plain_print("%s", text);
  return 0;
}

struct ServiceRun {
  const char* folder = nullptr;
  int exit_code = 1;
};

int run_service_body(void* context) {
  ServiceRun& run = *static_cast<ServiceRun*>(context);
  set_silent_mode(true);
  // Without its folder the run has no files; the failure makes the service
  // manager try again later.
  run.exit_code = platform::change_directory(run.folder) ? run_monitor() : 1;
  return run.exit_code;
}

}  // namespace

int install_command(const char* account, const char* password) {
  char folder[kPathSize];
  if (!platform::current_directory(folder, sizeof folder)) {
    plain_print("Cannot read the working folder\n");
    return 1;
  }
  uint32_t missing = 0;
  uint32_t error = 0;
  switch (platform::install_service(folder, account, password, &missing, &error)) {
    case platform::ServiceResult::kDone:
      plain_print("linkwatch service installed: runs in %s as %s\n", folder,
                  account && account[0] ? account : "LocalSystem");
      if (missing & platform::kServiceDelayedStart) {
        plain_print("Note: this system has no delayed start; the service starts at once\n");
      }
      if (missing & platform::kServiceRestartOnExitCode) {
        plain_print("Note: this system restarts the service after a crash only\n");
      }
      plain_print("It starts with the computer. Start it now: sc start linkwatch\n");
      plain_print("Check it: linkwatch -status (in %s)\n", folder);
      return 0;
    case platform::ServiceResult::kNotSupported:
      return print_unit(folder, account);
    case platform::ServiceResult::kNoRights:
      print_admin_hint("-install", folder);
      return 1;
    case platform::ServiceResult::kExists:
      plain_print("linkwatch service is already installed; run linkwatch -uninstall first\n");
      return 1;
    default:
      plain_print("linkwatch service install failed (error %lu)\n", as_ulong(error));
      return 1;
  }
}

int uninstall_command() {
  static char text[kUnitTextSize];
  uint32_t error = 0;
  switch (platform::uninstall_service(&error)) {
    case platform::ServiceResult::kDone:
      plain_print("linkwatch service removed\n");
      return 0;
    case platform::ServiceResult::kNotSupported:
      if (!platform::manual_service_removal(text, sizeof text)) return 1;
      plain_print("%s", text);
      return 0;
    case platform::ServiceResult::kNotInstalled:
      plain_print("linkwatch service is not installed\n");
      return 1;
    case platform::ServiceResult::kNoRights: {
      char folder[kPathSize];
      if (!platform::current_directory(folder, sizeof folder)) folder[0] = '\0';
      print_admin_hint("-uninstall", folder);
      return 1;
    }
    case platform::ServiceResult::kTimedOut:
      plain_print("linkwatch service did not stop within %lu seconds; it was not removed\n",
                  as_ulong(platform::kServiceStopWaitMs / 1000));
      return 1;
    default:
      plain_print("linkwatch service removal failed (error %lu)\n", as_ulong(error));
      return 1;
  }
}

int service_command(const char* folder) {
  ServiceRun run;
  run.folder = folder;
  if (!folder || !platform::serve_as_service(run_service_body, &run)) {
    plain_print("-service is for the service manager; run linkwatch -s instead\n");
    return 1;
  }
  return run.exit_code;
}

bool is_service_process(uint32_t pid) { return pid != 0 && platform::service_pid() == pid; }

int stop_service_instance() {
  uint32_t error = 0;
  switch (platform::stop_service(&error)) {
    case platform::ServiceResult::kDone:
    case platform::ServiceResult::kNotRunning:
      plain_print("linkwatch stopped\n");
      return 0;
    case platform::ServiceResult::kNoRights:
      plain_print("Unable to stop the linkwatch service: run linkwatch -stop as administrator\n");
      return 1;
    case platform::ServiceResult::kTimedOut:
      plain_print("linkwatch service did not stop within %lu seconds\n",
                  as_ulong(platform::kServiceStopWaitMs / 1000));
      return 1;
    default:
      plain_print("Unable to stop the linkwatch service (error %lu)\n", as_ulong(error));
      return 1;
  }
}

}  // namespace lw
