#include "notify/dispatch.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <thread>
#include <vector>

#include "support/capture.h"
#include "support/command_recorder.h"
#include "support/fake_tools.h"
#include "support/output.h"
#include "support/test_env.h"

namespace lw {
namespace {

using test::CommandRecorder;
using test::file_exists;

NotifySettings all_channels() {
  NotifySettings s;
  s.server.assign("smtp://mail.example:587");
  s.email.assign("ops@example.com");
  s.password.assign("secret");
  s.to.assign("a@x.org");
  s.iamalive.assign("alive@x.org");
  s.token.assign("1:T");
  s.chat_id.assign("42");
  s.teams_webhook.assign("https://hook.example/t");
  s.email_enabled = 1;
  s.telegram_enabled = 1;
  s.teams_enabled = 1;
  s.iamalive_enabled = 1;
  return s;
}

void fill(NotifyMessage* m, int32_t kind, const char* tag) {
  m->kind = kind;
  m->subject.format("Subject %s", tag);
  m->body.format("Body %s\nsecond line", tag);
  m->chat_text.format("Chat %s", tag);
}

// Which channel a recorded curl run belongs to.
std::string channel_of(const std::vector<std::string>& argv) {
  for (const std::string& arg : argv) {
    if (arg == "--ssl-reqd") return "email";
    if (arg == "--data-binary") return "teams";
  }
  return "telegram";
}

class DispatchTest : public test::WorkDirTest {
 protected:
  ~DispatchTest() override { set_silent_mode(false); }
};

TEST_F(DispatchTest, HostAlertGoesThroughEveryChannelInOrder) {
  CommandRecorder recorder;
  test::OutputCapture capture;
  NotifyMessage message;
  fill(&message, kDownAlert, "down");
  dispatch_message(message, all_channels());

  std::vector<test::RecordedCommand> commands = recorder.commands();
  ASSERT_EQ(commands.size(), 3u);
  EXPECT_EQ(channel_of(commands[0].argv), "email");
  EXPECT_EQ(commands[0].argv.back(), "a@x.org");
  EXPECT_NE(commands[0].mail_file->find("To: a@x.org\r\nSubject: Subject down\r\n"),
            std::string::npos);
  EXPECT_NE(commands[0].mail_file->find("\r\n\r\nBody down\r\nsecond line\r\n"), std::string::npos);
  EXPECT_EQ(channel_of(commands[1].argv), "telegram");
  EXPECT_NE(commands[1].input->find("&text=Chat%20down\""), std::string::npos);
  EXPECT_EQ(channel_of(commands[2].argv), "teams");
  EXPECT_NE(commands[2].card_file->find("\"text\": \"Subject down\""), std::string::npos);
  EXPECT_NE(commands[2].card_file->find("\"text\": \"Body down\\nsecond line\""),
            std::string::npos);
  EXPECT_EQ(capture.out(),
            "Sending mail alert now .....\nEmail command rc=0\n"
            "Sending Telegram alert now .....\nTelegram command rc=0\n"
            "Sending Microsoft Teams alert ...\nTeams command rc=0\n");
  EXPECT_FALSE(file_exists("mailtext.txt"));
  EXPECT_FALSE(file_exists("teamsmsg.json"));
}

TEST_F(DispatchTest, AliveReportGoesByMailToItsOwnList) {
  CommandRecorder recorder;
  test::OutputCapture capture;
  NotifyMessage message;
  fill(&message, kAliveReport, "alive");
  dispatch_message(message, all_channels());
  std::vector<test::RecordedCommand> commands = recorder.commands();
  ASSERT_EQ(commands.size(), 1u);
  EXPECT_EQ(commands[0].argv.back(), "alive@x.org");
  EXPECT_NE(commands[0].mail_file->find("To: alive@x.org\r\n"), std::string::npos);
}

TEST_F(DispatchTest, SkipsChannelsThatAreNotFullyConfigured) {
  CommandRecorder recorder;
  test::OutputCapture capture;
  NotifyMessage message;
  fill(&message, kRecoveryAlert, "up");

  NotifySettings settings = all_channels();
  settings.email_enabled = 0;
  settings.teams_enabled = 0;
  dispatch_message(message, settings);  // Telegram only: no mail file at all
  ASSERT_EQ(recorder.commands().size(), 1u);
  EXPECT_EQ(channel_of(recorder.commands()[0].argv), "telegram");
  EXPECT_FALSE(recorder.commands()[0].mail_file.has_value());

  settings = all_channels();
  settings.email_enabled = 0;
  settings.chat_id.clear();        // flag set, value missing
  settings.teams_webhook.clear();  // likewise
  dispatch_message(message, settings);
  EXPECT_EQ(recorder.commands().size(), 1u);
}

TEST_F(DispatchTest, SilentModeSilencesTheChannelsButNotTheLog) {
  CommandRecorder recorder;
  test::OutputCapture capture;
  set_silent_mode(true);
  NotifyMessage message;
  fill(&message, kDownAlert, "quiet");
  dispatch_message(message, all_channels());
  EXPECT_EQ(recorder.commands().size(), 3u);
  EXPECT_EQ(capture.out(), "");
  EXPECT_EQ(test::log_messages().size(), 3u);
}

// Several alerts at once, each run reading the shared file names as late as
// possible: a send must never see another alert's mail file or card.
TEST_F(DispatchTest, ConcurrentAlertsNeverShareAFile) {
  CommandRecorder recorder;
  recorder.set_delay_ms(50);
  test::OutputCapture capture;
  set_silent_mode(true);
  NotifySettings settings = all_channels();
  std::vector<std::thread> threads;
  for (int i = 0; i < 4; ++i) {
    threads.emplace_back([&settings, i] {
      NotifyMessage message;
      std::string tag = "n" + std::to_string(i);
      fill(&message, kDownAlert, tag.c_str());
      dispatch_message(message, settings);
    });
  }
  for (std::thread& t : threads) t.join();

  std::vector<test::RecordedCommand> commands = recorder.commands();
  ASSERT_EQ(commands.size(), 12u);
  std::multiset<std::string> subjects;
  for (const test::RecordedCommand& c : commands) {
    std::string channel = channel_of(c.argv);
    if (channel == "email") {
      ASSERT_TRUE(c.mail_file.has_value());
      size_t at = c.mail_file->find("Subject: Subject n");
      ASSERT_NE(at, std::string::npos);
      subjects.insert("mail" + c.mail_file->substr(at + 18, 1));
    } else if (channel == "teams") {
      ASSERT_TRUE(c.card_file.has_value());
      size_t at = c.card_file->find("\"text\": \"Subject n");
      ASSERT_NE(at, std::string::npos);
      subjects.insert("card" + c.card_file->substr(at + 18, 1));
    }
  }
  EXPECT_EQ(subjects, (std::multiset<std::string>{"card0", "card1", "card2", "card3", "mail0",
                                                  "mail1", "mail2", "mail3"}));
}

// Two alerts raised at the same moment from two threads, through real child
// processes: each curl run must see its own message in the shared file
// names, and nothing may be left behind.
TEST_F(DispatchTest, ConcurrentAlertsKeepTheirOwnFiles) {
  test::FakeTools tools;
  ASSERT_TRUE(tools.ok());
  tools.set_sleep_ms("curl", 300);
  test::OutputCapture capture;
  set_silent_mode(true);

  NotifySettings settings = all_channels();
  auto raise = [&settings](const char* tag) {
    NotifyMessage message;
    fill(&message, kDownAlert, tag);
    dispatch_message(message, settings);
  };
  std::thread first(raise, "first");
  std::thread second(raise, "second");
  first.join();
  second.join();

  std::vector<test::Invocation> calls = tools.calls("curl");
  ASSERT_EQ(calls.size(), 6u);
  std::set<std::string> mails;
  std::set<std::string> cards;
  for (const test::Invocation& call : calls) {
    std::vector<std::string> argv = {"curl"};
    argv.insert(argv.end(), call.args.begin(), call.args.end());
    std::string channel = channel_of(argv);
    if (channel == "email") {
      ASSERT_EQ(call.files.count("mailtext.txt"), 1u);
      const std::string& mail = call.files.at("mailtext.txt");
      std::string tag = mail.find("Subject first") != std::string::npos ? "first" : "second";
      EXPECT_NE(mail.find("Subject " + tag + "\r\n"), std::string::npos);
      EXPECT_NE(mail.find("\r\nBody " + tag + "\r\n"), std::string::npos);
      mails.insert(tag);
    } else if (channel == "teams") {
      ASSERT_EQ(call.files.count("teamsmsg.json"), 1u);
      const std::string& json = call.files.at("teamsmsg.json");
      std::string tag = json.find("Subject first") != std::string::npos ? "first" : "second";
      EXPECT_NE(json.find("\"Body " + tag + "\\nsecond line\""), std::string::npos);
      cards.insert(tag);
    }
  }
  EXPECT_EQ(mails, (std::set<std::string>{"first", "second"}));
  EXPECT_EQ(cards, (std::set<std::string>{"first", "second"}));
  EXPECT_FALSE(file_exists("mailtext.txt"));
  EXPECT_FALSE(file_exists("teamsmsg.json"));
}

}  // namespace
}  // namespace lw
