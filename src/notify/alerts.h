// The DOWN and RECOVERY alerts of one host: their texts, log line and dispatch.

#ifndef LINKWATCH_NOTIFY_ALERTS_H_
#define LINKWATCH_NOTIFY_ALERTS_H_

#include <cstddef>
#include <cstdint>

#include "config/host_config.h"
#include "config/notify_config.h"
#include "notify/delivery.h"
#include "notify/dispatch.h"

namespace lw {

// Empties `message` and makes it one of `kind`, in the plain tone.
void start_message(MessageKind kind, NotifyMessage* message);

// Number of pings in the series of a DOWN alert.
constexpr int kPingCount = 3;

// Fills `message` with the DOWN texts of `host` with the failure times of
// `state` (error "Timeout" when `error` is null or empty, `answered` pings
// of 3). Pure: no I/O.
// With AlertText::kClear: subject "DOWN <service>: <error>", a body of
// the description, error, start, downtime and ping result, the Teams card
// in the attention colour (see compose_clear_texts).
void compose_down_alert(const HostConfig& host, const HostState& state, const char* error,
                        int answered, NotifyMessage* message, AlertText text = AlertText::kClassic);
// Fills `message` with the RECOVERY texts of `host` recovered at `now`; the
// outage began at `state.down_since` (0: not known), which also fills the
// facts' since and duration. With AlertText::kClear: subject "RECOVERY
// <service> after <downtime>", the card in the good colour.
void compose_recovery_alert(const HostConfig& host, const HostState& state, int64_t now,
                            NotifyMessage* message, AlertText text = AlertText::kClassic);

// Fills `message` with the reminder of `host`, still DOWN at `now` with
// `error`: "Still DOWN: <host> <port> since <state.down_since> (<duration>),
// <error>"; with AlertText::kClear "STILL DOWN <service> for <downtime>:
// <error>". Pure: no I/O.
void compose_reminder_alert(const HostConfig& host, const HostState& state, const char* error,
                            int64_t now, NotifyMessage* message,
                            AlertText text = AlertText::kClassic);

// Buffer that holds any service label, terminator included.
constexpr size_t kServiceLabelSize = 128 + 16 + 128 + 8;
// The service as the clear texts name it: "web01:443 (shop front end)",
// "[::1]:443"; no description, no parentheses.
void format_service_label(const HostConfig& host, char* out, size_t cap);

// Writes a duration as "45 s", "12 min", "3 h 05 min" or "2 d 4 h"
// (negative: "0 s").
void format_duration(int64_t seconds, char* out, size_t cap);

// The ping series of a DOWN alert: pings `host` kPingCount times and returns
// how many attempts were answered.
int ping_for_alert(const HostEntry& host);

// Fills `message` with "linkwatch's own network was unreachable from <from>
// to <to> (<duration>)": the notice sent when a network reference answers
// again. Pure: no I/O.
void compose_network_notice(int64_t from, int64_t to, NotifyMessage* message);

// Logs the subject of `message` when `log` is set, then posts it to
// `delivery` with `event_time`, or dispatches it on the calling thread when
// `delivery` is null.
void hand_on_message(const NotifyMessage& message, int64_t event_time, bool log,
                     const NotifySettings& settings, Delivery* delivery);

// Pings the host (3 attempts), composes the DOWN alert, logs its subject and
// posts it to `delivery`, or dispatches it on the calling thread when
// `delivery` is null. `text` is the run's `alert_text`. Requires:
// alert_sent already set, no lock held.
void raise_down_alert(const HostEntry& host, const char* error, const NotifySettings& settings,
                      Delivery* delivery = nullptr, AlertText text = AlertText::kClassic);
// Composes the RECOVERY alert at the current time (the outage's start is
// the host's down_since, still set then), logs its subject and hands it on
// like raise_down_alert. Requires: alert_sent already cleared, no lock held.
void raise_recovery_alert(const HostEntry& host, const NotifySettings& settings,
                          Delivery* delivery = nullptr, AlertText text = AlertText::kClassic);
// Composes the reminder at the current time, logs its subject and hands it
// on like raise_down_alert. Requires: no lock held.
void raise_reminder_alert(const HostEntry& host, const char* error, const NotifySettings& settings,
                          Delivery* delivery = nullptr, AlertText text = AlertText::kClassic);

}  // namespace lw

#endif  // LINKWATCH_NOTIFY_ALERTS_H_
