#include "notify/teams_card.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "notify/alerts.h"
#include "notify/teams.h"
#include "platform/platform.h"
#include "support/test_env.h"

namespace lw {
namespace {

// Just enough JSON to take a card apart (no numbers: the card has none).
struct Json {
  char kind = 0;  // one of { [ " and l (a literal)
  std::string text;
  std::vector<Json> items;
  std::vector<std::pair<std::string, Json>> members;

  const Json& operator[](const std::string& key) const {
    static const Json kMissing;
    for (const auto& member : members) {
      if (member.first == key) return member.second;
    }
    return kMissing;
  }
};

class JsonParser {
 public:
  explicit JsonParser(const std::string& text) : s_(text) {}
  bool parse(Json* out) {
    bool ok = value(out);
    skip();
    return ok && i_ == s_.size();
  }

 private:
  void skip() {
    while (i_ < s_.size() && std::string(" \t\n\r").find(s_[i_]) != std::string::npos) ++i_;
  }
  bool eat(char c) {
    skip();
    if (i_ >= s_.size() || s_[i_] != c) return false;
    ++i_;
    return true;
  }
  bool string(std::string* out) {
    if (!eat('"')) return false;
    while (i_ < s_.size() && s_[i_] != '"') {
      unsigned char c = static_cast<unsigned char>(s_[i_++]);
      if (c < 32) return false;
      if (c != '\\') {
        out->push_back(static_cast<char>(c));
        continue;
      }
      char e = i_ < s_.size() ? s_[i_++] : '\0';
      const std::string kSimple = "\"\\/bfnrt", kMeaning = "\"\\/\b\f\n\r\t";
      if (kSimple.find(e) != std::string::npos) {
        out->push_back(kMeaning[kSimple.find(e)]);
      } else if (e == 'u' && i_ + 4 <= s_.size()) {
        unsigned long code = std::strtoul(s_.substr(i_, 4).c_str(), nullptr, 16);
        i_ += 4;
        if (code >= 0x80) return false;  // the card escapes only control bytes
        out->push_back(static_cast<char>(code));
      } else {
        return false;
      }
    }
    return eat('"');
  }
  bool value(Json* out) {
    skip();
    if (i_ >= s_.size()) return false;
    out->kind = s_[i_];
    if (out->kind == '"') return string(&out->text);
    if (out->kind == '{' || out->kind == '[') {
      const char close = out->kind == '{' ? '}' : ']';
      ++i_;
      if (eat(close)) return true;
      do {
        if (out->kind == '{') {
          out->members.emplace_back();
          if (!string(&out->members.back().first) || !eat(':') ||
              !value(&out->members.back().second))
            return false;
        } else {
          out->items.emplace_back();
          if (!value(&out->items.back())) return false;
        }
      } while (eat(','));
      return eat(close);
    }
    out->kind = 'l';
    while (i_ < s_.size() && std::isalpha(static_cast<unsigned char>(s_[i_])))
      out->text.push_back(s_[i_++]);
    return out->text == "true" || out->text == "false" || out->text == "null";
  }

  const std::string& s_;
  size_t i_ = 0;
};

using Block = std::pair<std::string, std::string>;  // text, spacing

std::string build(const char* title, const char* body, size_t cap = kTeamsCardBufferSize) {
  std::vector<char> out(cap + 1, 'X');
  const size_t len = build_teams_card(title, body, out.data(), cap);
  EXPECT_EQ(out[len], '\0');
  return std::string(out.data(), len);
}

// The card's blocks after the title, checked for the envelope, the title
// block and the bounds on the way.
std::vector<Block> body_blocks(const std::string& card, std::string* title = nullptr) {
  Json root;
  EXPECT_TRUE(JsonParser(card).parse(&root)) << card;
  EXPECT_LE(card.size(), kTeamsCardMaxBytes);
  EXPECT_EQ(card.find('\r'), std::string::npos);
  EXPECT_EQ(root["type"].text, "message");
  const Json& attachment = root["attachments"].items.at(0);
  EXPECT_EQ(attachment["contentType"].text, "application/vnd.microsoft.card.adaptive");
  const Json& content = attachment["content"];
  EXPECT_EQ(content["type"].text, "AdaptiveCard");
  EXPECT_EQ(content["version"].text, "1.4");
  EXPECT_EQ(content["$schema"].kind, '"');
  const Json& head = content["body"].items.at(0);
  EXPECT_EQ(head["weight"].text + head["size"].text + head["wrap"].text, "BolderLargetrue");
  if (title) *title = head["text"].text;
  std::vector<Block> blocks;
  for (size_t i = 1; i < content["body"].items.size(); ++i) {
    const Json& item = content["body"].items[i];
    EXPECT_EQ(item["type"].text + item["wrap"].text, "TextBlocktrue");
    blocks.push_back({item["text"].text, item["spacing"].text});
  }
  return blocks;
}

TEST(TeamsCardTest, EachBodyLineIsItsOwnBlock) {
  std::string title;
  EXPECT_EQ(
      body_blocks(build("T \"1\"", " first\r\nsecond\\path\t\x01\n\n \r\n\rthird\n"), &title),
      (std::vector<Block>{{"first", ""}, {"second\\path\t\x01", "None"}, {"third", "Medium"}}));
  EXPECT_EQ(title, "T \"1\"");
  EXPECT_TRUE(body_blocks(build(nullptr, nullptr), &title).empty());
  EXPECT_EQ(title, kTeamsDefaultTitle);
}

TEST(TeamsCardTest, LeavesOutWhatDoesNotFitAndSaysSo) {
  std::vector<std::string> lines;
  std::string body;
  for (int i = 0; i < 400; ++i) {
    lines.push_back("line " + std::to_string(i) + std::string(80, 'x'));
    body += lines.back() + "\n";
  }
  const std::vector<Block> cut = body_blocks(build("T", body.c_str()));
  ASSERT_GT(cut.size(), 100u);
  ASSERT_LT(cut.size(), lines.size());
  EXPECT_EQ(cut.back(), (Block{kTeamsCardCutNote, "Medium"}));
  for (size_t i = 0; i + 1 < cut.size(); ++i) ASSERT_EQ(cut[i].first, lines[i]);

  // A body that fits exactly needs no room for the note; one byte less cuts.
  const std::string whole = build("T", "a\nb\n\nc");
  EXPECT_EQ(body_blocks(build("T", "a\nb\n\nc", whole.size() + 1)).size(), 3u);
  EXPECT_EQ(body_blocks(build("T", "a\nb\n\nc", whole.size())),
            (std::vector<Block>{{"a", ""}, {kTeamsCardCutNote, "Medium"}}));
  EXPECT_EQ(build("T", "a", 300), "");

  // A long title is cut between characters (here 3-byte ones).
  std::string euros;
  for (int i = 0; i < 1000; ++i) euros += "\xE2\x82\xAC";
  std::string title;
  body_blocks(build(euros.c_str(), "a"), &title);
  EXPECT_EQ(title, euros.substr(0, kTeamsCardTitleMaxBytes / 3 * 3));
}

TEST(TeamsCardTest, MarkdownEscapingIsMinimal) {
  const std::pair<const char*, const char*> kCases[] = {
      {"db*1_x_ a_b my_host", "db\\*1_x\\_ a_b my_host"},
      {"_a __b__ 1_ _2", "\\_a \\_\\_b\\_\\_ 1\\_ \\_2"},
      {"`c` [l](u) ![i](p) ~s~ <b> a>b", "\\`c\\` \\[l](u) !\\[i](p) \\~s\\~ \\<b> a>b"},
      {"C:\\dir\\x \\* \\\\ end\\", "C:\\dir\\x \\\\\\* \\\\\\ end\\"},
      {"&amp; &#35; R&D &x", "\\&amp; \\&#35; R&D &x"},
      {"# h", "\\# h"},
      {"###### h", "\\###### h"},
      {"####### h #tag", "####### h #tag"},
      {"> q", "\\> q"},
      {"- i", "\\- i"},
      {"-5 --x", "-5 --x"},
      {"- - -", "\\- - -"},
      {"+ i", "\\+ i"},
      {"+1", "+1"},
      {"12. i", "12\\. i"},
      {"7)", "7\\)"},
      {"1.5 s 2024-01-01", "1.5 s 2024-01-01"},
      {"  \t    code", "code"},
      {"\xC3\xA9 \xFF \xE2\x82 \xED\xA0\x80",
       "\xC3\xA9 \xEF\xBF\xBD \xEF\xBF\xBD\xEF\xBF\xBD "
       "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
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

// The non-empty lines of `text`, without leading and trailing spaces.
std::vector<std::string> trimmed_lines(const std::string& text) {
  std::vector<std::string> lines;
  for (size_t start = 0; start < text.size();) {
    size_t stop = std::min(text.find('\n', start), text.size());
    std::string line = text.substr(start, stop - start);
    line.erase(0, line.find_first_not_of(' '));
    line.erase(line.find_last_not_of(' ') + 1);
    if (!line.empty()) lines.push_back(line);
    start = stop + 1;
  }
  return lines;
}

// Renders `card` the way a chat host shows it (reference renderer with
// Markdown, in headless Chromium) and returns its text; sets `skip` when the
// renderer is not available here.
std::string render(const std::string& card, std::string* skip) {
  const std::filesystem::path sources = std::filesystem::path(__FILE__).parent_path();
  const char* dir = std::getenv("LW_RENDER_DIR");
  const std::string render_dir = dir ? dir : (sources.parent_path() / "build" / "render").string();
  test::write_file("card.json", card);
  const test::ProgramResult result = test::run_program(
      {(sources / "render" / "render_card.sh").string(), "render", render_dir, "card.json"},
      "/bin/sh");
  if (result.first == 77) *skip = result.second;
  EXPECT_TRUE(result.first == 0 || result.first == 77) << result.second;
  return result.second;
}

class TeamsCardRenderTest : public test::WorkDirTest {};

TEST_F(TeamsCardRenderTest, ChatHostShowsEachLineAsWritten) {
  if (std::strcmp(platform::kSystemName, "Windows") == 0) GTEST_SKIP() << "no Chromium here";
  HostEntry host;
  host.host.assign("db*1_x_");
  host.port.assign("5432");
  host.alertcount = 3;
  host.first_fail_time = 1700000000;
  host.last_fail_time = 1700000004;
  NotifyMessage message;
  compose_down_alert(host, "refused <i>x</i> [see](u) `c` &amp; C:\\dir", 0, &message);
  const std::string body =
      std::string(message.body.c_str()) +
      "# h\n> q\n- i\n+ i\n1. i\n7) i\n---\n- - -\n***\n___\n    indented\n"
      "~~s~~ ~t~\na*b*c **d**\n_a_ __b__ c_d_ e\n&copy; &#35; R&D\n\\* \\_ end\\\n";
  std::vector<std::string> expected = trimmed_lines(message.subject.c_str() + ("\n" + body));
  ASSERT_EQ(expected[2], "Host: db*1_x_");

  std::string skip;
  const std::string shown = render(build(message.subject.c_str(), body.c_str()), &skip);
  if (!skip.empty()) GTEST_SKIP() << skip;
  EXPECT_EQ(trimmed_lines(shown), expected);
}

}  // namespace
}  // namespace lw
