#include "notify/dispatch.h"

#include "notify/outcome.h"
#include "support/output.h"

namespace lw {

std::string service_key(const char* host, const char* port) {
  std::string key(host ? host : "");
  return key.append(":").append(port ? port : "");
}

QueuedMessage queued_copy(const NotifyMessage& message, int64_t event_time) {
  QueuedMessage copy;
  copy.kind = message.kind;
  copy.subject.assign(message.subject.c_str());
  copy.body.assign(message.body.c_str());
  copy.chat_text.assign(message.chat_text.c_str());
  copy.card_body.assign(message.card_body.c_str());
  copy.card_tone = static_cast<int32_t>(message.card_tone);
  copy.event_time = event_time;
  copy.services = message.services;
  copy.facts = message.facts;
  return copy;
}

void dispatch_message(const NotifyMessage& message, const NotifySettings& settings) {
  const QueuedMessage copy = queued_copy(message, 0);
  const bool silent = silent_mode();
  for (const ChannelRow& row : kChannelRows) {
    if (!channel_takes(row, settings, copy.kind)) continue;
    SendOutcome outcome;
    row.send(settings, copy, silent, &outcome);
  }
}

}  // namespace lw
