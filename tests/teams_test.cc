#include "notify/teams.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/capture.h"
#include "support/command_recorder.h"

namespace lw {
namespace {

// The whole card: 27 lines, each ending in a bare line feed.
std::string card(const std::string& title, const std::string& body) {
  std::string text =
      "{\n  \"type\": \"message\",\n  \"attachments\": [\n    {\n"
      "      \"contentType\": \"application/vnd.microsoft.card.adaptive\",\n      \"content\": {\n"
      "        \"$schema\": \"http://adaptivecards.io/schemas/adaptive-card.json\",\n"
      "        \"type\": \"AdaptiveCard\",\n        \"version\": \"1.4\",\n        \"body\": [\n"
      "          {\n            \"type\": \"TextBlock\",\n            \"text\": \"TITLE\",\n"
      "            \"weight\": \"Bolder\",\n            \"size\": \"Large\",\n"
      "            \"wrap\": true\n          },\n          {\n"
      "            \"type\": \"TextBlock\",\n            \"text\": \"BODY\",\n"
      "            \"wrap\": true\n          }\n        ]\n      }\n    }\n  ]\n}\n";
  text.replace(text.find("TITLE"), 5, title);
  return text.replace(text.find("BODY"), 4, body);
}

TEST(JsonEscapeTest, StopsWhenEightBytesAreNoLongerFree) {
  std::vector<char> out(kTeamsTitleSize, 'X');
  EXPECT_EQ(json_escape(std::string(3000, 'a').c_str(), out.data(), out.size()), 2040u);
  EXPECT_EQ(out.data(), std::string(2040, 'a'));
  // 340 six-character escapes end at 2040, and the terminator still fits.
  EXPECT_EQ(json_escape(std::string(1000, '\x01').c_str(), out.data(), out.size()), 2040u);
}

class TeamsTest : public test::WorkDirTest {};

TEST_F(TeamsTest, PostsItsOwnCardAndDeletesIt) {
  const char* hook = "https://example.webhook.office.com/webhookb2/abc?x=1&y=2";
  NotifySettings settings;
  settings.teams_webhook.assign(hook);
  settings.teams_enabled = 1;
  test::CommandRecorder recorder;
  test::OutputCapture capture;
  EXPECT_EQ(send_teams(settings, "\"T", "a\r\nb\t\\/\x1b\x01\x7f\xC3\xA9", false), 1);
  EXPECT_EQ(send_teams(settings, nullptr, "b", true), 1);
  EXPECT_FALSE(test::file_exists("teamsmsg.json"));
  recorder.set_result(22);  // e.g. an HTTP error answer
  EXPECT_EQ(send_teams(settings, "T", "B", false), 0);
  std::filesystem::create_directory("teamsmsg.json");  // no card: it would go out as an empty post
  EXPECT_EQ(send_teams(settings, "T", "B", false), 0);
  std::filesystem::remove("teamsmsg.json");
  settings.teams_webhook.assign("-o/tmp/x");  // curl would take it as an option
  EXPECT_EQ(send_teams(settings, "T", "B", false), 0);

  std::vector<test::RecordedCommand> commands = recorder.commands();
  ASSERT_EQ(commands.size(), 3u);
  EXPECT_EQ(commands[0].argv,
            (std::vector<std::string>{"curl", "-s", "--fail", "-H",
                                      "Content-Type: application/json; charset=utf-8",
                                      "--data-binary", "@teamsmsg.json", hook}));
  EXPECT_TRUE(commands[0].discard_output && !commands[0].input);
  EXPECT_EQ(commands[0].card_file, card("\\\"T", "a\\r\\nb\\t\\\\/\\u001b\\u0001\x7f\xC3\xA9"));
  EXPECT_EQ(commands[1].card_file, card("linkwatch notification", "b"));
  EXPECT_FALSE(test::file_exists("teamsmsg.json"));
  const std::string sending = "Sending Microsoft Teams alert ...\nTeams command rc=";
  EXPECT_EQ(capture.out(),
            sending + "0\n" + sending + "22\n" + sending + "-1\n" + sending + "-1\n");
  EXPECT_EQ(test::log_messages(), std::vector<std::string>(5, "Send Microsoft Teams alert"));
}

}  // namespace
}  // namespace lw
