#include "notify/oauth2_token.h"

#include <cstring>
#include <mutex>

#include "support/clock.h"
#include "support/output.h"

namespace lw {

namespace {

constexpr int kMaxJsonDepth = 32;

// Reads JSON from a bounded text; every step stays inside [p, end).
class JsonReader {
 public:
  JsonReader(const char* text, size_t length) : p_(text), end_(text + length) {}

  void skip_blanks() {
    while (p_ < end_ && (*p_ == ' ' || *p_ == '\t' || *p_ == '\r' || *p_ == '\n')) ++p_;
  }
  bool take(char c) {
    skip_blanks();
    if (p_ < end_ && *p_ == c) {
      ++p_;
      return true;
    }
    return false;
  }
  bool at(char c) {
    skip_blanks();
    return p_ < end_ && *p_ == c;
  }

  // Reads a string (the opening quote next) into `out` of `cap` bytes,
  // escapes decoded; `*cut` tells that it did not fit. False when the text
  // ends first or an escape is malformed.
  bool string(char* out, size_t cap, bool* cut) {
    const bool ok = read_string(out, cap, cut);
    if (!ok && cap > 0) out[0] = '\0';  // a string cut short is no text
    return ok;
  }

  // string() without the clearing on failure.
  bool read_string(char* out, size_t cap, bool* cut) {
    size_t n = 0;
    *cut = false;
    if (!take('"')) return false;
    while (p_ < end_ && *p_ != '"') {
      unsigned long code = static_cast<unsigned char>(*p_++);
      if (code == '\\') {
        if (p_ >= end_) return false;
        const char e = *p_++;
        switch (e) {
          case 'n':
            code = '\n';
            break;
          case 'r':
            code = '\r';
            break;
          case 't':
            code = '\t';
            break;
          case 'b':
            code = '\b';
            break;
          case 'f':
            code = '\f';
            break;
          case '"':
          case '\\':
          case '/':
            code = static_cast<unsigned char>(e);
            break;
          case 'u':
            if (!hex4(&code)) return false;
            if (code >= 0xD800 && code <= 0xDBFF) {
              unsigned long low = 0;
              const char* back = p_;
              if (end_ - p_ >= 6 && p_[0] == '\\' && p_[1] == 'u' && (p_ += 2, hex4(&low)) &&
                  low >= 0xDC00 && low <= 0xDFFF) {
                code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
              } else {
                p_ = back;
                code = 0xFFFD;
              }
            } else if (code >= 0xDC00 && code <= 0xDFFF) {
              code = 0xFFFD;
            }
            put_utf8(code, out, cap, &n, cut);
            continue;
          default:
            return false;
        }
      }
      put_byte(static_cast<char>(code), out, cap, &n, cut);
    }
    if (p_ >= end_) return false;
    ++p_;  // the closing quote
    if (cap > 0) out[n] = '\0';
    return true;
  }

  // Reads digits (at most 9) as a number; false when there is none.
  bool number(int64_t* value) {
    skip_blanks();
    int64_t n = 0;
    int digits = 0;
    while (p_ < end_ && *p_ >= '0' && *p_ <= '9') {
      if (digits++ < 9) n = n * 10 + (*p_ - '0');
      ++p_;
    }
    if (digits == 0) return false;
    *value = digits <= 9 ? n : -1;  // a longer number is not taken
    return skip_number_rest();
  }

  // Skips one value of any kind, nested ones up to kMaxJsonDepth.
  bool skip_value(int depth) {
    skip_blanks();
    if (p_ >= end_ || depth > kMaxJsonDepth) return false;
    if (*p_ == '"') {
      char none[1];
      bool cut = false;
      return string(none, 0, &cut);
    }
    if (*p_ == '{' || *p_ == '[') {
      const char close = *p_ == '{' ? '}' : ']';
      ++p_;
      if (take(close)) return true;
      do {
        if (close == '}') {
          char none[1];
          bool cut = false;
          if (!string(none, 0, &cut) || !take(':')) return false;
        }
        if (!skip_value(depth + 1)) return false;
      } while (take(','));
      return take(close);
    }
    const char* start = p_;
    while (p_ < end_ && (std::strchr("+-.eE", *p_) || (*p_ >= '0' && *p_ <= '9') ||
                         (*p_ >= 'a' && *p_ <= 'z'))) {
      ++p_;
    }
    return p_ > start;
  }

 private:
  bool hex4(unsigned long* code) {
    if (end_ - p_ < 4) return false;
    unsigned long v = 0;
    for (int i = 0; i < 4; ++i) {
      const int d = hex_digit_value(*p_++);
      if (d < 0) return false;
      v = v * 16 + static_cast<unsigned long>(d);
    }
    *code = v;
    return true;
  }
  bool skip_number_rest() {
    while (p_ < end_ && (std::strchr("+-.eE", *p_) || (*p_ >= '0' && *p_ <= '9'))) ++p_;
    return true;
  }
  static void put_byte(char c, char* out, size_t cap, size_t* n, bool* cut) {
    if (*n + 1 < cap) {
      out[(*n)++] = c;
    } else {
      *cut = true;
    }
  }
  static void put_utf8(unsigned long code, char* out, size_t cap, size_t* n, bool* cut) {
    char bytes[4];
    size_t count;
    if (code < 0x80) {
      bytes[0] = static_cast<char>(code);
      count = 1;
    } else if (code < 0x800) {
      bytes[0] = static_cast<char>(0xC0 | (code >> 6));
      bytes[1] = static_cast<char>(0x80 | (code & 0x3F));
      count = 2;
    } else if (code < 0x10000) {
      bytes[0] = static_cast<char>(0xE0 | (code >> 12));
      bytes[1] = static_cast<char>(0x80 | ((code >> 6) & 0x3F));
      bytes[2] = static_cast<char>(0x80 | (code & 0x3F));
      count = 3;
    } else {
      bytes[0] = static_cast<char>(0xF0 | (code >> 18));
      bytes[1] = static_cast<char>(0x80 | ((code >> 12) & 0x3F));
      bytes[2] = static_cast<char>(0x80 | ((code >> 6) & 0x3F));
      bytes[3] = static_cast<char>(0x80 | (code & 0x3F));
      count = 4;
    }
    if (*n + count >= cap) {  // a character is never cut in half
      *cut = true;
      return;
    }
    for (size_t i = 0; i < count; ++i) out[(*n)++] = bytes[i];
  }

  const char* p_;
  const char* end_;
};

bool bearer_character(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
         (c != '\0' && std::strchr("-._~+/=", c));
}

// Control bytes become spaces, so that a text stays on its log line.
template <size_t N>
void one_line(FixedText<N>* text) {
  for (char* p = text->data(); *p; ++p) {
    if (static_cast<unsigned char>(*p) < 32 || *p == 0x7F) *p = ' ';
  }
}

// Overwrites a buffer that held a secret.
void wipe(char* buffer, size_t size) {
  volatile char* p = buffer;
  for (size_t i = 0; i < size; ++i) p[i] = '\0';
}

template <size_t N>
bool append_form_field(FixedText<N>* out, const char* name, const char* value) {
  static const char kHex[] = "0123456789ABCDEF";
  char* buffer = out->data();
  size_t n = out->size();
  const size_t need = n + (n > 0 ? 1 : 0) + std::strlen(name) + 1;
  if (need >= N) return false;
  if (n > 0) buffer[n++] = '&';
  for (const char* s = name; *s; ++s) buffer[n++] = *s;
  buffer[n++] = '=';
  for (const unsigned char* s = reinterpret_cast<const unsigned char*>(value); *s; ++s) {
    const bool plain = (*s >= 'a' && *s <= 'z') || (*s >= 'A' && *s <= 'Z') ||
                       (*s >= '0' && *s <= '9') || std::strchr("-._~", *s);
    if (n + (plain ? 1 : 3) >= N) {
      buffer[0] = '\0';
      return false;
    }
    if (plain) {
      buffer[n++] = static_cast<char>(*s);
    } else {
      buffer[n++] = '%';
      buffer[n++] = kHex[*s >> 4];
      buffer[n++] = kHex[*s & 0x0F];
    }
  }
  buffer[n] = '\0';
  return true;
}

// The kept token and what it was fetched with.
struct TokenCache {
  std::mutex mutex;
  FixedText<kMaxAccessTokenLength + 1> token;
  int64_t renew_at = 0;      // the clock's second from which it is fetched anew
  uint64_t fingerprint = 0;  // of the request's settings
};

TokenCache& cache() {
  static TokenCache kept;
  return kept;
}

uint64_t settings_fingerprint(const NotifySettings& s) {
  uint64_t hash = 14695981039346656037ull;  // FNV-1a
  for (const char* text :
       {s.oauth2_token_url.c_str(), s.oauth2_client_id.c_str(), s.oauth2_scope.c_str(),
        s.oauth2_client_secret.c_str(), s.oauth2_refresh_token.c_str()}) {
    for (const char* p = text;; ++p) {
      hash = (hash ^ static_cast<unsigned char>(*p)) * 1099511628211ull;
      if (*p == '\0') break;
    }
  }
  return hash;
}

// Runs the request; the token into `reply->access_token` or the failure into
// `outcome`. True when a usable token came.
// REQUIRES: the token cache's lock is held (the answer buffer is shared).
bool fetch_token(const NotifySettings& s, TokenReply* reply, SendOutcome* outcome) {
  TokenRequest request;
  const bool usable = build_token_request(s, &request);
  static char output[kCaptureBufferSize];  // not thread_local: 8 KB in every thread's TLS
  RunStatus run = RunStatus::kStartFailed;
  int rc = -1;
  output[0] = '\0';
  if (usable) rc = run_command_capture(request.command(), output, kCurlRunLimitMs, &run);
  wipe(request.config.data(), request.config.capacity());
  // The answer comes before the line feed of the write-out.
  const char* codes = std::strrchr(output, '\n');
  const size_t body_length = codes ? static_cast<size_t>(codes - output) : 0;
  classify_http(rc, run, output, outcome);
  outcome->token_request = true;
  if (run == RunStatus::kExited && rc == 0) parse_token_reply(output, body_length, reply);
  wipe(output, sizeof output);
  if (outcome->delivered && !reply->access_token.empty()) return true;
  outcome->delivered = false;
  if (!reply->error.empty()) {
    outcome->reply.format("%s%s%s", reply->error.c_str(),
                          reply->error_description.empty() ? "" : ": ",
                          reply->error_description.c_str());
  } else if (rc == 0 && outcome->status >= 200 && outcome->status < 300) {
    outcome->reply.assign("no usable access_token in the answer");
  }
  return false;
}

}  // namespace

bool parse_token_reply(const char* text, size_t length, TokenReply* out) {
  *out = TokenReply();
  JsonReader json(text, length);
  if (!json.take('{')) return false;
  if (json.take('}')) return true;
  do {
    char key[32];
    bool cut = false;
    if (!json.string(key, sizeof key, &cut) || !json.take(':')) return false;
    const bool known = !cut;
    if (known && std::strcmp(key, "access_token") == 0 && json.at('"')) {
      if (!json.string(out->access_token.data(), out->access_token.capacity(), &cut)) {
        out->access_token.clear();
        return false;
      }
      bool usable = !cut;
      for (const char* p = out->access_token.c_str(); usable && *p; ++p) {
        usable = bearer_character(*p);
      }
      if (!usable) out->access_token.clear();
    } else if (known && std::strcmp(key, "expires_in") == 0 && json.at('"')) {
      char digits[16];
      if (!json.string(digits, sizeof digits, &cut)) return false;
      JsonReader inner(digits, std::strlen(digits));
      int64_t seconds = -1;
      if (!cut && inner.number(&seconds)) out->expires_in = seconds;
    } else if (known && std::strcmp(key, "expires_in") == 0 && !json.at('-')) {
      int64_t seconds = -1;
      if (json.number(&seconds)) {
        out->expires_in = seconds;
      } else if (!json.skip_value(1)) {
        return false;
      }
    } else if (known && std::strcmp(key, "error") == 0 && json.at('"')) {
      if (!json.string(out->error.data(), out->error.capacity(), &cut)) return false;
      one_line(&out->error);
    } else if (known && std::strcmp(key, "error_description") == 0 && json.at('"')) {
      if (!json.string(out->error_description.data(), out->error_description.capacity(), &cut)) {
        return false;
      }
      one_line(&out->error_description);
    } else if (!json.skip_value(1)) {
      return false;
    }
  } while (json.take(','));
  return json.take('}');
}

bool build_token_form(const NotifySettings& s, FixedText<kTokenFormSize>* out) {
  out->clear();
  const bool refresh = !s.oauth2_refresh_token.empty();
  bool ok =
      append_form_field(out, "grant_type", refresh ? "refresh_token" : "client_credentials") &&
      append_form_field(out, "client_id", s.oauth2_client_id.c_str());
  if (ok && !s.oauth2_client_secret.empty()) {
    ok = append_form_field(out, "client_secret", s.oauth2_client_secret.c_str());
  }
  if (ok && refresh) ok = append_form_field(out, "refresh_token", s.oauth2_refresh_token.c_str());
  if (ok && !s.oauth2_scope.empty()) ok = append_form_field(out, "scope", s.oauth2_scope.c_str());
  if (!ok) out->clear();
  return ok;
}

Command TokenRequest::command() const { return make_command(argv, config.c_str()); }

bool build_token_request(const NotifySettings& s, TokenRequest* out) {
  out->argv[0] = nullptr;
  out->config.clear();
  if (!token_url_usable(s.oauth2_token_url.c_str())) return false;
  FixedText<kTokenFormSize> form;
  const char* url = s.oauth2_token_url.c_str();
  const char* body = form.c_str();
  const CurlSettings curl = curl_settings(s);
  const bool ok = build_token_form(s, &form) &&
                  append_curl_config_line(&out->config, "url", &url, 1) &&
                  append_curl_config_line(&out->config, "data-raw", &body, 1) &&
                  finish_curl_config(&out->config, curl);
  wipe(form.data(), form.capacity());
  if (!ok) {
    wipe(out->config.data(), out->config.capacity());
    out->config.clear();
    return false;
  }
  int n = put_curl_start(out->argv, out->program, kTokenWriteOut, curl);
  out->argv[n++] = "--config";
  out->argv[n++] = "-";
  out->argv[n] = nullptr;
  return true;
}

TokenSource get_mail_token(const NotifySettings& s, char* token, size_t cap, SendOutcome* outcome) {
  SendOutcome local;
  if (!outcome) outcome = &local;
  if (cap > 0) token[0] = '\0';
  TokenCache& kept = cache();
  std::lock_guard<std::mutex> hold(kept.mutex);
  const uint64_t fingerprint = settings_fingerprint(s);
  if (!kept.token.empty() && kept.fingerprint == fingerprint && now_seconds() < kept.renew_at) {
    copy_bounded(token, cap, kept.token.c_str());
    return TokenSource::kCache;
  }
  wipe(kept.token.data(), kept.token.capacity());
  kept.token.clear();
  static TokenReply reply;  // under the lock; too big for a thread's stack
  const bool fetched = fetch_token(s, &reply, outcome);
  if (fetched && reply.access_token.size() < cap) {
    copy_bounded(token, cap, reply.access_token.c_str());
    if (reply.expires_in >= 0) {
      kept.token.assign(reply.access_token.c_str());
      kept.fingerprint = fingerprint;
      kept.renew_at = now_seconds() + reply.expires_in - kTokenRenewMarginSeconds;
    }
  }
  wipe(reply.access_token.data(), reply.access_token.capacity());
  if (fetched) return TokenSource::kFetched;
  char line[640];
  format_outcome_line(*outcome, Channel::kEmail, line, sizeof line);
  log_event("%s", line);
  return TokenSource::kFailed;
}

void forget_mail_token() {
  TokenCache& kept = cache();
  std::lock_guard<std::mutex> hold(kept.mutex);
  wipe(kept.token.data(), kept.token.capacity());
  kept.token.clear();
  kept.renew_at = 0;
}

}  // namespace lw
