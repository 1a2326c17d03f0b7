// The process-wide tables of the running program. Only src/app reaches them;
// everything else receives the tables it works on as parameters.

#ifndef LINKWATCH_APP_GLOBALS_H_
#define LINKWATCH_APP_GLOBALS_H_

#include "config/host_config.h"
#include "config/notify_config.h"

namespace lw {

HostTable& process_host_table();
MonitorSettings& process_monitor_settings();
NotifySettings& process_notify_settings();

}  // namespace lw

#endif  // LINKWATCH_APP_GLOBALS_H_
