// Alerts of one cycle held until all its checks are done, and the digest
// that replaces many alerts of the same kind by one message per channel.

#ifndef LINKWATCH_NOTIFY_DIGEST_H_
#define LINKWATCH_NOTIFY_DIGEST_H_

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

#include "config/host_config.h"
#include "config/notify_config.h"
#include "notify/delivery.h"
#include "notify/dispatch.h"

namespace lw {

// Largest Telegram text (the Bot API refuses longer ones).
constexpr size_t kTelegramMaxTextBytes = 4096;
// Room every digest text keeps for the delivery's "(delayed; event at ...)"
// note.
constexpr size_t kDigestNoteRoom = 64;
// Hosts named in a digest's subject before "... and K more".
constexpr size_t kDigestSubjectHosts = 3;

// One host's alert as it was raised.
struct HeldAlert {
  int32_t kind = 0;  // kDownAlert, kRecoveryAlert or kReminderAlert
  int32_t host_index = 0;
  HostEntry host;
  FixedText<128> error;  // DOWN and reminder
  int32_t answered = 0;  // DOWN: pings answered of kPingCount
  int64_t time = 0;      // when the alert was raised
  // The run's `alert_text`: the texts of the single message and the digest.
  AlertText text = AlertText::kClassic;
};

// Fills `message` with the digest of `count` (at least 1) alerts of the
// kind of alerts[0]: subject "DOWN: 37 hosts (web1:443, db2:5432, dns:53,
// ... and 34 more)" ("RECOVERY: ...", "Still DOWN: ..."), then one line per
// host in every text. Each channel's text is cut to its limit, whole lines
// only, with a last line "... and K more": the mail body to its buffer, the
// Telegram text to kTelegramMaxTextBytes, the Teams card (card_body) to
// kTeamsCardMaxBytes, each less kDigestNoteRoom. With alerts[0].text
// AlertText::kClear the body (and card) does not repeat the subject, each
// line reads "web1:443 (shop): Connection refused, down since ...", and
// the card's title has the kind's colour. Pure: no I/O.
void compose_digest(const HeldAlert* alerts, size_t count, NotifyMessage* message);

// The host alerts of one cycle. hold() may be called from many workers at
// once; release() after they are all joined.
class CycleAlerts {
 public:
  // Keeps the alert and logs the subject of its single message, as an alert
  // raised at once would. A DOWN alert pings the host first. `text` is the
  // run's `alert_text`, for the single message and the digest alike.
  void hold(int32_t kind, int32_t host_index, const HostEntry& host, const char* error, int64_t now,
            AlertText text = AlertText::kClassic);

  // Hands on every held alert in host table order and forgets them: per kind, `threshold` or
  // more (threshold at least 1) become one digest (its subject logged), fewer
  // go as their single messages. To `delivery`, or sent on the calling
  // thread when it is null. Returns the number of messages handed on.
  int release(int threshold, const NotifySettings& settings, Delivery* delivery);

  size_t held() const;

 private:
  mutable std::mutex mutex_;
  std::vector<HeldAlert> held_;
};

}  // namespace lw

#endif  // LINKWATCH_NOTIFY_DIGEST_H_
