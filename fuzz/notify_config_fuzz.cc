// The notification file through "-check", the loader and the rewrite of its
// secrets.
//
// Properties: loading twice gives the same settings (the rewrite keeps every
// value); the second rewrite changes nothing; no line is lost; afterwards
// every password, token, oauth2_client_secret, oauth2_refresh_token and
// webhook_url line short enough for its setting is stored in the protected
// form; every usable "json" web hook's body expands to valid JSON, with the
// input as every value.

#include <algorithm>
#include <cstring>
#include <string>

#include "config/check.h"
#include "config/config_keys.h"
#include "config/host_config.h"
#include "config/notify_config.h"
#include "config/webhook_template.h"
#include "fuzz_util.h"
#include "platform/platform.h"
#include "support/json_check.h"
#include "support/output.h"

namespace {

using lw::fuzz::require;

// The rewrite leaves files from this size up alone.
constexpr size_t kLargestRewritten = 200000;
// A secret of at most this many characters fits every secret setting.
constexpr size_t kFitsEverySecret = 127;

// Every key's setting (walked over the key rows) and the channel flags.
bool same_settings(const lw::NotifySettings& a, const lw::NotifySettings& b) {
  static lw::FixedText<lw::kConfigValueSize> shown_a, shown_b;
  for (const lw::NotifyKeyRow& row : lw::notify_key_rows()) {
    row.show(a, &shown_a);
    row.show(b, &shown_b);
    if (!(shown_a == shown_b.c_str())) return false;
  }
  return a.email_enabled == b.email_enabled && a.telegram_enabled == b.telegram_enabled &&
         a.teams_enabled == b.teams_enabled && a.iamalive_enabled == b.iamalive_enabled;
}

// Line ends of the file as the reader sees it: in UTF-16 a 0x0A byte may be
// half of another character.
size_t line_ends() {
  lw::ConfigReader reader;
  require(reader.open(lw::kNotifyFileName), "file still there");
  lw::FixedText<lw::kConfigLineSize> piece;
  size_t n = 0;
  for (size_t len;
       (len = reader.next(piece.data(), piece.capacity(), nullptr, lw::LongLine::kSplit)) > 0;) {
    n += piece.c_str()[len - 1] == '\n';
  }
  return n;
}

bool protected_shape(const char* value) {
  const size_t len = std::strlen(value);
  return len >= 8 && std::strncmp(value, "encry(", 6) == 0 && value[len - 1] == ')';
}

void require_secrets_protected() {
  lw::ConfigReader file;
  require(file.open(lw::kNotifyFileName), "file still there");
  lw::FixedText<lw::kConfigLineSize> piece;
  lw::ConfigLine line;
  lw::ConfigPieceInfo info;
  while (file.next(piece.data(), piece.capacity(), &info) > 0) {
    // A line with a unit that is no UTF-16 character is left as written.
    if (info.bad_character || !lw::parse_config_line(piece.c_str(), &line)) continue;
    if (!(line.key == "password") && !(line.key == "token") &&
        !(line.key == "oauth2_client_secret") && !(line.key == "oauth2_refresh_token") &&
        !(line.key == "webhook_url")) {
      continue;
    }
    if (line.value.empty() || line.value.size() > kFitsEverySecret) continue;
    require(protected_shape(line.value.c_str()), "secret line stored protected");
  }
}

// Each usable "json" web hook expands to JSON whatever its values hold.
void require_webhook_bodies_json(const lw::NotifySettings& settings, const std::string& input) {
  const std::string value = input.substr(0, std::min<size_t>(input.find('\0'), 256));
  lw::TemplateValues values;
  values.host = values.port = values.description = values.error = values.since = values.duration =
      values.ping = values.subject = values.text = values.event_time = values.key = value.c_str();
  std::string out;
  for (int i = 0; i < settings.webhook_count; ++i) {
    const lw::WebhookSettings& hook = settings.webhooks[i];
    require(i < lw::kMaxWebhooks && hook.header_count <= lw::kMaxWebhookHeaders, "bounded");
    if (!hook.usable || hook.format != lw::WebhookFormat::kJson) continue;
    for (const char* kind : {"DOWN", "RECOVERY", "REMINDER", "DIGEST", "NETWORK", "TEST"}) {
      values.kind = kind;
      lw::expand_webhook_template(hook.body_template(), values, hook.format,
                                  static_cast<size_t>(hook.text_limit), &out);
      require(lw::json_valid(out.data(), out.size()), "a usable json web hook sends JSON");
    }
  }
}

lw::NotifySettings first;
lw::NotifySettings second;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  lw::fuzz::enter_private_folder("notify");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > kLargestRewritten) return 0;
  const std::string input(reinterpret_cast<const char*>(data), size);
  lw::fuzz::put_file(lw::kNotifyFileName, input);
  const size_t before = line_ends();
  lw::check_config_file(lw::kNotifyFileName, lw::kNotifyFile);

  first = lw::NotifySettings{};
  lw::load_notify_config(&first);
  const std::string after_first = lw::fuzz::get_file(lw::kNotifyFileName);
  second = lw::NotifySettings{};
  lw::load_notify_config(&second);
  const std::string after_second = lw::fuzz::get_file(lw::kNotifyFileName);

  require(same_settings(first, second), "the rewrite keeps every value");
  require(after_first == after_second, "a second rewrite changes nothing");
  require(line_ends() >= before, "no line lost");
  require_secrets_protected();
  require_webhook_bodies_json(second, input);
  lw::platform::delete_file(lw::kLogFileName);
  return 0;
}
