#include "config/protect.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <string>
#include <thread>
#include <tuple>
#include <utility>

#include "config/notify_config.h"
#include "platform/platform.h"
#include "support/capture.h"
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

std::string line(const char* key, const std::string& value) {
  return key + (":\"" + protect(value) + "\"\n");
}

std::string with_line_ends(const std::string& text) {
  return std::regex_replace(text, std::regex("\n"), test::text_line_end());
}

// Rows: a file, the "password|token" the loader reads, the file it leaves protected; a
// second load reads the same and changes nothing.
TEST(ProtectFileTest, SecretsAreStoredProtectedAndLoadBackUnchanged) {
  const std::string t255 = "12345:" + std::string(249, 'T'), p127(127, 'p'), p128 = p127 + "p",
                    big(300000, '*');  // never rewritten
  const std::string long_pw = "password: \"" + p128 + "\"\n",
                    long_protected_pw = "password:\"" + protect(p128) + "\"\n",
                    long_token = "token:\"" + t255 + "X\"\n";
  const std::tuple<std::string, std::string, std::string> cases[] = {
      {"* password: \"c\"\n# password: \"c\"\ntoken = \"tok\"\npassword: \"a=b\"\n"
       "  password : \"x\"  old\npassword: noquotes\n",
       "x|tok",  // every line is protected with its own value
       "* password: \"c\"\n# password: \"c\"\n" + line("token", "tok") + line("password", "a=b") +
           line("password", "x") + "password: noquotes\n"},
      {"password: \"encry(1a1b)\"\ntoken:\"encry()\"\n", "kn|encry()",
       line("password", "kn") + line("token", "encry()")},
      {"password:\"encry(1G)\"\ntoken: \"encry(101)\"\n", "encry(1G)|encry(101)",
       line("password", "encry(1G)") + line("token", "encry(101)")},
      {"password: \"" + p127 + "\"\ntoken: \"" + t255 + "\"\n", p127 + "|" + t255,
       line("password", p127) + line("token", t255)},
      // A secret beyond its limit is never cut: its line stays, the winning one is not used.
      {long_pw + long_token, "|", long_pw + long_token},
      {long_protected_pw + "password:\"ok\"\n", "ok|", long_protected_pw + line("password", "ok")},
      {"password:\"ok\"\n" + long_pw, "|", line("password", "ok") + long_pw},
      {"password: \"pw\"\n" + big, "pw|", "password: \"pw\"\n" + big}};
  for (const auto& [text, want, file] : cases) {
    SCOPED_TRACE(text.substr(0, 80));
    test::ScopedWorkDir dir;
    test::OutputCapture capture;  // the notes on secrets beyond their limit
    test::write_file(kNotifyFileName, with_line_ends(text));
    for (int round = 0; round < 2; ++round) {
      NotifySettings s;
      load_notify_config(&s);
      EXPECT_EQ(std::string(s.password.c_str()) + "|" + s.token.c_str(), want);
      EXPECT_EQ(test::read_file(kNotifyFileName), with_line_ends(file));
    }
    for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
      EXPECT_NE(entry.path().extension(), ".tmp");
  }
}

// Two loads at once (two "-test" started together) neither empty the file, nor leave a
// secret plain, nor change its permissions.
TEST(ProtectFileTest, ConcurrentLoadsKeepTheFile) {
  namespace fs = std::filesystem;
  test::ScopedWorkDir dir;
  const std::string want =
      with_line_ends("to:\"t\"\n" + line("password", "pw") + line("token", "tk"));
  for (int pair = 0; pair < 200; ++pair) {
    test::write_file(kNotifyFileName, with_line_ends("to:\"t\"\npassword:\"pw\"\ntoken:\"tk\"\n"));
    fs::permissions(kNotifyFileName, fs::perms::owner_read | fs::perms::owner_write);
    const fs::perms mode = fs::status(kNotifyFileName).permissions();
    std::thread other([] {
      NotifySettings s;
      load_notify_config(&s);
    });
    NotifySettings s;
    load_notify_config(&s);
    other.join();
    ASSERT_EQ(test::read_file(kNotifyFileName), want) << "pair " << pair;
    ASSERT_EQ(fs::status(kNotifyFileName).permissions(), mode) << "pair " << pair;
  }
}

// A rewrite waits for the holder of the lock and protects what the file holds then.
TEST(ProtectFileTest, ARewriteWaitsForTheLockAndReadsAfresh) {
  test::ScopedWorkDir dir;
  test::write_file(kNotifyFileName, with_line_ends("password:\"old\"\n"));
  platform::FileLock lock;
  ASSERT_EQ(platform::lock_file(kNotifyLockFileName, &lock), platform::LockResult::kAcquired);
  std::thread rewrite([] { EXPECT_EQ(protect_secrets_in_file(), 1); });
  platform::sleep_ms(300);
  test::write_file(kNotifyFileName, with_line_ends("password:\"old\"\ntoken:\"new\"\n"));
  platform::unlock_file(&lock);
  rewrite.join();
  EXPECT_EQ(test::read_file(kNotifyFileName),
            with_line_ends(line("password", "old") + line("token", "new")));
}

}  // namespace
}  // namespace lw
