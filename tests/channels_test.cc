// The e-mail, Telegram and Teams sends as curl would see them, and their send files.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <regex>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "config/notify_config.h"
#include "config/recipients.h"
#include "notify/email.h"
#include "notify/outcome.h"
#include "notify/send_files.h"
#include "notify/teams.h"
#include "notify/telegram.h"
#include "platform/platform.h"
#include "support/capture.h"
#include "support/command_recorder.h"

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
  s.password.assign("p$w \"q\" 100% & c:\\dir\\");  // to reach curl unchanged, in no argument
  s.from.assign("Monitor <mon@example.com>");
  s.token.assign("123456:AAH-x_y");
  s.chat_id.assign("@ops room");
  s.teams_webhook.assign(kHook);
  s.email_enabled = s.telegram_enabled = s.teams_enabled = 1;
  return s;
}

// argv with the program by its name and this process's send file numbers
// shown as ".PID.N.".
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

Args folder() {  // names of the files in the working folder
  Args names;
  for (const auto& entry : fs::directory_iterator("."))
    names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
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
  EXPECT_EQ(sent[0].input,
            "user = \"ops@example.com:p$w \\\"q\\\" 100% & c:\\\\dir\\\\\"\nshow-error\n");
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
  if (!*platform::kExecutableSuffix) {  // POSIX: owner-only from the start
    EXPECT_EQ(sent[0].file_mode, fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_EQ(sent[2].file_mode, fs::perms::owner_read | fs::perms::owner_write);
  }
  EXPECT_EQ(folder(), Args{"linkwatch_log.txt"});
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
      {"S", "a\nb\r\nc", "a\r\nb\r\nc\r\n"},
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

// An address with a control byte reaches neither curl nor the log: it is left out (the log
// names it escaped) and the others get the mail; the To: header lists exactly the
// addresses of the envelope, in its order, also when the length cut drops one.
TEST_F(ChannelsTest, HeaderAndEnvelopeListTheSameAddresses) {
  const std::tuple<std::string, std::string, std::vector<std::string>> cases[] = {
      {"a@x.org, b\r@y.org, c@z.org\x7f, d@w.org",
       "a@x.org, d@w.org",
       {"Email: recipient \"b\\r@y.org\" holds a control character; it is left out",
        "Email: recipient \"c@z.org\\x7F\" holds a control character; it is left out",
        "Send Mail Alert to a@x.org, b\\r@y.org, c@z.org\\x7F, d@w.org via SMTP server "
        "smtp://mail.example:587"}},
      {std::string(1010, 'l') + "@x.org,b@y.org,c@z.org", std::string(1010, 'l') + "@x.org", {}},
  };
  test::CommandRecorder recorder;
  for (const auto& [list, to, logged] : cases) {
    SCOPED_TRACE(list.substr(0, 40));
    std::filesystem::remove("linkwatch_log.txt");
    EXPECT_EQ(send_mail_message(settings(), list.c_str(), "S", "B", true), 1);
    const test::RecordedCommand sent = recorder.commands().back();
    std::string rcpt;
    for (size_t i = 0; i + 1 < sent.argv.size(); ++i) {
      if (sent.argv[i] == "--mail-rcpt") rcpt += (rcpt.empty() ? "" : ", ") + sent.argv[++i];
    }
    EXPECT_EQ(rcpt, to);
    const auto [headers, text] = mail_parts(sent.mail_file.value_or(""));
    ASSERT_GT(headers.size(), 1u);
    EXPECT_EQ(headers[1], "To: " + to);
    const std::string log = test::read_file("linkwatch_log.txt");
    EXPECT_TRUE(std::none_of(log.begin(), log.end(), [](char c) {
      return (static_cast<unsigned char>(c) < 32 && c != '\r' && c != '\n') || c == 0x7F;
    }));
    std::vector<std::string> lines = test::log_messages();
    lines.pop_back();  // the outcome line
    if (!logged.empty()) {
      EXPECT_EQ(lines, logged);
    }
  }
}

std::string joined(const char* const* items, int count) {
  std::string text;
  for (int i = 0; i < count; ++i) text += std::string(i ? "|" : "") + items[i];
  return text;
}

// One splitter for the envelope and the To: header: commas separate, white space
// (\v and \f too) around an address goes, empty pieces drop, an address with a control
// byte inside is refused, and an address the 1023-character cut goes through is dropped.
TEST(MailRecipientsTest, SplitsTrimsRefusesAndCutsWholeAddresses) {
  const std::string filler = std::string(1000, 'f') + "@x,";  // 1003 characters
  const std::tuple<std::string, std::string, std::string> cases[] = {
      {"", "", ""},
      {"\v a@x\f,\t\r\nb@y\v\r\n, \f ,", "a@x|b@y", ""},
      {"a@x, b@y, a@x", "a@x|b@y|a@x", ""},
      {"a@x, b\r@y, c@z\x7f, d@w", "a@x|d@w", "b\r@y|c@z\x7f"},
      {"a@x\x01, b@y", "b@y", "a@x\x01"},
      {"Ops Team <a@x>", "Ops Team <a@x>", ""},
      {filler + "abcdefghijklmnopqrst", filler.substr(0, 1002) + "|abcdefghijklmnopqrst",
       ""},                                                            // 1023 characters: all kept
      {filler + "abcdefghijklmnopqrstu", filler.substr(0, 1002), ""},  // cut through: dropped
      {filler + "abcdefghijklmnopqrst,b@y", filler.substr(0, 1002) + "|abcdefghijklmnopqrst", ""},
      {filler + "abcdefghijklmnopqrst  , b@y", filler.substr(0, 1002) + "|abcdefghijklmnopqrst",
       ""},
      {filler + "abcdefghijklmnopqrst  c@z", filler.substr(0, 1002), ""},
  };
  for (const auto& [list, addresses, refused] : cases) {
    MailRecipients split;
    split_mail_recipients(list.c_str(), &split);
    EXPECT_EQ(joined(split.address, split.count), addresses) << list;
    EXPECT_EQ(joined(split.refused, split.refused_count), refused) << list;
  }
}

TEST(MailRecipientsTest, ControlBytesAreShownEscaped) {
  char out[64];
  escape_control_bytes("a@x\r\n\t\x01\x1f\x7f \xC3\xA9\\", out, sizeof out);
  EXPECT_STREQ(out, "a@x\\r\\n\\t\\x01\\x1F\\x7F \xC3\xA9\\");
  char small[6];
  escape_control_bytes("ab\rcd", small, sizeof small);
  EXPECT_STREQ(small, "ab\\rc");
}

// The bot token is percent-encoded where it stands in the request address, so nothing in
// it can change the path; a token of its own alphabet stays as it is.
TEST(TelegramRequestTest, TokenCannotChangeThePath) {
  const std::pair<const char*, const char*> cases[] = {
      {"123456789:AAH-x_y", "bot123456789:AAH-x_y/sendMessage?"},
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

// cacert, ssl_revoke and proxy as the file gives them reach every channel's curl; absent, curl
// keeps its defaults. The proxy (which may hold a login) goes only on standard input and in no
// note; the revocation switch only where the system's TLS checks revocation.
TEST_F(ChannelsTest, TlsAndProxySettingsFromTheFileReachEveryChannel) {
  test::write_file("ca.pem", "x");
  const struct {
    const char* lines;
    Args tls;
    const char *revoke, *proxy, *note;
  } cases[] = {
      {"", {}, "", "", nullptr},
      {"cacert : \"ca.pem\"\nssl_revoke : \"off\"\nproxy : \"http://u:pw@p:3128\"\n",
       {"--cacert", "ca.pem"},
       "--ssl-no-revoke",
       "http://u:pw@p:3128",
       nullptr},
      {"ssl_revoke : \"best-effort\"\n", {}, "--ssl-revoke-best-effort", "", nullptr},
      {"cacert : \"none.pem\"\n",
       {"--cacert", "none.pem"},
       "",
       "",
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
    Args want = c.tls;
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
    EXPECT_EQ(capture.out().find(c.note ? c.note : " in linkwatch_email.txt") != std::string::npos,
              c.note != nullptr)
        << capture.out();
    EXPECT_EQ(capture.out().find("u:pw"), std::string::npos);
  }
}

// Each channel's answer as curl reports it, up to its outcome line, retry rule and console code.
TEST_F(ChannelsTest, OutcomeLineOfEachAnswer) {
  const std::string limited = R"({"ok":false,"error_code":429,"description":"Too Many )"
                              R"(Requests: retry after 5","parameters":{"retry_after":5}})";
  const struct {
    Channel channel;
    int rc;
    std::string codes, body, line;
    bool temporary;
    int retry_after, console_rc;
  } cases[] = {
      {Channel::kEmail, 0, "250", "", "Email: sent (SMTP 250)", false, 0, 0},
      {Channel::kEmail, 55, "451", "", "Email: not sent: curl 55 (send failed), SMTP 451", true, 0,
       55},
      {Channel::kTelegram, 0, "429 ", limited,
       "Telegram: not sent: HTTP 429: Too Many Requests: retry after 5", true, 5, 22},
      {Channel::kTelegram, 0, "200 ", "{\"ok\":false}",
       "Telegram: not sent: HTTP 200: {\"ok\":false}", false, 0, 22},
      {Channel::kTelegram, 7, "000 ", "", "Telegram: not sent: curl 7 (cannot connect)", true, 0,
       7},
      {Channel::kTeams, 0, "202 ", "", "Teams: sent (HTTP 202)", false, 0, 0},
      {Channel::kTeams, 0, "200 ", "Webhook message delivery failed with error: Forbidden",
       "Teams: not sent: HTTP 200: Webhook message delivery failed with error: Forbidden", false, 0,
       22},
      {Channel::kTeams, 0, "503 30", "", "Teams: not sent: HTTP 503", true, 30, 22},
      {Channel::kTeams, -1, "", "", "Teams: not sent: curl -1 (could not run)", false, 0, -1},
      // curl's error line comes before the codes; a revocation failure adds a hint.
      {Channel::kEmail, 35,
       "curl: (35) schannel: next InitializeSecurityContext failed: Unknown error (0x80092012) - "
       "The revocation function was unable to check revocation for the certificate.\n000",
       "", "Email: not sent: curl 35 (TLS handshake failed)", true, 0, 35},
      {Channel::kTeams, 0, "curl: (22) The requested URL returned error: 400\n400 ", "",
       "Teams: not sent: HTTP 400", false, 0, 22},
  };
  test::CommandRecorder recorder;
  for (const auto& c : cases) {
    std::filesystem::remove("linkwatch_log.txt");
    recorder.set_result(c.rc);
    recorder.set_answer(c.codes, c.body);
    test::OutputCapture capture;
    SendOutcome outcome;
    const bool delivered = c.line.find(": sent") != std::string::npos;
    EXPECT_EQ(send(c.channel, settings(), &outcome), delivered ? 1 : 0) << c.line;
    const std::vector<std::string> log = test::log_messages();
    EXPECT_EQ(log.at(1), c.line);
    // A revocation failure adds a line (its text: RevocationHintOnlyWhileSslRevokeIsNotSet).
    EXPECT_EQ(log.size(), c.codes.find("revocation") != std::string::npos ? 3u : 2u) << c.line;
    EXPECT_TRUE(outcome.attempted && outcome.delivered == delivered) << c.line;
    EXPECT_EQ(outcome.temporary, c.temporary) << c.line;
    EXPECT_EQ(outcome.retry_after_seconds, c.retry_after) << c.line;
    EXPECT_NE(capture.out().find(" command rc=" + std::to_string(c.console_rc) + "\n"),
              std::string::npos)
        << capture.out();
  }
  EXPECT_EQ(folder(), Args{"linkwatch_log.txt"});
}

// A revocation failure logs the hint to set ssl_revoke only while it is not set; set to
// best-effort or off, the line says the check failed although it is set so.
TEST_F(ChannelsTest, RevocationHintOnlyWhileSslRevokeIsNotSet) {
  const std::string codes =
      "curl: (35) schannel: next InitializeSecurityContext failed: CRYPT_E_REVOCATION_OFFLINE "
      "(0x80092013)\n000";
  const std::string hint =
      ": the certificate's revocation could not be checked; when this computer cannot reach the "
      "certificate authority's revocation lists, set ssl_revoke : \"best-effort\" in "
      "linkwatch_email.txt";
  const std::string although =
      ": the certificate's revocation check failed although ssl_revoke is ";
  const std::tuple<Channel, const char*, std::string> cases[] = {
      {Channel::kEmail, "", "Email" + hint},
      {Channel::kTelegram, "off", "Telegram" + although + "\"off\" in linkwatch_email.txt"},
      {Channel::kTeams, "best-effort",
       "Teams" + although + "\"best-effort\" in linkwatch_email.txt"},
  };
  test::CommandRecorder recorder;
  recorder.set_result(35);
  recorder.set_answer(codes, "");
  for (const auto& [channel, revoke, line] : cases) {
    std::filesystem::remove("linkwatch_log.txt");
    NotifySettings s = settings();
    s.ssl_revoke.assign(revoke);
    test::OutputCapture capture;
    EXPECT_EQ(send(channel, s, nullptr), 0);
    const std::vector<std::string> log = test::log_messages();
    ASSERT_EQ(log.size(), 3u) << line;
    EXPECT_EQ(log[2], line);
  }
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

// The whole way through real processes: the test tool stands in for curl, first on PATH.
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
  EXPECT_EQ(folder(),
            (Args{"curl" + std::string(platform::kExecutableSuffix), "linkwatch_log.txt"}));
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

}  // namespace
}  // namespace lw
