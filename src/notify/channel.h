// The channels an alert can take, as one table: everything that walks the
// channels (delivery, dispatch, "-test", the status file, the metrics) walks
// this table, so a new channel is one file of its own plus one row here.

#ifndef LINKWATCH_NOTIFY_CHANNEL_H_
#define LINKWATCH_NOTIFY_CHANNEL_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace lw {

struct NotifySettings;
struct SendOutcome;

// The channels, in the order every walk takes them: the three fixed ones,
// then a row for each web hook block (webhook_url) the file may hold.
enum class Channel { kEmail, kTelegram, kTeams, kWebhook1, kWebhook2, kWebhook3, kWebhook4 };
constexpr size_t kChannelCount = 7;
constexpr size_t kWebhookRowCount = 4;  // kWebhook1..kWebhook4

// What an alert says in fields of their own, for channels that shape their
// own text from them. A message about no single service (a digest, the
// network notice, a report, a test) leaves host and port "".
struct MessageFacts {
  std::string host;
  std::string port;
  std::string description;
  std::string error;        // "" for a RECOVERY
  int64_t since = 0;        // when the outage began; 0: not known
  int64_t duration = -1;    // seconds down, up to the message; -1: not known
  int32_t ping_answered = -1;  // pings answered of kPingCount; -1: no pings
};

// A message as the channels send it: the used part of its texts, when its
// event happened and the services it concerns.
struct QueuedMessage {
  int32_t kind = 0;  // a MessageKind (dispatch.h)
  std::string subject;
  std::string body;
  std::string chat_text;
  std::string card_body;  // "": body
  int32_t card_tone = 0;  // a CardTone (teams_card.h): the card title's colour
  int64_t event_time = 0;
  // "host:port" of every service the message concerns (a digest: all of
  // its services); empty for a message about no service.
  std::vector<std::string> services;
  MessageFacts facts;

  const std::string& card_text() const { return card_body.empty() ? body : card_body; }
};

struct ChannelRow {
  Channel id;
  const char* name;       // "Email": log lines, the status table
  const char* label;      // "email": the metrics label, "-test"'s skip line
  const char* test_name;  // "Email", "Microsoft Teams": "Testing <test_name> alert..."
  // Whether `settings` set the channel up so that it can send at all.
  bool (*configured)(const NotifySettings& settings);
  // Whether a message of `kind` goes to this channel (when configured).
  bool (*wants)(const NotifySettings& settings, int32_t kind);
  // Sends `message` once on the calling thread: prints (unless `silent`)
  // and logs as the channel does, fills `outcome` (never null). A message
  // the channel has nothing to send for leaves `outcome` not attempted.
  void (*send)(const NotifySettings& settings, const QueuedMessage& message, bool silent,
               SendOutcome* outcome);
};

// The rows, one per Channel, in its order.
extern const ChannelRow kChannelRows[kChannelCount];

inline const ChannelRow& channel_row(Channel channel) {
  return kChannelRows[static_cast<size_t>(channel)];
}

// "Email", "Telegram", "Teams" or "Webhook1" to "Webhook4".
inline const char* channel_name(Channel channel) { return channel_row(channel).name; }

// True when `message` goes to `row`: the channel is configured and wants
// the message's kind.
bool channel_takes(const ChannelRow& row, const NotifySettings& settings, int32_t kind);

// Whether `row` shows at all where the rows are listed ("-test", the status
// file, the metrics): the fixed channels always; a web hook's row only when
// the file has its block (its webhook_url line), usable or not.
bool channel_listed(const ChannelRow& row, const NotifySettings& settings);

}  // namespace lw

#endif  // LINKWATCH_NOTIFY_CHANNEL_H_
