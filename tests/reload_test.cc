// "-reload" against a real instance (SIGHUP on POSIX, the reload event on
// Windows), and its refusals.

#include "app/reload.h"

#include <gtest/gtest.h>

#include <cstdlib>
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

using Result = test::ProgramResult;  // exit code, joined output
using test::run_program;

// Longest wait for an instance to log something: the random start delay
// (up to 9 s) and a margin.
constexpr int kLogWaitMs = 20000;

const char kNotifyFile[] =
    "server : \"smtp://127.0.0.1:9\"\nemail : \"a@b.c\"\npassword : \"x\"\nto : \"a@b.c\"\n";

std::string service(uint16_t port) {
  return "host : \"127.0.0.1\"\nport : \"" + std::to_string(port) +
         "\"\nalertcount : \"1\"\ntimeoutsec : \"1\"\n";
}

std::string host_file(const char* interval, const std::vector<uint16_t>& ports) {
  std::string text = std::string("interval : \"") + interval +
                     "\"\nfast_retry_interval : \"1\"\nstatus_file : \"1\"\n";
  for (uint16_t port : ports) text += service(port);
  return text;
}

size_t count_of(const std::string& text, const std::string& part) {
  size_t n = 0;
  for (size_t at = 0; (at = text.find(part, at)) != std::string::npos; ++at) ++n;
  return n;
}

// The cycle count of the status file; 0 before the first.
int cycles() {
  const std::string status = test::read_file("linkwatch_status.txt");
  const size_t at = status.find(", cycle ");
  return at == std::string::npos ? 0 : std::atoi(status.c_str() + at + 8);
}

// Waits (bounded) until `done` holds.
template <typename Done>
bool eventually(Done done, int ms = kLogWaitMs) {
  for (int waited = 0; waited < ms && !done(); waited += 50) platform::sleep_ms(50);
  return done();
}

bool log_shows(const std::string& text) {
  return eventually([&] { return test::read_file(kLogFileName).find(text) != std::string::npos; });
}

// No instance: refused before anything is sent, and no run is started.
TEST(ReloadCommandTest, RefusalsWithoutAnInstance) {
  struct Case {
    const char* host_file;
    std::vector<std::string> printed;
  };
  const std::vector<Case> cases = {
      {"interval : \"1\"\nfast_retry_interval : \"1\"\nworkers : \"0\"\nhost : \"a\"\nport : "
       "\"1\"\n",
       {"linkwatch_host.txt: Line 3: workers must be greater than 0\n",
        "Reload refused: the files do not pass -check; nothing was sent\n"}},
      {"interval : \"1\"\nfast_retry_interval : \"1\"\nhost : \"a\"\nport : \"1\"\n",
       {"linkwatch not running\n"}},
  };
  for (const Case& c : cases) {
    test::ScopedWorkDir dir;
    test::write_file("linkwatch_host.txt", c.host_file);
    test::write_file("linkwatch_email.txt", kNotifyFile);
    const Result result = run_program({"-reload"});
    EXPECT_EQ(result.first, 1) << c.host_file;
    for (const std::string& line : c.printed) {
      EXPECT_NE(result.second.find(line), std::string::npos) << line << " in\n" << result.second;
    }
    EXPECT_EQ(read_pid_file(), 0u) << "a run was started";
    EXPECT_EQ(test::read_file(kLogFileName).find("linkwatch is started"), std::string::npos);
  }
}

// In the process: what a reload reports and which state it keeps. Before
// the reload every host's fail_count is set to its port, so a kept state
// shows as fail_count == port and a fresh one as 0.
TEST(ReloadRunTest, ChangesAreToldAndStayingServicesKeepTheirState) {
  struct Case {
    const char* name;
    std::string host_after;
    std::string notify_after;
    bool taken;
    ReloadChanges told;
  };
  const std::string globals = "interval : \"5\"\nfast_retry_interval : \"1\"\n";
  const auto block = [](int port, const char* extra = "") {
    return "host : \"127.0.0.1\"\nport : \"" + std::to_string(port) + "\"\n" + extra;
  };
  const std::string host_before =
      globals + block(1, "description : \"one\"\n") + block(2) + block(3, "timeoutsec : \"4\"\n");
  const std::vector<Case> cases = {
      {"nothing", host_before, kNotifyFile, true, {}},
      {"services and settings",
       "interval : \"9\"\nfast_retry_interval : \"1\"\n" + block(4) + block(3) +
           block(1, "description : \"uno\"\n"),
       kNotifyFile,
       true,
       {"127.0.0.1:4", "127.0.0.1:2", "interval, 127.0.0.1:1 description, 127.0.0.1:3 timeoutsec"}},
      {"notification settings",
       host_before,
       std::string(kNotifyFile) + "to : \"b@c.d\"\nretry_minutes : \"30\"\n",
       true,
       {"", "", "to, retry_minutes"}},
      {"web hook blocks",
       host_before,
       std::string(kNotifyFile) + "webhook_url : \"https://a.example/1\"\n" +
           "webhook_url : \"https://a.example/2\"\nwebhook_method : \"PUT\"\n",
       true,
       {"", "", "webhook1 webhook_url, webhook2 webhook_url, webhook2 webhook_method"}},
      {"refused", host_before + "workers : \"0\"\n", kNotifyFile, false, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    test::ScopedWorkDir dir;
    test::write_file("linkwatch_host.txt", host_before);
    test::write_file("linkwatch_email.txt", kNotifyFile);
    auto run = std::make_unique<MonitorRun>();
    auto table = std::make_unique<HostTable>();
    MonitorSettings settings;
    NotifySettings notify;
    run->table = table.get();
    run->settings = &settings;
    run->notify = &notify;
    ASSERT_TRUE(load_host_config(table.get(), &settings));
    load_notify_config(&notify);
    SettingLines loaded = read_setting_lines();
    for (int i = 1; i <= table->host_count; ++i) {
      table->hosts[i].fail_count = table->hosts[i].port_number;
    }
    test::write_file("linkwatch_host.txt", c.host_after);
    test::write_file("linkwatch_email.txt", c.notify_after);
    ReloadChanges told;
    set_silent_mode(true);
    EXPECT_EQ(reload_run(*run, &loaded, &told), c.taken);
    set_silent_mode(false);
    EXPECT_EQ(told.added, c.told.added);
    EXPECT_EQ(told.removed, c.told.removed);
    EXPECT_EQ(told.changed, c.told.changed);
    for (int i = 1; i <= table->host_count; ++i) {
      const HostEntry& host = table->hosts[i];
      EXPECT_EQ(host.fail_count, host.port_number == 4 ? 0 : host.port_number) << host.port.c_str();
    }
    if (!c.taken) {
      EXPECT_EQ(table->host_count, 3);
      EXPECT_EQ(normal_wait_seconds(settings), 5);
    }
    if (c.notify_after.find("b@c.d") != std::string::npos) {
      EXPECT_STREQ(notify.to.c_str(), "b@c.d");
    }
  }
}

class ReloadInstanceTest : public test::WorkDirTest {
 protected:
  void TearDown() override {
    if (pid_ != 0 && platform::pid_is_alive(pid_)) platform::terminate_process(pid_);
  }
  uint32_t pid_ = 0;
};

// A valid change is taken before the next cycle: the staying service (now
// in another slot) keeps its DOWN state and sends no second DOWN, the new
// one is checked, the removed one is not, and "-reload" prints what
// changed. An invalid change is refused, by "-reload" before it signals and
// by the instance when it is asked anyway; the old hosts are still checked.
TEST_F(ReloadInstanceTest, AValidChangeKeepsStateAndAnInvalidOneIsRefused) {
  test::ScopedFakeTools tools(work_dir(), {"curl", "ping"},
                              {{"LW_FAKE_PING_OUTPUT", "Reply from 127.0.0.1: TTL=64"}});
  platform::Listener gone, kept, added;
  ASSERT_TRUE(platform::socket_startup() && platform::listen_loopback(0, 1, &gone));
  ASSERT_TRUE(platform::listen_loopback(0, 16, &kept) && platform::listen_loopback(0, 16, &added));
  const uint16_t refused = gone.port;
  platform::close_listener(&gone);
  test::write_file("linkwatch_host.txt", host_file("1", {refused, kept.port}));
  test::write_file("linkwatch_email.txt", kNotifyFile);
  ASSERT_EQ(run_program({"-start"}).first, 0);
  pid_ = read_pid_file();
  const std::string down = "Alert for " + std::to_string(refused) + ". 127.0.0.1 ";
  ASSERT_TRUE(log_shows(down)) << test::read_file(kLogFileName);

  // Valid: the refused service moves to slot 2 behind the new one.
  test::write_file("linkwatch_host.txt", host_file("2", {added.port, refused}));
  const Result applied = run_program({"-reload"});
  EXPECT_EQ(applied,
            Result(0, "reload: services added: 127.0.0.1:" + std::to_string(added.port) +
                          "\nreload: services removed: 127.0.0.1:" + std::to_string(kept.port) +
                          "\nreload: settings changed: interval\nreload applied\n"));
  const int at_reload = cycles();
  ASSERT_TRUE(eventually([&] { return cycles() >= at_reload + 2; }));
  std::string log = test::read_file(kLogFileName);
  EXPECT_EQ(count_of(log, "Alert for "), 1u) << "the kept DOWN state was lost:\n" << log;
  std::string status = test::read_file("linkwatch_status.txt");
  EXPECT_NE(status.find("DOWN since"), std::string::npos) << status;
  EXPECT_NE(status.find(std::to_string(added.port)), std::string::npos) << status;
  EXPECT_EQ(status.find(std::to_string(kept.port)), std::string::npos) << status;

  // Invalid: "-reload" refuses without a signal; the instance, asked
  // anyway, refuses too and logs the check's line.
  test::write_file("linkwatch_host.txt",
                   host_file("2", {added.port, refused}) + "workers : \"0\"\n");
  const Result refused_here = run_program({"-reload"});
  EXPECT_EQ(refused_here.first, 1);
  EXPECT_NE(refused_here.second.find("linkwatch_host.txt: Line 12: workers must be greater than 0"),
            std::string::npos)
      << refused_here.second;
  EXPECT_EQ(count_of(test::read_file(kLogFileName), "reload"), 4u) << "the instance was asked";
  ASSERT_TRUE(platform::request_process_reload(pid_));
  EXPECT_TRUE(
      log_shows("reload check: linkwatch_host.txt: Line 12: workers must be greater than 0"));
  EXPECT_TRUE(
      log_shows("reload refused: the files do not pass -check; the configuration in use stays"));
  const int at_refusal = cycles();
  ASSERT_TRUE(eventually([&] { return cycles() >= at_refusal + 2; }));
  status = test::read_file("linkwatch_status.txt");
  EXPECT_NE(status.find(std::to_string(added.port)), std::string::npos) << status;
  EXPECT_NE(status.find(std::to_string(refused)), std::string::npos) << status;

  EXPECT_EQ(run_program({"-stop"}), Result(0, "linkwatch stopped\n"));
  log = test::read_file(kLogFileName);
  EXPECT_EQ(count_of(log, "Alert for "), 1u) << log;
  EXPECT_NE(log.find("------ linkwatch is stopped: stop requested ------"), std::string::npos);
  platform::close_listener(&kept);
  platform::close_listener(&added);
}

}  // namespace
}  // namespace lw
