#include "config/notify_config.h"

#include <gtest/gtest.h>

#include <string>

#include "config/protect.h"
#include "support/capture.h"
#include "support/test_env.h"

namespace lw {
namespace {

using test::OutputCapture;
using test::read_file;
using test::write_file;

std::string protect(const std::string& value) {
  char form[kProtectedFormSize];
  make_protected_form(value.c_str(), form, sizeof form);
  return form;
}

class NotifyConfigTest : public test::WorkDirTest {
 protected:
  NotifySettings load(const std::string& text) {
    write_file(kNotifyFileName, text);
    NotifySettings s;
    s.server.assign("stale");
    s.iamalive_enabled = 1;
    load_notify_config(&s);
    return s;
  }
  std::string file() const { return read_file(kNotifyFileName); }
  std::string eol = test::text_line_end();
};

TEST_F(NotifyConfigTest, MissingFileLeavesEveryChannelOff) {
  NotifySettings s;
  s.email_enabled = 1;
  OutputCapture capture;
  load_notify_config(&s);
  EXPECT_EQ(capture.out(),
            "linkwatch_email.txt is not existed. It is unable to send email alerts\n");
  EXPECT_EQ(s.email_enabled, 0);
  EXPECT_EQ(s.telegram_enabled, 0);
  EXPECT_EQ(s.teams_enabled, 0);
  EXPECT_FALSE(test::file_exists(kNotifyFileName));
}

TEST_F(NotifyConfigTest, FullFileFillsEveryField) {
  OutputCapture capture;
  NotifySettings s = load(
      "server : \"smtps://mail.example:465\"\n"
      "email: \"ops@example\"\n"
      "password: \"secret\"\n"
      "from: \"Monitor <mon@example>\"\n"
      "to: \"a@example,b@example\"\n"
      "* to: \"commented@example\"\n"
      "iamalive: \"boss@example\"\n"
      "token = \"123:abc\"\n"  // holds a colon: the line splits there and is ignored
      "token: \"123:abc\"\n"
      "chat_id: \"-100\"\n"
      "teams_webhook: \"https://hook.example/x?a=1\"\n"
      "Server: \"other\"\n");
  EXPECT_EQ(capture.out(), "");
  EXPECT_STREQ(s.server.c_str(), "smtps://mail.example:465");
  EXPECT_STREQ(s.email.c_str(), "ops@example");
  EXPECT_STREQ(s.password.c_str(), "secret");
  EXPECT_STREQ(s.from.c_str(), "Monitor <mon@example>");
  EXPECT_STREQ(s.to.c_str(), "a@example,b@example");
  EXPECT_STREQ(s.iamalive.c_str(), "boss@example");
  EXPECT_STREQ(s.token.c_str(), "123:abc");
  EXPECT_STREQ(s.chat_id.c_str(), "-100");
  EXPECT_STREQ(s.teams_webhook.c_str(), "https://hook.example/x?a=1");
  EXPECT_EQ(s.email_enabled, 1);
  EXPECT_EQ(s.telegram_enabled, 1);
  EXPECT_EQ(s.teams_enabled, 1);
  EXPECT_EQ(s.iamalive_enabled, 1);

  // Password first, then token; the first token line (the one the loader
  // could not read) stays as written.
  EXPECT_EQ(file(),
            "server : \"smtps://mail.example:465\"" + eol + "email: \"ops@example\"" + eol +
                "password:\"" + protect("secret") + "\"" + eol + "from: \"Monitor <mon@example>\"" +
                eol + "to: \"a@example,b@example\"" + eol + "* to: \"commented@example\"" + eol +
                "iamalive: \"boss@example\"" + eol + "token = \"123:abc\"" + eol + "token:\"" +
                protect("123:abc") + "\"" + eol + "chat_id: \"-100\"" + eol +
                "teams_webhook: \"https://hook.example/x?a=1\"" + eol + "Server: \"other\"" + eol);
}

TEST_F(NotifyConfigTest, FlagsFollowTheSettings) {
  NotifySettings s = load("server:\"s\"\nemail:\"e\"\npassword:\"p\"\nto:\"t\"\n");
  EXPECT_STREQ(s.from.c_str(), "");
  EXPECT_EQ(s.email_enabled, 1);
  EXPECT_EQ(s.telegram_enabled + s.teams_enabled + s.iamalive_enabled, 0);

  s = load("server:\"s\"\nemail:\"e\"\npassword:\"\"\nto:\"t\"\n");
  EXPECT_EQ(s.email_enabled, 0);
  EXPECT_STREQ(s.server.c_str(), "s");

  s = load("token:\"tok\"\n");
  EXPECT_EQ(s.telegram_enabled, 0);
  EXPECT_EQ(file(), "token:\"" + protect("tok") + "\"" + eol);  // protected all the same

  s = load("chat_id:\"42\"\n");
  EXPECT_EQ(s.telegram_enabled, 0);

  s = load("teams_webhook:\"https://h\"\nteams_webhook:\"\"\n");
  EXPECT_EQ(s.teams_enabled, 0);
  s = load("teams_webhook:\"https://h\"\n");
  EXPECT_EQ(s.teams_enabled, 1);
  EXPECT_EQ(s.email_enabled + s.telegram_enabled, 0);

  s = load("iamalive:\"nobody\"\n");
  EXPECT_STREQ(s.iamalive.c_str(), "nobody");
  EXPECT_EQ(s.iamalive_enabled, 0);
  s = load("iamalive:\"a@b\"\niamalive:\"nobody\"\n");
  EXPECT_STREQ(s.iamalive.c_str(), "nobody");
  EXPECT_EQ(s.iamalive_enabled, 1);
}

TEST_F(NotifyConfigTest, LongValuesAreCut) {
  NotifySettings s = load("to:\"" + std::string(1100, 't') + "\"\nserver:\"" +
                          std::string(300, 's') + "\"\niamalive:\"" + std::string(600, 'i') +
                          "@\"\npassword:\"" + std::string(200, 'p') + "\"\n");
  EXPECT_EQ(s.to.size(), 1023u);
  EXPECT_EQ(s.server.size(), 255u);
  EXPECT_EQ(s.iamalive.size(), 511u);
  EXPECT_EQ(s.password.size(), 127u);
  // The stored form is that of the password as held in memory.
  EXPECT_NE(file().find("password:\"" + protect(std::string(127, 'p')) + "\""), std::string::npos);
}

TEST_F(NotifyConfigTest, StoredSecretsRoundTrip) {
  NotifySettings first = load("password : \"pa ss\" old text\ntoken:\"t0k\"\nchat_id:\"1\"\n");
  std::string stored = file();
  EXPECT_EQ(stored, "password:\"" + protect("pa ss") + "\"" + eol + "token:\"" + protect("t0k") +
                        "\"" + eol + "chat_id:\"1\"" + eol);
  NotifySettings second;
  load_notify_config(&second);
  EXPECT_STREQ(first.password.c_str(), "pa ss");
  EXPECT_STREQ(second.password.c_str(), "pa ss");
  EXPECT_STREQ(second.token.c_str(), "t0k");
  EXPECT_EQ(file(), stored);

  // Lower-case digits are read and written back in upper case.
  std::string upper = protect("secret");
  std::string lower = upper;
  for (char& c : lower) c = static_cast<char>(c >= 'A' && c <= 'F' ? c + 32 : c);
  ASSERT_NE(lower, upper);
  NotifySettings s = load("password: \"" + lower + "\"\n");
  EXPECT_STREQ(s.password.c_str(), "secret");
  EXPECT_EQ(file(), "password:\"" + upper + "\"" + eol);
}

TEST_F(NotifyConfigTest, MalformedProtectedFormsAreTakenLiterally) {
  for (const char* literal : {"encry(ABC)", "encry(1G)", "encry()"}) {
    SCOPED_TRACE(literal);
    NotifySettings s = load(std::string("password:\"") + literal + "\"\n");
    EXPECT_STREQ(s.password.c_str(), literal);
    EXPECT_EQ(file(), "password:\"" + protect(literal) + "\"" + eol);
    NotifySettings again;
    load_notify_config(&again);
    EXPECT_STREQ(again.password.c_str(), literal);
  }
}

TEST_F(NotifyConfigTest, TwoPasswordLines) {
  NotifySettings s = load("password:\"one\"\npassword:\"two\"\n");
  EXPECT_STREQ(s.password.c_str(), "two");
  EXPECT_EQ(file(), "password:\"" + protect("two") + "\"" + eol + "password:\"two\"" + eol);
}

TEST_F(NotifyConfigTest, CarriageReturnLineEnds) {
  NotifySettings s = load("server: \"s\"\r\nemail:\"e\"\r\npassword: \"p\" \r\nto:\"t\"\r\n");
  EXPECT_STREQ(s.server.c_str(), "s");
  EXPECT_STREQ(s.password.c_str(), "p");
  EXPECT_STREQ(s.to.c_str(), "t");
  EXPECT_EQ(s.email_enabled, 1);
  // Untouched lines keep their bytes as read in text mode.
  std::string kept = eol == std::string("\n") ? "\r\n" : eol;
  EXPECT_EQ(file(), "server: \"s\"" + kept + "email:\"e\"" + kept + "password:\"" + protect("p") +
                        "\"" + eol + "to:\"t\"" + kept);
}

}  // namespace
}  // namespace lw
