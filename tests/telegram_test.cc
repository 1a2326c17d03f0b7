#include "notify/telegram.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/capture.h"
#include "support/command_recorder.h"

namespace lw {
namespace {

using Args = std::vector<std::string>;

std::string encode(const std::string& input, size_t cap = kTelegramTextSize) {
  std::vector<char> out(cap, 'X');
  const size_t n = percent_encode(input.c_str(), out.data(), cap);
  EXPECT_EQ(n, std::string(out.data()).size());
  return out.data();
}

TEST(PercentEncodeTest, EncodesAndStopsWhenFourBytesAreNoLongerFree) {
  EXPECT_EQ(encode("a b&c=d@x-y_z.w~AZaz09"), "a%20b%26c%3Dd%40x-y_z.w~AZaz09");
  EXPECT_EQ(encode("l1\nl2+/?%\x7f\xff\xC3\xA9"), "l1%0Al2%2B%2F%3F%25%7F%FF%C3%A9");
  EXPECT_EQ(encode(std::string(9000, 'a')), std::string(8188, 'a'));
  EXPECT_EQ(encode(std::string(3000, ' ')).size(), 2730u * 3);  // a triple is never cut
}

class TelegramTest : public test::WorkDirTest {};

TEST_F(TelegramTest, SendsTheAddressWithItsTokenOnStandardInput) {
  NotifySettings settings;
  settings.token.assign("123456:AAH-x_y");
  settings.chat_id.assign("@ops room");
  settings.telegram_enabled = 1;
  test::CommandRecorder recorder;
  test::OutputCapture capture;
  EXPECT_EQ(send_telegram(settings, "ALERT (DOWN)\nHost: web01 & co", false), 1);
  recorder.set_result(22);  // e.g. an HTTP error answer
  EXPECT_EQ(send_telegram(settings, "t", false), 0);

  std::vector<test::RecordedCommand> commands = recorder.commands();
  ASSERT_EQ(commands.size(), 2u);
  EXPECT_EQ(commands[0].argv, (Args{"curl", "-s", "--fail", "--config", "-"}));
  EXPECT_TRUE(commands[0].discard_output);
  EXPECT_EQ(commands[0].input,
            "url = \"https://api.telegram.org/bot123456:AAH-x_y/sendMessage?chat_id=%40ops%20room"
            "&text=ALERT%20%28DOWN%29%0AHost%3A%20web01%20%26%20co\"\n");
  EXPECT_EQ(capture.out(),
            "Sending Telegram alert now .....\nTelegram command rc=0\n"
            "Sending Telegram alert now .....\nTelegram command rc=22\n");
  EXPECT_EQ(test::log_messages(), Args(2, "Send Telegram alert to chat_id [@ops room]"));
}

}  // namespace
}  // namespace lw
