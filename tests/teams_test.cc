#include "notify/teams.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "support/capture.h"
#include "support/command_recorder.h"
#include "support/test_env.h"

namespace lw {
namespace {

using test::CommandRecorder;
using test::file_exists;
using test::log_messages;

std::string escape(const std::string& input, size_t cap = kTeamsBodySize) {
  std::vector<char> out(cap, 'X');
  size_t n = json_escape(input.c_str(), out.data(), cap);
  EXPECT_EQ(n, std::string(out.data()).size());
  return out.data();
}

std::string card(const std::string& title, const std::string& body) {
  return "{\n"
         "  \"type\": \"message\",\n"
         "  \"attachments\": [\n"
         "    {\n"
         "      \"contentType\": \"application/vnd.microsoft.card.adaptive\",\n"
         "      \"content\": {\n"
         "        \"$schema\": \"http://adaptivecards.io/schemas/adaptive-card.json\",\n"
         "        \"type\": \"AdaptiveCard\",\n"
         "        \"version\": \"1.4\",\n"
         "        \"body\": [\n"
         "          {\n"
         "            \"type\": \"TextBlock\",\n"
         "            \"text\": \"" +
         title +
         "\",\n"
         "            \"weight\": \"Bolder\",\n"
         "            \"size\": \"Large\",\n"
         "            \"wrap\": true\n"
         "          },\n"
         "          {\n"
         "            \"type\": \"TextBlock\",\n"
         "            \"text\": \"" +
         body +
         "\",\n"
         "            \"wrap\": true\n"
         "          }\n"
         "        ]\n"
         "      }\n"
         "    }\n"
         "  ]\n"
         "}\n";
}

TEST(JsonEscapeTest, Bytes) {
  EXPECT_EQ(escape("a\r\nb\tc"), "a\\r\\nb\\tc");
  EXPECT_EQ(escape("say \"hi\" C:\\x/y"), "say \\\"hi\\\" C:\\\\x/y");
  EXPECT_EQ(escape("\x1b\x08\x01\x1f"), "\\u001b\\u0008\\u0001\\u001f");
  EXPECT_EQ(escape("\x7f\xC3\xA9 "), "\x7f\xC3\xA9 ");
  EXPECT_EQ(json_escape(nullptr, nullptr, 0), 0u);
}

TEST(JsonEscapeTest, StopsWhenEightBytesAreNoLongerFree) {
  EXPECT_EQ(escape(std::string(3000, 'a'), kTeamsTitleSize), std::string(2040, 'a'));
  EXPECT_EQ(escape(std::string(40000, 'b')), std::string(32760, 'b'));
  // The longest escape still fits after the last check: 340 escapes of 6
  // characters end at 2040, and the terminator stays inside the buffer.
  std::string escapes;
  for (int i = 0; i < 340; ++i) escapes += "\\u0001";
  EXPECT_EQ(escape(std::string(1000, '\x01'), kTeamsTitleSize), escapes);
}

class TeamsTest : public test::WorkDirTest {};

TEST_F(TeamsTest, CardLayout) {
  ASSERT_TRUE(write_teams_card("Down \"web\"", "line1\r\nline2\tx\\"));
  std::string bytes = test::read_file("teamsmsg.json");
  EXPECT_EQ(bytes, card("Down \\\"web\\\"", "line1\\r\\nline2\\tx\\\\"));
  EXPECT_EQ(std::count(bytes.begin(), bytes.end(), '\n'), 27);
  EXPECT_EQ(bytes.find('\r'), std::string::npos);

  ASSERT_TRUE(write_teams_card(nullptr, nullptr));
  EXPECT_EQ(test::read_file("teamsmsg.json"), card("linkwatch notification", ""));
  ASSERT_TRUE(write_teams_card("", "b"));
  EXPECT_EQ(test::read_file("teamsmsg.json"), card("", "b"));
}

NotifySettings teams_settings() {
  NotifySettings s;
  s.teams_webhook.assign("https://example.webhook.office.com/webhookb2/abc?x=1&y=2");
  s.teams_enabled = 1;
  return s;
}

TEST_F(TeamsTest, PostsTheCardAndDeletesIt) {
  CommandRecorder recorder;
  test::OutputCapture capture;
  EXPECT_EQ(send_teams(teams_settings(), "Title", "Body\n", false), 1);
  std::vector<test::RecordedCommand> commands = recorder.commands();
  ASSERT_EQ(commands.size(), 1u);
  EXPECT_EQ(
      commands[0].argv,
      (std::vector<std::string>{"curl", "-s", "-H", "Content-Type: application/json; charset=utf-8",
                                "--data-binary", "@teamsmsg.json",
                                "https://example.webhook.office.com/webhookb2/abc?x=1&y=2"}));
  EXPECT_TRUE(commands[0].discard_output);
  EXPECT_FALSE(commands[0].input.has_value());
  EXPECT_EQ(commands[0].card_file, card("Title", "Body\\n"));
  EXPECT_FALSE(file_exists("teamsmsg.json"));
  EXPECT_EQ(capture.out(), "Sending Microsoft Teams alert ...\nTeams command rc=0\n");
  EXPECT_EQ(log_messages(), (std::vector<std::string>{"Send Microsoft Teams alert"}));
}

TEST_F(TeamsTest, FailureAndSilence) {
  CommandRecorder recorder;
  recorder.set_result(22);
  test::OutputCapture capture;
  EXPECT_EQ(send_teams(teams_settings(), "T", "B", false), 0);
  EXPECT_FALSE(file_exists("teamsmsg.json"));
  EXPECT_EQ(send_teams(teams_settings(), "T", "B", true), 0);
  EXPECT_FALSE(file_exists("teamsmsg.json"));
  EXPECT_EQ(capture.out(), "Sending Microsoft Teams alert ...\nTeams command rc=22\n");
  EXPECT_EQ(log_messages().size(), 2u);
}

TEST_F(TeamsTest, NothingHappensWhenNotConfiguredOrBodyEmpty) {
  CommandRecorder recorder;
  test::OutputCapture capture;
  NotifySettings settings = teams_settings();
  EXPECT_EQ(send_teams(settings, "T", "", false), 0);
  EXPECT_EQ(send_teams(settings, "T", nullptr, false), 0);
  settings.teams_enabled = 0;
  EXPECT_EQ(send_teams(settings, "T", "B", false), 0);
  EXPECT_TRUE(recorder.commands().empty());
  EXPECT_EQ(capture.out(), "");
  EXPECT_FALSE(file_exists("teamsmsg.json"));
  EXPECT_FALSE(file_exists("linkwatch_log.txt"));
}

TEST_F(TeamsTest, NeverPostsWithoutItsCardOrToAnOption) {
  CommandRecorder recorder;
  test::OutputCapture capture;
  // A card that cannot be written would go out as an empty post.
  std::filesystem::create_directory("teamsmsg.json");
  EXPECT_EQ(send_teams(teams_settings(), "T", "B", false), 0);
  std::filesystem::remove("teamsmsg.json");

  NotifySettings settings = teams_settings();
  settings.teams_webhook.assign("-o/tmp/x");
  EXPECT_EQ(send_teams(settings, "T", "B", false), 0);
  EXPECT_FALSE(file_exists("teamsmsg.json"));

  EXPECT_TRUE(recorder.commands().empty());
  EXPECT_EQ(capture.out(),
            "Sending Microsoft Teams alert ...\nTeams command rc=-1\n"
            "Sending Microsoft Teams alert ...\nTeams command rc=-1\n");
}

}  // namespace
}  // namespace lw
