// The e-mail login modes, smtp_tls and no_proxy as curl sees them; the OAuth 2.0 token request,
// its answer and its keeping; the lines of failed sends; what "-check" says of the keys.

#include <gtest/gtest.h>

#include <deque>
#include <tuple>

#include "config/check.h"
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

// Each test in its own folder, with a clock of its own and a stand-in curl that keeps each
// call's {argv, input} and answers the queued {exit code, output} in turn ("250" when none).
class MailAuthTest : public test::WorkDirTest {
 protected:
  void SetUp() override {
    forget_mail_token();
    env_.set_clock([] { return fake_now; });
    env_.set_runner(&MailAuthTest::curl, this);
  }
  static int curl(void* self_, const Command& command, char* out) {
    auto* self = static_cast<MailAuthTest*>(self_);
    self->calls.push_back({args_of(command.argv), command.input ? command.input : ""});
    std::pair<int, std::string> answer{0, "250"};
    if (!self->answers.empty()) answer = self->answers.front(), self->answers.pop_front();
    if (out) std::snprintf(out, kCaptureBufferSize, "%s", answer.second.c_str());
    return answer.first;
  }
  static std::pair<int, std::string> token(const std::string& token, int expires_in) {
    return {0, R"({"token_type":"Bearer","expires_in":)" + std::to_string(expires_in) +
                   R"(,"access_token":")" + token + "\"}\n200 "};
  }
  static NotifySettings settings(const char* mode) {
    NotifySettings s;
    s.server.assign("smtp://relay:25");
    s.email.assign("u@x");
    s.password.assign("p\"w");
    s.smtp_auth.assign(mode);
    s.oauth2_token_url.assign("https://login.example/token");
    s.oauth2_client_id.assign("client-1");
    s.oauth2_client_secret.assign("s3cr&t=+ %/\"x");
    s.oauth2_scope.assign("https://outlook.office365.com/.default");
    s.email_enabled = 1;
    return s;
  }
  std::deque<std::pair<int, std::string>> answers;
  std::vector<std::pair<Args, std::string>> calls;
  test::ScopedEnvironment env_;
};

// The mail's TLS switch and standard input of each mode and key. (The whole call of the
// default: ChannelsTest.EachChannelSendsItsOwnFileWithSecretsOnStandardInputOnly.)
TEST_F(MailAuthTest, MailCallOfEachModeAndKey) {
  const std::string login = "user = \"u@x:p\\\"w\"\n", end = "show-error\n";
  for (const auto& [mode, tls, no_proxy, ssl, input] :
       std::vector<std::tuple<const char*, const char*, const char*, const char*, std::string>>{
           {"", "", "", "--ssl-reqd", login + end},
           {"password", "try", "", "--ssl-reqd", login + end},
           {"none", "", "", "--ssl-reqd", end},
           {"none", "try", "relay.corp, .corp", "--ssl",
            "proxy = \"http://p:3128\"\nnoproxy = \"relay.corp, .corp\"\n" + end},
           {"oauth2", "try", "", "--ssl-reqd",
            "user = \"u@x:\"\noauth2-bearer = \"tok.1\"\n" + end}}) {
    NotifySettings s = settings(mode);
    s.smtp_tls.assign(tls);
    s.no_proxy.assign(no_proxy);
    if (!s.no_proxy.empty()) s.proxy.assign("http://p:3128");
    if (s.smtp_auth == "oauth2") answers.push_back(token("tok.1", 3600));
    test::OutputCapture capture;
    ASSERT_EQ(send_mail_message(s, "a@x", "S", "B", true), 1) << mode;
    const Args& argv = calls.back().first;
    ASSERT_EQ(argv.size(), 18u);
    EXPECT_EQ(argv[11], ssl);
    EXPECT_EQ(calls.back().second, input);
  }
}

// E-mail is on when the mode's own keys are there; the OAuth 2.0 secrets are stored protected.
TEST_F(MailAuthTest, LoaderTurnsMailOnByModeAndProtectsSecrets) {
  const std::string relay = "server:\"s\"\nto:\"a@x\"\nsmtp_auth:\"none\"\n";
  const std::string oauth =
      "server:\"s\"\nemail:\"e\"\nto:\"a@x\"\nsmtp_auth:\"oauth2\"\n"
      "oauth2_client_id:\"c\"\noauth2_token_url:\"https://t/x\"\n"
      "oauth2_refresh_token:\"1//r\"\n";
  NotifySettings s;
  for (const auto& [text, enabled] : std::vector<std::pair<std::string, int>>{
           {relay + "from:\"m@x\"\n", 1},
           {relay, 0},
           {oauth + "oauth2_client_secret:\"cs\"\n", 0},
           {oauth + "oauth2_scope:\"sc\"\n", 1},
           {oauth + "oauth2_scope:\"sc\"\noauth2_client_secret:\"c~s\"\n", 1}}) {
    test::write_file(kNotifyFileName, text);
    s = NotifySettings();
    test::OutputCapture capture;
    load_notify_config(&s);
    EXPECT_EQ(s.email_enabled, enabled) << text;
  }
  const std::string file = test::read_file(kNotifyFileName);
  EXPECT_EQ(file.find("c~s"), std::string::npos);
  EXPECT_EQ(file.find("1//r"), std::string::npos);
  EXPECT_EQ(s.oauth2_client_secret, "c~s");
  EXPECT_EQ(s.oauth2_refresh_token, "1//r");
}

// The form, URL-encoded with the secret, goes in the config text on standard input only.
TEST_F(MailAuthTest, TokenRequest) {
  NotifySettings s = settings("oauth2");
  s.proxy.assign("http://proxy:3128");
  s.no_proxy.assign("relay.corp");
  TokenRequest request;
  ASSERT_TRUE(build_token_request(s, &request));
  const Args argv = args_of(request.argv);
  EXPECT_EQ(Args(argv.begin() + 7, argv.end()),
            (Args{"\\n%{http_code} %header{retry-after}", "--config", "-"}));
  EXPECT_EQ(request.config.c_str(),
            std::string("url = \"https://login.example/token\"\n"
                        "data-raw = \"grant_type=client_credentials&client_id=client-1"
                        "&client_secret=s3cr%26t%3D%2B%20%25%2F%22x"
                        "&scope=https%3A%2F%2Foutlook.office365.com%2F.default\"\n"
                        "proxy = \"http://proxy:3128\"\nnoproxy = \"relay.corp\"\nshow-error\n"));
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

// Each answer read as "<ok> <token> <expires_in> <error>|<description>".
TEST(TokenReplyTest, ReadsTheMembersItNeeds) {
  for (const auto& [text, expected] : std::vector<std::pair<std::string, std::string>>{
           {R"({"token_type":"Bearer","expires_in":3599,"access_token":"eyJ0.a-b_c~d+e/f="})",
            "1 eyJ0.a-b_c~d+e/f= 3599 |"},
           {R"( {"access_token":"ya29.x","expires_in":"3600","scope":["a",{"b":[1,2e3,null]}]} )",
            "1 ya29.x 3600 |"},
           {R"({"error":"invalid_client","error_description":"AADSTS7: bad.\r\nTrace: 1\u00e9"})",
            "1  -1 invalid_client|AADSTS7: bad.  Trace: 1\xC3\xA9"},
           {R"({"error":"x","error_description":"\ud83d\ude00 \udc00"})",
            "1  -1 x|\xF0\x9F\x98\x80 \xEF\xBF\xBD"},
           {R"({"access_token":"a\"b","expires_in":-5})", "1  -1 |"},
           {R"({"access_token":")" + std::string(kMaxAccessTokenLength + 1, 'a') + "\"}",
            "1  -1 |"},
           {R"({"access_token":"ok")", "0 ok -1 |"},
           {R"({"error":"x","error_description":"a\r\n\uW83d"})", "0  -1 x|"}}) {
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
  const std::pair<int, std::string> sent{0, "250"}, refused{67, "535"};
  answers = {token("tok.ONE", 3600),   sent, sent,    token("tok.TWO", 30),    sent,
             token("tok.THREE", 3600), sent, refused, token("tok.FOUR", 3600), refused,
             token("tok.FIVE", 3600)};
  for (int step = 0; step < 6; ++step) {  // at 0 s, 3539 s, 3540 s (60 s left) and on
    fake_now += step == 1 ? 3600 - 61 : step == 2;
    if (step == 5) s.oauth2_client_secret.assign("rotated");
    EXPECT_EQ(send_mail_message(s, "a@x", "S", "B", true), step == 4 ? 0 : 1) << step;
  }
  std::string order;
  for (const auto& [argv, input] : calls) {
    const size_t at = input.find("oauth2-bearer = \"") + 17;  // below 17: none (npos wraps)
    order += at < 17 ? "T" : input.substr(at, input.find('"', at) - at) + " ";
    for (const std::string& arg : argv) EXPECT_EQ(arg.find("tok."), std::string::npos);
  }
  EXPECT_EQ(order, "Ttok.ONE tok.ONE Ttok.TWO Ttok.THREE tok.THREE Ttok.FOUR Ttok.FIVE ");
  for (const auto& entry : std::filesystem::directory_iterator(".")) {
    EXPECT_EQ(test::read_file(entry.path()).find("tok."), std::string::npos) << entry.path();
  }
}

// What a failed send logs, the hint of a refused password login included, and whether it is
// temporary; a failed token request is the send's outcome, and no mail goes without a token.
TEST_F(MailAuthTest, FailedSends) {
  const std::string hint =
      "Email: the mail server refused the login; when it no longer takes password logins "
      "(Microsoft 365, Outlook.com, Gmail), set smtp_auth : \"oauth2\" in linkwatch_email.txt, "
      "send through a relay with smtp_auth : \"none\", or log in with an app password";
  for (const auto& [mode, rc, output, line, hinted, temporary] :
       std::vector<std::tuple<const char*, int, std::string, std::string, bool, bool>>{
           {"", 67, "535", "curl 67 (login denied), SMTP 535", true, false},
           {"password", 67, "534", "curl 67 (login denied), SMTP 534", true, false},
           {"", 55, "535", "curl 55 (send failed), SMTP 535", true, false},
           {"", 55, "550", "curl 55 (send failed), SMTP 550", false, false},
           {"none", 67, "535", "curl 67 (login denied), SMTP 535", false, false},
           {"oauth2", 0,
            "{\"error\":\"invalid_client\",\"error_description\":\"Bad secret.\"}\n401 ",
            "token request: HTTP 401: invalid_client: Bad secret.", false, false},
           {"oauth2", 0, "{\"error\":\"temporarily_unavailable\"}\n503 120",
            "token request: HTTP 503: temporarily_unavailable", false, true},
           {"oauth2", 7, "curl: (7) Failed to connect\n000 ",
            "token request: curl 7 (cannot connect)", false, true},
           {"oauth2", 0, "{\"token_type\":\"Bearer\"}\n200 ",
            "token request: HTTP 200: no usable access_token in the answer", false, false}}) {
    std::filesystem::remove("linkwatch_log.txt");
    answers = {{rc, output}};
    calls.clear();
    test::OutputCapture capture;
    SendOutcome outcome;
    EXPECT_EQ(send_mail_message(settings(mode), "a@x", "S", "B", true, &outcome), 0);
    Args expected{"Send Mail Alert to a@x via SMTP server smtp://relay:25",
                  "Email: not sent: " + line};
    if (hinted) expected.push_back(hint);
    EXPECT_EQ(test::log_messages(), expected);
    EXPECT_EQ(outcome.temporary, temporary) << output;
    EXPECT_EQ(calls.size(), 1u);
  }
}

// What "-check" says of the login keys together, with their line numbers.
TEST_F(MailAuthTest, CheckRefusesAndWarns) {
  const std::string mail = "server:\"smtp://relay.corp:25\"\nto:\"a@x\"\n";
  const std::string oauth = mail + "email:\"e\"\nsmtp_auth:\"oauth2\"\n";
  const std::string keys =
      "oauth2_token_url:\"https://t/x\"\noauth2_client_id:\"c\"\n"
      "oauth2_scope:\"s\"\noauth2_refresh_token:\"r\"\n";
  for (const auto& [text, result, printed] : std::vector<std::tuple<std::string, int, std::string>>{
           {mail + "from:\"m@x\"\nsmtp_auth:\"none\"\nsmtp_tls:\"try\"\nno_proxy:\"relay.corp\"\n",
            1, ""},
           {mail + "smtp_auth:\"none\"\n", 0,
            "smtp_auth \"none\" (line 3) needs the sender's address in from or email\n"},
           {mail + "email:\"e\"\npassword:\"p\"\nsmtp_tls:\"try\"\n", 0,
            "Line 5: smtp_tls \"try\" would let the password travel in clear; use it only with "
            "smtp_auth : \"none\"\n"},
           {oauth + keys + "smtp_tls:\"try\"\n", 0,
            "Line 9: smtp_tls \"try\" would let the token travel in clear; use it only with "
            "smtp_auth : \"none\"\n"},
           {oauth + "oauth2_token_url:\"https://t/x\"\n", 0,
            "smtp_auth \"oauth2\" (line 4) needs a value for oauth2_client_id\n"
            "smtp_auth \"oauth2\" (line 4) needs a value for oauth2_scope\n"
            "smtp_auth \"oauth2\" (line 4) needs oauth2_client_secret or oauth2_refresh_token\n"},
           {"server:\"smtp://u@SMTP.Office365.com:587\"\nemail:\"e\"\npassword:\"p\"\nto:\"a@x\"\n",
            1,
            "Warning: config.txt line 1: this mail service ends password logins; use smtp_auth : "
            "\"oauth2\", a relay with smtp_auth : \"none\", or an app password\n"},
           {"server:\"smtps://smtp.gmail.com\"\nto:\"a@x\"\nemail:\"e\"\nsmtp_auth:\"oauth2\"\n" +
                keys,
            1, ""},
           {"server:\"smtp://"
            "smtp.office365.com.evil:587\"\nemail:\"e\"\npassword:\"p\"\nto:\"a@x\"\n",
            1, ""}}) {
    test::write_file("config.txt", text);
    test::OutputCapture capture;
    EXPECT_EQ(check_config_file("config.txt", kNotifyFile), result) << text;
    EXPECT_EQ(capture.out(), printed) << text;
  }
}

}  // namespace
}  // namespace lw
