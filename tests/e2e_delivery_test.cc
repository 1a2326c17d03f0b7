// Delivery through the real curl to tests/e2e/receiver.py on 127.0.0.1, which saves what
// arrived: an SMTP server that insists on STARTTLS and a login, and an HTTP web hook.

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "notify/dispatch.h"
#include "notify/selftest.h"
#include "notify/teams.h"
#include "platform/platform.h"
#include "support/capture.h"
#include "support/test_env.h"

namespace lw {
namespace {

using test::file_exists;
using test::read_file;

constexpr const char kPython[] = "/usr/bin/python3";
const std::filesystem::path kScripts = std::filesystem::path(__FILE__).parent_path() / "e2e";

int run(const std::vector<std::string>& args, const char* program = kPython) {
  return test::run_program(args, program).first;
}

// receiver.py run on a thread of its own until it has saved one message.
struct Receiver {
  explicit Receiver(const std::string& mode, std::vector<std::string> args = {}) {
    args.insert(args.begin(), {(kScripts / "receiver.py").string(), mode, mode + ".port", mode});
    thread = std::jthread([this, args] { rc = run(args); });
    for (int i = 0; i < 200 && !file_exists(mode + ".port"); ++i) platform::sleep_ms(100);
    if (file_exists(mode + ".port")) port = to_int(read_file(mode + ".port").c_str());
  }
  int join() {
    if (thread.joinable()) thread.join();
    return rc;
  }

  int port = 0;  // 0 when it did not start within 20 s
  int rc = -2;
  std::jthread thread;  // last: joined before rc goes
};

class E2eDeliveryTest : public test::WorkDirTest {
 protected:
  void SetUp() override {
    if (run({"--version"}, "curl") != 0) GTEST_SKIP() << "no real curl (e.g. under wine)";
    if (run({"-c", "import aiosmtpd"}) != 0) GTEST_SKIP() << "python3-aiosmtpd missing";
    ASSERT_EQ(run({"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "key.pem", "-out",
                   "cert.pem", "-days", "1", "-subj", "/CN=127.0.0.1", "-addext",
                   "subjectAltName=IP:127.0.0.1"},
                  "openssl"),
              0);
    smtp_ = std::make_unique<Receiver>("smtp", std::vector<std::string>{"cert.pem", "key.pem"});
    ASSERT_GT(smtp_->port, 0) << "the SMTP receiver did not start";
    NotifySettings& s = settings_;
    s.server.format("smtp://127.0.0.1:%d", smtp_->port);
    s.email.assign("ops@example.com");
    s.password.assign("p$w \"q\" 100% & c:\\dir\\");
    s.from.assign("Ops Team <monitor@example.com>");
    s.to.assign(" dev@example.com,, second@example.com ");
    s.email_enabled = 1;
    // The test's own certificate authority, as a company's mail server would have it.
    s.cacert.assign((work_dir() / "cert.pem").string().c_str());
  }

  // The received mail parses strictly with the headers every mail needs.
  void expect_standard_mail(const std::string& subject) {
    test::write_file("subject.txt", subject);
    EXPECT_EQ(run({(kScripts / "check_mail.py").string(), "smtp/data", "subject.txt",
                   settings_.from.c_str()}),
              0);
  }

  std::unique_ptr<Receiver> smtp_;
  NotifySettings settings_;
};

TEST_F(E2eDeliveryTest, AlertMailArrivesWhole) {
  NotifyMessage message;
  message.kind = kDownAlert;
  const std::string subject =
      "Ausfall: M\xC3\xBCller-Stra\xC3\x9F"
      "e \xF0\x9F\x98\x80 web01 443";
  message.subject.assign(subject.c_str());
  // Lines that SMTP itself would otherwise read as the end of the data.
  message.body.assign("Host: web01\n.\n..two\r\n.end\nDuration: 30 seconds\n");
  test::OutputCapture capture;
  NotifySettings untrusting = settings_;  // no cacert: the private authority is unknown
  untrusting.cacert.clear();
  dispatch_message(message, untrusting);
  dispatch_message(message, settings_);
  EXPECT_EQ(capture.out(),
            "Sending mail alert now .....\nEmail command rc=60\n"
            "Sending mail alert now .....\nEmail command rc=0\n");
  ASSERT_EQ(smtp_->join(), 0) << "no message arrived";

  EXPECT_EQ(read_file("smtp/login"), "ops@example.com");
  EXPECT_EQ(read_file("smtp/password"), "p$w \"q\" 100% & c:\\dir\\");
  EXPECT_EQ(read_file("smtp/mail_from"), "monitor@example.com");  // the envelope: bare
  EXPECT_EQ(read_file("smtp/rcpt"), "dev@example.com\nsecond@example.com");
  const std::string data = read_file("smtp/data");
  EXPECT_NE(data.find("\r\nTo: dev@example.com, second@example.com\r\n"), std::string::npos);
  EXPECT_EQ(data.substr(data.find("\r\n\r\n")),
            "\r\n\r\nHost: web01\r\n.\r\n..two\r\n.end\r\nDuration: 30 seconds\r\n\r\n");
  expect_standard_mail(subject);
}

TEST_F(E2eDeliveryTest, NotificationTestReachesMailAndWebHook) {
  Receiver http("http");
  ASSERT_GT(http.port, 0) << "the HTTP receiver did not start";
  settings_.teams_webhook.format("http://127.0.0.1:%d/gone/abc", http.port);
  settings_.teams_enabled = 1;
  test::OutputCapture capture;
  // A web hook that answers with an HTTP error status is a failed send.
  EXPECT_EQ(send_teams(settings_, "T", "B", false), 0);
  EXPECT_EQ(capture.out(), "Sending Microsoft Teams alert ...\nTeams command rc=22\n");

  settings_.teams_webhook.format("http://127.0.0.1:%d/webhookb2/abc?x=1&y=%%22", http.port);
  static HostTable table;  // too big for the stack
  EXPECT_EQ(run_notification_test(table, MonitorSettings(), settings_), 0);
  EXPECT_NE(capture.out().find("\nEmail    : OK\nTelegram : FAILED\nTeams    : OK\n"),
            std::string::npos);
  ASSERT_EQ(smtp_->join(), 0);
  ASSERT_EQ(http.join(), 0);
  expect_standard_mail("[TEST] linkwatch notification test");

  EXPECT_EQ(read_file("http/path"), "/webhookb2/abc?x=1&y=%22");
  EXPECT_EQ(read_file("http/content_type"), "application/json; charset=utf-8");
  const std::string card = read_file("http/body");
  EXPECT_NE(card.find("linkwatch notification test"), std::string::npos);
  EXPECT_NE(card.find("\"This is a test message from linkwatch.\""), std::string::npos);
  EXPECT_EQ(run({"-c", "import json,sys; json.load(open(sys.argv[1]))", "http/body"}), 0)
      << "the posted card is not valid JSON";
}

}  // namespace
}  // namespace lw
