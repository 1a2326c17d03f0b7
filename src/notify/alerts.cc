#include "notify/alerts.h"

#include <cinttypes>
#include <cstdio>

#include "probe/ping_probe.h"
#include "support/clock.h"
#include "support/output.h"

namespace lw {

namespace {

constexpr const char kDateTimeFormat[] = "%Y-%m-%d %H:%M:%S";
constexpr const char kTimeOfDayFormat[] = "%H:%M:%S";

// A message about `host` alone.
void start_host_message(MessageKind kind, const HostConfig& host, NotifyMessage* message) {
  start_message(kind, message);
  message->services.push_back(service_key(host.host.c_str(), host.port.c_str()));
  message->facts.host = host.host.c_str();
  message->facts.port = host.port.c_str();
  message->facts.description = host.description.c_str();
}

// "web01:443", "[::1]:443"; with `description` set, then " (<description>)"
// when the host has one.
void put_service(const HostConfig& host, bool description, char* out, size_t cap) {
  const char* name = host.host.c_str();
  const bool brackets = host.form == HostForm::kIPv6 && name[0] != '[';
  const int n = std::snprintf(out, cap, "%s%s%s:%s", brackets ? "[" : "", name, brackets ? "]" : "",
                              host.port.c_str());
  if (description && n >= 0 && static_cast<size_t>(n) < cap && !host.description.empty()) {
    std::snprintf(out + n, cap - static_cast<size_t>(n), " (%s)", host.description.c_str());
  }
}

// The clear body, chat text and card tone of a host alert from its facts
// (filled first); the subject is the caller's. `recovered` (0: not a
// RECOVERY) is when the host answered again, `checks` (0: not shown) the
// failed checks that made the DOWN.
void compose_clear_texts(const HostConfig& host, const char* heading, int64_t recovered, int checks,
                         NotifyMessage* message) {
  const MessageFacts& facts = message->facts;
  char when[32];
  FixedText<1024> lines;
  if (!facts.error.empty()) lines.append_format("\nError: %s", facts.error.c_str());
  if (recovered > 0) {
    format_local_time(recovered, kDateTimeFormat, when, sizeof when);
    lines.append_format("\nRecovered at: %s", when);
  }
  if (facts.since > 0) {
    format_local_time(facts.since, kDateTimeFormat, when, sizeof when);
    lines.append_format("\nDown since: %s", when);
  }
  if (facts.duration >= 0) {
    format_duration(facts.duration, when, sizeof when);
    lines.append_format("\nDowntime: %s", when);
    if (checks > 0) lines.append_format(" (%d failed checks in a row)", checks);
  }
  if (facts.ping_answered >= 0) {
    lines.append_format("\nPing: %d of %d answered", facts.ping_answered, kPingCount);
  }
  char address[kServiceLabelSize];
  put_service(host, false, address, sizeof address);
  const bool described = !host.description.empty();
  // The body never repeats the subject: the card shows it as its title.
  message->body.format("Service: %s", address);
  if (described) message->body.append_format("\nDescription: %s", host.description.c_str());
  message->body.append_format("%s\n", lines.c_str());
  message->chat_text.format("%s %s", heading, address);
  if (described) message->chat_text.append_format("\n%s", host.description.c_str());
  message->chat_text.append(lines.c_str());
  message->card_tone = message->kind == kRecoveryAlert ? CardTone::kGood : CardTone::kAttention;
}

// The RECOVERY's texts without the note of a restart (compose_recovery_alert).
void compose_recovery_texts(const HostConfig& host, const HostState& state, int64_t now,
                            NotifyMessage* message, AlertText text);

// Says that the service recovered while linkwatch was stopped, and the
// bounds that are known: it was last seen down at down_seen_before_restart
// and found up at `now`; the downtime lies between the two.
void append_stopped_note(const HostState& state, int64_t now, NotifyMessage* message) {
  char seen[32];
  char found[32];
  format_local_time(state.down_seen_before_restart, kDateTimeFormat, seen, sizeof seen);
  format_local_time(now, kDateTimeFormat, found, sizeof found);
  char note[256];
  int used = std::snprintf(note, sizeof note,
                           "Recovered while linkwatch was stopped: last seen down at %s, "
                           "found up at %s",
                           seen, found);
  if (state.down_since > 0 && used > 0 && static_cast<size_t>(used) < sizeof note) {
    const int64_t low = state.down_seen_before_restart - state.down_since;
    char shortest[32];
    char longest[32];
    format_duration(low < 0 ? 0 : low, shortest, sizeof shortest);
    format_duration(now - state.down_since, longest, sizeof longest);
    std::snprintf(note + used, sizeof note - static_cast<size_t>(used), "; down between %s and %s",
                  shortest, longest);
  }
  message->body.append_format("%s.\n", note);
  message->chat_text.append_format("\n%s.", note);
  if (!message->card_body.empty()) message->card_body.append_format("%s.\n", note);
}

}  // namespace

void start_message(MessageKind kind, NotifyMessage* message) {
  message->kind = kind;
  message->subject.clear();
  message->body.clear();
  message->chat_text.clear();
  message->card_body.clear();
  message->card_tone = CardTone::kPlain;
  message->services.clear();
  message->facts = MessageFacts();
}

void format_service_label(const HostConfig& host, char* out, size_t cap) {
  put_service(host, true, out, cap);
}

void format_duration(int64_t seconds, char* out, size_t cap) {
  if (seconds < 0) seconds = 0;
  const int64_t minutes = seconds / 60, hours = minutes / 60, days = hours / 24;
  if (seconds < 60) {
    std::snprintf(out, cap, "%" PRId64 " s", seconds);
  } else if (minutes < 60) {
    std::snprintf(out, cap, "%" PRId64 " min", minutes);
  } else if (hours < 24) {
    std::snprintf(out, cap, "%" PRId64 " h %02" PRId64 " min", hours, minutes % 60);
  } else {
    std::snprintf(out, cap, "%" PRId64 " d %" PRId64 " h", days, hours % 24);
  }
}

void compose_network_notice(int64_t from, int64_t to, NotifyMessage* message) {
  if (!message) return;
  char start[32];
  char end[32];
  char duration[32];
  format_local_time(from, kDateTimeFormat, start, sizeof start);
  format_local_time(to, kDateTimeFormat, end, sizeof end);
  format_duration(to - from, duration, sizeof duration);
  start_message(kNetworkNotice, message);
  message->subject.format("linkwatch's own network was unreachable from %s to %s (%s)", start, end,
                          duration);
  message->body.format("%s\nChecks in that time were not counted.\n", message->subject.c_str());
  message->chat_text.format(
      "NETWORK UNREACHABLE\nFrom: %s\nTo: %s (%s)\nChecks in that time were not counted.", start,
      end, duration);
  message->facts.since = from;
  message->facts.duration = to - from < 0 ? 0 : to - from;
}

void compose_reminder_alert(const HostConfig& host, const HostState& state, const char* error,
                            int64_t now, NotifyMessage* message, AlertText text) {
  if (!message) return;
  if (!error || error[0] == '\0') error = "Timeout";
  char since[32];
  char duration[32];
  format_local_time(state.down_since, kDateTimeFormat, since, sizeof since);
  format_duration(now - state.down_since, duration, sizeof duration);
  const char* name = host.host.c_str();
  const char* port = host.port.c_str();
  start_host_message(kReminderAlert, host, message);
  message->facts.error = error;
  message->facts.since = state.down_since;
  message->facts.duration = now - state.down_since < 0 ? 0 : now - state.down_since;
  if (text == AlertText::kClear) {
    char service[kServiceLabelSize];
    format_service_label(host, service, sizeof service);
    message->subject.format("STILL DOWN %s for %s: %s", service, duration, error);
    compose_clear_texts(host, "STILL DOWN", 0, 0, message);
    return;
  }
  message->subject.format("Still DOWN: %s %s since %s (%s), %s", name, port, since, duration,
                          error);
  message->body.format("%s\n", message->subject.c_str());
  message->chat_text.format("STILL DOWN\nHost: %s\nPort: %s\nSince: %s (%s)\nError: %s", name, port,
                            since, duration, error);
}

void compose_down_alert(const HostConfig& host, const HostState& state, const char* error,
                        int answered, NotifyMessage* message, AlertText text) {
  if (!message) return;
  if (!error || error[0] == '\0') error = "Timeout";
  char first[32];
  char last[16];
  format_local_time(state.first_fail_time, kDateTimeFormat, first, sizeof first);
  format_local_time(state.last_fail_time, kTimeOfDayFormat, last, sizeof last);
  int64_t duration = state.last_fail_time - state.first_fail_time;
  if (duration < 0) duration = 0;
  const char* name = host.host.c_str();
  const char* port = host.port.c_str();

  start_host_message(kDownAlert, host, message);
  message->facts.error = error;
  message->facts.since = state.first_fail_time;
  message->facts.duration = duration;
  message->facts.ping_answered = answered;
  if (text == AlertText::kClear) {
    char service[kServiceLabelSize];
    format_service_label(host, service, sizeof service);
    message->subject.format("DOWN %s: %s", service, error);
    compose_clear_texts(host, "DOWN", 0, host.alertcount, message);
    return;
  }
  // Durations are 64-bit on every system, hence PRId64 rather than %ld.
  message->subject.format("Alert for %s. %s %s %s(%s). %" PRId64
                          " seconds (%d times) from %s to %s (Ping Success %d of %d)",
                          port, name, port, error, last, duration, host.alertcount, first, last,
                          answered, kPingCount);
  message->body.format("%s\nHost: %s\nPort: %s\nError: %s\nDuration: %" PRId64
                       " seconds\nCount: %d times\nFrom: %s\nTo: %s\nPing: Success %d of %d\n",
                       message->subject.c_str(), name, port, error, duration, host.alertcount,
                       first, last, answered, kPingCount);
  message->chat_text.format("ALERT (DOWN)\nHost: %s\nPort: %s\nError: %s\nDuration: %" PRId64
                            " sec\nCount: %d times\nPing: %d/%d\nTime: %s",
                            name, port, error, duration, host.alertcount, answered, kPingCount,
                            last);
}

void compose_recovery_alert(const HostConfig& host, const HostState& state, int64_t now,
                            NotifyMessage* message, AlertText text) {
  compose_recovery_texts(host, state, now, message, text);
  if (message && state.down_seen_before_restart > 0) append_stopped_note(state, now, message);
}

namespace {

void compose_recovery_texts(const HostConfig& host, const HostState& state, int64_t now,
                            NotifyMessage* message, AlertText text) {
  if (!message) return;
  char recovered[32];
  format_local_time(now, kDateTimeFormat, recovered, sizeof recovered);
  const char* name = host.host.c_str();
  const char* port = host.port.c_str();

  start_host_message(kRecoveryAlert, host, message);
  if (state.down_since > 0) {
    message->facts.since = state.down_since;
    message->facts.duration = now - state.down_since < 0 ? 0 : now - state.down_since;
  }
  if (text == AlertText::kClear) {
    char service[kServiceLabelSize];
    format_service_label(host, service, sizeof service);
    message->subject.format("RECOVERY %s", service);
    if (message->facts.duration >= 0) {
      char duration[32];
      format_duration(message->facts.duration, duration, sizeof duration);
      message->subject.append_format(" after %s", duration);
    }
    compose_clear_texts(host, "RECOVERY", now, 0, message);
    return;
  }
  message->subject.format("Back to normal for %s %s:%s", port, name, port);
  message->body.format(
      "%s\nRecovered at %s\nYour setting is consecutive %s TIMEOUT to get alert.\n",
      message->subject.c_str(), recovered, host.alertcount_text.c_str());
  message->chat_text.format("RECOVERY\nHost: %s\nPort: %s\nRecovered at: %s", name, port,
                            recovered);
}

}  // namespace

void hand_on_message(const NotifyMessage& message, int64_t event_time, bool log,
                     const NotifySettings& settings, Delivery* delivery) {
  if (log) log_event("%s", message.subject.c_str());
  if (delivery) {
    delivery->post(message, event_time);
  } else {
    dispatch_message(message, settings);
  }
}

// The address that was probed, so that ping and probe ask the same machine.
int ping_for_alert(const HostEntry& host) {
  return probe_ping(host.resolved_ip.empty() ? host.host.c_str() : host.resolved_ip.c_str(),
                    nullptr);
}

void raise_down_alert(const HostEntry& host, const char* error, const NotifySettings& settings,
                      Delivery* delivery, AlertText text) {
  // The series runs before anything is sent, so the alert waits for it.
  const int answered = ping_for_alert(host);
  auto message = new_message();
  compose_down_alert(host, host, error, answered, message.get(), text);
  hand_on_message(*message, now_seconds(), true, settings, delivery);
}

void raise_reminder_alert(const HostEntry& host, const char* error, const NotifySettings& settings,
                          Delivery* delivery, AlertText text) {
  auto message = new_message();
  compose_reminder_alert(host, host, error, now_seconds(), message.get(), text);
  hand_on_message(*message, now_seconds(), true, settings, delivery);
}

void raise_recovery_alert(const HostEntry& host, const NotifySettings& settings, Delivery* delivery,
                          AlertText text) {
  auto message = new_message();
  compose_recovery_alert(host, host, now_seconds(), message.get(), text);
  hand_on_message(*message, now_seconds(), true, settings, delivery);
}

}  // namespace lw
