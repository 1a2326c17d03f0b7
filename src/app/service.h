// The program as a system service: "-install", "-uninstall", the run that
// the service manager starts ("-service <folder>") and the stop of a
// service instance.
//
// On Windows the service runs the monitoring exactly as "-s" does, in the
// folder "-install" was run from, so the pid file, the log and the
// single-instance rule are the same as for any other instance. On POSIX
// nothing is registered: "-install" prints a systemd unit for the folder.

#ifndef LINKWATCH_APP_SERVICE_H_
#define LINKWATCH_APP_SERVICE_H_

#include <cstdint>

namespace lw {

// "-install [account [password]]": registers the service for the working
// folder, running as LocalSystem unless `account` (may be null) is named.
// Without administrator rights prints what to do instead. Where the
// service manager is set up by hand, prints the unit and the commands that
// install it, and installs nothing. 0 on success, else 1.
int install_command(const char* account, const char* password);

// "-uninstall": stops the service (bounded) and removes it; where the
// service manager is set up by hand, prints the commands that remove the
// unit. 0 on success, else 1.
int uninstall_command();

// "-service <folder>": the start by the service manager. Runs the
// monitoring silently in `folder` until the service manager asks it to stop
// and returns its exit code. Started any other way (or `folder` null),
// prints that "-s" is the command to use and returns 1.
int service_command(const char* folder);

// True when `pid` is the process of the running service.
bool is_service_process(uint32_t pid);

// "-stop" of the service instance: asks the service manager to stop it and
// waits (bounded) until it has; prints the outcome. 0 stopped, else 1.
int stop_service_instance();

}  // namespace lw

#endif  // LINKWATCH_APP_SERVICE_H_
