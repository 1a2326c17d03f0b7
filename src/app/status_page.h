// The status page (`status_html`): one self-contained HTML file, rewritten
// after every cycle, with a row per service (state badge, service, since
// when, last error, uptime over 24 hours, 7 and 30 days and a strip of the
// last 24 hours' quarter-hours) and each channel's last send. No script, no
// external file: inline CSS and inline SVG only, so it opens from a disk.

#ifndef LINKWATCH_APP_STATUS_PAGE_H_
#define LINKWATCH_APP_STATUS_PAGE_H_

#include <cstdint>
#include <string>

#include "app/status.h"
#include "config/host_config.h"
#include "notify/delivery.h"
#include "probe/history.h"

namespace lw {

// What a page shows of a run.
struct PageInput {
  const StatusBoard* board = nullptr;
  const HostTable* table = nullptr;
  const HistoryBook* history = nullptr;  // null or empty: no figures ("—")
  const MonitorSettings* settings = nullptr;
  const NotifySettings* notify = nullptr;  // null: only the fixed channels
  const ChannelRecord* records = nullptr;  // Channel order; null: nothing recorded
  int64_t now = 0;
};

// The page's state groups, in the order the rows are listed.
enum class PageState : int { kDown, kFailing, kMaintenance, kUp };

// The group of one host: MAINTENANCE while silenced, DOWN while its DOWN
// alert stands, FAILING with failed checks (or no usable address or port)
// and no alert yet, else UP.
PageState page_state(const HostEntry& host, const HostView& view);

// The whole page. Every text from the files or from errors is escaped.
std::string format_status_page(const PageInput& input);

// Appends `text` to `out` with & < > " ' as entities and control bytes as blanks.
void append_html_escaped(std::string* out, const char* text);

}  // namespace lw

#endif  // LINKWATCH_APP_STATUS_PAGE_H_
