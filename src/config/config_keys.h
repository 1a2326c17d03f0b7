// The keys of both configuration files, one row each. The loaders
// (load_host_config, load_notify_config) and "-check" walk the same rows: a
// key's parse, default, range and what each side does with a value are
// written once, and where the two sides part on purpose the row says so.
// A new key is one row here (and its setting in the settings struct).

#ifndef LINKWATCH_CONFIG_CONFIG_KEYS_H_
#define LINKWATCH_CONFIG_CONFIG_KEYS_H_

#include <cstddef>
#include <span>

#include "config/config_line.h"
#include "config/host_config.h"
#include "config/host_form.h"
#include "config/notify_config.h"
#include "support/fixed_text.h"

namespace lw {

// What a key's parse makes of one value.
enum class KeyVerdict {
  kTaken,     // used as written (a number as its digits read: "05" is 5)
  kReplaced,  // the loader uses `used` instead: a default, a clamp, digits cut short
  kIgnored,   // the line changes nothing
  kRefused,   // not usable; the row's on_refused says what the loader does
  kTooLong,   // a secret longer than its setting: the loader leaves it unused and
              // says so; "-check" leaves it to the loader
};

struct KeyValue {
  KeyVerdict verdict = KeyVerdict::kTaken;
  // Number keys: the value the loader uses, as "%d" ("" for text keys: the
  // text as written).
  FixedText<16> used;
  bool clamped = false;  // kReplaced for a number out of range, not for cut digits
};

// What the loader does with a value the parse refuses.
enum class LoadRefused {
  kFallBack,      // uses the default and prints and logs the row's note
  kKeep,          // keeps it as written, silently ("-check" refuses it)
  kKeepWithNote,  // keeps it as written and prints and logs the row's note
};

// What "-check" does with a value the loader replaces.
enum class CheckReplaced {
  kWarn,         // "Warning: <file> line N: <key> "<value>" will be taken as <used>"
  kFailClamped,  // fails a value out of range (clamped), warns for cut digits
};

// What "-check" says when the file has no line with the key.
enum class WhenMissing { kOptional, kRequired, kInfo };

// Host file: where a key's value goes.
enum class KeyScope {
  kGlobal,   // the monitoring settings, wherever the line stands
  kPerHost,  // the host of the most recent `host` line; nowhere before the first
  kBlock,    // `host`: begins a host block
  kEither,   // before the first host block every host's, inside one that host's
};

// What the host-file loader writes to. `host` is null before the first host.
struct HostLoadTarget {
  MonitorSettings* settings = nullptr;
  HostEntry* host = nullptr;
};

constexpr size_t kMaxKeyRows = 32;

// What "-check" follows through a host file.
struct HostCheckState {
  const char* file_name = "";
  bool seen[kMaxKeyRows] = {};  // by row index
  int host_count = 0;
  bool current_has_port = false;
  HostForm current_form = HostForm::kName;
  int block_line = 0;  // the `host` line of the current block
  // `maintenance` windows so far of the block at windows_block_line (0:
  // before the first host block).
  int windows_block_line = 0;
  int windows_count = 0;
  // The current block's usable `send` line (0: none), and whether the block
  // has an `expect` line.
  int send_line = 0;
  bool has_expect = false;
};

struct HostKeyRow;
// A row's own "-check" of one line; returns false when the line makes the
// file fail. Null: check_by_verdict.
using HostCheckFn = bool (*)(const HostKeyRow& row, const ConfigLine& line, int line_no,
                             const KeyValue& value, HostCheckState* state);

struct HostKeyRow {
  const char* name;
  KeyScope scope;
  // The values taken, as -check's refusal words them in brackets ("use 1 to 100").
  const char* range;
  const char* default_text;  // what the run uses while the key is absent
  WhenMissing missing;
  KeyValue (*parse)(const char* value);
  // Loader: stores a value (`written` as the line has it, the default on a
  // fall-back) with what the parse made of it.
  void (*store)(const char* written, const KeyValue& value, HostLoadTarget* to);
  LoadRefused on_refused;
  // The loader's note on a refused value: "<key> in <file> must be <rule>;
  // <fallback>" ("<key> of host <host> in ..." for a per-host key).
  const char* load_rule;
  const char* load_fallback;
  // -check.
  CheckReplaced on_replaced;
  HostCheckFn check;
  // The loaded setting as text, as the run uses it; `host` null for globals.
  void (*show)(const MonitorSettings& settings, const HostEntry* host,
               FixedText<kConfigValueSize>* out);
};

std::span<const HostKeyRow> host_key_rows();
// The row named `key` exactly, or null.
const HostKeyRow* find_host_key(const char* key);

// The loader's side of one host-file line: the value stored as the verdict
// and on_refused say, the row's note printed and logged. (A `host` line's
// block is begun by load_host_config first.)
void load_host_key(const HostKeyRow& row, const ConfigLine& line, HostLoadTarget* to);

// -check's side of one line: the row's check, or check_by_verdict.
bool check_host_line(const HostKeyRow& row, const ConfigLine& line, int line_no,
                     HostCheckState* state);
// -check at the end of a host block (at the next `host` line and at the end
// of the file): a `send` without an `expect` in the block would do nothing
// and fails with "Line N: send without expect in the host block at line
// L; it would do nothing". Returns false then.
bool check_host_block_end(const HostCheckState& state);
// The messages of a verdict: a refusal fails with "Line N: invalid <key>
// "<value>" (<range>)", a replaced number warns as on_replaced says.
bool check_by_verdict(const HostKeyRow& row, const ConfigLine& line, int line_no,
                      const KeyValue& value, const HostCheckState& state);

// Notification file.

// What the notification-file loader writes to.
struct NotifyLoadTarget {
  NotifySettings* settings = nullptr;
  bool to_protect = false;  // some line holds a usable secret
  // The web hook block the webhook_* lines go to: -1 before the first
  // `webhook_url` and after one beyond kMaxWebhooks.
  int webhook = -1;
};

// What "-check" follows through the web hook blocks of a notification file.
struct WebhookCheckState {
  int count = 0;      // `webhook_url` lines so far
  int url_line = 0;   // of the current block
  int body_line = 0;  // its `webhook_body` line; 0: none
  int header_count = 0;
  WebhookFormat format = WebhookFormat::kText;
  FixedText<kWebhookBodySize> body;
};

struct NotifyCheckState {
  const char* file_name = "";
  bool seen[kMaxKeyRows] = {};  // by row index
  // The key's last line, by row index, for checks of several keys together
  // (mail_auth_check.h): its number and the start of its value.
  int line[kMaxKeyRows] = {};
  FixedText<256> value[kMaxKeyRows];
  WebhookCheckState webhook;
};

// -check at the end of a web hook block (at the next `webhook_url` and at
// the end of the file): a "json" block whose body does not expand to valid
// JSON fails with "Line N: webhook_body of web hook <n> does not give valid
// JSON (for a <KIND> message)". Returns false then.
bool check_webhook_block_end(const NotifyCheckState& state);

struct NotifyKeyRow;
using NotifyCheckFn = bool (*)(const NotifyKeyRow& row, const ConfigLine& line, int line_no,
                               const KeyValue& value, NotifyCheckState* state);

struct NotifyKeyRow {
  const char* name;
  const char* range;  // as in HostKeyRow
  const char* default_text;
  WhenMissing missing;
  bool shows_value;  // -check's refusal shows the value (not for secrets and addresses)
  KeyValue (*parse)(const char* value);
  void (*store)(const char* written, const KeyValue& value, NotifyLoadTarget* to);
  LoadRefused on_refused;
  // The loader's note, printed after the whole file is read when the last
  // line of the key was refused or too long: "<key> in <file> must be
  // <rule>; <fallback>", or `note` when set.
  const char* load_rule;
  const char* load_fallback;
  void (*note)(const NotifySettings& settings);
  NotifyCheckFn check;  // null: check_by_verdict
  void (*show)(const NotifySettings& settings, FixedText<kConfigValueSize>* out);
};

std::span<const NotifyKeyRow> notify_key_rows();
const NotifyKeyRow* find_notify_key(const char* key);

// The loader's side of one line; returns true when the loader's note is due
// should this line be the key's last.
bool load_notify_key(const NotifyKeyRow& row, const ConfigLine& line, NotifyLoadTarget* to);
// Prints and logs the row's note (after reading).
void print_notify_note(const NotifyKeyRow& row, const NotifySettings& settings);

bool check_notify_line(const NotifyKeyRow& row, const ConfigLine& line, int line_no,
                       NotifyCheckState* state);
bool check_by_verdict(const NotifyKeyRow& row, const ConfigLine& line, int line_no,
                      const KeyValue& value, const NotifyCheckState& state);

}  // namespace lw

#endif  // LINKWATCH_CONFIG_CONFIG_KEYS_H_
