#include "config/protect.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <thread>
#include <tuple>

#include "config/notify_config.h"
#include "platform/platform.h"
#include "support/capture.h"
#include "support/test_env.h"

namespace lw {
namespace {

namespace fs = std::filesystem;

std::string crlf(std::string text) { return text.insert(text.size() - 1, "\r"); }

std::string line(const char* key, const std::string& value) {  // as stored protected
  char form[kProtectedFormSize];
  EXPECT_GT(make_protected_form(value.c_str(), form, sizeof form), 0u);
  return key + (":\"" + std::string(form) + "\"\n");
}

// Rows: a file, the "password|token|mail and Telegram on" the loader reads, the file it leaves;
// a second load changes nothing. A secret over its limit stays, unused, its channel off.
TEST(ProtectFileTest, SecretsAreStoredProtectedAndLoadBackUnchanged) {
  const std::string long_pw = "password: \"" + std::string(128, 'p') + "\"\n",
                    long_token = "token:\"12345:" + std::string(250, 'T') + "\"\n",
                    long_comment = "* " + std::string(8189, 'c') + "password:\"leak\"\n";
  auto wide = [](const std::string& ascii) { return std::u16string(ascii.begin(), ascii.end()); };
  const std::u16string utf16 =
      u"server:\"s\"\r\nemail:\"b\u00FCro@x\"\r\nto:\"t\"\r\nchat_id:\"4\"\r\n"
      u"password:\"\xDC00\"\r\n* " +
      std::u16string(3000, u'\u20AC') + u"password:\"l\"\r\n";
  std::string last = line("token", "tk");
  last.pop_back();  // the last line has no line end
  const std::tuple<std::string, std::string, std::string> cases[] = {
      {"* password: \"c\"\n# password: \"c\"\ntoken = \"tok\"\npassword: \"a=b\"\n"
       "  password : \"x\"  old\npassword: noquotes\n",
       "x|tok|11",  // every line is protected with its own value
       "* password: \"c\"\n# password: \"c\"\n" + line("token", "tok") + line("password", "a=b") +
           line("password", "x") + "password: noquotes\n"},
      {"password: \"encry(1a1b)\"\ntoken:\"encry(1G)\"\n",
       "kn|encry(1G)|11",  // a bad form as written
       line("password", "kn") + line("token", "encry(1G)")},
      {long_pw + long_token, "||00", long_pw + long_token},
      {"password:\"ok\"\n" + long_pw, "||00", line("password", "ok") + long_pw},
      // Bytes stay as editors write them: a byte order mark, CR LF.
      {"\xEF\xBB\xBFpassword:\"pw\"\r\ntoken:\"tk\"\r\n", "pw|tk|11",
       "\xEF\xBB\xBF" + crlf(line("password", "pw")) + crlf(line("token", "tk"))},
      // The rest of a long line is never taken for a line of its own.
      {long_comment + "password:\"x\"\ntoken:\"t\"\n", "x|t|11",
       long_comment + line("password", "x") + line("token", "t")},
      // Of a long secret line, as of a short one, only the value and the line end stay.
      {"password:\"x\"" + std::string(8200, 'd') + "\r\ntoken:\"t\"\n", "x|t|11",
       crlf(line("password", "x")) + line("token", "t")},
      // UTF-16 (Notepad's "Unicode") loads as UTF-8 and stays UTF-16 byte for byte but the
      // protected values: a unit that is no character, the rest of a long line, no last line end.
      {test::utf16le(utf16 + u"password:\"p\u00E9\"\r\ntoken:\"tk\""), "p\u00E9|tk|11",
       test::utf16le(utf16 + wide(crlf(line("password", "p\u00E9"))) + wide(last))}};
  const std::string others = "server:\"s\"\nemail:\"e\"\nto:\"t\"\nchat_id:\"42\"\n";
  for (const auto& [text, want, file] : cases) {
    SCOPED_TRACE(text.substr(0, 80));
    const std::string tail = text.starts_with("\xFF\xFE") ? "" : others;  // UTF-16: in the row
    test::ScopedWorkDir dir;
    test::OutputCapture capture;
    test::write_file(kNotifyFileName, text + tail);
    for (int round = 0; round < 2; ++round) {
      NotifySettings s;
      load_notify_config(&s);
      EXPECT_EQ(std::string(s.password.c_str()) + "|" + s.token.c_str() + "|" +
                    std::to_string(s.email_enabled) + std::to_string(s.telegram_enabled),
                want);
      EXPECT_EQ(test::read_file(kNotifyFileName), file + tail);
    }
    EXPECT_EQ(capture.out().find(" alerts are off\n") != std::string::npos, want.ends_with('0'));
  }
}

// Two loads at once (two "-test" started together) neither empty the file nor leave it plain.
TEST(ProtectFileTest, ConcurrentLoadsKeepTheFile) {
  test::ScopedWorkDir dir;
  const std::string want = "to:\"t\"\n" + line("password", "pw") + line("token", "tk");
  const auto load = [] {
    NotifySettings s;
    load_notify_config(&s);
  };
  for (int pair = 0; pair < 200; ++pair) {
    test::write_file(kNotifyFileName, "to:\"t\"\npassword:\"pw\"\ntoken:\"tk\"\n");
    std::thread other(load);
    load();
    other.join();
    ASSERT_EQ(test::read_file(kNotifyFileName), want) << "pair " << pair;
  }
  for (const auto& entry : fs::directory_iterator(dir.path()))
    EXPECT_NE(entry.path().extension(), ".tmp");
}

// A rewrite waits for the holder of the lock, protects what the file holds then, and keeps its
// permission bits, however far from a new file's.
TEST(ProtectFileTest, ARewriteWaitsForTheLockReadsAfreshAndKeepsThePermissionBits) {
  for (const fs::perms mode :
       {fs::perms::owner_read | fs::perms::owner_write,
        fs::perms::owner_all | fs::perms::group_read | fs::perms::others_all}) {
    test::ScopedWorkDir dir;
    test::write_file(kNotifyFileName, "password:\"old\"\n");
    if (platform::kHasPermissionBits) fs::permissions(kNotifyFileName, mode);
    platform::FileLock lock;
    ASSERT_EQ(platform::lock_file(kNotifyLockFileName, &lock), platform::LockResult::kAcquired);
    std::thread rewrite([] { EXPECT_EQ(protect_secrets_in_file(), 1); });
    platform::sleep_ms(300);
    test::write_file(kNotifyFileName, "password:\"old\"\ntoken:\"new\"\n");
    platform::unlock_file(&lock);
    rewrite.join();
    EXPECT_EQ(test::read_file(kNotifyFileName), line("password", "old") + line("token", "new"));
    EXPECT_EQ(platform::kHasPermissionBits ? fs::status(kNotifyFileName).permissions() : mode,
              mode);
  }
}

}  // namespace
}  // namespace lw
