// The e-mail, Telegram and Teams sends as curl would see them, and their send files.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "notify/email.h"
#include "notify/send_files.h"
#include "notify/teams.h"
#include "notify/telegram.h"
#include "platform/platform.h"
#include "support/capture.h"
#include "support/command_recorder.h"
#include "support/transfer.h"

namespace lw {
namespace {

namespace fs = std::filesystem;
using Args = std::vector<std::string>;

const std::string kPid = std::to_string(platform::current_pid());
constexpr const char kHook[] = "https://example.webhook.office.com/webhookb2/abc?x=1&y=2";

NotifySettings settings() {
  NotifySettings s;
  s.server.assign("smtp://mail.example:587");
  s.email.assign("ops@example.com");
  s.password.assign("p$w \"q\" 100% & c:\\dir\\");  // to reach curl unchanged, in no argument
  s.from.assign("Monitor <mon@example.com>");
  s.token.assign("123456:AAH-x_y");
  s.chat_id.assign("@ops room");
  s.teams_webhook.assign(kHook);
  s.email_enabled = s.telegram_enabled = s.teams_enabled = 1;
  return s;
}

// argv with this process's send file numbers shown as ".PID.N.".
Args shown(const Args& argv) {
  const std::regex own("\\." + kPid + "\\.[0-9]+\\.");
  Args args;
  for (const std::string& arg : argv) args.push_back(std::regex_replace(arg, own, ".PID.N."));
  return args;
}

Args folder() {  // names of the files in the working folder
  Args names;
  for (const auto& entry : fs::directory_iterator("."))
    names.push_back(entry.path().filename().string());
  return names;
}

TEST(ChannelEncodingTest, StopsBeforeTheBufferIsFull) {
  std::vector<char> out(kTelegramTextSize, 'X');
  percent_encode("a b&c=d@x-y_z.w~AZaz09\n+/?%\x7f\xff", out.data(), out.size());
  EXPECT_STREQ(out.data(), "a%20b%26c%3Dd%40x-y_z.w~AZaz09%0A%2B%2F%3F%25%7F%FF");
  EXPECT_EQ(percent_encode(std::string(3000, ' ').c_str(), out.data(), out.size()), 2730u * 3);
  // 340 six-character escapes end at 2040, and the terminator still fits.
  EXPECT_EQ(json_escape(std::string(1000, '\x01').c_str(), out.data(), kTeamsTitleSize), 2040u);
}

class ChannelsTest : public test::WorkDirTest {};

TEST_F(ChannelsTest, EachChannelSendsItsOwnFileWithSecretsOnStandardInputOnly) {
  test::CommandRecorder recorder;
  test::OutputCapture capture;
  EXPECT_EQ(send_mail_message(settings(), "a@x.org, b@y.org", "Alert", "a\r\nb\nc\rd\n\n", false),
            1);
  EXPECT_EQ(send_telegram(settings(), "ALERT (DOWN)\nHost: web01 & co", true), 1);
  EXPECT_EQ(send_teams(settings(), "\"T", "a\r\nb\t\\/\x1b\x01\x7f\xC3\xA9", true), 1);
  const std::vector<test::RecordedCommand> sent = recorder.commands();
  ASSERT_EQ(sent.size(), 3u);
  EXPECT_EQ(shown(sent[0].argv),
            (Args{"curl", "-s", "smtp://mail.example:587", "--mail-from", "mon@example.com",
                  "--ssl-reqd", "--config", "-", "-T", "mailtext.PID.N.txt", "--mail-rcpt",
                  "a@x.org", "--mail-rcpt", "b@y.org"}));
  EXPECT_EQ(sent[0].input, "user = \"ops@example.com:p$w \\\"q\\\" 100% & c:\\\\dir\\\\\"\n");
  EXPECT_EQ(sent[0].mail_file,
            "From: Monitor <mon@example.com>\r\nTo: a@x.org, b@y.org\r\nSubject: Alert\r\n"
            "MIME-Version: 1.0\r\nContent-Type: text/plain; charset=UTF-8\r\n"
            "Content-Transfer-Encoding: 8bit\r\n\r\na\r\nb\r\nc\rd\r\n\r\n\r\n");
  EXPECT_EQ(shown(sent[1].argv), (Args{"curl", "-s", "--fail", "--config", "-"}));
  EXPECT_EQ(sent[1].input,
            "url = \"https://api.telegram.org/bot123456:AAH-x_y/sendMessage?chat_id=%40ops%20room"
            "&text=ALERT%20%28DOWN%29%0AHost%3A%20web01%20%26%20co\"\n");
  EXPECT_EQ(shown(sent[2].argv),
            (Args{"curl", "-s", "--fail", "-H", "Content-Type: application/json; charset=utf-8",
                  "--data-binary", "@teamsmsg.PID.N.json", "--config", "-"}));
  EXPECT_EQ(sent[2].input, std::string("url = \"") + kHook + "\"\n");
  const std::string card = sent[2].card_file.value_or("");
  EXPECT_EQ(card.find('\r'), std::string::npos);  // the layout is the card builder's
  EXPECT_NE(card.find("\\\"T"), std::string::npos);
  EXPECT_TRUE(!sent[0].discard_output && sent[1].discard_output && sent[2].discard_output);
  if (!*platform::kExecutableSuffix) {  // POSIX: owner-only from the start
    EXPECT_EQ(sent[0].file_mode, fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_EQ(sent[2].file_mode, fs::perms::owner_read | fs::perms::owner_write);
  }
  EXPECT_EQ(capture.out(), "Sending mail alert now .....\nEmail command rc=0\n");
  EXPECT_EQ(test::log_messages(),
            (Args{"Send Mail Alert to a@x.org, b@y.org via SMTP server smtp://mail.example:587",
                  "Send Telegram alert to chat_id [@ops room]", "Send Microsoft Teams alert"}));
  EXPECT_EQ(folder(), Args{"linkwatch_log.txt"});
}

TEST_F(ChannelsTest, FailuresSayWhyCurlGaveNoExitCode) {
  test::CommandRecorder recorder;
  test::OutputCapture capture;
  NotifySettings s = settings();
  recorder.set_result(-1);  // the runner reports a program that could not be started
  EXPECT_EQ(send_mail_message(s, "a@x.org", "S", "B", false), 0);
  EXPECT_EQ(send_telegram(s, "t", true), 0);
  EXPECT_EQ(send_teams(s, "T", "B", true), 0);
  log_unfinished_run("Teams", RunStatus::kTimedOut);
  recorder.set_result(0);
  s.server.assign("--config=/etc/passwd");  // curl would take these as options: never run
  s.teams_webhook.assign("-o/tmp/x");
  EXPECT_EQ(send_mail_message(s, "a@x.org", "S", "B", true), 0);
  EXPECT_EQ(send_teams(s, "T", "B", false), 0);

  EXPECT_EQ(recorder.commands().size(), 3u);
  EXPECT_EQ(capture.out(),
            "Sending mail alert now .....\nEmail command rc=-1\n"
            "Sending Microsoft Teams alert ...\nTeams command rc=-1\n");
  EXPECT_EQ(test::log_messages(),
            (Args{"Send Mail Alert to a@x.org via SMTP server smtp://mail.example:587",
                  "Email: curl could not be started", "Send Telegram alert to chat_id [@ops room]",
                  "Telegram: curl could not be started", "Send Microsoft Teams alert",
                  "Teams: curl could not be started",
                  "Teams: curl did not finish within 120 seconds and was ended",
                  "Send Mail Alert to a@x.org via SMTP server --config=/etc/passwd",
                  "Send Microsoft Teams alert"}));
  EXPECT_EQ(folder(), Args{"linkwatch_log.txt"});
}

TEST_F(ChannelsTest, NothingGoesOutWithoutSettingsTextOrAFreeFileName) {
  test::CommandRecorder recorder;
  NotifySettings s = settings();
  ASSERT_EQ(send_teams(s, "T", "B", true), 1);
  const std::string last = recorder.commands().at(0).argv.at(6);  // "@teamsmsg.<pid>.<n>.json"
  const int next = std::stoi(last.substr(last.rfind('.', last.size() - 6) + 1)) + 1;
  // Taken names are skipped, never written through; the sends below use up 2 * attempts.
  Args taken;
  for (int n = next; n < next + 2 * kSendFileNameAttempts; ++n) {
    for (const char* form : {"mailtext.%s.%d.txt", "teamsmsg.%s.%d.json"}) {
      FixedText<64> name;
      name.format(form, kPid.c_str(), n);
      fs::create_directory(taken.emplace_back(name.c_str()));
    }
  }
  test::OutputCapture capture;
  EXPECT_EQ(send_mail_message(s, "a@x.org", "S", "B", false), 0);
  EXPECT_EQ(send_teams(s, "T", "B", false), 0);  // an empty post is never made
  for (const std::string& name : taken) EXPECT_TRUE(fs::is_directory(name)) << name;

  EXPECT_EQ(send_mail_message(s, "", "S", "B", false), 0);
  s.password.clear();
  EXPECT_EQ(send_mail_message(s, "a@x.org", "S", "B", false), 0);
  EXPECT_EQ(recorder.commands().size(), 1u);
  EXPECT_EQ(capture.out(), "Sending Microsoft Teams alert ...\nTeams command rc=-1\n");
}

TEST_F(ChannelsTest, StaleSendFilesOfEndedProcessesAreRemoved) {
  const std::string dead = "4000000000";  // beyond any process number in use
  const std::pair<std::string, bool> files[] = {
      {"mailtext." + dead + ".3.txt", false},
      {"teamsmsg." + dead + ".0.json", false},
      {"mailtext." + kPid + ".1.txt", true},
      {"teamsmsg." + kPid + ".7.json", true},
      {"mailtext.txt", true},
      {"mailtext." + dead + ".3.json", true},
      {"notes." + dead + ".1.txt", true},
      {"mailtext." + dead + ".x.txt", true},
  };
  for (const auto& [name, kept] : files) test::write_file(name, "m");
  remove_stale_send_files();
  for (const auto& [name, kept] : files) EXPECT_EQ(test::file_exists(name), kept) << name;
}

}  // namespace
}  // namespace lw
