// The e-mail login modes through the real curl to tests/e2e/mail_auth.py on 127.0.0.1.

#include <gtest/gtest.h>

#include <sstream>
#include <thread>

#include "notify/email.h"
#include "support/capture.h"
#include "support/command_recorder.h"

namespace lw {
namespace {

using test::read_file;

// serve() runs mail_auth.py <dir> [<expires_in>] on a thread until the test ends; s_ mails to it.
class E2eMailAuthTest : public test::WorkDirTest {
 protected:
  void SetUp() override {
    if (test::run_program({"--version"}, "curl").first != 0 ||
        test::run_program({"-c", "import aiosmtpd"}, "/usr/bin/python3").first != 0)
      GTEST_SKIP() << "no real curl or no python3-aiosmtpd";
    s_.from.assign("Monitor <m@example.com>");
    s_.email_enabled = 1;
  }
  void TearDown() override {
    if (server_.joinable()) test::write_file("stop", ""), server_.join();
  }
  int serve(const std::string& dir, std::vector<std::string> args) {
    const auto script = std::filesystem::path(__FILE__).parent_path() / "e2e" / "mail_auth.py";
    args.insert(args.begin(), {script.string(), dir});
    server_ = std::thread([args] { test::run_program(args, "/usr/bin/python3"); });
    for (int i = 0; i < 200 && !test::file_exists(dir + "/port"); ++i) platform::sleep_ms(100);
    int port = 0, token_port = 0;
    std::istringstream(read_file(dir + "/port")) >> port >> token_port;
    s_.server.format("smtp://127.0.0.1:%d", port);
    return args.size() > 2 ? token_port : port;  // 0: it did not start
  }
  NotifySettings s_;
  std::thread server_;
};

// Two mails with XOAUTH2 and a token from the HTTPS endpoint; one of 30 s (within the 60 s
// margin) is fetched anew. The token is in no file or log (in no argument: MailAuthTest).
TEST_F(E2eMailAuthTest, XOAuth2MailWithAFetchedToken) {
  const int token_port = serve("oauth2", {"30"});
  ASSERT_GT(token_port, 0) << "the servers did not start";
  s_.email.assign("alerts@example.com");
  s_.smtp_auth.assign("oauth2");
  s_.oauth2_token_url.format("https://127.0.0.1:%d/token", token_port);
  s_.oauth2_client_id.assign("e2e-client");
  s_.oauth2_client_secret.assign("s3cr&t =+%");
  s_.oauth2_scope.assign("https://outlook.office365.com/.default");
  s_.cacert.assign((work_dir() / "oauth2" / "cert.pem").string().c_str());
  std::string tokens[2];
  test::OutputCapture capture;
  for (const char* subject : {"First", "Second"}) {
    EXPECT_EQ(send_mail_message(s_, "ops@example.com", subject, "body", true), 1)
        << read_file("linkwatch_log.txt");
  }
  std::istringstream(read_file("oauth2/tokens")) >> tokens[0] >> tokens[1];
  EXPECT_EQ(read_file("oauth2/mail.1"),
            "alerts@example.com " + tokens[0] + " m@example.com ops@example.com First");
  EXPECT_EQ(read_file("oauth2/mail.2"),
            "alerts@example.com " + tokens[1] + " m@example.com ops@example.com Second");
  for (const std::string& token : tokens) {
    for (const auto& entry : std::filesystem::directory_iterator(".")) {  // a folder reads ""
      EXPECT_EQ(read_file(entry.path()).find(token), std::string::npos) << entry.path();
    }
  }
}

// A relay without STARTTLS or AUTH takes a mail with smtp_auth "none" and smtp_tls "try";
// without "try" curl refuses to send in clear.
TEST_F(E2eMailAuthTest, RelayWithoutLoginOrTls) {
  ASSERT_GT(serve("relay", {}), 0) << "the relay did not start";
  s_.smtp_auth.assign("none");
  test::OutputCapture capture;
  SendOutcome outcome;
  EXPECT_EQ(send_mail_message(s_, "ops@example.com", "Clear", "body", true, &outcome), 0);
  EXPECT_EQ(outcome.curl_code, 64);  // "Requested SSL level failed"
  s_.smtp_tls.assign("try");
  EXPECT_EQ(send_mail_message(s_, "ops@example.com", "Relay", "body", true), 1);
  EXPECT_EQ(read_file("relay/mail.1"), "  m@example.com ops@example.com Relay");
}

}  // namespace
}  // namespace lw
