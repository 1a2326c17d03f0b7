// The e-mail, Telegram and Teams sends as curl would see them, their send files, the curl config
// text and the curl a run finds; the e-mail login modes.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <regex>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "config/check.h"
#include "config/notify_config.h"
#include "config/recipients.h"
#include "notify/email.h"
#include "notify/oauth2_token.h"
#include "notify/outcome.h"
#include "notify/send_files.h"
#include "notify/teams.h"
#include "notify/telegram.h"
#include "platform/platform.h"
#include "support/capture.h"
#include "support/command_recorder.h"
#include "support/transfer.h"

namespace lw {
namespace {

namespace fs = std::filesystem;
using Args = std::vector<std::string>;

const std::string kPid = std::to_string(platform::current_pid());
constexpr const char kHook[] = "https://example.webhook.office.com/webhookb2/abc?x=1&y=2";

NotifySettings settings() {
  NotifySettings s;
  s.server.assign("smtp://mail.example:587");
  s.email.assign("ops@example.com");
  s.password.assign("p$w \"q\"\t100%\r\n& c:\\dir\\");  // to reach curl unchanged, in no argument
  s.from.assign("Monitor <mon@example.com>");
  s.token.assign("123456:AAH-x_y");
  s.chat_id.assign("@ops room");
  s.teams_webhook.assign(kHook);
  s.email_enabled = s.telegram_enabled = s.teams_enabled = 1;
  return s;
}

NotifySettings settings(const char* smtp_auth) {  // with the OAuth 2.0 keys
  NotifySettings s = settings();
  s.smtp_auth.assign(smtp_auth);
  s.oauth2_token_url.assign("https://login.example/token");
  s.oauth2_client_id.assign("client-1");
  s.oauth2_client_secret.assign("s3cr&t=+ %/\"x");
  s.oauth2_scope.assign("https://outlook.office365.com/.default");
  return s;
}

// argv with the program by its name and this process's send file numbers shown as ".PID.N.".
Args shown(const Args& argv) {
  const std::regex own("\\." + kPid + "\\.[0-9]+\\.");
  Args args;
  for (const std::string& arg : argv) args.push_back(std::regex_replace(arg, own, ".PID.N."));
  if (!args.empty()) args[0] = fs::path(args[0]).stem().string();
  return args;
}

Args with_bounds(Args tail) {  // every run carries curl's own time bounds
  tail.insert(tail.begin(), {"curl", "-s", "--connect-timeout", "10", "--max-time", "60", "-w"});
  return tail;
}

class ChannelsTest : public test::WorkDirTest {};

TEST_F(ChannelsTest, EachChannelSendsItsOwnFileWithSecretsOnStandardInputOnly) {
  test::CommandRecorder recorder;
  test::OutputCapture capture;
  EXPECT_EQ(send_mail_message(settings(), "a@x.org, b@y.org", "Alert", "B", false), 1);
  EXPECT_EQ(send_telegram(settings(), "ALERT (DOWN)\nHost: web01 & co", true), 1);
  EXPECT_EQ(send_teams(settings(), "T", "B", true), 1);
  const std::vector<test::RecordedCommand> sent = recorder.commands();
  ASSERT_EQ(sent.size(), 3u);
  const std::string http_codes = "%{http_code} %header{retry-after}";
  EXPECT_EQ(shown(sent[0].argv), with_bounds({"%{response_code}", "smtp://mail.example:587",
                                              "--mail-from", "mon@example.com", "--ssl-reqd",
                                              "--config", "-", "-T", "mailtext.PID.N.txt",
                                              "--mail-rcpt", "a@x.org", "--mail-rcpt", "b@y.org"}));
  EXPECT_EQ(shown(sent[1].argv),
            with_bounds({http_codes, "-o", "reply.PID.N.txt", "--config", "-"}));
  EXPECT_EQ(sent[1].input,
            "url = \"https://api.telegram.org/bot123456:AAH-x_y/sendMessage?chat_id=%40ops%20room"
            "&text=ALERT%20%28DOWN%29%0AHost%3A%20web01%20%26%20co\"\nshow-error\n");
  EXPECT_EQ(shown(sent[2].argv),
            with_bounds({http_codes, "-o", "reply.PID.N.txt", "-H",
                         "Content-Type: application/json; charset=utf-8", "--data-binary",
                         "@teamsmsg.PID.N.json", "--config", "-"}));
  EXPECT_EQ(sent[2].input, std::string("url = \"") + kHook + "\"\nshow-error\n");
  if (platform::kHasPermissionBits) {  // owner-only from the start
    EXPECT_EQ(sent[0].file_mode, fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_EQ(sent[2].file_mode, sent[0].file_mode);
  }
}

// The mail file's header lines (up to the empty line) and its body.
std::pair<std::vector<std::string>, std::string> mail_parts(const std::string& file) {
  const size_t end = file.find("\r\n\r\n");
  std::vector<std::string> lines;
  for (size_t at = 0; at < end;) {
    const size_t next = std::min(file.find("\r\n", at), end);
    lines.push_back(file.substr(at, next - at));
    at = next + 2;
  }
  return {lines, end == std::string::npos ? "" : file.substr(end + 4)};
}

// Lone CRs and lone LFs of the body become CR LF, a CR LF stays one; a line end in the
// subject never ends its header line early (it goes into encoded words).
TEST_F(ChannelsTest, MailFileHoldsOnlyCrLfLineEnds) {
  const std::tuple<const char*, const char*, const char*> cases[] = {
      {"S", "a\rb", "a\r\nb\r\n"},
      {"S", "a\r\r\nb\n\rc\r", "a\r\n\r\nb\r\n\r\nc\r\n"},
      {"S", "web1 443 (desc\rwith CR): Timeout\n", "web1 443 (desc\r\nwith CR): Timeout\r\n\r\n"},
      {"Alert\r\nBcc: x@evil\rFrom: y\nz", "b", "b\r\n"},
  };
  test::CommandRecorder recorder;
  for (const auto& [subject, body, sent_body] : cases) {
    SCOPED_TRACE(body);
    EXPECT_EQ(send_mail_message(settings(), "a@x.org", subject, body, true), 1);
    const std::string file = recorder.commands().back().mail_file.value_or("");
    EXPECT_FALSE(std::regex_search(file, std::regex("\r(?!\n)|(^|[^\r])\n")));  // CR LF only
    const auto [headers, text] = mail_parts(file);
    EXPECT_EQ(text, sent_body);
    std::string names;
    for (const std::string& line : headers) {
      names += line[0] == ' ' ? std::string(" +") : " " + line.substr(0, line.find(':'));
    }
    EXPECT_EQ(names,
              " From To Subject Date Message-ID MIME-Version Content-Type "
              "Content-Transfer-Encoding");
  }
}

// The envelope and the To: header list the same addresses: commas separate, blanks (\v, \f too)
// go, empty pieces drop, one with a control byte is left out (logged escaped), one cut at 1023 too.
TEST_F(ChannelsTest, HeaderAndEnvelopeListTheSameAddresses) {
  const std::string filler = std::string(1000, 'f') + "@x,", f = filler.substr(0, 1002);
  const std::string refused = "\" holds a control character; it is left out";
  const std::string via = " via SMTP server smtp://mail.example:587";
  const std::tuple<std::string, std::string, Args> cases[] = {
      {"\v a@x\f,\t\r\nb@y\v\r\n, \f ,",
       "a@x|b@y",
       {"Send Mail Alert to \\x0B a@x\\x0C,\\t\\r\\nb@y\\x0B\\r\\n, \\x0C ," + via}},
      {"a@x, b@y, a@x", "a@x|b@y|a@x", {}},
      {"a@x, b\r@y, c@z\x7f, d@w",
       "a@x|d@w",
       {"Email: recipient \"b\\r@y" + refused, "Email: recipient \"c@z\\x7F" + refused,
        "Send Mail Alert to a@x, b\\r@y, c@z\\x7F, d@w" + via}},
      {"a@x\x01, b@y",
       "b@y",
       {"Email: recipient \"a@x\\x01" + refused, "Send Mail Alert to a@x\\x01, b@y" + via}},
      {"Ops Team <a@x>", "Ops Team <a@x>", {}},
      {filler + "abcdefghijklmnopqrst", f + "|abcdefghijklmnopqrst", {}},  // 1023: all kept
      {filler + "abcdefghijklmnopqrstu", f, {}},                           // cut through: dropped
      {filler + "abcdefghijklmnopqrst,b@y", f + "|abcdefghijklmnopqrst", {}},
      {filler + "abcdefghijklmnopqrst  , b@y", f + "|abcdefghijklmnopqrst", {}},
      {filler + "abcdefghijklmnopqrst  c@z", f, {}},
  };
  test::CommandRecorder recorder;
  for (const auto& [list, addresses, logged] : cases) {
    SCOPED_TRACE(list.substr(0, 40));
    std::filesystem::remove("linkwatch_log.txt");
    EXPECT_EQ(send_mail_message(settings(), list.c_str(), "S", "B", true), 1);
    const test::RecordedCommand sent = recorder.commands().back();
    std::string rcpt;
    for (size_t i = 0; i + 1 < sent.argv.size(); ++i) {
      if (sent.argv[i] == "--mail-rcpt") rcpt += (rcpt.empty() ? "" : "|") + sent.argv[++i];
    }
    EXPECT_EQ(rcpt, addresses);
    const auto [headers, text] = mail_parts(sent.mail_file.value_or(""));
    EXPECT_EQ(headers.at(1), "To: " + std::regex_replace(addresses, std::regex("\\|"), ", "));
    Args lines = test::log_messages();  // each line whole, escaped
    lines.pop_back();                   // the outcome line
    EXPECT_TRUE(logged.empty() || lines == logged) << testing::PrintToString(lines);
  }
}

TEST(MailRecipientsTest, ShownTextKeepsUtf8AndEndsBeforeAnEscapeThatWouldNotFit) {
  char out[6];
  escape_control_bytes("\xC3\xA9\\a\rb", out, sizeof out);
  EXPECT_STREQ(out, "\xC3\xA9\\a");
}

// The bot token is percent-encoded where it stands in the request address, so nothing in
// it can change the path (one of its own alphabet stays: EachChannelSends...).
TEST(TelegramRequestTest, TokenCannotChangeThePath) {
  const std::pair<const char*, const char*> cases[] = {
      {"1:a/b?c#d", "bot1:a%2Fb%3Fc%23d/sendMessage?"},
      {"1:../..%2f x\"\\", "bot1:..%2F..%252f%20x%22%5C/sendMessage?"},
  };
  for (const auto& [token, placed] : cases) {
    TelegramRequest request;
    ASSERT_TRUE(build_telegram_request(token, "42", "hi", "reply.txt", &request));
    EXPECT_EQ(std::string(request.config.c_str()),
              std::string("url = \"https://api.telegram.org/") + placed +
                  "chat_id=42&text=hi\"\nshow-error\n")
        << token;
  }
}

int send(Channel channel, const NotifySettings& s, SendOutcome* outcome) {
  if (channel == Channel::kEmail) return send_mail_message(s, "a@x.org", "S", "B", false, outcome);
  if (channel == Channel::kTelegram) return send_telegram(s, "t", false, outcome);
  return send_teams(s, "T", "B", false, outcome);
}

// cacert, ssl_revoke and proxy from the file reach every channel's curl (absent: curl's defaults);
// the proxy, which may hold a login, only on standard input; revocation only where TLS checks it.
TEST_F(ChannelsTest, TlsAndProxySettingsFromTheFileReachEveryChannel) {
  test::write_file("ca.pem", "x");
  const struct {
    const char *lines, *cacert, *revoke, *proxy, *note;
  } cases[] = {
      {"cacert : \"ca.pem\"\nssl_revoke : \"off\"\nproxy : \"http://u:pw@p:3128\"\n", "ca.pem",
       "--ssl-no-revoke", "http://u:pw@p:3128", ""},
      {"ssl_revoke : \"best-effort\"\n", "", "--ssl-revoke-best-effort", "", ""},
      {"cacert : \"none.pem\"\n", "none.pem", "", "",
       "cacert \"none.pem\" in linkwatch_email.txt cannot be read"},
  };
  test::CommandRecorder recorder;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.lines);
    test::write_file(kNotifyFileName,
                     std::string("server : \"smtp://m:587\"\nemail : \"e@x\"\n"
                                 "password : \"p\"\nto : \"a@x\"\ntoken : \"1:T\"\n"
                                 "chat_id : \"42\"\nteams_webhook : \"https://h/t\"\n") +
                         c.lines);
    test::OutputCapture capture;
    NotifySettings s;
    load_notify_config(&s);
    Args want = *c.cacert ? Args{"--cacert", c.cacert} : Args{};
    if (*c.revoke && platform::kTlsChecksRevocation) want.push_back(c.revoke);
    for (Channel channel : {Channel::kEmail, Channel::kTelegram, Channel::kTeams}) {
      ASSERT_EQ(send(channel, s, nullptr), 1);
      const test::RecordedCommand command = recorder.commands().back();
      EXPECT_EQ(Args(command.argv.begin() + 8, command.argv.begin() + 8 + want.size()), want);
      const std::string next = command.argv.at(8 + want.size());  // no other switch
      EXPECT_TRUE(next == "-o" || next.starts_with("smtp://")) << next;
      const std::string input = command.input.value_or("");
      EXPECT_TRUE(*c.proxy
                      ? input.ends_with("proxy = \"" + std::string(c.proxy) + "\"\nshow-error\n")
                      : input.find("proxy") == std::string::npos)
          << input;
      for (const std::string& arg : command.argv) EXPECT_EQ(arg.find("proxy"), std::string::npos);
    }
    EXPECT_EQ(capture.out().find(*c.note ? c.note : " in linkwatch_email.txt") != std::string::npos,
              *c.note != '\0')
        << capture.out();
    EXPECT_EQ(capture.out().find("u:pw"), std::string::npos);
  }
}

// Each answer as curl reports it: the outcome line, the hint of a refused password login or of a
// revocation failure, the retry rule, the console code. A failed token request sends no mail.
TEST_F(ChannelsTest, OutcomeLineOfEachAnswer) {
  const std::string limited = R"({"ok":false,"error_code":429,"description":"Too Many )"
                              R"(Requests: retry after 5","parameters":{"retry_after":5}})";
  const std::string login =
      "Email: the mail server refused the login; when it no longer takes password logins "
      "(Microsoft 365, Outlook.com, Gmail), set smtp_auth : \"oauth2\" in linkwatch_email.txt, "
      "send through a relay with smtp_auth : \"none\", or log in with an app password";
  const std::string offline =
      "curl: (35) schannel: next InitializeSecurityContext failed: CRYPT_E_REVOCATION_OFFLINE "
      "(0x80092013)\n000";
  const std::string unchecked =
      ": the certificate's revocation could not be checked; when this computer cannot reach the "
      "certificate authority's revocation lists, set ssl_revoke : \"best-effort\" in "
      "linkwatch_email.txt";
  const std::string although =
      ": the certificate's revocation check failed although ssl_revoke is ";
  const struct {
    Channel channel;
    const char *auth, *revoke;  // smtp_auth, ssl_revoke
    int rc;
    std::string codes, body, line, hint;
    bool temporary;
    int retry_after, console_rc;
  } cases[] = {
      {Channel::kEmail, "", "", 0, "250", "", "Email: sent (SMTP 250)", "", false, 0, 0},
      {Channel::kEmail, "", "", 55, "451", "", "Email: not sent: curl 55 (send failed), SMTP 451",
       "", true, 0, 55},
      {Channel::kEmail, "", "", 67, "535", "", "Email: not sent: curl 67 (login denied), SMTP 535",
       login, false, 0, 67},
      {Channel::kEmail, "", "", 55, "535", "", "Email: not sent: curl 55 (send failed), SMTP 535",
       login, false, 0, 55},
      {Channel::kEmail, "none", "", 67, "535", "",
       "Email: not sent: curl 67 (login denied), SMTP 535", "", false, 0, 67},
      {Channel::kEmail, "oauth2", "", 0,
       "{\"error\":\"invalid_client\",\"error_description\":\"Bad secret.\"}\n401 ", "",
       "Email: not sent: token request: HTTP 401: invalid_client: Bad secret.", "", false, 0, 22},
      {Channel::kEmail, "oauth2", "", 0, "{\"error\":\"temporarily_unavailable\"}\n503 120", "",
       "Email: not sent: token request: HTTP 503: temporarily_unavailable", "", true, 120, 22},
      {Channel::kEmail, "oauth2", "", 7, "curl: (7) Failed to connect\n000 ", "",
       "Email: not sent: token request: curl 7 (cannot connect)", "", true, 0, 7},
      {Channel::kEmail, "oauth2", "", 0, "{\"token_type\":\"Bearer\"}\n200 ", "",
       "Email: not sent: token request: HTTP 200: no usable access_token in the answer", "", false,
       0, 22},
      {Channel::kTelegram, "", "", 0, "429 ", limited,
       "Telegram: not sent: HTTP 429: Too Many Requests: retry after 5", "", true, 5, 22},
      {Channel::kTelegram, "", "", 0, "429 9", limited,  // the longer wait: the header's
       "Telegram: not sent: HTTP 429: Too Many Requests: retry after 5", "", true, 9, 22},
      {Channel::kTelegram, "", "", 0, "200 ", "{\"ok\":false}",
       "Telegram: not sent: HTTP 200: {\"ok\":false}", "", false, 0, 22},
      {Channel::kTelegram, "", "", 7, "000 ", "", "Telegram: not sent: curl 7 (cannot connect)", "",
       true, 0, 7},
      {Channel::kTeams, "", "", 0, "202 ", "", "Teams: sent (HTTP 202)", "", false, 0, 0},
      {Channel::kTeams, "", "", 0, "200 ", "Webhook message delivery failed with error: Forbidden",
       "Teams: not sent: HTTP 200: Webhook message delivery failed with error: Forbidden", "",
       false, 0, 22},
      {Channel::kTeams, "", "", 0, "503 30", "", "Teams: not sent: HTTP 503", "", true, 30, 22},
      {Channel::kTeams, "", "", -1, "", "", "Teams: not sent: curl -1 (could not run)", "", false,
       0, -1},
      // curl's error line comes before the codes.
      {Channel::kEmail, "", "", 35,
       "curl: (35) schannel: next InitializeSecurityContext failed: Unknown error (0x80092012) - "
       "The revocation function was unable to check revocation for the certificate.\n000",
       "", "Email: not sent: curl 35 (TLS handshake failed)", "Email" + unchecked, true, 0, 35},
      {Channel::kTelegram, "", "off", 35, offline, "",
       "Telegram: not sent: curl 35 (TLS handshake failed)",
       "Telegram" + although + "\"off\" in linkwatch_email.txt", true, 0, 35},
      {Channel::kTeams, "", "best-effort", 35, offline, "",
       "Teams: not sent: curl 35 (TLS handshake failed)",
       "Teams" + although + "\"best-effort\" in linkwatch_email.txt", true, 0, 35},
      {Channel::kTeams, "", "", 0, "curl: (22) The requested URL returned error: 400\n400 ", "",
       "Teams: not sent: HTTP 400", "", false, 0, 22},
  };
  test::CommandRecorder recorder;
  NotifySettings s = settings("");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    std::filesystem::remove("linkwatch_log.txt");
    recorder.set_result(c.rc);
    recorder.set_answer(c.codes, c.body);
    s.smtp_auth.assign(c.auth);
    s.ssl_revoke.assign(c.revoke);
    const size_t runs = recorder.commands().size();
    test::OutputCapture capture;
    SendOutcome outcome;
    const bool delivered = c.line.find(": sent") != std::string::npos;
    EXPECT_EQ(send(c.channel, s, &outcome), delivered ? 1 : 0);
    EXPECT_EQ(recorder.commands().size(), runs + 1);
    const Args log = test::log_messages();
    EXPECT_EQ(log.at(1), c.line);
    EXPECT_EQ(Args(log.begin() + 2, log.end()), c.hint.empty() ? Args{} : Args{c.hint});
    EXPECT_TRUE(outcome.attempted && outcome.delivered == delivered);
    EXPECT_EQ(outcome.temporary, c.temporary);
    EXPECT_EQ(outcome.retry_after_seconds, c.retry_after);
    EXPECT_NE(capture.out().find(" command rc=" + std::to_string(c.console_rc) + "\n"),
              std::string::npos)
        << capture.out();
  }
  for (const auto& entry : fs::directory_iterator("."))  // no send or reply file is left
    EXPECT_EQ(entry.path().filename(), "linkwatch_log.txt");
}

// What no process can be made to report through the recorder: runs ended by the runner,
// and the forms of the codes a curl prints.
TEST(SendOutcomeTest, ClassifiesRunsAndCodes) {
  const struct {
    Channel channel;
    RunStatus run;
    const char *codes, *reply, *detail;  // the detail as "-test" shows it
    bool delivered, temporary;
  } cases[] = {
      {Channel::kEmail, RunStatus::kTimedOut, "", nullptr, "curl -1: time limit of 180 s", 0, 1},
      {Channel::kTeams, RunStatus::kStopped, "", "", "curl -1: ended at stop", 0, 1},
      {Channel::kTeams, RunStatus::kExited, "404 %header{retry-after}", "", "HTTP 404", 0, 0},
      {Channel::kTeams, RunStatus::kExited, "429 Wed, 21 Oct 2015 07:28:00 GMT", "", "HTTP 429", 0,
       1},
      {Channel::kTelegram, RunStatus::kExited, "200 ", "{\"ok\" : true}", "HTTP 200", 1, 0},
  };
  for (const auto& c : cases) {
    SendOutcome outcome;
    classify_send(c.channel, c.run == RunStatus::kExited ? 0 : -1, c.run, c.codes, c.reply,
                  &outcome);
    char detail[512];
    format_outcome_detail(outcome, c.channel, DetailStyle::kTest, detail, sizeof detail);
    EXPECT_STREQ(detail, c.detail);
    EXPECT_TRUE(outcome.delivered == c.delivered && outcome.temporary == c.temporary &&
                outcome.retry_after_seconds == 0)
        << c.detail;
  }
}

// The recorder stands in for curl above; here a real child process writes the codes and the
// answer (the only such run on Windows, where the e2e tests skip), and both files go after.
TEST_F(ChannelsTest, AnswerOfARunningCurlIsRead) {
  const char kBody[] = R"({"ok":false,"parameters":{"retry_after":5}})";
  test::ScopedFakeTools curl(work_dir(), {"curl"},
                             {{"LW_FAKE_CURL_STATUS", "429"},
                              {"LW_FAKE_CURL_BODY", kBody},
                              {"LW_FAKE_CURL_RETRY_AFTER", "9"}});
  test::OutputCapture capture;
  SendOutcome outcome;
  send(Channel::kTelegram, settings(), &outcome);
  EXPECT_EQ(test::log_messages().back(), std::string("Telegram: not sent: HTTP 429: ") + kBody);
  EXPECT_EQ(outcome.retry_after_seconds, 9) << "the header before the body";
  for (const auto& entry : fs::directory_iterator("."))  // no send or reply file is left
    EXPECT_TRUE(entry.path().filename() == "linkwatch_log.txt" ||
                entry.path().filename().string().rfind("curl", 0) == 0)
        << entry.path();
}

TEST_F(ChannelsTest, NothingGoesOutWithoutSettingsOrWithOptionLikeValues) {
  test::CommandRecorder recorder;
  test::OutputCapture capture;
  NotifySettings no_password = settings(), option_like = settings();
  no_password.password.clear();
  option_like.server.assign("--config=/etc/passwd");  // curl would take these as options
  option_like.teams_webhook.assign("-o/tmp/x");
  EXPECT_EQ(send_mail_message(settings(), "", "S", "B", false), 0);
  EXPECT_EQ(send_mail_message(no_password, "a@x.org", "S", "B", false), 0);
  EXPECT_EQ(send_mail_message(option_like, "a@x.org", "S", "B", true), 0);
  EXPECT_EQ(send_teams(option_like, "T", "B", true), 0);
  EXPECT_EQ(recorder.commands().size(), 0u);
}

TEST_F(ChannelsTest, StaleSendFilesOfEndedProcessesAreRemoved) {
  const std::string dead = "4000000000";  // beyond any process number in use
  const std::pair<std::string, bool> files[] = {
      {"mailtext." + dead + ".3.txt", false}, {"teamsmsg." + dead + ".0.json", false},
      {"reply." + dead + ".2.txt", false},    {"mailtext." + kPid + ".1.txt", true},
      {"mailtext." + dead + ".3.json", true}, {"notes." + dead + ".1.txt", true},
  };
  for (const auto& [name, kept] : files) test::write_file(name, "m");
  remove_stale_send_files();
  for (const auto& [name, kept] : files) EXPECT_EQ(test::file_exists(name), kept) << name;
}

TEST(CurlConfigTest, ALineThatFitsExactlyIsTakenOneTooLongLeavesTheTextAlone) {
  const char* quoted[] = {"ab\"c"};  // user = "ab\"c"\n: 16 characters
  char exact[17] = "";
  EXPECT_TRUE(append_curl_config_line(exact, sizeof exact, "user", quoted, 1));
  char small[16] = "keep";
  EXPECT_FALSE(append_curl_config_line(small, sizeof small, "user", quoted, 1));
  EXPECT_STREQ(small, "keep");
}

// The curl "-test" of a copied program reports: beside it, then the working folder, then PATH; one
// that cannot be started is passed over (Windows: a .cmd, logged; POSIX: no execute bit).
TEST_F(ChannelsTest, CurlIsFoundBesideTheProgramInTheWorkingFolderThenOnPath) {
  const std::string exe = platform::kExecutableSuffix;
  for (const char* dir : {"prog", "cwd", "bin1", "bin2"}) fs::create_directory(dir);
  fs::copy_file(test::program_path("linkwatch"), "prog/linkwatch" + exe);
  test::write_file("cwd/linkwatch_host.txt",
                   "interval : \"60\"\nhost : \"127.0.0.1\"\nport : \"1\"\n");
  const std::string curl = "curl" + exe;
  const std::string path = (work_dir() / "bin1").string() + platform::kPathListSeparator +
                           (work_dir() / "bin2").string();
  // A script or a file that may not be run, placed where the search meets it before bin2.
  const std::string unusable = exe.empty() ? "bin1/curl" : "bin1/curl.cmd";
  const struct {
    std::vector<std::string> copies;
    std::string used;  // folder of the curl used; "" for none
  } cases[] = {
      {{"prog/" + curl, "cwd/" + curl, "bin2/" + curl}, "prog"},
      {{"cwd/" + curl, "bin2/" + curl}, "cwd"},
      {{"bin2/" + curl}, "bin2"},
      {{}, ""},
  };
  const char* saved = std::getenv("PATH");
  const std::string saved_path = saved ? saved : "";
  ASSERT_TRUE(platform::set_env("PATH", path.c_str()));
  for (const auto& c : cases) {
    for (const char* dir : {"prog", "cwd", "bin1", "bin2"}) fs::remove(fs::path(dir) / curl);
    for (const std::string& copy : c.copies) fs::copy_file(test::program_path("lw_testtool"), copy);
    test::write_file(unusable, "@echo off\n");
    ASSERT_TRUE(platform::change_directory((work_dir() / "cwd").string().c_str()));
    const auto [rc, out] =
        test::run_program({"-test"}, (work_dir() / "prog" / ("linkwatch" + exe)).string());
    ASSERT_TRUE(platform::change_directory(work_dir().string().c_str()));
    const std::string want =
        c.used.empty() ? "curl: not found beside linkwatch, in the working folder or on PATH"
                       : "curl: " + (work_dir() / c.used / curl).make_preferred().string() +
                             ", curl 8.99.0 (stand-in) test tool\n";
    EXPECT_NE(out.find(want), std::string::npos) << c.used << "\n" << out;
    const bool skip_logged =
        out.find("curl.cmd is skipped: a .cmd or .bat file runs only") != std::string::npos;
    EXPECT_EQ(skip_logged, !exe.empty() && (c.used == "bin2" || c.used.empty())) << out;
  }
  platform::set_env("PATH", saved_path.c_str());
}

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
  std::deque<std::pair<int, std::string>> answers;
  std::vector<std::pair<Args, std::string>> calls;
  test::ScopedEnvironment env_;
};

// The mail's TLS switch and standard input of each mode and key. (The whole call of the
// default: ChannelsTest.EachChannelSendsItsOwnFileWithSecretsOnStandardInputOnly.)
TEST_F(MailAuthTest, MailCallOfEachModeAndKey) {
  const std::string login =
      "user = \"ops@example.com:p$w \\\"q\\\"\\t100%\\r\\n& c:\\\\dir\\\\\"\n";
  const std::string end = "show-error\n";
  for (const auto& [mode, tls, no_proxy, ssl, input] :
       std::vector<std::tuple<const char*, const char*, const char*, const char*, std::string>>{
           {"password", "try", "", "--ssl-reqd", login + end},
           {"none", "try", "relay.corp, .corp", "--ssl",
            "proxy = \"http://p:3128\"\nnoproxy = \"relay.corp, .corp\"\n" + end},
           {"oauth2", "try", "", "--ssl-reqd",
            "user = \"ops@example.com:\"\noauth2-bearer = \"tok.1\"\n" + end}}) {
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

// A token is kept until 60 s before its end; a refused one is replaced and the mail sent again;
// other settings get their own; none in an argument (nor file or log: E2eMailAuthTest.XOAuth2...).
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
}

// What "-check" says of the login keys together, with their line numbers, and whether the loader
// turns e-mail on (when the mode's own keys are there); the OAuth 2.0 secrets are stored protected.
TEST_F(MailAuthTest, CheckAndLoaderOfTheLoginKeys) {
  const std::string mail = "server:\"smtp://relay.corp:25\"\nto:\"a@x\"\n";
  const std::string oauth = mail + "email:\"e\"\nsmtp_auth:\"oauth2\"\n";
  const std::string url_id = "oauth2_token_url:\"https://t/x\"\noauth2_client_id:\"c\"\n";
  const std::string keys = url_id + "oauth2_scope:\"s\"\noauth2_refresh_token:\"1//r\"\n";
  for (const auto& [text, result, enabled, printed] :
       std::vector<std::tuple<std::string, int, int, std::string>>{
           {mail + "from:\"m@x\"\nsmtp_auth:\"none\"\nsmtp_tls:\"try\"\nno_proxy:\"relay.corp\"\n",
            1, 1, ""},
           {mail + "smtp_auth:\"none\"\n", 0, 0,
            "smtp_auth \"none\" (line 3) needs the sender's address in from or email\n"},
           {mail + "email:\"e\"\npassword:\"p\"\nsmtp_tls:\"try\"\n", 0, 1,
            "Line 5: smtp_tls \"try\" would let the password travel in clear; use it only with "
            "smtp_auth : \"none\"\n"},
           {oauth + keys + "smtp_tls:\"try\"\n", 0, 1,
            "Line 9: smtp_tls \"try\" would let the token travel in clear; use it only with "
            "smtp_auth : \"none\"\n"},
           {oauth + "oauth2_token_url:\"https://t/x\"\n", 0, 0,
            "smtp_auth \"oauth2\" (line 4) needs a value for oauth2_client_id\n"
            "smtp_auth \"oauth2\" (line 4) needs a value for oauth2_scope\n"
            "smtp_auth \"oauth2\" (line 4) needs oauth2_client_secret or oauth2_refresh_token\n"},
           {oauth + url_id + "oauth2_client_secret:\"cs\"\n", 0, 0,
            "smtp_auth \"oauth2\" (line 4) needs a value for oauth2_scope\n"},
           {"server:\"smtp://u@SMTP.Office365.com:587\"\nemail:\"e\"\npassword:\"p\"\nto:\"a@x\"\n",
            1, 1,
            "Warning: config.txt line 1: this mail service ends password logins; use smtp_auth : "
            "\"oauth2\", a relay with smtp_auth : \"none\", or an app password\n"},
           {"server:\"smtps://smtp.gmail.com\"\nto:\"a@x\"\nemail:\"e\"\nsmtp_auth:\"oauth2\"\n" +
                keys,
            1, 1, ""},
           {"server:\"smtp://"
            "smtp.office365.com.evil:587\"\nemail:\"e\"\npassword:\"p\"\nto:\"a@x\"\n",
            1, 1, ""},
           {oauth + keys + "oauth2_client_secret:\"c~s\"\n", 1, 1, ""}}) {
    test::write_file("config.txt", text);
    test::write_file(kNotifyFileName, text);
    test::OutputCapture capture;
    EXPECT_EQ(check_config_file("config.txt", kNotifyFile), result) << text;
    EXPECT_EQ(capture.out(), printed) << text;
    NotifySettings s;
    load_notify_config(&s);
    EXPECT_EQ(s.email_enabled, enabled) << text;
  }
  const std::string file = test::read_file(kNotifyFileName);  // of the last row
  EXPECT_TRUE(file.find("c~s") == std::string::npos && file.find("1//r") == std::string::npos);
  NotifySettings s;
  load_notify_config(&s);
  EXPECT_TRUE(s.oauth2_client_secret == "c~s" && s.oauth2_refresh_token == "1//r");
}

}  // namespace
}  // namespace lw
