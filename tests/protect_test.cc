#include "config/protect.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "config/notify_config.h"
#include "support/test_env.h"

namespace lw {
namespace {

namespace fs = std::filesystem;
using test::read_file;
using test::write_file;

std::string protect(const std::string& value) {
  char form[kProtectedFormSize];
  make_protected_form(value.c_str(), form, sizeof form);
  return form;
}

// Returns {result, output}.
std::pair<int, std::string> decode(const char* value, size_t capacity = 256) {
  char out[600];
  out[0] = 'X';
  out[1] = '\0';
  int result = decode_protected_value(value, out, capacity);
  return {result, out};
}

TEST(ProtectedFormTest, FormatAndRoundTrip) {
  // 'a' ^ 'q' = 0x10, 'b' ^ 'u' = 0x17: the mixing key and upper-case hex.
  EXPECT_EQ(protect("a"), "encry(10)");
  EXPECT_EQ(protect("ab"), "encry(1017)");
  EXPECT_EQ(protect("\xFF"), "encry(8E)");
  // Byte 28 is mixed with the key's first character again.
  std::string wrap(29, 'q');
  EXPECT_EQ(protect(wrap).substr(6 + 56, 2), "00");

  std::string all;
  for (int c = 1; c < 256; ++c) all += static_cast<char>(c);
  for (size_t len : {size_t{1}, size_t{27}, size_t{28}, size_t{252}, size_t{253}, size_t{255}}) {
    std::string value = all.substr(0, len);
    std::string form = protect(value);
    EXPECT_EQ(form.size(), 7 + 2 * len);
    EXPECT_EQ(decode(form.c_str()), std::make_pair(1, value)) << len;
  }
  // Only the first 255 characters are protected.
  EXPECT_EQ(protect(std::string(300, 'z')), protect(std::string(255, 'z')));
  // Too small an output buffer gives nothing rather than a cut form.
  char small[16] = "junk";
  EXPECT_EQ(make_protected_form("a", small, sizeof small), 0u);
  EXPECT_STREQ(small, "");
}

TEST(ProtectedFormTest, DecodeAcceptsAndRejects) {
  EXPECT_EQ(decode("plain secret"), std::make_pair(1, std::string("plain secret")));
  EXPECT_EQ(decode("plain secret", 6), std::make_pair(1, std::string("plain")));
  EXPECT_EQ(decode("encry()"), std::make_pair(1, std::string("encry()")));  // too short
  EXPECT_EQ(decode("ENCRY(10)"), std::make_pair(1, std::string("ENCRY(10)")));
  EXPECT_EQ(decode("encry(10"), std::make_pair(1, std::string("encry(10")));
  EXPECT_EQ(decode("encry(1017)"), std::make_pair(1, std::string("ab")));
  EXPECT_EQ(decode("encry(1a1B)"), std::make_pair(1, std::string("kn")));  // either case
  EXPECT_EQ(decode("encry(1017)", 2), std::make_pair(1, std::string("a")));

  EXPECT_EQ(decode("encry(101)"), std::make_pair(0, std::string()));  // odd
  EXPECT_EQ(decode("encry(1G)"), std::make_pair(0, std::string()));   // no hex digit
  EXPECT_EQ(decode("encry(10 7)"), std::make_pair(0, std::string()));

  std::string longest = "encry(" + std::string(510, '0') + ")";
  EXPECT_EQ(decode(longest.c_str(), 600).first, 1);
  std::string too_long = "encry(" + std::string(512, '0') + ")";
  EXPECT_EQ(decode(too_long.c_str(), 600), std::make_pair(0, std::string()));

  char out[8] = "keep";
  EXPECT_EQ(decode_protected_value(nullptr, out, sizeof out), 0);
  EXPECT_STREQ(out, "");
  EXPECT_EQ(decode_protected_value("x", nullptr, 8), 0);
}

class ProtectFileTest : public test::WorkDirTest {
 protected:
  std::string eol = test::text_line_end();
  // `lines` joined with the platform's text-mode line end.
  std::string text(std::initializer_list<std::string> lines) const {
    std::string out;
    for (const std::string& line : lines) out += line + eol;
    return out;
  }
  std::string file() const { return read_file(kNotifyFileName); }
  bool temp_left() const {
    for (const auto& entry : fs::directory_iterator(work_dir())) {
      if (entry.path().filename() != kNotifyFileName) return true;
    }
    return false;
  }
};

TEST_F(ProtectFileTest, ReplacesOnlyTheFirstKeyLine) {
  write_file(kNotifyFileName,
             text({"server: \"smtp://x\"", "* password: \"old1\"", "# password: \"old2\"",
                   "  password  :  \"pw\"  trailing", "password: \"second\"", "token: \"t\""}));
  EXPECT_EQ(protect_value_in_file("password", "second"), 1);
  EXPECT_EQ(file(), text({"server: \"smtp://x\"", "* password: \"old1\"", "# password: \"old2\"",
                          "password:\"" + protect("second") + "\"", "password: \"second\"",
                          "token: \"t\""}));
  EXPECT_FALSE(temp_left());

  // A second rewrite with the same value changes nothing.
  std::string before = file();
  EXPECT_EQ(protect_value_in_file("password", "second"), 1);
  EXPECT_EQ(file(), before);
}

TEST_F(ProtectFileTest, FindsTheKeyAsTheLoaderSplitsIt) {
  // Split at the first ":", so a value holding "=" is still found; "=" only
  // serves in a line without any ":".
  write_file(kNotifyFileName, text({"password: \"a=b\"", "token = \"tok\""}));
  EXPECT_EQ(protect_value_in_file("password", "a=b"), 1);
  EXPECT_EQ(protect_value_in_file("token", "tok"), 1);
  EXPECT_EQ(file(),
            text({"password:\"" + protect("a=b") + "\"", "token:\"" + protect("tok") + "\""}));
  // Key case matters.
  write_file(kNotifyFileName, text({"Password: \"p\""}));
  EXPECT_EQ(protect_value_in_file("password", "p"), 1);
  EXPECT_EQ(file(), text({"Password: \"p\""}));
}

TEST_F(ProtectFileTest, LeavesTheFileAloneWhenItCannotRewrite) {
  EXPECT_EQ(protect_value_in_file("password", "pw"), 0);  // no file
  EXPECT_FALSE(test::file_exists(kNotifyFileName));

  std::string original = "password: \"pw\"\n";
  write_file(kNotifyFileName, original);
  EXPECT_EQ(protect_value_in_file("password", ""), 0);
  EXPECT_EQ(protect_value_in_file(nullptr, "pw"), 0);
  EXPECT_EQ(protect_value_in_file("password", nullptr), 0);
  EXPECT_EQ(file(), original);

  // About 300 KB: never rewritten, also when the key line comes first.
  std::string big = original;
  while (big.size() < 300000) big += "* filler line of the notification file\n";
  write_file(kNotifyFileName, big);
  EXPECT_EQ(protect_value_in_file("password", "pw"), 0);
  EXPECT_EQ(file(), big);
  EXPECT_FALSE(temp_left());
}

TEST_F(ProtectFileTest, SizeLimitIsExact) {
  // Content (as read in text mode) may reach 262142 bytes plus the terminator.
  auto make = [](size_t total) {
    std::string head = "password:\"pw\"\n";
    std::string body(total - head.size() - 1, 'x');
    return head + body + "\n";
  };
  // The protected line is 9 bytes longer than the plain one.
  std::string fits = make(262142 - 9);
  write_file(kNotifyFileName, fits);
  EXPECT_EQ(protect_value_in_file("password", "pw"), 1);
  std::string too_big = make(262143 - 9);
  write_file(kNotifyFileName, too_big);
  EXPECT_EQ(protect_value_in_file("password", "pw"), 0);
  EXPECT_EQ(file(), too_big);
}

TEST_F(ProtectFileTest, ReadOnlyFileIsNotReplaced) {
  std::string original = "password: \"pw\"\n";
  write_file(kNotifyFileName, original);
  fs::permissions(kNotifyFileName,
                  fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
  std::FILE* probe = std::fopen(kNotifyFileName, "r+");
  if (probe) {
    std::fclose(probe);
    fs::permissions(kNotifyFileName, fs::perms::owner_all);
    GTEST_SKIP() << "read-only files are writable for this user";
  }
  EXPECT_EQ(protect_value_in_file("password", "pw"), 0);
  fs::permissions(kNotifyFileName, fs::perms::owner_all);
  EXPECT_EQ(file(), original);
  EXPECT_FALSE(temp_left());
}

TEST_F(ProtectFileTest, KeepsPermissionsAndOtherBytes) {
  // Bytes of other lines survive exactly, NUL bytes and a missing final line
  // end included.
  std::string odd_line = std::string("note: \"a") + '\0' + "b\"";
  write_file(kNotifyFileName, "token: \"t\"\n" + odd_line + "\nlast: \"x\"");
  fs::permissions(kNotifyFileName, fs::perms::owner_read | fs::perms::owner_write);
  fs::perms before = fs::status(kNotifyFileName).permissions();
  EXPECT_EQ(protect_value_in_file("token", "t"), 1);
  EXPECT_EQ(fs::status(kNotifyFileName).permissions(), before);
  EXPECT_EQ(file(), "token:\"" + protect("t") + "\"" + eol + odd_line + eol + "last: \"x\"");
}

TEST_F(ProtectFileTest, LongTokensRoundTripThroughTheLoader) {
  for (size_t len : {size_t{252}, size_t{253}, size_t{255}}) {
    std::string token;
    for (size_t i = 0; i < len; ++i) token += "abcdefghijklmnopqrstuvwxyz0123456789:="[i % 38];
    write_file(kNotifyFileName, "token: \"" + token + "\"\nchat_id: \"1\"\n");
    NotifySettings first, second;
    load_notify_config(&first);
    EXPECT_EQ(std::string(first.token.c_str()), token);
    std::string stored = file();
    EXPECT_EQ(stored.find(token), std::string::npos) << "token left in plain text";
    EXPECT_NE(stored.find(protect(token)), std::string::npos);
    load_notify_config(&second);
    EXPECT_EQ(std::string(second.token.c_str()), token) << len;
    EXPECT_EQ(file(), stored);
  }
}

}  // namespace
}  // namespace lw
