// What one send attempt of one channel came to: the record behind the
// outcome line in the log, the retry decision and the "-test" summary.
//
// The rules are pure: they read curl's exit code, how its run ended, the
// codes curl printed for "-w" and the start of the receiver's answer, so
// they can be exercised without running anything. run_send at the end is
// the one function that runs curl.

#ifndef LINKWATCH_NOTIFY_OUTCOME_H_
#define LINKWATCH_NOTIFY_OUTCOME_H_

#include <cstddef>

#include "notify/channel.h"
#include "support/fixed_text.h"
#include "support/runner.h"

namespace lw {

struct SendOutcome {
  bool attempted = false;  // curl was run (or could not be run) for this send
  bool delivered = false;  // the receiver took the message
  bool temporary = false;  // not delivered for a reason a later try may not meet
  int curl_code = -1;      // curl's exit code; -1 when it gave none
  RunStatus run = RunStatus::kExited;
  int status = 0;               // HTTP status, or the last SMTP reply code; 0: none
  int retry_after_seconds = 0;  // the receiver's Retry-After / retry_after; 0: none
  FixedText<256> reply;         // the start of the receiver's answer, on one line
  // The file that carries the message to curl could not be written (a full
  // disk, no permission): curl was not run; a later try may succeed.
  bool file_unwritten = false;
  // The runner's limit for the run (0: kCurlRunLimitMs), for the detail text.
  uint32_t time_limit_ms = 0;
  // The e-mail's OAuth 2.0 token request failed (notify/oauth2_token.h): the
  // codes are those of its HTTP call, the detail reads "token request: ...".
  bool token_request = false;
};

// Bytes of the receiver's answer shown in the log and kept in `reply`.
constexpr size_t kReplyShownBytes = 200;

// curl's exit code in a few words ("login denied" for 67); "" for a code
// without a description of its own. -1 reads "could not run".
const char* curl_meaning(int curl_code);

// Fills `out` from one finished curl run of `channel`:
//   curl_code, run  as given (curl_code is -1 whenever run is not kExited);
//   write_out       what curl printed, its error line first; after the last
//                   line feed the codes of "-w": "<code>" for e-mail,
//                   "<code> <retry-after>" for HTTP; a Retry-After that is no
//                   number of seconds (a date, or a literal "%header{...}"
//                   of a curl that knows no such variable) is ignored;
//   reply           the start of the answer body (null: none), HTTP only.
// Delivered: e-mail when curl exited with 0; Telegram on a 2xx status whose
// answer holds "ok":true; Teams on any 2xx status, except a 200 whose answer
// holds "failed" (what an old-style connector answers to a refused card);
// a web hook on any 2xx status.
// Temporary: curl 6, 7, 28, 35, 55, 56; a run ended by the time limit or a
// stop; HTTP 429 and 5xx; SMTP 4xx. Everything else is permanent. The
// Telegram answer's "description" (else the answer itself), cut to
// kReplyShownBytes on one line, goes to `reply`; `retry_after_seconds` is
// the larger of Retry-After and Telegram's "retry_after".
void classify_send(Channel channel, int curl_code, RunStatus run, const char* write_out,
                   const char* reply, SendOutcome* out);

// The rules every HTTP receiver shares, for a curl run with `-w
// "%{http_code}"` (a Retry-After may follow) and no answer read: delivered
// on curl 0 with a 2xx status; temporary as above. The heartbeat's rules.
void classify_http(int curl_code, RunStatus run, const char* write_out, SendOutcome* out);

// How the codes are written in a detail text: "curl 67 (login denied)" in
// the log, "curl 67: login denied" inside the parentheses of "-test".
enum class DetailStyle { kLog, kTest };

// The codes behind `outcome`, e.g. "SMTP 250", "HTTP 202",
// "curl 67 (login denied), SMTP 535" or "HTTP 429: Too Many Requests"; a
// run without an exit code reads "curl -1 (could not run)", "curl -1
// (time limit of <time_limit_ms> s)" or "curl -1 (ended at stop)"; a token_request outcome
// reads "token request: " and its HTTP detail. "" when a delivered
// send has no code to show; "send file not written" for a file_unwritten
// outcome. Always terminated in `out` (cap > 0).
void format_outcome_detail(const SendOutcome& outcome, Channel channel, DetailStyle style,
                           char* out, size_t cap);

// format_outcome_detail for an HTTP receiver of no channel (the heartbeat).
void format_http_detail(const SendOutcome& outcome, DetailStyle style, char* out, size_t cap);

// The log line of one send: "<channel>: sent (<detail>)" (just "sent" when
// the detail is empty) or "<channel>: not sent: <detail>".
void format_outcome_line(const SendOutcome& outcome, Channel channel, char* out, size_t cap);

// The code a console "... command rc=%d" line shows: 0 when delivered,
// curl's exit code (-1 when it gave none), or 22 - what curl reports for an
// HTTP error status - when curl ended well but the receiver refused.
int outcome_console_code(const SendOutcome& outcome);

// Fills `outcome` (may be null) for a send whose `what` file ("message",
// "card") could not be written: attempted, temporary, not delivered; logs
// "<channel>: not sent: the <what> file could not be written (full disk or
// no permission?); a temporary failure".
void note_unwritten_send_file(Channel channel, const char* what, SendOutcome* outcome);

class SendFile;
struct Command;

// Runs `command` (null: the send cannot be made, which counts as a curl
// that could not be started) with its standard output captured, reads the
// start of `reply` (null: no answer file), classifies the send into
// `outcome` (may be null), logs its outcome line and prints "<channel>
// command rc=<outcome_console_code>" unless `silent`. When curl's error
// names a revocation check, a second log line follows: with `ssl_revoke`
// (the setting; null or "": not set) "best-effort" or "off", that the check
// failed although it is set so; otherwise the hint to set ssl_revoke :
// "best-effort". Returns 1 when delivered, else 0. Safe from any thread.
int run_send(Channel channel, const Command* command, const SendFile* reply, const char* ssl_revoke,
             bool silent, SendOutcome* outcome);

}  // namespace lw

#endif  // LINKWATCH_NOTIFY_OUTCOME_H_
