#include "app/state_file.h"

#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "app/status.h"
#include "platform/platform.h"
#include "probe/worker.h"
#include "support/clock.h"
#include "support/output.h"
#include "support/start_thread.h"

namespace lw {

namespace {

// How often the watcher looks at the delivery's change count.
constexpr uint32_t kWatchMs = 250;

void put_escaped(std::string* out, const std::string& text) {
  static const char kHex[] = "0123456789abcdef";
  for (const char c : text) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (c == '\\') {
      out->append("\\\\");
    } else if (c == '\t') {
      out->append("\\t");
    } else if (c == '\n') {
      out->append("\\n");
    } else if (c == '\r') {
      out->append("\\r");
    } else if (u < 0x20 || u == 0x7f) {
      out->append("\\x");
      out->push_back(kHex[u >> 4]);
      out->push_back(kHex[u & 15]);
    } else {
      out->push_back(c);
    }
  }
}

void put_text(std::string* line, const char* name, const std::string& value) {
  line->append("\t").append(name).append("=");
  put_escaped(line, value);
}

void put_number(std::string* line, const char* name, int64_t value) {
  char digits[32];
  std::snprintf(digits, sizeof digits, "%" PRId64, value);
  line->append("\t").append(name).append("=").append(digits);
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

bool unescape(const std::string& text, std::string* out) {
  out->clear();
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\') {
      out->push_back(text[i]);
      continue;
    }
    if (++i == text.size()) return false;
    switch (text[i]) {
      case '\\':
        out->push_back('\\');
        break;
      case 't':
        out->push_back('\t');
        break;
      case 'n':
        out->push_back('\n');
        break;
      case 'r':
        out->push_back('\r');
        break;
      case 'x': {
        if (i + 2 >= text.size()) return false;
        const int high = hex_value(text[i + 1]);
        const int low = hex_value(text[i + 2]);
        if (high < 0 || low < 0) return false;
        out->push_back(static_cast<char>(high * 16 + low));
        i += 2;
        break;
      }
      default:
        return false;
    }
  }
  return true;
}

// A whole decimal number: an optional "-", 1 to 18 digits.
bool parse_number(const std::string& text, int64_t* out) {
  size_t i = text.size() > 0 && text[0] == '-' ? 1 : 0;
  if (text.size() == i || text.size() - i > 18) return false;
  int64_t value = 0;
  for (; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    value = value * 10 + (text[i] - '0');
  }
  *out = text[0] == '-' ? -value : value;
  return true;
}

bool parse_int32(const std::string& text, int32_t* out) {
  int64_t value = 0;
  if (!parse_number(text, &value) || value < INT32_MIN || value > INT32_MAX) return false;
  *out = static_cast<int32_t>(value);
  return true;
}

std::string channel_list(uint32_t channels) {
  std::string list;
  for (size_t c = 0; c < kChannelCount; ++c) {
    if ((channels & (1u << c)) == 0) continue;
    if (!list.empty()) list.push_back(',');
    list.append(kChannelRows[c].label);
  }
  return list;
}

bool parse_channel_list(const std::string& text, uint32_t* out) {
  *out = 0;
  size_t from = 0;
  while (from <= text.size()) {
    size_t end = text.find(',', from);
    if (end == std::string::npos) end = text.size();
    const std::string label = text.substr(from, end - from);
    size_t c = 0;
    while (c < kChannelCount && label != kChannelRows[c].label) ++c;
    if (c == kChannelCount) return false;
    *out |= 1u << c;
    from = end + 1;
  }
  return *out != 0;
}

// One line split at its tabs: the record name, then name=value fields
// (values unescaped).
struct Record {
  std::string type;
  std::vector<std::pair<std::string, std::string>> fields;
};

bool split_record(const std::string& line, Record* record, std::string* error) {
  record->fields.clear();
  size_t tab = line.find('\t');
  record->type = line.substr(0, tab);
  while (tab != std::string::npos) {
    const size_t from = tab + 1;
    tab = line.find('\t', from);
    const std::string field = line.substr(from, tab == std::string::npos ? tab : tab - from);
    const size_t equals = field.find('=');
    if (equals == std::string::npos || equals == 0) {
      *error = "a field without a name";
      return false;
    }
    std::string value;
    if (!unescape(field.substr(equals + 1), &value)) {
      *error = "bad escape";
      return false;
    }
    record->fields.emplace_back(field.substr(0, equals), std::move(value));
  }
  return true;
}

bool read_service(const Record& record, SavedService* service, std::string* error) {
  bool has_host = false;
  bool has_port = false;
  HostState& s = service->state;
  for (const auto& [name, value] : record.fields) {
    bool ok = true;
    if (name == "host") {
      service->host = value;
      has_host = true;
    } else if (name == "port") {
      service->port = value;
      has_port = true;
    } else if (name == "alert_sent") {
      ok = parse_int32(value, &s.alert_sent) && (s.alert_sent == 0 || s.alert_sent == 1);
    } else if (name == "fail_count") {
      ok = parse_int32(value, &s.fail_count) && s.fail_count >= 0;
    } else if (name == "first_fail") {
      ok = parse_number(value, &s.first_fail_time);
    } else if (name == "last_fail") {
      ok = parse_number(value, &s.last_fail_time);
    } else if (name == "down_since") {
      ok = parse_number(value, &s.down_since);
    } else if (name == "last_reminder") {
      ok = parse_number(value, &s.last_reminder);
    } else if (name == "held") {
      ok = parse_int32(value, &s.held) && (s.held == 0 || s.held == 1);
    } else if (name == "recover_streak") {
      ok = parse_int32(value, &s.recover_streak) && s.recover_streak >= 0;
    } else {
      *error = "unknown field " + name.substr(0, 32);
      return false;
    }
    if (!ok) {
      *error = "bad value of " + name;
      return false;
    }
  }
  if (!has_host || !has_port || service->host.empty() || service->port.empty()) {
    *error = "a service without host or port";
    return false;
  }
  return true;
}

bool read_cert(const Record& record, SavedCert* saved, std::string* error) {
  HostCert& c = saved->cert;
  for (const auto& [name, value] : record.fields) {
    bool ok = true;
    if (name == "host") {
      saved->host = value;
    } else if (name == "port") {
      saved->port = value;
    } else if (name == "expires") {
      ok = parse_number(value, &c.cert_expires) && c.cert_expires != 0;
    } else if (name == "checked") {
      ok = parse_number(value, &c.cert_checked);
    } else if (name == "cn") {
      ok = value.size() < c.cert_cn.capacity();
      c.cert_cn.assign(value.c_str());
    } else if (name == "told_days") {
      ok = parse_int32(value, &c.cert_told_days) && c.cert_told_days >= 0 &&
           c.cert_told_days <= kMaxCertDaysValue;
    } else if (name == "expired_told" || name == "untrusted_told") {
      int32_t* flag = name == "expired_told" ? &c.cert_expired_told : &c.cert_untrusted_told;
      ok = parse_int32(value, flag) && (*flag == 0 || *flag == 1);
    } else {
      *error = "unknown field " + name.substr(0, 32);
      return false;
    }
    if (!ok) {
      *error = "bad value of " + name;
      return false;
    }
  }
  if (saved->host.empty() || saved->port.empty() || c.cert_expires == 0) {
    *error = "a cert without host, port or expiry";
    return false;
  }
  return true;
}

bool read_message(const Record& record, SavedMessage* saved, std::string* error) {
  QueuedMessage& m = saved->message;
  bool has_channels = false;
  bool has_event = false;
  for (const auto& [name, value] : record.fields) {
    bool ok = true;
    if (name == "channels") {
      ok = has_channels = parse_channel_list(value, &saved->channels);
    } else if (name == "kind") {
      ok = parse_int32(value, &m.kind);
    } else if (name == "tone") {
      ok = parse_int32(value, &m.card_tone);
    } else if (name == "event") {
      ok = has_event = parse_number(value, &m.event_time);
    } else if (name == "subject") {
      m.subject = value;
    } else if (name == "body") {
      m.body = value;
    } else if (name == "chat") {
      m.chat_text = value;
    } else if (name == "card") {
      m.card_body = value;
    } else if (name == "service") {
      m.services.push_back(value);
    } else if (name == "f_host") {
      m.facts.host = value;
    } else if (name == "f_port") {
      m.facts.port = value;
    } else if (name == "f_description") {
      m.facts.description = value;
    } else if (name == "f_error") {
      m.facts.error = value;
    } else if (name == "f_since") {
      ok = parse_number(value, &m.facts.since);
    } else if (name == "f_duration") {
      ok = parse_number(value, &m.facts.duration);
    } else if (name == "f_ping") {
      ok = parse_int32(value, &m.facts.ping_answered);
    } else {
      *error = "unknown field " + name.substr(0, 32);
      return false;
    }
    if (!ok) {
      *error = "bad value of " + name;
      return false;
    }
  }
  if (!has_channels || !has_event) {
    *error = "a message without channels or event";
    return false;
  }
  return true;
}

// The cells of a history as bytes: checks, failures, maintenance bits,
// day quarters, day down weights (two bytes each, high first).
constexpr size_t kHistoryCellBytes =
    2 * kQuarterCells + kQuarterCells / 8 + kDayCells + 2 * kDayCells;

std::string history_cells(const ServiceHistory& h) {
  static const char kHex[] = "0123456789abcdef";
  std::string bytes(h.checks, h.checks + kQuarterCells);
  bytes.append(h.failures, h.failures + kQuarterCells);
  bytes.append(h.maintenance, h.maintenance + kQuarterCells / 8);
  bytes.append(h.day_quarters, h.day_quarters + kDayCells);
  for (const uint16_t down : h.day_down) {
    bytes.push_back(static_cast<char>(down >> 8));
    bytes.push_back(static_cast<char>(down & 0xFF));
  }
  std::string hex;
  for (const char c : bytes) {
    hex.push_back(kHex[static_cast<unsigned char>(c) >> 4]);
    hex.push_back(kHex[static_cast<unsigned char>(c) & 15]);
  }
  return hex;
}

bool read_history_cells(const std::string& hex, ServiceHistory* h) {
  if (hex.size() != 2 * kHistoryCellBytes) return false;
  uint8_t bytes[kHistoryCellBytes];
  for (size_t i = 0; i < kHistoryCellBytes; ++i) {
    const int high = hex_value(hex[2 * i]);
    const int low = hex_value(hex[2 * i + 1]);
    if (high < 0 || low < 0) return false;
    bytes[i] = static_cast<uint8_t>(high * 16 + low);
  }
  const uint8_t* at = bytes;
  for (auto* part : {h->checks, h->failures}) {
    std::memcpy(part, at, kQuarterCells);
    at += kQuarterCells;
  }
  std::memcpy(h->maintenance, at, kQuarterCells / 8);
  at += kQuarterCells / 8;
  std::memcpy(h->day_quarters, at, kDayCells);
  at += kDayCells;
  for (int d = 0; d < kDayCells; ++d, at += 2) {
    h->day_down[d] = static_cast<uint16_t>(at[0] << 8 | at[1]);
  }
  for (int c = 0; c < kQuarterCells; ++c) {
    if (h->failures[c] > h->checks[c]) return false;
  }
  return true;
}

// "from-to,from-to" (to 0: ongoing), oldest first; "" for none.
std::string outage_list(const ServiceHistory& h) {
  std::string list;
  for (int i = 0; i < h.outage_count; ++i) {
    char pair[48];
    std::snprintf(pair, sizeof pair, "%s%" PRIu32 "-%" PRIu32, i ? "," : "", h.outage_from[i],
                  h.outage_to[i]);
    list.append(pair);
  }
  return list;
}

bool read_outage_list(const std::string& text, ServiceHistory* h) {
  h->outage_count = 0;
  for (size_t from = 0; from < text.size();) {
    size_t end = text.find(',', from);
    if (end == std::string::npos) end = text.size();
    const std::string pair = text.substr(from, end - from);
    const size_t dash = pair.find('-');
    int64_t start = 0;
    int64_t stop = 0;
    if (h->outage_count == kKeptOutages || dash == std::string::npos ||
        !parse_number(pair.substr(0, dash), &start) ||
        !parse_number(pair.substr(dash + 1), &stop) || start <= 0 || start > UINT32_MAX ||
        stop < 0 || stop > UINT32_MAX || (stop != 0 && stop < start)) {
      return false;
    }
    h->outage_from[h->outage_count] = static_cast<uint32_t>(start);
    h->outage_to[h->outage_count] = static_cast<uint32_t>(stop);
    ++h->outage_count;
    from = end + 1;
    if (end + 1 == text.size()) return false;  // a trailing comma
  }
  return true;
}

bool read_history(const Record& record, SavedHistory* saved, std::string* error) {
  ServiceHistory& h = saved->history;
  bool has_cells = false;
  for (const auto& [name, value] : record.fields) {
    int64_t number = 0;
    bool ok = true;
    if (name == "host") {
      saved->host = value;
    } else if (name == "port") {
      saved->port = value;
    } else if (name == "since") {
      ok = parse_number(value, &saved->since) && saved->since >= 0;
    } else if (name == "quarter" || name == "day" || name == "dropped") {
      ok = parse_number(value, &number) && number >= 0 && number <= INT32_MAX;
      if (name == "quarter") h.last_quarter = static_cast<int32_t>(number);
      if (name == "day") h.last_day = static_cast<int32_t>(number);
      if (name == "dropped") h.dropped_to = static_cast<uint32_t>(number);
    } else if (name == "cells") {
      ok = has_cells = read_history_cells(value, &h);
    } else if (name == "outages") {
      ok = read_outage_list(value, &h);
    } else {
      *error = "unknown field " + name.substr(0, 32);
      return false;
    }
    if (!ok) {
      *error = "bad value of " + name;
      return false;
    }
  }
  if (saved->host.empty() || saved->port.empty() || !has_cells) {
    *error = "a history without host, port or cells";
    return false;
  }
  return true;
}

}  // namespace

namespace {

void put_service_line(std::string* out, const std::string& host, const std::string& port,
                      const HostState& state) {
  std::string line = "service";
  put_text(&line, "host", host);
  put_text(&line, "port", port);
  put_number(&line, "alert_sent", state.alert_sent);
  put_number(&line, "fail_count", state.fail_count);
  put_number(&line, "first_fail", state.first_fail_time);
  put_number(&line, "last_fail", state.last_fail_time);
  put_number(&line, "down_since", state.down_since);
  put_number(&line, "last_reminder", state.last_reminder);
  put_number(&line, "recover_streak", state.recover_streak);
  if (state.held != 0) put_number(&line, "held", state.held);
  out->append(line).append("\n");
}

}  // namespace

std::string format_state_services(const HostTable& table) {
  std::string out;
  for (int i = 1; i <= table.host_count && i <= kMaxHosts; ++i) {
    const HostEntry& host = table.hosts[i];
    put_service_line(&out, host.host.c_str(), host.port.c_str(), host);
  }
  for (int i = 1; i <= table.host_count && i <= kMaxHosts; ++i) {
    const HostEntry& host = table.hosts[i];
    if (host.tls == TlsMode::kNone || host.cert_expires == 0) continue;
    std::string line = "cert";
    put_text(&line, "host", host.host.c_str());
    put_text(&line, "port", host.port.c_str());
    put_number(&line, "expires", host.cert_expires);
    put_number(&line, "checked", host.cert_checked);
    put_text(&line, "cn", host.cert_cn.c_str());
    put_number(&line, "told_days", host.cert_told_days);
    put_number(&line, "expired_told", host.cert_expired_told);
    put_number(&line, "untrusted_told", host.cert_untrusted_told);
    out.append(line).append("\n");
  }
  return out;
}

std::string format_saved_services(const std::vector<SavedService>& services) {
  std::string out;
  for (const SavedService& service : services) {
    put_service_line(&out, service.host, service.port, service.state);
  }
  return out;
}

std::string format_state_messages(const std::vector<HeldMessage>& held, size_t* left_out) {
  std::string out;
  for (const HeldMessage& h : held) {
    if (!h.message || h.channels == 0) continue;
    const QueuedMessage& m = *h.message;
    std::string line = "message";
    line.append("\tchannels=").append(channel_list(h.channels));
    put_number(&line, "kind", m.kind);
    put_number(&line, "tone", m.card_tone);
    put_number(&line, "event", m.event_time);
    put_text(&line, "subject", m.subject);
    put_text(&line, "body", m.body);
    put_text(&line, "chat", m.chat_text);
    if (!m.card_body.empty()) put_text(&line, "card", m.card_body);
    for (const std::string& service : m.services) put_text(&line, "service", service);
    put_text(&line, "f_host", m.facts.host);
    put_text(&line, "f_port", m.facts.port);
    put_text(&line, "f_description", m.facts.description);
    put_text(&line, "f_error", m.facts.error);
    put_number(&line, "f_since", m.facts.since);
    put_number(&line, "f_duration", m.facts.duration);
    put_number(&line, "f_ping", m.facts.ping_answered);
    if (line.size() > kMaxStateLine) {
      if (left_out) ++*left_out;
      continue;
    }
    out.append(line).append("\n");
  }
  return out;
}

namespace {

void put_history_line(std::string* out, const std::string& host, const std::string& port,
                      int64_t since, const ServiceHistory& h) {
  std::string line = "history";
  put_text(&line, "host", host);
  put_text(&line, "port", port);
  put_number(&line, "since", since);
  put_number(&line, "quarter", h.last_quarter);
  put_number(&line, "day", h.last_day);
  if (h.dropped_to != 0) put_number(&line, "dropped", h.dropped_to);
  put_text(&line, "outages", outage_list(h));
  line.append("\tcells=").append(history_cells(h));
  out->append(line).append("\n");
}

}  // namespace

std::string format_state_history(const HostTable& table, const HistoryBook& book) {
  std::string out;
  if (!book.kept()) return out;
  for (int i = 1; i <= table.host_count && i <= kMaxHosts; ++i) {
    if (book.services[i].last_quarter == 0) continue;
    put_history_line(&out, table.hosts[i].host.c_str(), table.hosts[i].port.c_str(), book.since,
                     book.services[i]);
  }
  return out;
}

std::string format_saved_histories(const std::vector<SavedHistory>& histories) {
  std::string out;
  for (const SavedHistory& h : histories)
    put_history_line(&out, h.host, h.port, h.since, h.history);
  return out;
}

std::string format_state_file(int64_t saved_at, const std::string& services,
                              const std::string& messages, const std::string& history) {
  auto lines_of = [](const std::string& text) {
    size_t n = 0;
    for (const char c : text) n += c == '\n';
    return n;
  };
  size_t certs = 0;
  for (size_t at = 0; at < services.size();) {  // the lines that begin with "cert<TAB>"
    certs += services.compare(at, 5, "cert\t") == 0;
    const size_t line_end = services.find('\n', at);
    at = line_end == std::string::npos ? services.size() : line_end + 1;
  }
  char when[32];
  format_local_time(saved_at, "%Y-%m-%d %H:%M:%S", when, sizeof when);
  char head[128];
  std::snprintf(head, sizeof head, "%s\nsaved\tat=%" PRId64 "\tlocal=%s\n", kStateVersionLine,
                saved_at, when);
  char tail[128];
  std::snprintf(tail, sizeof tail, "end\tservices=%zu\tmessages=%zu", lines_of(services) - certs,
                lines_of(messages));
  if (certs > 0) std::snprintf(tail + std::strlen(tail), 32, "\tcerts=%zu", certs);
  std::string out = head;
  out.append(services).append(messages).append(history).append(tail);
  if (!history.empty()) out.append("\thistory=").append(std::to_string(lines_of(history)));
  out.append("\n");
  return out;
}

bool parse_state_file(const char* text, size_t len, SavedState* out, std::string* error) {
  *out = SavedState{};
  size_t at = 0;
  int number = 0;
  bool ended = false;
  Record record;
  auto fail = [&](const std::string& why) {
    char where[32];
    std::snprintf(where, sizeof where, "line %d: ", number);
    *error = where + why;
    *out = SavedState{};
    return false;
  };
  while (at < len) {
    const char* newline = static_cast<const char*>(std::memchr(text + at, '\n', len - at));
    size_t end = newline ? static_cast<size_t>(newline - text) : len;
    const size_t next = newline ? end + 1 : len;
    if (end > at && text[end - 1] == '\r') --end;
    ++number;
    if (end - at > kMaxStateLine) return fail("line too long");
    const std::string line(text + at, end - at);
    at = next;
    if (!newline) return fail("no line end: the file is cut");
    if (ended) return fail("text after the end line");
    if (number == 1) {
      if (line != kStateVersionLine) return fail("not \"" + std::string(kStateVersionLine) + "\"");
      continue;
    }
    for (const char c : line) {
      const unsigned char u = static_cast<unsigned char>(c);
      if ((u < 0x20 && c != '\t') || u == 0x7f) return fail("a control byte not escaped");
    }
    std::string why;
    if (!split_record(line, &record, &why)) return fail(why);
    if (number == 2) {
      if (record.type != "saved") return fail("no saved line");
      for (const auto& [name, value] : record.fields) {
        if (name == "at" && !parse_number(value, &out->saved_at)) return fail("bad saved time");
      }
      continue;
    }
    if (record.type == "service") {
      SavedService service;
      if (!read_service(record, &service, &why)) return fail(why);
      out->services.push_back(std::move(service));
    } else if (record.type == "message") {
      SavedMessage message;
      if (!read_message(record, &message, &why)) return fail(why);
      out->messages.push_back(std::move(message));
    } else if (record.type == "history") {
      SavedHistory history;
      if (!read_history(record, &history, &why)) return fail(why);
      out->histories.push_back(std::move(history));
    } else if (record.type == "cert") {
      SavedCert cert;
      if (!read_cert(record, &cert, &why)) return fail(why);
      out->certs.push_back(std::move(cert));
    } else if (record.type == "end") {
      int64_t services = -1;
      int64_t messages = -1;
      int64_t histories = 0;  // absent: none
      int64_t certs = 0;      // absent: none
      for (const auto& [name, value] : record.fields) {
        int64_t* target = name == "services"   ? &services
                          : name == "messages" ? &messages
                          : name == "history"  ? &histories
                          : name == "certs"    ? &certs
                                               : nullptr;
        if (!target || !parse_number(value, target)) return fail("bad end line");
      }
      if (services != static_cast<int64_t>(out->services.size()) ||
          messages != static_cast<int64_t>(out->messages.size()) ||
          histories != static_cast<int64_t>(out->histories.size()) ||
          certs != static_cast<int64_t>(out->certs.size())) {
        return fail("the counts of the end line differ from the records");
      }
      ended = true;
    } else {
      return fail("unknown record " + record.type.substr(0, 32));
    }
  }
  if (number < 2) return fail("no version and saved lines");
  if (!ended) return fail("no end line: the file is cut");
  return true;
}

int restore_services(const SavedState& saved, HostTable* table) {
  int restored = 0;
  for (const SavedService& service : saved.services) {
    HostEntry* found = nullptr;
    for (int i = 1; i <= table->host_count && i <= kMaxHosts && !found; ++i) {
      HostEntry& host = table->hosts[i];
      if (service.host == host.host.c_str() && service.port == host.port.c_str()) found = &host;
    }
    if (!found) {
      log_event("state of %s:%s dropped: no longer in %s", service.host.c_str(),
                service.port.c_str(), kHostFileName);
      continue;
    }
    HostState& state = *found;
    state = service.state;
    state.down_seen_before_restart = 0;
    // Only a DOWN the channels were told of is "still DOWN" after the
    // restart; one a window kept back is told when the host is seen again.
    if (state.alert_sent == 1 && state.held == 0) {
      state.down_seen_before_restart =
          state.last_fail_time > state.down_since ? state.last_fail_time : state.down_since;
      if (state.down_seen_before_restart <= 0) state.down_seen_before_restart = saved.saved_at;
    }
    ++restored;
  }
  for (const SavedCert& cert : saved.certs) {
    for (int i = 1; i <= table->host_count && i <= kMaxHosts; ++i) {
      HostEntry& host = table->hosts[i];
      if (host.tls != TlsMode::kNone && cert.host == host.host.c_str() &&
          cert.port == host.port.c_str()) {
        static_cast<HostCert&>(host) = cert.cert;
      }
    }
  }
  return restored;
}

int restore_history(const SavedState& saved, const HostTable& table, HistoryBook* book) {
  int restored = 0;
  for (const SavedHistory& saved_history : saved.histories) {
    for (int i = 1; i <= table.host_count && i <= kMaxHosts; ++i) {
      const HostEntry& host = table.hosts[i];
      if (saved_history.host != host.host.c_str() || saved_history.port != host.port.c_str())
        continue;
      book->services[i] = saved_history.history;
      if (saved_history.since != 0 && (book->since == 0 || saved_history.since < book->since))
        book->since = saved_history.since;
      ++restored;
      break;
    }
  }
  return restored;
}

int restore_messages(const SavedState& saved, int retry_minutes, int64_t now, Delivery* delivery) {
  int restored = 0;
  const int64_t window = static_cast<int64_t>(retry_minutes) * 60;
  for (const SavedMessage& saved_message : saved.messages) {
    const QueuedMessage& message = saved_message.message;
    if (!delivery || window <= 0 || now > message.event_time + window) {
      log_event("alert not delivered (retry_minutes are over at the start): %s",
                message.subject.c_str());
      continue;
    }
    if (!delivery->restore(message, saved_message.channels)) {
      log_event("alert not delivered (its channels are off now): %s", message.subject.c_str());
      continue;
    }
    ++restored;
  }
  return restored;
}

void load_state_file(SavedState* out) {
  *out = SavedState{};
  std::FILE* file = std::fopen(kStateFileName, "rb");
  if (!file) return;  // none yet: a fresh start
  std::string text;
  char buffer[65536];
  bool too_big = false;
  size_t got = 0;
  while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) {
    text.append(buffer, got);
    if (text.size() > kMaxStateFileBytes) {
      too_big = true;
      break;
    }
  }
  const bool read_error = std::ferror(file) != 0;
  std::fclose(file);
  std::string error;
  if (too_big) {
    error = "larger than its limit";
  } else if (read_error) {
    error = "cannot be read";
  } else if (parse_state_file(text.data(), text.size(), out, &error)) {
    return;
  }
  *out = SavedState{};
  const bool set_aside = platform::replace_file(kStateFileName, kStateBadFileName);
  print_and_log("%s is unusable (%s): %s; the run starts afresh", kStateFileName, error.c_str(),
                set_aside ? "set aside as linkwatch_state.txt.bad" : "it could not be set aside");
}

StateKeeper::~StateKeeper() {
  {
    std::lock_guard<std::mutex> hold(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
}

bool StateKeeper::start(Delivery* delivery) {
  std::lock_guard<std::mutex> hold(mutex_);
  delivery_ = delivery;
  stopping_ = false;
  if (!delivery_ || thread_.joinable()) return true;
  seen_changes_ = delivery_->change_count();
  return start_thread(&thread_, &StateKeeper::watch, this);
}

void StateKeeper::watch() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (!stopping_) {
    wake_.wait_for(lock, std::chrono::milliseconds(kWatchMs), [this] { return stopping_; });
    if (stopping_) break;
    const uint64_t changes = delivery_->change_count();
    if (changes == seen_changes_) continue;
    seen_changes_ = changes;
    messages_ = format_state_messages(delivery_->held_messages(), nullptr);
    write_locked();
  }
}

void StateKeeper::after_cycle(const HostTable& table, const std::string* history) {
  std::string services = format_state_services(table);
  std::lock_guard<std::mutex> hold(mutex_);
  const bool history_changed = history && *history != history_;
  if (!history_changed && services == services_ && writes_ > 0) return;
  services_ = std::move(services);
  if (history_changed) history_ = *history;
  if (delivery_) {
    seen_changes_ = delivery_->change_count();
    messages_ = format_state_messages(delivery_->held_messages(), nullptr);
  }
  write_locked();
}

void StateKeeper::finish(const HostTable& table, const std::vector<HeldMessage>& kept,
                         const std::string* history) {
  {
    std::lock_guard<std::mutex> hold(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
  std::lock_guard<std::mutex> hold(mutex_);
  services_ = format_state_services(table);
  if (history) history_ = *history;
  size_t left_out = 0;
  messages_ = format_state_messages(kept, &left_out);
  if (left_out > 0) log_event("%zu alerts too long for %s, not kept", left_out, kStateFileName);
  delivery_ = nullptr;
  write_locked();
}

uint64_t StateKeeper::writes() const {
  std::lock_guard<std::mutex> hold(mutex_);
  return writes_;
}

void StateKeeper::write_locked() {
  const std::string text = format_state_file(now_seconds(), services_, messages_, history_);
  const bool written = write_file_atomically(kStateFileName, text, true);
  if (written) {
    ++writes_;
    if (write_failing_) log_event("%s is written again", kStateFileName);
  } else if (!write_failing_) {
    log_event("Unable to write %s", kStateFileName);
  }
  write_failing_ = !written;
}

}  // namespace lw
