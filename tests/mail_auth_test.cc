// The e-mail login modes, smtp_tls and no_proxy as curl sees them; the OAuth 2.0 token request,
// its answer and its keeping; the hint after a refused login; what "-check" says of the keys.

#include <gtest/gtest.h>

#include <deque>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "config/check.h"
#include "config/mail_auth_check.h"
#include "notify/email.h"
#include "notify/oauth2_token.h"
#include "support/capture.h"
#include "support/command_recorder.h"

namespace lw {
namespace {

using Args = std::vector<std::string>;

Args args_of(const char* const* argv) {
  Args args;
  for (; *argv; ++argv) args.emplace_back(*argv);
  return args;
}

int64_t fake_now = 1'000'000;
int64_t fake_clock() { return fake_now; }

// Runs every test in its own folder with a stand-in curl that answers the queued
// {exit code, output} in turn (a mail's "250" when none is left), and a clock of its own.
class MailAuthTest : public test::WorkDirTest {
 protected:
  struct Call {
    Args argv;
    std::string input;
  };
  void SetUp() override {
    forget_mail_token();
    env_.set_clock(fake_clock);
    env_.set_runner(&MailAuthTest::curl, this);
  }
  void TearDown() override { forget_mail_token(); }
  static int curl(void* self_, const Command& command, char* out) {
    auto* self = static_cast<MailAuthTest*>(self_);
    self->calls.push_back({args_of(command.argv), command.input ? command.input : ""});
    std::pair<int, std::string> answer{0, "250"};
    if (!self->answers.empty()) answer = self->answers.front(), self->answers.pop_front();
    if (out) std::snprintf(out, kCaptureBufferSize, "%s", answer.second.c_str());
    return answer.first;
  }
  void queue_token(const std::string& token, int expires_in) {
    answers.push_back({0, R"({"token_type":"Bearer","expires_in":)" + std::to_string(expires_in) +
                              R"(,"access_token":")" + token + "\"}\n200 "});
  }
  static NotifySettings settings(const char* mode) {
    NotifySettings s;
    s.server.assign("smtp://relay:25");
    s.email.assign("u@x");
    s.password.assign("p\"w");
    s.to.assign("a@x");
    s.smtp_auth.assign(mode);
    s.oauth2_token_url.assign("https://login.example/token");
    s.oauth2_client_id.assign("client-1");
    s.oauth2_client_secret.assign("s3cr&t=+ %/\"x");
    s.oauth2_scope.assign("https://outlook.office365.com/.default");
    s.email_enabled = 1;
    return s;
  }
  std::deque<std::pair<int, std::string>> answers;
  std::vector<Call> calls;
  test::ScopedEnvironment env_;
};

// The mail's curl call of each mode and key; all absent is the call of before, byte for byte.
TEST_F(MailAuthTest, MailCallOfEachModeAndKey) {
  const struct {
    const char *mode, *tls, *proxy, *no_proxy, *ssl, *input;
  } cases[] = {
      {"", "", "", "", "--ssl-reqd", "user = \"u@x:p\\\"w\"\nshow-error\n"},
      {"password", "try", "", "", "--ssl-reqd", "user = \"u@x:p\\\"w\"\nshow-error\n"},
      {"", "try", "", "", "--ssl-reqd", "user = \"u@x:p\\\"w\"\nshow-error\n"},
      {"none", "", "", "", "--ssl-reqd", "show-error\n"},
      {"none", "try", "", "relay.corp", "--ssl", "noproxy = \"relay.corp\"\nshow-error\n"},
      {"oauth2", "try", "", "", "--ssl-reqd",
       "user = \"u@x:\"\noauth2-bearer = \"tok.1\"\nshow-error\n"},
      {"", "", "http://proxy:3128", "relay.corp, .corp.example", "--ssl-reqd",
       "user = \"u@x:p\\\"w\"\nproxy = \"http://proxy:3128\"\n"
       "noproxy = \"relay.corp, .corp.example\"\nshow-error\n"},
  };
  for (const auto& c : cases) {
    NotifySettings s = settings(c.mode);
    s.smtp_tls.assign(c.tls);
    s.proxy.assign(c.proxy);
    s.no_proxy.assign(c.no_proxy);
    if (s.smtp_auth == "oauth2") queue_token("tok.1", 3600);
    test::OutputCapture capture;
    ASSERT_EQ(send_mail_message(s, "a@x", "S", "B", true), 1) << c.mode;
    Args argv = calls.back().argv;
    ASSERT_EQ(argv.size(), 18u);
    argv[15] = "F";
    EXPECT_EQ(Args(argv.begin() + 1, argv.end()),
              (Args{"-s", "--connect-timeout", "10", "--max-time", "60", "-w", "%{response_code}",
                    "smtp://relay:25", "--mail-from", "u@x", c.ssl, "--config", "-", "-T", "F",
                    "--mail-rcpt", "a@x"}));
    EXPECT_EQ(calls.back().input, c.input);
  }
}

// E-mail is on when the mode's own keys are there: a relay needs no password.
TEST_F(MailAuthTest, LoaderTurnsMailOnByMode) {
  const std::string relay = "server:\"smtp://relay:25\"\nto:\"a@x\"\nsmtp_auth:\"none\"\n";
  const std::string oauth =
      "server:\"s\"\nemail:\"e\"\nto:\"a@x\"\nsmtp_auth:\"oauth2\"\n"
      "oauth2_client_id:\"c\"\n";
  const std::string url = "oauth2_token_url:\"https://t/x\"\n", scope = "oauth2_scope:\"sc\"\n";
  const std::pair<std::string, int> cases[] = {
      {relay + "from:\"m@x\"\n", 1},
      {relay + "email:\"m@x\"\n", 1},
      {relay, 0},
      {"server:\"smtp://relay:25\"\nto:\"a@x\"\nfrom:\"m@x\"\n", 0},
      {oauth + url + scope + "oauth2_client_secret:\"cs\"\n", 1},
      {oauth + url + scope + "oauth2_refresh_token:\"r\"\n", 1},
      {oauth + url + scope, 0},
      {oauth + url + "oauth2_client_secret:\"cs\"\n", 0},
      {oauth + scope + "oauth2_client_secret:\"cs\"\n", 0},
      {oauth + scope + "oauth2_token_url:\"http://t/x\"\noauth2_client_secret:\"cs\"\n", 0},
      {oauth + url + scope + "oauth2_client_secret:\"cs\"\nsmtp_auth:\"password\"\n", 0},
  };
  for (const auto& [text, enabled] : cases) {
    test::write_file(kNotifyFileName, text);
    NotifySettings s;
    test::OutputCapture capture;
    load_notify_config(&s);
    EXPECT_EQ(s.email_enabled, enabled) << text;
  }
}

TEST_F(MailAuthTest, OAuth2SecretsAreStoredProtected) {
  test::write_file(kNotifyFileName,
                   "oauth2_client_secret:\"cs~1\"\noauth2_refresh_token:\"1//rt\"\n"
                   "oauth2_client_id:\"plain-id\"\n");
  NotifySettings s;
  test::OutputCapture capture;
  load_notify_config(&s);
  const std::string file = test::read_file(kNotifyFileName);
  EXPECT_EQ(file.find("cs~1"), std::string::npos);
  EXPECT_EQ(file.find("1//rt"), std::string::npos);
  EXPECT_NE(file.find("oauth2_client_id:\"plain-id\""), std::string::npos);
  EXPECT_EQ(s.oauth2_client_secret, "cs~1");
  EXPECT_EQ(s.oauth2_refresh_token, "1//rt");
}

// The form, URL-encoded with the secret, goes in the config text on standard input only.
TEST_F(MailAuthTest, TokenRequest) {
  NotifySettings s = settings("oauth2");
  s.proxy.assign("http://proxy:3128");
  s.no_proxy.assign("relay.corp");
  s.cacert.assign("ca.pem");
  TokenRequest request;
  ASSERT_TRUE(build_token_request(s, &request));
  const Args argv = args_of(request.argv);
  EXPECT_EQ(Args(argv.begin() + 7, argv.end()),
            (Args{"\\n%{http_code} %header{retry-after}", "--cacert", "ca.pem", "--config", "-"}));
  EXPECT_EQ(request.config.c_str(),
            std::string("url = \"https://login.example/token\"\n"
                        "data-raw = \"grant_type=client_credentials&client_id=client-1"
                        "&client_secret=s3cr%26t%3D%2B%20%25%2F%22x"
                        "&scope=https%3A%2F%2Foutlook.office365.com%2F.default\"\n"
                        "proxy = \"http://proxy:3128\"\nnoproxy = \"relay.corp\"\nshow-error\n"));
  s.oauth2_token_url.assign("http://login.example/token");
  EXPECT_FALSE(build_token_request(s, &request));

  FixedText<kTokenFormSize> form;
  s.oauth2_client_secret.clear();
  s.oauth2_refresh_token.assign("1//r");
  s.oauth2_scope.assign("https://mail.google.com/");
  ASSERT_TRUE(build_token_form(s, &form));
  EXPECT_STREQ(form.c_str(),
               "grant_type=refresh_token&client_id=client-1&refresh_token=1%2F%2Fr"
               "&scope=https%3A%2F%2Fmail.google.com%2F");
  s.oauth2_client_secret.assign(std::string(255, '%').c_str());
  s.oauth2_client_id = s.oauth2_refresh_token = s.oauth2_client_secret;
  s.oauth2_scope.assign(std::string(511, '%').c_str());
  EXPECT_TRUE(build_token_form(s, &form));  // every setting at its longest fits
}

// Each answer as "<ok> <token> <expires_in> <error>|<description>".
TEST(TokenReplyTest, ReadsTheMembersItNeeds) {
  const std::string longest(kMaxAccessTokenLength, 'a');
  const std::pair<std::string, std::string> cases[] = {
      {R"({"token_type":"Bearer","expires_in":3599,"access_token":"eyJ0.a-b_c~d+e/f="})",
       "1 eyJ0.a-b_c~d+e/f= 3599 |"},
      {R"( {"access_token":"ya29.x","expires_in":"3600","scope":["a",{"b":[1,2.5e3,null]}]} )",
       "1 ya29.x 3600 |"},
      {R"({"error":"invalid_client","error_description":"AADSTS7000215: bad.\r\nTrace: 1\u00e9"})",
       "1  -1 invalid_client|AADSTS7000215: bad.  Trace: 1\xC3\xA9"},
      {R"({"access_token":"ab cd","expires_in":60})", "1  60 |"},
      {R"({"access_token":"a\"b"})", "1  -1 |"},
      {R"({"access_token":"ok","expires_in":-5})", "1 ok -1 |"},
      {R"({"access_token":"ok","expires_in":12345678901})", "1 ok -1 |"},
      {R"({"access_token":"ok")", "0 ok -1 |"},
      {"<html>502 Bad Gateway</html>", "0  -1 |"},
      {R"({"error":"x","error_description":"a\r\n\uW83d"})", "0  -1 x|"},
      {R"({"a":)" + std::string(40, '[') + std::string(40, ']') + "}", "0  -1 |"},
      {R"({"access_token":")" + longest + "a\"}", "1  -1 |"},
      {R"({"access_token":")" + longest + "\"}", "1 " + longest + " -1 |"},
      {R"({"error":"x","error_description":"\ud83d\ude00 \udc00"})",
       "1  -1 x|\xF0\x9F\x98\x80 \xEF\xBF\xBD"},
  };
  for (const auto& [text, expected] : cases) {
    TokenReply r;
    const bool ok = parse_token_reply(text.data(), text.size(), &r);
    EXPECT_EQ(std::to_string(ok) + " " + r.access_token.c_str() + " " +
                  std::to_string(r.expires_in) + " " + r.error.c_str() + "|" +
                  r.error_description.c_str(),
              expected);
  }
}

// A token is kept until 60 s before its end; a refused one is replaced and the mail sent
// again; other settings get a token of their own; no token in an argument, a file or the log.
TEST_F(MailAuthTest, TokenIsKeptRenewedAndReplaced) {
  NotifySettings s = settings("oauth2");
  test::OutputCapture capture;
  const auto send = [&](int sent = 1) {
    EXPECT_EQ(send_mail_message(s, "a@x", "S", "B", true), sent);
  };
  queue_token("tok.ONE", 3600);
  send();
  fake_now += 3600 - 61;
  send();
  fake_now += 1;
  queue_token("tok.TWO", 30);
  send();
  queue_token("tok.THREE", 3600);
  send();
  answers.push_back({67, "535"});
  queue_token("tok.FOUR", 3600);
  answers.push_back({67, "535"});
  send(0);
  s.oauth2_client_secret.assign("rotated");
  queue_token("tok.FIVE", 3600);
  send();
  std::string order;
  for (const Call& call : calls) {
    const size_t at = call.input.find("oauth2-bearer = \"");
    order += at == std::string::npos
                 ? "T"
                 : call.input.substr(at + 17, call.input.find('"', at + 17) - at - 17) + " ";
    for (const std::string& arg : call.argv) EXPECT_EQ(arg.find("tok."), std::string::npos);
  }
  EXPECT_EQ(order, "Ttok.ONE tok.ONE Ttok.TWO Ttok.THREE tok.THREE Ttok.FOUR Ttok.FIVE ");
  const std::string log = test::read_file("linkwatch_log.txt");
  EXPECT_EQ(log.find("s3cr"), std::string::npos);
  EXPECT_NE(log.find("Email: the mail server refused the OAuth 2.0 token"), std::string::npos);
  Args names;
  for (const auto& entry : std::filesystem::directory_iterator(".")) {
    names.push_back(entry.path().filename().string());
    EXPECT_EQ(test::read_file(entry.path()).find("tok."), std::string::npos) << names.back();
  }
  EXPECT_EQ(names, Args{"linkwatch_log.txt"});
}

// A failed token request is the send's outcome: one line, temporary or permanent as a send.
TEST_F(MailAuthTest, FailedTokenRequestOutcome) {
  const struct {
    int rc;
    std::string output, line;
    bool temporary;
    int console_rc;
  } cases[] = {
      {0,
       R"({"error":"invalid_client","error_description":"AADSTS7000215: bad secret."})"
       "\n401 ",
       "HTTP 401: invalid_client: AADSTS7000215: bad secret.", false, 22},
      {0, "{\"error\":\"temporarily_unavailable\"}\n503 120", "HTTP 503: temporarily_unavailable",
       true, 22},
      {0, "{\"error\":\"slow_down\"}\n429 ", "HTTP 429: slow_down", true, 22},
      {7, "curl: (7) Failed to connect\n000 ", "curl 7 (cannot connect)", true, 7},
      {60, "curl: (60) SSL certificate problem\n000 ", "curl 60 (certificate not trusted)", false,
       60},
      {0, "{\"token_type\":\"Bearer\"}\n200 ", "HTTP 200: no usable access_token in the answer",
       false, 22},
  };
  for (const auto& c : cases) {
    std::filesystem::remove("linkwatch_log.txt");
    answers = {{c.rc, c.output}};
    test::OutputCapture capture;
    SendOutcome outcome;
    EXPECT_EQ(send_mail_message(settings("oauth2"), "a@x", "S", "B", false, &outcome), 0);
    EXPECT_EQ(test::log_messages(), (Args{"Send Mail Alert to a@x via SMTP server smtp://relay:25",
                                          "Email: not sent: token request: " + c.line}));
    EXPECT_TRUE(outcome.attempted && !outcome.delivered && outcome.token_request) << c.line;
    EXPECT_EQ(outcome.temporary, c.temporary) << c.line;
    EXPECT_EQ(capture.out(), "Sending mail alert now .....\nEmail command rc=" +
                                 std::to_string(c.console_rc) + "\n");
  }
  EXPECT_EQ(calls.size(), std::size(cases));  // no mail without a token
}

// A refused password login is followed by a line that names the ways out.
TEST_F(MailAuthTest, HintLineAfterARefusedLogin) {
  const struct {
    const char* mode;
    int rc;
    const char* codes;
    bool hint;
  } cases[] = {{"", 67, "535", true}, {"password", 67, "534", true}, {"", 67, "000", true},
               {"", 55, "535", true}, {"", 55, "550", false},        {"", 7, "000", false},
               {"", 0, "250", false}, {"none", 67, "535", false}};
  for (const auto& c : cases) {
    std::filesystem::remove("linkwatch_log.txt");
    answers = {{c.rc, c.codes}};
    test::OutputCapture capture;
    send_mail_message(settings(c.mode), "a@x", "S", "B", true);
    const Args log = test::log_messages();
    ASSERT_EQ(log.size(), c.hint ? 3u : 2u) << c.mode << c.codes;
    if (c.hint) {
      EXPECT_EQ(log[2],
                "Email: the mail server refused the login; when it no longer takes password "
                "logins (Microsoft 365, Outlook.com, Gmail), set smtp_auth : \"oauth2\" in "
                "linkwatch_email.txt, send through a relay with smtp_auth : \"none\", or log in "
                "with an app password");
    }
  }
}

TEST(MailAuthCheckTest, ServersThatEndPasswordLogins) {
  for (const auto& [server, ends] :
       std::vector<std::pair<const char*, bool>>{{"smtp://smtp.office365.com:587", true},
                                                 {"smtps://SMTP.Gmail.com", true},
                                                 {"smtp.mail.yahoo.com", true},
                                                 {"smtp://user@smtp-mail.outlook.com:587/", true},
                                                 {"smtp://smtp.mail.me.com:587", true},
                                                 {"smtp://relay.corp:25", false},
                                                 {"smtp://smtp.office365.com.evil:587", false},
                                                 {"smtp://mail.gmail.com.example", false},
                                                 {"", false}}) {
    EXPECT_EQ(ends_password_logins(server), ends) << server;
  }
}

// What "-check" says of the login keys together, with their line numbers.
TEST(MailAuthCheckTest, CheckRefusesAndWarns) {
  const std::string mail = "server:\"smtp://relay.corp:25\"\nto:\"a@x\"\n";
  const std::string oauth = mail + "email:\"e\"\nsmtp_auth:\"oauth2\"\n";
  const struct {
    std::string text;
    int result;
    std::string printed;
  } cases[] = {
      {mail + "from:\"m@x\"\nsmtp_auth:\"none\"\nsmtp_tls:\"try\"\nno_proxy:\"relay.corp\"\n", 1,
       ""},
      {mail + "smtp_auth:\"none\"\n", 0,
       "smtp_auth \"none\" (line 3) needs the sender's address in from or email\n"},
      {"server:\"\"\nto:\"a@x\"\nemail:\"m@x\"\nsmtp_auth:\"none\"\n", 0,
       "smtp_auth \"none\" (line 4) needs a value for server\n"},
      {mail + "email:\"e\"\npassword:\"p\"\nsmtp_tls:\"try\"\n", 0,
       "Line 5: smtp_tls \"try\" would let the password travel in clear; use it only with "
       "smtp_auth : \"none\"\n"},
      {oauth + "oauth2_token_url:\"https://t/x\"\noauth2_client_id:\"c\"\noauth2_scope:\"s\"\n"
               "oauth2_refresh_token:\"r\"\nsmtp_tls:\"try\"\n",
       0,
       "Line 9: smtp_tls \"try\" would let the token travel in clear; use it only with smtp_auth "
       ": \"none\"\n"},
      {oauth + "oauth2_token_url:\"https://t/x\"\n", 0,
       "smtp_auth \"oauth2\" (line 4) needs a value for oauth2_client_id\n"
       "smtp_auth \"oauth2\" (line 4) needs a value for oauth2_scope\n"
       "smtp_auth \"oauth2\" (line 4) needs oauth2_client_secret or oauth2_refresh_token\n"},
      {"server:\"smtp://smtp.office365.com:587\"\nemail:\"e\"\npassword:\"p\"\nto:\"a@x\"\n", 1,
       "Warning: config.txt line 1: this mail service ends password logins; use smtp_auth : "
       "\"oauth2\", a relay with smtp_auth : \"none\", or an app password\n"},
      {"server:\"smtp://smtp.gmail.com:587\"\nemail:\"e\"\nto:\"a@x\"\nsmtp_auth:\"oauth2\"\n"
       "oauth2_token_url:\"https://oauth2.googleapis.com/token\"\noauth2_client_id:\"c\"\n"
       "oauth2_scope:\"https://mail.google.com/\"\noauth2_refresh_token:\"r\"\n",
       1, ""},
  };
  test::ScopedWorkDir dir;
  for (const auto& c : cases) {
    test::write_file("config.txt", c.text);
    test::OutputCapture capture;
    EXPECT_EQ(check_config_file("config.txt", kNotifyFile), c.result) << c.text;
    EXPECT_EQ(capture.out(), c.printed) << c.text;
  }
}

}  // namespace
}  // namespace lw
