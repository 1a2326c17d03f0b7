#include "notify/email.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/capture.h"
#include "support/command_recorder.h"
#include "support/output.h"
#include "support/test_env.h"

namespace lw {
namespace {

using test::CommandRecorder;
using test::file_exists;
using test::log_messages;

NotifySettings mail_settings() {
  NotifySettings s;
  s.server.assign("smtp://mail.example:587");
  s.email.assign("ops@example.com");
  s.password.assign("secret");
  s.to.assign("a@x.org, b@y.org");
  s.iamalive.assign("alive@x.org");
  s.email_enabled = 1;
  return s;
}

class EmailTest : public test::WorkDirTest {};

TEST_F(EmailTest, SendsTheMessageItWroteAndDeletesIt) {
  NotifySettings settings = mail_settings();
  settings.from.assign("Monitor <mon@example.com>");
  CommandRecorder recorder;
  test::OutputCapture capture;

  EXPECT_EQ(
      send_mail_message(settings, settings.to.c_str(), "Alert for 443", "line1\nline2", false), 1);

  std::vector<test::RecordedCommand> commands = recorder.commands();
  ASSERT_EQ(commands.size(), 1u);
  EXPECT_EQ(commands[0].argv,
            (std::vector<std::string>{"curl", "-s", "smtp://mail.example:587", "--mail-from",
                                      "Monitor <mon@example.com>", "--ssl-reqd", "--config", "-",
                                      "-T", "mailtext.txt", "--mail-rcpt", "a@x.org", "--mail-rcpt",
                                      "b@y.org"}));
  EXPECT_EQ(commands[0].input, "user = \"ops@example.com:secret\"\n");
  EXPECT_EQ(commands[0].mail_file,
            "From: Monitor <mon@example.com>\r\n"
            "To: a@x.org, b@y.org\r\n"
            "Subject: Alert for 443\r\n"
            "Content-Type: text/plain; charset=UTF-8\r\n"
            "\r\n"
            "line1\r\nline2\r\n");
  EXPECT_FALSE(file_exists("mailtext.txt"));
  EXPECT_EQ(capture.out(), "Sending mail alert now .....\nEmail command rc=0\n");
  EXPECT_EQ(log_messages(),
            (std::vector<std::string>{"Send Mail Alert to a@x.org, b@y.org via SMTP server "
                                      "smtp://mail.example:587"}));
}

TEST_F(EmailTest, LineEndsAreCrLfOnceAndSenderFallsBackToLogin) {
  NotifySettings settings = mail_settings();  // from is empty
  CommandRecorder recorder;
  test::OutputCapture capture;
  send_mail_message(settings, "a@x.org", "S", "dos\r\nunix\nmac\rend\n\n", true);
  std::vector<test::RecordedCommand> commands = recorder.commands();
  ASSERT_EQ(commands.size(), 1u);
  EXPECT_EQ(commands[0].argv[4], "ops@example.com");
  EXPECT_EQ(commands[0].mail_file,
            "From: ops@example.com\r\nTo: a@x.org\r\nSubject: S\r\n"
            "Content-Type: text/plain; charset=UTF-8\r\n\r\n"
            "dos\r\nunix\r\nmac\rend\r\n\r\n\r\n");
}

TEST_F(EmailTest, FailureSilenceAndSecrets) {
  NotifySettings settings = mail_settings();
  settings.password.assign("p$w \"q\" 100% & c:\\dir\\");
  CommandRecorder recorder;
  recorder.set_result(67);
  test::OutputCapture capture;

  EXPECT_EQ(send_mail_message(settings, settings.to.c_str(), "S", "B", false), 0);
  EXPECT_EQ(capture.out(), "Sending mail alert now .....\nEmail command rc=67\n");
  EXPECT_FALSE(file_exists("mailtext.txt"));

  // Silent: nothing on the console, the log line is still written.
  EXPECT_EQ(send_mail_message(settings, settings.to.c_str(), "S", "B", true), 0);
  EXPECT_EQ(capture.out(), "Sending mail alert now .....\nEmail command rc=67\n");
  EXPECT_EQ(log_messages().size(), 2u);

  std::vector<test::RecordedCommand> commands = recorder.commands();
  ASSERT_EQ(commands.size(), 2u);
  EXPECT_EQ(commands[0].input, "user = \"ops@example.com:p$w \\\"q\\\" 100% & c:\\\\dir\\\\\"\n");
  for (const std::string& arg : commands[0].argv) {
    EXPECT_EQ(arg.find("p$w"), std::string::npos) << arg;
  }
}

TEST_F(EmailTest, NothingHappensWhenNotConfiguredOrNoRecipients) {
  CommandRecorder recorder;
  test::OutputCapture capture;
  NotifySettings settings = mail_settings();
  EXPECT_EQ(send_mail_message(settings, "", "S", "B", false), 0);
  EXPECT_EQ(send_mail_message(settings, nullptr, "S", "B", false), 0);
  settings.password.clear();
  EXPECT_EQ(send_mail_message(settings, "a@x.org", "S", "B", false), 0);
  settings = mail_settings();
  settings.email_enabled = 0;
  EXPECT_EQ(send_mail_message(settings, "a@x.org", "S", "B", false), 0);

  EXPECT_TRUE(recorder.commands().empty());
  EXPECT_EQ(capture.out(), "");
  EXPECT_FALSE(file_exists("linkwatch_log.txt"));
  EXPECT_FALSE(file_exists("mailtext.txt"));

  // send_email on its own leaves a caller's file alone when it cannot send.
  test::write_file("mailtext.txt", "left");
  EXPECT_EQ(send_email(settings, "a@x.org", false), 0);
  EXPECT_EQ(test::read_file("mailtext.txt"), "left");
}

TEST_F(EmailTest, RecipientsMadeOnlyOfSeparatorsStillRunTheCommand) {
  CommandRecorder recorder;
  test::OutputCapture capture;
  NotifySettings settings = mail_settings();
  EXPECT_EQ(send_mail_message(settings, " , ,", "S", "B", true), 1);
  std::vector<test::RecordedCommand> commands = recorder.commands();
  ASSERT_EQ(commands.size(), 1u);
  EXPECT_EQ(commands[0].argv.size(), 10u);
  EXPECT_EQ(commands[0].mail_file->substr(0, 28), "From: ops@example.com\r\nTo:  ");
}

TEST_F(EmailTest, OptionLikeServerIsNeverRun) {
  CommandRecorder recorder;
  test::OutputCapture capture;
  NotifySettings settings = mail_settings();
  settings.server.assign("--config=/etc/passwd");
  EXPECT_EQ(send_mail_message(settings, "a@x.org", "S", "B", false), 0);
  EXPECT_TRUE(recorder.commands().empty());
  EXPECT_EQ(capture.out(), "Sending mail alert now .....\nEmail command rc=-1\n");
  EXPECT_FALSE(file_exists("mailtext.txt"));
}

TEST_F(EmailTest, UnwritableMailFileSendsNothingAndSaysNothing) {
  std::filesystem::create_directory("mailtext.txt");
  CommandRecorder recorder;
  test::OutputCapture capture;
  EXPECT_EQ(send_mail_message(mail_settings(), "a@x.org", "S", "B", false), 0);
  EXPECT_TRUE(recorder.commands().empty());
  EXPECT_EQ(capture.out(), "");
  EXPECT_FALSE(file_exists("linkwatch_log.txt"));
}

}  // namespace
}  // namespace lw
