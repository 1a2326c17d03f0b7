// The web hook templates of docs/alerts.md through the real curl to
// tests/e2e/webhook_receiver.py (HTTPS on 127.0.0.1).

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
#include "platform/platform.h"
#include "support/capture.h"
#include "support/output.h"
#include "support/test_env.h"

namespace lw {
namespace {

constexpr const char kPython[] = "/usr/bin/python3";
const std::filesystem::path kRoot = std::filesystem::path(__FILE__).parent_path().parent_path();

std::vector<std::string> split(const std::string& text, char separator) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string part; std::getline(in, part, separator);) out.push_back(part);
  return out;
}

int run(const char* program, const std::string& args) {
  return test::run_program(split(args, ' '), program).first;
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
  const auto doc = split(test::read_file(kRoot / "docs" / "alerts.md"), '\n');
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

using E2eWebhookTest = test::WorkDirTest;

TEST_F(E2eWebhookTest, DownRecoveryAndDigestArriveInEachServicesShape) {
  if (run("curl", "--version") != 0 || run(kPython, "--version") != 0)
    GTEST_SKIP() << "no real curl (e.g. under wine) or no python3";
  ASSERT_EQ(run("openssl",
                "req -x509 -newkey rsa:2048 -nodes -keyout key.pem -out cert.pem -days 1 "
                "-subj /CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1"),
            0);
  int receiver_rc = -2;
  std::jthread receiver([&] {
    receiver_rc = test::run_program({(kRoot / "tests" / "e2e" / "webhook_receiver.py").string(),
                                     "hooks.port", "hooks.txt", "cert.pem", "key.pem", "18"},
                                    kPython)
                      .first;
  });
  for (int i = 0; i < 200 && !test::file_exists("hooks.port"); ++i) platform::sleep_ms(100);
  ASSERT_TRUE(test::file_exists("hooks.port")) << "the receiver did not start";
  const std::string port = std::to_string(to_int(test::read_file("hooks.port").c_str()));
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
  receiver.join();
  ASSERT_EQ(receiver_rc, 0) << "not every request arrived";

  std::map<int, std::map<std::string, std::string>> requests;  // by number: field -> value
  for (const std::string& line : split(test::read_file("hooks.txt"), '\n')) {
    const auto f = split(line, '\t');  // number, path, field, value
    if (f.size() < 3) continue;
    requests[to_int(f[0].c_str())]["@path"] = f[1];
    requests[to_int(f[0].c_str())][f[2]] = f.size() > 3 ? f[3] : "";
  }
  std::map<std::string, std::vector<std::map<std::string, std::string>>> got;  // by path, in order
  for (auto& [n, request] : requests) got[request["@path"]].push_back(request);

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
  const std::string& discord = got["/discord"][2]["content"];  // within Discord's 2,000
  EXPECT_LE(
      std::count_if(discord.begin(), discord.end(), [](char c) { return (c & 0xC0) != 0x80; }),
      2000);
}

}  // namespace
}  // namespace lw
