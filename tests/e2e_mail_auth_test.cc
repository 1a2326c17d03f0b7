// The e-mail login modes through the real curl to tests/e2e/mail_auth.py on 127.0.0.1.

#include <gtest/gtest.h>

#include <sstream>
#include <thread>

#include "notify/email.h"
#include "notify/oauth2_token.h"
#include "support/capture.h"
#include "support/command_recorder.h"

namespace lw {
namespace {

using test::read_file;
constexpr const char kPython[] = "/usr/bin/python3";

// Runs the real curl, with each command's arguments added to `argv_seen`.
int real_curl(void* argv_seen, const Command& command, char* out) {
  for (const char* const* a = command.argv; *a; ++a) *static_cast<std::string*>(argv_seen) += *a;
  Environment real = current_environment();
  real.run = nullptr;
  const Environment hooked = replace_environment(real);
  const int rc = out ? run_command_capture(command, out) : run_command(command);
  replace_environment(hooked);
  return rc;
}

// serve() starts mail_auth.py <dir> <args> on a thread and gives the settings of a mail to it.
class E2eMailAuthTest : public test::WorkDirTest {
 protected:
  void SetUp() override {
    if (test::run_program({"--version"}, "curl").first != 0) GTEST_SKIP() << "no real curl";
    if (test::run_program({"-c", "import aiosmtpd"}, kPython).first != 0) GTEST_SKIP();
  }
  void TearDown() override {
    if (server_.joinable()) test::write_file(dir_ + "/stop", ""), server_.join();
    forget_mail_token();
  }
  NotifySettings serve(const std::string& dir, std::vector<std::string> args = {}) {
    dir_ = dir;
    const auto script = std::filesystem::path(__FILE__).parent_path() / "e2e" / "mail_auth.py";
    args.insert(args.begin(), {script.string(), dir});
    server_ = std::thread([args] { test::run_program(args, kPython); });
    for (int i = 0; i < 200 && !test::file_exists(dir + "/port"); ++i) platform::sleep_ms(100);
    std::istringstream(read_file(dir + "/port")) >> port_ >> token_port_;
    NotifySettings s;
    s.server.format("smtp://127.0.0.1:%d", port_);
    s.from.assign("Monitor <m@example.com>");
    s.email.assign("alerts@example.com");
    s.to.assign("ops@example.com");
    s.email_enabled = 1;
    return s;
  }
  std::string dir_;
  int port_ = 0, token_port_ = 0;
  std::thread server_;
};

// Two mails with XOAUTH2: the token comes from the HTTPS endpoint with the whole form, and one of
// 30 s (within the 60 s margin) is fetched anew; the token is in no argument, file or log.
TEST_F(E2eMailAuthTest, XOAuth2MailWithAFetchedToken) {
  NotifySettings s = serve("oauth2", {"30"});
  ASSERT_GT(token_port_, 0) << "the servers did not start";
  s.smtp_auth.assign("oauth2");
  s.oauth2_token_url.format("https://127.0.0.1:%d/token", token_port_);
  s.oauth2_client_id.assign("e2e-client");
  s.oauth2_client_secret.assign("s3cr&t =+%");
  s.oauth2_scope.assign("https://outlook.office365.com/.default");
  s.cacert.assign((work_dir() / "oauth2" / "cert.pem").string().c_str());
  std::string argv_seen;
  test::ScopedEnvironment env;
  env.set_runner(real_curl, &argv_seen);
  test::OutputCapture capture;
  for (const char* subject : {"First", "Second"}) {
    EXPECT_EQ(send_mail_message(s, s.to.c_str(), subject, "body", true), 1)
        << read_file("linkwatch_log.txt");
  }
  std::string tokens[2];
  std::istringstream(read_file("oauth2/tokens")) >> tokens[0] >> tokens[1];
  EXPECT_EQ(read_file("oauth2/token_body.1"),
            "grant_type=client_credentials&client_id=e2e-client&client_secret=s3cr%26t%20%3D%2B%25"
            "&scope=https%3A%2F%2Foutlook.office365.com%2F.default");
  EXPECT_EQ(read_file("oauth2/mail.1"),
            "alerts@example.com " + tokens[0] + " m@example.com ops@example.com First");
  EXPECT_EQ(read_file("oauth2/mail.2"),
            "alerts@example.com " + tokens[1] + " m@example.com ops@example.com Second");
  EXPECT_NE(argv_seen.find("smtp://127.0.0.1:"), std::string::npos);
  for (const std::string& secret : {tokens[0], tokens[1], std::string("s3cr")}) {
    EXPECT_EQ(argv_seen.find(secret), std::string::npos);
    for (const auto& entry : std::filesystem::directory_iterator(".")) {
      if (entry.is_regular_file())
        EXPECT_EQ(read_file(entry.path()).find(secret), std::string::npos) << entry.path();
    }
  }
}

// A relay without STARTTLS or AUTH takes a mail with smtp_auth "none" and smtp_tls "try";
// without "try" curl refuses to send in clear.
TEST_F(E2eMailAuthTest, RelayWithoutLoginOrTls) {
  NotifySettings s = serve("relay");
  ASSERT_GT(port_, 0) << "the relay did not start";
  s.email.clear();
  s.smtp_auth.assign("none");
  test::OutputCapture capture;
  SendOutcome outcome;
  EXPECT_EQ(send_mail_message(s, s.to.c_str(), "Relay", "body", true, &outcome), 0);
  EXPECT_EQ(outcome.curl_code, 64);  // "Requested SSL level failed"
  EXPECT_FALSE(test::file_exists("relay/mail.1"));
  s.smtp_tls.assign("try");
  EXPECT_EQ(send_mail_message(s, s.to.c_str(), "Relay", "body", true), 1);
  EXPECT_EQ(read_file("relay/mail.1"), "  m@example.com ops@example.com Relay");
}

}  // namespace
}  // namespace lw
