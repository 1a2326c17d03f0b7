// The body templates of the web hooks (webhook_body): text with
// placeholders such as {subject} that a send fills in, escaped for the
// web hook's format.
//
// A placeholder is "{" name "}" for one of the names of kTemplateNames, or
// "{" name ":" map "}" where map is "VALUE=word,VALUE=word,*=word": the
// value of `name` is compared with each VALUE in turn and the first match
// (or "*") puts its word in the placeholder's place, as written; no match
// and no "*" puts the value itself. Anything else in braces - a JSON
// object's own braces, an unknown name - stays as written.

#ifndef LINKWATCH_CONFIG_WEBHOOK_TEMPLATE_H_
#define LINKWATCH_CONFIG_WEBHOOK_TEMPLATE_H_

#include <cstddef>
#include <string>

namespace lw {

enum class WebhookFormat {
  kText,  // values as they are
  kJson,  // values escaped for the inside of a JSON string
};

// What each placeholder stands for; null counts as "".
struct TemplateValues {
  const char* kind = nullptr;  // DOWN, RECOVERY, REMINDER, DIGEST, NETWORK or TEST
  const char* host = nullptr;
  const char* port = nullptr;
  const char* description = nullptr;
  const char* error = nullptr;
  const char* since = nullptr;
  const char* duration = nullptr;
  const char* ping = nullptr;
  const char* subject = nullptr;
  const char* text = nullptr;
  const char* event_time = nullptr;
  const char* key = nullptr;  // "host:port": one outage's alerts share it
};

constexpr const char* kTemplateNames[] = {"kind",    "host",  "port",       "description",
                                          "error",   "since", "duration",   "ping",
                                          "subject", "text",  "event_time", "key"};
constexpr size_t kTemplateNameCount = sizeof kTemplateNames / sizeof kTemplateNames[0];

// The value of placeholder `index` (of kTemplateNames) in `values`.
const char* template_value(const TemplateValues& values, size_t index);

// `text` cut to at most `limit` bytes at the end of a whole line (the line
// feed before the cut goes too); a first line longer than `limit` is cut at
// a UTF-8 character's border. `limit` 0: no cut.
std::string cut_at_line(const char* text, size_t limit);

// Appends `value` to `out` escaped for the inside of a JSON string:
// backslash and double quote get a backslash, line feed, carriage return
// and tab become \n, \r and \t, other control bytes \u00xx; well-formed
// UTF-8 passes unchanged and every byte of a malformed sequence becomes
// \ufffd, so the result is always valid JSON string content.
void append_json_escaped(const char* value, std::string* out);

// Expands `body` into `out` (replaced): each placeholder's value, {text}
// first cut by cut_at_line(text, text_limit), escaped as `format` says.
void expand_webhook_template(const char* body, const TemplateValues& values, WebhookFormat format,
                             size_t text_limit, std::string* out);

// The body a web hook without webhook_body sends.
const char* default_webhook_body(WebhookFormat format);

// Whether a "json" template's expansion is valid JSON for every kind of
// message and any values: expands `body` with sample values (quotes, a
// backslash, line ends, control and non-ASCII bytes in every value but
// {kind}) once per kind and validates each (json_valid). A placeholder
// outside a JSON string thus always fails (a backslash there is never
// JSON), one inside always passes, and a {kind} map's words are tried for
// each kind. On failure `kind_out` (may be null) names the
// kind whose expansion failed. A "text" template is always usable.
bool webhook_template_usable(const char* body, WebhookFormat format,
                             const char** kind_out = nullptr);

}  // namespace lw

#endif  // LINKWATCH_CONFIG_WEBHOOK_TEMPLATE_H_
