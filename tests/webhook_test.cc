// The web hook channels: the JSON validator, the body templates and their
// escaping, the webhook_* keys through the loader and "-check", the curl
// call as curl would see it, and a web hook as a channel of the delivery.

#include "notify/webhook.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "app/status.h"
#include "config/check.h"
#include "config/config_line.h"
#include "config/notify_config.h"
#include "config/webhook_template.h"
#include "notify/alerts.h"
#include "notify/delivery.h"
#include "notify/digest.h"
#include "notify/dispatch.h"
#include "notify/selftest.h"
#include "support/capture.h"
#include "support/command_recorder.h"
#include "support/json_check.h"
#include "support/output.h"
#include "support/scoped_environment.h"
#include "support/test_env.h"

namespace lw {
namespace {

bool valid(const std::string& text) { return json_valid(text.data(), text.size()); }

TEST(JsonValidTest, AcceptsJsonAndNothingElse) {
  const std::vector<std::pair<std::string, bool>> cases = {
      {R"({"a":[1,-2.5e+3,0,true,false,null,"x\"\\\/\b\f\n\r\t\u00e9"],"b":{}})", true},
      {" [ ] ", true},
      {"\"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\"", true},  // UTF-8 of 2, 3 and 4 bytes
      {"0", true},
      {"", false},
      {"{", false},
      {"{}}", false},
      {"[1,]", false},
      {"{\"a\" 1}", false},
      {"{\"a\":1,}", false},
      {"{a:1}", false},
      {"01", false},
      {"1.", false},
      {"-", false},
      {"1e", false},
      {"tru", false},
      {"\"a", false},
      {"\"\\x\"", false},
      {"\"\\u12g4\"", false},
      {"\"a\nb\"", false},                  // a raw control byte in a string
      {std::string("\"a\0b\"", 5), false},  // NUL
      {"\"\xFF\"", false},                  // no UTF-8
      {"\"\xC3\"", false},                  // cut sequence
      {"\"\xC0\xAF\"", false},              // overlong
      {"\"\xED\xA0\x80\"", false},          // a surrogate
      {"[1] [2]", false},
      {std::string(kJsonMaxDepth, '[') + std::string(kJsonMaxDepth, ']'), true},
      {std::string(kJsonMaxDepth + 1, '[') + std::string(kJsonMaxDepth + 1, ']'), false},
      {std::string(100000, '['), false},  // deep nesting ends early, no stack overflow
  };
  for (const auto& [text, expected] : cases) {
    EXPECT_EQ(valid(text), expected) << text.substr(0, 40);
  }
}

// Sets placeholder `index` of `values` to `value`.
void set_value(TemplateValues* values, size_t index, const char* value) {
  const char** fields[] = {&values->kind,        &values->host,       &values->port,
                           &values->description, &values->error,      &values->since,
                           &values->duration,    &values->ping,       &values->subject,
                           &values->text,        &values->event_time, &values->key};
  static_assert(sizeof fields / sizeof fields[0] == kTemplateNameCount);
  *fields[index] = value;
}

// Every placeholder, one at a time, carries every kind of byte: a "json"
// body gets it escaped inside its string (and stays valid JSON), a "text"
// body gets it as it is.
TEST(WebhookTemplateTest, EveryPlaceholderIsEscapedForItsFormat) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"say \"hi\"", "say \\\"hi\\\""},
      {"c:\\dir\\", "c:\\\\dir\\\\"},
      {"a\r\nb\tc", "a\\r\\nb\\tc"},
      {"\x01\x1f\x7f", "\\u0001\\u001f\x7f"},
      {"caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80", "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80"},
      {"bad \xFF byte \xC3", "bad \\ufffd byte \\ufffd"},
      {"{subject} </script>", "{subject} </script>"},  // a value is never expanded again
  };
  for (size_t i = 0; i < kTemplateNameCount; ++i) {
    const std::string body = std::string("{\"v\":\"{") + kTemplateNames[i] + "}\"}";
    for (const auto& [value, escaped] : cases) {
      TemplateValues values;
      set_value(&values, i, value.c_str());
      std::string out;
      expand_webhook_template(body.c_str(), values, WebhookFormat::kJson, 0, &out);
      EXPECT_EQ(out, "{\"v\":\"" + escaped + "\"}") << kTemplateNames[i];
      EXPECT_TRUE(valid(out)) << kTemplateNames[i] << ": " << out;
      expand_webhook_template(body.c_str(), values, WebhookFormat::kText, 0, &out);
      EXPECT_EQ(out, "{\"v\":\"" + value + "\"}") << kTemplateNames[i];
    }
  }
}

TEST(WebhookTemplateTest, MapsBracesAndCuts) {
  struct Case {
    const char* body;
    const char* kind;
    const char* text;
    size_t limit;
    const char* expected;
  };
  const std::vector<Case> cases = {
      {"{kind:DOWN=trigger,RECOVERY=resolve,*=trigger}", "RECOVERY", "", 0, "resolve"},
      {"{kind:DOWN=trigger,RECOVERY=resolve,*=trigger}", "DOWN", "", 0, "trigger"},
      {"{kind:DOWN=trigger,RECOVERY=resolve,*=trigger}", "TEST", "", 0, "trigger"},
      {"{kind:DOWN=8,REMINDER=8}", "NETWORK", "", 0, "NETWORK"},  // no match, no *: the value
      {"{kind:DOWN=}", "DOWN", "", 0, ""},
      {"{\"a\":{\"b\":\"{kind}\"}}", "TEST", "", 0,
       "{\"a\":{\"b\":\"TEST\"}}"},  // JSON braces stay
      {"{unknown} {kind {}", "DOWN", "", 0, "{unknown} {kind {}"},
      {"{text}", "", "one\ntwo\nthree", 9, "one\ntwo"},  // whole lines only
      {"{text}", "", "one\ntwo\nthree", 7, "one\ntwo"},  // the line feed at the cut goes
      {"{text}", "", "one\ntwo\nthree", 100, "one\ntwo\nthree"},
      {"{text}", "", "\xC3\xA9\xC3\xA9\xC3\xA9", 3, "\xC3\xA9"},  // one long line: whole characters
      {"{subject}", "", "one\ntwo\nthree", 3, ""},                // only {text} is cut
  };
  for (const Case& c : cases) {
    TemplateValues values;
    values.kind = c.kind;
    values.text = c.text;
    std::string out;
    expand_webhook_template(c.body, values, WebhookFormat::kText, c.limit, &out);
    EXPECT_EQ(out, c.expected) << c.body << " " << c.kind << " limit " << c.limit;
  }
}

TEST(WebhookTemplateTest, JsonTemplatesAreCheckedForEveryKind) {
  const char* kind = "";
  EXPECT_TRUE(
      webhook_template_usable(default_webhook_body(WebhookFormat::kJson), WebhookFormat::kJson));
  EXPECT_TRUE(webhook_template_usable("{\"text\":\"{subject}\\n{text}\"}", WebhookFormat::kJson));
  EXPECT_TRUE(webhook_template_usable("{\"p\":{kind:DOWN=8,*=4}}", WebhookFormat::kJson));
  EXPECT_FALSE(webhook_template_usable("{\"p\":{kind:DOWN=8}}", WebhookFormat::kJson, &kind));
  EXPECT_STREQ(kind, "RECOVERY");  // the first kind the map leaves unquoted
  EXPECT_FALSE(webhook_template_usable("{\"t\":{text}}", WebhookFormat::kJson));  // unquoted
  EXPECT_FALSE(webhook_template_usable("{\"t\":\"{text}\"", WebhookFormat::kJson));
  EXPECT_TRUE(webhook_template_usable("{\"t\":\"{text}\"", WebhookFormat::kText));
}

TEST(WebhookConfigTest, ValuesOfBodyAndHeaderRunToTheLastQuote) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {R"(webhook_body : "{"text":"{subject}"}"  )", R"({"text":"{subject}"})"},
      {R"(webhook_header:"Authorization: Bearer "x"" # note)", R"(Authorization: Bearer "x")"},
      {R"(description : "a"b"c")", "a"},  // every other key: to the next quote, as before
      {R"(webhook_url : "https://h/"x")", "https://h/"},
  };
  for (const auto& [line, value] : cases) {
    ConfigLine parsed;
    ASSERT_TRUE(parse_config_line(line.c_str(), &parsed)) << line;
    EXPECT_EQ(std::string(parsed.value.c_str()), value) << line;
  }
}

TEST(WebhookConfigTest, AddressesAndHeadersThatAreUsable) {
  const std::vector<std::pair<const char*, bool>> urls = {
      {"https://hooks.example/x?token=1", true},
      {"http://127.0.0.1:8080/x", true},
      {"http://127.1.2.3/x", true},
      {"http://localhost/x", true},
      {"http://[::1]:9/x", true},
      {"http://u:p@127.0.0.1/x", true},
      {"http://10.0.0.1/x", false},
      {"http://127.0.0.1.evil.example/x", false},
      {"http://localhost.evil.example/", false},
      {"http://128.0.0.1/", false},
      {"https://", false},
      {"ftp://h/x", false},
      {"https://h/a b", false},
      {"", false},
  };
  for (const auto& [url, usable] : urls) EXPECT_EQ(webhook_url_usable(url), usable) << url;
  const std::vector<std::pair<const char*, bool>> headers = {
      {"Title: a \"b\"", true}, {"X-Empty:", true},  {"Name value", false},
      {": value", false},       {"Na me: v", false}, {"Name: a\r\nInjected: 1", false},
  };
  for (const auto& [header, usable] : headers) {
    EXPECT_EQ(webhook_header_usable(header), usable) << header;
  }
}

class WebhookFileTest : public test::WorkDirTest {
 protected:
  // -check's output for a notification file of `text`, and its result.
  std::pair<int, std::string> check(const std::string& text) {
    test::write_file("config.txt", text);
    test::OutputCapture capture;
    const int result = check_config_file("config.txt", kNotifyFile);
    return {result, capture.out()};
  }
  NotifySettings load(const std::string& text, std::string* note = nullptr) {
    test::write_file(kNotifyFileName, text);
    NotifySettings settings;
    test::OutputCapture capture;
    load_notify_config(&settings);
    if (note) *note = capture.out();
    return settings;
  }
};

// Each refusal names its line; the loader leaves such a web hook off or the
// line unused.
TEST_F(WebhookFileTest, CheckRefusesEachMistakeWithItsLine) {
  const std::string url = "webhook_url:\"https://h.example/w\"\n";
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"webhook_method:\"POST\"\n" + url,
       "Line 1: webhook_method before any webhook_url; a web hook begins with its webhook_url "
       "line\n"},
      {url + url + url + url + url,
       "Line 5: webhook_url of a web hook beyond the 4th; at most 4 web hooks\n"},
      {url + "webhook_header:\"Authorization Bearer x\"\n",
       "Line 2: invalid webhook_header (use Name: value)\n"},
      {url + "webhook_method:\"GET\"\n",
       "Line 2: invalid webhook_method \"GET\" (use POST or PUT)\n"},
      {"webhook_url:\"http://hooks.example/w\"\n",
       "Line 1: invalid webhook_url (use an https:// address, or http:// to this computer)\n"},
      {url + "webhook_format:\"xml\"\n",
       "Line 2: invalid webhook_format \"xml\" (use json or text)\n"},
      {url + "webhook_text_limit:\"50\"\n",
       "Line 2: invalid webhook_text_limit \"50\" (use 0, or 100 to 100000)\n"},
      {url + "webhook_body:\"{\"t\":{text}}\"\nwebhook_format:\"json\"\n" + url,
       "Line 2: webhook_body of web hook 1 does not give valid JSON (for a DOWN message)\n"},
      {url + "webhook_format:\"json\"\nwebhook_body:\"{\"t\":\"{text}\"\n",
       "Line 3: webhook_body of web hook 1 does not give valid JSON (for a DOWN message)\n"},
      {url + "webhook_header:\"A: 1\"\nwebhook_header:\"A: 2\"\nwebhook_header:\"A: 3\"\n"
             "webhook_header:\"A: 4\"\nwebhook_header:\"A: 5\"\n",
       "Line 6: more than 4 webhook_header lines in one web hook\n"},
  };
  for (const auto& [text, said] : cases) {
    const auto [result, out] = check(text);
    EXPECT_EQ(result, 0) << text;
    EXPECT_NE(out.find(said), std::string::npos) << text << "\n---\n" << out;
    EXPECT_EQ(out.find("holds a '\"'"), std::string::npos) << out;
  }
  const auto [result, out] =
      check(url +
            "webhook_header:\"Title: \"quoted\"\"\nwebhook_format:\"json\"\n"
            "webhook_body:\"{\"a\":\"{kind:RECOVERY=resolve,*=trigger}\",\"t\":\"{text}\"}\"\n" +
            url + url + "webhook_url:\"http://127.0.0.1:9/x\"\nwebhook_method:\"PUT\"\n");
  EXPECT_EQ(out.find("Line "), std::string::npos) << out;
  EXPECT_EQ(out.find("looks like JSON"), std::string::npos) << out;
  // A JSON body left as text is warned of (its values go in unescaped).
  const std::string text_out = check(url + "webhook_body:\"{\"t\":\"{text}\"}\"\n").second;
  EXPECT_EQ(text_out.find("Line 2"), std::string::npos) << text_out;  // a warning, no error
  EXPECT_NE(text_out.find("line 2: webhook_body of web hook 1 looks like JSON, but webhook_format "
                          "is not \"json\": its values go in unescaped\n"),
            std::string::npos)
      << text_out;
}

TEST_F(WebhookFileTest, TheLoaderReadsBlocksAndEveryKeyHasItsDefault) {
  std::string note;
  const NotifySettings s = load(
      "webhook_format:\"json\"\n"  // before any block: dropped
      "webhook_url:\"https://one.example/a\"\n"
      "webhook_url:\"https://two.example/b\"\n"
      "webhook_method:\"PUT\"\n"
      "webhook_header:\"Title: \"x\"\"\n"
      "webhook_header:\"Priority: 5\"\n"
      "webhook_format:\"json\"\n"
      "webhook_body:\"{\"t\":\"{text}\"}\"\n"
      "webhook_text_limit:\"1900\"\n"
      "webhook_url:\"http://hooks.example/c\"\n"
      "webhook_url:\"https://four.example/d\"\n"
      "webhook_format:\"json\"\n"
      "webhook_body:\"{\"t\":{text}}\"\n"
      "webhook_url:\"https://five.example/e\"\n"
      "webhook_method:\"PUT\"\n",
      &note);
  ASSERT_EQ(s.webhook_count, 4);
  const WebhookSettings& first = s.webhooks[0];  // every key absent
  EXPECT_STREQ(first.url.c_str(), "https://one.example/a");
  EXPECT_FALSE(first.put);
  EXPECT_EQ(first.format, WebhookFormat::kText);
  EXPECT_EQ(first.header_count, 0);
  EXPECT_TRUE(first.body.empty());
  EXPECT_STREQ(first.body_template(), "{subject}\n\n{text}");
  EXPECT_EQ(first.text_limit, 0);
  EXPECT_TRUE(first.usable);
  const WebhookSettings& second = s.webhooks[1];
  EXPECT_TRUE(second.put);
  ASSERT_EQ(second.header_count, 2);
  EXPECT_STREQ(second.headers[0].c_str(), "Title: \"x\"");
  EXPECT_EQ(second.format, WebhookFormat::kJson);
  EXPECT_STREQ(second.body.c_str(), "{\"t\":\"{text}\"}");
  EXPECT_EQ(second.text_limit, 1900);
  EXPECT_TRUE(second.usable);
  EXPECT_FALSE(s.webhooks[2].usable);  // plain http to another computer
  EXPECT_FALSE(s.webhooks[3].usable);  // not JSON
  EXPECT_NE(note.find("web hook 3 in linkwatch_email.txt: webhook_url must be an https:// "
                      "address (http:// only to this computer); it is off"),
            std::string::npos)
      << note;
  EXPECT_NE(note.find("web hook 4 in linkwatch_email.txt: webhook_body does not give valid JSON "
                      "(for a DOWN message); it is off"),
            std::string::npos)
      << note;
  EXPECT_NE(note.find("more than 4 webhook_url lines"), std::string::npos) << note;
  for (int i = 0; i < 4; ++i) EXPECT_EQ(webhook_configured(s, i), s.webhooks[i].usable) << i;
}

TEST_F(WebhookFileTest, TheAddressIsStoredProtectedAndReadBack) {
  const std::string url = "https://hooks.example/services/T0/B0/secret";
  NotifySettings s = load("webhook_url : \"" + url + "\"\nwebhook_body:\"{\"a\":\"b\"}\"\n");
  EXPECT_STREQ(s.webhooks[0].url.c_str(), url.c_str());
  const std::string stored = test::read_file(kNotifyFileName);
  EXPECT_EQ(stored.find("secret"), std::string::npos) << stored;
  EXPECT_NE(stored.find("webhook_url:\"encry("), std::string::npos) << stored;
  EXPECT_NE(stored.find("webhook_body:\"{\"a\":\"b\"}\""), std::string::npos) << stored;
  s = load(stored);
  EXPECT_STREQ(s.webhooks[0].url.c_str(), url.c_str());
  std::string note;
  s = load("webhook_url:\"https://h.example/" + std::string(300, 'x') + "\"\n", &note);
  EXPECT_FALSE(webhook_configured(s, 0));
  EXPECT_EQ(note,
            "webhook_url of web hook 1 in linkwatch_email.txt is too long (more than 255 "
            "characters); it is off\n");
}

// A DOWN alert of one service.
std::unique_ptr<NotifyMessage> down_alert(const char* host, const char* error) {
  HostEntry entry;
  entry.host.assign(host);
  set_port_text(&entry, "443");
  entry.description.assign("Shop \"front\"");
  entry.first_fail_time = 1700000000;
  entry.alertcount_text.assign("3");
  auto message = new_message();
  compose_down_alert(entry, entry, error, 1, message.get());
  return message;
}

WebhookSettings hook(const char* body, WebhookFormat format = WebhookFormat::kJson) {
  WebhookSettings h;
  h.url.assign("https://hooks.example/services/T0/B0/secret");
  h.format = format;
  h.body.assign(body);
  h.usable = true;
  return h;
}

TEST(WebhookMessageTest, KindsAndFactsOfEachMessage) {
  const char* kFields = "{kind}|{host}|{port}|{key}|{ping}|{error}";
  auto down = down_alert("web01", "timed out");
  auto recovery = new_message();
  HostEntry recovered;
  recovered.host.assign("web01");
  set_port_text(&recovered, "443");
  compose_recovery_alert(recovered, recovered, 1700000300, recovery.get());
  auto network = new_message();
  compose_network_notice(1700000000, 1700000600, network.get());
  HeldAlert held[2];
  for (int i = 0; i < 2; ++i) {
    held[i].kind = kDownAlert;
    held[i].host.host.assign(i ? "db2" : "web1");
    set_port_text(&held[i].host, i ? "5432" : "443");
  }
  auto digest = new_message();
  compose_digest(held, 2, digest.get());
  QueuedMessage test_message;
  test_message.kind = kTestMessage;
  const std::vector<std::pair<QueuedMessage, std::string>> cases = {
      {queued_copy(*down, 1700000100), "DOWN|web01|443|web01:443|1/3|timed out"},
      {queued_copy(*recovery, 1700000300), "RECOVERY|web01|443|web01:443||"},
      {queued_copy(*network, 1700000600), "NETWORK|||||"},
      {queued_copy(*digest, 1700000100), "DIGEST|||web1:443,db2:5432||"},
      {test_message, "TEST|||||"},
  };
  for (const auto& [message, expected] : cases) {
    EXPECT_EQ(webhook_body_for(hook(kFields, WebhookFormat::kText), message), expected);
  }
  // The digest's text is its chat text; every line of it goes.
  const std::string text =
      webhook_body_for(hook("{text}", WebhookFormat::kText), queued_copy(*digest, 0));
  EXPECT_NE(text.find("\nweb1 443: "), std::string::npos) << text;
  EXPECT_NE(text.find("\ndb2 5432: "), std::string::npos) << text;
}

class WebhookSendTest : public test::WorkDirTest {
 protected:
  void SetUp() override { set_silent_mode(true); }
  void TearDown() override { set_silent_mode(false); }
};

// The address and every header reach curl on its standard input, never as
// an argument; the body file holds the expanded template.
TEST_F(WebhookSendTest, AddressAndHeadersGoOnStandardInputOnly) {
  NotifySettings s;
  s.webhooks[0] = hook("{\"text\":\"{subject}\"}");
  s.webhooks[0].headers[0].assign("Authorization: Bearer t0ken \"q\"");
  s.webhooks[0].header_count = 1;
  s.webhooks[0].put = true;
  s.webhooks[1] = hook("{subject}", WebhookFormat::kText);
  s.webhooks[1].headers[0].assign("content-type: text/markdown");
  s.webhooks[1].header_count = 1;
  s.webhook_count = 2;
  test::CommandRecorder curl;
  auto message = down_alert("web01", "refused \"x\"");
  const QueuedMessage queued = queued_copy(*message, 1700000100);
  SendOutcome outcome;
  channel_row(Channel::kWebhook1).send(s, queued, true, &outcome);
  EXPECT_TRUE(outcome.delivered);
  channel_row(Channel::kWebhook2).send(s, queued, true, &outcome);
  const std::vector<test::RecordedCommand> sent = curl.commands();
  ASSERT_EQ(sent.size(), 2u);
  for (const test::RecordedCommand& command : sent) {
    for (const std::string& arg : command.argv) {
      EXPECT_EQ(arg.find("secret"), std::string::npos) << arg;
      EXPECT_EQ(arg.find("t0ken"), std::string::npos) << arg;
      EXPECT_EQ(arg.find("ontent-"), std::string::npos) << arg;
    }
  }
  EXPECT_EQ(sent[0].input.value_or(""),
            "url = \"https://hooks.example/services/T0/B0/secret\"\n"
            "request = \"PUT\"\n"
            "header = \"Content-Type: application/json; charset=utf-8\"\n"
            "header = \"Authorization: Bearer t0ken \\\"q\\\"\"\n"
            "show-error\n");
  std::string subject;
  append_json_escaped(queued.subject.c_str(), &subject);
  EXPECT_EQ(sent[0].card_file.value_or(""), "{\"text\":\"" + subject + "\"}");
  // A header of the block that names the content type replaces the default.
  EXPECT_EQ(sent[1].input.value_or(""),
            "url = \"https://hooks.example/services/T0/B0/secret\"\n"
            "header = \"content-type: text/markdown\"\n"
            "show-error\n");
  EXPECT_EQ(sent[1].card_file.value_or(""), queued.subject);
  EXPECT_EQ(test::read_file(kLogFileName).find("secret"), std::string::npos);
}

// Each web hook's row is listed only when the file has its block; without
// any, the status file, the metrics and "-test" are as without web hooks.
TEST_F(WebhookSendTest, OnlyTheBlocksOfTheFileAreListed) {
  NotifySettings none;
  NotifySettings one;
  one.webhooks[0] = hook("{subject}", WebhookFormat::kText);
  one.webhooks[0].usable = false;  // listed though it cannot send
  one.webhook_count = 1;
  StatusBoard board;
  HostTable* table = new HostTable();
  const std::string plain = format_status_table(board, *table, nullptr, 1, nullptr);
  EXPECT_EQ(format_status_table(board, *table, nullptr, 1, &none), plain);
  EXPECT_EQ(plain.find("Webhook"), std::string::npos);
  const std::string listed = format_status_table(board, *table, nullptr, 1, &one);
  EXPECT_NE(listed.find("Webhook1"), std::string::npos);
  EXPECT_EQ(listed.find("Webhook2"), std::string::npos);
  EXPECT_EQ(format_metrics(board, *table, nullptr, &none).find("webhook"), std::string::npos);
  const std::string metrics = format_metrics(board, *table, nullptr, &one);
  EXPECT_NE(metrics.find("linkwatch_delivery_failures_total{channel=\"webhook1\"} 0"),
            std::string::npos);
  EXPECT_EQ(metrics.find("webhook2"), std::string::npos);
  delete table;
  for (const ChannelRow& row : kChannelRows) {
    EXPECT_EQ(channel_listed(row, none), webhook_index(row.id) < 0) << row.name;
    EXPECT_EQ(channel_listed(row, one), webhook_index(row.id) <= 0) << row.name;
  }
}

// "-test" tries each web hook the file has, as a channel of its own, and
// only those.
TEST_F(WebhookSendTest, TheSelfTestTriesEveryWebHookOfTheFile) {
  static HostTable table;  // too big for the stack
  NotifySettings s;
  s.webhooks[0] = hook("{\"k\":\"{kind}\",\"t\":\"{text}\"}");
  s.webhooks[1] = hook("{subject}", WebhookFormat::kText);
  s.webhooks[1].usable = false;
  s.webhook_count = 2;
  test::CommandRecorder curl;
  curl.set_answer("204 ", "");
  set_silent_mode(false);
  test::OutputCapture capture;
  EXPECT_EQ(run_notification_test(table, MonitorSettings(), s), 0);
  EXPECT_EQ(capture.out(),
            "Testing Email alert...\nEmail not configured\n\nTesting Telegram alert...\n"
            "Telegram not configured\n\nTesting Microsoft Teams alert...\nTeams not configured\n"
            "\nTesting web hook 1 alert...\nSending web hook 1 alert ...\nWebhook1 command rc=0\n"
            "Webhook1 test OK (HTTP 204)\n\nTesting web hook 2 alert...\nWebhook2 not configured\n"
            "\nTest result:\nEmail    : FAILED\nTelegram : FAILED\nTeams    : FAILED\n"
            "Webhook1 : OK\nWebhook2 : FAILED\n");
  ASSERT_EQ(curl.commands().size(), 1u);
  const std::string body = curl.commands()[0].card_file.value_or("");
  EXPECT_EQ(body.rfind("{\"k\":\"TEST\",\"t\":\"[TEST] linkwatch notification test\\nHost: ", 0),
            0u)
      << body;
  EXPECT_TRUE(valid(body)) << body;
}

std::atomic<int64_t> fake_now{1700000000};

// A web hook answering 429 with Retry-After: a temporary failure; nothing
// is sent to it before the wait is over, then the alert goes.
TEST_F(WebhookSendTest, A429WithRetryAfterIsRetriedAfterTheWait) {
  fake_now = 1700000000;
  test::ScopedEnvironment env;
  env.set_clock([] { return fake_now.load(); });
  test::CommandRecorder curl;
  curl.set_answer("429 120", "{\"message\":\"slow down\"}");
  NotifySettings s;
  s.webhooks[0] = hook("{\"t\":\"{subject}\"}");
  s.webhook_count = 1;
  s.retry_minutes = 60;
  {
    Delivery delivery(&s);
    delivery.post(*down_alert("web01", "timed out"), fake_now);
    EXPECT_EQ(delivery.run_due(), fake_now + 120);
    EXPECT_EQ(delivery.pending(Channel::kWebhook1), 1u);
    EXPECT_EQ(delivery.channel_record(Channel::kWebhook1).last_detail.c_str(),
              std::string("HTTP 429: {\"message\":\"slow down\"}"));
    fake_now += 119;
    EXPECT_EQ(delivery.run_due(), fake_now + 1);
    EXPECT_EQ(curl.commands().size(), 1u);
    curl.set_answer("202 ", "");
    fake_now += 1;
    EXPECT_EQ(delivery.run_due(), 0);
    EXPECT_EQ(delivery.pending(Channel::kWebhook1), 0u);
    EXPECT_TRUE(delivery.channel_record(Channel::kWebhook1).last_delivered);
  }
  ASSERT_EQ(curl.commands().size(), 2u);
  EXPECT_NE(curl.commands()[1].card_file.value_or("").find("(delayed; event at"),
            std::string::npos);
  const std::string log = test::read_file(kLogFileName);
  EXPECT_NE(log.find("Webhook1: not sent: HTTP 429"), std::string::npos) << log;
  EXPECT_NE(log.find("Webhook1: sent (HTTP 202)"), std::string::npos) << log;
}

// A digest goes through a web hook as one message about all its services.
TEST_F(WebhookSendTest, ADigestGoesAsOneMessage) {
  test::CommandRecorder curl;
  NotifySettings s;
  s.webhooks[0] = hook("{\"k\":\"{kind}\",\"key\":\"{key}\",\"t\":\"{text}\"}");
  s.webhook_count = 1;
  std::vector<HeldAlert> held(3);
  for (size_t i = 0; i < held.size(); ++i) {
    held[i].kind = kRecoveryAlert;
    held[i].host.host.assign(("h" + std::to_string(i)).c_str());
    set_port_text(&held[i].host, "80");
  }
  auto digest = new_message();
  compose_digest(held.data(), held.size(), digest.get());
  Delivery delivery(&s);
  delivery.post(*digest, 1700000000);
  delivery.run_due();
  ASSERT_EQ(curl.commands().size(), 1u);
  const std::string body = curl.commands()[0].card_file.value_or("");
  EXPECT_TRUE(valid(body)) << body;
  EXPECT_EQ(
      body.rfind("{\"k\":\"DIGEST\",\"key\":\"h0:80,h1:80,h2:80\",\"t\":\"RECOVERY: 3 hosts\\n", 0),
      0u)
      << body;
}

}  // namespace
}  // namespace lw
