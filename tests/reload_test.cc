// "-reload" in the process and against a real instance (SIGHUP on POSIX, an event on Windows).

#include "app/reload.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "app/instance.h"
#include "app/monitor.h"
#include "config/host_config.h"
#include "config/notify_config.h"
#include "platform/platform.h"
#include "support/output.h"
#include "support/test_env.h"

namespace lw {
namespace {

using Result = test::ProgramResult;
using test::run_program;

const char kNotifyFile[] =
    "server : \"smtp://127.0.0.1:9\"\nemail : \"a@b.c\"\npassword : \"x\"\nto : \"a@b.c\"\n";
const std::string kWorkersZero = "workers : \"0\"\n";

std::string host_file(const char* interval, const std::vector<uint16_t>& ports) {
  std::string text = std::string("interval : \"") + interval +
                     "\"\nfast_retry_interval : \"1\"\nstatus_file : \"1\"\n";
  for (const uint16_t port : ports) {
    text += "host : \"127.0.0.1\"\nport : \"" + std::to_string(port) +
            "\"\nalertcount : \"1\"\ntimeoutsec : \"1\"\n";
  }
  return text;
}

// The cycle count of the status file; 0 before the first.
int cycles() {
  const std::string status = test::read_file("linkwatch_status.txt");
  const size_t at = status.find(", cycle ");
  return at == std::string::npos ? 0 : std::atoi(status.c_str() + at + 8);
}

bool log_shows(const std::string& text) {
  return test::eventually(
      [&] { return test::read_file(kLogFileName).find(text) != std::string::npos; });
}

// What a reload reports and which state it keeps. Before it every host's fail_count is set to its
// port, so a kept state shows as fail_count == port and a fresh one (the new port 4) as 0.
TEST(ReloadRunTest, ChangesAreToldAndStayingServicesKeepTheirState) {
  const auto block = [](int port, const char* extra = "") {
    return "host : \"127.0.0.1\"\nport : \"" + std::to_string(port) + "\"\n" + extra;
  };
  const std::string globals = "interval : \"5\"\nfast_retry_interval : \"1\"\n";
  const std::string before =
      globals + block(1, "description : \"one\"\n") + block(2) + block(3, "timeoutsec : \"4\"\n");
  const std::string notify = kNotifyFile;
  const struct {
    std::string hosts, notify;
    const char* told;  // added|removed|changed; null: refused
  } cases[] = {
      {before, notify, "||"},
      {"interval : \"9\"\nfast_retry_interval : \"1\"\n" + block(4) + block(3) +
           block(1, "description : \"uno\"\n"),
       notify, "127.0.0.1:4|127.0.0.1:2|interval, 127.0.0.1:1 description, 127.0.0.1:3 timeoutsec"},
      {before,
       notify + "to : \"b@c.d\"\nretry_minutes : \"30\"\nwebhook_url : \"https://a.example/1\"\n"
                "webhook_url : \"https://a.example/2\"\nwebhook_method : \"PUT\"\n",
       "||to, retry_minutes, webhook1 webhook_url, webhook2 webhook_url, webhook2 webhook_method"},
      {before + kWorkersZero, notify, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.hosts + c.notify);
    test::ScopedWorkDir dir;
    test::write_file(kHostFileName, before);
    test::write_file(kNotifyFileName, kNotifyFile);
    auto table = std::make_unique<HostTable>();
    MonitorSettings settings;
    NotifySettings notified;
    auto run = std::make_unique<MonitorRun>();
    run->table = table.get(), run->settings = &settings, run->notify = &notified;
    ASSERT_TRUE(load_host_config(table.get(), &settings));
    load_notify_config(&notified);
    SettingLines loaded = read_setting_lines();
    for (int i = 1; i <= table->host_count; ++i) {
      table->hosts[i].fail_count = table->hosts[i].port_number;
    }
    test::write_file(kHostFileName, c.hosts);
    test::write_file(kNotifyFileName, c.notify);
    ReloadChanges told;
    set_silent_mode(true);
    EXPECT_EQ(reload_run(*run, &loaded, &told), c.told != nullptr);
    set_silent_mode(false);
    EXPECT_EQ(told.added + "|" + told.removed + "|" + told.changed, c.told ? c.told : "||");
    EXPECT_EQ(table->host_count, 3);
    for (int i = 1; i <= table->host_count; ++i) {
      const HostEntry& host = table->hosts[i];
      EXPECT_EQ(host.fail_count, host.port_number == 4 ? 0 : host.port_number) << host.port.c_str();
    }
    EXPECT_EQ(normal_wait_seconds(settings), c.hosts.find("interval : \"9\"") == 0 ? 9 : 5);
    EXPECT_STREQ(notified.to.c_str(),
                 c.notify.find("b@c.d") != std::string::npos ? "b@c.d" : "a@b.c");
  }
}

class ReloadInstanceTest : public test::WorkDirTest {
 protected:
  void TearDown() override {
    if (pid_ != 0 && platform::pid_is_alive(pid_)) platform::terminate_process(pid_);
  }
  uint32_t pid_ = 0;
};

// "-check" fails on a fault in either file (what it says of each key: CheckTest and
// ConfigKeysTest). Without an instance "-reload" starts none. A valid change is taken before the
// next cycle: the staying service (now in another slot) keeps its DOWN state and sends no second
// DOWN, the new one is checked, the removed one not, and "-reload" prints what changed. An invalid
// change is refused, by "-reload" before it signals and by the instance when asked anyway.
TEST_F(ReloadInstanceTest, AValidChangeKeepsStateAndAnInvalidOneIsRefused) {
  test::ScopedFakeTools tools(work_dir(), {"curl", "ping"},
                              {{"LW_FAKE_PING_OUTPUT", "Reply from 127.0.0.1: TTL=64"}});
  platform::Listener gone, kept, added;
  ASSERT_TRUE(platform::socket_startup() && platform::listen_loopback(0, 1, &gone));
  ASSERT_TRUE(platform::listen_loopback(0, 16, &kept) && platform::listen_loopback(0, 16, &added));
  const uint16_t refused = gone.port;
  platform::close_listener(&gone);
  test::write_file(kHostFileName, host_file("1", {refused, kept.port}));
  test::write_file(kNotifyFileName, kNotifyFile + std::string("heartbeat_url:\"http://h\"\n"));
  EXPECT_EQ(run_program({"-check"}).first, 1) << "the notification file's fault";
  test::write_file(kNotifyFileName, kNotifyFile);
  EXPECT_EQ(run_program({"-check"}).first, 0);
  EXPECT_EQ(run_program({"-reload"}), Result(1, "linkwatch not running\n"));
  EXPECT_EQ(read_pid_file(), 0u) << "a run was started";
  ASSERT_EQ(run_program({"-start"}).first, 0);
  pid_ = read_pid_file();
  ASSERT_TRUE(log_shows("Alert for " + std::to_string(refused) + ". 127.0.0.1 "))
      << test::read_file(kLogFileName);
  const auto checked_after = [](int cycle, uint16_t port, bool listed) {
    ASSERT_TRUE(test::eventually([&] { return cycles() >= cycle + 2; }));
    const std::string status = test::read_file("linkwatch_status.txt");
    EXPECT_EQ(status.find(std::to_string(port)) != std::string::npos, listed) << status;
    EXPECT_NE(status.find("DOWN since"), std::string::npos) << status;
  };

  test::write_file(kHostFileName, host_file("2", {added.port, refused}));
  EXPECT_EQ(run_program({"-reload"}),
            Result(0, "reload: services added: 127.0.0.1:" + std::to_string(added.port) +
                          "\nreload: services removed: 127.0.0.1:" + std::to_string(kept.port) +
                          "\nreload: settings changed: interval\nreload applied\n"));
  checked_after(cycles(), kept.port, false);
  checked_after(0, added.port, true);
  EXPECT_EQ(test::count_of(test::read_file(kLogFileName), "Alert for "), 1u)
      << "the kept DOWN state was lost";

  test::write_file(kHostFileName, host_file("2", {added.port, refused}) + kWorkersZero);
  EXPECT_EQ(run_program({"-check"}).first, 1) << "the host file's fault";
  EXPECT_EQ(run_program({"-reload"}),
            Result(1,
                   "linkwatch_host.txt: Line 12: workers must be greater than 0\n"
                   "Reload refused: the files do not pass -check; nothing was sent\n"));
  EXPECT_EQ(test::count_of(test::read_file(kLogFileName), "reload"), 4u)
      << "the instance was asked";
  ASSERT_TRUE(platform::request_process_reload(pid_));
  EXPECT_TRUE(
      log_shows("reload check: linkwatch_host.txt: Line 12: workers must be greater than 0"));
  EXPECT_TRUE(
      log_shows("reload refused: the files do not pass -check; the configuration in use stays"));

  EXPECT_EQ(run_program({"-stop"}), Result(0, "linkwatch stopped\n"));
  const std::string log = test::read_file(kLogFileName);
  EXPECT_EQ(test::count_of(log, "Alert for "), 1u) << log;
  platform::close_listener(&kept);
  platform::close_listener(&added);
}

}  // namespace
}  // namespace lw
