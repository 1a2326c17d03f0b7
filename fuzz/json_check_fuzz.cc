// The JSON validator behind the web hook templates, and the escaping and
// template expansion it checks.
//
// Properties:
// - json_valid reads within its input (the sanitizers watch) and ends on
//   any input, however deep;
// - white space around a text does not change its verdict;
// - a valid text stays valid inside an array (while shallow enough);
// - any bytes escaped by append_json_escaped make a valid JSON string;
// - a "json" template that webhook_template_usable accepts expands to valid
//   JSON with the input as every value, cut or not.

#include <string>

#include "config/webhook_template.h"
#include "fuzz_util.h"
#include "support/json_check.h"

namespace {

using lw::fuzz::require;

bool valid(const std::string& text) { return lw::json_valid(text.data(), text.size()); }

size_t openings(const std::string& text) {
  size_t n = 0;
  for (char c : text) n += c == '[' || c == '{';
  return n;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  lw::fuzz::enter_private_folder("json");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  const bool verdict = valid(input);
  require(valid(" \t" + input + "\r\n") == verdict, "white space around keeps the verdict");
  if (verdict && openings(input) < lw::kJsonMaxDepth) {
    require(valid("[" + input + "," + input + "]"), "a valid text is valid in an array");
  }

  std::string escaped = "\"";
  lw::append_json_escaped(input.c_str(), &escaped);
  escaped += "\"";
  require(valid(escaped), "an escaped text is a valid string");

  // The input as a template, and as every value of a usable template.
  const std::string body = input.substr(0, input.find('\0'));
  lw::TemplateValues values;
  values.kind = values.host = values.port = values.description = values.error = values.since =
      values.duration = values.ping = values.subject = values.text = values.event_time =
          values.key = body.c_str();
  std::string out;
  lw::expand_webhook_template(body.c_str(), values, lw::WebhookFormat::kText, 0, &out);
  if (lw::webhook_template_usable(body.c_str(), lw::WebhookFormat::kJson)) {
    values.kind = "DOWN";  // a kind the check tried; a map can leave other words unquoted
    lw::expand_webhook_template(body.c_str(), values, lw::WebhookFormat::kJson, 0, &out);
    require(valid(out), "a usable template expands to JSON");
    lw::expand_webhook_template(body.c_str(), values, lw::WebhookFormat::kJson, 7, &out);
    require(valid(out), "a usable template expands to JSON with {text} cut");
  }
  return 0;
}
