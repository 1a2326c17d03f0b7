#include "config/check.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iterator>

#include "config/config_line.h"
#include "config/host_config.h"
#include "config/host_form.h"
#include "config/notify_config.h"
#include "config/protect.h"
#include "platform/platform.h"
#include "support/fixed_text.h"
#include "support/output.h"
#include "support/transfer.h"

namespace lw {

namespace {

struct HostFileMarks {
  bool interval = false;
  bool fast_retry_interval = false;
  bool workers = false;
  int host_count = 0;
  bool current_has_port = false;
  HostForm current_form = HostForm::kName;
  int block_line = 0;  // the `host` line of the current block
};

struct NotifyFileMarks {
  bool server = false;
  bool email = false;
  bool password = false;
  bool to = false;
  bool token = false;
  bool chat_id = false;
};

// Returns false when the line makes the file fail.
bool check_host_key(const ConfigLine& line, int line_no, HostFileMarks* marks) {
  const char* key = line.key.c_str();
  if (std::strcmp(key, "interval") == 0) {
    marks->interval = true;
  } else if (std::strcmp(key, "fast_retry_interval") == 0) {
    marks->fast_retry_interval = true;
  } else if (std::strcmp(key, "workers") == 0) {
    marks->workers = true;
    int n = to_int(line.value.c_str());
    if (n < 1) {
      plain_print("Line %d: workers must be greater than 0\n", line_no);
      return false;
    }
    if (n > kMaxWorkers) {
      plain_print("Line %d: workers too high, maximum workers:%d\n", line_no, kMaxWorkers);
      return false;
    }
  } else if (std::strcmp(key, "recovercount") == 0) {
    if (parse_recover_count(line.value.c_str()) == 0) {
      plain_print("Line %d: invalid recovercount \"%s\" (use 1 to %d)\n", line_no,
                  line.value.c_str(), kMaxRecoverCount);
      return false;
    }
  } else if (std::strcmp(key, "remind_minutes") == 0) {
    if (parse_remind_minutes(line.value.c_str()) < 0) {
      plain_print("Line %d: invalid remind_minutes \"%s\" (use 0, or %d to %d)\n", line_no,
                  line.value.c_str(), kMinRemindMinutes, kMaxRemindMinutes);
      return false;
    }
  } else if (std::strcmp(key, "group_alerts") == 0) {
    if (parse_group_alerts(line.value.c_str()) < 0) {
      plain_print("Line %d: invalid group_alerts \"%s\" (use 0, or %d to %d)\n", line_no,
                  line.value.c_str(), kMinGroupAlerts, kMaxHosts);
      return false;
    }
  } else if (std::strcmp(key, "netcheck") == 0) {
    NetReference refs[kMaxNetReferences];
    int32_t count = 0;
    if (!parse_netcheck(line.value.c_str(), refs, &count)) {
      plain_print(
          "Line %d: invalid netcheck \"%s\" (use up to %d host:port references, "
          "separated by commas)\n",
          line_no, line.value.c_str(), kMaxNetReferences);
      return false;
    }
  } else if (std::strcmp(key, "status_file") == 0) {
    if (parse_status_file(line.value.c_str()) < 0) {
      plain_print("Line %d: invalid status_file \"%s\" (use 0 or 1)\n", line_no,
                  line.value.c_str());
      return false;
    }
  } else if (std::strcmp(key, "rolling_workers") == 0) {
    if (parse_rolling_workers(line.value.c_str()) < 0) {
      plain_print("Line %d: invalid rolling_workers \"%s\" (use 0 or 1)\n", line_no,
                  line.value.c_str());
      return false;
    }
  } else if (std::strcmp(key, "metrics_file") == 0) {
    if (!metrics_file_usable(line.value.c_str())) {
      plain_print("Line %d: invalid metrics_file \"%s\" (use a file name ending in .prom)\n",
                  line_no, line.value.c_str());
      return false;
    }
  } else if (std::strcmp(key, "host") == 0) {
    bool ok = true;
    if (marks->host_count > 0 && !marks->current_has_port) {
      plain_print("Host block at line %d: missing key port\n", marks->block_line);
      ok = false;
    }
    ++marks->host_count;
    marks->current_has_port = false;
    marks->current_form = classify_host(line.value.c_str(), nullptr);
    if (marks->current_form == HostForm::kNotAnAddress) {
      plain_print("Line %d: host \"%s\" is neither an IPv4 nor an IPv6 address\n", line_no,
                  line.value.c_str());
      ok = false;
    }
    marks->block_line = line_no;
    return ok;
  } else if (std::strcmp(key, "family") == 0) {
    const int family = parse_host_family(line.value.c_str());
    if (family < 0) {
      plain_print("Line %d: invalid family \"%s\" (use 4, 6 or any)\n", line_no,
                  line.value.c_str());
      return false;
    }
    if (marks->host_count > 0 && marks->current_form != HostForm::kNotAnAddress &&
        !family_allows(family, marks->current_form)) {
      plain_print("Line %d: family \"%s\" excludes the IPv%c address of the host at line %d\n",
                  line_no, line.value.c_str(), marks->current_form == HostForm::kIPv6 ? '6' : '4',
                  marks->block_line);
      return false;
    }
  } else if (std::strcmp(key, "port") == 0) {
    // A port before the first host belongs to no host; its text must still
    // name a port.
    if (marks->host_count > 0) marks->current_has_port = true;
    if (port_number(line.value.c_str()) == 0) {
      plain_print("Line %d: invalid port \"%s\" (use %d to %d)\n", line_no, line.value.c_str(),
                  kLowestPort, kHighestPort);
      return false;
    }
  }
  return true;
}

// Returns false when the line makes the file fail.
bool check_notify_key(const char* file_name, const ConfigLine& line, int line_no,
                      NotifyFileMarks* marks) {
  const char* key = line.key.c_str();
  if (std::strcmp(key, "retry_minutes") == 0) {
    if (parse_retry_minutes(line.value.c_str()) < 0) {
      plain_print("Line %d: invalid retry_minutes \"%s\" (use 0 to %d)\n", line_no,
                  line.value.c_str(), kMaxRetryMinutes);
      return false;
    }
  } else if (std::strcmp(key, "heartbeat_url") == 0) {
    // The address is not shown: it may carry the watching service's secret.
    if (!heartbeat_url_usable(line.value.c_str())) {
      plain_print("Line %d: invalid heartbeat_url (use an https:// address)\n", line_no);
      return false;
    }
  } else if (std::strcmp(key, "cacert") == 0) {
    if (!line.value.empty() && !file_readable(line.value.c_str())) {
      plain_print("Line %d: cacert file \"%s\" cannot be read\n", line_no, line.value.c_str());
      return false;
    }
  } else if (std::strcmp(key, "ssl_revoke") == 0) {
    const char* option = ssl_revoke_option(line.value.c_str());
    if (!option) {
      plain_print("Line %d: invalid ssl_revoke \"%s\" (use best-effort or off)\n", line_no,
                  line.value.c_str());
      return false;
    }
    if (option[0] != '\0' && !platform::kTlsChecksRevocation) {
      plain_print(
          "Warning: %s line %d: ssl_revoke applies to Windows' TLS only; it is ignored here\n",
          file_name, line_no);
    }
  } else if (std::strcmp(key, "proxy") == 0) {
    // The address is not shown: it may carry the proxy's login.
    if (!line.value.empty() && !proxy_usable(line.value.c_str())) {
      plain_print("Line %d: invalid proxy (use an address like http://host:port)\n", line_no);
      return false;
    }
  } else if (std::strcmp(key, "server") == 0) {
    marks->server = true;
  } else if (std::strcmp(key, "email") == 0) {
    marks->email = true;
  } else if (std::strcmp(key, "password") == 0) {
    marks->password = true;
  } else if (std::strcmp(key, "to") == 0 || std::strcmp(key, "iamalive") == 0) {
    if (std::strcmp(key, "to") == 0) marks->to = true;
    // The run leaves such an address out; the value is not shown, as it
    // holds what a terminal would act on.
    MailRecipients split;
    split_mail_recipients(line.value.c_str(), &split);
    if (split.refused_count > 0) {
      plain_print("Line %d: invalid %s (an address holds a control character)\n", line_no, key);
      return false;
    }
  } else if (std::strcmp(key, "token") == 0) {
    marks->token = true;
    // Checked in its plain text; a token too long for its setting is left
    // to the loader, which says so. The token is not shown: it is secret.
    char token[kMaxTokenLength + 1];
    if (read_stored_secret(line.value.c_str(), kMaxTokenLength, token, sizeof token) &&
        !telegram_token_usable(token)) {
      plain_print(
          "Line %d: invalid token (use the bot token from @BotFather: digits, a colon, then "
          "letters, digits, _ and -)\n",
          line_no);
      return false;
    }
  } else if (std::strcmp(key, "chat_id") == 0) {
    marks->chat_id = true;
  }
  return true;
}

int finish_host_file(const HostFileMarks& marks, bool passed) {
  if (!marks.interval) {
    plain_print("Missing key: interval\n");
    passed = false;
  }
  if (!marks.fast_retry_interval) {
    plain_print("Missing key: fast_retry_interval\n");
    passed = false;
  }
  if (!marks.workers) {
    plain_print("Info: workers not set, default workers:%d will be used\n", kDefaultWorkers);
  }
  if (marks.host_count == 0) {
    plain_print("Missing key: host\n");
    return 0;
  }
  if (!marks.current_has_port) {
    plain_print("Host block at line %d: missing key port\n", marks.block_line);
    return 0;
  }
  return passed ? 1 : 0;
}

int finish_notify_file(const NotifyFileMarks& marks, bool passed) {
  const struct {
    bool seen;
    const char* name;
  } required[] = {{marks.server, "server"},
                  {marks.email, "email"},
                  {marks.password, "password"},
                  {marks.to, "to"}};
  for (const auto& key : required) {
    if (!key.seen) {
      plain_print("Missing key: %s\n", key.name);
      passed = false;
    }
  }
  if (marks.token && !marks.chat_id) {
    plain_print("Telegram config incomplete: chat_id missing\n");
    return 0;
  }
  if (marks.chat_id && !marks.token) {
    plain_print("Telegram config incomplete: token missing\n");
    return 0;
  }
  return passed ? 1 : 0;
}

// Every key each file knows, one a line; a line with any other key is
// reported.
// clang-format off
constexpr const char* kHostFileKeys[] = {
    "interval",
    "fast_retry_interval",
    "workers",
    "recovercount",
    "remind_minutes",
    "group_alerts",
    "netcheck",
    "status_file",
    "rolling_workers",
    "metrics_file",
    "host",
    "port",
    "description",
    "timeoutsec",
    "alertcount",
    "family",
};
constexpr const char* kNotifyFileKeys[] = {
    "server",
    "email",
    "password",
    "from",
    "to",
    "iamalive",
    "token",
    "chat_id",
    "teams_webhook",
    "retry_minutes",
    "heartbeat_url",
    "cacert",
    "ssl_revoke",
    "proxy",
};
// clang-format on

// Edits (insert, delete, replace a byte) between `a` and `b`, letter case
// ignored.
size_t edit_distance(const char* a, const char* b) {
  size_t row[kConfigKeySize + 1];
  const size_t b_len = std::strlen(b);
  if (b_len > kConfigKeySize) return SIZE_MAX;
  for (size_t j = 0; j <= b_len; ++j) row[j] = j;
  for (size_t i = 1; a[i - 1] != '\0'; ++i) {
    size_t diagonal = row[0];
    row[0] = i;
    for (size_t j = 1; j <= b_len; ++j) {
      const size_t above = row[j];
      const size_t replace = diagonal + (lower_ascii(a[i - 1]) == lower_ascii(b[j - 1]) ? 0 : 1);
      row[j] = std::min({above + 1, row[j - 1] + 1, replace});
      diagonal = above;
    }
  }
  return row[b_len];
}

// Warns about a key that the file's kind does not know: written in the
// wrong letter case, close to a known key, or neither. Returns true when
// the key is known.
bool check_known_key(const char* file_name, int kind, int line_no, const char* key) {
  const char* const* keys = kind == kHostFile ? kHostFileKeys : kNotifyFileKeys;
  const size_t count = kind == kHostFile ? std::size(kHostFileKeys) : std::size(kNotifyFileKeys);
  // Fewer than three edits, and fewer than half the key's letters, make a
  // likely typing error; no edit at all is a key in other letter case.
  size_t best_distance = std::min<size_t>(3, (std::strlen(key) + 1) / 2);
  const char* best = nullptr;
  for (size_t i = 0; i < count; ++i) {
    if (std::strcmp(key, keys[i]) == 0) return true;
    const size_t distance = edit_distance(key, keys[i]);
    if (distance < best_distance) {
      best_distance = distance;
      best = keys[i];
    }
  }
  if (best && best_distance == 0) {
    plain_print(
        "Warning: %s line %d: key \"%s\" must be written \"%s\"; keys are lower case, this line is "
        "ignored\n",
        file_name, line_no, key, best);
  } else if (best) {
    plain_print("Warning: %s line %d: unknown key \"%s\", did you mean \"%s\"?\n", file_name,
                line_no, key, best);
  } else {
    plain_print("Warning: %s line %d: unknown key \"%s\", this line is ignored\n", file_name,
                line_no, key);
  }
  return false;
}

// Warns when the text after a value's closing quote holds another quote:
// the value was meant to hold a '"', and it ends at the first one.
void check_quote_in_value(const char* file_name, int line_no, const char* piece,
                          const ConfigLine& line) {
  const char* open = std::strchr(find_config_separator(piece) + 1, '"');
  const char* close = std::strchr(open + 1, '"');
  if (!std::strchr(close + 1, '"')) return;
  plain_print("Warning: %s line %d: the value of %s holds a '\"'; it ends at the first one\n",
              file_name, line_no, line.key.c_str());
}

// Warns about a number of the host file that the loader or the run reads as
// another value than the one written: a default, a clamp, or digits cut
// short ("5x"). Values that check_host_key refuses are left to it.
void check_number_value(const char* file_name, int line_no, const ConfigLine& line) {
  static constexpr struct {
    const char* key;
    int fallback;  // the value used for a number below 1
  } kNumbers[] = {{"interval", kDefaultIntervalSeconds},
                  {"fast_retry_interval", kDefaultFastRetrySeconds},
                  {"workers", kDefaultWorkers},
                  {"timeoutsec", kDefaultTimeoutSeconds},
                  {"alertcount", kDefaultAlertCount}};
  const char* value = line.value.c_str();
  for (const auto& number : kNumbers) {
    if (!(line.key == number.key)) continue;
    const int read = to_int(value);
    if (line.key == "interval" && line.value.empty()) return;  // the line is passed over
    if (line.key == "workers" && (read < 1 || read > kMaxWorkers)) return;
    const int used = read < 1 ? number.fallback : read;
    FixedText<16> used_text;
    used_text.format("%d", used);
    if (line.value == used_text.c_str()) return;
    plain_print("Warning: %s line %d: %s \"%s\" will be taken as %d\n", file_name, line_no,
                number.key, value, used);
    return;
  }
}

// The host blocks seen so far, to find one that repeats an earlier host and
// port (its every outage would be alerted twice).
struct HostBlocks {
  struct Block {
    FixedText<kConfigKeySize> host;
    FixedText<16> port;
    int line = 0;
  };
  Block blocks[kHostTableSlots];
  int count = 0;
};

bool same_host_name(const char* a, const char* b) {
  for (; *a && lower_ascii(*a) == lower_ascii(*b); ++a, ++b) {
  }
  return *a == *b;
}

// Follows the host and port lines of a host file; a block is compared with
// the earlier ones when the next begins and at the end (line 0).
void note_host_block(const char* file_name, int line_no, const ConfigLine* line,
                     HostBlocks* blocks) {
  const bool next_block = !line || line->key == "host";
  if (next_block && blocks->count > 0) {
    const HostBlocks::Block& last = blocks->blocks[blocks->count - 1];
    const int port = port_number(last.port.c_str());
    for (int i = 0; port != 0 && i + 1 < blocks->count; ++i) {
      const HostBlocks::Block& earlier = blocks->blocks[i];
      if (same_host_name(earlier.host.c_str(), last.host.c_str()) &&
          port_number(earlier.port.c_str()) == port) {
        plain_print(
            "Warning: %s: Host block at line %d has the host and port of the block at line %d; "
            "each of its alerts would come twice\n",
            file_name, last.line, earlier.line);
        break;
      }
    }
  }
  if (!line) return;
  if (line->key == "host") {
    if (blocks->count == kHostTableSlots) return;  // the loader stops before
    HostBlocks::Block& block = blocks->blocks[blocks->count++];
    block.host.assign(line->value.c_str());
    block.port.clear();
    block.line = line_no;
  } else if (line->key == "port" && blocks->count > 0) {
    blocks->blocks[blocks->count - 1].port.assign(line->value.c_str());
  }
}

}  // namespace

int check_config_file(const char* file_name, int kind) {
  ConfigReader file;
  if (!file.open(file_name)) {
    plain_print("File not found: %s\n", file_name ? file_name : "");
    return 0;
  }
  if (file.encoding() == ConfigEncoding::kUtf16Be) {
    plain_print(
        "Line 1: the file is saved as UTF-16 big-endian, which is not read; save it as UTF-8 "
        "or as UTF-16 little-endian (Notepad's \"Unicode\")\n");
    return 0;
  }

  bool passed = true;
  int line_no = 0;
  HostFileMarks host_marks;
  NotifyFileMarks notify_marks;
  FixedText<kConfigLineSize> piece;
  ConfigLine line;
  ConfigPieceInfo info;
  HostBlocks blocks;

  while (file.next(piece.data(), piece.capacity(), &info) > 0) {
    ++line_no;
    if (info.cut) {
      plain_print("Warning: %s line %d: line longer than %zu characters, cut after them\n",
                  file_name, line_no, kConfigLineSize - 1);
    }
    if (info.bad_character) {
      plain_print(
          "Warning: %s line %d: a unit that is no UTF-16 character (an unpaired surrogate) is "
          "read as U+FFFD\n",
          file_name, line_no);
    }
    if (is_comment_line(piece.c_str())) continue;

    const char* sep = find_config_separator(piece.c_str());
    if (sep && *sep == '=') {
      plain_print("Line %d: '=' is not supported, use ':' instead\n", line_no);
      passed = false;
      continue;
    }
    if (!parse_config_line(piece.c_str(), &line)) {
      plain_print("Line %d: invalid format, expected key : \"value\"\n", line_no);
      passed = false;
      continue;
    }
    check_quote_in_value(file_name, line_no, piece.c_str(), line);
    if (!check_known_key(file_name, kind, line_no, line.key.c_str())) continue;
    if (kind == kHostFile) {
      if (!check_host_key(line, line_no, &host_marks)) passed = false;
      check_number_value(file_name, line_no, line);
      note_host_block(file_name, line_no, &line, &blocks);
    } else {
      if (!check_notify_key(file_name, line, line_no, &notify_marks)) passed = false;
    }
  }
  if (kind == kHostFile) note_host_block(file_name, line_no, nullptr, &blocks);

  return kind == kHostFile ? finish_host_file(host_marks, passed)
                           : finish_notify_file(notify_marks, passed);
}

}  // namespace lw
