// The "From:" header: a display name with 8-bit text goes out as RFC 2047
// encoded words, the address as written; every other sender byte for byte.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "notify/mail_format.h"

namespace lw {
namespace {

std::string from_value(const char* from) {
  std::string out(2048, '\0');
  out.resize(encode_mailbox_header(from, out.data(), out.size(), 6));
  return out;
}

// Decodes the text of "=?UTF-8?B?...?=" words joined by folds; "" plus a
// failure when anything else stands between them.
std::string decode_words(const std::string& words) {
  static const std::string kBase64 =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string text;
  size_t pos = 0;
  while (pos < words.size()) {
    if (words.compare(pos, 2, "\n ") == 0) pos += 2;
    if (words.compare(pos, 10, "=?UTF-8?B?") != 0) {
      ADD_FAILURE() << "not an encoded word at " << pos << ": " << words;
      return "";
    }
    const size_t end = words.find("?=", pos + 10);
    unsigned bits = 0;
    int count = 0;
    for (size_t i = pos + 10; i < end && words[i] != '='; ++i) {
      bits = (bits << 6) | static_cast<unsigned>(kBase64.find(words[i]));
      if ((count += 6) >= 8) text.push_back(static_cast<char>((bits >> (count -= 8)) & 0xFF));
    }
    pos = end + 2;
  }
  return text;
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  for (size_t pos = 0;;) {
    const size_t end = text.find('\n', pos);
    lines.push_back(text.substr(pos, end - pos));
    if (end == std::string::npos) return lines;
    pos = end + 1;
  }
}

// ASCII senders stay as they are; an 8-bit display name is encoded, the
// address part untouched.
TEST(MailFromTest, EncodesOnlyAnEightBitDisplayName) {
  const struct {
    const char* from;
    const char* header;
  } cases[] = {
      {"alerts@example.com", "alerts@example.com"},
      {"Ops <alerts@example.com>", "Ops <alerts@example.com>"},
      {"\"Ops, <team>\" <alerts@example.com>", "\"Ops, <team>\" <alerts@example.com>"},
      {"Ops\tTeam <a@b.c>", "Ops Team <a@b.c>"},
      {"\xC3\xBC@example.com", "\xC3\xBC@example.com"},  // no display name
      {"\xC3\x9C"
       "berwachung <alerts@example.com>",
       "=?UTF-8?B?w5xiZXJ3YWNodW5n?= <alerts@example.com>"},
      {"  \xC3\x9C"
       "berwachung   <alerts@example.com> (ops)",
       "=?UTF-8?B?w5xiZXJ3YWNodW5n?= <alerts@example.com> (ops)"},
      // Quotes and escapes are taken off; a control byte is a space.
      {"\"\xC3\x9C"
       "ber, \\\"Ops\\\"\" <a@b.c>",
       "=?UTF-8?B?w5xiZXIsICJPcHMi?= <a@b.c>"},
      {"\xC3\x9C\x01x <a@b.c>", "=?UTF-8?B?w5wgeA==?= <a@b.c>"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.from);
    EXPECT_EQ(from_value(c.from), c.header);
  }
  EXPECT_EQ(from_value(nullptr), "");
}

// A long name becomes several words on folded lines of at most 76
// characters, no character split; the address follows on the last line or
// on one of its own.
TEST(MailFromTest, LongNameIsFoldedLikeTheSubject) {
  std::string umlauts;
  for (int i = 0; i < 60; ++i) umlauts += "\xC3\xA4";
  const struct {
    std::string name;
    std::string address;
  } cases[] = {
      {umlauts, "<alerts@example.com>"},
      {"\xE2\x82\xAC" + std::string(40, 'x'), "<" + std::string(55, 'a') + "@example.com>"},
      {"\xF0\x9F\x94\xA5 " + umlauts + " Ops", "<a@b.c>"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string header = from_value((c.name + " " + c.address).c_str());
    const std::vector<std::string> lines = lines_of(header);
    for (size_t i = 0; i < lines.size(); ++i) {
      EXPECT_LE(lines[i].size() + (i == 0 ? 6 : 0), 76u) << lines[i];
      if (i > 0) {
        EXPECT_EQ(lines[i][0], ' ');
      }
    }
    const size_t address = header.rfind(c.address);
    ASSERT_NE(address, std::string::npos);
    EXPECT_EQ(address + c.address.size(), header.size());
    const bool own_line = header[address - 1] == ' ' && header[address - 2] == '\n';
    EXPECT_TRUE(own_line || header[address - 1] == ' ');
    std::string words = header.substr(0, address - (own_line ? 2 : 1));
    EXPECT_EQ(decode_words(words), c.name);
    EXPECT_GT(lines.size(), 1u);
  }
}

// The message's header block carries the encoded From line; the envelope
// address is the address alone.
TEST(MailFromTest, HeaderBlockHasTheEncodedSender) {
  MailHeaderInput input;
  input.from =
      "\xC3\x9C"
      "berwachung <alerts@example.com>";
  input.to = "ops@example.com";
  input.subject = "DOWN web01:443";
  input.seconds = 1700000000;
  char out[2048];
  ASSERT_GT(format_mail_headers(input, out, sizeof out), 0u);
  EXPECT_EQ(std::string(out).rfind(
                "From: =?UTF-8?B?w5xiZXJ3YWNodW5n?= <alerts@example.com>\nTo: ops@example.com\n"
                "Subject: DOWN web01:443\n",
                0),
            0u);
  char header[256], envelope[256];
  ASSERT_TRUE(split_mailbox(input.from, header, sizeof header, envelope, sizeof envelope));
  EXPECT_STREQ(envelope, "alerts@example.com");
  // Too small a buffer gives nothing rather than a cut address.
  EXPECT_EQ(encode_mailbox_header(input.from, out, 40, 6), 0u);
  EXPECT_STREQ(out, "");
}

}  // namespace
}  // namespace lw
