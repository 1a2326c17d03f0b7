#include "notify/delivery.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "app/monitor.h"
#include "notify/send_files.h"
#include "platform/platform.h"
#include "support/clock.h"
#include "support/output.h"
#include "support/test_env.h"

namespace lw {
namespace {

std::atomic<int64_t> fake_now{1700000000};

// Answers every send with the outcome set for its channel and records it.
struct Recorder {
  SendOutcome answer[3];
  std::vector<std::string> sent;  // "<channel> <subject> | <chat text>"
  std::mutex mutex;

  static void send(void* context, Channel channel, const NotifySettings&,
                   const QueuedMessage& message, SendOutcome* outcome) {
    auto* self = static_cast<Recorder*>(context);
    std::lock_guard<std::mutex> hold(self->mutex);
    *outcome = self->answer[static_cast<int>(channel)];
    outcome->attempted = true;
    self->sent.push_back(std::to_string(static_cast<int>(channel)) + " " + message.subject + " | " +
                         message.chat_text);
  }
};

SendOutcome failed(bool temporary, int retry_after = 0) {
  SendOutcome outcome;
  outcome.temporary = temporary;
  outcome.retry_after_seconds = retry_after;
  return outcome;
}

std::string delay_note(int64_t event) {
  char when[32];
  format_local_time(event, "%Y-%m-%d %H:%M:%S", when, sizeof when);
  return std::string("(delayed; event at ") + when + ")";
}

class DeliveryTest : public test::WorkDirTest {
 protected:
  void SetUp() override {
    fake_now = 1700000000;
    set_clock_for_testing([] { return fake_now.load(); });
    set_silent_mode(true);
    settings_.email_enabled = 1;  // e-mail goes through the recorder only
    settings_.token.assign("1:x");
    settings_.chat_id.assign("7");
    settings_.telegram_enabled = 1;
    settings_.retry_minutes = 60;
    for (SendOutcome& answer : recorder_.answer) answer.delivered = true;
    delivery_.set_send_for_testing(Recorder::send, &recorder_);
  }
  void TearDown() override {
    set_clock_for_testing(nullptr);
    set_silent_mode(false);
  }
  void post(const char* tag) {
    NotifyMessage message;
    message.kind = kDownAlert;
    message.subject.assign(tag);
    message.chat_text.assign(tag);
    delivery_.post(message, fake_now);
  }
  int64_t advance_and_run(int64_t seconds) {
    fake_now += seconds;
    return delivery_.run_due(fake_now);
  }
  std::string log() { return test::read_file(kLogFileName); }

  NotifySettings settings_;
  Recorder recorder_;
  Delivery delivery_{&settings_};
};

TEST_F(DeliveryTest, TemporaryFailureIsRetriedWithTheDelayNoteAndKeepsTheOrder) {
  recorder_.answer[1] = failed(true);
  post("A");
  EXPECT_EQ(delivery_.run_due(fake_now), fake_now + kRetryFirstWaitSeconds);
  fake_now += 10;
  post("B");  // held back behind A on Telegram only
  recorder_.answer[1].delivered = true;
  EXPECT_EQ(delivery_.run_due(fake_now), 1700000060);
  EXPECT_EQ(advance_and_run(50), 0);
  const std::string a = delay_note(1700000000), b = delay_note(1700000010);
  EXPECT_EQ(recorder_.sent,
            (std::vector<std::string>{"0 A | A", "1 A | A", "0 B | B", "1 A " + a + " | A\n" + a,
                                      "1 B " + b + " | B\n" + b}));
  EXPECT_NE(log().find("Telegram: trying again in 60 seconds: A"), std::string::npos);
}

// A permanent failure, and any failure with retry_minutes 0, is not kept.
TEST_F(DeliveryTest, WhatIsNotRetried) {
  for (const bool temporary : {false, true}) {
    settings_.retry_minutes = temporary ? 0 : 60;
    recorder_.answer[1] = failed(temporary);
    recorder_.sent.clear();
    post("M");
    EXPECT_EQ(delivery_.run_due(fake_now), 0);
    EXPECT_EQ(delivery_.pending(Channel::kTelegram), 0u);
    EXPECT_EQ(recorder_.sent.size(), 2u);
  }
  EXPECT_NE(log().find("Telegram: alert not delivered (permanent failure"), std::string::npos);
  EXPECT_EQ(log().find("trying again"), std::string::npos);
}

TEST_F(DeliveryTest, BackoffObeysRetryAfterThenGivesUpAtRetryMinutes) {
  recorder_.answer[1] = failed(true, 5);
  post("A");
  EXPECT_EQ(delivery_.run_due(fake_now), fake_now + 5);
  recorder_.answer[1] = failed(true);
  int64_t due = 0;
  int tries = 1;
  for (int64_t at = fake_now + 5; (due = advance_and_run(at - fake_now)) != 0; at = due) ++tries;
  // 60, 120, 240, 480, 900, 900 ... until 60 minutes after the event.
  EXPECT_EQ(tries, 8);
  EXPECT_EQ(fake_now, 1700000000 + 3600);
  EXPECT_NE(log().find("Telegram: alert not delivered (retry_minutes are over, gave up): A"),
            std::string::npos);
}

TEST_F(DeliveryTest, PendingListIsBoundedAndStopReportsWhatIsLeft) {
  recorder_.answer[1] = failed(true);
  for (int i = 0; i < 150; ++i) post(("M" + std::to_string(i)).c_str());
  delivery_.run_due(fake_now);
  EXPECT_EQ(delivery_.pending(Channel::kTelegram), kMaxPendingPerChannel);
  EXPECT_NE(log().find(std::string("(more than 100 pending, dropped the oldest): M0") +
                       test::text_line_end()),
            std::string::npos);
  post("queued");
  delivery_.stop();
  const std::string text = log();
  EXPECT_NE(text.find("Alert not delivered (linkwatch stopped): queued"), std::string::npos);
  EXPECT_NE(text.find("Telegram: alert not delivered (linkwatch stopped): M149"),
            std::string::npos);
}

// A web hook that hangs holds up neither the cycles nor the stop: the checks
// go on, and a stop ends the hanging curl after its grace and removes its
// card file.
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
    host.host.assign("127.0.0.1");
    host.port.assign("1");  // nothing listens: refused at once
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
  const uint64_t stop_begin = platform::monotonic_ms();
  platform::request_stop();
  delivery.stop();
  platform::clear_stop_request();
  EXPECT_LT(platform::monotonic_ms() - stop_begin, platform::kStopGraceMs + 5000u);
  EXPECT_EQ(card_files(), 0);
  const std::string log = test::read_file(kLogFileName);
  EXPECT_NE(log.find("Alert not delivered (linkwatch stopped): Alert for 1."), std::string::npos);
  set_silent_mode(false);
}

}  // namespace
}  // namespace lw
