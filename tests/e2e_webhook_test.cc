// The web hook templates of docs/alerts.md, read from the document itself,
// loaded as linkwatch_email.txt and posted through the real curl to
// tests/e2e/webhook_receiver.py on 127.0.0.1 (HTTPS, a certificate of the
// test's own, trusted through `cacert`). Each arrives with the body shape
// its service documents.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "config/notify_config.h"
#include "config/webhook_template.h"
#include "notify/alerts.h"
#include "notify/digest.h"
#include "notify/dispatch.h"
#include "platform/platform.h"
#include "support/capture.h"
#include "support/output.h"
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

// The template blocks of docs/alerts.md: the lines of the fenced block
// after each "<!-- webhook template: NAME -->".
std::map<std::string, std::vector<std::string>> doc_templates() {
  const auto doc =
      std::filesystem::path(__FILE__).parent_path().parent_path() / "docs" / "alerts.md";
  std::istringstream lines(read_file(doc));
  std::map<std::string, std::vector<std::string>> found;
  const std::string marker = "<!-- webhook template: ";
  std::string name;
  bool inside = false;
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind(marker, 0) == 0) {
      name = line.substr(marker.size(), line.find(' ', marker.size()) - marker.size());
    } else if (!name.empty() && line.rfind("```", 0) == 0) {
      if (inside) name.clear();
      inside = !inside;
    } else if (inside) {
      found[name].push_back(line);
    }
  }
  return found;
}

// One request as the receiver saw it: field -> value.
using Request = std::map<std::string, std::string>;

// The receiver's records by path, in the order they came.
std::map<std::string, std::vector<Request>> received(const std::string& file) {
  std::map<int, std::pair<std::string, Request>> by_number;
  std::istringstream lines(read_file(file));
  for (std::string line; std::getline(lines, line);) {
    std::vector<std::string> parts;
    std::istringstream fields(line);
    for (std::string part; std::getline(fields, part, '\t');) parts.push_back(part);
    if (parts.size() < 3) continue;
    auto& request = by_number[to_int(parts[0].c_str())];
    request.first = parts[1];
    request.second[parts[2]] = parts.size() > 3 ? parts[3] : "";
  }
  std::map<std::string, std::vector<Request>> out;
  for (const auto& [n, request] : by_number) out[request.first].push_back(request.second);
  return out;
}

// A string as the receiver writes it.
std::string shown(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\\')
      out += "\\\\";
    else if (c == '\n')
      out += "\\n";
    else if (c == '\r')
      out += "\\r";
    else if (c == '\t')
      out += "\\t";
    else
      out += c;
  }
  return out;
}

size_t characters(const std::string& utf8) {
  size_t n = 0;
  for (char c : utf8) n += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  return n;
}

class E2eWebhookTest : public test::WorkDirTest {
 protected:
  void SetUp() override {
    if (run({"curl", "--version"}) != 0) GTEST_SKIP() << "no real curl (e.g. under wine)";
    if (run({kPython, "--version"}) != 0) GTEST_SKIP() << "no python3";
    ASSERT_EQ(run({"openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "key.pem",
                   "-out", "cert.pem", "-days", "1", "-subj", "/CN=127.0.0.1", "-addext",
                   "subjectAltName=IP:127.0.0.1"}),
              0);
    templates_ = doc_templates();
    set_silent_mode(true);
  }
  void TearDown() override { set_silent_mode(false); }

  // Starts the receiver for `count` requests; its port.
  int start_receiver(int count) {
    const auto script =
        std::filesystem::path(__FILE__).parent_path() / "e2e" / "webhook_receiver.py";
    const std::vector<std::string> args = {
        kPython,    script.string(), "hooks.port",         "hooks.txt",
        "cert.pem", "key.pem",       std::to_string(count)};
    receiver_ = std::thread([this, args] { receiver_rc_ = run(args, false); });
    for (int i = 0; i < 200 && !file_exists("hooks.port"); ++i) platform::sleep_ms(100);
    return file_exists("hooks.port") ? to_int(read_file("hooks.port").c_str()) : 0;
  }
  int join_receiver() {
    if (receiver_.joinable()) receiver_.join();
    return receiver_rc_;
  }

  // linkwatch_email.txt of the templates `names`, each address replaced
  // with the receiver's /<name>, loaded.
  NotifySettings load(const std::vector<std::string>& names, int port) {
    std::string text = "cacert : \"" + (work_dir() / "cert.pem").string() + "\"\n";
    for (const std::string& name : names) {
      EXPECT_FALSE(templates_[name].empty()) << "no template " << name << " in docs/alerts.md";
      for (const std::string& line : templates_[name]) {
        if (line.rfind("webhook_url", 0) == 0) {
          text += "webhook_url : \"https://127.0.0.1:" + std::to_string(port) + "/" + name + "\"\n";
        } else {
          text += line + "\n";
        }
      }
    }
    test::write_file(kNotifyFileName, text);
    NotifySettings settings;
    test::OutputCapture capture;
    load_notify_config(&settings);
    EXPECT_EQ(capture.out(), "") << text;
    EXPECT_EQ(settings.webhook_count, static_cast<int>(names.size()));
    for (int i = 0; i < settings.webhook_count; ++i) EXPECT_TRUE(settings.webhooks[i].usable) << i;
    return settings;
  }

  std::map<std::string, std::vector<std::string>> templates_;
  std::thread receiver_;
  int receiver_rc_ = -2;
};

HostEntry service() {
  HostEntry entry;
  entry.host.assign("web01.example");
  set_port_text(&entry, "443");
  entry.description.assign("Shop \"front\" caf\xC3\xA9");
  entry.alertcount_text.assign("3");
  entry.first_fail_time = 1700000000;
  entry.down_since = 1700000000;
  return entry;
}

// The chat services: one DOWN alert each, then a digest of 80 services
// whose text each service's limit cuts at a whole line.
TEST_F(E2eWebhookTest, ChatTemplatesArriveInTheirServicesShape) {
  const int port = start_receiver(8);
  ASSERT_GT(port, 0) << "the receiver did not start";
  const NotifySettings settings = load({"ntfy", "slack", "discord", "mattermost"}, port);
  const HostEntry entry = service();
  auto down = new_message();
  compose_down_alert(entry, entry, "connect \"refused\"\ttab \\ back", 0, down.get());
  dispatch_message(*down, settings);
  std::vector<HeldAlert> held(80);
  for (size_t i = 0; i < held.size(); ++i) {
    held[i].kind = kDownAlert;
    held[i].host = service();
    held[i].host.host.assign(("host-" + std::to_string(i) + ".example").c_str());
    held[i].error.assign("timed out");
  }
  auto digest = new_message();
  compose_digest(held.data(), held.size(), digest.get());
  dispatch_message(*digest, settings);
  ASSERT_EQ(join_receiver(), 0) << "not every request arrived";

  auto got = received("hooks.txt");
  const std::string subject = shown(down->subject.c_str());
  const std::string text = shown(down->chat_text.c_str());
  for (const char* path : {"/ntfy", "/slack", "/discord", "/mattermost"}) {
    ASSERT_EQ(got[path].size(), 2u) << path;
    for (const Request& request : got[path]) {
      EXPECT_EQ(request.at("@method"), "POST") << path;
      EXPECT_EQ(request.at("@json"), "1") << path;
      EXPECT_EQ(request.at("@header:content-type"), "application/json; charset=utf-8") << path;
    }
  }
  const Request& ntfy = got["/ntfy"][0];
  EXPECT_EQ(ntfy.at("topic"), "replace-with-your-topic");
  EXPECT_EQ(ntfy.at("title"), subject);
  EXPECT_EQ(ntfy.at("message"), text);
  EXPECT_EQ(ntfy.at("priority"), "5");
  EXPECT_EQ(ntfy.at("tags[0]"), "rotating_light");
  EXPECT_EQ(got["/ntfy"][1].at("priority"), "4");  // the digest
  EXPECT_EQ(got["/slack"][0].at("text"), "*" + subject + "*\\n" + text);
  EXPECT_EQ(got["/discord"][0].at("content"), "**" + subject + "**\\n" + text);
  EXPECT_EQ(got["/mattermost"][0].at("text"), "#### " + subject + "\\n" + text);
  EXPECT_EQ(got["/mattermost"][0].at("username"), "linkwatch");

  // The digest: its text is longer than the templates' limits, so each
  // service gets it cut at a whole line; Discord's content stays within its
  // 2,000 characters.
  const std::string digest_subject = shown(digest->subject.c_str());
  const std::string digest_text = digest->chat_text.c_str();
  ASSERT_GT(digest_text.size(), 3000u);
  const std::string& discord = got["/discord"][1].at("content");
  EXPECT_EQ(discord,
            "**" + digest_subject + "**\\n" + shown(cut_at_line(digest_text.c_str(), 1500)));
  EXPECT_LE(characters(discord), 2000u);
  EXPECT_EQ(got["/slack"][1].at("text"),
            "*" + digest_subject + "*\\n" + shown(cut_at_line(digest_text.c_str(), 3000)));
  for (const std::string& cut : {discord, got["/slack"][1].at("text")}) {
    EXPECT_EQ(cut.substr(cut.size() - 4), "of 3") << "the last line is whole";
  }
}

// Gotify and PagerDuty: a DOWN, then the RECOVERY of the same service,
// which resolves the PagerDuty incident the DOWN opened.
TEST_F(E2eWebhookTest, PagerDutyResolvesWhatTheDownTriggeredAndGotifyTakesBoth) {
  const int port = start_receiver(4);
  ASSERT_GT(port, 0) << "the receiver did not start";
  const NotifySettings settings = load({"gotify", "pagerduty"}, port);
  const HostEntry entry = service();
  auto down = new_message();
  compose_down_alert(entry, entry, "timed out", 1, down.get());
  dispatch_message(*down, settings);
  auto recovery = new_message();
  compose_recovery_alert(entry, entry, 1700000600, recovery.get());
  dispatch_message(*recovery, settings);
  ASSERT_EQ(join_receiver(), 0) << "not every request arrived";

  auto got = received("hooks.txt");
  ASSERT_EQ(got["/gotify"].size(), 2u);
  ASSERT_EQ(got["/pagerduty"].size(), 2u);
  const Request& gotify = got["/gotify"][0];
  EXPECT_EQ(gotify.at("@header:x-gotify-key"), "replace-with-your-app-token");
  EXPECT_EQ(gotify.at("title"), shown(down->subject.c_str()));
  EXPECT_EQ(gotify.at("message"), shown(down->chat_text.c_str()));
  EXPECT_EQ(gotify.at("priority"), "8");
  EXPECT_EQ(got["/gotify"][1].at("priority"), "4");
  EXPECT_EQ(got["/gotify"][1].at("title"), shown(recovery->subject.c_str()));

  const Request& trigger = got["/pagerduty"][0];
  const Request& resolve = got["/pagerduty"][1];
  EXPECT_EQ(trigger.at("routing_key"), "replace-with-your-integration-key");
  EXPECT_EQ(trigger.at("event_action"), "trigger");
  EXPECT_EQ(resolve.at("event_action"), "resolve");
  EXPECT_EQ(trigger.at("dedup_key"), "web01.example:443");
  EXPECT_EQ(resolve.at("dedup_key"), trigger.at("dedup_key"));
  EXPECT_EQ(trigger.at("payload.summary"), shown(down->subject.c_str()));
  EXPECT_EQ(trigger.at("payload.source"), "linkwatch web01.example:443");
  EXPECT_EQ(trigger.at("payload.severity"), "critical");
  EXPECT_EQ(resolve.at("payload.severity"), "info");
}

}  // namespace
}  // namespace lw
