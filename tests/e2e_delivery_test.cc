// Delivery through the real curl to tests/e2e's servers on 127.0.0.1: receiver.py (SMTP insisting
// on STARTTLS and a login; HTTP), mail_auth.py (login modes), webhook_receiver.py (HTTPS hooks).

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "config/notify_config.h"
#include "config/webhook_template.h"
#include "notify/alerts.h"
#include "notify/digest.h"
#include "notify/dispatch.h"
#include "notify/email.h"
#include "notify/selftest.h"
#include "platform/platform.h"
#include "support/capture.h"
#include "support/output.h"
#include "support/test_env.h"

namespace lw {
namespace {

using test::read_file;

constexpr const char kPython[] = "/usr/bin/python3";
const std::filesystem::path kScripts = std::filesystem::path(__FILE__).parent_path() / "e2e";

int run(const std::vector<std::string>& args, const char* program = kPython) {
  return test::run_program(args, program).first;
}

// Each test in its own folder with cert.pem and key.pem for 127.0.0.1; skipped without the real
// curl (e.g. under wine) or python3-aiosmtpd.
class E2eTest : public test::WorkDirTest {
 protected:
  void SetUp() override {
    if (run({"--version"}, "curl") != 0 || run({"-c", "import aiosmtpd"}) != 0)
      GTEST_SKIP() << "no real curl or no python3-aiosmtpd";
    ASSERT_EQ(run({"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "key.pem", "-out",
                   "cert.pem", "-days", "1", "-subj", "/CN=127.0.0.1", "-addext",
                   "subjectAltName=IP:127.0.0.1"},
                  "openssl"),
              0);
  }
};

// A server script of tests/e2e run on a thread of its own until it ends; the port numbers it
// wrote to `port_file` (0 when it did not start within 20 s).
struct Server {
  Server(const char* script, std::vector<std::string> args, const std::string& port_file) {
    args.insert(args.begin(), (kScripts / script).string());
    thread = std::jthread([this, args] { rc = run(args); });
    for (int i = 0; i < 200 && !test::file_exists(port_file); ++i) platform::sleep_ms(100);
    std::istringstream(test::file_exists(port_file) ? read_file(port_file) : "") >> port >> port2;
  }
  int join() {
    if (thread.joinable()) thread.join();
    return rc;
  }

  int port = 0, port2 = 0, rc = -2;
  std::jthread thread;  // last: joined before rc goes
};

class E2eDeliveryTest : public E2eTest {
 protected:
  void SetUp() override {
    E2eTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    smtp_ = std::make_unique<Server>(
        "receiver.py", std::vector<std::string>{"smtp", "smtp.port", "smtp", "cert.pem", "key.pem"},
        "smtp.port");
    ASSERT_GT(smtp_->port, 0) << "the SMTP receiver did not start";
    settings_.server.format("smtp://127.0.0.1:%d", smtp_->port);
    settings_.email.assign("ops@example.com");
    settings_.password.assign("p$w \"q\" 100% & c:\\dir\\");
    settings_.from.assign("Ops Team <monitor@example.com>");
    settings_.to.assign(" dev@example.com,, second@example.com ");
    settings_.email_enabled = 1;
    // The test's own certificate authority, as a company's mail server would have it.
    settings_.cacert.assign((work_dir() / "cert.pem").string().c_str());
  }

  // The received mail parses strictly with the headers every mail needs.
  void expect_standard_mail(const std::string& subject) {
    test::write_file("subject.txt", subject);
    EXPECT_EQ(run({(kScripts / "check_mail.py").string(), "smtp/data", "subject.txt",
                   settings_.from.c_str()}),
              0);
  }

  std::unique_ptr<Server> smtp_;
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
  const std::string data = read_file("smtp/data");
  EXPECT_EQ(data.substr(data.find("\r\n\r\n")),
            "\r\n\r\nHost: web01\r\n.\r\n..two\r\n.end\r\nDuration: 30 seconds\r\n\r\n");
  expect_standard_mail(subject);
}

TEST_F(E2eDeliveryTest, NotificationTestReachesMailAndWebHook) {
  Server http("receiver.py", {"http", "http.port", "http"}, "http.port");
  ASSERT_GT(http.port, 0) << "the HTTP receiver did not start";
  settings_.teams_enabled = 1;
  test::OutputCapture capture;
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

std::vector<std::string> split(const std::string& text, char separator) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string part; std::getline(in, part, separator);) out.push_back(part);
  return out;
}

std::string shown(const std::string& text) {
  std::string out;
  for (char c : text) {
    const char* escape = c == '\\' ? "\\\\" : c == '\n' ? "\\n" : c == '\r' ? "\\r" : "\\t";
    out += c && std::strchr("\\\n\r\t", c) ? std::string(escape) : std::string(1, c);
  }
  return out;
}

// linkwatch_email.txt of the `names` templates (the fenced block after
// "<!-- webhook template: NAME -->"), each address https://127.0.0.1:PORT/NAME.
NotifySettings load(const std::vector<std::string>& names, const std::string& port) {
  const auto doc =
      split(read_file(kScripts.parent_path().parent_path() / "docs" / "alerts.md"), '\n');
  std::string text = "cacert : \"" + std::filesystem::absolute("cert.pem").string() + "\"\n";
  for (const std::string& name : names) {
    size_t i = std::find(doc.begin(), doc.end(), "<!-- webhook template: " + name + " -->") -
               doc.begin() + 2;
    for (; i < doc.size() && doc[i].rfind("```", 0) != 0; ++i)
      text += doc[i].rfind("webhook_url", 0) != 0
                  ? doc[i] + "\n"
                  : "webhook_url : \"https://127.0.0.1:" + port + "/" + name + "\"\n";
  }
  test::write_file(kNotifyFileName, text);
  NotifySettings settings;
  test::OutputCapture capture;
  load_notify_config(&settings);
  EXPECT_EQ(capture.out(), "") << text;
  EXPECT_EQ(settings.webhook_count, static_cast<int>(names.size())) << "a template missing";
  return settings;
}

TEST_F(E2eTest, WebHooksOfTheDocsGetDownRecoveryAndDigestInEachServicesShape) {
  Server receiver("webhook_receiver.py", {"hooks.port", "hooks.txt", "cert.pem", "key.pem", "18"},
                  "hooks.port");
  ASSERT_GT(receiver.port, 0) << "the receiver did not start";
  const std::string port = std::to_string(receiver.port);
  const NotifySettings chat = load({"ntfy", "slack", "discord", "mattermost"}, port);
  const NotifySettings paging = load({"gotify", "pagerduty"}, port);

  HostEntry entry;
  entry.host.assign("web01.example");
  set_port_text(&entry, "443");
  entry.description.assign("Shop \"front\" caf\xC3\xA9");
  entry.first_fail_time = entry.down_since = 1700000000;
  std::unique_ptr<NotifyMessage> sent[3] = {new_message(), new_message(), new_message()};
  compose_down_alert(entry, entry, "connect \"refused\"\ttab \\ back", 1, sent[0].get());
  compose_recovery_alert(entry, entry, 1700000600, sent[1].get());
  std::vector<HeldAlert> held(80);
  for (size_t i = 0; i < held.size(); ++i) {
    held[i].kind = kDownAlert;
    held[i].host = entry;
    held[i].host.host.assign(("host-" + std::to_string(i) + ".example").c_str());
  }
  compose_digest(held.data(), held.size(), sent[2].get());
  ASSERT_GT(std::strlen(sent[2]->chat_text.c_str()), 3000u);  // longer than every limit below
  set_silent_mode(true);
  for (const auto& message : sent)
    for (const NotifySettings* settings : {&chat, &paging}) dispatch_message(*message, *settings);
  set_silent_mode(false);
  ASSERT_EQ(receiver.join(), 0) << "not every request arrived";

  std::map<std::string, std::vector<std::map<std::string, std::string>>> got;  // by path, in order
  std::string number;  // the receiver writes the fields of one request after another
  for (const std::string& line : split(read_file("hooks.txt"), '\n')) {
    const auto f = split(line, '\t');  // number, path, field, value
    if (f.size() < 3) continue;
    if (f[0] != number) got[f[1]].emplace_back(), number = f[0];
    got[f[1]].back()[f[2]] = f.size() > 3 ? f[3] : "";
  }

  // Per service: webhook_text_limit, field=value for all or DOWN,RECOVERY,digest
  // ("?": unchecked); $S: the message's subject, $T: its text.
  const std::tuple<const char*, size_t, const char*> services[] = {
      {"/ntfy", 0,
       "topic=replace-with-your-topic|title=$S|message=$T|priority=5,3,4|"
       "tags[0]=rotating_light,white_check_mark,bell"},
      {"/slack", 3000, "text=*$S*\\n$T"},
      {"/discord", 1500, "content=**$S**\\n$T"},
      {"/mattermost", 12000, "username=linkwatch|text=#### $S\\n$T"},
      {"/gotify", 0,
       "@header:x-gotify-key=replace-with-your-app-token|title=$S|message=$T|priority=8,4,8"},
      {"/pagerduty", 0,
       "routing_key=replace-with-your-integration-key|event_action=trigger,resolve,trigger|"
       "dedup_key=web01.example:443,web01.example:443,?|payload.summary=$S|"
       "payload.source=linkwatch web01.example:443,linkwatch web01.example:443,?|"
       "payload.severity=critical,info,critical"},
  };
  const std::string kCommon =
      "@method=POST|@json=1|@header:content-type=application/json; charset=utf-8|";
  for (const auto& [path, limit, fields] : services) {
    ASSERT_EQ(got[path].size(), 3u) << path;
    for (const std::string& pair : split(kCommon + std::string(fields), '|')) {
      const std::string field = pair.substr(0, pair.find('='));
      const auto values = split(pair.substr(pair.find('=') + 1), ',');
      for (size_t i = 0; i < 3; ++i) {
        std::string want = values[values.size() == 3 ? i : 0];
        if (want == "?") continue;
        const char* text = sent[i]->chat_text.c_str();
        if (size_t at = want.find("$S"); at != std::string::npos)
          want.replace(at, 2, shown(sent[i]->subject.c_str()));
        if (size_t at = want.find("$T"); at != std::string::npos)
          want.replace(at, 2, shown(limit ? cut_at_line(text, limit) : text));
        EXPECT_EQ(got[path][i][field], want) << path << " " << field << " " << i;
      }
    }
  }
}

// serve() runs mail_auth.py <dir> [<expires_in>] until the test ends; s_ mails to it.
class E2eMailAuthTest : public E2eTest {
 protected:
  void TearDown() override {
    if (server_) test::write_file("stop", ""), server_->join();
  }
  int serve(const std::string& dir, std::vector<std::string> args) {
    args.insert(args.begin(), dir);
    server_ = std::make_unique<Server>("mail_auth.py", args, dir + "/port");
    s_.server.format("smtp://127.0.0.1:%d", server_->port);
    s_.from.assign("Monitor <m@example.com>");
    s_.email_enabled = 1;
    return args.size() > 1 ? server_->port2 : server_->port;  // 0: it did not start
  }
  NotifySettings s_;
  std::unique_ptr<Server> server_;
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
