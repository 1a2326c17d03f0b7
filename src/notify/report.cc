// The daily alive report: one more probe of every host, a summary, and one
// e-mail to the `iamalive` recipients.

#include "notify/report.h"

#include <cstdint>

#include "notify/dispatch.h"
#include "probe/resolve.h"
#include "probe/tcp_probe.h"
#include "support/about.h"
#include "support/clock.h"
#include "support/fixed_text.h"
#include "support/output.h"

namespace lw {
namespace {

// Every addition to the body must leave this much below the body's size.
constexpr size_t kBodyLimit = 32768;
constexpr size_t kLineRoom = 256;
constexpr size_t kSummaryRoom = 64;
constexpr size_t kFooterRoom = 64;

// Probes one host and writes its report line. Returns true when it connected.
bool report_line(HostEntry* host, const char* report_time, FixedText<512>* line) {
  double elapsed = 0.0;

  if (host->resolve_state != kResolved && !host->host.empty()) {
    resolve_host_entry(host);
  }

  // Like the host check: only digits naming 1..65535 are a port.
  const int port = port_number(host->port.c_str());
  if (port == 0) {
    line->format("%s Port FAIL %s:%s Invalid port\n", report_time, host->host.c_str(),
                 host->port.empty() ? "?" : host->port.c_str());
    return false;
  }
  if (host->resolve_state != kResolved || host->resolved_ip.empty()) {
    line->format("%s Port FAIL %s:%s resolve host failed\n", report_time, host->host.c_str(),
                 host->port.c_str());
    return false;
  }

  char error[kProbeErrorSize] = "";
  const int result = probe_tcp_port(host->resolved_ip.c_str(), static_cast<uint16_t>(port),
                                    host->timeoutsec, &elapsed, error);
  if (result == kProbeConnected) {
    line->format("%s Port OK %s:%s time=%.2f sec\n", report_time, host->host.c_str(),
                 host->port.c_str(), elapsed);
    return true;
  }
  line->format("%s Port FAIL %s:%s %s\n", report_time, host->host.c_str(), host->port.c_str(),
               error[0] != '\0' ? error : "Timeout");
  return false;
}

}  // namespace

void run_daily_report(HostTable* table, const MonitorSettings& settings,
                      const NotifySettings& notify) {
  if (table == nullptr || !notify.email_enabled || !notify.iamalive_enabled) return;

  // Run on the monitoring thread only, so one message lives on its stack.
  NotifyMessage message;
  message.kind = kAliveReport;

  char report_time[32];
  format_local_time(now_seconds(), "%Y-%m-%d %H:%M:%S", report_time, sizeof report_time);
  message.subject.format("linkwatch is up and running at %s", report_time);

  // Never walk past the table, whatever the count says.
  int host_count = table->host_count;
  if (host_count < 0) host_count = 0;
  if (host_count > kMaxHosts) host_count = kMaxHosts;

  int success = 0;
  int failed = 0;
  size_t body_len = 0;
  for (int i = 1; i <= host_count; ++i) {
    FixedText<512> line;
    if (report_line(&table->hosts[i], report_time, &line)) {
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
  if (body_len + kFooterRoom < kBodyLimit) {
    message.body.append_format("\n--- linkwatch from %s ---\n", kMakerAddress);
  }

  log_event("Sending iamalive scan report with summary");
  dispatch_message(message, notify);
}

}  // namespace lw
