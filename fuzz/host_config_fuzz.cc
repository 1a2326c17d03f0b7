// The host file through "-check" and the loader.
//
// Properties: the loader keeps every default, clamp and cut whatever the
// bytes; a file that "-check" accepts loads at least one host, and every
// loaded host has a port the probe can use.

#include <cstring>
#include <string>

#include "config/check.h"
#include "config/host_config.h"
#include "fuzz_util.h"

namespace {

lw::HostTable table;
lw::MonitorSettings settings;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  lw::fuzz::enter_private_folder("host");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using lw::fuzz::require;
  if (size > 300000) return 0;
  lw::fuzz::put_file(lw::kHostFileName, std::string(reinterpret_cast<const char*>(data), size));
  const bool accepted = lw::check_config_file(lw::kHostFileName, lw::kHostFile) == 1;
  lw::check_config_file(lw::kHostFileName, lw::kNotifyFile);  // the other rules, same bytes
  require(lw::load_host_config(&table, &settings), "an existing file loads");

  require(table.host_count >= 0 && table.host_count <= lw::kMaxHosts, "host count in range");
  require(settings.workers >= 1 && settings.workers <= lw::kMaxWorkers, "workers in range");
  require(settings.fast_retry_interval >= 1, "fast retry at least 1");
  require(!settings.interval.empty(), "interval never empty");
  for (int i = 1; i <= table.host_count; ++i) {
    const lw::HostEntry& host = table.hosts[i];
    require(host.timeoutsec >= 1 && host.alertcount >= 1, "per-host numbers in range");
    require(
        lw::fuzz::terminated_within(host.host.c_str(), host.host.capacity()) &&
            lw::fuzz::terminated_within(host.port.c_str(), host.port.capacity()) &&
            lw::fuzz::terminated_within(host.description.c_str(), host.description.capacity()) &&
            lw::fuzz::terminated_within(host.alertcount_text.c_str(),
                                        host.alertcount_text.capacity()),
        "texts terminated");
    if (accepted) require(lw::port_number(host.port.c_str()) > 0, "accepted file: valid port");
  }
  if (accepted) require(table.host_count >= 1, "accepted file: at least one host");
  require(settings.group_alerts == 0 || (settings.group_alerts >= lw::kMinGroupAlerts &&
                                         settings.group_alerts <= lw::kMaxHosts),
          "group_alerts off or in range");
  require(settings.rolling_workers == 0 || settings.rolling_workers == 1, "rolling_workers 0 or 1");
  require(settings.netcheck_count >= 0 && settings.netcheck_count <= lw::kMaxNetReferences,
          "netcheck count in range");
  for (int i = 0; i < settings.netcheck_count; ++i) {
    const lw::NetReference& ref = settings.netcheck[i];
    require(!ref.host.empty() && ref.port > 0, "netcheck reference has a host and a port");
  }
  return 0;
}
