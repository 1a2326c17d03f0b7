#include "app/globals.h"

namespace lw {

namespace {

// Static storage: the host table alone is far too large for a stack.
HostTable host_table;
MonitorSettings monitor_settings;
NotifySettings notify_settings;

}  // namespace

HostTable& process_host_table() { return host_table; }
MonitorSettings& process_monitor_settings() { return monitor_settings; }
NotifySettings& process_notify_settings() { return notify_settings; }

}  // namespace lw
