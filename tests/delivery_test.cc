#include "notify/delivery.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "app/monitor.h"
#include "notify/send_files.h"
#include "platform/platform.h"
#include "support/clock.h"
#include "support/command_recorder.h"
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
    settings_.token.assign("1:x");
    settings_.chat_id.assign("7");
    settings_.telegram_enabled = 1;
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
  // Answers the sends in turn, then delivers.
  void answer(std::vector<SendOutcome> answers) {
    auto left = std::make_shared<std::vector<SendOutcome>>(std::move(answers));
    script_ = [left] {
      if (left->empty()) return kDelivered;
      SendOutcome next = left->front();
      left->erase(left->begin());
      return next;
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

// A message waits only behind undelivered messages of one of its services;
// one that gets through releases the waiting ones at once, which keep their
// order and say that they are late.
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
  EXPECT_EQ(delivery_.pending(Channel::kTelegram), 4u);

  post("D3", {});  // about no service: goes at once, gets through, releases the rest
  EXPECT_EQ(delivery_.run_due(), 0);
  EXPECT_EQ(sent(), (std::vector<std::string>{"D3", late("D1", kStart), late("R1", kStart + 5),
                                              late("Digest", kStart + 5), late("D2", kStart + 5)}));
  EXPECT_NE(log().find("Telegram: a send got through; the waiting alerts are tried now"),
            std::string::npos);
  EXPECT_EQ(delivery_.pending(Channel::kTelegram), 0u);
}

// Against a server that fails every third send no message waits for long:
// each delivered send releases what waits, and DOWN/RECOVERY pairs of every
// service still arrive in order, each exactly once.
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
  // Per service, the first sends of its messages (the later ones are the tries after a
  // failure) come in the order they were posted, none missing.
  std::set<std::string> seen;
  for (std::string line : sent()) {
    line.erase(std::min(line.find(" (delayed"), line.size()));
    if (seen.insert(line).second) firsts[line.substr(line.find(' ') + 1, 5)].push_back(line);
  }
  EXPECT_EQ(firsts, order);
  EXPECT_EQ(log().find("not delivered"), std::string::npos);
}

// The back-off counts from the end of the failed try: a send that took 50 s
// is tried again 60 s after it ended, as the log says.
TEST_F(DeliveryTest, BackoffCountsFromTheEndOfASlowSend) {
  script_ = [] {
    fake_now += 50;
    return failed(true);
  };
  post("A");
  EXPECT_EQ(delivery_.run_due(), kStart + 50 + 60);
  EXPECT_NE(log().find("Telegram: trying again in 60 seconds: A"), std::string::npos);
  EXPECT_EQ(run_at(kStart + 100), kStart + 110);
  EXPECT_EQ(sent().size(), 1u) << "not before the 60 s are over";
  script_ = nullptr;
  EXPECT_EQ(run_at(kStart + 110), 0);
  EXPECT_EQ(sent(), (std::vector<std::string>{late("A", kStart)}));
}

// While nothing gets through the waits grow 60, 120, ... 900 s (or as
// Retry-After says, when nothing at all is sent), until retry_minutes.
TEST_F(DeliveryTest, BackoffGrowsWhileNothingGetsThroughThenGivesUp) {
  answer({failed(true, 5)});
  post("A");
  EXPECT_EQ(delivery_.run_due(), kStart + 5);
  fake_now += 2;
  post("B", {"other:1"});  // Retry-After: nothing is sent before it is over
  EXPECT_EQ(delivery_.run_due(), kStart + 5);
  EXPECT_EQ(sent(), (std::vector<std::string>{"A"}));

  script_ = [] { return failed(true); };
  std::vector<int64_t> waits;
  int64_t at = kStart + 5, due = 0;
  while ((due = run_at(at)) != 0) {
    waits.push_back(due - at);
    at = due;
  }
  // A's retry and B's first try fail: both wait for the channel's next
  // try; then one try per wait, doubling to 900 s, and a last one when each
  // message's hour is over.
  EXPECT_EQ(waits, (std::vector<int64_t>{120, 240, 480, 900, 900, 900, 55, 2}));
  EXPECT_EQ(fake_now, kStart + 3600 + 2);
  for (const char* line : {"Telegram: trying again in 120 seconds: B",
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
    EXPECT_EQ(delivery_.run_due(), 0);
    EXPECT_EQ(delivery_.pending(Channel::kTelegram), 0u);
    EXPECT_EQ(sent().size(), 1u);
  }
  EXPECT_NE(log().find("Telegram: alert not delivered (permanent failure"), std::string::npos);
  EXPECT_EQ(log().find("trying again"), std::string::npos);
}

TEST_F(DeliveryTest, WaitingMessagesAreBoundedAndStopReportsWhatIsLeft) {
  script_ = [] { return failed(true); };
  for (int i = 0; i < 150; ++i) post(("M" + std::to_string(i)).c_str());
  delivery_.run_due();
  EXPECT_EQ(sent().size(), 1u) << "the rest wait behind M0, all of one service";
  EXPECT_EQ(delivery_.pending(Channel::kTelegram), kMaxPendingPerChannel);
  EXPECT_NE(log().find(std::string("(more than 100 pending, dropped the oldest): M0") +
                       test::text_line_end()),
            std::string::npos);
  post("late");
  delivery_.stop();
  for (const char* line : {"Telegram: alert not delivered (linkwatch stopped): late",
                           "Telegram: alert not delivered (linkwatch stopped): M149"})
    EXPECT_NE(log().find(line), std::string::npos) << line;
}

// A full disk: the mail or card file cannot be written. On every channel that
// is a temporary failure, logged as such (not "could not run"), and the
// alert goes out once there is room again.
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
    EXPECT_EQ(delivery.pending(channel), 1u);
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
    ASSERT_EQ(curl.commands().size(), 1u);
    const test::RecordedCommand sent = curl.commands()[0];
    EXPECT_NE(sent.mail_file.value_or(sent.card_file.value_or("")).find("(delayed; event at"),
              std::string::npos);
    EXPECT_EQ(delivery.pending(channel), 0u);
  }
}

// A started Delivery with every channel; each send runs during_ (it may hang), then is
// counted per channel.
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

// A channel whose send hangs delays no other channel, and after a stop request no send starts.
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
  EXPECT_EQ(sends_["Email"], 5);
  EXPECT_EQ(sends_["Teams"], 1) << "no Teams send started after the stop request";
  const std::string log = test::read_file(kLogFileName);
  for (const char* line : {"Email: alert not delivered (linkwatch stopped): after the stop request",
                           "Teams: alert not delivered (linkwatch stopped): M4"}) {
    EXPECT_NE(log.find(line), std::string::npos) << line;
  }
}

// A reload swaps the settings while the sender threads run: every send sees one whole version
// of them (a copy lives until its last send ends), a channel switched on gets its thread, and
// nothing queued is lost. Run under TSan for the race itself.
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
  const std::string log = test::read_file(kLogFileName);
  EXPECT_EQ(log.find("alert not delivered (linkwatch stopped)"), std::string::npos)
      << "a message was left behind:\n"
      << log;
}

// A web hook that hangs holds up no cycle, and a stop removes the card file of the curl it
// ends. (The stop's bound and its log lines: InstanceStopTest in stop_test.cc.)
TEST(DeliveryRunTest, HangingChannelDelaysNoCycleAndStopEndsIt) {
  test::ScopedWorkDir dir;
  test::ScopedFakeTools tools(dir.path(), {"curl", "ping"},
                              {{"LW_FAKE_CURL_SLEEP_MS", "60000"},
                               {"LW_FAKE_PING_OUTPUT", "Reply from 127.0.0.1: TTL=64"}});
  set_silent_mode(true);
  HostTable table;
  table.host_count = 3;
  for (int i = 1; i <= table.host_count; ++i) {
    HostEntry& host = table.hosts[i];
    set_host_text(&host, "127.0.0.1");
    set_port_text(&host, "1");  // nothing listens: refused at once
    host.timeoutsec = 2;
    host.alertcount = 1;
  }
  MonitorSettings settings;
  NotifySettings notify;
  notify.teams_webhook.assign("https://127.0.0.1:9/hook");
  notify.teams_enabled = 1;
  Delivery delivery(&notify);
  ASSERT_TRUE(delivery.start());
  MonitorRun run;
  run.table = &table;
  run.settings = &settings;
  run.notify = &notify;
  run.delivery = &delivery;
  resolve_all_hosts(&table);

  const uint64_t begin = platform::monotonic_ms();
  EXPECT_EQ(run_cycle(run), 1);  // three DOWN alerts, the first one's curl hangs
  for (int i = 1; i <= table.host_count; ++i) table.hosts[i].alert_sent = 0;
  EXPECT_EQ(run_cycle(run), 1);  // and three more: the checks go on
  EXPECT_LT(platform::monotonic_ms() - begin, 10000u);

  const auto card_files = [] {
    int n = 0;
    for (const auto& entry : std::filesystem::directory_iterator(".")) {
      n += entry.path().filename().string().rfind(kCardFilePrefix, 0) == 0;
    }
    return n;
  };
  for (int i = 0; i < 100 && card_files() == 0; ++i) platform::sleep_ms(50);
  EXPECT_EQ(card_files(), 1);
  platform::request_stop();
  delivery.stop();
  platform::clear_stop_request();
  EXPECT_EQ(card_files(), 0);
  set_silent_mode(false);
}

}  // namespace
}  // namespace lw
