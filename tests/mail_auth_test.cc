// The e-mail login modes (smtp_auth password / none / oauth2), smtp_tls and no_proxy, as curl
// would see them; the OAuth 2.0 token request, its answer, its keeping in memory; the hint
// lines of refused logins and what "-check" says of the keys together.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "config/check.h"
#include "config/mail_auth_check.h"
#include "config/notify_config.h"
#include "notify/email.h"
#include "notify/oauth2_token.h"
#include "notify/outcome.h"
#include "platform/platform.h"
#include "support/capture.h"
#include "support/command_recorder.h"
#include "support/scoped_environment.h"
#include "support/test_env.h"

namespace lw {
namespace {

using Args = std::vector<std::string>;

// A curl stand-in for both calls of an oauth2 send: a token request (the
// argv holds no -T) answers with the next queued answer (its output, then
// "\n<status> "); a mail answers `mail_code` with exit code `mail_rc`.
class FakeCurl {
 public:
  struct Answer {
    int rc;
    std::string output;  // what curl prints: the answer and the codes
  };
  FakeCurl() { env_.set_runner(&FakeCurl::hook, this); }

  void queue_token(int rc, const std::string& output) {
    std::lock_guard<std::mutex> hold(mutex_);
    tokens_.push_back({rc, output});
  }
  void set_mail(int rc, const std::string& code) {
    std::lock_guard<std::mutex> hold(mutex_);
    mail_ = {rc, code};
  }
  struct Call {
    Args argv;
    std::string input;
    bool mail;
  };
  std::vector<Call> calls() const {
    std::lock_guard<std::mutex> hold(mutex_);
    return calls_;
  }

 private:
  static int hook(void* context, const Command& command, char* out) {
    auto* self = static_cast<FakeCurl*>(context);
    Call call;
    for (const char* const* arg = command.argv; *arg; ++arg) call.argv.emplace_back(*arg);
    call.input = command.input ? command.input : "";
    call.mail = std::find(call.argv.begin(), call.argv.end(), "-T") != call.argv.end();
    std::lock_guard<std::mutex> hold(self->mutex_);
    Answer answer = self->mail_;
    if (!call.mail) {
      answer = self->tokens_.empty() ? Answer{7, "curl: (7) no answer queued\n000 "}
                                     : self->tokens_.front();
      if (!self->tokens_.empty()) self->tokens_.pop_front();
    }
    if (out) std::snprintf(out, kCaptureBufferSize, "%s", answer.output.c_str());
    self->calls_.push_back(std::move(call));
    return answer.rc;
  }

  mutable std::mutex mutex_;
  std::deque<Answer> tokens_;
  Answer mail_{0, "250"};
  std::vector<Call> calls_;
  test::ScopedEnvironment env_;
};

std::atomic<int64_t> fake_now{1'000'000};
int64_t fake_clock() { return fake_now.load(); }

std::string token_answer(const std::string& token, int expires_in, int status = 200) {
  return R"({"token_type":"Bearer","expires_in":)" + std::to_string(expires_in) +
         R"(,"ext_expires_in":3599,"access_token":")" + token + "\"}\n" + std::to_string(status) +
         " ";
}

NotifySettings oauth2_settings(bool refresh = false) {
  NotifySettings s;
  s.server.assign("smtp://smtp.office365.com:587");
  s.email.assign("alerts@contoso.example");
  s.to.assign("ops@contoso.example");
  s.smtp_auth.assign("oauth2");
  s.oauth2_token_url.assign("https://login.microsoftonline.com/tenant-1/oauth2/v2.0/token");
  s.oauth2_client_id.assign("client-1");
  s.oauth2_client_secret.assign("s3cr&t=+ %/\"x");
  s.oauth2_scope.assign("https://outlook.office365.com/.default");
  if (refresh) s.oauth2_refresh_token.assign("1//refresh-tok");
  s.email_enabled = 1;
  return s;
}

Args tail_after_write_out(const Args& argv) {  // argv after curl's start and -w text
  return Args(argv.begin() + 8, argv.end());
}

class MailAuthTest : public test::WorkDirTest {
 protected:
  void SetUp() override {
    forget_mail_token();
    clock_.set_clock(fake_clock);
  }
  void TearDown() override { forget_mail_token(); }
  test::ScopedEnvironment clock_;
};

// The mail's curl call for each mode and each new key; every key absent is today's call.
TEST_F(MailAuthTest, MailRequestOfEachModeAndKey) {
  const struct {
    MailAuth auth;
    bool tls_try;
    const char* proxy;
    const char* no_proxy;
    std::string ssl_switch, input;
  } cases[] = {
      {MailAuth::kPassword, false, "", "", "--ssl-reqd", "user = \"u@x:p\\\"w\"\nshow-error\n"},
      {MailAuth::kNone, false, "", "", "--ssl-reqd", "show-error\n"},
      {MailAuth::kNone, true, "", "", "--ssl", "show-error\n"},
      {MailAuth::kOAuth2, false, "", "", "--ssl-reqd",
       "user = \"u@x:\"\noauth2-bearer = \"p\\\"w\"\nshow-error\n"},
      {MailAuth::kPassword, false, "http://proxy:3128", "relay.corp, .corp.example", "--ssl-reqd",
       "user = \"u@x:p\\\"w\"\nproxy = \"http://proxy:3128\"\n"
       "noproxy = \"relay.corp, .corp.example\"\nshow-error\n"},
      {MailAuth::kNone, true, "", "relay.corp", "--ssl", "noproxy = \"relay.corp\"\nshow-error\n"},
  };
  for (const auto& c : cases) {
    CurlSettings curl;
    curl.proxy = c.proxy;
    curl.no_proxy = c.no_proxy;
    MailRequest request;
    ASSERT_TRUE(build_mail_request("smtp://relay:25", "m@x", "u@x", "p\"w", "a@x", "mail.txt",
                                   &request, curl, c.auth, c.tls_try));
    Args argv;
    for (const char* const* a = request.argv; *a; ++a) argv.emplace_back(*a);
    EXPECT_EQ(tail_after_write_out(argv),
              (Args{"smtp://relay:25", "--mail-from", "m@x", c.ssl_switch, "--config", "-", "-T",
                    "mail.txt", "--mail-rcpt", "a@x"}));
    EXPECT_EQ(request.config.c_str(), c.input);
  }
}

// smtp_tls "try" lets only a send without a login go out without TLS.
TEST_F(MailAuthTest, TlsIsOptionalOnlyWithoutALogin) {
  test::CommandRecorder recorder;
  test::OutputCapture capture;
  for (const char* mode : {"none", "password", ""}) {
    NotifySettings s = test::all_channels();
    s.smtp_auth.assign(mode);
    s.smtp_tls.assign("try");
    send_mail_message(s, "a@x", "S", "B", true);
  }
  const auto sent = recorder.commands();
  ASSERT_EQ(sent.size(), 3u);
  EXPECT_EQ(sent[0].argv[11], "--ssl");
  EXPECT_EQ(sent[1].argv[11], "--ssl-reqd");
  EXPECT_EQ(sent[2].argv[11], "--ssl-reqd");
}

TEST_F(MailAuthTest, LoginCompleteForEachMode) {
  NotifySettings none;
  none.server.assign("smtp://relay:25");
  none.smtp_auth.assign("none");
  EXPECT_FALSE(mail_login_complete(none));  // no sender
  none.from.assign("Monitor <m@x>");
  EXPECT_TRUE(mail_login_complete(none));
  none.from.clear();
  none.email.assign("m@x");
  EXPECT_TRUE(mail_login_complete(none));
  none.server.clear();
  EXPECT_FALSE(mail_login_complete(none));

  NotifySettings oauth = oauth2_settings();
  EXPECT_TRUE(mail_login_complete(oauth));
  oauth.oauth2_client_secret.clear();
  EXPECT_FALSE(mail_login_complete(oauth));
  oauth.oauth2_refresh_token.assign("r");
  EXPECT_TRUE(mail_login_complete(oauth));
  NotifySettings no_url = oauth;
  no_url.oauth2_token_url.clear();
  EXPECT_FALSE(mail_login_complete(no_url));
  NotifySettings no_scope = oauth;
  no_scope.oauth2_scope.clear();
  EXPECT_FALSE(mail_login_complete(no_scope));
  NotifySettings password = oauth2_settings();
  password.smtp_auth.assign("password");
  EXPECT_FALSE(mail_login_complete(password));  // the token keys do not stand in
  password.password.assign("p");
  EXPECT_TRUE(mail_login_complete(password));
}

// The loader turns e-mail on by the mode's own keys: a relay needs no password.
TEST_F(MailAuthTest, LoaderTurnsMailOnByMode) {
  const struct {
    std::string text;
    int enabled;
  } cases[] = {
      {"server:\"smtp://relay:25\"\nto:\"a@x\"\nfrom:\"m@x\"\nsmtp_auth:\"none\"\n", 1},
      {"server:\"smtp://relay:25\"\nto:\"a@x\"\nfrom:\"m@x\"\n", 0},
      {"server:\"smtp://relay:25\"\nto:\"a@x\"\nsmtp_auth:\"none\"\n", 0},
      {"server:\"s\"\nemail:\"e\"\nto:\"a@x\"\nsmtp_auth:\"oauth2\"\n"
       "oauth2_token_url:\"https://t/x\"\noauth2_client_id:\"c\"\noauth2_scope:\"sc\"\n"
       "oauth2_client_secret:\"cs\"\n",
       1},
      {"server:\"s\"\nemail:\"e\"\nto:\"a@x\"\nsmtp_auth:\"oauth2\"\n"
       "oauth2_token_url:\"http://t/x\"\noauth2_client_id:\"c\"\noauth2_scope:\"sc\"\n"
       "oauth2_client_secret:\"cs\"\n",
       0},
  };
  for (const auto& c : cases) {
    test::write_file(kNotifyFileName, c.text);
    NotifySettings s;
    test::OutputCapture capture;
    load_notify_config(&s);
    EXPECT_EQ(s.email_enabled, c.enabled) << c.text;
  }
}

// Both OAuth 2.0 secrets are stored protected, as the password is.
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
  EXPECT_EQ(std::string(s.oauth2_client_secret.c_str()), "cs~1");
  EXPECT_EQ(std::string(s.oauth2_refresh_token.c_str()), "1//rt");
}

TEST_F(MailAuthTest, TokenFormBodyIsUrlEncoded) {
  FixedText<kTokenFormSize> form;
  ASSERT_TRUE(build_token_form(oauth2_settings(), &form));
  EXPECT_STREQ(form.c_str(),
               "grant_type=client_credentials&client_id=client-1"
               "&client_secret=s3cr%26t%3D%2B%20%25%2F%22x"
               "&scope=https%3A%2F%2Foutlook.office365.com%2F.default");
  NotifySettings google = oauth2_settings(true);
  google.oauth2_client_secret.clear();
  google.oauth2_scope.assign("https://mail.google.com/");
  ASSERT_TRUE(build_token_form(google, &form));
  EXPECT_STREQ(form.c_str(),
               "grant_type=refresh_token&client_id=client-1&refresh_token=1%2F%2Frefresh-tok"
               "&scope=https%3A%2F%2Fmail.google.com%2F");
  NotifySettings longest = oauth2_settings(true);
  longest.oauth2_client_id.assign(std::string(255, '%').c_str());
  longest.oauth2_client_secret.assign(std::string(255, '%').c_str());
  longest.oauth2_refresh_token.assign(std::string(255, '%').c_str());
  longest.oauth2_scope.assign(std::string(511, '%').c_str());
  EXPECT_TRUE(build_token_form(longest, &form));  // every setting at its longest fits
}

// The request: the form (with the secret) in the config text on standard input only.
TEST_F(MailAuthTest, TokenRequestCarriesTheSecretOnStandardInputOnly) {
  NotifySettings s = oauth2_settings();
  s.proxy.assign("http://proxy:3128");
  s.no_proxy.assign("relay.corp");
  s.cacert.assign("ca.pem");
  TokenRequest request;
  ASSERT_TRUE(build_token_request(s, &request));
  Args argv;
  for (const char* const* a = request.argv; *a; ++a) argv.emplace_back(*a);
  EXPECT_EQ(argv[7], "\\n%{http_code} %header{retry-after}");
  EXPECT_EQ(Args(argv.begin() + 8, argv.begin() + 10), (Args{"--cacert", "ca.pem"}));
  EXPECT_EQ(Args(argv.end() - 2, argv.end()), (Args{"--config", "-"}));
  for (const std::string& arg : argv) {
    EXPECT_EQ(arg.find("s3cr"), std::string::npos);
    EXPECT_EQ(arg.find("client"), std::string::npos);
  }
  EXPECT_EQ(std::string(request.config.c_str()),
            "url = \"https://login.microsoftonline.com/tenant-1/oauth2/v2.0/token\"\n"
            "data-raw = \"grant_type=client_credentials&client_id=client-1"
            "&client_secret=s3cr%26t%3D%2B%20%25%2F%22x"
            "&scope=https%3A%2F%2Foutlook.office365.com%2F.default\"\n"
            "proxy = \"http://proxy:3128\"\nnoproxy = \"relay.corp\"\nshow-error\n");
  s.oauth2_token_url.assign("http://login.example/token");
  EXPECT_FALSE(build_token_request(s, &request));
}

TEST(TokenReplyTest, ReadsTheMembersItNeeds) {
  const struct {
    std::string text;
    bool ok;
    std::string token;
    int64_t expires_in;
    std::string error, description;
  } cases[] = {
      {R"({"token_type":"Bearer","expires_in":3599,"access_token":"eyJ0.a-b_c~d+e/f="})", true,
       "eyJ0.a-b_c~d+e/f=", 3599, "", ""},
      {R"( {"access_token":"ya29.x","expires_in":"3600","scope":["a",{"b":[1,2.5e3,null]}]} )",
       true, "ya29.x", 3600, "", ""},
      {R"({"error":"invalid_client","error_description":"AADSTS7000215: Invalid client secret.\r\nTrace ID: 1\u00e9"})",
       true, "", -1, "invalid_client",
       "AADSTS7000215: Invalid client secret.  Trace ID: 1\xC3\xA9"},
      // A token with a byte a bearer token cannot hold, or escaped, is not used.
      {R"({"access_token":"ab cd","expires_in":60})", true, "", 60, "", ""},
      {R"({"access_token":"a\"b"})", true, "", -1, "", ""},
      {R"({"access_token":"ok","expires_in":-5})", true, "ok", -1, "", ""},
      {R"({"access_token":"ok","expires_in":12345678901})", true, "ok", -1, "", ""},
      {R"({"access_token":"ok")", false, "ok", -1, "", ""},  // cut short
      {"<html>502 Bad Gateway</html>", false, "", -1, "", ""},
      // A string cut short by a malformed escape is no text at all.
      {R"({"error":"x","error_description":"a\r\n\uW83d"})", false, "", -1, "x", ""},
      {R"({"a":)" + std::string(40, '[') + std::string(40, ']') + "}", false, "", -1, "", ""},
      {R"({"access_token":")" + std::string(kMaxAccessTokenLength + 1, 'a') + "\"}", true, "", -1,
       "", ""},
      {R"({"access_token":")" + std::string(kMaxAccessTokenLength, 'a') + "\"}", true,
       std::string(kMaxAccessTokenLength, 'a'), -1, "", ""},
      {R"({"error":"x","error_description":"\ud83d\ude00 \udc00"})", true, "", -1, "x",
       "\xF0\x9F\x98\x80 \xEF\xBF\xBD"},
  };
  for (const auto& c : cases) {
    TokenReply reply;
    EXPECT_EQ(parse_token_reply(c.text.data(), c.text.size(), &reply), c.ok) << c.text;
    EXPECT_EQ(reply.access_token.c_str(), c.token) << c.text.substr(0, 60);
    EXPECT_EQ(reply.expires_in, c.expires_in) << c.text;
    EXPECT_EQ(reply.error.c_str(), c.error) << c.text;
    EXPECT_EQ(reply.error_description.c_str(), c.description) << c.text;
  }
  // The length bounds the reading: a terminator is never looked for.
  const std::string text = R"({"access_token":"abc"}garbage)";
  TokenReply reply;
  EXPECT_FALSE(parse_token_reply(text.data(), 15, &reply));
  EXPECT_TRUE(parse_token_reply(text.data(), 22, &reply));
}

// A token is fetched once and kept in memory until 60 s before its end; a refused token is
// dropped and the mail sent once more with a new one; the token is in no argument and no log.
TEST_F(MailAuthTest, TokenIsKeptRenewedAndReplacedAfterARefusal) {
  FakeCurl curl;
  test::OutputCapture capture;
  const NotifySettings s = oauth2_settings();
  curl.queue_token(0, token_answer("tok.ONE", 3600));
  EXPECT_EQ(send_mail_message(s, "a@x", "S", "B", true), 1);
  fake_now += 3600 - 61;
  EXPECT_EQ(send_mail_message(s, "a@x", "S", "B", true), 1);  // still kept
  fake_now += 1;
  curl.queue_token(0, token_answer("tok.TWO", 30));  // already within the margin
  EXPECT_EQ(send_mail_message(s, "a@x", "S", "B", true), 1);
  curl.queue_token(0, token_answer("tok.THREE", 3600));
  EXPECT_EQ(send_mail_message(s, "a@x", "S", "B", true), 1);  // fetched again
  // The server refuses the kept token: a new one is fetched and the mail goes again.
  curl.set_mail(67, "535");
  curl.queue_token(0, token_answer("tok.FOUR", 3600));
  EXPECT_EQ(send_mail_message(s, "a@x", "S", "B", true), 0);

  const std::vector<FakeCurl::Call> calls = curl.calls();
  std::string order;
  for (const auto& call : calls) {
    if (!call.mail) {
      order += "T";
      continue;
    }
    const size_t at = call.input.find("oauth2-bearer = \"");
    order += call.input.substr(at + 17, call.input.find('"', at + 17) - at - 17) + " ";
  }
  EXPECT_EQ(order, "Ttok.ONE tok.ONE Ttok.TWO Ttok.THREE tok.THREE Ttok.FOUR ");
  for (const auto& call : calls) {
    for (const std::string& arg : call.argv) EXPECT_EQ(arg.find("tok."), std::string::npos);
    if (!call.mail) {
      EXPECT_NE(call.input.find("data-raw = \"grant_type=client_credentials&"), std::string::npos);
    }
  }
  const std::string log = test::read_file("linkwatch_log.txt");
  EXPECT_EQ(log.find("tok."), std::string::npos);
  EXPECT_EQ(log.find("s3cr"), std::string::npos);
  EXPECT_NE(log.find("Email: the mail server refused the OAuth 2.0 token"), std::string::npos);
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(".")) {
    names.push_back(entry.path().filename().string());
    EXPECT_EQ(test::read_file(entry.path()).find("tok."), std::string::npos) << names.back();
  }
  EXPECT_EQ(names, Args{"linkwatch_log.txt"});
}

// Other settings of the request (another client, another secret) never use the kept token.
TEST_F(MailAuthTest, ChangedSettingsFetchANewToken) {
  FakeCurl curl;
  test::OutputCapture capture;
  NotifySettings s = oauth2_settings();
  curl.queue_token(0, token_answer("tok.A", 3600));
  curl.queue_token(0, token_answer("tok.B", 3600));
  EXPECT_EQ(send_mail_message(s, "a@x", "S", "B", true), 1);
  s.oauth2_client_secret.assign("rotated");
  EXPECT_EQ(send_mail_message(s, "a@x", "S", "B", true), 1);
  const auto calls = curl.calls();
  ASSERT_EQ(calls.size(), 4u);
  EXPECT_NE(calls[3].input.find("tok.B"), std::string::npos);
}

// A failed token request is the send's outcome: one line with the endpoint's status and its
// error, temporary or permanent as a send.
TEST_F(MailAuthTest, FailedTokenRequestOutcome) {
  const struct {
    int rc;
    std::string output, line;
    bool temporary;
    int console_rc;
  } cases[] = {
      {0,
       R"({"error":"invalid_client","error_description":"AADSTS7000215: Invalid client secret provided."})"
       "\n401 ",
       "Email: not sent: token request: HTTP 401: invalid_client: AADSTS7000215: Invalid client "
       "secret provided.",
       false, 22},
      {0, "{\"error\":\"invalid_grant\"}\n400 ",
       "Email: not sent: token request: HTTP 400: invalid_grant", false, 22},
      {0, "{\"error\":\"temporarily_unavailable\"}\n503 120",
       "Email: not sent: token request: HTTP 503: temporarily_unavailable", true, 22},
      {0, "{\"error\":\"slow_down\"}\n429 ", "Email: not sent: token request: HTTP 429: slow_down",
       true, 22},
      {7, "curl: (7) Failed to connect to login.example port 443\n000 ",
       "Email: not sent: token request: curl 7 (cannot connect)", true, 7},
      {60, "curl: (60) SSL certificate problem\n000 ",
       "Email: not sent: token request: curl 60 (certificate not trusted)", false, 60},
      {0, "{\"token_type\":\"Bearer\"}\n200 ",
       "Email: not sent: token request: HTTP 200: no usable access_token in the answer", false, 22},
  };
  FakeCurl curl;
  for (const auto& c : cases) {
    std::filesystem::remove("linkwatch_log.txt");
    curl.queue_token(c.rc, c.output);
    test::OutputCapture capture;
    SendOutcome outcome;
    EXPECT_EQ(send_mail_message(oauth2_settings(), "a@x", "S", "B", false, &outcome), 0);
    const std::vector<std::string> log = test::log_messages();
    ASSERT_EQ(log.size(), 2u) << c.line;
    EXPECT_EQ(log[1], c.line);
    EXPECT_TRUE(outcome.attempted && !outcome.delivered) << c.line;
    EXPECT_EQ(outcome.temporary, c.temporary) << c.line;
    char detail[512];
    format_outcome_detail(outcome, Channel::kEmail, DetailStyle::kTest, detail, sizeof detail);
    EXPECT_EQ(std::string(detail).rfind("token request: ", 0), 0u) << detail;
    EXPECT_EQ(capture.out(), "Sending mail alert now .....\nEmail command rc=" +
                                 std::to_string(c.console_rc) + "\n");
  }
  for (const auto& call : curl.calls()) EXPECT_FALSE(call.mail);  // no mail without a token
}

// A refused login is followed by a line that names the way out; other failures and other
// modes get none.
TEST_F(MailAuthTest, HintLineAfterARefusedLogin) {
  const std::string password_hint =
      "Email: the mail server refused the login; when it no longer takes password logins "
      "(Microsoft 365, Outlook.com, Gmail), set smtp_auth : \"oauth2\" in linkwatch_email.txt, "
      "send through a relay with smtp_auth : \"none\", or log in with an app password";
  const struct {
    const char* mode;
    int rc;
    std::string codes, hint;
  } cases[] = {
      {"", 67, "535", password_hint},
      {"password", 67, "534", password_hint},
      {"", 67, "000", password_hint},
      {"", 55, "535", password_hint},
      {"", 55, "550", ""},
      {"", 7, "000", ""},
      {"", 0, "250", ""},
      {"none", 67, "535", ""},
  };
  test::CommandRecorder recorder;
  for (const auto& c : cases) {
    std::filesystem::remove("linkwatch_log.txt");
    recorder.set_result(c.rc);
    recorder.set_answer(c.codes, "");
    NotifySettings s = test::all_channels();
    s.smtp_auth.assign(c.mode);
    s.from.assign("m@x");
    test::OutputCapture capture;
    send_mail_message(s, "a@x", "S", "B", true);
    const std::vector<std::string> log = test::log_messages();
    ASSERT_EQ(log.size(), c.hint.empty() ? 2u : 3u) << c.codes;
    if (!c.hint.empty()) {
      EXPECT_EQ(log[2], c.hint);
    }
  }
}

TEST(MailAuthCheckTest, ServersThatEndPasswordLogins) {
  for (const char* server :
       {"smtp://smtp.office365.com:587", "smtps://SMTP.Gmail.com", "smtp.mail.yahoo.com",
        "smtp://user@smtp-mail.outlook.com:587/", "smtp://smtp.mail.me.com:587"}) {
    EXPECT_TRUE(ends_password_logins(server)) << server;
  }
  for (const char* server : {"smtp://relay.corp:25", "smtp://smtp.office365.com.evil:587",
                             "smtp://mail.gmail.com.example", ""}) {
    EXPECT_FALSE(ends_password_logins(server)) << server;
  }
}

// What "-check" says of the login keys together, with their line numbers.
TEST(MailAuthCheckTest, CheckRefusesAndWarns) {
  const std::string mail = "server:\"smtp://relay.corp:25\"\nto:\"a@x\"\n";
  const struct {
    std::string text;
    int result;
    std::string printed;
  } cases[] = {
      // A relay: no email, no password needed.
      {mail + "from:\"m@x\"\nsmtp_auth:\"none\"\nsmtp_tls:\"try\"\nno_proxy:\"relay.corp\"\n", 1,
       ""},
      {mail + "smtp_auth:\"none\"\n", 0,
       "smtp_auth \"none\" (line 3) needs the sender's address in from or email\n"},
      {"server:\"\"\nto:\"a@x\"\nemail:\"m@x\"\nsmtp_auth:\"none\"\n", 0,
       "smtp_auth \"none\" (line 4) needs a value for server\n"},
      {"server:\"s\"\nemail:\"m@x\"\nsmtp_auth:\"none\"\n", 0, "Missing key: to\n"},
      // A secret never travels in clear.
      {mail + "email:\"e\"\npassword:\"p\"\nsmtp_tls:\"try\"\n", 0,
       "Line 5: smtp_tls \"try\" would let the password travel in clear; use it only with "
       "smtp_auth : \"none\"\n"},
      {mail + "email:\"e\"\nsmtp_auth:\"oauth2\"\noauth2_token_url:\"https://t/x\"\n"
              "oauth2_client_id:\"c\"\noauth2_scope:\"s\"\noauth2_refresh_token:\"r\"\n"
              "smtp_tls:\"try\"\n",
       0,
       "Line 9: smtp_tls \"try\" would let the token travel in clear; use it only with smtp_auth "
       ": \"none\"\n"},
      {mail + "email:\"e\"\nsmtp_auth:\"oauth2\"\noauth2_token_url:\"https://t/x\"\n", 0,
       "smtp_auth \"oauth2\" (line 4) needs a value for oauth2_client_id\n"
       "smtp_auth \"oauth2\" (line 4) needs a value for oauth2_scope\n"
       "smtp_auth \"oauth2\" (line 4) needs oauth2_client_secret or oauth2_refresh_token\n"},
      {mail + "smtp_auth:\"oauth2\"\noauth2_token_url:\"http://t/x\"\n", 0,
       "Line 4: invalid oauth2_token_url \"http://t/x\" (use an https:// address)\n"
       "Missing key: email\n"
       "smtp_auth \"oauth2\" (line 3) needs a value for email\n"
       "smtp_auth \"oauth2\" (line 3) needs a value for oauth2_client_id\n"
       "smtp_auth \"oauth2\" (line 3) needs a value for oauth2_scope\n"
       "smtp_auth \"oauth2\" (line 3) needs oauth2_client_secret or oauth2_refresh_token\n"},
      {mail + "email:\"e\"\npassword:\"p\"\nsmtp_auth:\"oauth 2\"\nsmtp_tls:\"maybe\"\n"
              "no_proxy:\"a;b\"\n",
       0,
       "Line 5: invalid smtp_auth \"oauth 2\" (use password, none or oauth2)\n"
       "Line 6: invalid smtp_tls \"maybe\" (use required or try)\n"
       "Line 7: invalid no_proxy \"a;b\" (use host names, addresses and .domains separated by "
       "commas)\n"},
      // Consumer and Microsoft 365 servers with a password: a warning only.
      {"server:\"smtp://smtp.office365.com:587\"\nemail:\"e\"\npassword:\"p\"\nto:\"a@x\"\n", 1,
       "Warning: config.txt line 1: this mail service ends password logins; use smtp_auth : "
       "\"oauth2\", a relay with smtp_auth : \"none\", or an app password\n"},
      {"server:\"smtp://smtp.gmail.com:587\"\nemail:\"e\"\nto:\"a@x\"\nsmtp_auth:\"oauth2\"\n"
       "oauth2_token_url:\"https://oauth2.googleapis.com/token\"\noauth2_client_id:\"c\"\n"
       "oauth2_scope:\"https://mail.google.com/\"\noauth2_client_secret:\"cs\"\n"
       "oauth2_refresh_token:\"r\"\n",
       1, ""},
  };
  test::ScopedWorkDir dir;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    test::write_file("config.txt", c.text);
    test::OutputCapture capture;
    EXPECT_EQ(check_config_file("config.txt", kNotifyFile), c.result);
    EXPECT_EQ(capture.out(), c.printed);
  }
}

}  // namespace
}  // namespace lw
