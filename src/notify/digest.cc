#include "notify/digest.h"

#include <algorithm>
#include <memory>
#include <string>

#include "notify/alerts.h"
#include "notify/teams_card.h"
#include "notify/telegram.h"
#include "support/clock.h"
#include "support/output.h"

namespace lw {

namespace {

constexpr const char kDateTimeFormat[] = "%Y-%m-%d %H:%M:%S";

// The subject word and the Telegram heading of each digest kind.
const char* digest_word(int32_t kind) {
  return kind == kRecoveryAlert ? "RECOVERY" : kind == kReminderAlert ? "Still DOWN" : "DOWN";
}
const char* chat_heading(int32_t kind) {
  return kind == kRecoveryAlert   ? "RECOVERY"
         : kind == kReminderAlert ? "STILL DOWN"
                                  : "ALERT (DOWN)";
}

// One host's line in the clear texts: "web1:443 (shop): Connection
// refused, down since ..., ping 0 of 3 answered".
std::string clear_digest_line(const HeldAlert& alert) {
  const HostEntry& host = alert.host;
  char service[kServiceLabelSize];
  format_service_label(host, service, sizeof service);
  char since[32];
  char duration[32];
  format_local_time(alert.kind == kDownAlert ? host.first_fail_time : host.down_since,
                    kDateTimeFormat, since, sizeof since);
  format_duration(alert.time - host.down_since, duration, sizeof duration);
  const char* error = alert.error.empty() ? "Timeout" : alert.error.c_str();
  FixedText<512> line;
  if (alert.kind == kDownAlert) {
    line.format("%s: %s, down since %s, ping %d of %d answered", service, error, since,
                alert.answered, kPingCount);
  } else if (alert.kind == kRecoveryAlert) {
    line.format("%s: back after %s, down since %s", service, duration, since);
  } else {
    line.format("%s: down for %s, %s, since %s", service, duration, error, since);
  }
  return line.c_str();
}

// One host's line: what the single alert would tell, on one line.
std::string digest_line(const HeldAlert& alert) {
  if (alert.text == AlertText::kClear) return clear_digest_line(alert);
  const HostEntry& host = alert.host;
  char since[32];
  char duration[32];
  format_local_time(alert.kind == kDownAlert ? host.first_fail_time : host.down_since,
                    kDateTimeFormat, since, sizeof since);
  format_duration(alert.time - host.down_since, duration, sizeof duration);
  const char* error = alert.error.empty() ? "Timeout" : alert.error.c_str();
  FixedText<512> line;
  line.format("%s %s", host.host.c_str(), host.port.c_str());
  if (!host.description.empty()) line.append_format(" (%s)", host.description.c_str());
  if (alert.kind == kDownAlert) {
    line.append_format(": %s, since %s, ping %d of %d", error, since, alert.answered, kPingCount);
  } else if (alert.kind == kRecoveryAlert) {
    char back[32];
    format_local_time(alert.time, kDateTimeFormat, back, sizeof back);
    line.append_format(": back at %s, down since %s (%s)", back, since, duration);
  } else {
    line.append_format(": since %s (%s), %s", since, duration, error);
  }
  return line.c_str();
}

// `head`, then the first `shown` lines, then "... and K more" for the rest.
std::string with_lines(const std::string& head, const std::vector<std::string>& lines, size_t shown,
                       const char* separator) {
  std::string text = head;
  // An empty head: the first line starts the text.
  const auto next = [&] { return text.empty() ? "" : separator; };
  for (size_t i = 0; i < shown; ++i) text.append(next()).append(lines[i]);
  if (shown < lines.size()) {
    text.append(next()).append("... and ").append(std::to_string(lines.size() - shown));
    text.append(" more");
  }
  return text;
}

// The most lines of `lines` that `fits` accepts (fits(0) is assumed).
template <typename Fits>
size_t most_lines(size_t count, Fits fits) {
  size_t low = 0, high = count;  // fits(low) holds; find the largest
  while (low < high) {
    const size_t mid = low + (high - low + 1) / 2;
    if (fits(mid)) {
      low = mid;
    } else {
      high = mid - 1;
    }
  }
  return low;
}

void compose_single(const HeldAlert& alert, NotifyMessage* message) {
  switch (alert.kind) {
    case kDownAlert:
      compose_down_alert(alert.host, alert.host, alert.error.c_str(), alert.answered, message,
                         alert.text);
      break;
    case kRecoveryAlert:
      compose_recovery_alert(alert.host, alert.host, alert.time, message, alert.text);
      break;
    default:
      compose_reminder_alert(alert.host, alert.host, alert.error.c_str(), alert.time, message,
                             alert.text);
      break;
  }
}

}  // namespace

void compose_digest(const HeldAlert* alerts, size_t count, NotifyMessage* message) {
  if (!message || !alerts || count == 0) return;
  const int32_t kind = alerts[0].kind;
  std::vector<std::string> lines;
  lines.reserve(count);
  for (size_t i = 0; i < count; ++i) lines.push_back(digest_line(alerts[i]));

  message->kind = kind;
  message->facts = MessageFacts();
  message->services.clear();
  for (size_t i = 0; i < count; ++i) {
    message->services.push_back(
        service_key(alerts[i].host.host.c_str(), alerts[i].host.port.c_str()));
  }
  message->subject.format("%s: %zu hosts (", digest_word(kind), count);
  for (size_t i = 0; i < count && i < kDigestSubjectHosts; ++i) {
    message->subject.append_format("%s%s:%s", i ? ", " : "", alerts[i].host.host.c_str(),
                                   alerts[i].host.port.c_str());
  }
  if (count > kDigestSubjectHosts) {
    message->subject.append_format(", ... and %zu more", count - kDigestSubjectHosts);
  }
  message->subject.append(")");
  const std::string subject = message->subject.c_str();
  // The clear texts leave the subject out of the body: the card has it as title.
  const bool clear = alerts[0].text == AlertText::kClear;
  const std::string head = clear ? std::string() : subject;
  message->card_tone = !clear                   ? CardTone::kPlain
                       : kind == kRecoveryAlert ? CardTone::kGood
                                                : CardTone::kAttention;

  const size_t body_room = message->body.max_length() - kDigestNoteRoom;
  const size_t body_lines = most_lines(
      count, [&](size_t n) { return with_lines(head, lines, n, "\n").size() + 1 <= body_room; });
  message->body.assign((with_lines(head, lines, body_lines, "\n") + "\n").c_str());

  // Telegram's text also has to fit its request once percent-encoded (the
  // note grows by at most three bytes a byte there).
  char heading[64];
  std::snprintf(heading, sizeof heading, "%s: %zu hosts", chat_heading(kind), count);
  auto encoded = std::make_unique<char[]>(3 * kTelegramMaxTextBytes + 1);
  const size_t chat_lines = most_lines(count, [&](size_t n) {
    const std::string text = with_lines(heading, lines, n, "\n");
    if (text.size() > kTelegramMaxTextBytes - kDigestNoteRoom) return false;
    return percent_encode(text.c_str(), encoded.get(), 3 * kTelegramMaxTextBytes + 1) +
               3 * kDigestNoteRoom <
           kTelegramTextSize - 4;
  });
  message->chat_text.assign(with_lines(heading, lines, chat_lines, "\n").c_str());

  // The card: as many lines as make a whole card with room for the note.
  auto card = std::make_unique<char[]>(kTeamsCardBufferSize);
  const size_t card_cap = kTeamsCardMaxBytes - kDigestNoteRoom;
  const size_t card_lines = most_lines(body_lines, [&](size_t n) {
    bool cut = false;
    build_teams_card(subject.c_str(), (with_lines(head, lines, n, "\n") + "\n").c_str(), card.get(),
                     card_cap, &cut, message->card_tone);
    return !cut;
  });
  message->card_body.clear();
  if (card_lines < body_lines) {
    message->card_body.assign((with_lines(head, lines, card_lines, "\n") + "\n").c_str());
  }
}

void CycleAlerts::hold(int32_t kind, int32_t host_index, const HostEntry& host, const char* error,
                       int64_t now, AlertText text) {
  HeldAlert alert;
  alert.text = text;
  alert.kind = kind;
  alert.host_index = host_index;
  alert.host = host;
  alert.error.assign(error ? error : "");
  alert.time = now;
  if (kind == kDownAlert) alert.answered = ping_for_alert(host);
  // The log gets one line per host, as for an alert sent at once.
  auto single = new_message();
  compose_single(alert, single.get());
  log_event("%s", single->subject.c_str());
  std::lock_guard<std::mutex> hold(mutex_);
  held_.push_back(alert);
}

int CycleAlerts::release(int threshold, const NotifySettings& settings, Delivery* delivery) {
  std::vector<HeldAlert> held;
  {
    std::lock_guard<std::mutex> hold(mutex_);
    held.swap(held_);
  }
  // Workers end in any order; the messages follow the host table.
  std::stable_sort(held.begin(), held.end(), [](const HeldAlert& a, const HeldAlert& b) {
    return a.host_index < b.host_index;
  });
  if (threshold < 1) threshold = 1;
  auto message = new_message();
  int sent = 0;
  for (int32_t kind : {kDownAlert, kRecoveryAlert, kReminderAlert}) {
    std::vector<HeldAlert> same;
    for (const HeldAlert& alert : held) {
      if (alert.kind == kind) same.push_back(alert);
    }
    if (same.empty()) continue;
    if (same.size() >= static_cast<size_t>(threshold)) {
      compose_digest(same.data(), same.size(), message.get());
      hand_on_message(*message, same.front().time, true, settings, delivery);
      ++sent;
      continue;
    }
    for (const HeldAlert& alert : same) {
      compose_single(alert, message.get());
      hand_on_message(*message, alert.time, false, settings, delivery);
      ++sent;
    }
  }
  return sent;
}

size_t CycleAlerts::held() const {
  std::lock_guard<std::mutex> hold(mutex_);
  return held_.size();
}

}  // namespace lw
