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

#include "support/fixed_text.h"
#include "support/runner.h"

namespace lw {

enum class Channel { kEmail, kTelegram, kTeams };

struct SendOutcome {
  bool attempted = false;  // curl was run (or could not be run) for this send
  bool delivered = false;  // the receiver took the message
  bool temporary = false;  // not delivered for a reason a later try may not meet
  int curl_code = -1;      // curl's exit code; -1 when it gave none
  RunStatus run = RunStatus::kExited;
  int status = 0;               // HTTP status, or the last SMTP reply code; 0: none
  int retry_after_seconds = 0;  // the receiver's Retry-After / retry_after; 0: none
  FixedText<256> reply;         // the start of the receiver's answer, on one line
};

// Bytes of the receiver's answer shown in the log and kept in `reply`.
constexpr size_t kReplyShownBytes = 200;

// "Email", "Telegram" or "Teams".
const char* channel_name(Channel channel);

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
// holds "failed" (what an old-style connector answers to a refused card).
// Temporary: curl 6, 7, 28, 35, 55, 56; a run ended by the time limit or a
// stop; HTTP 429 and 5xx; SMTP 4xx. Everything else is permanent. The
// Telegram answer's "description" (else the answer itself), cut to
// kReplyShownBytes on one line, goes to `reply`; `retry_after_seconds` is
// the larger of Retry-After and Telegram's "retry_after".
void classify_send(Channel channel, int curl_code, RunStatus run, const char* write_out,
                   const char* reply, SendOutcome* out);

// How the codes are written in a detail text: "curl 67 (login denied)" in
// the log, "curl 67: login denied" inside the parentheses of "-test".
enum class DetailStyle { kLog, kTest };

// The codes behind `outcome`, e.g. "SMTP 250", "HTTP 202",
// "curl 67 (login denied), SMTP 535" or "HTTP 429: Too Many Requests"; a
// run without an exit code reads "curl -1 (could not run)", "curl -1
// (time limit of 120 s)" or "curl -1 (ended at stop)". "" when a delivered
// send has no code to show. Always terminated in `out` (cap > 0).
void format_outcome_detail(const SendOutcome& outcome, Channel channel, DetailStyle style,
                           char* out, size_t cap);

// The log line of one send: "<channel>: sent (<detail>)" (just "sent" when
// the detail is empty) or "<channel>: not sent: <detail>".
void format_outcome_line(const SendOutcome& outcome, Channel channel, char* out, size_t cap);

// The code a console "... command rc=%d" line shows: 0 when delivered,
// curl's exit code (-1 when it gave none), or 22 - what curl reports for an
// HTTP error status - when curl ended well but the receiver refused.
int outcome_console_code(const SendOutcome& outcome);

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
