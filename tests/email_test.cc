#include "notify/email.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/capture.h"
#include "support/command_recorder.h"
#include "support/test_env.h"

namespace lw {
namespace {

using Args = std::vector<std::string>;

NotifySettings mail_settings() {
  NotifySettings s;
  s.server.assign("smtp://mail.example:587");
  s.email.assign("ops@example.com");
  s.password.assign("p$w \"q\" 100% & c:\\dir\\");  // to reach curl unchanged, in no argument
  s.from.assign("Monitor <mon@example.com>");
  s.email_enabled = 1;
  return s;
}

class EmailTest : public test::WorkDirTest {};

TEST_F(EmailTest, SendsTheMessageItWroteAndDeletesIt) {
  NotifySettings settings = mail_settings();
  test::CommandRecorder recorder;
  test::OutputCapture capture;
  EXPECT_EQ(send_mail_message(settings, "a@x.org, b@y.org", "Alert", "a\r\nb\nc\rd\n\n", false), 1);
  std::vector<test::RecordedCommand> commands = recorder.commands();
  ASSERT_EQ(commands.size(), 1u);
  EXPECT_EQ(commands[0].argv,
            (Args{"curl", "-s", "smtp://mail.example:587", "--mail-from",
                  "Monitor <mon@example.com>", "--ssl-reqd", "--config", "-", "-T", "mailtext.txt",
                  "--mail-rcpt", "a@x.org", "--mail-rcpt", "b@y.org"}));
  EXPECT_EQ(commands[0].input, "user = \"ops@example.com:p$w \\\"q\\\" 100% & c:\\\\dir\\\\\"\n");
  EXPECT_EQ(commands[0].mail_file,
            "From: Monitor <mon@example.com>\r\nTo: a@x.org, b@y.org\r\nSubject: Alert\r\n"
            "Content-Type: text/plain; charset=UTF-8\r\n\r\na\r\nb\r\nc\rd\r\n\r\n\r\n");
  EXPECT_FALSE(test::file_exists("mailtext.txt"));
  EXPECT_EQ(test::log_messages(),
            (Args{"Send Mail Alert to a@x.org, b@y.org via SMTP server smtp://mail.example:587"}));

  recorder.set_result(67);
  EXPECT_EQ(send_mail_message(settings, "a@x.org", "S", "B", false), 0);
  settings.server.assign("--config=/etc/passwd");  // never run: curl would take it as an option
  EXPECT_EQ(send_mail_message(settings, "a@x.org", "S", "B", false), 0);
  EXPECT_EQ(capture.out(),
            "Sending mail alert now .....\nEmail command rc=0\n"
            "Sending mail alert now .....\nEmail command rc=67\n"
            "Sending mail alert now .....\nEmail command rc=-1\n");
  EXPECT_FALSE(test::file_exists("mailtext.txt"));
}

TEST_F(EmailTest, NothingHappensWhenItCannotSend) {
  test::CommandRecorder recorder;
  test::OutputCapture capture;
  NotifySettings settings = mail_settings();
  EXPECT_EQ(send_mail_message(settings, "", "S", "B", false), 0);
  settings.password.clear();
  EXPECT_EQ(send_mail_message(settings, "a@x.org", "S", "B", false), 0);
  std::filesystem::create_directory("mailtext.txt");  // the mail file cannot be written
  EXPECT_EQ(send_mail_message(mail_settings(), "a@x.org", "S", "B", false), 0);
  EXPECT_TRUE(recorder.commands().empty());
  EXPECT_EQ(capture.out(), "");
  EXPECT_FALSE(test::file_exists("linkwatch_log.txt"));
}

}  // namespace
}  // namespace lw
