#include "notify/digest.h"

#include <gtest/gtest.h>

#include <memory>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "notify/teams_card.h"
#include "notify/telegram.h"
#include "support/clock.h"

namespace lw {
namespace {

constexpr int64_t kDown = 1700000000;

std::string local(int64_t t) {
  char text[32];
  format_local_time(t, "%Y-%m-%d %H:%M:%S", text, sizeof text);
  return text;
}

std::vector<HeldAlert> alerts(int32_t kind, int count, const std::string& description) {
  std::vector<HeldAlert> held(static_cast<size_t>(count));
  for (int i = 0; i < count; ++i) {
    HeldAlert& a = held[static_cast<size_t>(i)];
    a.kind = kind;
    a.host.host.format("web%d", i + 1);
    a.host.port.format("%d", 8000 + i);
    a.host.description.assign(description.c_str());
    a.host.first_fail_time = a.host.down_since = kDown;
    a.error.assign(i == 0 ? "" : "Connection refused");
    a.answered = 1;
    a.time = kDown + 600;
  }
  return held;
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// The subject names the first hosts and how many more; each host has one
// line telling what its single alert would.
TEST(DigestTest, SubjectAndOneLinePerHost) {
  const std::tuple<int32_t, int, const char*, const char*> cases[] = {
      {kDownAlert, 2, "DOWN: 2 hosts (web1:8000, web2:8001)",
       "web1 8000 (front): Timeout, since @, ping 1 of 3"},
      {kRecoveryAlert, 5, "RECOVERY: 5 hosts (web1:8000, web2:8001, web3:8002, ... and 2 more)",
       "web1 8000 (front): back at #, down since @ (10 min)"},
      {kReminderAlert, 3, "Still DOWN: 3 hosts (web1:8000, web2:8001, web3:8002)",
       "web1 8000 (front): since @ (10 min), Timeout"}};
  for (const auto& [kind, count, subject, first_line] : cases) {
    const std::vector<HeldAlert> held = alerts(kind, count, "front");
    auto message = std::make_unique<NotifyMessage>();
    compose_digest(held.data(), held.size(), message.get());
    std::string line = first_line;
    line.replace(line.find('@'), 1, local(kDown));
    if (line.find('#') != std::string::npos) line.replace(line.find('#'), 1, local(kDown + 600));
    EXPECT_EQ(message->kind, kind);
    EXPECT_EQ(message->subject.c_str(), std::string(subject));
    const std::vector<std::string> body = lines_of(message->body.c_str());
    ASSERT_EQ(body.size(), static_cast<size_t>(count) + 1);
    EXPECT_EQ(body[0], subject);
    EXPECT_EQ(body[1], line);
    const std::vector<std::string> chat = lines_of(message->chat_text.c_str());
    ASSERT_EQ(chat.size(), static_cast<size_t>(count) + 1);
    EXPECT_EQ(chat[1], line);
    EXPECT_TRUE(message->card_body.empty()) << "a card that fits takes the body";
  }
}

// 255 hosts do not fit any channel: each text is cut to its own limit at a
// whole line, and its last line counts the hosts left out.
TEST(DigestTest, EachChannelCutsToItsLimitWithAndKMore) {
  std::string description;
  while (description.size() < 150) description += ", ";  // grows threefold when encoded
  const std::vector<HeldAlert> held = alerts(kDownAlert, 255, description);
  auto message = std::make_unique<NotifyMessage>();
  compose_digest(held.data(), held.size(), message.get());
  const std::string card_body = message->card_text();
  const std::tuple<const char*, std::string, size_t, size_t> texts[] = {
      {"mail", message->body.c_str(), message->body.max_length(), 1},
      {"telegram", message->chat_text.c_str(), kTelegramMaxTextBytes, 1},
      {"teams", card_body, kTeamsCardMaxBytes, 1}};
  std::vector<size_t> shown_by_channel;
  for (const auto& [channel, text, limit, heading] : texts) {
    EXPECT_LE(text.size() + kDigestNoteRoom, limit) << channel;
    const std::vector<std::string> lines = lines_of(text);
    const size_t shown = lines.size() - heading - 1;
    EXPECT_EQ(lines.back(), "... and " + std::to_string(255 - shown) + " more") << channel;
    const std::string last_host = "web" + std::to_string(shown) + " ";
    EXPECT_EQ(lines[heading + shown - 1].substr(0, last_host.size()), last_host) << channel;
    shown_by_channel.push_back(shown);
  }
  // Mail holds the most lines, then Teams, then Telegram.
  EXPECT_GT(shown_by_channel[0], shown_by_channel[2]);
  EXPECT_GT(shown_by_channel[2], shown_by_channel[1]);
  char encoded[kTelegramTextSize];
  EXPECT_LT(percent_encode(message->chat_text.c_str(), encoded, sizeof encoded),
            sizeof encoded - 4 - 3 * kDigestNoteRoom)
      << "Telegram's text is whole in its request";
  auto card = std::make_unique<char[]>(kTeamsCardBufferSize);
  bool cut = true;
  build_teams_card(message->subject.c_str(), card_body.c_str(), card.get(), kTeamsCardBufferSize,
                   &cut);
  EXPECT_FALSE(cut) << "the card carries the digest's own cut, not the card's";
}

}  // namespace
}  // namespace lw
