#include "config/config_keys.h"

#include <climits>
#include <cstring>
#include <iterator>

#include "config/protect.h"
#include "config/recipients.h"
#include "platform/platform.h"
#include "support/output.h"

namespace lw {

namespace {

using Out = FixedText<kConfigValueSize>;

KeyValue taken() { return KeyValue{}; }

KeyValue refused_unless(bool usable) {
  KeyValue value;
  if (!usable) value.verdict = KeyVerdict::kRefused;
  return value;
}

// A number read as the loader reads it (to_int): below 1 is `fallback`,
// above `max` is `max`; anything else than its plain digits is replaced.
KeyValue whole_number(const char* text, int fallback, int max) {
  const int n = to_int(text);
  KeyValue value;
  value.clamped = n < 1 || n > max;
  value.used.format("%d", n < 1 ? fallback : (n > max ? max : n));
  if (!(value.used == text)) value.verdict = KeyVerdict::kReplaced;
  return value;
}

// A number of an exact parse: `n` below 0 refuses it.
KeyValue exact_number(int n) {
  KeyValue value = refused_unless(n >= 0);
  if (n >= 0) value.used.format("%d", n);
  return value;
}

void show_number(int n, Out* out) { out->format("%d", n); }

// A secret as the loader reads it: too long for `limit` characters, or its
// plain text in `plain`.
KeyValue secret(const char* text, size_t limit, char* plain, size_t cap) {
  KeyValue value;
  if (!read_stored_secret(text, limit, plain, cap)) value.verdict = KeyVerdict::kTooLong;
  return value;
}

template <size_t N>
void store_secret(FixedText<N>* field, const char* written, NotifyLoadTarget* to) {
  if (read_stored_secret(written, N - 1, field->data(), field->capacity()) && written[0] != '\0') {
    to->to_protect = true;
  }
}

void report_too_long(const char* key, size_t limit, const char* channel) {
  print_and_log("%s in %s is too long (more than %zu characters); %s alerts are off", key,
                kNotifyFileName, limit, channel);
}

bool addresses_usable(const char* text) {
  MailRecipients split;
  split_mail_recipients(text, &split);
  return split.refused_count == 0;
}

bool check_workers(const HostKeyRow& row, const ConfigLine& line, int line_no,
                   const KeyValue& value, HostCheckState* state) {
  if (value.clamped) {
    // The loader takes 0 as 2 and 51 as 50; -check wants what is meant.
    if (to_int(line.value.c_str()) < 1) {
      plain_print("Line %d: workers must be greater than 0\n", line_no);
    } else {
      plain_print("Line %d: workers too high, maximum workers:%d\n", line_no, kMaxWorkers);
    }
    return false;
  }
  return check_by_verdict(row, line, line_no, value, *state);
}

bool check_host(const HostKeyRow&, const ConfigLine& line, int line_no, const KeyValue&,
                HostCheckState* state) {
  bool ok = check_host_block_end(*state);
  state->send_line = 0;
  state->has_expect = false;
  if (state->host_count > 0 && !state->current_has_port) {
    plain_print("Host block at line %d: missing key port\n", state->block_line);
    ok = false;
  }
  ++state->host_count;
  state->current_has_port = false;
  state->current_form = classify_host(line.value.c_str(), nullptr);
  if (state->current_form == HostForm::kNotAnAddress) {
    plain_print("Line %d: host \"%s\" is neither an IPv4 nor an IPv6 address\n", line_no,
                line.value.c_str());
    ok = false;
  }
  state->block_line = line_no;
  return ok;
}

bool check_port(const HostKeyRow& row, const ConfigLine& line, int line_no, const KeyValue& value,
                HostCheckState* state) {
  // A port before the first host belongs to no host; its text must still
  // name a port.
  if (state->host_count > 0) state->current_has_port = true;
  return check_by_verdict(row, line, line_no, value, *state);
}

bool check_family(const HostKeyRow& row, const ConfigLine& line, int line_no, const KeyValue& value,
                  HostCheckState* state) {
  if (!check_by_verdict(row, line, line_no, value, *state)) return false;
  // The loader takes a family that leaves the host's address out; the run
  // then has nothing to probe.
  const int family = parse_host_family(line.value.c_str());
  if (state->host_count > 0 && state->current_form != HostForm::kNotAnAddress &&
      !family_allows(family, state->current_form)) {
    plain_print("Line %d: family \"%s\" excludes the IPv%c address of the host at line %d\n",
                line_no, line.value.c_str(), state->current_form == HostForm::kIPv6 ? '6' : '4',
                state->block_line);
    return false;
  }
  return true;
}

bool check_expect(const HostKeyRow& row, const ConfigLine& line, int line_no, const KeyValue& value,
                  HostCheckState* state) {
  state->has_expect = state->has_expect || value.verdict != KeyVerdict::kRefused;
  return check_by_verdict(row, line, line_no, value, *state);
}

// -check of `send`: a refusal names what is wrong with the text.
bool check_send(const HostKeyRow& row, const ConfigLine& line, int line_no, const KeyValue&,
                HostCheckState* state) {
  char bytes[kMaxSendBytes];
  int32_t length = 0;
  const char* fault = read_send_text(line.value.c_str(), bytes, &length);
  if (fault) {
    plain_print("Line %d: invalid send \"%s\" (%s; %s)\n", line_no, line.value.c_str(), fault,
                row.range);
    return false;
  }
  if (state->host_count > 0) state->send_line = line_no;
  return true;
}

// The bytes of `send` written as a `send` text.
void show_send(const HostEntry& host, Out* out) {
  out->clear();
  for (int32_t i = 0; i < host.send_length; ++i) {
    const char c = host.send[i];
    const auto byte = static_cast<unsigned char>(c);
    if (c == '\\' || c == '\r' || c == '\n' || c == '\t') {
      out->append_format("\\%c", c == '\r' ? 'r' : c == '\n' ? 'n' : c == '\t' ? 't' : '\\');
    } else if (byte < 0x20 || byte == 0x7F) {
      out->append_format("\\x%02X", byte);
    } else {
      out->append_format("%c", c);
    }
  }
}

void show_netcheck(const MonitorSettings& s, Out* out) {
  out->clear();
  for (int i = 0; i < s.netcheck_count; ++i) {
    const char* host = s.netcheck[i].host.c_str();
    const bool brackets = std::strchr(host, ':') != nullptr;
    out->append_format("%s%s%s%s:%u", i > 0 ? "," : "", brackets ? "[" : "", host,
                       brackets ? "]" : "", static_cast<unsigned>(s.netcheck[i].port));
  }
}

const char* family_text(int family) {
  return family == kFamilyIPv4 ? "4" : family == kFamilyIPv6 ? "6" : "any";
}

// `maintenance`: the windows of a line added to the host's (to->host) or
// the global ones; those beyond the room left are dropped with a note.
void store_windows(const char* written, HostLoadTarget* to) {
  MaintenanceWindow read[kMaxGlobalWindows];
  int32_t count = 0;
  if (!parse_maintenance_list(written, read, &count)) return;
  MaintenanceWindow* into =
      to->host ? to->host->maintenance.window : to->settings->maintenance.window;
  int32_t* have = to->host ? &to->host->maintenance.count : &to->settings->maintenance.count;
  const int room = to->host ? kMaxHostWindows : kMaxGlobalWindows;
  for (int i = 0; i < count; ++i) {
    if (*have == room) {
      print_and_log("more than %d maintenance windows %s%s in %s; the rest are left out", room,
                    to->host ? "for host " : "before the first host",
                    to->host ? to->host->host.c_str() : "", kHostFileName);
      return;
    }
    into[(*have)++] = read[i];
  }
}

void show_windows(const MaintenanceWindow* windows, int count, Out* out) {
  out->assign("");
  FixedText<64> one;
  for (int i = 0; i < count; ++i) {
    format_maintenance_window(windows[i], &one);
    out->append_format("%s%s", i > 0 ? "; " : "", one.c_str());
  }
}

// -check of `maintenance`: the line's windows by verdict, then the room of
// the block (or of the globals) counted over its lines.
bool check_maintenance(const HostKeyRow& row, const ConfigLine& line, int line_no,
                       const KeyValue& value, HostCheckState* state) {
  if (!check_by_verdict(row, line, line_no, value, *state)) return false;
  if (state->windows_block_line != state->block_line) {
    state->windows_block_line = state->block_line;
    state->windows_count = 0;
  }
  MaintenanceWindow read[kMaxGlobalWindows];
  int32_t count = 0;
  parse_maintenance_list(line.value.c_str(), read, &count);
  state->windows_count += count;
  const int room = state->block_line > 0 ? kMaxHostWindows : kMaxGlobalWindows;
  if (state->windows_count <= room) return true;
  plain_print("Line %d: more than %d maintenance windows %s\n", line_no, room,
              state->block_line > 0 ? "in one host block" : "before the first host block");
  return false;
}

// The host file's keys, in the order -check lists missing ones and suggests
// known ones. Columns: name, scope, range, default, when missing, parse,
// store, on_refused, the loader's note (rule, fallback), on_replaced, check
// (null: by verdict), show. A global 0-or-1 key, for example, is
// exact_number(parse) with a store and show of its setting, kFallBack with
// its note, and no check of its own.
constexpr HostKeyRow kHostKeys[] = {
    {"interval", KeyScope::kGlobal, "", kDefaultIntervalText, WhenMissing::kRequired,
     [](const char* v) {
       // An empty value is passed over: the interval stays as it was.
       if (v[0] == '\0') return KeyValue{KeyVerdict::kIgnored, {}, false};
       return whole_number(v, kDefaultIntervalSeconds, INT_MAX);
     },
     // The text is kept; the run reads it as the parse does.
     [](const char* w, const KeyValue&, HostLoadTarget* to) { to->settings->interval.assign(w); },
     LoadRefused::kFallBack, nullptr, nullptr, CheckReplaced::kWarn, nullptr,
     [](const MonitorSettings& s, const HostEntry*, Out* out) {
       const int n = to_int(s.interval.c_str());
       show_number(n < 1 ? kDefaultIntervalSeconds : n, out);
     }},
    {"fast_retry_interval", KeyScope::kGlobal, "", "3", WhenMissing::kRequired,
     [](const char* v) { return whole_number(v, kDefaultFastRetrySeconds, INT_MAX); },
     [](const char*, const KeyValue& v, HostLoadTarget* to) {
       to->settings->fast_retry_interval = to_int(v.used.c_str());
     },
     LoadRefused::kFallBack, nullptr, nullptr, CheckReplaced::kWarn, nullptr,
     [](const MonitorSettings& s, const HostEntry*, Out* out) {
       show_number(s.fast_retry_interval, out);
     }},
    // The loader takes 0 as 2 and clamps to 50; -check fails both.
    {"workers", KeyScope::kGlobal, "", "2", WhenMissing::kInfo,
     [](const char* v) { return whole_number(v, kDefaultWorkers, kMaxWorkers); },
     [](const char*, const KeyValue& v, HostLoadTarget* to) {
       to->settings->workers = to_int(v.used.c_str());
     },
     LoadRefused::kFallBack, nullptr, nullptr, CheckReplaced::kFailClamped, check_workers,
     [](const MonitorSettings& s, const HostEntry*, Out* out) { show_number(s.workers, out); }},
    {"recovercount", KeyScope::kGlobal, "use 1 to 100", "1", WhenMissing::kOptional,
     [](const char* v) {
       const int n = parse_recover_count(v);
       return exact_number(n == 0 ? -1 : n);
     },
     [](const char*, const KeyValue& v, HostLoadTarget* to) {
       to->settings->recover_count = to_int(v.used.c_str());
     },
     LoadRefused::kFallBack, "a number from 1 to 100", "recovering at once", CheckReplaced::kWarn,
     nullptr,
     [](const MonitorSettings& s, const HostEntry*, Out* out) {
       show_number(s.recover_count, out);
     }},
    {"remind_minutes", KeyScope::kGlobal, "use 0, or 5 to 10080", "0", WhenMissing::kOptional,
     [](const char* v) { return exact_number(parse_remind_minutes(v)); },
     [](const char*, const KeyValue& v, HostLoadTarget* to) {
       to->settings->remind_minutes = to_int(v.used.c_str());
     },
     LoadRefused::kFallBack, "0 or a number from 5 to 10080", "no reminders", CheckReplaced::kWarn,
     nullptr,
     [](const MonitorSettings& s, const HostEntry*, Out* out) {
       show_number(s.remind_minutes, out);
     }},
    {"group_alerts", KeyScope::kGlobal, "use 0, or 2 to 255", "0", WhenMissing::kOptional,
     [](const char* v) { return exact_number(parse_group_alerts(v)); },
     [](const char*, const KeyValue& v, HostLoadTarget* to) {
       to->settings->group_alerts = to_int(v.used.c_str());
     },
     LoadRefused::kFallBack, "0 or a number from 2 to 255", "no digests", CheckReplaced::kWarn,
     nullptr,
     [](const MonitorSettings& s, const HostEntry*, Out* out) {
       show_number(s.group_alerts, out);
     }},
    {"netcheck", KeyScope::kGlobal, "use up to 4 host:port references, separated by commas", "",
     WhenMissing::kOptional,
     [](const char* v) {
       NetReference refs[kMaxNetReferences];
       int32_t count = 0;
       return refused_unless(parse_netcheck(v, refs, &count));
     },
     [](const char* w, const KeyValue&, HostLoadTarget* to) {
       parse_netcheck(w, to->settings->netcheck, &to->settings->netcheck_count);
     },
     LoadRefused::kFallBack, "up to 4 host:port references", "every check counts",
     CheckReplaced::kWarn, nullptr,
     [](const MonitorSettings& s, const HostEntry*, Out* out) { show_netcheck(s, out); }},
    {"status_file", KeyScope::kGlobal, "use 0 or 1", "0", WhenMissing::kOptional,
     [](const char* v) { return exact_number(parse_status_file(v)); },
     [](const char* w, const KeyValue&, HostLoadTarget* to) {
       to->settings->status_file = parse_status_file(w) == 1;
     },
     LoadRefused::kFallBack, "0 or 1", "no status file", CheckReplaced::kWarn, nullptr,
     [](const MonitorSettings& s, const HostEntry*, Out* out) { show_number(s.status_file, out); }},
    // Restarts keep the alert states and the waiting messages (app/state_file.h).
    {"state_file", KeyScope::kGlobal, "use 0 or 1", "0", WhenMissing::kOptional,
     [](const char* v) { return exact_number(parse_state_file(v)); },
     [](const char* w, const KeyValue&, HostLoadTarget* to) {
       to->settings->state_file = parse_state_file(w) == 1;
     },
     LoadRefused::kFallBack, "0 or 1", "no state file", CheckReplaced::kWarn, nullptr,
     [](const MonitorSettings& s, const HostEntry*, Out* out) { show_number(s.state_file, out); }},
    {"rolling_workers", KeyScope::kGlobal, "use 0 or 1", "0", WhenMissing::kOptional,
     [](const char* v) { return exact_number(parse_rolling_workers(v)); },
     [](const char* w, const KeyValue&, HostLoadTarget* to) {
       to->settings->rolling_workers = parse_rolling_workers(w) == 1;
     },
     LoadRefused::kFallBack, "0 or 1", "checks run in batches", CheckReplaced::kWarn, nullptr,
     [](const MonitorSettings& s, const HostEntry*, Out* out) {
       show_number(s.rolling_workers, out);
     }},
    {"metrics_file", KeyScope::kGlobal, "use a file name ending in .prom", "",
     WhenMissing::kOptional, [](const char* v) { return refused_unless(metrics_file_usable(v)); },
     [](const char* w, const KeyValue&, HostLoadTarget* to) {
       to->settings->metrics_file.assign(w);
     },
     LoadRefused::kFallBack, "a file name ending in .prom", "no metrics file", CheckReplaced::kWarn,
     nullptr,
     [](const MonitorSettings& s, const HostEntry*, Out* out) {
       out->assign(s.metrics_file.c_str());
     }},
    // The status page (app/status_page.h), rewritten after every cycle.
    {"status_html", KeyScope::kGlobal, "use a file name ending in .html", "",
     WhenMissing::kOptional, [](const char* v) { return refused_unless(status_html_usable(v)); },
     [](const char* w, const KeyValue&, HostLoadTarget* to) {
       to->settings->status_html.assign(w);
     },
     LoadRefused::kFallBack, "a file name ending in .html", "no status page", CheckReplaced::kWarn,
     nullptr,
     [](const MonitorSettings& s, const HostEntry*, Out* out) {
       out->assign(s.status_html.c_str());
     }},
    {"report_uptime", KeyScope::kGlobal, "use 0 or 1", "0", WhenMissing::kOptional,
     [](const char* v) { return exact_number(parse_report_uptime(v)); },
     [](const char* w, const KeyValue&, HostLoadTarget* to) {
       to->settings->report_uptime = parse_report_uptime(w) == 1;
     },
     LoadRefused::kFallBack, "0 or 1", "no uptime in the alive report", CheckReplaced::kWarn,
     nullptr,
     [](const MonitorSettings& s, const HostEntry*, Out* out) {
       show_number(s.report_uptime, out);
     }},
    {"site", KeyScope::kGlobal, "use up to 63 letters, digits, spaces and . _ - : /", "",
     WhenMissing::kOptional, [](const char* v) { return refused_unless(site_usable(v)); },
     [](const char* w, const KeyValue&, HostLoadTarget* to) { to->settings->site.assign(w); },
     LoadRefused::kFallBack, "up to 63 letters, digits, spaces and . _ - : /", "no site name",
     CheckReplaced::kWarn, nullptr,
     [](const MonitorSettings& s, const HostEntry*, Out* out) { out->assign(s.site.c_str()); }},
    // How the host alerts read (AlertText); a refused value keeps the classic texts.
    {"alert_text", KeyScope::kGlobal, "use classic or clear", "classic", WhenMissing::kOptional,
     [](const char* v) { return refused_unless(parse_alert_text(v) >= 0); },
     [](const char* w, const KeyValue&, HostLoadTarget* to) {
       to->settings->alert_text =
           parse_alert_text(w) == 1 ? AlertText::kClear : AlertText::kClassic;
     },
     LoadRefused::kFallBack, "classic or clear", "the classic alert texts are used",
     CheckReplaced::kWarn, nullptr,
     [](const MonitorSettings& s, const HostEntry*, Out* out) {
       out->assign(s.alert_text == AlertText::kClear ? "clear" : "classic");
     }},
    // The loader keeps a host that is no address; its resolution then fails.
    {"host", KeyScope::kBlock, "", "", WhenMissing::kRequired,
     [](const char* v) {
       return refused_unless(classify_host(v, nullptr) != HostForm::kNotAnAddress);
     },
     [](const char* w, const KeyValue&, HostLoadTarget* to) { set_host_text(to->host, w); },
     LoadRefused::kKeep, nullptr, nullptr, CheckReplaced::kWarn, check_host,
     [](const MonitorSettings&, const HostEntry* h, Out* out) { out->assign(h->host.c_str()); }},
    // The loader keeps the port as written; the run reports it as invalid.
    {"port", KeyScope::kPerHost, "use 1 to 65535", "", WhenMissing::kOptional,
     [](const char* v) { return refused_unless(port_number(v) != 0); },
     [](const char* w, const KeyValue&, HostLoadTarget* to) { set_port_text(to->host, w); },
     LoadRefused::kKeep, nullptr, nullptr, CheckReplaced::kWarn, check_port,
     [](const MonitorSettings&, const HostEntry* h, Out* out) { out->assign(h->port.c_str()); }},
    {"description", KeyScope::kPerHost, "", "", WhenMissing::kOptional,
     [](const char*) { return taken(); },
     [](const char* w, const KeyValue&, HostLoadTarget* to) { to->host->description.assign(w); },
     LoadRefused::kKeep, nullptr, nullptr, CheckReplaced::kWarn, nullptr,
     [](const MonitorSettings&, const HostEntry* h, Out* out) {
       out->assign(h->description.c_str());
     }},
    {"timeoutsec", KeyScope::kPerHost, "", "10", WhenMissing::kOptional,
     [](const char* v) { return whole_number(v, kDefaultTimeoutSeconds, INT_MAX); },
     [](const char*, const KeyValue& v, HostLoadTarget* to) {
       to->host->timeoutsec = to_int(v.used.c_str());
     },
     LoadRefused::kFallBack, nullptr, nullptr, CheckReplaced::kWarn, nullptr,
     [](const MonitorSettings&, const HostEntry* h, Out* out) { show_number(h->timeoutsec, out); }},
    {"alertcount", KeyScope::kPerHost, "", kDefaultAlertCountText, WhenMissing::kOptional,
     [](const char* v) { return whole_number(v, kDefaultAlertCount, INT_MAX); },
     [](const char* w, const KeyValue& v, HostLoadTarget* to) {
       to->host->alertcount = to_int(v.used.c_str());
       to->host->alertcount_text.assign(w);  // as written, even when the default is used
     },
     LoadRefused::kFallBack, nullptr, nullptr, CheckReplaced::kWarn, nullptr,
     [](const MonitorSettings&, const HostEntry* h, Out* out) { show_number(h->alertcount, out); }},
    // -check also fails a family that excludes the host's address (check_family).
    {"family", KeyScope::kPerHost, "use 4, 6 or any", "any", WhenMissing::kOptional,
     [](const char* v) { return refused_unless(parse_host_family(v) >= 0); },
     [](const char* w, const KeyValue&, HostLoadTarget* to) {
       to->host->family = parse_host_family(w);
     },
     LoadRefused::kFallBack, "4, 6 or any", "using any", CheckReplaced::kWarn, check_family,
     [](const MonitorSettings&, const HostEntry* h, Out* out) {
       out->assign(family_text(h->family));
     }},
    // The certificate check (app/cert_watch.h); absent: none.
    {"tls", KeyScope::kPerHost, "use direct, smtp, imap, pop3 or ftp", "", WhenMissing::kOptional,
     [](const char* v) { return refused_unless(parse_tls_mode(v) > 0); },
     [](const char* w, const KeyValue&, HostLoadTarget* to) {
       const int mode = parse_tls_mode(w);
       to->host->tls = mode > 0 ? static_cast<TlsMode>(mode) : TlsMode::kNone;
     },
     LoadRefused::kFallBack, "direct, smtp, imap, pop3 or ftp", "no certificate check",
     CheckReplaced::kWarn, nullptr,
     [](const MonitorSettings&, const HostEntry* h, Out* out) {
       out->assign(tls_mode_name(h->tls));
     }},
    // Before the first host block every host's; inside one that host's.
    {"cert_days", KeyScope::kEither, "use 1 to 4 whole numbers 1 to 365, separated by commas",
     kDefaultCertDaysText, WhenMissing::kOptional,
     [](const char* v) {
       CertDays days;
       KeyValue value = refused_unless(parse_cert_days(v, &days));
       FixedText<64> text;
       format_cert_days(days, &text);
       if (value.verdict == KeyVerdict::kTaken && !(text == v)) {
         value.verdict = KeyVerdict::kReplaced;  // blanks, leading zeros, a repeat
         value.used.assign(text.c_str());
       }
       return value;
     },
     // The default itself (a refused line) leaves a host with the global days.
     [](const char* w, const KeyValue&, HostLoadTarget* to) {
       CertDays* days = to->host ? &to->host->cert_days : &to->settings->cert_days;
       if (w == kDefaultCertDaysText && to->host) {
         *days = CertDays{};
       } else {
         parse_cert_days(w, days);
       }
     },
     LoadRefused::kFallBack, "1 to 4 whole numbers 1 to 365, separated by commas",
     "the line is left out", CheckReplaced::kWarn, nullptr,
     [](const MonitorSettings& s, const HostEntry* h, Out* out) {
       FixedText<64> text;
       format_cert_days(h && h->cert_days.count ? h->cert_days : s.cert_days, &text);
       out->assign(text.c_str());
     }},
    // Repeatable: every line adds its windows ("Sun 02:00-04:00; daily
    // 03:00-03:30"); before the first host block for every host.
    {"maintenance", KeyScope::kEither,
     "use windows such as \"Sun 02:00-04:00\", \"Mon,Wed 22:00-02:00\", \"daily 03:00-03:30\" "
     "or \"first Tue 20:00-23:00\", separated by ';'",
     "", WhenMissing::kOptional,
     [](const char* v) {
       MaintenanceWindow read[kMaxGlobalWindows];
       int32_t count = 0;
       return refused_unless(parse_maintenance_list(v, read, &count));
     },
     [](const char* w, const KeyValue&, HostLoadTarget* to) { store_windows(w, to); },
     LoadRefused::kFallBack, "windows such as \"Sun 02:00-04:00\" separated by ';'",
     "the line is left out", CheckReplaced::kWarn, check_maintenance,
     [](const MonitorSettings& s, const HostEntry* h, Out* out) {
       if (h) {
         show_windows(h->maintenance.window, h->maintenance.count, out);
       } else {
         show_windows(s.maintenance.window, s.maintenance.count, out);
       }
     }},
    // With `expect` a check passes only when the service sends it in time
    // (probe_host_entry); -check fails a `send` without it (check_host_block_end).
    {"expect", KeyScope::kPerHost, "use 1 to 63 bytes without control characters", "",
     WhenMissing::kOptional, [](const char* v) { return refused_unless(expect_usable(v)); },
     [](const char* w, const KeyValue&, HostLoadTarget* to) { to->host->expect.assign(w); },
     LoadRefused::kFallBack, "1 to 63 bytes without control characters",
     "only the connect is checked", CheckReplaced::kWarn, check_expect,
     [](const MonitorSettings&, const HostEntry* h, Out* out) { out->assign(h->expect.c_str()); }},
    {"send", KeyScope::kPerHost, "use up to 127 bytes with the escapes \\r \\n \\t \\\\ \\xHH", "",
     WhenMissing::kOptional,
     [](const char* v) {
       char bytes[kMaxSendBytes];
       int32_t length = 0;
       return refused_unless(read_send_text(v, bytes, &length) == nullptr);
     },
     [](const char* w, const KeyValue&, HostLoadTarget* to) {
       read_send_text(w, to->host->send, &to->host->send_length);
     },
     LoadRefused::kFallBack, "up to 127 bytes with the escapes \\r \\n \\t \\\\ \\xHH",
     "nothing is sent", CheckReplaced::kWarn, check_send,
     [](const MonitorSettings&, const HostEntry* h, Out* out) { show_send(*h, out); }},
};

// The default of `webhook_url`. The loader stores the default in place of a
// secret that is too long (load_notify_key), and only then, since a refused
// address is kept: the row's store tells the two apart by this address.
constexpr char kNoWebhookUrl[] = "";

// The web hook a webhook_* line goes to, or null (before any webhook_url).
WebhookSettings* current_webhook(NotifyLoadTarget* to) {
  return to->webhook >= 0 ? &to->settings->webhooks[to->webhook] : nullptr;
}

// The last web hook block of `settings`, as the rows show it; a default
// block when there is none.
const WebhookSettings& last_webhook(const NotifySettings& settings) {
  static const WebhookSettings kNone;
  return settings.webhook_count > 0 ? settings.webhooks[settings.webhook_count - 1] : kNone;
}

WebhookFormat parse_webhook_format(const char* text) {
  return std::strcmp(text, "json") == 0 ? WebhookFormat::kJson : WebhookFormat::kText;
}

// -check of a line of a web hook block other than `webhook_url`: there must
// be a block to belong to.
bool check_in_webhook(const NotifyKeyRow& row, const ConfigLine& line, int line_no,
                      const KeyValue& value, NotifyCheckState* state) {
  if (state->webhook.count == 0) {
    plain_print("Line %d: %s before any webhook_url; a web hook begins with its webhook_url line\n",
                line_no, row.name);
    return false;
  }
  if (state->webhook.count > kMaxWebhooks) return true;  // its webhook_url failed already
  return check_by_verdict(row, line, line_no, value, *state);
}

// The notification file's keys; the loader's notes come out in this order.
// Columns: name, range, default, when missing, shows value, parse, store,
// on_refused, the loader's note (rule, fallback, or its own), check (null:
// by verdict), show.
constexpr NotifyKeyRow kNotifyKeys[] = {
    {"server", "", "", WhenMissing::kRequired, true, [](const char*) { return taken(); },
     [](const char* w, const KeyValue&, NotifyLoadTarget* to) { to->settings->server.assign(w); },
     LoadRefused::kKeep, nullptr, nullptr, nullptr, nullptr,
     [](const NotifySettings& s, Out* out) { out->assign(s.server.c_str()); }},
    {"email", "", "", WhenMissing::kRequired, true, [](const char*) { return taken(); },
     [](const char* w, const KeyValue&, NotifyLoadTarget* to) { to->settings->email.assign(w); },
     LoadRefused::kKeep, nullptr, nullptr, nullptr, nullptr,
     [](const NotifySettings& s, Out* out) { out->assign(s.email.c_str()); }},
    {"password", "", "", WhenMissing::kRequired, false,
     [](const char* v) {
       char plain[kMaxPasswordLength + 1];
       return secret(v, kMaxPasswordLength, plain, sizeof plain);
     },
     [](const char* w, const KeyValue&, NotifyLoadTarget* to) {
       store_secret(&to->settings->password, w, to);
     },
     LoadRefused::kFallBack, nullptr, nullptr,
     [](const NotifySettings&) { report_too_long("password", kMaxPasswordLength, "e-mail"); },
     nullptr, [](const NotifySettings& s, Out* out) { out->assign(s.password.c_str()); }},
    {"from", "", "", WhenMissing::kOptional, true, [](const char*) { return taken(); },
     [](const char* w, const KeyValue&, NotifyLoadTarget* to) { to->settings->from.assign(w); },
     LoadRefused::kKeep, nullptr, nullptr, nullptr, nullptr,
     [](const NotifySettings& s, Out* out) { out->assign(s.from.c_str()); }},
    // The loader keeps every address; the run leaves one with a control
    // byte out. The value is not shown: a terminal would act on it.
    {"to", "an address holds a control character", "", WhenMissing::kRequired, false,
     [](const char* v) { return refused_unless(addresses_usable(v)); },
     [](const char* w, const KeyValue&, NotifyLoadTarget* to) { to->settings->to.assign(w); },
     LoadRefused::kKeep, nullptr, nullptr, nullptr, nullptr,
     [](const NotifySettings& s, Out* out) { out->assign(s.to.c_str()); }},
    {"iamalive", "an address holds a control character", "", WhenMissing::kOptional, false,
     [](const char* v) { return refused_unless(addresses_usable(v)); },
     [](const char* w, const KeyValue&, NotifyLoadTarget* to) {
       to->settings->iamalive.assign(w);
       // A later line without an at sign does not clear the flag.
       if (std::strchr(w, '@')) to->settings->iamalive_enabled = 1;
     },
     LoadRefused::kKeep, nullptr, nullptr, nullptr, nullptr,
     [](const NotifySettings& s, Out* out) { out->assign(s.iamalive.c_str()); }},
    // Checked in its plain text. The loader keeps a token of another shape
    // (the Telegram send then fails); the token is never shown.
    {"token", "use the bot token from @BotFather: digits, a colon, then letters, digits, _ and -",
     "", WhenMissing::kOptional, false,
     [](const char* v) {
       char plain[kMaxTokenLength + 1];
       KeyValue value = secret(v, kMaxTokenLength, plain, sizeof plain);
       if (value.verdict == KeyVerdict::kTaken && !telegram_token_usable(plain)) {
         value.verdict = KeyVerdict::kRefused;
       }
       return value;
     },
     [](const char* w, const KeyValue&, NotifyLoadTarget* to) {
       store_secret(&to->settings->token, w, to);
       if (!to->settings->token.empty()) to->settings->telegram_enabled = 1;
     },
     LoadRefused::kKeep, nullptr, nullptr,
     [](const NotifySettings&) { report_too_long("token", kMaxTokenLength, "Telegram"); }, nullptr,
     [](const NotifySettings& s, Out* out) { out->assign(s.token.c_str()); }},
    {"chat_id", "", "", WhenMissing::kOptional, true, [](const char*) { return taken(); },
     [](const char* w, const KeyValue&, NotifyLoadTarget* to) { to->settings->chat_id.assign(w); },
     LoadRefused::kKeep, nullptr, nullptr, nullptr, nullptr,
     [](const NotifySettings& s, Out* out) { out->assign(s.chat_id.c_str()); }},
    {"teams_webhook", "", "", WhenMissing::kOptional, true, [](const char*) { return taken(); },
     [](const char* w, const KeyValue&, NotifyLoadTarget* to) {
       to->settings->teams_webhook.assign(w);
       if (!to->settings->teams_webhook.empty()) to->settings->teams_enabled = 1;
     },
     LoadRefused::kKeep, nullptr, nullptr, nullptr, nullptr,
     [](const NotifySettings& s, Out* out) { out->assign(s.teams_webhook.c_str()); }},
    {"retry_minutes", "use 0 to 1440", "0", WhenMissing::kOptional, true,
     [](const char* v) { return exact_number(parse_retry_minutes(v)); },
     [](const char* w, const KeyValue&, NotifyLoadTarget* to) {
       to->settings->retry_minutes = parse_retry_minutes(w);
     },
     LoadRefused::kFallBack, "a number from 0 to 1440", "failed alerts are not retried", nullptr,
     nullptr, [](const NotifySettings& s, Out* out) { show_number(s.retry_minutes, out); }},
    // The address is never shown: it may carry the watching service's secret.
    {"heartbeat_url", "use an https:// address", "", WhenMissing::kOptional, false,
     [](const char* v) { return refused_unless(heartbeat_url_usable(v)); },
     [](const char* w, const KeyValue&, NotifyLoadTarget* to) {
       to->settings->heartbeat_url.assign(w);
     },
     LoadRefused::kFallBack, "an https:// address", "no heartbeat", nullptr, nullptr,
     [](const NotifySettings& s, Out* out) { out->assign(s.heartbeat_url.c_str()); }},
    {"ssl_revoke", "use best-effort or off", "", WhenMissing::kOptional, true,
     [](const char* v) { return refused_unless(ssl_revoke_option(v) != nullptr); },
     [](const char* w, const KeyValue&, NotifyLoadTarget* to) {
       to->settings->ssl_revoke.assign(w);
     },
     LoadRefused::kFallBack, "best-effort or off", "it is not used", nullptr,
     [](const NotifyKeyRow& row, const ConfigLine& line, int line_no, const KeyValue& value,
        NotifyCheckState* state) {
       if (!check_by_verdict(row, line, line_no, value, *state)) return false;
       if (!line.value.empty() && !platform::kTlsChecksRevocation) {
         plain_print(
             "Warning: %s line %d: ssl_revoke applies to Windows' TLS only; it is ignored here\n",
             state->file_name, line_no);
       }
       return true;
     },
     [](const NotifySettings& s, Out* out) { out->assign(s.ssl_revoke.c_str()); }},
    // The address is never shown: it may carry the proxy's login.
    {"proxy", "use an address like http://host:port", "", WhenMissing::kOptional, false,
     [](const char* v) { return refused_unless(v[0] == '\0' || proxy_usable(v)); },
     [](const char* w, const KeyValue&, NotifyLoadTarget* to) { to->settings->proxy.assign(w); },
     LoadRefused::kFallBack, "an address like http://host:port", "it is not used", nullptr, nullptr,
     [](const NotifySettings& s, Out* out) { out->assign(s.proxy.c_str()); }},
    // The loader keeps a file it cannot read: curl then refuses every TLS send.
    {"cacert", "", "", WhenMissing::kOptional, true,
     [](const char* v) { return refused_unless(v[0] == '\0' || file_readable(v)); },
     [](const char* w, const KeyValue&, NotifyLoadTarget* to) { to->settings->cacert.assign(w); },
     LoadRefused::kKeepWithNote, nullptr, nullptr,
     [](const NotifySettings& s) {
       print_and_log("cacert \"%s\" in %s cannot be read; TLS sends will fail", s.cacert.c_str(),
                     kNotifyFileName);
     },
     [](const NotifyKeyRow&, const ConfigLine& line, int line_no, const KeyValue& value,
        NotifyCheckState*) {
       if (value.verdict != KeyVerdict::kRefused) return true;
       plain_print("Line %d: cacert file \"%s\" cannot be read\n", line_no, line.value.c_str());
       return false;
     },
     [](const NotifySettings& s, Out* out) { out->assign(s.cacert.c_str()); }},
    // The e-mail login (see mail_auth_check.h for what "-check" asks of them together).
    {"smtp_auth", "use password, none or oauth2", "", WhenMissing::kOptional, true,
     [](const char* v) { return refused_unless(parse_mail_auth(v, nullptr)); },
     [](const char* w, const KeyValue&, NotifyLoadTarget* to) {
       to->settings->smtp_auth.assign(w);
     },
     LoadRefused::kFallBack, "password, none or oauth2", "using password", nullptr, nullptr,
     [](const NotifySettings& s, Out* out) { out->assign(s.smtp_auth.c_str()); }},
    {"smtp_tls", "use required or try", "", WhenMissing::kOptional, true,
     [](const char* v) { return refused_unless(smtp_tls_usable(v)); },
     [](const char* w, const KeyValue&, NotifyLoadTarget* to) { to->settings->smtp_tls.assign(w); },
     LoadRefused::kFallBack, "required or try", "using required", nullptr, nullptr,
     [](const NotifySettings& s, Out* out) { out->assign(s.smtp_tls.c_str()); }},
    {"oauth2_token_url", "use an https:// address", "", WhenMissing::kOptional, true,
     [](const char* v) { return refused_unless(v[0] == '\0' || token_url_usable(v)); },
     [](const char* w, const KeyValue&, NotifyLoadTarget* to) {
       to->settings->oauth2_token_url.assign(w);
     },
     LoadRefused::kFallBack, "an https:// address", "no token can be fetched", nullptr, nullptr,
     [](const NotifySettings& s, Out* out) { out->assign(s.oauth2_token_url.c_str()); }},
    {"oauth2_client_id", "", "", WhenMissing::kOptional, true, [](const char*) { return taken(); },
     [](const char* w, const KeyValue&, NotifyLoadTarget* to) {
       to->settings->oauth2_client_id.assign(w);
     },
     LoadRefused::kKeep, nullptr, nullptr, nullptr, nullptr,
     [](const NotifySettings& s, Out* out) { out->assign(s.oauth2_client_id.c_str()); }},
    {"oauth2_client_secret", "", "", WhenMissing::kOptional, false,
     [](const char* v) {
       char plain[kMaxOAuth2SecretLength + 1];
       return secret(v, kMaxOAuth2SecretLength, plain, sizeof plain);
     },
     [](const char* w, const KeyValue&, NotifyLoadTarget* to) {
       store_secret(&to->settings->oauth2_client_secret, w, to);
     },
     LoadRefused::kFallBack, nullptr, nullptr,
     [](const NotifySettings&) {
       report_too_long("oauth2_client_secret", kMaxOAuth2SecretLength, "e-mail");
     },
     nullptr,
     [](const NotifySettings& s, Out* out) { out->assign(s.oauth2_client_secret.c_str()); }},
    {"oauth2_scope", "", "", WhenMissing::kOptional, true, [](const char*) { return taken(); },
     [](const char* w, const KeyValue&, NotifyLoadTarget* to) {
       to->settings->oauth2_scope.assign(w);
     },
     LoadRefused::kKeep, nullptr, nullptr, nullptr, nullptr,
     [](const NotifySettings& s, Out* out) { out->assign(s.oauth2_scope.c_str()); }},
    {"oauth2_refresh_token", "", "", WhenMissing::kOptional, false,
     [](const char* v) {
       char plain[kMaxOAuth2SecretLength + 1];
       return secret(v, kMaxOAuth2SecretLength, plain, sizeof plain);
     },
     [](const char* w, const KeyValue&, NotifyLoadTarget* to) {
       store_secret(&to->settings->oauth2_refresh_token, w, to);
     },
     LoadRefused::kFallBack, nullptr, nullptr,
     [](const NotifySettings&) {
       report_too_long("oauth2_refresh_token", kMaxOAuth2SecretLength, "e-mail");
     },
     nullptr,
     [](const NotifySettings& s, Out* out) { out->assign(s.oauth2_refresh_token.c_str()); }},
    {"no_proxy", "use host names, addresses and .domains separated by commas", "",
     WhenMissing::kOptional, true, [](const char* v) { return refused_unless(no_proxy_usable(v)); },
     [](const char* w, const KeyValue&, NotifyLoadTarget* to) { to->settings->no_proxy.assign(w); },
     LoadRefused::kFallBack, "host names, addresses and .domains separated by commas",
     "it is not used", nullptr, nullptr,
     [](const NotifySettings& s, Out* out) { out->assign(s.no_proxy.c_str()); }},
    // Web hooks: each `webhook_url` begins a block; the other webhook_* keys
    // belong to the block above them (the loader drops them before the
    // first, -check fails them). The address is a secret, never shown; the
    // loader keeps one it refuses and turns its web hook off with a note of
    // its own (finish_webhooks), as it does for a "json" body that is no JSON.
    {"webhook_url", "use an https:// address, or http:// to this computer", kNoWebhookUrl,
     WhenMissing::kOptional, false,
     [](const char* v) {
       char plain[kMaxWebhookUrlLength + 1];
       KeyValue value = secret(v, kMaxWebhookUrlLength, plain, sizeof plain);
       if (value.verdict == KeyVerdict::kTaken && !webhook_url_usable(plain)) {
         value.verdict = KeyVerdict::kRefused;
       }
       return value;
     },
     [](const char* w, const KeyValue&, NotifyLoadTarget* to) {
       NotifySettings& s = *to->settings;
       if (s.webhook_count >= kMaxWebhooks) {
         if (to->webhook >= 0) {
           print_and_log(
               "more than %d webhook_url lines in %s; the web hooks after the %dth are "
               "not used",
               kMaxWebhooks, kNotifyFileName, kMaxWebhooks);
         }
         to->webhook = -1;
         return;
       }
       to->webhook = s.webhook_count++;
       WebhookSettings& hook = s.webhooks[to->webhook];
       store_secret(&hook.url, w, to);
       hook.url_too_long = w == kNoWebhookUrl;
     },
     LoadRefused::kKeepWithNote, nullptr, nullptr,
     [](const NotifySettings& s) {
       for (int i = 0; i < s.webhook_count; ++i) {
         if (!s.webhooks[i].url_too_long) continue;
         print_and_log(
             "webhook_url of web hook %d in %s is too long (more than %zu characters); "
             "it is off",
             i + 1, kNotifyFileName, kMaxWebhookUrlLength);
       }
     },
     [](const NotifyKeyRow& row, const ConfigLine& line, int line_no, const KeyValue& value,
        NotifyCheckState* state) {
       bool ok = state->webhook.count == 0 || check_webhook_block_end(*state);
       WebhookCheckState& hook = state->webhook;
       if (++hook.count > kMaxWebhooks) {
         plain_print("Line %d: webhook_url of a web hook beyond the %dth; at most %d web hooks\n",
                     line_no, kMaxWebhooks, kMaxWebhooks);
         return false;
       }
       const int count = hook.count;
       hook = WebhookCheckState();
       hook.count = count;
       hook.url_line = line_no;
       return check_by_verdict(row, line, line_no, value, *state) && ok;
     },
     [](const NotifySettings& s, Out* out) { out->assign(last_webhook(s).url.c_str()); }},
    {"webhook_method", "use POST or PUT", "POST", WhenMissing::kOptional, true,
     [](const char* v) {
       return refused_unless(std::strcmp(v, "POST") == 0 || std::strcmp(v, "PUT") == 0);
     },
     [](const char* w, const KeyValue&, NotifyLoadTarget* to) {
       if (WebhookSettings* hook = current_webhook(to)) hook->put = std::strcmp(w, "PUT") == 0;
     },
     LoadRefused::kFallBack, "POST or PUT", "using POST", nullptr, check_in_webhook,
     [](const NotifySettings& s, Out* out) { out->assign(last_webhook(s).put ? "PUT" : "POST"); }},
    // Repeatable, up to kMaxWebhookHeaders a block. Not shown: it may hold a
    // login. The loader drops a refused one.
    {"webhook_header", "use Name: value", "", WhenMissing::kOptional, false,
     [](const char* v) { return refused_unless(webhook_header_usable(v)); },
     [](const char* w, const KeyValue&, NotifyLoadTarget* to) {
       WebhookSettings* hook = current_webhook(to);
       if (!hook || w[0] == '\0' || hook->header_count >= kMaxWebhookHeaders) return;
       hook->headers[hook->header_count++].assign(w);
     },
     LoadRefused::kFallBack, "a header like Name: value", "the line is not used", nullptr,
     [](const NotifyKeyRow& row, const ConfigLine& line, int line_no, const KeyValue& value,
        NotifyCheckState* state) {
       if (!check_in_webhook(row, line, line_no, value, state)) return false;
       if (++state->webhook.header_count > kMaxWebhookHeaders) {
         plain_print("Line %d: more than %d webhook_header lines in one web hook\n", line_no,
                     kMaxWebhookHeaders);
         return false;
       }
       return true;
     },
     [](const NotifySettings& s, Out* out) {
       const WebhookSettings& hook = last_webhook(s);
       out->assign(hook.header_count > 0 ? hook.headers[hook.header_count - 1].c_str() : "");
     }},
    {"webhook_format", "use json or text", "text", WhenMissing::kOptional, true,
     [](const char* v) {
       return refused_unless(std::strcmp(v, "json") == 0 || std::strcmp(v, "text") == 0);
     },
     [](const char* w, const KeyValue&, NotifyLoadTarget* to) {
       if (WebhookSettings* hook = current_webhook(to)) hook->format = parse_webhook_format(w);
     },
     LoadRefused::kFallBack, "json or text", "using text", nullptr,
     [](const NotifyKeyRow& row, const ConfigLine& line, int line_no, const KeyValue& value,
        NotifyCheckState* state) {
       if (!check_in_webhook(row, line, line_no, value, state)) return false;
       if (value.verdict != KeyVerdict::kRefused) {
         state->webhook.format = parse_webhook_format(line.value.c_str());
       }
       return true;
     },
     [](const NotifySettings& s, Out* out) {
       out->assign(last_webhook(s).format == WebhookFormat::kJson ? "json" : "text");
     }},
    // Its value runs to the last double quote of the line (config_line.h).
    // A "json" body is checked once its block is read.
    {"webhook_body", "", "", WhenMissing::kOptional, true, [](const char*) { return taken(); },
     [](const char* w, const KeyValue&, NotifyLoadTarget* to) {
       if (WebhookSettings* hook = current_webhook(to)) hook->body.assign(w);
     },
     LoadRefused::kKeep, nullptr, nullptr, nullptr,
     [](const NotifyKeyRow& row, const ConfigLine& line, int line_no, const KeyValue& value,
        NotifyCheckState* state) {
       if (!check_in_webhook(row, line, line_no, value, state)) return false;
       state->webhook.body.assign(line.value.c_str());
       state->webhook.body_line = line_no;
       return true;
     },
     [](const NotifySettings& s, Out* out) { out->assign(last_webhook(s).body.c_str()); }},
    {"webhook_text_limit", "use 0, or 100 to 100000", "0", WhenMissing::kOptional, true,
     [](const char* v) { return exact_number(parse_webhook_text_limit(v)); },
     [](const char* w, const KeyValue&, NotifyLoadTarget* to) {
       if (WebhookSettings* hook = current_webhook(to))
         hook->text_limit = parse_webhook_text_limit(w);
     },
     LoadRefused::kFallBack, "0, or a number from 100 to 100000", "{text} is not cut", nullptr,
     check_in_webhook,
     [](const NotifySettings& s, Out* out) { show_number(last_webhook(s).text_limit, out); }},
};

static_assert(std::size(kHostKeys) <= kMaxKeyRows && std::size(kNotifyKeys) <= kMaxKeyRows);

template <typename Row>
const Row* find_row(std::span<const Row> rows, const char* key) {
  for (const Row& row : rows) {
    if (std::strcmp(row.name, key) == 0) return &row;
  }
  return nullptr;
}

}  // namespace

std::span<const HostKeyRow> host_key_rows() { return kHostKeys; }
std::span<const NotifyKeyRow> notify_key_rows() { return kNotifyKeys; }

const HostKeyRow* find_host_key(const char* key) { return find_row(host_key_rows(), key); }
const NotifyKeyRow* find_notify_key(const char* key) { return find_row(notify_key_rows(), key); }

void load_host_key(const HostKeyRow& row, const ConfigLine& line, HostLoadTarget* to) {
  if (row.scope != KeyScope::kGlobal && row.scope != KeyScope::kEither && !to->host)
    return;  // before the first host
  const char* written = line.value.c_str();
  const KeyValue value = row.parse(written);
  if (value.verdict == KeyVerdict::kIgnored) return;
  if (value.verdict != KeyVerdict::kRefused || row.on_refused == LoadRefused::kKeep) {
    row.store(written, value, to);
    return;
  }
  if (row.load_rule && (row.scope == KeyScope::kGlobal || !to->host)) {
    print_and_log("%s in %s must be %s; %s", row.name, kHostFileName, row.load_rule,
                  row.load_fallback);
  } else if (row.load_rule) {
    print_and_log("%s of host %s in %s must be %s; %s", row.name, to->host->host.c_str(),
                  kHostFileName, row.load_rule, row.load_fallback);
  }
  if (row.on_refused == LoadRefused::kKeepWithNote) {
    row.store(written, value, to);
  } else {
    row.store(row.default_text, row.parse(row.default_text), to);
  }
}

bool check_by_verdict(const HostKeyRow& row, const ConfigLine& line, int line_no,
                      const KeyValue& value, const HostCheckState& state) {
  if (value.verdict == KeyVerdict::kRefused) {
    plain_print("Line %d: invalid %s \"%s\" (%s)\n", line_no, row.name, line.value.c_str(),
                row.range);
    return false;
  }
  if (value.verdict == KeyVerdict::kReplaced) {
    plain_print("Warning: %s line %d: %s \"%s\" will be taken as %s\n", state.file_name, line_no,
                row.name, line.value.c_str(), value.used.c_str());
  }
  return true;
}

bool check_host_block_end(const HostCheckState& state) {
  if (state.send_line == 0 || state.has_expect) return true;
  plain_print("Line %d: send without expect in the host block at line %d; it would do nothing\n",
              state.send_line, state.block_line);
  return false;
}

bool check_host_line(const HostKeyRow& row, const ConfigLine& line, int line_no,
                     HostCheckState* state) {
  state->seen[&row - host_key_rows().data()] = true;
  const KeyValue value = row.parse(line.value.c_str());
  return row.check ? row.check(row, line, line_no, value, state)
                   : check_by_verdict(row, line, line_no, value, *state);
}

bool load_notify_key(const NotifyKeyRow& row, const ConfigLine& line, NotifyLoadTarget* to) {
  const char* written = line.value.c_str();
  const KeyValue value = row.parse(written);
  const bool refused = value.verdict == KeyVerdict::kRefused;
  const bool too_long = value.verdict == KeyVerdict::kTooLong;
  if (value.verdict == KeyVerdict::kIgnored) return false;
  if (too_long || (refused && row.on_refused == LoadRefused::kFallBack)) {
    // A cut secret would only fail every login: the setting stays empty.
    row.store(row.default_text, row.parse(row.default_text), to);
  } else {
    row.store(written, value, to);
  }
  return too_long || (refused && row.on_refused != LoadRefused::kKeep);
}

void print_notify_note(const NotifyKeyRow& row, const NotifySettings& settings) {
  if (row.note) {
    row.note(settings);
  } else if (row.load_rule) {
    print_and_log("%s in %s must be %s; %s", row.name, kNotifyFileName, row.load_rule,
                  row.load_fallback);
  }
}

bool check_by_verdict(const NotifyKeyRow& row, const ConfigLine& line, int line_no,
                      const KeyValue& value, const NotifyCheckState&) {
  if (value.verdict != KeyVerdict::kRefused) return true;
  if (row.shows_value) {
    plain_print("Line %d: invalid %s \"%s\" (%s)\n", line_no, row.name, line.value.c_str(),
                row.range);
  } else {
    plain_print("Line %d: invalid %s (%s)\n", line_no, row.name, row.range);
  }
  return false;
}

bool check_webhook_block_end(const NotifyCheckState& state) {
  const WebhookCheckState& hook = state.webhook;
  if (hook.count == 0 || hook.count > kMaxWebhooks) return true;
  const char* body = hook.body_line > 0 ? hook.body.c_str() : default_webhook_body(hook.format);
  // A JSON body sent as text gets its values unescaped: the first quote in
  // an error text would break it. Warned, not failed: it may be meant.
  const char* start = body + std::strspn(body, " \t");
  if (hook.format == WebhookFormat::kText && hook.body_line > 0 &&
      (start[0] == '{' || start[0] == '[')) {
    plain_print(
        "Warning: %s line %d: webhook_body of web hook %d looks like JSON, but webhook_format is "
        "not \"json\": its values go in unescaped\n",
        state.file_name, hook.body_line, hook.count);
  }
  const char* kind = "";
  if (webhook_template_usable(body, hook.format, &kind)) return true;
  plain_print("Line %d: webhook_body of web hook %d does not give valid JSON (for a %s message)\n",
              hook.body_line > 0 ? hook.body_line : hook.url_line, hook.count, kind);
  return false;
}

bool check_notify_line(const NotifyKeyRow& row, const ConfigLine& line, int line_no,
                       NotifyCheckState* state) {
  const size_t index = &row - notify_key_rows().data();
  state->seen[index] = true;
  state->line[index] = line_no;
  state->value[index].assign(line.value.c_str());
  const KeyValue value = row.parse(line.value.c_str());
  return row.check ? row.check(row, line, line_no, value, state)
                   : check_by_verdict(row, line, line_no, value, *state);
}

}  // namespace lw
