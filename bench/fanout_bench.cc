// The black-hole cycle: 255 hosts on 127.0.0.1 of which 25 never answer
// (a listener whose backlog is full), timeoutsec 3, workers 50. Prints the
// cycle time in batches (rolling_workers absent) and rolling
// (rolling_workers "1"), each against one time-out; the target with
// rolling_workers is at most 1.5 times one time-out.

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <memory>

#include "app/monitor.h"
#include "config/host_config.h"
#include "config/notify_config.h"
#include "platform/platform.h"
#include "support/output.h"

namespace {

constexpr int kHosts = lw::kMaxHosts;
constexpr int kWorkers = 50;
constexpr int kTimeoutSeconds = 3;
constexpr int kSilentEvery = 10;  // hosts 10, 20, ..., 250: 25 in the first five batches
constexpr int kRollingCycles = 3;
constexpr double kTarget = 1.5;

void drain(lw::platform::Listener* listener) {
  while (lw::platform::accept_and_close(listener, 0)) {
  }
}

// One cycle over `run`; its wall time in milliseconds.
uint64_t timed_cycle(lw::MonitorRun* run, lw::platform::Listener* up, int* failure_mark) {
  const uint64_t start = lw::platform::monotonic_ms();
  *failure_mark = lw::run_cycle(*run);
  const uint64_t took = lw::platform::monotonic_ms() - start;
  drain(up);
  return took;
}

}  // namespace

int main() {
  if (!lw::platform::socket_startup()) {
    std::fprintf(stderr, "no sockets\n");
    return 1;
  }
  lw::set_silent_mode(true);  // the cycle's own lines would swamp the figures

  lw::platform::Listener up;
  lw::platform::Listener silent;
  if (!lw::platform::listen_loopback(0, 1024, &up) ||
      !lw::platform::listen_loopback(0, 1, &silent)) {
    std::fprintf(stderr, "no loopback listener\n");
    return 1;
  }
  // Fill the backlog of the listener that never accepts: later attempts to
  // reach it are neither accepted nor refused and run into their time-out.
  for (int i = 0; i < 3; ++i) lw::platform::tcp_connect("127.0.0.1", silent.port, 1, nullptr);

  auto table = std::make_unique<lw::HostTable>();
  auto settings = std::make_unique<lw::MonitorSettings>();
  auto notify = std::make_unique<lw::NotifySettings>();
  auto run = std::make_unique<lw::MonitorRun>();
  settings->workers = kWorkers;
  table->host_count = kHosts;
  char up_port[16];
  char silent_port[16];
  std::snprintf(up_port, sizeof up_port, "%u", static_cast<unsigned>(up.port));
  std::snprintf(silent_port, sizeof silent_port, "%u", static_cast<unsigned>(silent.port));
  int silent_hosts = 0;
  for (int i = 1; i <= kHosts; ++i) {
    lw::HostEntry& host = table->hosts[i];
    const bool black_hole = i % kSilentEvery == 0 && silent_hosts < 25;
    silent_hosts += black_hole;
    lw::set_host_text(&host, "127.0.0.1");
    lw::set_port_text(&host, black_hole ? silent_port : up_port);
    host.timeoutsec = kTimeoutSeconds;
    host.alertcount = 1000000;  // no alert (and no ping series) in the bench
    host.alertcount_text.assign("1000000");
  }
  run->table = table.get();
  run->settings = settings.get();
  run->notify = notify.get();
  lw::resolve_all_hosts(table.get());

  const double timeout_ms = kTimeoutSeconds * 1000.0;
  std::printf("black hole: %d hosts on 127.0.0.1, %d never answer, timeoutsec %d, workers %d\n",
              kHosts, silent_hosts, kTimeoutSeconds, kWorkers);

  int mark = 0;
  settings->rolling_workers = 0;
  const uint64_t batches = timed_cycle(run.get(), &up, &mark);
  std::printf(
      "  batches (rolling_workers absent): cycle %llu ms = %.2f x one time-out (failure "
      "mark %d)\n",
      static_cast<unsigned long long>(batches), batches / timeout_ms, mark);

  settings->rolling_workers = 1;
  uint64_t slowest = 0;
  for (int cycle = 1; cycle <= kRollingCycles; ++cycle) {
    const uint64_t rolling = timed_cycle(run.get(), &up, &mark);
    slowest = std::max(slowest, rolling);
    std::printf(
        "  rolling (rolling_workers \"1\"), cycle %d: %llu ms = %.2f x one time-out "
        "(failure mark %d)\n",
        cycle, static_cast<unsigned long long>(rolling), rolling / timeout_ms, mark);
  }
  const double ratio = slowest / timeout_ms;
  std::printf(
      "  rolling, slowest of %d: %.2f x one time-out (target <= %.1f x): %s; batches "
      "take %.1f times as long\n",
      kRollingCycles, ratio, kTarget, ratio <= kTarget ? "within" : "OVER",
      slowest > 0 ? static_cast<double>(batches) / static_cast<double>(slowest) : 0.0);

  lw::platform::close_listener(&up);
  lw::platform::close_listener(&silent);
  return 0;
}
