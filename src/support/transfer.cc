#include "support/transfer.h"

#include <cstring>

#include "platform/platform.h"
#include "support/output.h"

namespace lw {

namespace {

constexpr const char kTeamsContentType[] = "Content-Type: application/json; charset=utf-8";

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

Command make_command(const char* const* argv, const char* input) {
  Command command;
  command.argv = argv;
  command.input = input;
  return command;
}

// Puts the program, its quiet switch, the bounds, the write-out and the
// TLS settings into `argv`; returns the number of entries.
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

// Ends a channel's config text: the proxy when set, then `show-error`.
template <size_t N>
bool finish_curl_config(FixedText<N>* config, const CurlSettings& curl) {
  if (!append_curl_proxy(config, curl)) return false;
  constexpr char kShowError[] = "show-error\n";
  if (config->size() + sizeof kShowError > N) return false;
  config->append(kShowError);
  return true;
}

// Writes `text` (null: "") for one segment of an address path: letters,
// digits, "-._~" and ':' as they are, every other byte as "%XX", so that no
// '/', '?', '#' or '%' of it can end the segment. False when it does not fit.
bool encode_path_segment(const char* text, char* out, size_t cap) {
  static const char kHex[] = "0123456789ABCDEF";
  size_t n = 0;
  for (const char* s = text ? text : ""; *s; ++s) {
    const unsigned char c = static_cast<unsigned char>(*s);
    const bool kept = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                      c == '-' || c == '.' || c == '_' || c == '~' || c == ':';
    if (n + (kept ? 1 : 3) >= cap) return false;
    if (kept) {
      out[n++] = static_cast<char>(c);
    } else {
      out[n++] = '%';
      out[n++] = kHex[c >> 4];
      out[n++] = kHex[c & 0x0F];
    }
  }
  out[n] = '\0';
  return true;
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
  return !curl.proxy || curl.proxy[0] == '\0' ||
         append_curl_config_line(dst, cap, "proxy", &curl.proxy, 1);
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

Command MailRequest::command() const { return make_command(argv, config.c_str()); }

bool build_mail_request(const char* server, const char* sender, const char* user,
                        const char* password, const char* recipients, const char* mail_file,
                        MailRequest* out, const CurlSettings& curl) {
  out->argv[0] = nullptr;
  out->recipients.count = 0;
  out->recipients.refused_count = 0;
  out->config.clear();
  if (!server || server[0] == '\0' || looks_like_option(server) || !mail_file) return false;

  const char* login[] = {user, ":", password};
  if (!append_curl_config_line(&out->config, "user", login, 3) ||
      !finish_curl_config(&out->config, curl)) {
    return false;
  }

  int n = put_curl_start(out->argv, out->program, kMailWriteOut, curl);
  out->argv[n++] = server;
  out->argv[n++] = "--mail-from";
  out->argv[n++] = sender ? sender : "";
  out->argv[n++] = "--ssl-reqd";
  out->argv[n++] = "--config";
  out->argv[n++] = "-";
  out->argv[n++] = "-T";
  out->argv[n++] = mail_file;

  split_mail_recipients(recipients, &out->recipients);
  for (int i = 0; i < out->recipients.count; ++i) {
    out->argv[n++] = "--mail-rcpt";
    out->argv[n++] = out->recipients.address[i];
  }
  out->argv[n] = nullptr;
  return true;
}

void split_mail_recipients(const char* list, MailRecipients* out) {
  out->count = 0;
  out->refused_count = 0;
  const char* whole = list ? list : "";
  out->text.assign(whole);
  // Whether the cut, if any, goes through the last piece.
  const size_t kept = out->text.size();
  const char* after = whole + kept;
  while (*after && is_space_byte(*after)) ++after;
  const bool last_cut = kept < std::strlen(whole) && *after != ',' && *after != '\0';
  char* p = out->text.data();
  while (*p) {
    if (*p == ',') {
      ++p;
      continue;
    }
    char* piece = p;
    while (*p && *p != ',') ++p;
    const bool last = *p == '\0';
    if (*p == ',') *p++ = '\0';  // p now starts the rest of the list
    while (*piece && is_space_byte(*piece)) ++piece;
    size_t len = std::strlen(piece);
    while (len > 0 && is_space_byte(piece[len - 1])) piece[--len] = '\0';
    if (len == 0 || (last && last_cut)) continue;
    bool control = false;
    for (const char* c = piece; *c; ++c) {
      control = control || static_cast<unsigned char>(*c) < 32 || *c == 0x7F;
    }
    if (control) {
      if (out->refused_count < kMaxMailRecipients) out->refused[out->refused_count++] = piece;
    } else if (out->count < kMaxMailRecipients) {
      out->address[out->count++] = piece;
    }
  }
}

void escape_control_bytes(const char* text, char* out, size_t cap) {
  static const char kHex[] = "0123456789ABCDEF";
  if (cap == 0) return;
  size_t n = 0;
  for (const char* s = text ? text : ""; *s; ++s) {
    const unsigned char c = static_cast<unsigned char>(*s);
    char shown[5] = {static_cast<char>(c), '\0'};
    if (c == '\r' || c == '\n' || c == '\t') {
      shown[0] = '\\';
      shown[1] = c == '\r' ? 'r' : c == '\n' ? 'n' : 't';
      shown[2] = '\0';
    } else if (c < 32 || c == 0x7F) {
      shown[0] = '\\';
      shown[1] = 'x';
      shown[2] = kHex[c >> 4];
      shown[3] = kHex[c & 0x0F];
      shown[4] = '\0';
    }
    const size_t width = std::strlen(shown);
    if (n + width >= cap) break;
    std::memcpy(out + n, shown, width);
    n += width;
  }
  out[n] = '\0';
}

Command TelegramRequest::command() const { return make_command(argv, config.c_str()); }

bool build_telegram_request(const char* token, const char* encoded_chat, const char* encoded_text,
                            const char* reply_file, TelegramRequest* out,
                            const CurlSettings& curl) {
  out->argv[0] = nullptr;
  out->config.clear();
  if (!reply_file) return false;
  char placed_token[3 * kTelegramTokenRoom + 1];
  if (!encode_path_segment(token, placed_token, sizeof placed_token)) return false;
  const char* address[] = {kTelegramApiBase, "/bot",   placed_token, "/sendMessage?chat_id=",
                           encoded_chat,     "&text=", encoded_text};
  if (!append_curl_config_line(&out->config, "url", address, 7) ||
      !finish_curl_config(&out->config, curl)) {
    return false;
  }
  int n = put_curl_start(out->argv, out->program, kHttpWriteOut, curl);
  out->argv[n++] = "-o";
  out->argv[n++] = reply_file;
  out->argv[n++] = "--config";
  out->argv[n++] = "-";
  out->argv[n] = nullptr;
  return true;
}

Command TeamsRequest::command() const { return make_command(argv, config.c_str()); }

bool build_teams_request(const char* webhook, const char* card_file, const char* reply_file,
                         TeamsRequest* out, const CurlSettings& curl) {
  out->argv[0] = nullptr;
  out->config.clear();
  out->data_arg.clear();
  if (!webhook || webhook[0] == '\0' || looks_like_option(webhook) || !card_file || !reply_file) {
    return false;
  }
  if (std::strlen(card_file) + 1 > out->data_arg.max_length()) return false;
  out->data_arg.format("@%s", card_file);
  const char* address[] = {webhook};
  if (!append_curl_config_line(&out->config, "url", address, 1) ||
      !finish_curl_config(&out->config, curl)) {
    return false;
  }
  int n = put_curl_start(out->argv, out->program, kHttpWriteOut, curl);
  out->argv[n++] = "-o";
  out->argv[n++] = reply_file;
  out->argv[n++] = "-H";
  out->argv[n++] = kTeamsContentType;
  out->argv[n++] = "--data-binary";
  out->argv[n++] = out->data_arg.c_str();
  out->argv[n++] = "--config";
  out->argv[n++] = "-";
  out->argv[n] = nullptr;
  return true;
}

}  // namespace lw
