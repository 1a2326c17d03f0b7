#include "notify/outcome.h"

#include <cstring>

#include "config/notify_config.h"
#include "notify/send_files.h"
#include "support/output.h"
#include "support/transfer.h"

namespace lw {

namespace {

// Reads a decimal number of at most 9 digits at `s`; false when none.
bool read_number(const char* s, int* value) {
  int n = 0, digits = 0;
  for (; *s >= '0' && *s <= '9' && digits < 9; ++s, ++digits) n = n * 10 + (*s - '0');
  if (digits == 0) return false;
  *value = n;
  return true;
}

const char* skip_blanks(const char* s) {
  while (*s == ' ' || *s == '\t' || *s == '\r' || *s == '\n') ++s;
  return s;
}

// The value after `"<key>":` in a JSON text, or null when the key is absent.
const char* json_value(const char* json, const char* key) {
  FixedText<32> quoted;
  quoted.format("\"%s\"", key);
  for (const char* s = json; (s = std::strstr(s, quoted.c_str())); ++s) {
    const char* v = skip_blanks(s + quoted.size());
    if (*v == ':') return skip_blanks(v + 1);
  }
  return nullptr;
}

// Copies `text` (up to `end`, null: its end) into `out` on one line: control
// bytes become spaces, a backslash escape of a JSON string keeps the escaped
// byte, trailing blanks go.
void one_line(const char* text, const char* end, bool json_string, FixedText<256>* out) {
  char line[kReplyShownBytes + 1];
  size_t n = 0;
  for (const char* s = text; *s && s != end && n < kReplyShownBytes; ++s) {
    char c = *s;
    if (json_string && c == '\\' && s[1]) {
      c = *++s;
      if (c == 'n' || c == 'r' || c == 't') c = ' ';
    }
    line[n++] = static_cast<unsigned char>(c) < 32 ? ' ' : c;
  }
  while (n > 0 && line[n - 1] == ' ') --n;
  line[n] = '\0';
  out->assign(line);
}

// The end of the JSON string that starts after the quote at `s`.
const char* json_string_end(const char* s) {
  for (; *s && *s != '"'; ++s) {
    if (*s == '\\' && s[1]) ++s;
  }
  return s;
}

bool temporary_curl_code(int code) {
  switch (code) {
    case 6:
    case 7:
    case 28:
    case 35:
    case 55:
    case 56:
      return true;
    default:
      return false;
  }
}

bool temporary_http_status(int status) { return status == 429 || status >= 500; }

const char* run_meaning(RunStatus run) {
  switch (run) {
    case RunStatus::kStartFailed:
      return "could not run";
    case RunStatus::kTimedOut:
      return "time limit";
    case RunStatus::kStopped:
      return "ended at stop";
    case RunStatus::kExited:
      break;
  }
  return "";
}

}  // namespace

const char* curl_meaning(int curl_code) {
  switch (curl_code) {
    case -1:
      return "could not run";
    case 3:
      return "malformed address";
    case 6:
      return "cannot resolve host";
    case 7:
      return "cannot connect";
    case 22:
      return "HTTP error";
    case 28:
      return "timed out";
    case 35:
      return "TLS handshake failed";
    case 52:
      return "empty reply";
    case 55:
      return "send failed";
    case 56:
      return "receive failed";
    case 60:
      return "certificate not trusted";
    case 67:
      return "login denied";
    default:
      return "";
  }
}

namespace {

// Who answered a send: an SMTP server, or an HTTP receiver with or without
// rules of its own (a web hook has none).
enum class Receiver { kSmtp, kHttp, kTelegram, kTeams };

Receiver receiver_of(Channel channel) {
  switch (channel) {
    case Channel::kEmail:
      return Receiver::kSmtp;
    case Channel::kTelegram:
      return Receiver::kTelegram;
    case Channel::kTeams:
      return Receiver::kTeams;
    case Channel::kWebhook1:
    case Channel::kWebhook2:
    case Channel::kWebhook3:
    case Channel::kWebhook4:
      return Receiver::kHttp;  // delivered on any 2xx
  }
  return Receiver::kHttp;
}

void classify(Receiver receiver, int curl_code, RunStatus run, const char* write_out,
              const char* reply, SendOutcome* out) {
  *out = SendOutcome();
  out->attempted = true;
  out->run = run;
  out->curl_code = run == RunStatus::kExited ? curl_code : -1;
  // curl's error line (show-error) comes first; the codes follow it.
  const char* printed = write_out ? write_out : "";
  if (const char* last_line_end = std::strrchr(printed, '\n')) printed = last_line_end + 1;
  const char* codes = skip_blanks(printed);
  if (!read_number(codes, &out->status)) out->status = 0;
  while (*codes >= '0' && *codes <= '9') ++codes;
  int seconds = 0;
  if (*codes == ' ' && read_number(codes + 1, &seconds)) out->retry_after_seconds = seconds;
  if (run != RunStatus::kExited) {
    out->temporary = run != RunStatus::kStartFailed;
    return;
  }

  const int status = out->status;
  if (receiver == Receiver::kSmtp) {
    out->delivered = curl_code == 0;
    if (status >= 400 && status < 500) {
      out->temporary = !out->delivered;
    } else if (status >= 500 && status < 600) {
      out->temporary = false;
    } else {
      out->temporary = !out->delivered && temporary_curl_code(curl_code);
    }
    return;
  }

  const char* body = reply ? reply : "";
  const bool success_status = status >= 200 && status < 300;
  if (receiver == Receiver::kTelegram) {
    const char* ok = json_value(body, "ok");
    out->delivered = curl_code == 0 && success_status && ok && std::strncmp(ok, "true", 4) == 0;
    if (const char* after = json_value(body, "retry_after");
        after && read_number(after, &seconds) && seconds > out->retry_after_seconds) {
      out->retry_after_seconds = seconds;
    }
    const char* description = json_value(body, "description");
    if (description && *description == '"') {
      one_line(description + 1, json_string_end(description + 1), true, &out->reply);
    } else {
      one_line(body, nullptr, false, &out->reply);
    }
  } else {
    out->delivered =
        curl_code == 0 && success_status &&
        !(receiver == Receiver::kTeams && status == 200 && std::strstr(body, "failed") != nullptr);
    one_line(body, nullptr, false, &out->reply);
  }
  out->temporary =
      !out->delivered && (temporary_http_status(status) || temporary_curl_code(curl_code));
}

void format_detail(const SendOutcome& outcome, bool smtp, DetailStyle style, char* out,
                   size_t cap) {
  if (cap == 0) return;
  FixedText<512> text;
  const bool log = style == DetailStyle::kLog;
  if (outcome.file_unwritten) {
    copy_bounded(out, cap, "send file not written");
    return;
  }
  if (outcome.token_request && smtp) {
    char detail[512];
    format_detail(outcome, false, style, detail, sizeof detail);
    text.format("token request: %s", detail);
    copy_bounded(out, cap, text.c_str());
    return;
  }
  if (outcome.run != RunStatus::kExited) {
    text.format(log ? "curl -1 (%s" : "curl -1: %s", run_meaning(outcome.run));
    if (outcome.run == RunStatus::kTimedOut) {
      const uint32_t limit = outcome.time_limit_ms ? outcome.time_limit_ms : kCurlRunLimitMs;
      text.append_format(" of %u s", static_cast<unsigned>(limit / 1000));
    }
    if (log) text.append(")");
    copy_bounded(out, cap, text.c_str());
    return;
  }
  if (outcome.curl_code != 0) {
    const char* meaning = curl_meaning(outcome.curl_code);
    text.format(!*meaning ? "curl %d"
                : log     ? "curl %d (%s)"
                          : "curl %d: %s",
                outcome.curl_code, meaning);
  }
  if (outcome.status > 0) {
    text.append_format("%s%s %d", text.empty() ? "" : ", ", smtp ? "SMTP" : "HTTP", outcome.status);
    if (!smtp && !outcome.delivered && !outcome.reply.empty()) {
      text.append_format(": %s", outcome.reply.c_str());
    }
  } else if (!smtp && !outcome.delivered && outcome.curl_code == 0) {
    text.assign("no HTTP status");
  }
  copy_bounded(out, cap, text.c_str());
}

}  // namespace

void classify_send(Channel channel, int curl_code, RunStatus run, const char* write_out,
                   const char* reply, SendOutcome* out) {
  classify(receiver_of(channel), curl_code, run, write_out, reply, out);
}

void classify_http(int curl_code, RunStatus run, const char* write_out, SendOutcome* out) {
  classify(Receiver::kHttp, curl_code, run, write_out, nullptr, out);
}

void format_outcome_detail(const SendOutcome& outcome, Channel channel, DetailStyle style,
                           char* out, size_t cap) {
  format_detail(outcome, channel == Channel::kEmail, style, out, cap);
}

void format_http_detail(const SendOutcome& outcome, DetailStyle style, char* out, size_t cap) {
  format_detail(outcome, false, style, out, cap);
}

void format_outcome_line(const SendOutcome& outcome, Channel channel, char* out, size_t cap) {
  char detail[512];
  format_outcome_detail(outcome, channel, DetailStyle::kLog, detail, sizeof detail);
  FixedText<600> line;
  if (!outcome.delivered) {
    line.format("%s: not sent: %s", channel_name(channel), detail);
  } else if (detail[0]) {
    line.format("%s: sent (%s)", channel_name(channel), detail);
  } else {
    line.format("%s: sent", channel_name(channel));
  }
  if (cap > 0) copy_bounded(out, cap, line.c_str());
}

int outcome_console_code(const SendOutcome& outcome) {
  if (outcome.delivered) return 0;
  if (outcome.run != RunStatus::kExited) return -1;
  return outcome.curl_code != 0 ? outcome.curl_code : 22;
}

void note_unwritten_send_file(Channel channel, const char* what, SendOutcome* outcome) {
  if (outcome) {
    *outcome = SendOutcome();
    outcome->attempted = true;
    outcome->temporary = true;
    outcome->file_unwritten = true;
    outcome->run = RunStatus::kStartFailed;
  }
  log_event(
      "%s: not sent: the %s file could not be written (full disk or no permission?); a "
      "temporary failure",
      channel_name(channel), what);
}

int run_send(Channel channel, const Command* command, const SendFile* reply, const char* ssl_revoke,
             bool silent, SendOutcome* outcome) {
  SendOutcome local;
  if (!outcome) outcome = &local;
  char codes[kCaptureBufferSize] = "";
  char answer[kReplyReadBytes + 1] = "";
  RunStatus run = RunStatus::kStartFailed;
  int rc = -1;
  if (command) {
    rc = run_command_capture(*command, codes, kCurlRunLimitMs, &run);
    if (reply && run == RunStatus::kExited) reply->read_start(answer, sizeof answer);
  }
  classify_send(channel, rc, run, codes, reply ? answer : nullptr, outcome);
  char line[640];
  format_outcome_line(*outcome, channel, line, sizeof line);
  log_event("%s", line);
  if (!outcome->delivered && names_revocation_failure(codes)) {
    const char* revoke = ssl_revoke ? ssl_revoke : "";
    if (std::strcmp(revoke, "best-effort") == 0 || std::strcmp(revoke, "off") == 0) {
      log_event("%s: the certificate's revocation check failed although ssl_revoke is \"%s\" in %s",
                channel_name(channel), revoke, kNotifyFileName);
    } else {
      log_event(
          "%s: the certificate's revocation could not be checked; when this computer cannot "
          "reach the certificate authority's revocation lists, set ssl_revoke : \"best-effort\" "
          "in %s",
          channel_name(channel), kNotifyFileName);
    }
  }
  if (!silent) {
    console_print("%s command rc=%d\n", channel_name(channel), outcome_console_code(*outcome));
  }
  return outcome->delivered ? 1 : 0;
}

}  // namespace lw
