#include "app/status_page.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <iterator>
#include <vector>

#include "app/monitor.h"
#include "notify/cert_notice.h"
#include "notify/webhook.h"
#include "support/clock.h"

namespace lw {

namespace {

constexpr const char kDash[] = "\xE2\x80\x94";    // —
constexpr const char kEnDash[] = "\xE2\x80\x93";  // –
constexpr const char kMiddleDot[] = "\xC2\xB7";   // ·
constexpr int kStripCells = kQuartersPerDay;
constexpr int kCellWidth = 4;

const char* const kStateWords[] = {"DOWN", "FAILING", "MAINTENANCE", "UP"};
const char* const kStateClasses[] = {"down", "failing", "maint", "up"};

constexpr const char kStyle[] =
    "body{font:14px/1.4 system-ui,sans-serif;margin:1em 2em;color:#222;background:#fafafa}"
    "h1{font-size:1.5em;margin:0}h1 small{color:#555;font-weight:normal}"
    ".meta{color:#555;margin:.3em 0}"
    ".counts span{display:inline-block;margin-right:1em;font-weight:bold}"
    "table{border-collapse:collapse;width:100%;margin-top:1em}"
    "th,td{text-align:left;padding:4px 8px;border-bottom:1px solid #ddd;vertical-align:middle}"
    "th{background:#eee}td.num{text-align:right;white-space:nowrap}"
    ".badge{display:inline-block;min-width:6.5em;text-align:center;border-radius:3px;"
    "padding:1px 4px;color:#fff;font-weight:bold;font-size:12px}"
    ".badge.up{background:#2e7d32}.badge.failing{background:#ef6c00}"
    ".badge.down{background:#c62828}.badge.maint{background:#1565c0}"
    ".desc,.old{color:#666}.err{color:#b71c1c;word-break:break-all}"
    "svg.strip rect.u{fill:#43a047}svg.strip rect.d{fill:#e53935}"
    "svg.strip rect.p{fill:#fb8c00}svg.strip rect.n{fill:#d5d5d5}"
    "svg.strip rect.m{fill:#42a5f5}"
    ".key span{display:inline-block;width:10px;height:10px;margin:0 4px 0 12px}"
    "footer{margin-top:1.5em;color:#444}";

std::string time_text(int64_t seconds, const char* format = "%Y-%m-%d %H:%M") {
  if (seconds == 0) return kDash;
  char text[32];
  format_local_time(seconds, format, text, sizeof text);
  return text;
}

// One service as the rows see it.
struct Row {
  int index = 0;
  const HostEntry* host = nullptr;
  const HostView* view = nullptr;
  const ServiceHistory* history = nullptr;  // null: none kept
  PageState state = PageState::kUp;
  int64_t now = 0;
  int64_t since = 0;  // the history's start
};

void cell_state(const Row& row, std::string* out) {
  const int s = static_cast<int>(row.state);
  out->append("<span class=\"badge ").append(kStateClasses[s]).append("\">");
  out->append(kStateWords[s]).append("</span>");
}

void cell_service(const Row& row, std::string* out) {
  out->append("<b>");
  append_html_escaped(out, row.host->host.c_str());
  out->append(":");
  append_html_escaped(out, row.host->port.c_str());
  out->append("</b>");
  if (!row.host->description.empty()) {
    out->append("<br><span class=\"desc\">");
    append_html_escaped(out, row.host->description.c_str());
    out->append("</span>");
  }
}

// The newest closed outage's end, or the history's start.
int64_t up_since(const Row& row) {
  const ServiceHistory* h = row.history;
  if (h && h->outage_count > 0 && h->outage_to[h->outage_count - 1] != 0)
    return h->outage_to[h->outage_count - 1];
  return row.since;
}

void cell_since(const Row& row, std::string* out) {
  const HostEntry& host = *row.host;
  switch (row.state) {
    case PageState::kDown:
      out->append(time_text(host.down_since));
      return;
    case PageState::kFailing:
      out->append(
          time_text(host.first_fail_time != 0 ? host.first_fail_time : row.view->last_connect));
      return;
    case PageState::kMaintenance:
      if (host.muted_until != 0) {
        out->append("muted until ").append(time_text(host.muted_until));
      } else {
        out->append("window");
      }
      return;
    case PageState::kUp:
      out->append(time_text(up_since(row)));
      return;
  }
}

void cell_error(const Row& row, std::string* out) {
  if (row.view->error.empty()) {
    out->append(kDash);
    return;
  }
  out->append(row.state == PageState::kUp ? "<span class=\"old\">" : "<span class=\"err\">");
  append_html_escaped(out, row.view->error.c_str());
  out->append("</span>");
}

void put_uptime(const Row& row, int days, std::string* out) {
  Uptime uptime;
  if (row.history) {
    uptime = days == 1 ? quarter_uptime(*row.history, row.now, kQuartersPerDay)
                       : day_uptime(*row.history, row.now, days);
  }
  out->append(uptime_text(uptime, kDash));
}
void cell_day(const Row& row, std::string* out) { put_uptime(row, 1, out); }
void cell_week(const Row& row, std::string* out) { put_uptime(row, 7, out); }
void cell_month(const Row& row, std::string* out) { put_uptime(row, 30, out); }

// The strip's class of one quarter: u up, d down, p partly down, n no
// data, m maintenance.
char quarter_class(const QuarterFigures& f) {
  if (f.checks == 0) return f.maintenance ? 'm' : 'n';
  if (f.failures == 0) return f.maintenance ? 'm' : 'u';
  return f.failures == f.checks ? 'd' : 'p';
}

// Quarters up (or without data) in a row share one rect and one title
// that gives their span and summed figures; any other quarter has its own.
void cell_strip(const Row& row, std::string* out) {
  char text[160];
  std::snprintf(text, sizeof text,
                "<svg class=\"strip\" width=\"%d\" height=\"18\" role=\"img\" "
                "aria-label=\"last 24 hours\">",
                kStripCells * kCellWidth);
  out->append(text);
  const int64_t last = row.now / kQuarterSeconds;
  const int64_t first = last - kStripCells + 1;
  for (int64_t q = first; q <= last;) {
    const QuarterFigures f = row.history ? quarter_figures(*row.history, q) : QuarterFigures{};
    const char kind = quarter_class(f);
    int64_t end = q + 1;
    int checks = f.checks;
    if (kind == 'u' || kind == 'n') {
      for (; end <= last; ++end) {
        const QuarterFigures next =
            row.history ? quarter_figures(*row.history, end) : QuarterFigures{};
        if (quarter_class(next) != kind) break;
        checks += next.checks;
      }
    }
    const std::string from = time_text(q * kQuarterSeconds, "%H:%M");
    const std::string to = time_text(end * kQuarterSeconds, "%H:%M");
    std::snprintf(text, sizeof text,
                  "<rect x=\"%d\" width=\"%d\" height=\"18\" class=\"%c\"><title>%s%s%s %s ",
                  static_cast<int>(q - first) * kCellWidth,
                  static_cast<int>(end - q) * kCellWidth - (end - q == 1 ? 1 : 0), kind,
                  from.c_str(), kEnDash, to.c_str(), kMiddleDot);
    out->append(text);
    if (kind == 'n') {
      out->append("no data");
    } else {
      std::snprintf(text, sizeof text, "%s%d checks, %d failed",
                    f.maintenance ? "maintenance, " : "", checks, f.failures);
      out->append(text);
    }
    out->append("</title></rect>");
    q = end;
  }
  out->append("</svg>");
}

// Days left of the certificate of a host with `tls`: "12 days", "expired",
// or a dash while it has not been read (or the host has no `tls`).
void cell_cert(const Row& row, std::string* out) {
  const HostEntry& host = *row.host;
  if (host.tls == TlsMode::kNone || host.cert_expires == 0) {
    out->append(kDash);
    return;
  }
  const int32_t days = cert_days_left(host.cert_expires, row.now);
  if (host.cert_expires <= row.now) {
    out->append("<span class=\"err\">expired</span>");
    return;
  }
  char text[48];
  std::snprintf(text, sizeof text, "%d day%s", static_cast<int>(days), days == 1 ? "" : "s");
  out->append(text);
}

// The row's cells, in order; one more column is one more line here.
struct PageColumn {
  const char* title;
  const char* cell_class;  // "" or a class of the cell
  void (*cell)(const Row& row, std::string* out);
};
constexpr PageColumn kColumns[] = {
    {"State", "", cell_state},         {"Service", "", cell_service},
    {"Since", "", cell_since},         {"Last error", "", cell_error},
    {"24 h", "num", cell_day},         {"7 d", "num", cell_week},
    {"30 d", "num", cell_month},       {"Last 24 hours", "", cell_strip},
    {"Certificate", "num", cell_cert},  // only when some host has `tls`
};
constexpr size_t kCertColumn = std::size(kColumns) - 1;

void put_channels(const PageInput& input, std::string* out) {
  out->append(
      "<footer><h2>Channels</h2><table><thead><tr><th>Channel</th><th>Last send</th>"
      "<th>Outcome</th><th>Failures</th></tr></thead><tbody>\n");
  for (size_t c = 0; c < kChannelCount; ++c) {
    // Without settings only the fixed channels.
    const bool listed = input.notify ? channel_listed(kChannelRows[c], *input.notify)
                                     : webhook_index(kChannelRows[c].id) < 0;
    if (!listed) continue;
    const ChannelRecord record = input.records ? input.records[c] : ChannelRecord{};
    out->append("<tr><td>").append(kChannelRows[c].name).append("</td><td>");
    out->append(time_text(record.last_time, "%Y-%m-%d %H:%M:%S")).append("</td><td>");
    if (record.last_time == 0) {
      out->append(kDash);
    } else {
      out->append(record.last_delivered ? "sent" : "not sent");
      if (!record.last_detail.empty()) {
        out->append(" (");
        append_html_escaped(out, record.last_detail.c_str());
        out->append(")");
      }
    }
    out->append("</td><td class=\"num\">").append(std::to_string(record.failures));
    out->append("</td></tr>\n");
  }
  out->append("</tbody></table></footer>\n");
}

}  // namespace

void append_html_escaped(std::string* out, const char* text) {
  for (const char* p = text; *p; ++p) {
    switch (*p) {
      case '&':
        out->append("&amp;");
        break;
      case '<':
        out->append("&lt;");
        break;
      case '>':
        out->append("&gt;");
        break;
      case '"':
        out->append("&quot;");
        break;
      case '\'':
        out->append("&#39;");
        break;
      default:
        out->push_back(static_cast<unsigned char>(*p) < 0x20 || *p == 0x7F ? ' ' : *p);
    }
  }
}

PageState page_state(const HostEntry& host, const HostView& view) {
  if (host.silenced != 0) return PageState::kMaintenance;
  if (host.alert_sent != 0) return PageState::kDown;
  const bool usable = host.resolve_state == kResolved && host.port_number != 0;
  if (!usable || host.fail_count > 0 || (view.last_check != 0 && !view.up))
    return PageState::kFailing;
  return PageState::kUp;
}

std::string format_status_page(const PageInput& input) {
  const HostTable& table = *input.table;
  const StatusBoard& board = *input.board;
  const MonitorSettings& settings = *input.settings;
  const int count = table.host_count < kMaxHosts ? table.host_count : kMaxHosts;
  const bool kept = input.history && input.history->kept();

  std::vector<Row> rows;
  rows.reserve(static_cast<size_t>(count));
  int counts[4] = {};
  for (int i = 1; i <= count; ++i) {
    Row row;
    row.index = i;
    row.host = &table.hosts[i];
    row.view = &board.hosts[i];
    row.history = kept ? &input.history->services[i] : nullptr;
    row.state = page_state(*row.host, *row.view);
    row.now = input.now;
    row.since = kept ? input.history->since : 0;
    ++counts[static_cast<int>(row.state)];
    rows.push_back(row);
  }
  std::stable_sort(rows.begin(), rows.end(),
                   [](const Row& a, const Row& b) { return a.state < b.state; });

  std::string out;
  out.reserve(4096 + rows.size() * 640);
  out.append("<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">\n");
  out.append("<meta http-equiv=\"refresh\" content=\"")
      .append(std::to_string(normal_wait_seconds(settings)))
      .append("\">\n<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n");
  out.append("<title>linkwatch");
  if (!settings.site.empty()) {
    out.append(" ").append(kMiddleDot).append(" ");
    append_html_escaped(&out, settings.site.c_str());
  }
  out.append("</title>\n<style>").append(kStyle).append("</style></head><body>\n<header><h1>");
  out.append("linkwatch");
  if (!settings.site.empty()) {
    out.append(" <small>");
    append_html_escaped(&out, settings.site.c_str());
    out.append("</small>");
  }
  char text[192];
  std::snprintf(text, sizeof text,
                "</h1>\n<p class=\"meta\">Last cycle %s, took %" PRIu64 ".%03u s",
                time_text(board.last_cycle, "%Y-%m-%d %H:%M:%S").c_str(),
                board.last_cycle_ms / 1000, static_cast<unsigned>(board.last_cycle_ms % 1000));
  out.append(text);
  if (kept && input.history->since != 0) {
    out.append(" ").append(kMiddleDot).append(" history since ");
    out.append(time_text(input.history->since));
  }
  out.append("</p>\n<p class=\"counts\">");
  for (const int s : {3, 1, 0, 2}) {
    std::snprintf(text, sizeof text, "<span class=\"%s\">%s %d</span>", kStateClasses[s],
                  kStateWords[s], counts[s]);
    out.append(text);
  }
  out.append(
      "</p>\n<p class=\"key\">Strip, one cell a quarter-hour:"
      "<span style=\"background:#43a047\"></span>up"
      "<span style=\"background:#fb8c00\"></span>partly down"
      "<span style=\"background:#e53935\"></span>down"
      "<span style=\"background:#42a5f5\"></span>maintenance"
      "<span style=\"background:#d5d5d5\"></span>no data</p></header>\n");

  out.append("<table><thead><tr>");
  const size_t columns = any_tls_host(*input.table) ? std::size(kColumns) : kCertColumn;
  for (size_t c = 0; c < columns; ++c) out.append("<th>").append(kColumns[c].title).append("</th>");
  out.append("</tr></thead><tbody>\n");
  for (const Row& row : rows) {
    out.append("<tr class=\"").append(kStateClasses[static_cast<int>(row.state)]).append("\">");
    for (size_t c = 0; c < columns; ++c) {
      out.append("<td class=\"").append(kColumns[c].cell_class).append("\">");
      kColumns[c].cell(row, &out);
      out.append("</td>");
    }
    out.append("</tr>\n");
  }
  out.append("</tbody></table>\n");
  put_channels(input, &out);
  out.append("</body></html>\n");
  return out;
}

}  // namespace lw
