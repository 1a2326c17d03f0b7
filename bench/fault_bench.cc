// Alert delivery under messy faults. Ten services flap (DOWN, RECOVERY,
// DOWN, ...) and their alerts, composed as the monitor composes them and
// posted with real event times, go through lw::Delivery and the real curl to
// bench/slow_smtp.py on 127.0.0.1, which refuses a share of the messages at
// random with a temporary "451" at the end of DATA and journals every
// message it sees. Three runs:
//   (a) one try per message (no retry_minutes);
//   (b) retry_minutes "60";
//   (c) as (b), plus a Teams web hook on tests/e2e/receiver.py ("hang") that
//       takes every connection and never answers, so curl's own --max-time
//       ends each try.
// Each run posts its alerts evenly over the run, waits the drain period,
// then calls Delivery::stop(). Per run it prints how many alerts arrived,
// how many arrived twice or more, in how many services a later alert arrived
// before an earlier one, the time from post to the first try at the server
// and to arrival, and what linkwatch_log.txt of the run's own folder says
// was not delivered. For (c) it prints how much later than in (b) the mails
// were first tried.
//
//   fault_bench [--alerts N] [--seconds S] [--drain-seconds S] [--fail-rate R]
//               [--seed N] [--runs abc] [--keep]
//
// Each alert's subject starts with "[alert NNN]" so that the server's journal
// names it; the rest of the message is the monitor's own. The failures fall
// on the same places of the server's sequence of messages in every run (the
// seed). The drain of 120 s lets every first retry (60 s after a failure)
// go out; an alert posted near the end whose retry fails too needs a longer
// drain (--drain-seconds) to arrive.

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "config/host_config.h"
#include "config/notify_config.h"
#include "notify/alerts.h"
#include "notify/delivery.h"
#include "notify/dispatch.h"
#include "platform/platform.h"
#include "support/clock.h"
#include "support/output.h"

namespace fs = std::filesystem;

namespace {

// Bounds of every wait that can hang.
constexpr uint32_t kToolLimitMs = 60 * 1000;         // openssl, the python check
constexpr uint32_t kServerStartMs = 20 * 1000;       // until a server's port is known
constexpr uint32_t kServerMarginMs = 5 * 60 * 1000;  // a server's life beyond the run's plan
constexpr uint32_t kServerEndMs = 10 * 1000;         // its process beyond its own lifetime
constexpr const char kPython[] = "/usr/bin/python3";

constexpr int kServices = 10;
constexpr const char kTagStart[] = "[alert ";

struct Options {
  int alerts = 150;
  int seconds = 300;
  int drain_seconds = 120;
  double fail_rate = 0.3;
  int seed = 1;
  std::string runs = "abc";
  bool keep = false;
};

int64_t wall_ms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

int run_tool(const std::vector<std::string>& args, uint32_t limit_ms) {
  std::vector<const char*> argv;
  for (const std::string& arg : args) argv.push_back(arg.c_str());
  argv.push_back(nullptr);
  lw::platform::RunRequest request;
  request.argv = argv.data();
  request.discard_output = true;
  request.time_limit_ms = limit_ms;
  return lw::platform::run_process(request);
}

std::string first_line(const fs::path& path) {
  std::ifstream in(path);
  std::string text;
  std::getline(in, text);
  return text;
}

fs::path bench_dir(const std::string& name) {
  return fs::temp_directory_path() /
         ("lw_fault_bench_" + std::to_string(lw::platform::current_pid()) + "_" + name);
}

fs::path fresh_dir(const std::string& name) {
  const fs::path dir = bench_dir(name);
  std::error_code ec;
  fs::remove_all(dir, ec);
  fs::create_directories(dir, ec);
  return dir;
}

// Goes back to the starting folder and removes the bench's folders on the
// way out, also after an early end (unless they are to be kept).
struct RemoveDirsAtEnd {
  fs::path start = fs::current_path();
  bool keep = false;
  ~RemoveDirsAtEnd() {
    std::error_code ec;
    fs::current_path(start, ec);
    if (keep) return;
    for (const char* name : {"tls", "run_a", "run_b", "run_c"}) fs::remove_all(bench_dir(name), ec);
  }
};

// One python server on a thread of its own, bounded by `limit_ms`. It ends
// when "stop" appears in its folder; the destructor puts it there and
// joins, so the server never outlives the bench's scope, also on failure.
class Server {
 public:
  Server(std::vector<std::string> args, fs::path dir, uint32_t limit_ms)
      : dir_(std::move(dir)),
        thread_([args = std::move(args), limit_ms] { run_tool(args, limit_ms); }) {}
  ~Server() { stop(); }
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // The port the server wrote to its port file; 0 when none within
  // kServerStartMs.
  int wait_port() {
    for (uint32_t waited = 0; waited < kServerStartMs; waited += 100) {
      const int port = std::atoi(first_line(dir_ / "port").c_str());
      if (port > 0) return port;
      lw::platform::sleep_ms(100);
    }
    return 0;
  }
  void stop() {
    if (!thread_.joinable()) return;
    std::ofstream(dir_ / "stop").put('\n');
    thread_.join();
  }

 private:
  fs::path dir_;
  std::thread thread_;
};

// Lines of linkwatch_log.txt about one channel's sends.
struct LogCounts {
  int failed = 0;         // "not sent": tries that failed
  int again = 0;          // "trying again"
  int not_delivered = 0;  // "not delivered", whatever the reason
  int at_stop = 0;        // of those, the ones left at the stop
};

// What one run came to.
struct Figures {
  bool ran = false;
  int arrived = 0;                         // alerts accepted at least once
  int twice = 0;                           // alerts accepted twice or more
  int out_of_order = 0;                    // services with an alert accepted before an earlier one
  int seen = 0;                            // messages the server saw, refused ones included
  int refused = 0;                         // of those, refused with 451
  std::vector<double> first_try_s;         // post to the first message seen, per alert seen
  std::vector<double> arrival_s;           // post to the first acceptance, per alert accepted
  std::vector<double> first_try_by_alert;  // the same per alert number; -1: never seen
  LogCounts log[4];                        // Email, Telegram, Teams, no channel named
  double stop_s = 0;                       // how long Delivery::stop() took
  int hook_connections = -1;               // connections the hanging hook took; -1: no hook
};

double median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const size_t n = values.size();
  return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

double largest(const std::vector<double>& values) {
  return values.empty() ? 0 : *std::max_element(values.begin(), values.end());
}

// The alert number in a journaled subject; -1 when it carries none.
int alert_number(const std::string& subject) {
  const size_t at = subject.find(kTagStart);
  if (at == std::string::npos) return -1;
  return std::atoi(subject.c_str() + at + sizeof kTagStart - 1);
}

// Reads the server's journal ("<ms> <code> <subject>" per message) against
// the posts: `posted_ms` and `service` per alert number.
void read_journal(const fs::path& journal, const std::vector<int64_t>& posted_ms,
                  const std::vector<int>& service, Figures* out) {
  const size_t alerts = posted_ms.size();
  out->first_try_by_alert.assign(alerts, -1);
  std::vector<int> accepted(alerts, 0);
  std::vector<bool> seen(alerts, false);
  std::vector<int> latest(kServices, -1);  // highest alert number accepted per service
  std::vector<bool> broken(kServices, false);
  std::ifstream in(journal);
  std::string line;
  while (std::getline(in, line)) {
    char* rest = nullptr;
    const long long at_ms = std::strtoll(line.c_str(), &rest, 10);
    const int code = static_cast<int>(std::strtol(rest, &rest, 10));
    const int n = alert_number(line);
    ++out->seen;
    if (code != 250) ++out->refused;
    if (n < 0 || static_cast<size_t>(n) >= alerts) continue;
    const double after_s = static_cast<double>(at_ms - posted_ms[n]) / 1000.0;
    if (!seen[n]) {
      out->first_try_s.push_back(after_s);
      out->first_try_by_alert[n] = after_s;
    }
    seen[n] = true;
    if (code != 250) continue;
    if (++accepted[n] > 1) continue;
    out->arrival_s.push_back(after_s);
    const int s = service[n];
    if (n < latest[s]) broken[s] = true;
    latest[s] = std::max(latest[s], n);
  }
  for (int count : accepted) {
    if (count > 0) ++out->arrived;
    if (count > 1) ++out->twice;
  }
  for (bool b : broken) out->out_of_order += b ? 1 : 0;
}

// Counts the log's "not sent", "trying again" and "not delivered" lines by
// the channel that starts the event text ("Email: ..."); index 3 holds the
// lines that name no channel.
void read_log(const fs::path& log, Figures* out) {
  static const char* const kNames[] = {"Email:", "Telegram:", "Teams:"};
  std::ifstream in(log);
  std::string line;
  while (std::getline(in, line)) {
    const size_t dash = line.find(" - ");
    const std::string event = dash == std::string::npos ? line : line.substr(dash + 3);
    std::string lower = event;
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    int channel = 3;
    for (int c = 0; c < 3; ++c) {
      if (event.compare(0, std::strlen(kNames[c]), kNames[c]) == 0) channel = c;
    }
    LogCounts& counts = out->log[channel];
    if (lower.find("not sent") != std::string::npos) ++counts.failed;
    if (lower.find("trying again") != std::string::npos) ++counts.again;
    if (lower.find("not delivered") != std::string::npos) {
      ++counts.not_delivered;
      if (lower.find("stop") != std::string::npos) ++counts.at_stop;
    }
  }
}

// One run: a fresh mail server (and hook), the alerts, the drain, the stop.
Figures run_once(char which, const Options& options, const fs::path& tls) {
  Figures figures;
  const fs::path dir = fresh_dir(std::string("run_") + which);
  std::error_code ec;
  fs::current_path(dir, ec);
  if (ec) {
    std::fprintf(stderr, "cannot enter %s\n", dir.string().c_str());
    return figures;
  }
  const std::string cert = (tls / "cert.pem").string();
  const std::string key = (tls / "key.pem").string();
  const uint32_t life_ms =
      static_cast<uint32_t>(options.seconds + options.drain_seconds) * 1000u + kServerMarginMs;
  const fs::path here = fs::path(__FILE__).parent_path();

  const fs::path smtp_dir = dir / "smtp";
  fs::create_directories(smtp_dir, ec);
  const fs::path journal = smtp_dir / "journal";
  char rate[32];
  std::snprintf(rate, sizeof rate, "%.4f", options.fail_rate);
  Server smtp({kPython, (here / "slow_smtp.py").string(), smtp_dir.string(), cert, key,
               "--fail-rate", rate, "--seed", std::to_string(options.seed), "--journal",
               journal.string(), "--lifetime", std::to_string(life_ms / 1000)},
              smtp_dir, life_ms + kServerEndMs);
  const int smtp_port = smtp.wait_port();
  if (smtp_port == 0) {
    std::fprintf(stderr, "the mail server did not start\n");
    return figures;
  }

  std::unique_ptr<Server> hook;
  const fs::path hook_dir = dir / "hook";
  int hook_port = 0;
  if (which == 'c') {
    fs::create_directories(hook_dir, ec);
    hook = std::make_unique<Server>(
        std::vector<std::string>{kPython, (here / ".." / "tests" / "e2e" / "receiver.py").string(),
                                 "hang", (hook_dir / "port").string(), hook_dir.string(), cert, key,
                                 std::to_string(life_ms / 1000)},
        hook_dir, life_ms + kServerEndMs);
    hook_port = hook->wait_port();
    if (hook_port == 0) {
      std::fprintf(stderr, "the hanging web hook did not start\n");
      return figures;
    }
  }

  auto settings = std::make_unique<lw::NotifySettings>();
  settings->server.format("smtp://127.0.0.1:%d", smtp_port);
  settings->cacert.assign(cert.c_str());
  settings->email.assign("monitor@example.com");
  settings->password.assign("secret");
  settings->to.assign("ops@example.com");
  settings->email_enabled = 1;
  if (which != 'a') settings->retry_minutes = 60;
  if (which == 'c') {
    settings->teams_webhook.format("https://127.0.0.1:%d/webhookb2/bench", hook_port);
    settings->teams_enabled = 1;
  }

  // The services and the order they flap in: every round each service
  // changes once, in an order of its own (the same in every run).
  std::vector<lw::HostEntry> hosts(kServices);
  for (int s = 0; s < kServices; ++s) {
    lw::set_host_text(&hosts[s], "127.0.0.1");
    char port[16];
    std::snprintf(port, sizeof port, "%d", 7001 + s);
    lw::set_port_text(&hosts[s], port);
    hosts[s].alertcount = 2;
    hosts[s].alertcount_text.assign("2");
  }
  std::mt19937 shuffle(static_cast<uint32_t>(options.seed));
  std::vector<int> order(kServices);
  std::vector<int> service(options.alerts);
  for (int n = 0; n < options.alerts; ++n) {
    if (n % kServices == 0) {
      for (int s = 0; s < kServices; ++s) order[s] = s;
      std::shuffle(order.begin(), order.end(), shuffle);
    }
    service[n] = order[n % kServices];
  }

  lw::Delivery delivery(settings.get());
  if (!delivery.start()) {
    std::fprintf(stderr, "no delivery thread\n");
    return figures;
  }
  std::vector<int64_t> posted_ms(options.alerts, 0);
  const uint64_t start = lw::platform::monotonic_ms();
  const uint64_t spacing_ms =
      static_cast<uint64_t>(options.seconds) * 1000u / static_cast<uint64_t>(options.alerts);
  auto message = std::make_unique<lw::NotifyMessage>();
  for (int n = 0; n < options.alerts; ++n) {
    const uint64_t due = start + static_cast<uint64_t>(n) * spacing_ms;
    const uint64_t now = lw::platform::monotonic_ms();
    if (due > now) lw::platform::sleep_ms(static_cast<uint32_t>(due - now));
    lw::HostEntry& host = hosts[service[n]];
    const int64_t event = lw::now_seconds();
    const bool down = (n / kServices) % 2 == 0;
    if (down) {
      host.first_fail_time = event - 6;
      host.last_fail_time = event;
      compose_down_alert(host, host, "Connection refused", 0, message.get());
    } else {
      compose_recovery_alert(host, host, event, message.get());
    }
    const std::string subject = message->subject.c_str();
    message->subject.format("%s%03d] %s", kTagStart, n, subject.c_str());
    posted_ms[n] = wall_ms();
    delivery.post(*message, event);
  }
  const uint64_t posted_end = lw::platform::monotonic_ms();
  const uint64_t drain_end = posted_end + static_cast<uint64_t>(options.drain_seconds) * 1000u;
  for (uint64_t now = posted_end; now < drain_end; now = lw::platform::monotonic_ms()) {
    lw::platform::sleep_ms(static_cast<uint32_t>(std::min<uint64_t>(drain_end - now, 1000)));
  }
  const uint64_t stop_start = lw::platform::monotonic_ms();
  delivery.stop();
  figures.stop_s = static_cast<double>(lw::platform::monotonic_ms() - stop_start) / 1000.0;

  smtp.stop();
  if (hook) {
    hook->stop();
    figures.hook_connections = std::atoi(first_line(hook_dir / "connections").c_str());
  }
  read_journal(journal, posted_ms, service, &figures);
  read_log(dir / lw::kLogFileName, &figures);
  figures.ran = true;
  return figures;
}

void print_figures(char which, const Options& options, const Figures& f) {
  static const char* const kTitles[] = {"no retry_minutes", "retry_minutes 60",
                                        "retry_minutes 60, plus a Teams web hook that hangs"};
  std::printf("(%c) %s\n", which, kTitles[which - 'a']);
  if (!f.ran) {
    std::printf("  did not run to its end\n");
    return;
  }
  const int services = std::min(kServices, options.alerts);
  std::printf("  arrived %d of %d; twice or more %d; services out of order %d of %d\n", f.arrived,
              options.alerts, f.twice, f.out_of_order, services);
  std::printf("  messages at the server %d, refused with 451: %d\n", f.seen, f.refused);
  std::printf("  post to first try at the server: median %.2f s, max %.2f s (%zu alerts tried)\n",
              median(f.first_try_s), largest(f.first_try_s), f.first_try_s.size());
  std::printf("  post to arrival:                 median %.2f s, max %.2f s (%zu alerts)\n",
              median(f.arrival_s), largest(f.arrival_s), f.arrival_s.size());
  static const char* const kLogNames[] = {"Email", "Telegram", "Teams", "no channel named"};
  for (int c = 0; c < 4; ++c) {
    const LogCounts& n = f.log[c];
    if (c != 0 && n.failed + n.again + n.not_delivered == 0) continue;
    std::printf(
        "  log, %s: failed tries %d, trying again %d, not delivered %d (%d of them left at the "
        "stop)\n",
        kLogNames[c], n.failed, n.again, n.not_delivered, n.at_stop);
  }
  if (f.hook_connections >= 0)
    std::printf("  connections to the hanging web hook: %d\n", f.hook_connections);
  std::printf("  Delivery::stop() took %.1f s\n", f.stop_s);
}

bool parse_options(int argc, char** argv, Options* out) {
  for (int i = 1; i < argc; ++i) {
    const char* name = argv[i];
    if (std::strcmp(name, "--keep") == 0) {
      out->keep = true;
      continue;
    }
    if (i + 1 >= argc) return false;
    const char* value = argv[++i];
    if (std::strcmp(name, "--alerts") == 0) {
      out->alerts = std::atoi(value);
    } else if (std::strcmp(name, "--seconds") == 0) {
      out->seconds = std::atoi(value);
    } else if (std::strcmp(name, "--drain-seconds") == 0) {
      out->drain_seconds = std::atoi(value);
    } else if (std::strcmp(name, "--fail-rate") == 0) {
      out->fail_rate = std::atof(value);
    } else if (std::strcmp(name, "--seed") == 0) {
      out->seed = std::atoi(value);
    } else if (std::strcmp(name, "--runs") == 0) {
      out->runs = value;
    } else {
      return false;
    }
  }
  if (out->runs.empty() || out->runs.find_first_not_of("abc") != std::string::npos) return false;
  return out->alerts >= 1 && out->alerts <= 999 && out->seconds >= 1 && out->seconds <= 24 * 3600 &&
         out->drain_seconds >= 0 && out->drain_seconds <= 24 * 3600 && out->fail_rate >= 0 &&
         out->fail_rate <= 1;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!parse_options(argc, argv, &options)) {
    std::fprintf(stderr,
                 "usage: fault_bench [--alerts 1..999] [--seconds S] [--drain-seconds S] "
                 "[--fail-rate 0..1] [--seed N] [--runs abc] [--keep]\n");
    return 2;
  }
  if (!lw::platform::socket_startup()) {
    std::fprintf(stderr, "no sockets\n");
    return 1;
  }
  lw::set_silent_mode(true);
  RemoveDirsAtEnd remove_dirs_at_end;
  remove_dirs_at_end.keep = options.keep;

  if (run_tool({kPython, "-c", "import aiosmtpd"}, kToolLimitMs) != 0) {
    std::fprintf(stderr, "python3 with aiosmtpd missing\n");
    return 1;
  }
  const fs::path tls = fresh_dir("tls");
  if (run_tool({"openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout",
                (tls / "key.pem").string(), "-out", (tls / "cert.pem").string(), "-days", "1",
                "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1"},
               kToolLimitMs) != 0) {
    std::fprintf(stderr, "openssl could not make a certificate\n");
    return 1;
  }

  std::printf(
      "%d alerts over %d s, %d services flapping; mail server refuses %.0f %% at random (seed "
      "%d); drain %d s\n",
      options.alerts, options.seconds, std::min(kServices, options.alerts), options.fail_rate * 100,
      options.seed, options.drain_seconds);
  std::fflush(stdout);
  Figures figures[3];
  int rc = 0;
  for (char which : options.runs) {
    Figures& f = figures[which - 'a'];
    f = run_once(which, options, tls);
    print_figures(which, options, f);
    std::fflush(stdout);
    if (!f.ran) rc = 1;
  }
  const Figures& b = figures[1];
  const Figures& c = figures[2];
  if (b.ran && c.ran) {
    // Alert by alert, over the alerts whose mail was tried in both runs; the
    // failures fall on the same places of the server's sequence in both.
    std::vector<double> later;
    for (size_t n = 0; n < b.first_try_by_alert.size() && n < c.first_try_by_alert.size(); ++n) {
      if (b.first_try_by_alert[n] >= 0 && c.first_try_by_alert[n] >= 0)
        later.push_back(c.first_try_by_alert[n] - b.first_try_by_alert[n]);
    }
    std::printf("mail delay by the hanging web hook, (c) against (b):\n");
    std::printf(
        "  first try: median %.2f s against %.2f s (%+.2f s), max %.2f s against %.2f s "
        "(%+.2f s); alerts tried %zu against %zu\n",
        median(c.first_try_s), median(b.first_try_s), median(c.first_try_s) - median(b.first_try_s),
        largest(c.first_try_s), largest(b.first_try_s),
        largest(c.first_try_s) - largest(b.first_try_s), c.first_try_s.size(),
        b.first_try_s.size());
    std::printf(
        "  arrival: median %.2f s against %.2f s (%+.2f s), max %.2f s against %.2f s "
        "(%+.2f s)\n",
        median(c.arrival_s), median(b.arrival_s), median(c.arrival_s) - median(b.arrival_s),
        largest(c.arrival_s), largest(b.arrival_s), largest(c.arrival_s) - largest(b.arrival_s));
    if (later.empty()) {
      std::printf("  per alert tried in both: none\n");
    } else {
      std::printf(
          "  per alert tried in both (%zu): first try later in (c) by median %+.2f s, "
          "max %+.2f s\n",
          later.size(), median(later), largest(later));
    }
  }
  if (options.keep) std::printf("folders kept: %s\n", bench_dir("run_*").string().c_str());
  return rc;
}
