// The daily alive report: one more probe of every host (at most `workers` at
// once, grouped as the cycle groups them), a summary, and one e-mail to the `iamalive` recipients.

#include "notify/report.h"

#include <cstdint>
#include <string>

#include "notify/cert_notice.h"
#include "notify/dispatch.h"
#include "probe/resolve.h"
#include "probe/tcp_probe.h"
#include "support/about.h"
#include "support/clock.h"
#include "support/fanout.h"
#include "support/fixed_text.h"
#include "support/output.h"

namespace lw {
namespace {

// Every addition to the body must leave this much below the body's size.
constexpr size_t kBodyLimit = 32768;
constexpr size_t kLineRoom = 256;
constexpr size_t kSummaryRoom = 64;
constexpr size_t kFooterRoom = 64;

enum ProbeResult : int32_t {
  kInvalidPort,
  kUnresolved,
  kAnswered,
  kNotAnswered,
  kInvalidAddress,
  kCutByStop,  // a stop request cut the probe: nothing is known
};

// What the report found out about one host.
struct ProbeOutcome {
  int32_t result = kInvalidPort;
  double elapsed = 0.0;
  char error[kProbeErrorSize] = "";
};

// Resolves the host when due, as the check does, and probes it. Touches
// only the entry's resolution fields, so one thread per host may run it.
void probe_for_report(HostEntry* host, ProbeOutcome* outcome) {
  const HostAddress address = refresh_host_address(host);
  // Like the host check: only digits naming 1..65535 are a port.
  const int port = host->port_number;
  if (port == 0) {
    outcome->result = kInvalidPort;
    return;
  }
  if (address == HostAddress::kInvalid || address == HostAddress::kNone) {
    outcome->result = address == HostAddress::kInvalid ? kInvalidAddress : kUnresolved;
    return;
  }
  const int result = probe_host_entry(*host, *host, static_cast<uint16_t>(port), &outcome->elapsed,
                                      outcome->error);
  outcome->result = result == kProbeConnected ? kAnswered
                    : result == kProbeStopped ? kCutByStop
                                              : kNotAnswered;
}

// What the report's fan-out works on.
struct ReportFanOut {
  HostTable* table;
  ProbeOutcome* outcomes;
};

void probe_item(void* job, int index) {
  const ReportFanOut& report = *static_cast<ReportFanOut*>(job);
  probe_for_report(&report.table->hosts[index], &report.outcomes[index]);
}

// Probes hosts 1..host_count with at most `workers` at once, grouped as the
// monitoring cycle does (`rolling`: rolling_workers). A host whose thread
// cannot be had is probed on the calling thread. Returns false when a stop
// request left hosts unprobed.
bool probe_all(HostTable* table, int host_count, int workers, bool rolling,
               ProbeOutcome* outcomes) {
  ReportFanOut report{table, outcomes};
  FanOutJob job;
  job.check = probe_item;  // no no_thread: probed on the calling thread instead
  job.context = &report;
  return fan_out(job, 1, host_count, workers,
                 rolling ? FanOutMode::kRolling : FanOutMode::kBatches) == host_count;
}

// Writes the report line of one probed host.
void format_line(const HostEntry& host, const ProbeOutcome& outcome, const char* report_time,
                 FixedText<512>* line) {
  const char* name = host.host.c_str();
  const char* port = host.port.c_str();
  switch (outcome.result) {
    case kInvalidPort:
      line->format("%s Port FAIL %s:%s Invalid port\n", report_time, name,
                   host.port.empty() ? "?" : port);
      return;
    case kInvalidAddress:
      line->format("%s Port FAIL %s:%s Invalid address\n", report_time, name, port);
      return;
    case kUnresolved:
      line->format("%s Port FAIL %s:%s resolve host failed\n", report_time, name, port);
      return;
    case kAnswered:
      line->format("%s Port OK %s:%s time=%.2f sec\n", report_time, name, port, outcome.elapsed);
      return;
    default:
      line->format("%s Port FAIL %s:%s %s\n", report_time, name, port,
                   outcome.error[0] != '\0' ? outcome.error : "Timeout");
      return;
  }
}

std::string report_time_text(int64_t seconds) {
  char text[32];
  format_local_time(seconds, "%Y-%m-%d %H:%M:%S", text, sizeof text);
  return text;
}

}  // namespace

std::string uptime_lines(const HostTable& table, const HistoryBook& history, int64_t now) {
  std::string out;
  if (!history.kept()) return out;
  const int64_t day_start = now - 86400;
  out.append("\nUptime, past 24 hours\n=====================\n");
  for (int i = 1; i <= table.host_count && i <= kMaxHosts; ++i) {
    const HostEntry& host = table.hosts[i];
    const ServiceHistory& h = history.services[i];
    const Uptime uptime = quarter_uptime(h, now, kQuartersPerDay);
    out.append(host.host.c_str()).append(":").append(host.port.c_str()).append(" ");
    out.append(uptime_text(uptime, "no checks"));
    if (uptime.quarters > 0 && uptime.quarters < kQuartersPerDay) {
      out.append(" (over ").append(length_text(uptime.quarters * kQuarterSeconds));
      out.append(" watched)");
    }
    out.append("\n");
    if (h.dropped_to != 0 && h.dropped_to > day_start) {
      out.append("  earlier outages of the day not kept\n");
    }
    for (int o = 0; o < h.outage_count; ++o) {
      const int64_t from = h.outage_from[o];
      const int64_t to = h.outage_to[o];
      if ((to != 0 && to <= day_start) || from > now) continue;
      if (to == 0) {
        out.append("  outage since ").append(report_time_text(from)).append(", ongoing\n");
      } else {
        out.append("  outage ").append(report_time_text(from)).append(" to ");
        out.append(report_time_text(to)).append(", ").append(length_text(to - from));
        out.append("\n");
      }
    }
  }
  return out;
}

void run_daily_report(HostTable* table, const MonitorSettings& settings,
                      const NotifySettings& notify, const HistoryBook* history) {
  if (table == nullptr || !notify.email_enabled || !notify.iamalive_enabled) return;

  auto owned = new_message();
  NotifyMessage& message = *owned;
  message.kind = kAliveReport;

  char report_time[32];
  format_local_time(now_seconds(), "%Y-%m-%d %H:%M:%S", report_time, sizeof report_time);
  message.subject.format("linkwatch is up and running at %s", report_time);

  // Never walk past the table, whatever the count says.
  int host_count = table->host_count;
  if (host_count < 0) host_count = 0;
  if (host_count > kMaxHosts) host_count = kMaxHosts;

  ProbeOutcome outcomes[kHostTableSlots];
  // A run that is stopping sends no report whose probes it cut short.
  if (!probe_all(table, host_count, settings.workers < 1 ? 1 : settings.workers,
                 settings.rolling_workers != 0, outcomes)) {
    return;
  }
  for (int i = 1; i <= host_count; ++i) {
    if (outcomes[i].result == kCutByStop) return;
  }

  // The lines follow the table's order, whichever probe ended first.
  int success = 0;
  int failed = 0;
  size_t body_len = 0;
  for (int i = 1; i <= host_count; ++i) {
    FixedText<512> line;
    format_line(table->hosts[i], outcomes[i], report_time, &line);
    if (outcomes[i].result == kAnswered) {
      ++success;
    } else {
      ++failed;
    }
    // A line that does not fit is left out; a shorter later one may still fit.
    const size_t line_len = line.size();
    if (line_len + kLineRoom + body_len < kBodyLimit) {
      message.body.append(line.c_str());
      body_len += line_len;
    }
  }

  const double success_rate = host_count > 0 ? success * 100.0 / host_count : 0.0;

  FixedText<1024> summary;
  summary.format(
      "\nSummary Report\n==============\n"
      "Total Hosts   : %d\n"
      "Workers       : %d\n"
      "Success       : %d\n"
      "Failed        : %d\n"
      "Success Rate  : %.2f%%\n"
      "Email Alert To: %s\n",
      host_count, static_cast<int>(settings.workers), success, failed, success_rate,
      notify.to.c_str());
  if (summary.size() + kSummaryRoom + body_len < kBodyLimit) {
    message.body.append(summary.c_str());
    body_len += summary.size();
  }
  const std::string certs = format_cert_report(*table, settings, now_seconds());
  if (certs.size() + kSummaryRoom + body_len < kBodyLimit) {
    message.body.append(certs.c_str());
    body_len += certs.size();
  }
  if (settings.report_uptime == 1 && history != nullptr) {
    // Whole lines while they fit, as the host lines.
    const std::string uptime = uptime_lines(*table, *history, now_seconds());
    size_t at = 0;
    while (at < uptime.size()) {
      const size_t end = uptime.find('\n', at) + 1;
      if (end - at + kLineRoom + body_len >= kBodyLimit) break;
      message.body.append(uptime.substr(at, end - at).c_str());
      body_len += end - at;
      at = end;
    }
    if (at < uptime.size()) {
      constexpr char kCut[] = "(the other services' uptime does not fit in this mail)\n";
      message.body.append(kCut);
      body_len += sizeof kCut - 1;
    }
  }
  if (body_len + kFooterRoom < kBodyLimit) {
    message.body.append_format("\n--- linkwatch from %s ---\n", kMakerAddress);
  }

  log_event("Sending iamalive scan report with summary");
  dispatch_message(message, notify);
}

}  // namespace lw
