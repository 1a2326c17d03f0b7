// The web hook channels, short of the real curl (e2e_webhook_test.cc).

#include "notify/webhook.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <bit>
#include <string>
#include <tuple>
#include <vector>

#include "app/status.h"
#include "config/check.h"
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
  const std::string open(kJsonMaxDepth, '['), close(kJsonMaxDepth, ']');
  for (const std::string& text : std::vector<std::string>{
           R"({"a":[1,-2.5e+3,0,true,false,null,"x\"\\\/\b\f\n\r\t\u00e9"],"b":{}})", " [ ] ",
           "\"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\"", open + close})
    EXPECT_TRUE(valid(text)) << text;
  for (const std::string& text : std::vector<std::string>{
           "", "{}}", "[1,]", "{\"a\":1,}", "{a:1}", "01", "1.", "\"\\u12g4\"", "\"a\nb\"",
           std::string("\"a\0b\"", 5), "\"\xC3\"", "\"\xC0\xAF\"", "\"\xED\xA0\x80\"", "[1] [2]",
           open + "[]" + close, std::string(100000, '[')})
    EXPECT_FALSE(valid(text)) << text.substr(0, 40);
}

// Plain HTTP only to this computer; a header can add no line of its own.
TEST(WebhookConfigTest, AddressesAndHeadersThatAreUsable) {
  for (const char* url :
       {"https://hooks.example/x", "http://127.0.0.1:8080/x", "http://127.9.9.9/x",
        "http://localhost/x", "http://[::1]:80/x", "http://u:p@127.0.0.1/x"})
    EXPECT_TRUE(webhook_url_usable(url)) << url;
  for (const char* url : {"http://hooks.example/x", "http://127.0.0.1@evil.example/",
                          "http://evil.example/@127.0.0.1", "http://localhost.evil.example/",
                          "https://", "ftp://127.0.0.1/x", "https://hooks.example/a b"})
    EXPECT_FALSE(webhook_url_usable(url)) << url;
  for (const char* header : {"Title: down", "X-A:\tb"}) EXPECT_TRUE(webhook_header_usable(header));
  for (const char* header : {"Title down", ": v", "A B: v", "A: v\r\nX-Evil: 1", "A: v\nX-Evil: 1"})
    EXPECT_FALSE(webhook_header_usable(header)) << header;
}

TEST(WebhookTemplateTest, EscapesMapsAndCuts) {
  const std::pair<std::string, std::string> cases[] = {
      {"say \"hi\" c:\\d\r\n\t\x01\x1f\x7f", "say \\\"hi\\\" c:\\\\d\\r\\n\\t\\u0001\\u001f\x7f"},
      {"caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80 \xFF \xC3",
       "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80 \\ufffd \\ufffd"},
      {"{subject} </script>", "{subject} </script>"},
  };
  std::string out;
  for (size_t i = 0; i < kTemplateNameCount; ++i) {
    const std::string body = std::string("{\"v\":\"{") + kTemplateNames[i] + "}\"}";
    for (const auto& [value, escaped] : cases) {
      std::array<const char*, kTemplateNameCount> slots{};  // in the order of kTemplateNames
      slots[i] = value.c_str();
      const auto values = std::bit_cast<TemplateValues>(slots);
      expand_webhook_template(body.c_str(), values, WebhookFormat::kJson, 0, &out);
      EXPECT_EQ(out, "{\"v\":\"" + escaped + "\"}") << kTemplateNames[i];
      expand_webhook_template(body.c_str(), values, WebhookFormat::kText, 0, &out);
      EXPECT_EQ(out, "{\"v\":\"" + value + "\"}") << kTemplateNames[i];
    }
  }
  const std::tuple<const char*, const char*, const char*, size_t, const char*> texts[] = {
      {"{kind:DOWN=8,REMINDER=8}", "NETWORK", "", 0, "NETWORK"},  // no match, no *: the value
      {"{kind:DOWN=}", "DOWN", "", 0, ""},
      {"{\"a\":{\"b\":\"{kind}\"}}", "TEST", "", 0, "{\"a\":{\"b\":\"TEST\"}}"},
      {"{unknown} {kind {}", "DOWN", "", 0, "{unknown} {kind {}"},
      {"{text}", "", "one\ntwo\nthree", 9, "one\ntwo"},
      {"{text}", "", "one\ntwo\nthree", 7, "one\ntwo"},           // the line feed at the cut goes
      {"{text}", "", "\xC3\xA9\xC3\xA9\xC3\xA9", 3, "\xC3\xA9"},  // one long line: whole characters
  };
  for (const auto& [body, kind, text, limit, expected] : texts) {
    TemplateValues values;
    values.kind = kind;
    values.text = text;
    expand_webhook_template(body, values, WebhookFormat::kText, limit, &out);
    EXPECT_EQ(out, expected) << body << " " << kind << " limit " << limit;
  }
}

class WebhookTest : public test::WorkDirTest {
 protected:
  void SetUp() override { set_silent_mode(true); }
  void TearDown() override { set_silent_mode(false); }
  std::string check(const std::string& text) {
    test::write_file("config.txt", text);
    test::OutputCapture capture;
    EXPECT_EQ(check_config_file("config.txt", kNotifyFile), 0) << text;
    return capture.out();
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

// Value refusals of each key: config_keys_test.cc.
TEST_F(WebhookTest, CheckRefusesEachMistakeOfTheBlocksWithItsLine) {
  const std::string url = "webhook_url:\"https://h.example/w\"\n",
                    json = "webhook_format:\"json\"\n";
  const std::pair<std::string, std::string> cases[] = {
      {"webhook_method:\"POST\"\n" + url,
       "Line 1: webhook_method before any webhook_url; a web hook begins with its webhook_url "
       "line"},
      {url + url + url + url + url,
       "Line 5: webhook_url of a web hook beyond the 4th; at most 4 web hooks"},
      {url + "webhook_body:\"{\"t\":{text}}\"\n" + json + url,
       "Line 2: webhook_body of web hook 1 does not give valid JSON (for a DOWN message)"},
      {url + json + "webhook_body:\"{\"p\":{kind:DOWN=8}}\"\n",
       "Line 3: webhook_body of web hook 1 does not give valid JSON (for a RECOVERY message)"},
      {url + "webhook_header:\"A: 1\"\nwebhook_header:\"A: 2\"\nwebhook_header:\"A: 3\"\n"
             "webhook_header:\"A: 4\"\nwebhook_header:\"A: 5\"\n",
       "Line 6: more than 4 webhook_header lines in one web hook"},
  };
  for (const auto& [text, said] : cases)
    EXPECT_NE(check(text).find(said + "\n"), std::string::npos) << text << "\n---\n" << said;
  const std::string good =
      check(url + "webhook_header:\"Title: \"quoted\"\"\n" + json +
            "webhook_body:\"{\"a\":\"{kind:RECOVERY=resolve,*=trigger}\"}\"\n" + url + url +
            "webhook_url:\"http://[::1]:9/x\"\n");
  EXPECT_EQ(good.find("Line "), std::string::npos) << good;
  EXPECT_EQ(good.find("looks like JSON"), std::string::npos) << good;
  const std::string warned = check(url + "webhook_body:\"{\"t\":\"{text}\"}\"\n");
  EXPECT_EQ(warned.find("Line 2"), std::string::npos) << warned;  // a warning, no error
  EXPECT_NE(warned.find("line 2: webhook_body of web hook 1 looks like JSON, but webhook_format is "
                        "not \"json\": its values go in unescaped\n"),
            std::string::npos)
      << warned;
}

std::string summary(const WebhookSettings& h) {
  std::string out = h.url.c_str() + std::string(h.put ? " PUT " : " POST ") +
                    (h.format == WebhookFormat::kJson ? "json" : "text");
  for (int i = 0; i < h.header_count; ++i) out += std::string(" [") + h.headers[i].c_str() + "]";
  return out + " <" + h.body_template() + "> " + std::to_string(h.text_limit) +
         (h.usable ? "" : " off");
}

TEST_F(WebhookTest, TheLoaderReadsBlocksAndProtectsTheAddresses) {
  std::string note;
  const NotifySettings first = load(
      "webhook_format:\"json\"\nwebhook_url:\"https://one.example/a\"\n"
      "webhook_url:\"https://two.example/b\"\nwebhook_method:\"PUT\"\n"
      "webhook_header:\"Title: \"x\"\"\nwebhook_header:\"Priority: 5\"\nwebhook_format:\"json\"\n"
      "webhook_body:\"{\"t\":\"{text}\"}\"\nwebhook_text_limit:\"1900\"\n"
      "webhook_url:\"http://hooks.example/c\"\nwebhook_url:\"https://four.example/d\"\n"
      "webhook_format:\"json\"\nwebhook_body:\"{\"t\":{text}}\"\n"
      "webhook_url:\"https://five.example/e\"\nwebhook_method:\"PUT\"\n",
      &note);
  EXPECT_NE(note.find("more than 4 webhook_url lines"), std::string::npos) << note;
  const std::string stored = test::read_file(kNotifyFileName);
  EXPECT_EQ(stored.find("two.example"), std::string::npos) << stored;
  EXPECT_NE(stored.find("webhook_body:\"{\"t\":\"{text}\"}\""), std::string::npos) << stored;
  for (const NotifySettings& s : {first, load(stored)}) {
    ASSERT_EQ(s.webhook_count, 4);
    EXPECT_EQ(summary(s.webhooks[0]), "https://one.example/a POST text <{subject}\n\n{text}> 0");
    EXPECT_EQ(summary(s.webhooks[1]),
              "https://two.example/b PUT json [Title: \"x\"] "
              "[Priority: 5] <{\"t\":\"{text}\"}> 1900");
    EXPECT_EQ(summary(s.webhooks[2]),
              "http://hooks.example/c POST text <{subject}\n\n{text}> 0 off");
    EXPECT_EQ(summary(s.webhooks[3]), "https://four.example/d POST json <{\"t\":{text}}> 0 off");
  }
}

TEST_F(WebhookTest, OnlyTheFilesBlocksAreListedAndTestedWithSecretsOnStdinOnly) {
  static HostTable table;  // too big for the stack
  StatusBoard board;
  const NotifySettings none;
  const NotifySettings s = load(
      "webhook_url:\"https://hooks.example/services/T0/B0/secret\"\nwebhook_method:\"PUT\"\n"
      "webhook_header:\"Authorization: Bearer t0ken \"q\"\"\nwebhook_format:\"json\"\n"
      "webhook_body:\"{\"f\":\"{kind}|{host}|{port}|{key}|{ping}|{error}\"}\"\n"
      "webhook_url:\"http://hooks.example/off\"\n");  // listed though it cannot send
  const auto shown = [&](const NotifySettings* n) {
    return format_status_table(board, table, nullptr, 1, n) +
           format_metrics(board, table, nullptr, n);
  };
  EXPECT_EQ(shown(&none), shown(nullptr));
  const std::string listed = shown(&s);
  for (const char* row : {"Webhook2", "linkwatch_delivery_failures_total{channel=\"webhook2\"} 0"})
    EXPECT_NE(listed.find(row), std::string::npos) << listed;
  EXPECT_EQ(listed.find("ebhook3"), std::string::npos) << listed;
  for (const ChannelRow& row : kChannelRows) {
    EXPECT_EQ(channel_listed(row, none), webhook_index(row.id) < 0) << row.name;
    EXPECT_EQ(channel_listed(row, s), webhook_index(row.id) <= 1) << row.name;
  }

  HostEntry entry;
  entry.host.assign("web01");
  set_port_text(&entry, "443");
  entry.alertcount_text.assign("3");
  auto down = new_message();
  compose_down_alert(entry, entry, "refused \"x\"", 1, down.get());
  EXPECT_EQ(webhook_body_for(s.webhooks[0], queued_copy(*down, 0)),
            "{\"f\":\"DOWN|web01|443|web01:443|1/3|refused \\\"x\\\"\"}");
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
  const std::vector<test::RecordedCommand> commands = curl.commands();
  ASSERT_EQ(commands.size(), 1u);
  const test::RecordedCommand& sent = commands[0];
  for (const std::string& arg : sent.argv)
    EXPECT_TRUE(arg.find("secret") == std::string::npos && arg.find("t0ken") == std::string::npos)
        << arg;
  EXPECT_EQ(sent.input.value_or(""),
            "url = \"https://hooks.example/services/T0/B0/secret\"\nrequest = \"PUT\"\n"
            "header = \"Content-Type: application/json; charset=utf-8\"\n"
            "header = \"Authorization: Bearer t0ken \\\"q\\\"\"\nshow-error\n");
  EXPECT_EQ(sent.card_file.value_or(""), "{\"f\":\"TEST|||||\"}");
  EXPECT_EQ(test::read_file(kLogFileName).find("secret"), std::string::npos);
}

std::atomic<int64_t> fake_now{1700000000};

TEST_F(WebhookTest, ADigestAnswered429IsRetriedAfterTheWaitAsOneMessage) {
  test::ScopedEnvironment env;
  env.set_clock([] { return fake_now.load(); });
  NotifySettings s = load(
      "retry_minutes:\"60\"\nwebhook_url:\"https://hooks.example/x\"\nwebhook_format:\"json\"\n"
      "webhook_body:\"{\"k\":\"{kind}\",\"key\":\"{key}\",\"t\":\"{text}\"}\"\n");
  std::vector<HeldAlert> held(3);
  for (size_t i = 0; i < held.size(); ++i) {
    held[i].kind = kRecoveryAlert;
    held[i].host.host.assign(("h" + std::to_string(i)).c_str());
    set_port_text(&held[i].host, "80");
  }
  auto digest = new_message();
  compose_digest(held.data(), held.size(), digest.get());
  test::CommandRecorder curl;
  curl.set_answer("429 120", "{\"message\":\"slow down\"}");
  {
    Delivery delivery(&s);
    delivery.post(*digest, fake_now);
    EXPECT_EQ(delivery.run_due(), fake_now + 120);
    curl.set_answer("202 ", "");
    fake_now += 120;
    EXPECT_EQ(delivery.run_due(), 0);
    EXPECT_EQ(delivery.pending(Channel::kWebhook1), 0u);
  }
  ASSERT_EQ(curl.commands().size(), 2u);
  const std::string body = curl.commands()[1].card_file.value_or("");
  EXPECT_TRUE(valid(body)) << body;
  EXPECT_EQ(
      body.rfind("{\"k\":\"DIGEST\",\"key\":\"h0:80,h1:80,h2:80\",\"t\":\"RECOVERY: 3 hosts", 0),
      0u)
      << body;
  EXPECT_NE(body.find("(delayed; event at"), std::string::npos) << body;
}

}  // namespace
}  // namespace lw
