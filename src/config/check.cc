#include "config/check.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iterator>

#include "config/config_keys.h"
#include "config/config_line.h"
#include "config/host_config.h"
#include "config/mail_auth_check.h"
#include "support/fixed_text.h"
#include "support/output.h"

namespace lw {

namespace {

// The lines about keys missing from the file, in the order of the rows.
// Returns false when the file fails.
// `needed` (null: every key) tells whether a required key is needed here.
template <typename Rows>
bool report_missing_keys(Rows rows, const bool* seen, const NotifyCheckState* needed = nullptr) {
  bool passed = true;
  for (size_t i = 0; i < rows.size(); ++i) {
    if (seen[i]) continue;
    if (rows[i].missing == WhenMissing::kRequired &&
        (!needed || mail_key_needed(*needed, rows[i].name))) {
      plain_print("Missing key: %s\n", rows[i].name);
      passed = false;
    } else if (rows[i].missing == WhenMissing::kInfo) {
      plain_print("Info: %s not set, default %s:%s will be used\n", rows[i].name, rows[i].name,
                  rows[i].default_text);
    }
  }
  return passed;
}

int finish_host_file(const HostCheckState& state, bool passed) {
  if (!check_host_block_end(state)) passed = false;
  if (!report_missing_keys(host_key_rows(), state.seen)) passed = false;
  if (state.host_count == 0) return 0;  // "Missing key: host"
  if (!state.current_has_port) {
    plain_print("Host block at line %d: missing key port\n", state.block_line);
    return 0;
  }
  return passed ? 1 : 0;
}

int finish_notify_file(const NotifyCheckState& state, bool passed) {
  if (!check_webhook_block_end(state)) passed = false;
  if (!report_missing_keys(notify_key_rows(), state.seen, &state)) passed = false;
  if (!check_mail_login(state)) passed = false;
  const bool token = state.seen[find_notify_key("token") - notify_key_rows().data()];
  const bool chat_id = state.seen[find_notify_key("chat_id") - notify_key_rows().data()];
  if (token && !chat_id) {
    plain_print("Telegram config incomplete: chat_id missing\n");
    return 0;
  }
  if (chat_id && !token) {
    plain_print("Telegram config incomplete: token missing\n");
    return 0;
  }
  return passed ? 1 : 0;
}

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
  const char* keys[kMaxKeyRows];
  size_t count = 0;
  if (kind == kHostFile) {
    for (const HostKeyRow& row : host_key_rows()) keys[count++] = row.name;
  } else {
    for (const NotifyKeyRow& row : notify_key_rows()) keys[count++] = row.name;
  }
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
  if (value_runs_to_last_quote(line.key.c_str())) return;
  const char* open = std::strchr(find_config_separator(piece) + 1, '"');
  const char* close = std::strchr(open + 1, '"');
  if (!std::strchr(close + 1, '"')) return;
  plain_print("Warning: %s line %d: the value of %s holds a '\"'; it ends at the first one\n",
              file_name, line_no, line.key.c_str());
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
  HostCheckState host_state;
  host_state.file_name = file_name;
  NotifyCheckState notify_state;
  notify_state.file_name = file_name;
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
      if (!check_host_line(*find_host_key(line.key.c_str()), line, line_no, &host_state)) {
        passed = false;
      }
      note_host_block(file_name, line_no, &line, &blocks);
    } else {
      if (!check_notify_line(*find_notify_key(line.key.c_str()), line, line_no, &notify_state)) {
        passed = false;
      }
    }
  }
  if (kind == kHostFile) note_host_block(file_name, line_no, nullptr, &blocks);

  return kind == kHostFile ? finish_host_file(host_state, passed)
                           : finish_notify_file(notify_state, passed);
}

}  // namespace lw
