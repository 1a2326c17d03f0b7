#include "app/reload.h"

#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <set>

#include "app/instance.h"
#include "app/monitor.h"
#include "app/service.h"
#include "config/check.h"
#include "config/config_keys.h"
#include "config/config_line.h"
#include "config/host_config.h"
#include "config/notify_config.h"
#include "platform/platform.h"
#include "probe/resolve.h"
#include "support/output.h"

namespace lw {

namespace {

// How long "-reload" looks for the instance's report in the log: a reload
// waits for the running cycle's checks to end.
constexpr uint32_t kReloadReportWaitMs = 20000;
constexpr uint32_t kReloadPollMs = 50;
// The last line of a reload in the log, taken or refused.
constexpr const char kReloadApplied[] = "reload applied";
constexpr const char kReloadRefused[] = "reload refused";

std::string service_name(const HostConfig& host) {
  return std::string(host.host.c_str()) + ":" + host.port.c_str();
}

// Sets `label` to `value` in `lines`, in the place of its first line.
void put_last_wins(SettingLines* lines, const std::string& label, const std::string& value) {
  for (auto& line : *lines) {
    if (line.first == label) {
      line.second = value;
      return;
    }
  }
  lines->emplace_back(label, value);
}

void read_host_lines(SettingLines* out) {
  ConfigReader file;
  if (!file.open(kHostFileName)) return;
  FixedText<kConfigLineSize> piece;
  ConfigLine line;
  // The current host block: its service and its lines, given out at its end.
  bool in_block = false;
  std::string host, port;
  SettingLines block;
  const auto end_block = [&] {
    for (const auto& entry : block) {
      put_last_wins(out, host + ":" + port + " " + entry.first, entry.second);
    }
    block.clear();
  };
  while (file.next(piece.data(), piece.capacity()) > 0) {
    if (!parse_config_line(piece.c_str(), &line)) continue;
    const HostKeyRow* row = find_host_key(line.key.c_str());
    if (!row) continue;  // the loader ignores it
    if (row->scope == KeyScope::kBlock) {
      if (in_block) end_block();
      in_block = true;
      host = line.value.c_str();
      port.clear();
    } else if (row->scope == KeyScope::kGlobal) {
      put_last_wins(out, line.key.c_str(), line.value.c_str());
    } else if (in_block && line.key == "port") {
      port = line.value.c_str();
    } else if (in_block) {
      put_last_wins(&block, line.key.c_str(), line.value.c_str());
    }
  }
  if (in_block) end_block();
}

void read_notify_lines(SettingLines* out) {
  ConfigReader file;
  if (!file.open(kNotifyFileName)) return;
  FixedText<kConfigLineSize> piece;
  ConfigLine line;
  int webhook = 0;  // web hook blocks begun so far
  while (file.next(piece.data(), piece.capacity()) > 0) {
    if (!parse_config_line(piece.c_str(), &line) || !find_notify_key(line.key.c_str())) continue;
    std::string label = line.key.c_str();
    if (label == "webhook_url") ++webhook;
    if (webhook > 0 && label.compare(0, 8, "webhook_") == 0) {
      label = "webhook" + std::to_string(webhook) + " " + label;
    }
    put_last_wins(out, label, line.value.c_str());
  }
}

void append_item(std::string* list, const std::string& item) {
  if (!list->empty()) list->append(", ");
  list->append(item);
}

// The differences between the configuration in use and the new one.
ReloadChanges compare(const HostTable& before, const HostTable& after,
                      const SettingLines& old_lines, const SettingLines& new_lines) {
  ReloadChanges changes;
  std::set<std::string> old_services, new_services, gone_or_new;
  for (int i = 1; i <= before.host_count; ++i) old_services.insert(service_name(before.hosts[i]));
  for (int i = 1; i <= after.host_count; ++i) new_services.insert(service_name(after.hosts[i]));
  for (int i = 1; i <= after.host_count; ++i) {
    const std::string name = service_name(after.hosts[i]);
    if (!old_services.count(name) && gone_or_new.insert(name).second) {
      append_item(&changes.added, name);
    }
  }
  for (int i = 1; i <= before.host_count; ++i) {
    const std::string name = service_name(before.hosts[i]);
    if (!new_services.count(name) && gone_or_new.insert(name).second) {
      append_item(&changes.removed, name);
    }
  }
  // A block's lines come and go with its service: no setting change.
  const auto of_service_told = [&gone_or_new](const std::string& label) {
    const size_t space = label.find(' ');
    return space != std::string::npos && gone_or_new.count(label.substr(0, space)) > 0;
  };
  const std::map<std::string, std::string> old_map(old_lines.begin(), old_lines.end());
  const std::map<std::string, std::string> new_map(new_lines.begin(), new_lines.end());
  for (const auto& [label, value] : new_lines) {
    const auto it = old_map.find(label);
    if ((it == old_map.end() || it->second != value) && !of_service_told(label)) {
      append_item(&changes.changed, label);
    }
  }
  for (const auto& [label, value] : old_lines) {
    if (!new_map.count(label) && !of_service_told(label)) append_item(&changes.changed, label);
  }
  return changes;
}

// Takes the new table: a staying service keeps its state, addresses and
// status view and history; a new one starts fresh and is resolved.
void merge_hosts(MonitorRun& run, HostTable* fresh) {
  const HostTable& old = *run.table;
  auto views = std::make_unique<HostView[]>(kHostTableSlots);
  std::unique_ptr<ServiceHistory[]> histories;
  if (run.history.kept()) histories = std::make_unique<ServiceHistory[]>(kHostTableSlots);
  std::vector<bool> taken(kHostTableSlots, false);
  for (int i = 1; i <= fresh->host_count; ++i) {
    HostEntry& host = fresh->hosts[i];
    const std::string name = service_name(host);
    int from = 0;
    for (int j = 1; j <= old.host_count && from == 0; ++j) {
      if (!taken[j] && service_name(old.hosts[j]) == name) from = j;
    }
    if (from != 0) {
      taken[from] = true;
      const HostEntry& before = old.hosts[from];
      static_cast<HostState&>(host) = before;
      static_cast<HostCert&>(host) = before;
      views[i] = run.status.hosts[from];
      if (histories) histories[i] = run.history.services[from];
      if (before.family == host.family) {
        static_cast<HostAddresses&>(host) = before;
        continue;
      }
    } else {
      static_cast<HostState&>(host) = HostState{};
    }
    static_cast<HostAddresses&>(host) = HostAddresses{};
    if (!host.host.empty()) resolve_host_entry(host, host);
  }
  *run.table = *fresh;
  for (int i = 0; i < kHostTableSlots; ++i) run.status.hosts[i] = views[i];
  if (histories) run.history.services = std::move(histories);
}

void log_changes(const ReloadChanges& changes) {
  if (!changes.added.empty()) log_event("reload: services added: %s", changes.added.c_str());
  if (!changes.removed.empty()) log_event("reload: services removed: %s", changes.removed.c_str());
  if (!changes.changed.empty()) log_event("reload: settings changed: %s", changes.changed.c_str());
  if (changes.added.empty() && changes.removed.empty() && changes.changed.empty()) {
    log_event("reload: nothing changed");
  }
}

// The reload lines of a log text, without their time stamps, up to the
// first end of a reload; `*ended` tells whether one was found and `*applied`
// whether it was taken.
std::vector<std::string> reload_report(const std::string& log, bool* ended, bool* applied) {
  std::vector<std::string> lines;
  *ended = *applied = false;
  for (size_t at = 0; at < log.size() && !*ended;) {
    size_t end = log.find('\n', at);
    if (end == std::string::npos) break;  // a line still being written
    std::string line = log.substr(at, end - at);
    at = end + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const size_t dash = line.find(" - ");
    if (dash == std::string::npos) continue;
    line.erase(0, dash + 3);
    if (line.compare(0, 6, "reload") != 0) continue;
    lines.push_back(line);
    *applied = line == kReloadApplied;
    *ended = *applied || line.compare(0, sizeof kReloadRefused - 1, kReloadRefused) == 0;
  }
  return lines;
}

}  // namespace

SettingLines read_setting_lines() {
  SettingLines lines;
  read_host_lines(&lines);
  read_notify_lines(&lines);
  return lines;
}

bool check_both_files(std::vector<std::string>* lines) {
  bool passed = true;
  for (const auto& [name, kind] : {std::pair<const char*, int>{kHostFileName, kHostFile},
                                   std::pair<const char*, int>{kNotifyFileName, kNotifyFile}}) {
    std::string text;
    {
      ScopedPrintCapture capture(&text);
      if (check_config_file(name, kind) != 1) passed = false;
    }
    for (size_t at = 0; at < text.size();) {
      size_t end = text.find('\n', at);
      if (end == std::string::npos) end = text.size();
      std::string line = text.substr(at, end - at);
      at = end + 1;
      if (line.empty() || line.compare(0, 5, "Info:") == 0) continue;
      if (line.find(name) == std::string::npos) line = std::string(name) + ": " + line;
      lines->push_back(line);
    }
  }
  return passed;
}

bool reload_run(MonitorRun& run, SettingLines* loaded, ReloadChanges* changes) {
  *changes = ReloadChanges{};
  std::vector<std::string> lines;
  bool passed = check_both_files(&lines);
  auto fresh = std::make_unique<HostTable>();
  auto settings = std::make_unique<MonitorSettings>();
  auto notify = std::make_unique<NotifySettings>();
  if (passed) {
    passed = load_host_config(fresh.get(), settings.get());
    if (!passed) lines.push_back(std::string(kHostFileName) + ": cannot be read");
  }
  if (!passed) {
    for (const std::string& line : lines) log_event("reload check: %s", line.c_str());
    log_event("%s: the files do not pass -check; the configuration in use stays", kReloadRefused);
    return false;
  }
  load_notify_config(notify.get());
  SettingLines now = read_setting_lines();
  *changes = compare(*run.table, *fresh, *loaded, now);
  merge_hosts(run, fresh.get());
  *run.settings = *settings;
  // The delivery's lanes read their own copy; this one is read between
  // cycles and by the workers, all joined now.
  if (run.delivery && !run.delivery->replace_settings(*notify, true)) {
    log_event("Unable to create an alert delivery thread: that channel's alerts wait");
  }
  *run.notify = *notify;
  *loaded = std::move(now);
  log_changes(*changes);
  log_event("%s", kReloadApplied);
  if (!silent_mode()) {
    plain_print("Configuration reloaded: %d hosts, interval [%d] sec\n", run.table->host_count,
                normal_wait_seconds(*run.settings));
  }
  return true;
}

int reload_command() {
  std::vector<std::string> lines;
  if (!check_both_files(&lines)) {
    for (const std::string& line : lines) plain_print("%s\n", line.c_str());
    plain_print("Reload refused: the files do not pass -check; nothing was sent\n");
    return 1;
  }
  const uint32_t pid = running_instance_pid();
  if (pid == 0) {
    plain_print("linkwatch not running\n");
    return 1;
  }
  const long offset = log_file_size();
  bool sent = false;
  if (is_service_process(pid)) {
    sent = platform::reload_service(nullptr) == platform::ServiceResult::kDone;
  } else {
    sent = platform::request_process_reload(pid);
  }
  if (!sent) {
    plain_print("Unable to reach pid %lu\n", static_cast<unsigned long>(pid));
    return 1;
  }
  const uint64_t deadline = platform::monotonic_ms() + kReloadReportWaitMs;
  bool ended = false;
  bool applied = false;
  std::vector<std::string> report;
  while (!ended && platform::monotonic_ms() < deadline) {
    platform::sleep_ms(kReloadPollMs);
    report = reload_report(log_file_since(offset), &ended, &applied);
  }
  if (!ended) {
    plain_print(
        "reload requested: linkwatch (pid %lu) reads the files before its next cycle and logs "
        "what changed\n",
        static_cast<unsigned long>(pid));
    return 0;
  }
  for (const std::string& line : report) plain_print("%s\n", line.c_str());
  return applied ? 0 : 1;
}

}  // namespace lw
