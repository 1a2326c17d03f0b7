// Monitoring cycles over a full table of 255 hosts on 127.0.0.1: the work
// time of a cycle with every host up, the same with `expect` against a
// server that sends its banner at once, the cycle time when some hosts time
// out against the sum over its batches of the slowest check, the peak
// resident memory (without and then with the status page) and the processor time used while waiting
// between cycles.

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <thread>
#include <vector>

#include "app/globals.h"
#include "app/monitor.h"
#include "config/host_config.h"
#include "config/notify_config.h"
#include "platform/platform.h"
#include "probe/worker.h"
#include "support/output.h"

namespace {

constexpr int kHosts = lw::kMaxHosts;
constexpr int kWorkers = 50;
constexpr int kUpCycles = 20;
// Peak resident memory allowed for the whole run: 3.9 MB.
constexpr size_t kPeakTargetBytes = 3900000;

// Duration of each host's last check, measured around the real worker.
uint64_t check_ms[lw::kHostTableSlots];

uint32_t timed_check(lw::WorkerSlot* slot, const lw::WorkerContext& context) {
  const uint64_t start = lw::platform::monotonic_ms();
  const uint32_t rc = lw::check_host_worker(slot, context);
  if (slot) check_ms[slot->host_index] = lw::platform::monotonic_ms() - start;
  return rc;
}

void drain(lw::platform::Listener* listener) {
  while (lw::platform::accept_and_close(listener, 0)) {
  }
}

// Answers every connection to `listener` with a banner at once, until `stop`.
void banner_server(lw::platform::Listener* listener, const std::atomic<bool>* stop) {
  static const char kBanner[] = "220 bench.example ready\r\n";
  while (!stop->load()) {
    intptr_t peer = -1;
    if (!lw::platform::accept_peer(listener, 50, &peer)) continue;
    lw::platform::peer_send(peer, kBanner, sizeof kBanner - 1);
    lw::platform::close_peer(peer);
  }
}

// The median time of kUpCycles cycles (after one to warm up) in which
// every check should pass; `drain_listener` (may be null) is drained after each.
uint64_t median_up_cycle(lw::MonitorRun& run, lw::platform::Listener* drain_listener) {
  std::vector<uint64_t> times;
  for (int cycle = 0; cycle <= kUpCycles; ++cycle) {
    const uint64_t start = lw::platform::monotonic_ms();
    const int failed = lw::run_cycle(run);
    const uint64_t took = lw::platform::monotonic_ms() - start;
    if (drain_listener) drain(drain_listener);
    if (failed) std::fprintf(stderr, "cycle %d: a check failed\n", cycle);
    if (cycle > 0) times.push_back(took);  // the first one warms up
  }
  std::sort(times.begin(), times.end());
  return times[times.size() / 2];
}

double mib(size_t bytes) { return static_cast<double>(bytes) / (1024.0 * 1024.0); }

}  // namespace

int main() {
  if (!lw::platform::socket_startup()) {
    std::fprintf(stderr, "no sockets\n");
    return 1;
  }
  lw::set_silent_mode(true);  // the cycle's own lines would swamp the figures

  lw::platform::Listener up;
  lw::platform::Listener dead;
  if (!lw::platform::listen_loopback(0, 1024, &up) || !lw::platform::listen_loopback(0, 1, &dead)) {
    std::fprintf(stderr, "no loopback listener\n");
    return 1;
  }
  // Fill the backlog of the listener that never accepts: later attempts to
  // reach it get no answer and run into their time-out.
  for (int i = 0; i < 3; ++i) lw::platform::tcp_connect("127.0.0.1", dead.port, 1, nullptr);

  // The program's own tables, as the running monitor uses them: a second
  // copy on the heap would count their memory twice.
  lw::HostTable* table = &lw::process_host_table();
  lw::MonitorSettings* settings = &lw::process_monitor_settings();
  lw::NotifySettings* notify = &lw::process_notify_settings();
  auto run = std::make_unique<lw::MonitorRun>();
  settings->workers = kWorkers;
  settings->interval.assign("2");
  table->host_count = kHosts;
  char port[16];
  std::snprintf(port, sizeof port, "%u", static_cast<unsigned>(up.port));
  for (int i = 1; i <= kHosts; ++i) {
    lw::HostEntry& host = table->hosts[i];
    lw::set_host_text(&host, "127.0.0.1");
    lw::set_port_text(&host, port);
    host.timeoutsec = 5;
    host.alertcount = 1000000;  // no alert (and no ping series) in the bench
    host.alertcount_text.assign("1000000");
  }
  run->table = table;
  run->settings = settings;
  run->notify = notify;
  run->check = timed_check;
  lw::resolve_all_hosts(table);

  // 1. Every host up.
  std::vector<uint64_t> times;
  for (int cycle = 0; cycle <= kUpCycles; ++cycle) {
    const uint64_t start = lw::platform::monotonic_ms();
    const int failed = lw::run_cycle(*run);
    const uint64_t took = lw::platform::monotonic_ms() - start;
    drain(&up);
    if (failed) std::fprintf(stderr, "cycle %d: a check failed\n", cycle);
    if (cycle > 0) times.push_back(took);  // the first one warms up
  }
  std::sort(times.begin(), times.end());
  std::printf(
      "all %d hosts up, workers %d: cycle work time median %llu ms, min %llu ms, "
      "max %llu ms over %d cycles (target < 50 ms)\n",
      kHosts, kWorkers, static_cast<unsigned long long>(times[times.size() / 2]),
      static_cast<unsigned long long>(times.front()), static_cast<unsigned long long>(times.back()),
      kUpCycles);

  // 2. Some hosts time out: one in the first batch (1 s), one in the second
  // (2 s) and one in the last (1 s).
  char dead_port[16];
  std::snprintf(dead_port, sizeof dead_port, "%u", static_cast<unsigned>(dead.port));
  const int slow_hosts[] = {10, 75, 251};
  const int slow_timeouts[] = {1, 2, 1};
  for (int k = 0; k < 3; ++k) {
    lw::HostEntry& host = table->hosts[slow_hosts[k]];
    lw::set_port_text(&host, dead_port);
    host.timeoutsec = slow_timeouts[k];
  }
  const uint64_t start = lw::platform::monotonic_ms();
  const int failed = lw::run_cycle(*run);
  const uint64_t took = lw::platform::monotonic_ms() - start;
  const size_t peak = lw::platform::peak_resident_bytes();
  drain(&up);
  uint64_t bound = 0;
  for (int first = 1; first <= kHosts; first += kWorkers) {
    uint64_t slowest = 0;
    for (int i = first; i < first + kWorkers && i <= kHosts; ++i) {
      slowest = std::max(slowest, check_ms[i]);
    }
    bound += slowest;
  }
  const double allowed = static_cast<double>(bound) * 1.05 + 20.0;
  std::printf(
      "3 hosts timing out (1 s, 2 s, 1 s in three batches): cycle %llu ms, sum of the "
      "slowest check per batch %llu ms, allowed %.0f ms: %s (failure mark %d)\n",
      static_cast<unsigned long long>(took), static_cast<unsigned long long>(bound), allowed,
      static_cast<double>(took) <= allowed ? "within" : "OVER", failed);
  std::printf(
      "peak resident memory after that cycle: %llu bytes, %.2f MB, %.2f MiB (target at most "
      "3.9 MB, %llu bytes): %s\n",
      static_cast<unsigned long long>(peak), static_cast<double>(peak) / 1e6, mib(peak),
      static_cast<unsigned long long>(kPeakTargetBytes),
      peak <= kPeakTargetBytes ? "within" : "OVER");

  // 2b. The same table with the status page on: its history and page on top.
  for (int k = 0; k < 3; ++k) lw::set_port_text(&table->hosts[slow_hosts[k]], port);
  constexpr char kPage[] = "cycle_bench_status.html";
  settings->status_html.assign(kPage);
  size_t page_bytes = 0;
  for (int cycle = 0; cycle < 3; ++cycle) {
    lw::run_cycle(*run);
    drain(&up);
  }
  if (std::FILE* page = std::fopen(kPage, "rb")) {
    std::fseek(page, 0, SEEK_END);
    page_bytes = static_cast<size_t>(std::ftell(page));
    std::fclose(page);
  }
  lw::platform::delete_file(kPage);
  settings->status_html.assign("");
  const size_t peak_page = lw::platform::peak_resident_bytes();
  std::printf(
      "peak resident memory with status_html on (3 more cycles, page of %zu bytes): %llu bytes, "
      "%.2f MB (off: %.2f MB): %s\n",
      page_bytes, static_cast<unsigned long long>(peak_page), static_cast<double>(peak_page) / 1e6,
      static_cast<double>(peak) / 1e6, peak_page <= kPeakTargetBytes ? "within" : "OVER");

  // 3. Processor time while waiting for the next cycle.
  const uint64_t cpu_before = lw::platform::process_cpu_ms();
  const uint64_t wall_before = lw::platform::monotonic_ms();
  lw::wait_for_next_cycle(*run, 0);
  const uint64_t cpu = lw::platform::process_cpu_ms() - cpu_before;
  const uint64_t wall = lw::platform::monotonic_ms() - wall_before;
  std::printf("idle wait of %llu ms between cycles: %llu ms processor time\n",
              static_cast<unsigned long long>(wall), static_cast<unsigned long long>(cpu));

  // 4. Every host up again, connect only and then with `expect` against a
  // server that sends its banner at once (after the memory figure, which
  // is that of the connect-only checks).
  lw::platform::Listener banner;
  if (!lw::platform::listen_loopback(0, 1024, &banner)) {
    std::fprintf(stderr, "no loopback listener\n");
    return 1;
  }
  std::atomic<bool> stop_banners{false};
  std::vector<std::thread> banner_threads;
  for (int i = 0; i < 4; ++i) banner_threads.emplace_back(banner_server, &banner, &stop_banners);
  char banner_port[16];
  std::snprintf(banner_port, sizeof banner_port, "%u", static_cast<unsigned>(banner.port));
  for (int i = 1; i <= kHosts; ++i) {
    lw::set_port_text(&table->hosts[i], port);
    table->hosts[i].timeoutsec = 5;
  }
  const uint64_t plain = median_up_cycle(*run, &up);
  for (int i = 1; i <= kHosts; ++i) {
    lw::set_port_text(&table->hosts[i], banner_port);
    table->hosts[i].expect.assign("220");
  }
  const uint64_t answered = median_up_cycle(*run, nullptr);
  stop_banners.store(true);
  for (std::thread& thread : banner_threads) thread.join();
  lw::platform::close_listener(&banner);
  std::printf(
      "all %d hosts up, workers %d: cycle median %llu ms connect only, %llu ms with expect "
      "\"220\" against a banner sent at once: ratio %.2f (target within 1.2)\n",
      kHosts, kWorkers, static_cast<unsigned long long>(plain),
      static_cast<unsigned long long>(answered),
      static_cast<double>(answered) / static_cast<double>(plain > 0 ? plain : 1));

  lw::platform::close_listener(&up);
  lw::platform::close_listener(&dead);
  return 0;
}
