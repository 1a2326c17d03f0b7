#include "support/transfer.h"

#include <cstring>
#include <initializer_list>

#include "platform/platform.h"
#include "support/output.h"

namespace lw {

namespace {

// Characters a quoted config value needs for `c`: 1, or 2 with its escape.
size_t quoted_width(char c) {
  return (c == '\\' || c == '"' || c == '\n' || c == '\r' || c == '\t') ? 2 : 1;
}

char* put_quoted(char* p, char c) {
  switch (c) {
    case '\\':
    case '"':
      *p++ = '\\';
      *p++ = c;
      break;
    case '\n':
      *p++ = '\\';
      *p++ = 'n';
      break;
    case '\r':
      *p++ = '\\';
      *p++ = 'r';
      break;
    case '\t':
      *p++ = '\\';
      *p++ = 't';
      break;
    default:
      *p++ = c;
  }
  return p;
}

// `needle` anywhere in `text`, letter case ignored.
bool contains_word(const char* text, const char* needle) {
  const size_t n = std::strlen(needle);
  for (const char* p = text; *p; ++p) {
    size_t i = 0;
    while (i < n && p[i] != '\0' && lower_ascii(p[i]) == lower_ascii(needle[i])) ++i;
    if (i == n) return true;
  }
  return false;
}

}  // namespace

CurlProgram::CurlProgram() {
  platform::ProgramLookup found;
  path.assign(platform::find_program(kCurlProgram, &found) ? found.path : kCurlProgram);
}

void log_curl_in_use(bool also_print) {
  void (*note)(const char*, ...) = also_print ? print_and_log : log_event;
  platform::ProgramLookup found;
  const bool usable = platform::find_program(kCurlProgram, &found);
  if (found.skipped[0] != '\0') {
    note(
        "curl: %s is skipped: a .cmd or .bat file runs only through the command interpreter, "
        "which would read the alert texts as commands; put curl.exe beside linkwatch or on PATH",
        found.skipped);
  }
  if (!usable) {
    note(
        "curl: not found beside linkwatch, in the working folder or on PATH; alerts cannot be "
        "sent");
    return;
  }
  const char* argv[] = {found.path, "-V", nullptr};
  Command command;
  command.argv = argv;
  char output[kCaptureBufferSize];
  const int rc = run_command_capture(command, output, kCurlVersionTimeLimitMs);
  output[std::strcspn(output, "\r\n")] = '\0';
  note("curl: %s, %s", found.path, rc == 0 && output[0] ? output : "version not known");
}

bool names_revocation_failure(const char* output) {
  if (!output) return false;
  for (const char* word : {"revocation", "0x80092012", "0x80092013"}) {
    if (contains_word(output, word)) return true;
  }
  return false;
}

int put_curl_tls_switches(const char** argv, const CurlSettings& curl) {
  int n = 0;
  if (curl.cacert && curl.cacert[0] != '\0') {
    argv[n++] = "--cacert";
    argv[n++] = curl.cacert;
  }
  if (curl.revoke_option && curl.revoke_option[0] != '\0') argv[n++] = curl.revoke_option;
  return n;
}

bool append_curl_proxy(char* dst, size_t cap, const CurlSettings& curl) {
  const bool proxy = !curl.proxy || curl.proxy[0] == '\0' ||
                     append_curl_config_line(dst, cap, "proxy", &curl.proxy, 1);
  return proxy && (!curl.no_proxy || curl.no_proxy[0] == '\0' ||
                   append_curl_config_line(dst, cap, "noproxy", &curl.no_proxy, 1));
}

bool looks_like_option(const char* arg) { return arg && arg[0] == '-'; }

bool append_curl_config_line(char* dst, size_t cap, const char* name, const char* const* parts,
                             size_t part_count) {
  if (!dst || cap == 0 || !name) return false;
  size_t len = std::strlen(dst);
  // name, " = \"", the quoted value, "\"\n", terminator.
  size_t need = len + std::strlen(name) + 4 + 2 + 1;
  for (size_t i = 0; i < part_count; ++i) {
    for (const char* s = parts[i]; s && *s; ++s) need += quoted_width(*s);
  }
  if (need > cap) return false;
  char* p = dst + len;
  for (const char* s = name; *s; ++s) *p++ = *s;
  for (const char* s = " = \""; *s; ++s) *p++ = *s;
  for (size_t i = 0; i < part_count; ++i) {
    for (const char* s = parts[i]; s && *s; ++s) p = put_quoted(p, *s);
  }
  *p++ = '"';
  *p++ = '\n';
  *p = '\0';
  return true;
}

Command make_command(const char* const* argv, const char* input) {
  Command command;
  command.argv = argv;
  command.input = input;
  return command;
}

void put_http_end(const char** argv, int n, const char* reply_file, const char* header,
                  const char* data) {
  argv[n++] = "-o";
  argv[n++] = reply_file;
  if (header) {
    argv[n++] = "-H";
    argv[n++] = header;
  }
  if (data) {
    argv[n++] = "--data-binary";
    argv[n++] = data;
  }
  argv[n++] = "--config";
  argv[n++] = "-";
  argv[n] = nullptr;
}

int put_curl_start(const char** argv, const CurlProgram& program, const char* write_out,
                   const CurlSettings& curl) {
  int n = 0;
  argv[n++] = program.path.c_str();
  argv[n++] = "-s";
  argv[n++] = "--connect-timeout";
  argv[n++] = kCurlConnectTimeout;
  argv[n++] = "--max-time";
  argv[n++] = kCurlMaxTime;
  argv[n++] = "-w";
  argv[n++] = write_out;
  return n + put_curl_tls_switches(argv + n, curl);
}

}  // namespace lw
