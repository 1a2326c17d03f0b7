#include "notify/dispatch.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <thread>

#include "support/capture.h"
#include "support/command_recorder.h"

namespace lw {
namespace {

using test::RecordedCommand;

NotifyMessage message(int32_t kind, const std::string& tag) {
  NotifyMessage m;
  m.kind = kind;
  m.subject.format("Subject %s", tag.c_str());
  m.body.format("Body %s\nnext line", tag.c_str());
  m.chat_text.format("Chat %s", tag.c_str());
  return m;
}

std::string channel_of(const RecordedCommand& c) {
  return c.mail_file ? "mail to " + c.argv.back() : c.card_file ? "teams" : "telegram";
}

// True when the run carries alert `tag`: its chat text, or its subject and then its body.
constexpr size_t npos = std::string::npos;
bool carries(const RecordedCommand& c, const std::string& tag) {
  const std::string channel = channel_of(c);
  if (channel == "telegram") return c.input.value_or("").find("text=Chat%20" + tag) != npos;
  const std::string text = (channel == "teams" ? c.card_file : c.mail_file).value_or("");
  const size_t subject = text.find("Subject " + tag), body = text.find("Body " + tag);
  return subject < body && body != npos;
}

class DispatchTest : public test::WorkDirTest {};

// Two alerts at once, each run reading its file late: each upload carries its own text.
TEST_F(DispatchTest, SimultaneousAlertsEachKeepTheirOwnText) {
  test::CommandRecorder recorder;
  test::OutputCapture capture;
  recorder.set_delay_ms(50);
  auto raise = [](const char* tag) {
    dispatch_message(message(kDownAlert, tag), test::all_channels());
  };
  std::thread first(raise, "first"), second(raise, "second");
  first.join();
  second.join();
  std::multiset<std::string> seen;
  for (const RecordedCommand& c : recorder.commands()) {
    for (const char* tag : {"first", "second"}) {
      if (carries(c, tag)) seen.insert(channel_of(c) + " " + tag);
    }
  }
  EXPECT_EQ(seen, (std::multiset<std::string>{"mail to a@x.org first", "mail to a@x.org second",
                                              "telegram first", "telegram second", "teams first",
                                              "teams second"}));
}

}  // namespace
}  // namespace lw
