#include "notify/telegram.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/capture.h"
#include "support/command_recorder.h"
#include "support/test_env.h"

namespace lw {
namespace {

using test::CommandRecorder;
using test::log_messages;

std::string encode(const std::string& input, size_t cap = kTelegramTextSize) {
  std::vector<char> out(cap, 'X');
  size_t n = percent_encode(input.c_str(), out.data(), cap);
  EXPECT_EQ(n, std::string(out.data()).size());
  return out.data();
}

TEST(PercentEncodeTest, Bytes) {
  EXPECT_EQ(encode("a b&c=d"), "a%20b%26c%3Dd");
  EXPECT_EQ(encode("x-y_z.w~AZaz09"), "x-y_z.w~AZaz09");
  EXPECT_EQ(encode("-1001234"), "-1001234");
  EXPECT_EQ(encode("@channel"), "%40channel");
  EXPECT_EQ(encode("\xC3\xA9"), "%C3%A9");
  EXPECT_EQ(encode("l1\nl2+/?%\x7f\xff"), "l1%0Al2%2B%2F%3F%25%7F%FF");
  EXPECT_EQ(encode(""), "");
  EXPECT_EQ(percent_encode(nullptr, nullptr, 0), 0u);
}

TEST(PercentEncodeTest, StopsWhenFourBytesAreNoLongerFree) {
  EXPECT_EQ(encode(std::string(9000, 'a')), std::string(8188, 'a'));
  std::string spaces;
  for (int i = 0; i < 2730; ++i) spaces += "%20";
  EXPECT_EQ(encode(std::string(3000, ' ')), spaces);
  // The chat identifier's 512-byte buffer: 170 encoded bytes, 510 characters.
  EXPECT_EQ(encode(std::string(300, '@'), kTelegramChatSize).size(), 510u);
  // A multi-byte character is never cut to less than its encoded bytes'
  // whole triples: each byte is encoded or dropped as a unit.
  EXPECT_EQ(encode("ab\xC3\xA9", 8), "ab%C3");
}

NotifySettings telegram_settings() {
  NotifySettings s;
  s.token.assign("123456:AAH-x_y");
  s.chat_id.assign("-100200");
  s.telegram_enabled = 1;
  return s;
}

class TelegramTest : public test::WorkDirTest {};

TEST_F(TelegramTest, TokenStaysOffTheCommandLine) {
  CommandRecorder recorder;
  test::OutputCapture capture;
  EXPECT_EQ(send_telegram(telegram_settings(), "ALERT (DOWN)\nHost: web01 & co", false), 1);

  std::vector<test::RecordedCommand> commands = recorder.commands();
  ASSERT_EQ(commands.size(), 1u);
  EXPECT_EQ(commands[0].argv, (std::vector<std::string>{"curl", "-s", "--config", "-"}));
  EXPECT_TRUE(commands[0].discard_output);
  EXPECT_EQ(commands[0].input,
            "url = \"https://api.telegram.org/bot123456:AAH-x_y/sendMessage?chat_id=-100200"
            "&text=ALERT%20%28DOWN%29%0AHost%3A%20web01%20%26%20co\"\n");
  EXPECT_EQ(capture.out(), "Sending Telegram alert now .....\nTelegram command rc=0\n");
  EXPECT_EQ(log_messages(), (std::vector<std::string>{"Send Telegram alert to chat_id [-100200]"}));
}

TEST_F(TelegramTest, FailureAndSilence) {
  CommandRecorder recorder;
  recorder.set_result(6);
  test::OutputCapture capture;
  NotifySettings settings = telegram_settings();
  settings.chat_id.assign("@ops room");
  EXPECT_EQ(send_telegram(settings, "t", false), 0);
  EXPECT_EQ(capture.out(), "Sending Telegram alert now .....\nTelegram command rc=6\n");
  EXPECT_EQ(send_telegram(settings, "t", true), 0);
  EXPECT_EQ(capture.out(), "Sending Telegram alert now .....\nTelegram command rc=6\n");
  // The log names the chat as configured, not encoded.
  EXPECT_EQ(log_messages(),
            (std::vector<std::string>{"Send Telegram alert to chat_id [@ops room]",
                                      "Send Telegram alert to chat_id [@ops room]"}));
  ASSERT_EQ(recorder.commands().size(), 2u);
  EXPECT_NE(recorder.commands()[0].input->find("chat_id=%40ops%20room&"), std::string::npos);
}

TEST_F(TelegramTest, NothingHappensWhenNotConfiguredOrTextEmpty) {
  CommandRecorder recorder;
  test::OutputCapture capture;
  NotifySettings settings = telegram_settings();
  EXPECT_EQ(send_telegram(settings, "", false), 0);
  EXPECT_EQ(send_telegram(settings, nullptr, false), 0);
  settings.chat_id.clear();
  EXPECT_EQ(send_telegram(settings, "t", false), 0);
  settings = telegram_settings();
  settings.telegram_enabled = 0;
  EXPECT_EQ(send_telegram(settings, "t", false), 0);
  EXPECT_TRUE(recorder.commands().empty());
  EXPECT_EQ(capture.out(), "");
  EXPECT_FALSE(test::file_exists("linkwatch_log.txt"));
}

}  // namespace
}  // namespace lw
