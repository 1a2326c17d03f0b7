// Alert delivery under load: every host of a table on 127.0.0.1 goes DOWN in
// the first cycle. Run once without any channel and once with e-mail through
// the real curl to bench/slow_smtp.py (0.3 s per message) behind the delivery
// thread. Prints the two first-cycle times and their ratio, the time until
// the server has counted every mail, and the peak threads and memory.
//
// Then the storm: every host goes DOWN in one cycle and comes back in a
// later one, with group_alerts off and at 10. Mail goes through the real curl
// to the slow server; Telegram and Teams go to stand-ins that take 0.3 s per
// message and refuse a text over their limit. Prints, per storm, the messages
// each channel took and the time from the cycle's end to the last delivery.
//
//   delivery_bench [--hosts N] [--workers N] [--group 0|10]
//
// The DOWN alert's ping series goes to the test tool put first on PATH as
// `ping`, which answers at once.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/monitor.h"
#include "config/host_config.h"
#include "config/notify_config.h"
#include "notify/delivery.h"
#include "notify/digest.h"
#include "notify/email.h"
#include "notify/teams_card.h"
#include "platform/platform.h"
#include "support/output.h"

namespace fs = std::filesystem;

namespace {

// Bounds of every wait that can hang.
constexpr uint32_t kToolLimitMs = 60 * 1000;          // openssl, the python check
constexpr uint32_t kServerStartMs = 20 * 1000;        // until the server's port is known
constexpr uint64_t kAllMailBoundMs = 10 * 60 * 1000;  // until every mail has arrived
constexpr uint32_t kServerLimitMs = 12 * 60 * 1000;   // the server process as a whole
constexpr uint32_t kSampleMs = 50;                    // thread count sampling period
constexpr const char kPython[] = "/usr/bin/python3";

// One field ("Threads:", "VmHWM:") of /proc/self/status as a number; -1
// when the system does not tell.
long status_field(const char* name) {
  std::ifstream in("/proc/self/status");
  std::string line;
  const size_t n = std::strlen(name);
  while (std::getline(in, line)) {
    if (line.compare(0, n, name) == 0) return std::strtol(line.c_str() + n, nullptr, 10);
  }
  return -1;
}

// Samples the process's thread count from a side thread; keeps the peak.
class ThreadSampler {
 public:
  ThreadSampler() : thread_([this] { loop(); }) {}
  ~ThreadSampler() {
    done_ = true;
    thread_.join();
  }
  void reset() { peak_ = status_field("Threads:"); }
  long peak() const { return peak_; }

 private:
  void loop() {
    while (!done_) {
      const long now = status_field("Threads:");
      if (now > peak_) peak_ = now;
      std::this_thread::sleep_for(std::chrono::milliseconds(kSampleMs));
    }
  }
  std::atomic<bool> done_{false};
  std::atomic<long> peak_{-1};
  std::thread thread_;
};

int run_tool(std::initializer_list<const char*> args, uint32_t limit_ms) {
  const std::vector<const char*> argv(args);
  lw::platform::RunRequest request;
  request.argv = argv.data();
  request.discard_output = true;
  request.time_limit_ms = limit_ms;
  return lw::platform::run_process(request);
}

std::string read_text(const fs::path& path) {
  std::ifstream in(path);
  std::string text;
  std::getline(in, text);
  return text;
}

fs::path bench_dir(const char* name) {
  return fs::temp_directory_path() / (std::string("lw_delivery_bench_") +
                                      std::to_string(lw::platform::current_pid()) + "_" + name);
}

// A fresh folder under the temporary folder, emptied first.
fs::path fresh_dir(const char* name) {
  const fs::path dir = bench_dir(name);
  std::error_code ec;
  fs::remove_all(dir, ec);
  fs::create_directories(dir);
  return dir;
}

// Removes every folder of the bench on the way out, also after an early end.
struct RemoveDirsAtEnd {
  fs::path start = fs::current_path();
  ~RemoveDirsAtEnd() {
    std::error_code ec;
    fs::current_path(start, ec);
    for (const char* name : {"tools", "smtp", "run_a", "run_b", "run_c"})
      fs::remove_all(bench_dir(name), ec);
  }
};

// The monitoring run over `hosts` hosts on a closed port: each goes DOWN at
// its first check and raises its alert.
struct Bench {
  std::unique_ptr<lw::HostTable> table = std::make_unique<lw::HostTable>();
  std::unique_ptr<lw::MonitorSettings> settings = std::make_unique<lw::MonitorSettings>();
  std::unique_ptr<lw::NotifySettings> notify = std::make_unique<lw::NotifySettings>();
  std::unique_ptr<lw::MonitorRun> run = std::make_unique<lw::MonitorRun>();

  Bench(int hosts, int workers) {
    settings->workers = workers;
    table->host_count = hosts;
    for (int i = 1; i <= hosts; ++i) {
      lw::HostEntry& host = table->hosts[i];
      lw::set_host_text(&host, "127.0.0.1");
      lw::set_port_text(&host, "1");  // nothing listens: refused at once
      host.timeoutsec = 2;
      host.alertcount = 1;
      host.alertcount_text.assign("1");
    }
    run->table = table.get();
    run->settings = settings.get();
    run->notify = notify.get();
    lw::resolve_all_hosts(table.get());
  }

  uint64_t first_cycle_ms() {
    const uint64_t start = lw::platform::monotonic_ms();
    lw::run_cycle(*run);
    return lw::platform::monotonic_ms() - start;
  }
};

// Sends of the storm runs: mail for real, the chats to stand-ins.
struct StormSends {
  std::atomic<int> taken[3] = {0, 0, 0};
  std::atomic<int> refused{0};
  std::atomic<int> in_flight{0};
  std::atomic<uint64_t> last_ms{0};

  static void send(void* context, lw::Channel channel, const lw::NotifySettings& settings,
                   const lw::QueuedMessage& message, lw::SendOutcome* outcome) {
    auto* self = static_cast<StormSends*>(context);
    ++self->in_flight;
    outcome->attempted = true;
    if (channel == lw::Channel::kEmail) {
      lw::send_mail_message(settings, settings.to.c_str(), message.subject.c_str(),
                            message.body.c_str(), true, outcome);
    } else {
      lw::platform::sleep_ms(300);
      bool fits = message.chat_text.size() <= lw::kTelegramMaxTextBytes;
      if (channel == lw::Channel::kTeams) {
        static thread_local std::unique_ptr<char[]> card;
        if (!card) card = std::make_unique<char[]>(lw::kTeamsCardBufferSize);
        bool cut = false;
        lw::build_teams_card(message.subject.c_str(), message.card_text().c_str(), card.get(),
                             lw::kTeamsCardBufferSize, &cut);
        fits = !cut;
      }
      outcome->delivered = fits;
      if (!fits) ++self->refused;
    }
    if (outcome->delivered) ++self->taken[static_cast<int>(channel)];
    self->last_ms = lw::platform::monotonic_ms();
    --self->in_flight;
  }
};

// Waits until `delivery` has nothing queued, pending or in flight for a
// while; false when that takes longer than kAllMailBoundMs.
bool wait_delivered(const lw::Delivery& delivery, const StormSends& sends) {
  int quiet = 0;
  for (uint64_t waited = 0; waited < kAllMailBoundMs; waited += 100) {
    const bool idle = delivery.queued() == 0 && sends.in_flight == 0 &&
                      delivery.pending(lw::Channel::kEmail) == 0 &&
                      delivery.pending(lw::Channel::kTelegram) == 0 &&
                      delivery.pending(lw::Channel::kTeams) == 0;
    quiet = idle ? quiet + 1 : 0;
    if (quiet >= 10) return true;
    lw::platform::sleep_ms(100);
  }
  return false;
}

// The slow SMTP server's own certificate, which the mail sends trust.
std::string bench_cacert;

// One storm run: every host DOWN in the first cycle, every host back in the
// second. Returns false when the deliveries did not end in time.
bool storm(int hosts, int workers, int group, int smtp_port, uint16_t open_port) {
  Bench bench(hosts, workers);
  bench.settings->group_alerts = group;
  lw::NotifySettings& s = *bench.notify;
  s.server.format("smtp://127.0.0.1:%d", smtp_port);
  s.cacert.assign(bench_cacert.c_str());
  s.email.assign("monitor@example.com");
  s.password.assign("secret");
  s.to.assign("ops@example.com");
  s.email_enabled = 1;
  s.token.assign("123:bench");
  s.chat_id.assign("-100");
  s.telegram_enabled = 1;
  s.teams_webhook.assign("https://127.0.0.1:9/hook");
  s.teams_enabled = 1;
  StormSends sends;
  lw::Delivery delivery(bench.notify.get());
  delivery.set_send_for_testing(StormSends::send, &sends);
  if (!delivery.start()) return false;
  bench.run->delivery = &delivery;
  for (const char* phase : {"DOWN", "RECOVERY"}) {
    int before[3];
    for (int c = 0; c < 3; ++c) before[c] = sends.taken[c];
    lw::run_cycle(*bench.run);
    const uint64_t cycle_end = lw::platform::monotonic_ms();
    if (!wait_delivered(delivery, sends)) return false;
    const uint64_t last = sends.last_ms;
    std::printf(
        "group_alerts %2d, %-8s storm: mail %d, Telegram %d, Teams %d messages; last "
        "delivered %.1f s after the cycle's end\n",
        group, phase, sends.taken[0] - before[0], sends.taken[1] - before[1],
        sends.taken[2] - before[2],
        last > cycle_end ? static_cast<double>(last - cycle_end) / 1000.0 : 0.0);
    char open_text[16];
    std::snprintf(open_text, sizeof open_text, "%u", open_port);
    for (int i = 1; i <= hosts; ++i) lw::set_port_text(&bench.table->hosts[i], open_text);
  }
  if (sends.refused > 0)
    std::printf("  %d messages over a channel's limit\n", sends.refused.load());
  delivery.stop();
  return sends.refused == 0;
}

}  // namespace

int main(int argc, char** argv) {
  int hosts = lw::kMaxHosts;
  int workers = 50;
  int only_group = -1;  // the storm with this group_alerts only
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--hosts") == 0) hosts = std::atoi(argv[i + 1]);
    if (std::strcmp(argv[i], "--workers") == 0) workers = std::atoi(argv[i + 1]);
    if (std::strcmp(argv[i], "--group") == 0) only_group = std::atoi(argv[i + 1]);
  }
  if (hosts < 1 || hosts > lw::kMaxHosts || workers < 1 || (argc % 2) == 0) {
    std::fprintf(stderr, "usage: delivery_bench [--hosts 1..%d] [--workers N] [--group 0|10]\n",
                 lw::kMaxHosts);
    return 2;
  }
  if (!lw::platform::socket_startup()) {
    std::fprintf(stderr, "no sockets\n");
    return 1;
  }
  lw::set_silent_mode(true);  // the cycle's own lines would swamp the figures
  const RemoveDirsAtEnd remove_dirs_at_end;

  char self[4096];
  if (!lw::platform::own_executable_path(self, sizeof self)) {
    std::fprintf(stderr, "own path unknown\n");
    return 1;
  }
  const fs::path tools = fresh_dir("tools");
  const fs::path server_dir = fresh_dir("smtp");
  fs::copy_file(
      fs::path(self).parent_path() / (std::string("lw_testtool") + lw::platform::kExecutableSuffix),
      tools / (std::string("ping") + lw::platform::kExecutableSuffix));
  const char* path = std::getenv("PATH");
  lw::platform::set_env(
      "PATH", (tools.string() + lw::platform::kPathListSeparator + (path ? path : "")).c_str());
  lw::platform::set_env("LW_FAKE_PING_OUTPUT", "Reply from 127.0.0.1: TTL=64");

  if (run_tool({kPython, "-c", "import aiosmtpd", nullptr}, kToolLimitMs) != 0) {
    std::fprintf(stderr, "python3 with aiosmtpd missing\n");
    return 1;
  }
  const std::string cert = (server_dir / "cert.pem").string();
  const std::string key = (server_dir / "key.pem").string();
  if (run_tool({"openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key.c_str(),
                "-out", cert.c_str(), "-days", "1", "-subj", "/CN=127.0.0.1", "-addext",
                "subjectAltName=IP:127.0.0.1", nullptr},
               kToolLimitMs) != 0) {
    std::fprintf(stderr, "openssl could not make a certificate\n");
    return 1;
  }
  bench_cacert = cert;

  const std::string script = (fs::path(__FILE__).parent_path() / "slow_smtp.py").string();
  const std::string server_dir_text = server_dir.string();
  std::thread server([&] {
    run_tool({kPython, script.c_str(), server_dir_text.c_str(), cert.c_str(), key.c_str(), nullptr},
             kServerLimitMs);
  });
  int port = 0;
  for (uint64_t waited = 0; waited < kServerStartMs && port == 0; waited += 100) {
    lw::platform::sleep_ms(100);
    port = std::atoi(read_text(server_dir / "port").c_str());
  }

  ThreadSampler sampler;
  int rc = 0;
  if (port == 0) {
    std::fprintf(stderr, "the mail server did not start\n");
    rc = 1;
  } else {
    // (a) No channel: the alerts only log.
    fs::current_path(fresh_dir("run_a"));
    sampler.reset();
    const uint64_t plain_ms = Bench(hosts, workers).first_cycle_ms();
    const long plain_threads = sampler.peak();

    // (b) E-mail behind the delivery thread.
    fs::current_path(fresh_dir("run_b"));
    sampler.reset();
    Bench bench(hosts, workers);
    lw::NotifySettings& s = *bench.notify;
    s.server.format("smtp://127.0.0.1:%d", port);
    s.cacert.assign(bench_cacert.c_str());
    s.email.assign("monitor@example.com");
    s.password.assign("secret");
    s.to.assign("ops@example.com");
    s.email_enabled = 1;
    lw::Delivery delivery(bench.notify.get());
    if (!delivery.start())
      std::fprintf(stderr, "no delivery thread: sent by the workers\n");
    else
      bench.run->delivery = &delivery;
    const uint64_t start = lw::platform::monotonic_ms();
    lw::run_cycle(*bench.run);
    const uint64_t mail_ms = lw::platform::monotonic_ms() - start;
    int count = 0;
    uint64_t last_ms = mail_ms;
    while (count < hosts && last_ms < kAllMailBoundMs) {
      lw::platform::sleep_ms(100);
      count = std::atoi(read_text(server_dir / "count").c_str());
      last_ms = lw::platform::monotonic_ms() - start;
    }
    delivery.stop();
    const long mail_threads = sampler.peak();
    const long hwm_kib = status_field("VmHWM:");

    std::printf("hosts %d, workers %d, every host DOWN in the first cycle\n", hosts, workers);
    std::printf("first cycle, no channel:          %llu ms\n",
                static_cast<unsigned long long>(plain_ms));
    std::printf("first cycle, e-mail via delivery: %llu ms\n",
                static_cast<unsigned long long>(mail_ms));
    std::printf("ratio e-mail / no channel: %.3f (target 0.9 .. 1.1)\n",
                plain_ms ? static_cast<double>(mail_ms) / static_cast<double>(plain_ms) : 0.0);
    if (count >= hosts) {
      std::printf("last of %d mails counted by the server %llu ms after the cycle's start\n", hosts,
                  static_cast<unsigned long long>(last_ms));
    } else {
      std::printf("only %d of %d mails arrived within %llu ms\n", count, hosts,
                  static_cast<unsigned long long>(kAllMailBoundMs));
      rc = 1;
    }
    if (plain_threads < 0 || hwm_kib < 0) {
      std::printf("peak threads: n/a\npeak memory: n/a\n");
    } else {
      std::printf("peak threads: %ld (no channel), %ld (e-mail)\n", plain_threads, mail_threads);
      std::printf("peak memory (VmHWM): %.2f MiB\n", static_cast<double>(hwm_kib) / 1024.0);
    }

    // (c) The storm, with group_alerts off and on.
    fs::current_path(fresh_dir("run_c"));
    lw::platform::Listener open;
    if (!lw::platform::listen_loopback(0, 256, &open)) {
      std::fprintf(stderr, "no listener for the recovery\n");
      rc = 1;
    } else {
      // The recoveries' connections are taken off the listener's queue, so
      // that a full queue never fails a check.
      std::atomic<bool> storms_done{false};
      std::thread drain([&] {
        while (!storms_done) lw::platform::accept_and_close(&open, 100);
      });
      for (int group : {0, 10}) {
        if (only_group >= 0 && group != only_group) continue;
        if (!storm(hosts, workers, group, port, open.port)) rc = 1;
      }
      storms_done = true;
      drain.join();
      lw::platform::close_listener(&open);
    }
  }

  std::ofstream(server_dir / "stop").put('\n');
  server.join();
  return rc;
}
