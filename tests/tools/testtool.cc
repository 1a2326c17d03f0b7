// lw_testtool: a stand-in for external programs in tests and benchmarks.
//
// As `curl` or `ping` (copied first on PATH) it answers as $LW_FAKE_<TOOL>_OUTPUT, _SLEEP_MS and
// _EXIT say; as curl it reads a "--config -" text, writes $LW_FAKE_CURL_BODY (default
// {"ok":true,...}, nothing with -T) to the -o file and the -w text with $LW_FAKE_CURL_STATUS
// (default 200, 250 with -T) and _RETRY_AFTER; "curl -V" names $LW_FAKE_CURL_VERSION (8.99.0).
//
// Under any other name it runs the helpers its arguments name, in turn:
//   args <arg>...  prints each further argument as "[<arg>]" on a line
//   stdin  copies standard input to standard output as it reads
//   emit <n> [<chunk>]  n bytes of "abc...xyz0123456789" repeated, in flushed chunks
//   stderr <text> | exit <code> | sleep <ms> | pidfile <file> (its id and a line end)
//   lock <file>  locks file for life; ends with 1 when held elsewhere, 2 on failure
//   spawn-sleeper <ms> [<pidfile>]  a child "[pidfile <f>] sleep <ms>" on its output; sleeps too
//   listen <port>  listens on 127.0.0.1, prints the bound port, accepts and closes
//   run-child <ms> <pidfile>  "pidfile <pidfile> sleep <ms>" through run_process
//   state-rewrite <n> <ms> <pidfile>  linkwatch_state.txt of n services, the pidfile,
//                 then the state file rewritten, every service changed, for <ms>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "app/state_file.h"
#include "platform/platform.h"

namespace {

namespace platform = lw::platform;

constexpr char kPattern[] = "abcdefghijklmnopqrstuvwxyz0123456789";

std::string self_path() {
  char path[4096];
  return platform::own_executable_path(path, sizeof path) ? path : "";
}

void write_all(std::FILE* f, const char* data, size_t n) {
  std::fwrite(data, 1, n, f);
  std::fflush(f);
}

long long number(const char* text, long long fallback) {
  char* end = nullptr;
  long long value = text && *text ? std::strtoll(text, &end, 10) : 0;
  return end && *end == '\0' ? value : fallback;
}

const char* fake_setting(const std::string& tool, const char* what) {
  std::string name = "LW_FAKE_";
  for (char c : tool) name += static_cast<char>(c - 'a' + 'A');
  return std::getenv((name + '_' + what).c_str());
}

void replace_all(std::string* text, const std::string& what, const std::string& with) {
  for (size_t at = 0; (at = text->find(what, at)) != std::string::npos; at += with.size()) {
    text->replace(at, what.size(), with);
  }
}

void answer_like_curl(const std::vector<std::string>& args) {
  std::string reply_file, write_out;
  bool upload = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const bool has_value = i + 1 < args.size();
    if (args[i] == "--config" && has_value && args[i + 1] == "-") {
      while (std::fgetc(stdin) != EOF) continue;
    }
    if (args[i] == "-o" && has_value) reply_file = args[i + 1];
    if (args[i] == "-w" && has_value) write_out = args[i + 1];
    if (args[i] == "-T") upload = true;
  }
  const char *body = fake_setting("curl", "BODY"), *status = fake_setting("curl", "STATUS"),
             *retry_after = fake_setting("curl", "RETRY_AFTER");
  const std::string reply = body ? body : upload ? "" : "{\"ok\":true,\"result\":{}}";
  const std::string code = status ? status : upload ? "250" : "200";
  std::FILE* out = reply_file.empty() ? stdout : std::fopen(reply_file.c_str(), "wb");
  if (out) write_all(out, reply.data(), reply.size());
  if (out && out != stdout) std::fclose(out);
  replace_all(&write_out, "%{http_code}", code);
  replace_all(&write_out, "%{response_code}", code);
  replace_all(&write_out, "%header{retry-after}", retry_after ? retry_after : "");
  write_all(stdout, write_out.data(), write_out.size());
}

int run_fake(const std::string& tool, const std::vector<std::string>& args) {
  if (tool == "curl" && args.size() == 1 && args[0] == "-V") {
    const char* version = fake_setting(tool, "VERSION");
    std::printf("curl %s (stand-in) test tool\nProtocols: https smtp\n",
                version ? version : "8.99.0");
  } else if (tool == "curl") {
    answer_like_curl(args);
  } else if (const char* output = fake_setting(tool, "OUTPUT")) {
    write_all(stdout, output, std::strlen(output));
  }
  const long long sleep = number(fake_setting(tool, "SLEEP_MS"), 0);
  if (sleep > 0) platform::sleep_ms(static_cast<uint32_t>(sleep));
  return static_cast<int>(number(fake_setting(tool, "EXIT"), 0));
}

int usage(const std::string& what) {
  return std::fprintf(stderr, "bad use of '%s'\n", what.c_str()), 2;
}

void write_pid_file(const char* name) {
  if (std::FILE* f = std::fopen(name, "w")) {
    std::fprintf(f, "%u\n", static_cast<unsigned>(platform::current_pid()));
    std::fclose(f);
  }
}

int run_helpers(const std::vector<char*>& args) {
  const size_t count = args.size();
  for (size_t i = 0; i < count;) {
    const std::string helper = args[i];
    const char* a1 = i + 1 < count ? args[i + 1] : nullptr;
    const char* a2 = i + 2 < count ? args[i + 2] : nullptr;
    if (helper == "args") {
      for (++i; i < count; ++i) std::printf("[%s]\n", args[i]);
      std::fflush(stdout);
    } else if (helper == "stdin") {
      // A parent that feeds a large input without reading the output stalls.
      char buf[4096];
      for (size_t n; (n = std::fread(buf, 1, sizeof buf, stdin)) > 0;) write_all(stdout, buf, n);
      i += 1;
    } else if (helper == "emit" && number(a1, -1) >= 0) {
      const long long n = number(a1, 0), chunk = number(a2, 0) > 0 ? number(a2, 0) : 4096;
      i += number(a2, 0) > 0 ? 3 : 2;
      for (long long k = 0; k < n; k += chunk) {
        std::string block;
        for (long long b = k; b < n && b < k + chunk; ++b) block += kPattern[b % 36];
        write_all(stdout, block.data(), block.size());
      }
    } else if (helper == "stderr" && a1) {
      write_all(stderr, a1, std::strlen(a1));
      i += 2;
    } else if (helper == "exit" && number(a1, -1000000) != -1000000) {
      return static_cast<int>(number(a1, 0));
    } else if (helper == "sleep" && number(a1, -1) >= 0) {
      platform::sleep_ms(static_cast<uint32_t>(number(a1, 0)));
      i += 2;
    } else if (helper == "state-rewrite" && number(a1, 0) > 0 && a2 && i + 3 < args.size()) {
      static lw::HostTable table;
      table.host_count =
          static_cast<int>(number(a1, 0) < lw::kMaxHosts ? number(a1, 0) : lw::kMaxHosts);
      for (int h = 1; h <= table.host_count; ++h) {
        table.hosts[h].host.format("host%d", h);
        lw::set_port_text(&table.hosts[h], "80");
      }
      lw::StateKeeper keeper;
      keeper.after_cycle(table);
      write_pid_file(args[i + 3]);
      const uint64_t end = platform::monotonic_ms() + static_cast<uint64_t>(number(a2, 0));
      for (int32_t round = 1; platform::monotonic_ms() < end; ++round) {
        for (int h = 1; h <= table.host_count; ++h) table.hosts[h].fail_count = round;
        keeper.after_cycle(table);
      }
      i += 4;
    } else if (helper == "pidfile" && a1) {
      write_pid_file(a1);
      i += 2;
    } else if (helper == "lock" && a1) {
      static platform::FileLock lock;
      const platform::LockResult result = platform::lock_file(a1, &lock);
      if (result == platform::LockResult::kHeldElsewhere) return 1;
      if (result != platform::LockResult::kAcquired) return 2;
      i += 2;
    } else if (helper == "spawn-sleeper" && number(a1, -1) >= 0) {
      // The child is started the way ordinary programs start theirs (through
      // the C library's command processor), so it stays in this process's
      // group or job and shares its standard output. A thread waits for it.
      std::string command = "\"" + self_path() + "\"";
      if (a2) command += std::string(" pidfile ") + a2;
      command += std::string(" sleep ") + a1;
      std::thread([command] { (void)std::system(command.c_str()); }).detach();
      platform::sleep_ms(static_cast<uint32_t>(number(a1, 0)));
      std::fflush(stdout);
      std::_Exit(0);  // without waiting for the child
    } else if (helper == "run-child" && number(a1, -1) >= 0 && a2) {
      const std::string self = self_path();
      const char* argv[] = {self.c_str(), "pidfile", a2, "sleep", a1, nullptr};
      platform::RunRequest request;
      request.argv = argv;
      request.discard_output = true;
      platform::run_process(request);
      i += 3;
    } else if (helper == "listen" && number(a1, -1) >= 0 && number(a1, -1) <= 65535) {
      platform::socket_startup();
      platform::Listener listener;
      if (!platform::listen_loopback(static_cast<uint16_t>(number(a1, 0)), 5, &listener)) {
        return usage(helper);
      }
      std::printf("%u\n", static_cast<unsigned>(listener.port));
      std::fflush(stdout);
      for (;;) platform::accept_and_close(&listener, 1000);
    } else {
      return usage(helper);
    }
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::string name = self_path();
  name.erase(0, name.find_last_of("/\\") + 1);
  if (name.ends_with(".exe") || name.ends_with(".EXE")) name.resize(name.size() - 4);
  if (name == "curl" || name == "ping") return run_fake(name, {argv + 1, argv + argc});
  return run_helpers({argv + 1, argv + argc});
}
