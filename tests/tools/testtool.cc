// lw_testtool: a stand-in for external programs in tests and benchmarks.
//
// Run under the name `curl` or `ping` (tests copy it under those names into
// a folder first on PATH), it records how it was called into $LW_FAKE_DIR
// and answers as $LW_FAKE_<TOOL>_OUTPUT / _SLEEP_MS / _EXIT say.
//
// Under any other name it runs the helpers named by its arguments, one after
// the other (for example "emit 100 exit 3"):
//   args <arg>...            prints each further argument as "[<arg>]" on its own line
//   stdin                    copies standard input to standard output
//   emit <n> [<chunk>]       writes n pattern bytes in flushed writes of <chunk> bytes
//   stderr <text>            writes text to standard error
//   exit <code>              ends with this exit code
//   sleep <ms>               sleeps
//   pidfile <file>           writes this process's id and a line end into file
//   spawn-sleeper <ms> [<pidfile>]
//                            starts a child "sleep <ms>" (writing its id into
//                            pidfile, a plain name, when given) that shares
//                            standard output, then sleeps <ms> itself
//   listen <port> [<backlog> [noaccept]]
//                            listens on 127.0.0.1, prints the bound port and a
//                            line end, then accepts and closes connections (or,
//                            with noaccept, never accepts) until it is ended
//   run <discard|inherit> <program> <arg>...
//                            runs the program through the system's command
//                            runner and ends with its result
//   print-then-hang <file> <n>
//                            sends standard output to file, prints n lines
//                            through console_print, and waits until ended
// The emit pattern is the 36 bytes "abc...xyz0123456789" repeated.

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "support/output.h"
#include "support/runner.h"

namespace {

constexpr char kPattern[] = "abcdefghijklmnopqrstuvwxyz0123456789";

std::string base_name(const char* path) {
  std::string name = path ? path : "";
  size_t slash = name.find_last_of("/\\");
  if (slash != std::string::npos) name.erase(0, slash + 1);
  if (name.size() > 4) {
    std::string tail = name.substr(name.size() - 4);
    for (char& c : tail) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    if (tail == ".exe") name.resize(name.size() - 4);
  }
  return name;
}

std::string self_path(const char* argv0) {
  char path[4096];
  if (lw::platform::own_executable_path(path, sizeof path)) return path;
  return argv0 ? argv0 : "";
}

bool read_whole_file(const std::string& name, std::string* out) {
  std::FILE* f = std::fopen(name.c_str(), "rb");
  if (!f) return false;
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out->append(buf, n);
  bool ok = !std::ferror(f);
  std::fclose(f);
  return ok;
}

std::string read_stdin() {
  std::string bytes;
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, stdin)) > 0) bytes.append(buf, n);
  return bytes;
}

void write_all(std::FILE* f, const char* data, size_t n) {
  if (n > 0) std::fwrite(data, 1, n, f);
  std::fflush(f);
}

long long number(const char* text, long long fallback) {
  if (!text || !*text) return fallback;
  char* end = nullptr;
  long long value = std::strtoll(text, &end, 10);
  return end && *end == '\0' ? value : fallback;
}

// ---- Fake curl / ping ----------------------------------------------------

class Record {
 public:
  void add(char tag, const std::string& bytes) {
    text_ += tag;
    text_ += std::to_string(bytes.size());
    text_ += '\n';
    text_ += bytes;
    text_ += '\n';
  }
  const std::string& text() const { return text_; }

 private:
  std::string text_ = "LWREC1\n";
};

// What one curl invocation reads: its standard input (at most once) and the
// files it uploads or posts, in the order it names them.
struct CurlInputs {
  bool stdin_read = false;
  std::string stdin_bytes;
  std::vector<std::pair<std::string, std::string>> files;

  const std::string& take_stdin() {
    if (!stdin_read) {
      stdin_bytes = read_stdin();
      stdin_read = true;
    }
    return stdin_bytes;
  }
  void add_file(const std::string& name) {
    std::string bytes;
    if (read_whole_file(name, &bytes)) files.emplace_back(name, bytes);
  }
};

void apply_curl_option(const std::string& option, const std::string& value, CurlInputs* in,
                       int depth);

// Reads curl's configuration syntax: one option per line, with or without
// leading dashes, an optional '=' or ':' separator, and a plain or quoted
// value.
void scan_curl_config(const std::string& text, CurlInputs* in, int depth) {
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(pos, end - pos);
    pos = end + 1;
    size_t i = 0;
    auto blank = [&](size_t k) { return k < line.size() && (line[k] == ' ' || line[k] == '\t'); };
    while (blank(i)) ++i;
    if (i >= line.size() || line[i] == '#' || line[i] == '\r') continue;
    size_t start = i;
    while (i < line.size() && !blank(i) && line[i] != '=' && line[i] != ':' && line[i] != '\r') ++i;
    std::string option = line.substr(start, i - start);
    while (blank(i)) ++i;
    if (i < line.size() && (line[i] == '=' || line[i] == ':')) ++i;
    while (blank(i)) ++i;
    std::string value;
    if (i < line.size() && line[i] == '"') {
      for (++i; i < line.size() && line[i] != '"'; ++i) {
        char c = line[i];
        if (c == '\\' && i + 1 < line.size()) {
          c = line[++i];
          if (c == 't') c = '\t';
          if (c == 'n') c = '\n';
          if (c == 'r') c = '\r';
          if (c == 'v') c = '\v';
        }
        value += c;
      }
    } else {
      while (i < line.size() && !blank(i) && line[i] != '\r') value += line[i++];
    }
    if (option.rfind("--", 0) == 0) {
      option.erase(0, 2);
    } else if (option.size() == 2 && option[0] == '-') {
      option.erase(0, 1);
    }
    apply_curl_option(option, value, in, depth);
  }
}

// `option` without dashes: "T", "upload-file", "data-binary", "K", "config".
void apply_curl_option(const std::string& option, const std::string& value, CurlInputs* in,
                       int depth) {
  if (option == "T" || option == "upload-file") {
    if (value == "-") {
      in->take_stdin();
    } else {
      in->add_file(value);
    }
  } else if (option == "data-binary") {
    if (value == "@-") {
      in->take_stdin();
    } else if (!value.empty() && value[0] == '@') {
      in->add_file(value.substr(1));
    }
  } else if ((option == "K" || option == "config") && depth < 4) {
    if (value == "-") {
      scan_curl_config(in->take_stdin(), in, depth + 1);
    } else {
      in->add_file(value);
      std::string text;
      if (read_whole_file(value, &text)) scan_curl_config(text, in, depth + 1);
    }
  }
}

void scan_curl_args(int argc, char** argv, CurlInputs* in) {
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    std::string next = i + 1 < argc ? argv[i + 1] : "";
    if (arg == "-T" || arg == "--upload-file" || arg == "--data-binary" || arg == "-K" ||
        arg == "--config") {
      std::string option = arg[1] == '-' ? arg.substr(2) : arg.substr(1);
      if (i + 1 < argc) apply_curl_option(option, next, in, 0);
      ++i;
    } else if (arg.size() > 2 && arg[0] == '-' && (arg[1] == 'T' || arg[1] == 'K')) {
      apply_curl_option(std::string(1, arg[1]), arg.substr(2), in, 0);  // "-Tfile"
    }
  }
}

const char* fake_setting(const std::string& tool, const char* what) {
  std::string name = "LW_FAKE_";
  for (char c : tool) name += static_cast<char>(c - 'a' + 'A');
  name += '_';
  name += what;
  return std::getenv(name.c_str());
}

int run_fake(const std::string& tool, int argc, char** argv) {
  const uint64_t started_ms = lw::platform::monotonic_ms();
  const auto fine = std::chrono::duration_cast<std::chrono::nanoseconds>(
                        std::chrono::steady_clock::now().time_since_epoch())
                        .count();

  Record record;
  record.add('T', tool);
  for (int i = 1; i < argc; ++i) record.add('A', argv[i]);
  if (tool == "curl") {
    CurlInputs in;
    scan_curl_args(argc, argv, &in);
    if (in.stdin_read) record.add('I', in.stdin_bytes);
    for (const auto& [name, bytes] : in.files) {
      record.add('N', name);
      record.add('D', bytes);
    }
  }
  record.add('M', std::to_string(started_ms));
  record.add('S', std::to_string(fine));

  const char* dir = std::getenv("LW_FAKE_DIR");
  if (dir && *dir) {
    const uint32_t pid = lw::platform::current_pid();
    for (int n = 0; n < 1000; ++n) {
      char stem[128];
      std::snprintf(stem, sizeof stem, "%s-%u-%020llu-%d", tool.c_str(), static_cast<unsigned>(pid),
                    static_cast<unsigned long long>(started_ms), n);
      std::string base = std::string(dir) + "/" + stem;
      std::string final_name = base + ".rec";
      if (std::FILE* probe = std::fopen(final_name.c_str(), "rb")) {
        std::fclose(probe);
        continue;  // taken (a reused process id within the same millisecond)
      }
      std::string temp_name = base + ".tmp";
      std::FILE* f = std::fopen(temp_name.c_str(), "wb");
      if (!f) break;
      bool ok =
          std::fwrite(record.text().data(), 1, record.text().size(), f) == record.text().size();
      ok = std::fclose(f) == 0 && ok;
      if (ok && std::rename(temp_name.c_str(), final_name.c_str()) == 0) break;
      std::remove(temp_name.c_str());
      if (!ok) break;
    }
  }

  if (const char* output = fake_setting(tool, "OUTPUT")) {
    write_all(stdout, output, std::strlen(output));
  }
  long long sleep = number(fake_setting(tool, "SLEEP_MS"), 0);
  if (sleep > 0) lw::platform::sleep_ms(static_cast<uint32_t>(sleep));
  return static_cast<int>(number(fake_setting(tool, "EXIT"), 0));
}

// ---- Helpers -------------------------------------------------------------

[[noreturn]] void hang() {
  for (;;) lw::platform::sleep_ms(1000);
}

void write_pid_file(const char* name) {
  std::FILE* f = std::fopen(name, "w");
  if (!f) return;
  std::fprintf(f, "%u\n", static_cast<unsigned>(lw::platform::current_pid()));
  std::fclose(f);
}

int usage(const char* what) {
  std::fprintf(stderr, "lw_testtool: bad use of '%s'\n", what);
  return 2;
}

int run_helpers(int argc, char** argv) {
  int i = 1;
  auto arg = [&](int k) -> const char* { return i + k < argc ? argv[i + k] : nullptr; };
  while (i < argc) {
    const std::string helper = argv[i];
    if (helper == "args") {
      for (++i; i < argc; ++i) std::printf("[%s]\n", argv[i]);
      std::fflush(stdout);
    } else if (helper == "stdin") {
      // Copies as it reads, so a parent that feeds the input without reading
      // the output at the same time stalls on a large input.
      char buf[4096];
      size_t n;
      while ((n = std::fread(buf, 1, sizeof buf, stdin)) > 0) write_all(stdout, buf, n);
      i += 1;
    } else if (helper == "emit") {
      long long n = number(arg(1), -1);
      if (n < 0) return usage("emit");
      long long chunk = number(arg(2), 0);
      bool has_chunk = chunk > 0;
      if (!has_chunk) chunk = 4096;
      std::string block;
      for (long long k = 0; k < n; k += chunk) {
        long long len = n - k < chunk ? n - k : chunk;
        block.clear();
        for (long long b = 0; b < len; ++b) block += kPattern[(k + b) % (sizeof kPattern - 1)];
        write_all(stdout, block.data(), block.size());
      }
      i += has_chunk ? 3 : 2;
    } else if (helper == "stderr") {
      if (!arg(1)) return usage("stderr");
      write_all(stderr, arg(1), std::strlen(arg(1)));
      i += 2;
    } else if (helper == "exit") {
      long long code = number(arg(1), -1000000);
      if (code == -1000000) return usage("exit");
      return static_cast<int>(code);
    } else if (helper == "sleep") {
      long long ms = number(arg(1), -1);
      if (ms < 0) return usage("sleep");
      lw::platform::sleep_ms(static_cast<uint32_t>(ms));
      i += 2;
    } else if (helper == "pidfile") {
      if (!arg(1)) return usage("pidfile");
      write_pid_file(arg(1));
      i += 2;
    } else if (helper == "spawn-sleeper") {
      long long ms = number(arg(1), -1);
      if (ms < 0) return usage("spawn-sleeper");
      const char* pid_file = arg(2);
      // The child is started the way ordinary programs start theirs (through
      // the C library's command processor), so it stays in this process's
      // group or job and shares its standard output. A thread waits for it.
      std::string command = "\"" + self_path(argv[0]) + "\"";
      if (pid_file) command += std::string(" pidfile ") + pid_file;
      command += " sleep " + std::to_string(ms);
      std::thread waiter([command] { (void)std::system(command.c_str()); });
      waiter.detach();
      lw::platform::sleep_ms(static_cast<uint32_t>(ms));
      std::fflush(stdout);
      std::_Exit(0);  // without waiting for the child
    } else if (helper == "listen") {
      long long port = number(arg(1), -1);
      if (port < 0 || port > 65535) return usage("listen");
      long long backlog = number(arg(2), 5);
      bool accept = !(arg(3) && std::strcmp(arg(3), "noaccept") == 0);
      lw::platform::socket_startup();
      lw::platform::Listener listener;
      if (!lw::platform::listen_loopback(static_cast<uint16_t>(port), static_cast<int>(backlog),
                                         &listener)) {
        std::fprintf(stderr, "lw_testtool: cannot listen on port %lld\n", port);
        return 1;
      }
      std::printf("%u\n", static_cast<unsigned>(listener.port));
      std::fflush(stdout);
      if (!accept) hang();
      for (;;) lw::platform::accept_and_close(&listener, 1000);
    } else if (helper == "run") {
      if (!arg(1) || !arg(2)) return usage("run");
      lw::Command command;
      command.argv = argv + i + 2;  // argv ends with a null pointer
      command.discard_output = std::strcmp(arg(1), "discard") == 0;
      return lw::run_command(command);
    } else if (helper == "print-then-hang") {
      long long lines = number(arg(2), -1);
      if (!arg(1) || lines < 0) return usage("print-then-hang");
      if (!std::freopen(arg(1), "w", stdout)) return 1;
      for (long long k = 1; k <= lines; ++k) lw::console_print("line %lld of %lld\n", k, lines);
      hang();
    } else {
      return usage(helper.c_str());
    }
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string name = base_name(self_path(argc > 0 ? argv[0] : nullptr).c_str());
  if (name == "curl" || name == "ping") return run_fake(name, argc, argv);
  return run_helpers(argc, argv);
}
