// Delivery through the real transfer program to real servers on 127.0.0.1:
// an SMTP server that insists on STARTTLS and a login, and an HTTP web hook.
// Both are run by tests/e2e/receiver.py, which saves what arrived.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "notify/dispatch.h"
#include "notify/selftest.h"
#include "platform/platform.h"
#include "support/capture.h"
#include "support/fixed_text.h"
#include "support/runner.h"
#include "support/test_env.h"

namespace lw {
namespace {

namespace fs = std::filesystem;
using test::file_exists;
using test::read_file;

constexpr const char kPython[] = "/usr/bin/python3";

fs::path receiver_script() { return fs::path(__FILE__).parent_path() / "e2e" / "receiver.py"; }

bool on_path(const std::string& program) {
  const char* path = std::getenv("PATH");
  std::string list = path ? path : "";
  size_t start = 0;
  while (start <= list.size()) {
    size_t end = list.find(platform::kPathListSeparator, start);
    if (end == std::string::npos) end = list.size();
    std::string dir = list.substr(start, end - start);
    if (!dir.empty() && file_exists(fs::path(dir) / (program + platform::kExecutableSuffix))) {
      return true;
    }
    start = end + 1;
  }
  return false;
}

int run_quietly(std::vector<std::string> args) {
  std::vector<const char*> argv;
  for (const std::string& a : args) argv.push_back(a.c_str());
  argv.push_back(nullptr);
  Command command;
  command.argv = argv.data();
  command.discard_output = true;
  return run_command(command, 60000);
}

// One receiver run on a thread of its own until it has saved one message.
class Receiver {
 public:
  explicit Receiver(std::vector<std::string> args) : args_(std::move(args)) {
    thread_ = std::thread([this] {
      std::vector<const char*> argv;
      for (const std::string& a : args_) argv.push_back(a.c_str());
      argv.push_back(nullptr);
      Command command;
      command.argv = argv.data();
      rc_ = run_command(command, 90000);
    });
  }
  ~Receiver() { join(); }

  // The port written to `port_file`, 0 when none appeared within 20 s.
  static int wait_port(const std::string& port_file) {
    for (int i = 0; i < 200; ++i) {
      if (file_exists(port_file)) return to_int(read_file(port_file).c_str());
      platform::sleep_ms(100);
    }
    return 0;
  }
  int join() {
    if (thread_.joinable()) thread_.join();
    return rc_;
  }

 private:
  std::vector<std::string> args_;
  std::thread thread_;
  int rc_ = -2;
};

// Lets the transfer program trust the test's own certificate; linkwatch
// itself reads no environment variable.
class TrustTestCertificate {
 public:
  explicit TrustTestCertificate(const fs::path& cert) {
    platform::set_env("CURL_CA_BUNDLE", cert.string().c_str());
  }
  ~TrustTestCertificate() { platform::set_env("CURL_CA_BUNDLE", nullptr); }
};

class E2eDeliveryTest : public test::WorkDirTest {
 protected:
  void SetUp() override {
    if (!on_path("curl")) GTEST_SKIP() << "no real curl on PATH (e.g. under wine)";
    if (!file_exists(kPython)) GTEST_SKIP() << kPython << " is missing";
    if (!on_path("openssl")) GTEST_SKIP() << "openssl is missing";
    if (run_quietly({kPython, "-c", "import aiosmtpd"}) != 0) {
      GTEST_SKIP() << "python3-aiosmtpd is missing";
    }
    ASSERT_EQ(run_quietly({"openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout",
                           "key.pem", "-out", "cert.pem", "-days", "1", "-subj", "/CN=127.0.0.1",
                           "-addext", "subjectAltName=IP:127.0.0.1"}),
              0);
  }

  std::unique_ptr<Receiver> start_smtp(int* port) {
    auto receiver = std::make_unique<Receiver>(std::vector<std::string>{
        kPython, receiver_script().string(), "smtp", "smtp.port", "smtp", "cert.pem", "key.pem"});
    *port = Receiver::wait_port("smtp.port");
    return receiver;
  }
  std::unique_ptr<Receiver> start_http(int* port) {
    auto receiver = std::make_unique<Receiver>(
        std::vector<std::string>{kPython, receiver_script().string(), "http", "http.port", "http"});
    *port = Receiver::wait_port("http.port");
    return receiver;
  }

  NotifySettings mail_settings(int port) {
    NotifySettings s;
    s.server.format("smtp://127.0.0.1:%d", port);
    s.email.assign("ops@example.com");
    s.password.assign("p$w \"q\" 100% & c:\\dir\\");
    s.from.assign("monitor@example.com");
    s.to.assign(" dev@example.com,, second@example.com ");
    s.email_enabled = 1;
    return s;
  }
};

TEST_F(E2eDeliveryTest, AlertMailArrivesWhole) {
  int port = 0;
  auto smtp = start_smtp(&port);
  ASSERT_GT(port, 0) << "the SMTP receiver did not start";
  NotifySettings settings = mail_settings(port);

  NotifyMessage message;
  message.kind = kDownAlert;
  message.subject.assign("Alert for 443. web01 443 Timeout(10:00:30).");
  // Lines that SMTP itself would otherwise read as the end of the data.
  message.body.assign("Host: web01\n.\n..two\r\n.end\nDuration: 30 seconds\n");
  test::OutputCapture capture;
  {
    TrustTestCertificate trust(work_dir() / "cert.pem");
    dispatch_message(message, settings);
  }
  EXPECT_EQ(capture.out(), "Sending mail alert now .....\nEmail command rc=0\n");
  ASSERT_EQ(smtp->join(), 0) << "no message arrived";

  EXPECT_EQ(read_file("smtp/login"), "ops@example.com");
  EXPECT_EQ(read_file("smtp/password"), "p$w \"q\" 100% & c:\\dir\\");
  EXPECT_EQ(read_file("smtp/mail_from"), "monitor@example.com");
  EXPECT_EQ(read_file("smtp/rcpt"), "dev@example.com\nsecond@example.com");
  EXPECT_EQ(read_file("smtp/data"),
            "From: monitor@example.com\r\n"
            "To:  dev@example.com,, second@example.com \r\n"
            "Subject: Alert for 443. web01 443 Timeout(10:00:30).\r\n"
            "Content-Type: text/plain; charset=UTF-8\r\n"
            "\r\n"
            "Host: web01\r\n.\r\n..two\r\n.end\r\nDuration: 30 seconds\r\n\r\n");
  EXPECT_FALSE(file_exists("mailtext.txt"));
}

TEST_F(E2eDeliveryTest, NotificationTestReachesMailAndWebHook) {
  int smtp_port = 0;
  int http_port = 0;
  auto smtp = start_smtp(&smtp_port);
  auto http = start_http(&http_port);
  ASSERT_GT(smtp_port, 0);
  ASSERT_GT(http_port, 0);
  NotifySettings settings = mail_settings(smtp_port);
  settings.teams_webhook.format("http://127.0.0.1:%d/webhookb2/abc?x=1&y=%%22", http_port);
  settings.teams_enabled = 1;
  HostTable table;
  table.host_count = 2;
  MonitorSettings monitor;

  test::OutputCapture capture;
  int rc;
  {
    TrustTestCertificate trust(work_dir() / "cert.pem");
    rc = run_notification_test(table, monitor, settings);
  }
  EXPECT_EQ(rc, 0);
  std::string out = capture.out();
  EXPECT_NE(out.find("Email command rc=0\nEmail test OK\n"), std::string::npos) << out;
  EXPECT_NE(out.find("Teams command rc=0\nTeams test OK\n"), std::string::npos) << out;
  EXPECT_NE(out.find("\nTest result:\nEmail    : OK\nTelegram : FAILED\nTeams    : OK\n"),
            std::string::npos)
      << out;
  ASSERT_EQ(smtp->join(), 0);
  ASSERT_EQ(http->join(), 0);

  std::string mail = read_file("smtp/data");
  EXPECT_EQ(mail.rfind("From: monitor@example.com\r\n", 0), 0u) << mail;
  EXPECT_NE(mail.find("\r\nSubject: [TEST] linkwatch notification test\r\n"), std::string::npos);
  EXPECT_NE(mail.find("\r\nTargets: 2\r\nWorkers: 2\r\n\r\nIf you received this message, "
                      "notification is working correctly.\r\n\r\n"),
            std::string::npos)
      << mail;

  EXPECT_EQ(read_file("http/method"), "POST");
  EXPECT_EQ(read_file("http/path"), "/webhookb2/abc?x=1&y=%22");
  EXPECT_EQ(read_file("http/content_type"), "application/json; charset=utf-8");
  std::string card = read_file("http/body");
  EXPECT_EQ(card.rfind("{\n  \"type\": \"message\",\n", 0), 0u) << card;
  EXPECT_NE(card.find("\"text\": \"[TEST] linkwatch notification test\",\n"), std::string::npos);
  EXPECT_NE(card.find("\"text\": \"This is a test message from linkwatch.\\n\\nHost: "),
            std::string::npos);
  EXPECT_EQ(
      run_quietly({kPython, "-c", "import json,sys; json.load(open(sys.argv[1]))", "http/body"}), 0)
      << "the posted card is not valid JSON";
  EXPECT_FALSE(file_exists("mailtext.txt"));
  EXPECT_FALSE(file_exists("teamsmsg.json"));
}

}  // namespace
}  // namespace lw
