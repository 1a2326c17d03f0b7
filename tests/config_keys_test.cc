// Parity of the key rows: the same line through the loader and through "-check" for every
// row and a pool of values, each side doing what the row declares.

#include "config/config_keys.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <memory>
#include <sstream>
#include <string>
#include <type_traits>
#include <vector>

#include "config/check.h"
#include "support/capture.h"
#include "support/test_env.h"

namespace lw {
namespace {

// Each row meets every value: numbers around the rows' bounds, text shapes, a control byte, a
// text too long for any key.
std::vector<std::string> value_pool() {
  std::vector<std::string> pool = {std::string(300, 's')};
  for (const auto& group : std::initializer_list<std::initializer_list<const char*>>{
           {"", "abc", "-1", "0", "1", "2", "4", "5", "05", "5x", "6", "50", "51", "100", "101"},
           {"255", "256", "1440", "1441", "10080", "99999", "any", "ipv6", "smtp", "off", "none"},
           {"a:1,[::1]:53", "a:1,b", "x.prom", "page.html", ".html", "30, 7,1", "21,7,7,3,1"},
           {"Berlin dc-2", "a<b", "https://h.example/p", "http://p:3128", "best-effort"},
           {"relay.corp, .corp.example", "10.0.0.1", "192.168.1.300", "123:abc-_"},
           {"Mon,Wed 22:00-02:00", "daily 03:00-03:30; last Sun 01:00-24:00", "Sun 02:00-02:00"},
           {"a@x\x01", "a@x, b@y", "PING\\r\\n", "a\\q"}})
    pool.insert(pool.end(), group.begin(), group.end());
  return pool;
}

// The lines of `out` about line `line_no`: failures ("Line N: ") and "will be taken as" warnings.
std::string about_line(const std::string& out, int line_no) {
  std::istringstream lines(out);
  std::string result;
  const std::string failure = "Line " + std::to_string(line_no) + ": ";
  const std::string warning = "line " + std::to_string(line_no) + ": ";
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind(failure, 0) == 0 || (line.find(warning) != std::string::npos &&
                                        line.find("will be taken as") != std::string::npos)) {
      result += line + "\n";
    }
  }
  return result;
}

// What each side did with one line.
struct Sides {
  std::string loaded;  // the row's show after loading
  std::string note;    // what the loader printed
  int check_result = -1;
  std::string check_says;  // about_line of -check's output
};

// True when the loader kept `value` as written or cut to its setting (-check says nothing of it).
bool kept(const std::string& loaded, const std::string& value) {
  return loaded == value || (loaded.size() >= 15 && value.rfind(loaded, 0) == 0);
}

template <typename Row>
bool fails_clamped(const Row& row) {
  if constexpr (requires { row.on_replaced; })
    return row.on_replaced == CheckReplaced::kFailClamped;
  return false;
}

std::string loader_note(const HostKeyRow& row) {
  if (!row.load_rule) return "";
  return std::string(row.name) + (row.scope == KeyScope::kGlobal ? "" : " of host prefix.example") +
         " in linkwatch_host.txt must be " + row.load_rule + "; " + row.load_fallback + "\n";
}

std::string loader_note(const NotifyKeyRow& row) {
  if (!row.load_rule || row.note) return "";
  return std::string(row.name) + " in linkwatch_email.txt must be " + row.load_rule + "; " +
         row.load_fallback + "\n";
}

// The line is line 5 of a host file after two globals and a host block (a `host` line gets a port
// after it), line 8 of a notification file after the e-mail keys, Telegram and a web hook.
constexpr int kHostLine = 5, kNotifyLine = 8;

// What the sides did unlike what `row` declares for `value`; empty when they match.
template <typename Row>
std::string mismatches(const Row& row, const std::string& value, const Sides& got) {
  const int line_no = std::is_same_v<Row, HostKeyRow> ? kHostLine : kNotifyLine;
  const std::string refusal_note = loader_note(row);
  const KeyValue v = row.parse(value.c_str());
  std::string found;
  auto expect = [&found](bool ok, const std::string& what) {
    if (!ok) found += what + "; ";
  };
  const std::string used = v.used.empty() ? value : v.used.c_str();
  const std::string failure = "Line " + std::to_string(line_no) + ": ";
  const bool check_failed = got.check_result == 0 && got.check_says.rfind(failure, 0) == 0;
  const bool check_silent = got.check_result == 1 && got.check_says.empty();
  switch (v.verdict) {
    case KeyVerdict::kIgnored:
      expect(got.loaded == row.default_text, "ignored: loader changed the setting");
      expect(got.note.empty() && check_silent, "ignored: a side spoke");
      break;
    case KeyVerdict::kTaken:
      expect(v.used.empty() ? kept(got.loaded, value) : got.loaded == used,
             "taken: loader did not take it");
      expect(got.note.empty(), "taken: loader noted it");
      expect(check_silent, "taken: -check spoke or failed");
      break;
    case KeyVerdict::kReplaced:
      expect(got.loaded == used, "replaced: loader used another value than " + used);
      expect(got.note.empty(), "replaced: loader noted it");
      if (fails_clamped(row) && v.clamped) {
        expect(check_failed, "clamped: -check did not fail");
      } else {
        const std::string warning = "Warning: config.txt line " + std::to_string(line_no) + ": " +
                                    row.name + " \"" + value + "\" will be taken as " + used + "\n";
        expect(got.check_result == 1 && got.check_says == warning,
               "replaced: -check did not warn of " + used);
      }
      break;
    case KeyVerdict::kRefused:
      expect(check_failed, "refused: -check did not fail");
      if (row.on_refused == LoadRefused::kFallBack) {
        expect(got.loaded == row.default_text, "refused: loader did not fall back");
        expect(refusal_note.empty() ? got.note.empty() : got.note == refusal_note,
               "refused: loader note is not the row's");
      } else {
        expect(kept(got.loaded, value), "refused: loader did not keep it");
        expect(got.note.empty() == (row.on_refused == LoadRefused::kKeep), "refused: loader note");
      }
      break;
    case KeyVerdict::kTooLong:
      expect(got.loaded == row.default_text, "too long: loader used it");
      expect(got.note.find("is too long") != std::string::npos, "too long: loader said nothing");
      expect(check_silent, "too long: -check spoke or failed");
      break;
  }
  return found;
}

template <typename Row>
Sides sides(const Row& row, const std::string& value) {
  constexpr bool host = std::is_same_v<Row, HostKeyRow>;
  std::string text =
      (host ? "interval:\"15\"\nfast_retry_interval:\"3\"\nhost:\"prefix.example\"\nport:\"80\"\n"
            : "server:\"s\"\nemail:\"e\"\npassword:\"\"\nto:\"t\"\nchat_id:\"1\"\ntoken:\"1:a\"\n"
              "webhook_url:\"https://hook.example/w\"\n") +
      std::string(row.name) + ":\"" + value + "\"\n";
  if constexpr (host) text += row.scope == KeyScope::kBlock ? "port:\"80\"\n" : "";
  if constexpr (host) text += std::string(row.name) == "send" ? "expect:\"+OK\"\n" : "";
  test::write_file(host ? kHostFileName : kNotifyFileName, text);
  test::write_file("config.txt", text);
  Sides got;
  auto table = std::make_unique<HostTable>();
  MonitorSettings settings;
  NotifySettings notify;
  FixedText<kConfigValueSize> shown;
  {
    test::OutputCapture capture;
    if constexpr (host) {
      EXPECT_TRUE(load_host_config(table.get(), &settings));
      row.show(settings, &table->hosts[table->host_count], &shown);
    } else {
      load_notify_config(&notify);
      row.show(notify, &shown);
    }
    got.note = capture.out();
  }
  got.loaded = shown.c_str();
  test::OutputCapture capture;
  got.check_result = check_config_file("config.txt", host ? kHostFile : kNotifyFile);
  got.check_says = about_line(capture.out(), host ? kHostLine : kNotifyLine);
  return got;
}

template <typename Rows>
void expect_rows_as_declared(const Rows& rows) {
  for (const auto& row : rows) {
    for (const std::string& value : value_pool()) {
      const Sides got = sides(row, value);
      EXPECT_EQ(mismatches(row, value, got), "")
          << row.name << " \"" << value.substr(0, 20) << "\": loaded \"" << got.loaded.substr(0, 20)
          << "\", note \"" << got.note << "\", -check \"" << got.check_says << "\"";
    }
  }
}

class ConfigKeysTest : public test::WorkDirTest {};

TEST_F(ConfigKeysTest, LoaderAndCheckDoWhatTheRowSays) {
  expect_rows_as_declared(host_key_rows());
  expect_rows_as_declared(notify_key_rows());
}

// The default of each row is what the loader leaves while the key is absent, and the known-key
// lists of -check are the rows: every row's key is known to its file and unknown to the other.
TEST_F(ConfigKeysTest, DefaultsAndKnownKeysAreTheRows) {
  const auto unknown_to_host_file = [](const char* name) {
    test::write_file("config.txt", std::string(name) + ":\"\"\n");
    test::OutputCapture capture;
    check_config_file("config.txt", kHostFile);
    return capture.out().find("unknown key") != std::string::npos;
  };
  test::write_file(kHostFileName, "host:\"h\"\n");
  auto table = std::make_unique<HostTable>();
  MonitorSettings settings;
  ASSERT_TRUE(load_host_config(table.get(), &settings));
  FixedText<kConfigValueSize> shown;
  for (const HostKeyRow& row : host_key_rows()) {
    EXPECT_EQ(find_notify_key(row.name), nullptr) << row.name;
    EXPECT_FALSE(unknown_to_host_file(row.name)) << row.name;
    if (row.scope == KeyScope::kBlock) continue;
    row.show(settings, &table->hosts[1], &shown);
    EXPECT_STREQ(shown.c_str(), row.default_text) << row.name;
  }
  test::write_file(kNotifyFileName, "");
  NotifySettings notify;
  load_notify_config(&notify);
  for (const NotifyKeyRow& row : notify_key_rows()) {
    EXPECT_TRUE(unknown_to_host_file(row.name)) << row.name;
    row.show(notify, &shown);
    EXPECT_STREQ(shown.c_str(), row.default_text) << row.name;
  }
}

}  // namespace
}  // namespace lw
