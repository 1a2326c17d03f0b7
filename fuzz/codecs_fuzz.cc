// Round trips and bounds of the encoders behind the alerts and the stored
// secrets. The first input byte picks the codec and a buffer size; the rest
// is the text.
//
// Properties:
// - a protected form decodes back to the first 255 bytes of its value, and
//   any stored value decodes without overrunning its buffer;
// - percent-encoding and JSON escaping stay within their buffer, decode
//   back to a prefix of the input, and never end in a cut escape;
// - a curl config line quotes back to exactly its value, or is refused
//   whole with the text left unchanged;
// - a mail request's recipients are non-empty, comma-free, trimmed, free of
//   control bytes and the same as the To: header's split.

#include <cstring>
#include <string>

#include "config/protect.h"
#include "config/recipients.h"
#include "fuzz_util.h"
#include "notify/email.h"
#include "notify/teams.h"
#include "notify/telegram.h"
#include "support/transfer.h"

namespace {

using lw::fuzz::require;

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

bool is_prefix(const std::string& part, const std::string& whole) {
  return part.size() <= whole.size() && whole.compare(0, part.size(), part) == 0;
}

void protect_round_trip(const std::string& text) {
  if (text.empty()) return;  // an empty secret is never stored protected
  char form[lw::kProtectedFormSize];
  const size_t len = lw::make_protected_form(text.c_str(), form, sizeof form);
  require(len > 0 && len < sizeof form && std::strlen(form) == len, "protected form fits");
  char plain[lw::kProtectMaxPlain + 1];
  require(lw::decode_protected_value(form, plain, sizeof plain) == 1, "own form decodes");
  require(text.compare(0, lw::kProtectMaxPlain, plain) == 0 &&
              std::strlen(plain) == std::min(text.size(), lw::kProtectMaxPlain),
          "decode(protect(x)) is x cut to 255");
  // Any stored text: never more than the buffer, always terminated.
  char small[128];
  lw::decode_protected_value(text.c_str(), small, sizeof small);
  require(lw::fuzz::terminated_within(small, sizeof small), "decoded value terminated");
}

void percent_round_trip(const std::string& text, size_t cap) {
  std::string out(cap, '\x7f');
  const size_t len = lw::percent_encode(text.c_str(), out.data(), cap);
  require(len < cap && out[len] == '\0', "percent output within buffer");
  std::string decoded;
  for (size_t i = 0; i < len; ++i) {
    const char c = out[i];
    if (c == '%') {
      require(i + 2 < len && hex_value(out[i + 1]) >= 0 && hex_value(out[i + 2]) >= 0 &&
                  !(out[i + 1] >= 'a' && out[i + 1] <= 'f') &&
                  !(out[i + 2] >= 'a' && out[i + 2] <= 'f'),
              "whole upper-case escape");
      decoded += static_cast<char>(hex_value(out[i + 1]) * 16 + hex_value(out[i + 2]));
      i += 2;
    } else {
      const bool unreserved = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                              (c >= '0' && c <= '9') || c == '-' || c == '.' || c == '_' ||
                              c == '~';
      require(unreserved, "only unreserved bytes unescaped");
      decoded += c;
    }
  }
  require(is_prefix(decoded, text), "percent decode is a prefix of the input");
}

void json_round_trip(const std::string& text, size_t cap) {
  std::string out(cap, '\x7f');
  const size_t len = lw::json_escape(text.c_str(), out.data(), cap);
  require(len < cap && out[len] == '\0', "json output within buffer");
  std::string decoded;
  for (size_t i = 0; i < len; ++i) {
    const unsigned char c = static_cast<unsigned char>(out[i]);
    require(c >= 32, "no raw control byte in a JSON string");
    if (c == '"') require(false, "no bare quote in a JSON string");
    if (c != '\\') {
      decoded += static_cast<char>(c);
      continue;
    }
    require(i + 1 < len, "no cut escape at the end");
    const char e = out[++i];
    if (e == 'n') {
      decoded += '\n';
    } else if (e == 'r') {
      decoded += '\r';
    } else if (e == 't') {
      decoded += '\t';
    } else if (e == '\\' || e == '"') {
      decoded += e;
    } else {
      require(e == 'u' && i + 4 < len, "whole \\u escape");
      int value = 0;
      for (int k = 1; k <= 4; ++k) {
        require(hex_value(out[i + k]) >= 0, "hex digits in \\u escape");
        value = value * 16 + hex_value(out[i + k]);
      }
      decoded += static_cast<char>(value);
      i += 4;
    }
  }
  require(is_prefix(decoded, text), "json decode is a prefix of the input");
}

void curl_config_round_trip(const std::string& text, size_t cap) {
  // The text is split into up to three parts at arbitrary places.
  const size_t a = text.size() / 3;
  const size_t b = 2 * text.size() / 3;
  const std::string p0 = text.substr(0, a), p1 = text.substr(a, b - a), p2 = text.substr(b);
  const char* parts[] = {p0.c_str(), p1.c_str(), p2.c_str()};
  std::string buf(cap, '\0');
  std::memcpy(buf.data(), "x = \"1\"\n", cap > 8 ? 9 : 0);
  const std::string before(buf.c_str());
  const bool ok = lw::append_curl_config_line(buf.data(), cap, "url", parts, 3);
  const std::string after(buf.c_str());
  if (!ok) {
    require(after == before, "a refused line leaves the text unchanged");
    return;
  }
  require(is_prefix(before, after) && after.size() < cap, "line appended within buffer");
  const std::string line = after.substr(before.size());
  require(line.compare(0, 7, "url = \"") == 0 && line.size() >= 9 &&
              line.compare(line.size() - 2, 2, "\"\n") == 0,
          "line shape");
  const std::string quoted = line.substr(7, line.size() - 9);
  std::string value;
  for (size_t i = 0; i < quoted.size(); ++i) {
    char c = quoted[i];
    require(c != '\n' && c != '\r' && c != '"', "no raw line end or quote inside");
    if (c == '\\') {
      require(i + 1 < quoted.size(), "no cut escape");
      const char e = quoted[++i];
      c = e == 'n' ? '\n' : e == 'r' ? '\r' : e == 't' ? '\t' : e;
      require(e == 'n' || e == 'r' || e == 't' || e == '\\' || e == '"', "known escape");
    }
    value += c;
  }
  require(value == p0 + p1 + p2, "config value quotes back exactly");
}

void mail_recipients(const std::string& text) {
  lw::MailRequest request;
  if (!lw::build_mail_request("smtp://mail.example:587", "a@b", "user", "pw", text.c_str(),
                              "mailtext.1.1.txt", &request)) {
    require(false, "a usable server builds a request");
  }
  int count = 0;
  for (int i = 0; request.argv[i]; ++i) {
    if (std::strcmp(request.argv[i], "--mail-rcpt") != 0) continue;
    const char* rcpt = request.argv[++i];
    require(rcpt && rcpt[0] != '\0', "recipient not empty");
    require(std::strchr(rcpt, ',') == nullptr, "recipient holds no comma");
    const size_t n = std::strlen(rcpt);
    const char first = rcpt[0], last = rcpt[n - 1];
    require(!(first == ' ' || first == '\t' || first == '\n' || first == '\v' || first == '\f' ||
              first == '\r'),
            "no leading blank");
    require(!(last == ' ' || last == '\t' || last == '\r' || last == '\n' || last == '\v' ||
              last == '\f'),
            "no trailing blank");
    for (const char* c = rcpt; *c; ++c) {
      require(static_cast<unsigned char>(*c) >= 32 && *c != 0x7F, "no control byte");
    }
    // The To: header is joined from the same split: the same addresses in the same order.
    lw::MailRecipients split;
    lw::split_mail_recipients(text.c_str(), &split);
    require(count < split.count && std::strcmp(split.address[count], rcpt) == 0,
            "envelope and header list the same addresses");
    ++count;
  }
  require(count == request.recipients.count && count <= lw::kMaxMailRecipients, "count kept");
  char shown[4 * lw::kMailRecipientsSize];
  lw::escape_control_bytes(text.c_str(), shown, sizeof shown);
  for (const char* c = shown; *c; ++c) {
    require(static_cast<unsigned char>(*c) >= 32 && *c != 0x7F,
            "escaped text holds no control byte");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const uint8_t selector = data[0];
  // Texts are NUL-terminated in the system: cut at the first NUL.
  std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
  text = text.c_str();
  if (text.size() > 40000) return 0;
  const size_t cap = 1 + (static_cast<size_t>(selector >> 3) * 37) % 9000;
  switch (selector % 5) {
    case 0:
      protect_round_trip(text);
      break;
    case 1:
      percent_round_trip(text, cap);
      break;
    case 2:
      json_round_trip(text, cap);
      break;
    case 3:
      curl_config_round_trip(text, cap);
      break;
    default:
      mail_recipients(text);
  }
  return 0;
}
