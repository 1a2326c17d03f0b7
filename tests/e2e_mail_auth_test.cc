// The e-mail login modes through the real curl to tests/e2e/mail_auth.py on 127.0.0.1: a mail
// server that takes only XOAUTH2 with a token from its own HTTPS token endpoint, and a relay
// without STARTTLS and without a login.

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "notify/email.h"
#include "notify/oauth2_token.h"
#include "platform/platform.h"
#include "support/capture.h"
#include "support/runner.h"
#include "support/test_env.h"

namespace lw {
namespace {

using test::file_exists;
using test::read_file;

constexpr const char kPython[] = "/usr/bin/python3";

int run(const std::vector<std::string>& args, bool discard = true) {
  std::vector<const char*> argv;
  for (const std::string& a : args) argv.push_back(a.c_str());
  argv.push_back(nullptr);
  Command command;
  command.argv = argv.data();
  command.discard_output = discard;
  return run_command(command, 90000);
}

// mail_auth.py run on a thread of its own until it has what it waits for.
struct Servers {
  Servers(const std::string& mode, std::vector<std::string> args) {
    const auto script = std::filesystem::path(__FILE__).parent_path() / "e2e" / "mail_auth.py";
    args.insert(args.begin(), {kPython, script.string(), mode, mode + ".port", mode});
    thread = std::thread([this, args] { rc = run(args, false); });
    const std::string port_file = mode + ".port";
    for (int i = 0; i < 200 && !file_exists(port_file); ++i) platform::sleep_ms(100);
    if (file_exists(port_file)) {
      std::istringstream ports(read_file(port_file));
      ports >> port >> second_port;
    }
  }
  ~Servers() { join(); }
  int join() {
    if (thread.joinable()) thread.join();
    return rc;
  }

  int port = 0;  // 0 when they did not start within 20 s
  int second_port = 0;
  std::thread thread;
  int rc = -2;
};

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

class E2eMailAuthTest : public test::WorkDirTest {
 protected:
  void SetUp() override {
    if (run({"curl", "--version"}) != 0) GTEST_SKIP() << "no real curl (e.g. under wine)";
    if (run({kPython, "-c", "import aiosmtpd"}) != 0) GTEST_SKIP() << "python3-aiosmtpd missing";
    forget_mail_token();
  }
  void TearDown() override { forget_mail_token(); }
};

// Two mails with smtp_auth "oauth2": the token comes from the HTTPS endpoint, the form with the
// client secret reached it whole, and a token of 30 seconds (within the 60 s margin) is fetched
// anew for the second mail. The token is in no file of ours and not in the log.
TEST_F(E2eMailAuthTest, XOAuth2MailWithAFetchedToken) {
  ASSERT_EQ(run({"openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "key.pem",
                 "-out", "cert.pem", "-days", "1", "-subj", "/CN=127.0.0.1", "-addext",
                 "subjectAltName=IP:127.0.0.1"}),
            0);
  Servers servers("oauth2", {"cert.pem", "key.pem", "2", "30"});
  ASSERT_GT(servers.port, 0) << "the servers did not start";
  NotifySettings s;
  s.server.format("smtp://127.0.0.1:%d", servers.port);
  s.email.assign("alerts@example.com");
  s.to.assign("ops@example.com");
  s.smtp_auth.assign("oauth2");
  s.oauth2_token_url.format("https://127.0.0.1:%d/token", servers.second_port);
  s.oauth2_client_id.assign("e2e-client");
  s.oauth2_client_secret.assign("s3cr&t =+%");
  s.oauth2_scope.assign("https://outlook.office365.com/.default");
  s.cacert.assign((work_dir() / "cert.pem").string().c_str());
  s.email_enabled = 1;
  test::OutputCapture capture;
  SendOutcome outcome;
  EXPECT_EQ(send_mail_message(s, s.to.c_str(), "First", "one", true, &outcome), 1)
      << read_file("linkwatch_log.txt");
  EXPECT_EQ(send_mail_message(s, s.to.c_str(), "Second", "two", true), 1)
      << read_file("linkwatch_log.txt");
  ASSERT_EQ(servers.join(), 0) << "the mails did not arrive";

  const std::vector<std::string> tokens = lines_of(read_file("oauth2/tokens"));
  ASSERT_EQ(tokens.size(), 2u);  // fetched again: 30 s lie within the margin
  EXPECT_EQ(read_file("oauth2/token_body.1"),
            "grant_type=client_credentials&client_id=e2e-client&client_secret=s3cr%26t%20%3D%2B%25"
            "&scope=https%3A%2F%2Foutlook.office365.com%2F.default");
  for (int n : {1, 2}) {
    const std::string mail = "oauth2/mail." + std::to_string(n);
    EXPECT_EQ(read_file(mail + ".user"), "alerts@example.com");
    EXPECT_EQ(read_file(mail + ".token"), tokens[n - 1]);
  }
  EXPECT_NE(read_file("oauth2/mail.2.data").find("Subject: Second"), std::string::npos);
  // Our own files: the log, and nothing left behind by the sends.
  for (const auto& entry : std::filesystem::directory_iterator(".")) {
    if (entry.is_directory()) continue;
    const std::string text = read_file(entry.path());
    for (const std::string& token : tokens) {
      EXPECT_EQ(text.find(token), std::string::npos) << entry.path();
    }
    EXPECT_EQ(text.find("s3cr"), std::string::npos) << entry.path();
  }
  EXPECT_NE(read_file("linkwatch_log.txt").find("Email: sent (SMTP 250)"), std::string::npos);
}

// A relay that offers neither STARTTLS nor AUTH takes a mail with smtp_auth "none" and
// smtp_tls "try"; no login is sent.
TEST_F(E2eMailAuthTest, RelayWithoutLoginOrTls) {
  Servers relay("relay", {});
  ASSERT_GT(relay.port, 0) << "the relay did not start";
  NotifySettings s;
  s.server.format("smtp://127.0.0.1:%d", relay.port);
  s.from.assign("Monitor <monitor@example.com>");
  s.to.assign("ops@example.com");
  s.smtp_auth.assign("none");
  s.smtp_tls.assign("try");
  s.email_enabled = 1;
  test::OutputCapture capture;
  EXPECT_EQ(send_mail_message(s, s.to.c_str(), "Relay", "body", false), 1)
      << read_file("linkwatch_log.txt");
  ASSERT_EQ(relay.join(), 0) << "no mail arrived";
  EXPECT_EQ(read_file("relay/mail_from"), "monitor@example.com");
  EXPECT_EQ(read_file("relay/rcpt"), "ops@example.com");
  const std::string ehlo = read_file("relay/ehlo");
  EXPECT_EQ(ehlo.find("STARTTLS"), std::string::npos) << ehlo;
  EXPECT_EQ(ehlo.find("AUTH"), std::string::npos) << ehlo;
  EXPECT_NE(read_file("relay/data").find("Subject: Relay"), std::string::npos);

  // The same relay with smtp_tls absent ("required"): curl refuses to send in clear.
  std::filesystem::remove("relay.port");
  Servers again("relay", {});
  ASSERT_GT(again.port, 0);
  s.server.format("smtp://127.0.0.1:%d", again.port);
  s.smtp_tls.clear();
  SendOutcome outcome;
  EXPECT_EQ(send_mail_message(s, s.to.c_str(), "Relay", "body", true, &outcome), 0);
  EXPECT_EQ(outcome.curl_code, 64);  // "Requested SSL level failed"
  test::write_file("relay/stop", "");
  EXPECT_EQ(again.join(), 3);  // nothing arrived
}

}  // namespace
}  // namespace lw
