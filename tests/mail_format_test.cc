// The mail header texts. A test binary of its own: the Windows C library
// keeps the zone of its first local-time call, so the date test must run
// before any send in the same process formats a date.
#include "notify/mail_format.h"

#include <gtest/gtest.h>

#include <cstring>
#include <ctime>
#include <regex>
#include <set>
#include <string>
#include <tuple>
#include <utility>

#include "platform/platform.h"

namespace lw {
namespace {

// Decodes header text made of encoded words joined by "\n "; fails the test
// on a line or word over its limit or a word ending inside a character.
std::string decode_words(const std::string& text, size_t first_line_used) {
  static const char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string bytes;
  size_t start = 0, used = first_line_used;
  while (start < text.size()) {
    size_t end = std::min(text.find("\n ", start), text.size());
    const std::string word = text.substr(start, end - start);
    EXPECT_LE(used + word.size(), kMailHeaderLineMax) << text;
    start = end + 2;
    used = 1;
    if (word.empty()) continue;  // no room on the first line
    EXPECT_TRUE(word.rfind("=?UTF-8?B?", 0) == 0 && word.substr(word.size() - 2) == "?=") << word;
    std::string chunk;
    unsigned bits = 0, count = 0;
    for (size_t i = 10; i + 2 < word.size() && word[i] != '='; ++i) {
      bits = bits << 6 | static_cast<unsigned>(std::strchr(kAlphabet, word[i]) - kAlphabet);
      if ((count += 6) >= 8) chunk += static_cast<char>(bits >> (count -= 8));
    }
    for (size_t i = 0; i < chunk.size(); ++i) {  // whole characters only
      const unsigned char b = static_cast<unsigned char>(chunk[i]);
      const size_t n = b < 0x80 ? 1 : b >= 0xF0 ? 4 : b >= 0xE0 ? 3 : b >= 0xC0 ? 2 : 0;
      EXPECT_TRUE(n > 0 && i + n <= chunk.size()) << "split character in " << word;
      i += n ? n - 1 : 0;
    }
    bytes += chunk;
  }
  return bytes;
}

TEST(MailFormatTest, SubjectWordsDecodeToThePrefixThatFits) {
  std::string mixed;  // 1-, 2-, 3- and 4-byte characters
  for (int i = 0; i < 40; ++i) mixed += "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x94\xA5";
  // Text, columns used on the first line, room for the encoded text.
  const std::tuple<std::string, size_t, size_t> cases[] = {
      {mixed, 9, 2048}, {mixed, 70, 2048}, {"tab\t\n", 9, 512}, {mixed, 9, 200}};
  for (const auto& [text, used, cap] : cases) {
    char out[2048];
    encode_header_text(text.c_str(), out, cap, used);
    const std::string decoded = decode_words(out, used);
    EXPECT_EQ(decoded, text.substr(0, decoded.size())) << out;
    EXPECT_EQ(decoded.size() == text.size(), cap >= 512) << out;
  }
}

TEST(MailFormatTest, DateIsLocalTimeWithTheOffsetOfThatMoment) {
  const std::tuple<const char*, int64_t, const char*> cases[] = {
      {"NST3:30NDT,M3.2.0,M11.1.0", 1781405000, "Sun, 14 Jun 2026 00:13:20 -0230"},
      {"CET-1CEST,M3.5.0,M10.5.0/3", 1796543000, "Sun, 06 Dec 2026 08:43:20 +0100"}};
  for (const auto& [zone, seconds, want] : cases) {
    platform::set_env("TZ", zone);
    tzset();
    char date[64];
    EXPECT_EQ(rfc5322_date(seconds, date, sizeof(date)), std::strlen(want));
    EXPECT_STREQ(date, want);
  }
  platform::set_env("TZ", nullptr);
  tzset();
}

TEST(MailFormatTest, MessageIdsAreUniqueAndNameTheSendersDomain) {
  std::set<std::string> seen;
  for (int i = 0; i < 1000; ++i) {
    char id[128];
    make_message_id(i % 2 ? "Ops <a@b@mail.example.org> " : "a@bad domain", 1796543000, id, 128);
    EXPECT_TRUE(
        std::regex_match(id, std::regex(std::string("<20261206074320\\.[0-9]+\\.[0-9]+@") +
                                        (i % 2 ? "mail.example.org>" : "linkwatch.invalid>"))))
        << id;
    seen.insert(id);
  }
  EXPECT_EQ(seen.size(), 1000u);
}

// The sender's envelope address, and its header where only an 8-bit display name is encoded
// (quotes and escapes off, control bytes as spaces; spaces and a comment: alert_text_test), a
// long one folded with "From: " to lines of 76; a header that does not fit whole gives nothing.
TEST(MailFormatTest, SenderGivesTheEnvelopeAddressAndTheEncodedHeader) {
  std::string umlauts;
  for (int i = 0; i < 60; ++i) umlauts += "\u00E4";
  const std::tuple<std::string, const char*, std::string> cases[] = {
      // from, envelope, header
      {"\"Ops, <team>\" < a@b >", "a@b", "\"Ops, <team>\" < a@b >"},
      {"Ops <>", "", "Ops <>"},
      {"\u00FC@example.com", "\u00FC@example.com", "\u00FC@example.com"},  // no display name
      {"\"\u00DCber, \\\"Ops\\\"\" <a@b.c>", "a@b.c", "=?UTF-8?B?w5xiZXIsICJPcHMi?= <a@b.c>"},
      {"\u00DC\x01x <a@b.c>", "a@b.c", "=?UTF-8?B?w5wgeA==?= <a@b.c>"},
      {umlauts + " <alerts@example.com>", "alerts@example.com",
       "=?UTF-8?B?w6TDpMOkw6TDpMOkw6TDpMOkw6TDpMOkw6TDpMOkw6TDpMOkw6TDpMOk?=\n "
       "=?UTF-8?B?w6TDpMOkw6TDpMOkw6TDpMOkw6TDpMOkw6TDpMOkw6TDpMOkw6TDpMOkw6Q=?=\n "
       "=?UTF-8?B?w6TDpMOkw6TDpMOkw6TDpMOkw6TDpMOkw6TDpMOkw6TDpA==?=\n <alerts@example.com>"},
  };
  for (const auto& [from, address, header] : cases) {
    char split[512], envelope[512];
    EXPECT_EQ(split_mailbox(from.c_str(), split, sizeof split, envelope, sizeof envelope),
              *address != '\0');
    EXPECT_STREQ(envelope, address) << from;
    EXPECT_STREQ(split, *address ? from.c_str() : "");
    std::string out(2048, '\0');
    out.resize(encode_mailbox_header(from.c_str(), out.data(), out.size(), 6));
    EXPECT_EQ(out, header);
    EXPECT_EQ(encode_mailbox_header(from.c_str(), out.data(), from.size() / 2, 6), 0u) << from;
    EXPECT_STREQ(out.c_str(), "");
  }
}

TEST(MailFormatTest, HeaderValuesCannotAddLinesAndTheSubjectGivesWay) {
  MailHeaderInput input;
  input.from = "Ops <alerts@example.com>\r\nBcc: victim@example.org";
  input.to = "a@example.com,b@example.com";
  input.subject = "Host DOWN: db1";
  input.seconds = 1796543000;
  char out[1024];
  const std::string block(out, format_mail_headers(input, out, sizeof(out)));
  EXPECT_TRUE(block.starts_with("From: Ops <alerts@example.com>  Bcc: victim@example.org\nTo: "))
      << block;
  input.subject = "\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9";
  const size_t cut =
      format_mail_headers(input, out, block.size() + 1);  // the subject must give way
  EXPECT_EQ(std::string(out).substr(cut - 33), "Content-Transfer-Encoding: 8bit\n\n");
  EXPECT_EQ(format_mail_headers(input, out, 100), 0u);
}

}  // namespace
}  // namespace lw
