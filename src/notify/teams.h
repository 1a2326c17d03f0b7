// The Teams channel: an Adaptive Card with a bold title and a body, posted
// to an incoming web hook.

#ifndef LINKWATCH_NOTIFY_TEAMS_H_
#define LINKWATCH_NOTIFY_TEAMS_H_

#include <cstddef>

#include "config/notify_config.h"
#include "notify/channel.h"
#include "notify/outcome.h"
#include "notify/teams_card.h"
#include "support/fixed_text.h"
#include "support/runner.h"
#include "support/transfer.h"

namespace lw {

// Work buffers of the escaped title and the escaped body.
constexpr size_t kTeamsTitleSize = 2048;
constexpr size_t kTeamsBodySize = 32768;
// Title of a card given none at all (an empty title stays empty).
constexpr const char kTeamsDefaultTitle[] = "linkwatch notification";

// Escapes `input` (null counts as "") for a JSON string into `out` of `cap`
// bytes: backslash and double quote get a backslash, line feed, carriage
// return and tab become \n, \r and \t, other bytes below 32 become \u00xx
// (lower-case hex); bytes from 32 up pass unchanged. Before each input byte
// at least 8 bytes of `out` must be free (position + 8 < cap), otherwise the
// rest is dropped. `out` is always terminated (for cap > 0). Returns the
// escaped length.
size_t json_escape(const char* input, char* out, size_t cap);

// True when `teams_enabled` is set and `teams_webhook` is given.
bool teams_configured(const NotifySettings& settings);

// Writes the card (27 lines, bare line feeds, with the escaped title - null:
// the default title - and body) into a send file of its own (see
// send_files.h), posts it to `teams_webhook` and deletes it, and the answer
// file too; safe from any thread. Prints "Sending Microsoft Teams alert ..."
// and "Teams command rc=%d" unless `silent`, logs "Send Microsoft Teams
// alert" and the outcome line (see run_send in outcome.h); `outcome` (may be
// null) receives what the send came to. Returns 1 when delivered (any HTTP
// 2xx but a 200 whose answer says "failed"), else 0; returns 0 at once,
// without any output or file, when the channel is not configured or `body`
// is empty. A card that cannot be written is not posted: a temporary
// failure (see note_unwritten_send_file).
// `tone` colours the card's title (build_teams_card).
int send_teams(const NotifySettings& settings, const char* title, const char* body, bool silent,
               SendOutcome* outcome = nullptr, CardTone tone = CardTone::kPlain);

// The Teams row's send: the message's subject as the title, its card text
// and card tone.
void send_teams_channel(const NotifySettings& settings, const QueuedMessage& message, bool silent,
                        SendOutcome* outcome);

// Size of the Teams config text: a web hook of 8191 bytes, every one escaped.
constexpr size_t kTeamsConfigSize = 16448 + kCurlConfigExtra;

// The curl call of one card; its argument vector starts as put_curl_start
// writes it, its config text ends as finish_curl_config writes it
// (support/transfer.h).
//
// curl -s --connect-timeout 10 --max-time 60 -o <reply file>
//      -w "%{http_code} %header{retry-after}"
//      -H "Content-Type: application/json; charset=utf-8"
//      --data-binary @<card file> --config -
// with `url = "<webhook>"` on standard input; answer and codes as for
// Telegram. `reply_file` must outlive the request.
struct TeamsRequest {
  TeamsRequest() = default;
  TeamsRequest(const TeamsRequest&) = delete;
  TeamsRequest& operator=(const TeamsRequest&) = delete;

  const char* argv[kCurlStartArgs + 8 + 1] = {};
  CurlProgram program;
  FixedText<128> data_arg;  // "@<card file>"
  FixedText<kTeamsConfigSize> config;

  Command command() const;
};

// Returns false when `webhook` is empty or looks like an option, when
// `card_file` or `reply_file` is null, or when `card_file` or the address
// do not fit (they do for names of send files and settings within their
// limits).
bool build_teams_request(const char* webhook, const char* card_file, const char* reply_file,
                         TeamsRequest* out, const CurlSettings& curl = {});

}  // namespace lw

#endif  // LINKWATCH_NOTIFY_TEAMS_H_
