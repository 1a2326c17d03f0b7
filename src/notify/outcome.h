// What one send attempt of one channel came to: the record behind the
// outcome line in the log, the retry decision and the "-test" summary.

#ifndef LINKWATCH_NOTIFY_OUTCOME_H_
#define LINKWATCH_NOTIFY_OUTCOME_H_

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

}  // namespace lw

#endif  // LINKWATCH_NOTIFY_OUTCOME_H_
