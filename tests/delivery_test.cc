// The delivery lanes (order, back-off, give-up, threads, stop) and the web hook channels.

#include "notify/delivery.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <bit>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "app/status.h"
#include "config/check.h"
#include "config/notify_config.h"
#include "config/webhook_template.h"
#include "notify/alerts.h"
#include "notify/digest.h"
#include "notify/dispatch.h"
#include "notify/selftest.h"
#include "notify/webhook.h"
#include "platform/platform.h"
#include "support/capture.h"
#include "support/clock.h"
#include "support/command_recorder.h"
#include "support/json_check.h"
#include "support/output.h"
#include "support/scoped_environment.h"
#include "support/test_env.h"

namespace lw {
namespace {

std::atomic<int64_t> fake_now{1700000000};
constexpr int64_t kStart = 1700000000;

SendOutcome failed(bool temporary, int retry_after = 0, bool delivered = false) {
  SendOutcome outcome;
  outcome.delivered = delivered;
  outcome.temporary = temporary;
  outcome.retry_after_seconds = retry_after;
  return outcome;
}
const SendOutcome kDelivered = failed(false, 0, true);

std::string late(const char* subject, int64_t event) {
  char when[32];
  format_local_time(event, "%Y-%m-%d %H:%M:%S", when, sizeof when);
  return std::string(subject) + " (delayed; event at " + when + ")";
}

NotifyMessage message(const char* subject, std::vector<std::string> services) {
  NotifyMessage m;
  m.kind = kDownAlert;
  m.subject.assign(subject);
  m.body.assign(subject);
  m.chat_text.assign(subject);
  m.services = std::move(services);
  return m;
}

// Telegram only, driven by hand with the fake clock; each send is answered as script_ says
// (null: delivered) and its subject recorded.
class DeliveryTest : public test::WorkDirTest {
 protected:
  void SetUp() override {
    fake_now = kStart;
    env_.set_clock([] { return fake_now.load(); });
    set_silent_mode(true);
    settings_ = test::all_channels(false);
    settings_.teams_enabled = 0;
    settings_.retry_minutes = 60;
    delivery_.set_send_for_testing(
        [](void* self, Channel, const NotifySettings&, const QueuedMessage& m, SendOutcome* out) {
          auto* test = static_cast<DeliveryTest*>(self);
          *out = test->script_ ? test->script_() : kDelivered;
          out->attempted = true;
          test->sent_.push_back(m.subject.c_str());
        },
        this);
  }
  void TearDown() override { set_silent_mode(false); }
  void post(const char* subject, std::vector<std::string> services = {"h:1"}) {
    delivery_.post(message(subject, std::move(services)), fake_now);
  }
  void answer(std::vector<SendOutcome> answers) {
    script_ = [left = std::move(answers), next = size_t{0}]() mutable {
      return next < left.size() ? left[next++] : kDelivered;
    };
  }
  int64_t run_at(int64_t at) {
    fake_now = at;
    return delivery_.run_due();
  }
  std::vector<std::string> sent() { return std::exchange(sent_, {}); }
  std::string log() { return test::read_file(kLogFileName); }

  test::ScopedEnvironment env_;  // first: the delivery is gone before the clock goes back
  NotifySettings settings_;
  std::function<SendOutcome()> script_;
  std::vector<std::string> sent_;
  Delivery delivery_{&settings_};
};

// A message waits only behind undelivered messages of one of its services; one that gets through
// releases the waiting ones at once, which keep their order and say that they are late.
TEST_F(DeliveryTest, OrderIsPerServiceAndADeliveredSendReleasesTheWaiting) {
  answer({failed(true)});
  post("D1", {"a:1"});
  EXPECT_EQ(delivery_.run_due(), kStart + kRetryFirstWaitSeconds);
  fake_now += 5;
  post("R1", {"a:1"});             // behind D1
  post("Digest", {"b:2", "a:1"});  // concerns a:1 too
  post("D2", {"b:2"});             // behind the digest
  EXPECT_EQ(delivery_.run_due(), kStart + kRetryFirstWaitSeconds);
  EXPECT_EQ(sent(), (std::vector<std::string>{"D1"}));

  post("D3", {});  // about no service: goes at once, gets through, releases the rest
  EXPECT_EQ(delivery_.run_due(), 0);
  EXPECT_EQ(sent(), (std::vector<std::string>{"D3", late("D1", kStart), late("R1", kStart + 5),
                                              late("Digest", kStart + 5), late("D2", kStart + 5)}));
  EXPECT_NE(log().find("Telegram: a send got through; the waiting alerts are tried now"),
            std::string::npos);
}

// Against a server that fails every third send, each delivered send releases what waits, and the
// DOWN/RECOVERY pairs of every service still arrive in order, each exactly once.
TEST_F(DeliveryTest, EveryThirdSendFailingLosesNothingAndKeepsEachServicesOrder) {
  int sends = 0;
  script_ = [&sends] { return ++sends % 3 == 0 ? failed(true) : kDelivered; };
  std::map<std::string, std::vector<std::string>> firsts, order;  // by service
  for (int i = 0; i < 60; ++i) {
    const std::string service = "s" + std::to_string(i % 5) + ":80";
    order[service].push_back(((i / 5) % 2 == 0 ? "DOWN " : "RECOVERY ") + service + " #" +
                             std::to_string(i));
    post(order[service].back().c_str(), {service});
    fake_now += 2;
    delivery_.run_due();
  }
  int64_t due = 0;
  for (int guard = 0; guard < 20 && (due = delivery_.run_due()) != 0; ++guard) fake_now = due;
  EXPECT_EQ(due, 0);
  // Per service, the first send of each message (not its retries) in posting order, none missing.
  std::set<std::string> seen;
  for (std::string line : sent()) {
    line.erase(std::min(line.find(" (delayed"), line.size()));
    if (seen.insert(line).second) firsts[line.substr(line.find(' ') + 1, 5)].push_back(line);
  }
  EXPECT_EQ(firsts, order);
  EXPECT_EQ(log().find("not delivered"), std::string::npos);
}

// While nothing gets through the waits grow 60, 120, ... 900 s from the end of each failed try (or
// as Retry-After says, when nothing at all is sent), until retry_minutes.
TEST_F(DeliveryTest, BackoffGrowsWhileNothingGetsThroughThenGivesUp) {
  answer({failed(true, 5)});
  post("A");
  EXPECT_EQ(delivery_.run_due(), kStart + 5);
  fake_now += 2;
  post("B", {"other:1"});  // Retry-After: nothing is sent before it is over
  EXPECT_EQ(delivery_.run_due(), kStart + 5);
  EXPECT_EQ(sent(), (std::vector<std::string>{"A"}));

  script_ = [] {
    fake_now += 1;  // each try takes a second: the back-off counts from its end
    return failed(true);
  };
  std::vector<int64_t> waits;
  int64_t at = kStart + 5;
  for (int64_t due; (due = run_at(at)) != 0; at = due) waits.push_back(due - at);
  // A's retry and B's first try fail: both wait for the channel's next try, 120 s after the end of
  // A's; then one try per wait, doubling to 900 s, and a last one when each message's hour is over.
  EXPECT_EQ(waits, (std::vector<int64_t>{121, 241, 481, 901, 901, 901, 49, 2}));
  EXPECT_EQ(fake_now, kStart + 3600 + 2 + 1);
  for (const char* line :
       {"Telegram: trying again in 120 seconds: A", "Telegram: trying again in 119 seconds: B",
        "Telegram: alert not delivered (retry_minutes are over, gave up): A",
        "Telegram: alert not delivered (retry_minutes are over, gave up): B"})
    EXPECT_NE(log().find(line), std::string::npos) << line;
}

// A permanent failure, and any failure without retry_minutes, is not kept.
TEST_F(DeliveryTest, WhatIsNotRetried) {
  for (const bool temporary : {false, true}) {
    settings_.retry_minutes = temporary ? 0 : 60;
    answer({failed(temporary)});
    post("M");
    EXPECT_EQ(delivery_.run_due(), 0);  // nothing kept to try again
    EXPECT_EQ(sent().size(), 1u);
  }
  EXPECT_NE(log().find("Telegram: alert not delivered (permanent failure"), std::string::npos);
}

TEST_F(DeliveryTest, WaitingMessagesAreBoundedDroppingTheOldest) {
  script_ = [] { return failed(true); };
  for (int i = 0; i < 150; ++i) post(("M" + std::to_string(i)).c_str());
  delivery_.run_due();
  EXPECT_EQ(sent().size(), 1u) << "the rest wait behind M0, all of one service";
  EXPECT_EQ(delivery_.pending(Channel::kTelegram), kMaxPendingPerChannel);
  EXPECT_NE(log().find(std::string("(more than 100 pending, dropped the oldest): M0") +
                       test::text_line_end()),
            std::string::npos);
}

// A full disk: the mail or card file cannot be written. On every channel that is a temporary
// failure, logged as such (not "could not run"), and the alert goes out once there is room again.
TEST_F(DeliveryTest, AFullDiskIsATemporaryFailureAndTheAlertGoesOnceThereIsRoom) {
  for (const Channel channel : {Channel::kEmail, Channel::kTeams}) {
    SCOPED_TRACE(channel_name(channel));
    fake_now = kStart;
    test::CommandRecorder curl;  // the real sends, not the fixture's recorder
    NotifySettings settings = test::all_channels(channel == Channel::kEmail);
    settings.teams_enabled = channel == Channel::kTeams;
    settings.telegram_enabled = 0;
    settings.retry_minutes = 60;
    Delivery delivery(&settings);
    NotifyMessage alert = message("Alert for h:1", {"h:1"});
    alert.body.assign(std::string(2000, 'b').c_str());
    delivery.post(alert, kStart);

    platform::set_disk_space_for_testing(1000);  // room for log lines, not for the file
    EXPECT_EQ(delivery.run_due(), kStart + kRetryFirstWaitSeconds);
    platform::set_disk_space_for_testing(-1);
    EXPECT_TRUE(curl.commands().empty());
    EXPECT_EQ(delivery.channel_record(channel).last_detail.c_str(),
              std::string("send file not written"));
    const std::string log = test::read_file(kLogFileName);
    const std::string what = channel == Channel::kEmail ? "message" : "card";
    EXPECT_NE(log.find(std::string(channel_name(channel)) + ": not sent: the " + what +
                       " file could not be written (full disk or no permission?); a temporary "
                       "failure"),
              std::string::npos)
        << log;
    EXPECT_EQ(log.find("could not run"), std::string::npos);
    EXPECT_EQ(std::filesystem::directory_iterator(".")->path().filename(), kLogFileName)
        << "no send file is left behind";

    fake_now += kRetryFirstWaitSeconds;
    EXPECT_EQ(delivery.run_due(), 0);
    EXPECT_EQ(curl.commands().size(), 1u);
  }
}

// A started Delivery; each send runs during_ (it may hang), then is counted per channel.
class DeliveryThreadTest : public test::WorkDirTest {
 protected:
  void SetUp() override { set_silent_mode(true); }
  void TearDown() override { set_silent_mode(false); }
  void start(Delivery* delivery) {
    delivery->set_send_for_testing(
        [](void* self, Channel channel, const NotifySettings& s, const QueuedMessage&,
           SendOutcome* out) {
          auto* test = static_cast<DeliveryThreadTest*>(self);
          out->attempted = out->delivered = true;
          if (test->during_) test->during_(channel, s);
          std::lock_guard<std::mutex> hold(test->mutex_);
          ++test->sends_[channel_name(channel)];
          test->cv_.notify_all();
        },
        this);
    ASSERT_TRUE(delivery->start());
  }
  bool wait_until(const std::function<bool()>& done) {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, std::chrono::seconds(30), done);
  }
  std::function<void(Channel, const NotifySettings&)> during_;
  std::mutex mutex_;
  std::condition_variable cv_;
  std::map<std::string, int> sends_;
};

TEST_F(DeliveryThreadTest, AHangingChannelDelaysNoOtherAndNothingStartsAfterAStop) {
  const NotifySettings settings = test::all_channels();
  bool hanging = false, open = false;
  during_ = [&](Channel channel, const NotifySettings&) {
    if (channel != Channel::kTeams) return;
    std::unique_lock<std::mutex> lock(mutex_);
    hanging = true;
    cv_.notify_all();
    cv_.wait_for(lock, std::chrono::seconds(30), [&open] { return open; });
  };
  Delivery delivery(&settings);
  start(&delivery);
  delivery.post(message("M0", {"h:1"}), 0);
  ASSERT_TRUE(wait_until([&] { return hanging && sends_["Email"] == 1; }));
  for (int i = 1; i < 5; ++i) delivery.post(message(("M" + std::to_string(i)).c_str(), {"h:1"}), 0);
  EXPECT_TRUE(wait_until([this] { return sends_["Email"] == 5; }))
      << "e-mail waited for the hanging Teams send";
  platform::request_stop();
  delivery.post(message("after the stop request", {"x:1"}), 0);
  platform::sleep_ms(200);
  {
    std::lock_guard<std::mutex> hold(mutex_);
    open = true;
    cv_.notify_all();
  }
  delivery.stop();
  platform::clear_stop_request();
  EXPECT_EQ(sends_["Teams"], 1) << "no Teams send started after the stop request";
  const std::string log = test::read_file(kLogFileName);
  for (const char* line : {"Email: alert not delivered (linkwatch stopped): after the stop request",
                           "Teams: alert not delivered (linkwatch stopped): M4"}) {
    EXPECT_NE(log.find(line), std::string::npos) << line;
  }
}

// A reload swaps the settings while the senders run: each send sees one whole version (a copy lives
// until its last send ends), a channel switched on gets its thread, nothing is lost. (TSan: race.)
TEST_F(DeliveryThreadTest, SettingsAreReplacedWhileTheSendersRun) {
  std::atomic<int> mixed{0};  // sends whose settings were not one version
  during_ = [&mixed](Channel, const NotifySettings& s) {
    const std::string to = s.to.c_str();
    platform::sleep_ms(1);  // a replace may land during the send
    mixed += to != s.chat_id.c_str();
  };
  const auto version = [](const char* name, bool telegram) {
    NotifySettings s = test::all_channels();
    s.to.assign(name);
    s.chat_id.assign(name);
    s.telegram_enabled = telegram;
    return s;
  };
  const NotifySettings first = version("1", false);  // outlives the Delivery, as it must
  Delivery delivery(&first);
  start(&delivery);
  std::thread poster([&delivery] {
    for (int i = 0; i < 200; ++i) delivery.post(message("M", {"h:1"}), 0);
  });
  for (int i = 2; i < 40; ++i) {
    ASSERT_TRUE(delivery.replace_settings(version(std::to_string(i).c_str(), false), true));
  }
  poster.join();
  ASSERT_TRUE(delivery.replace_settings(version("on", true), true));
  delivery.post(message("with Telegram", {"h:2"}), 0);
  EXPECT_TRUE(wait_until([this] {
    return sends_["Telegram"] == 1 && sends_["Email"] == 201 && sends_["Teams"] == 201;
  })) << "a message was lost, or the channel switched on got no thread";
  delivery.stop();
  EXPECT_EQ(mixed, 0) << "sends saw mixed settings";
  EXPECT_EQ(sends_["Telegram"], 1);
}

// The web hook channels, short of the real curl (E2eTest.WebHooksOfTheDocs...).

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
  ASSERT_EQ(curl.commands().size(), 1u);
  const test::RecordedCommand sent = curl.commands()[0];
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
