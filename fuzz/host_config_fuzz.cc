// The host file through "-check" and the loader.
//
// Properties: the loader keeps every default, clamp and cut whatever the
// bytes (every setting is one its key's row takes, its default, or a value
// the row keeps as written); a file that "-check" accepts loads at least one host, and every
// loaded host has a port the probe can use and no `send` without `expect`.

#include <cstring>
#include <string>

#include "config/check.h"
#include "config/config_keys.h"
#include "config/host_config.h"
#include "fuzz_util.h"

namespace {

lw::HostTable table;
lw::MonitorSettings settings;
lw::FixedText<lw::kConfigValueSize> shown;

// True when the loaded setting of `row` is one the loader may leave.
bool loaded_as_declared(const lw::HostKeyRow& row, const lw::HostEntry* host) {
  row.show(settings, host, &shown);
  const lw::KeyValue value = row.parse(shown.c_str());
  if (value.verdict == lw::KeyVerdict::kReplaced) return false;
  return value.verdict != lw::KeyVerdict::kRefused || shown == row.default_text ||
         row.on_refused != lw::LoadRefused::kFallBack;
}

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
  require(!settings.interval.empty(), "interval never empty");
  for (const lw::HostKeyRow& row : lw::host_key_rows()) {
    if (row.scope == lw::KeyScope::kGlobal || row.scope == lw::KeyScope::kEither) require(loaded_as_declared(row, nullptr), row.name);
  }
  for (int i = 1; i <= table.host_count; ++i) {
    const lw::HostEntry& host = table.hosts[i];
    for (const lw::HostKeyRow& row : lw::host_key_rows()) {
      if (row.scope != lw::KeyScope::kGlobal) require(loaded_as_declared(row, &host), row.name);
    }
    require(
        lw::fuzz::terminated_within(host.host.c_str(), host.host.capacity()) &&
            lw::fuzz::terminated_within(host.port.c_str(), host.port.capacity()) &&
            lw::fuzz::terminated_within(host.description.c_str(), host.description.capacity()) &&
            lw::fuzz::terminated_within(host.alertcount_text.c_str(),
                                        host.alertcount_text.capacity()),
        "texts terminated");
    require(host.expect.size() <= lw::kMaxExpectBytes && host.send_length >= 0 &&
                host.send_length <= static_cast<int32_t>(lw::kMaxSendBytes),
            "expect and send within their bounds");
    if (accepted) require(lw::port_number(host.port.c_str()) > 0, "accepted file: valid port");
    if (accepted) {
      require(host.send_length == 0 || !host.expect.empty(),
              "accepted file: no send without expect");
    }
  }
  if (accepted) require(table.host_count >= 1, "accepted file: at least one host");
  require(settings.netcheck_count >= 0 && settings.netcheck_count <= lw::kMaxNetReferences,
          "netcheck count in range");
  for (int i = 0; i < settings.netcheck_count; ++i) {
    const lw::NetReference& ref = settings.netcheck[i];
    require(!ref.host.empty() && ref.port > 0, "netcheck reference has a host and a port");
  }
  return 0;
}
