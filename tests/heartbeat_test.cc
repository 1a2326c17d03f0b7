#include "notify/heartbeat.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "platform/platform.h"
#include "support/command_recorder.h"
#include "support/test_env.h"

namespace lw {
namespace {

class HeartbeatTest : public test::WorkDirTest {};

// At most one request a minute, the address only on standard input, a
// failure logged once per outage, and a slow service never holds the cycle.
TEST_F(HeartbeatTest, OncePerMinuteSecretOnStdinFailureLoggedOnce) {
  test::CommandRecorder recorder;
  NotifySettings settings;
  settings.heartbeat_url.assign("https://hc.example/ping/5ecret");
  Heartbeat heartbeat;
  const struct {
    int64_t now;
    const char* codes;
    size_t requests;  // in all, after this cycle
  } kCycles[] = {{1000, "200", 1}, {1030, "200", 1}, {1059, "200", 1}, {1060, "500", 2},
                 {1120, "500", 3}, {1180, "200", 4}, {1240, "200", 5}};
  for (const auto& cycle : kCycles) {
    recorder.set_answer(cycle.codes, "");
    heartbeat.after_cycle(settings, cycle.now);
    heartbeat.wait();
    EXPECT_EQ(recorder.commands().size(), cycle.requests) << "at " << cycle.now;
  }
  const test::RecordedCommand first = recorder.commands().front();
  EXPECT_EQ(std::find(first.argv.begin(), first.argv.end(), "--max-time")[1], kHeartbeatMaxTime);
  for (const std::string& arg : first.argv) EXPECT_EQ(arg.find("5ecret"), std::string::npos);
  EXPECT_EQ(first.input.value_or(""), "url = \"https://hc.example/ping/5ecret\"\n");
  EXPECT_EQ(test::log_messages(),
            (std::vector<std::string>{
                "Heartbeat failed: HTTP 500 (logged again only after one got through)",
                "Heartbeat delivered again"}));

  recorder.set_delay_ms(1500);
  settings.cacert.assign("ca.pem");  // the channels' TLS and proxy settings hold here too
  settings.proxy.assign("http://p:3128");
  const uint64_t begin = platform::monotonic_ms();
  heartbeat.after_cycle(settings, 2000);
  EXPECT_LT(platform::monotonic_ms() - begin, 1000u) << "the cycle waited for the request";
  heartbeat.wait();
  ASSERT_EQ(recorder.commands().size(), 6u);
  const test::RecordedCommand last = recorder.commands().back();
  EXPECT_EQ(std::find(last.argv.begin(), last.argv.end(), "--cacert")[1], "ca.pem");
  EXPECT_EQ(last.input.value_or(""),
            "url = \"https://hc.example/ping/5ecret\"\nproxy = \"http://p:3128\"\n");
}

}  // namespace
}  // namespace lw
