#include "config/protect.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <iterator>
#include <regex>
#include <string>
#include <tuple>
#include <utility>

#include "config/notify_config.h"
#include "support/test_env.h"

namespace lw {
namespace {

std::string protect(const std::string& value) {
  char form[kProtectedFormSize];
  return make_protected_form(value.c_str(), form, sizeof form) ? form : "";
}

TEST(ProtectedFormTest, FormatDecodeAndRoundTrip) {
  // 0xFF ^ 'q' = 0x8E, 'b' ^ 'u' = 0x17: the mixing key and upper-case hex.
  EXPECT_EQ(protect("\xFF"
                    "b"),
            "encry(8E17)");
  EXPECT_EQ(protect(std::string(29, 'q')).substr(62), "00)");  // the key starts over at 28
  EXPECT_EQ(protect(std::string(300, 'z')), protect(std::string(255, 'z')));
  auto decode = [](const std::string& stored) {  // "!" where it does not decode
    char out[600] = "junk";
    int ok = decode_protected_value(stored.c_str(), out, sizeof out);
    return ok ? std::string(out) : "!" + std::string(out);
  };
  std::string all;
  for (int c = 1; c < 256; ++c) all += static_cast<char>(c);
  EXPECT_EQ(decode(protect(all)), all);
  EXPECT_EQ(decode("encry(1a1B)"), "kn");  // either case
  for (const char* kept : {"plain secret", "encry()", "ENCRY(10)", "encry(10"})
    EXPECT_EQ(decode(kept), kept);
  for (const char* bad : {"encry(101)", "encry(1G)", "encry(10 7)"}) EXPECT_EQ(decode(bad), "!");
  EXPECT_EQ(decode("encry(" + std::string(512, '0') + ")"), "!");
}

// Rows: a file, the "password|token" the loader reads, the file it leaves protected; a
// second load reads the same and changes nothing.
TEST(ProtectFileTest, SecretsAreStoredProtectedAndLoadBackUnchanged) {
  auto line = [](const char* key, const std::string& v) {
    return key + (":\"" + protect(v) + "\"\n");
  };
  const std::string eol = test::text_line_end(), t255 = "12345:" + std::string(249, 'T'),
                    t253 = t255.substr(0, 253), big(300000, '*');  // about 300 KB: never rewritten
  const std::tuple<std::string, std::string, std::string> cases[] = {
      {"* password: \"c\"\n# password: \"c\"\ntoken = \"tok\"\npassword: \"a=b\"\n"
       "  password : \"x\"  old\n",
       "x|tok",
       "* password: \"c\"\n# password: \"c\"\n" + line("token", "tok") + line("password", "x") +
           "  password : \"x\"  old\n"},
      {"password: \"encry(1a1b)\"\ntoken:\"encry()\"\n", "kn|encry()",
       line("password", "kn") + line("token", "encry()")},
      {"password:\"encry(1G)\"\ntoken: \"encry(101)\"\n", "encry(1G)|encry(101)",
       line("password", "encry(1G)") + line("token", "encry(101)")},
      {"token: \"" + t253 + "\"\n", "|" + t253, line("token", t253)},
      {"token: \"" + t255 + "\"\n", "|" + t255, line("token", t255)},
      {"password: \"pw\"\n" + big, "pw|", "password: \"pw\"\n" + big}};
  for (const auto& [text, want, file] : cases) {
    SCOPED_TRACE(text.substr(0, 80));
    test::ScopedWorkDir dir;
    test::write_file(kNotifyFileName, std::regex_replace(text, std::regex("\n"), eol));
    for (int round = 0; round < 2; ++round) {
      NotifySettings s;
      load_notify_config(&s);
      EXPECT_EQ(std::string(s.password.c_str()) + "|" + s.token.c_str(), want);
      EXPECT_EQ(test::read_file(kNotifyFileName), std::regex_replace(file, std::regex("\n"), eol));
    }
    auto entries = std::filesystem::directory_iterator(dir.path());  // no temporary file
    EXPECT_EQ(std::distance(begin(entries), end(entries)), 1);
  }
}

}  // namespace
}  // namespace lw
