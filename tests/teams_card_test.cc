#include "notify/teams_card.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <regex>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "notify/alerts.h"
#include "notify/teams.h"
#include "platform/platform.h"
#include "support/test_env.h"

namespace lw {
namespace {

// A JSON string's text as the card writes it: control bytes as \u escapes, no others.
const std::string kString = R"re("((?:[^"\\\x00-\x1f]|\\["\\/bfnrt]|\\u00[0-7][0-9a-fA-F])*)")re";

// Each string member of the card as key and decoded value, in order; fails the test unless
// the card is one JSON value of objects, arrays, strings and literals (it has no numbers).
std::vector<std::pair<std::string, std::string>> members_of(const std::string& card) {
  std::string shape = std::regex_replace(card, std::regex(kString), "S");
  shape = std::regex_replace(shape, std::regex("[ \n]+"), "");
  shape = std::regex_replace(shape, std::regex("S(?!:)|true|false|null"), "V");
  for (std::string before; before != shape;) {
    before = shape;
    shape = std::regex_replace(shape, std::regex(R"(\{(S:V(,S:V)*)?\}|\[(V(,V)*)?\])"), "V");
  }
  EXPECT_EQ(shape, "V") << card;
  std::vector<std::pair<std::string, std::string>> members;
  const std::regex member(kString + "[ \n]*:[ \n]*" + kString);
  for (std::sregex_iterator m(card.begin(), card.end(), member), end; m != end; ++m) {
    std::string value, text = (*m)[2];
    for (size_t i = 0; i < text.size(); ++i) {
      const size_t e = text[i] == '\\' ? std::string("\"\\/bfnrtu").find(text[++i]) : 9;
      value += e == 9   ? text[i]
               : e == 8 ? static_cast<char>(std::stoi(text.substr(i + 1, 4), nullptr, 16))
                        : "\"\\/\b\f\n\r\t"[e];
      i += e == 8 ? 4 : 0;
    }
    members.emplace_back((*m)[1], value);
  }
  return members;
}

using Block = std::pair<std::string, std::string>;  // text, spacing

// The text blocks of the card built of `title` and `body`, the title first, checked for valid
// JSON, its end, the size limit and the envelope on the way.
std::vector<Block> blocks_of(const char* title, const char* body) {
  std::vector<char> out(kTeamsCardBufferSize + 1, 'X');
  const std::string card(out.data(),
                         build_teams_card(title, body, out.data(), kTeamsCardBufferSize));
  EXPECT_EQ(out[card.size()], '\0');
  EXPECT_LE(card.size(), kTeamsCardMaxBytes);
  std::string envelope;
  std::vector<Block> blocks;
  for (const auto& [key, value] : members_of(card)) {
    if (key == "text") blocks.push_back({value, ""});
    if (key == "spacing" && !blocks.empty()) blocks.back().second = value;
    if (blocks.empty() && key != "$schema") envelope += value + "|";
  }
  EXPECT_EQ(envelope,
            "message|application/vnd.microsoft.card.adaptive|AdaptiveCard|1.4|TextBlock|");
  return blocks;
}

TEST(TeamsCardTest, EachBodyLineIsItsOwnBlockWhileItFitsThenACutNote) {
  EXPECT_EQ(
      blocks_of("T \"1\"", " first\r\nsecond\\path\t\x01\n\n \r\n\rthird\n"),
      (std::vector<Block>{
          {"T \"1\"", ""}, {"first", ""}, {"second\\path\t\x01", "None"}, {"third", "Medium"}}));
  EXPECT_EQ(blocks_of(nullptr, nullptr), (std::vector<Block>{{kTeamsDefaultTitle, ""}}));
  std::string body;
  for (int i = 0; i < 400; ++i) body += "line " + std::to_string(i) + std::string(80, 'x') + "\n";
  const std::vector<Block> cut = blocks_of("T", body.c_str());
  ASSERT_TRUE(cut.size() > 100 && cut.size() < 400) << cut.size();
  EXPECT_EQ(cut.back(), (Block{kTeamsCardCutNote, "Medium"}));
}

TEST(TeamsCardTest, MarkdownEscapingIsMinimal) {
  const std::pair<const char*, const char*> kCases[] = {
      {"db*1_x_ a_b _a __b__", "db\\*1_x\\_ a_b \\_a \\_\\_b\\_\\_"},
      {"`c` [l](u) ![i](p) ~s~ <b> a>b", "\\`c\\` \\[l](u) !\\[i](p) \\~s\\~ \\<b> a>b"},
      {"C:\\dir\\x \\* end\\", "C:\\dir\\x \\\\\\* end\\"},
      {"&amp; &#35; R&D &x", "\\&amp; \\&#35; R&D &x"},
      {"###### h", "\\###### h"},
      {"####### h #tag", "####### h #tag"},
      {"- - -", "\\- - -"},
      {"12. i", "12\\. i"},
      {"  \t    code", "code"},
      {"\xC3\xA9 \xFF \xE2\x82", "\xC3\xA9 \xEF\xBF\xBD \xEF\xBF\xBD\xEF\xBF\xBD"},
  };
  for (const auto& [input, expected] : kCases) {
    char out[128];
    EXPECT_EQ(markdown_escape_line(input, std::strlen(input), out, sizeof out),
              std::strlen(expected))
        << input;
    EXPECT_STREQ(out, expected) << input;
  }
  char small[4];
  markdown_escape_line("ab*", 3, small, sizeof small);  // never half an escape
  EXPECT_STREQ(small, "ab");
}

// The card of a clear DOWN alert, rendered the way a chat host shows it (reference renderer
// with Markdown, in headless Chromium): its coloured title, then each line as written.
TEST(TeamsCardRenderTest, ChatHostShowsEachLineAsWritten) {
  if (std::strcmp(platform::kSystemName, "Windows") == 0) GTEST_SKIP() << "no Chromium here";
  test::ScopedWorkDir dir;
  HostEntry host;
  set_host_text(&host, "db*1_x_");
  set_port_text(&host, "5432");
  host.description.assign("shop [front] end");
  host.first_fail_time = host.down_since = 1700000000;
  NotifyMessage m;
  compose_down_alert(host, host, "refused <i>x</i> [see](u) `c` &amp; C:\\dir", 0, &m,
                     AlertText::kClear);
  const std::string body =
      std::string(m.card_text()) +
      "# h\n> q\n- i\n+ i\n1. i\n7) i\n---\n- - -\n***\n___\n    indented\n"
      "~~s~~ ~t~\na*b*c **d**\n_a_ __b__ c_d_ e\n&copy; &#35; R&D\n\\* \\_ end\\\n";
  std::string card(kTeamsCardBufferSize, '\0');
  card.resize(build_teams_card(m.subject.c_str(), body.c_str(), card.data(), card.size(), nullptr,
                               m.card_tone));
  test::write_file("card.json", card);
  const std::filesystem::path sources = std::filesystem::path(__FILE__).parent_path();
  const char* render_dir = std::getenv("LW_RENDER_DIR");
  const test::ProgramResult shown = test::run_program(
      {(sources / "render" / "render_card.sh").string(), "render",
       render_dir ? render_dir : (sources.parent_path() / "build" / "render").string(),
       "card.json"},
      "/bin/sh");
  if (shown.first == 77) GTEST_SKIP() << shown.second;
  ASSERT_EQ(shown.first, 0) << shown.second;
  std::string lines, want;  // the renderer puts each block on a line
  for (const auto& [text, out] :
       {std::pair{shown.second, &lines}, std::pair{m.subject.c_str() + ("\n" + body), &want}}) {
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
      line.erase(0, line.find_first_not_of(' '));
      line.erase(line.find_last_not_of(' ') + 1);
      if (!line.empty()) *out += line + "\n";
    }
  }
  EXPECT_EQ(lines, want);
}

}  // namespace
}  // namespace lw
