#include "probe/cert_check.h"

#include <cstring>
#include <memory>

#include "platform/platform.h"
#include "support/runner.h"

namespace lw {

namespace {

constexpr const char kChainWriteOut[] = "%{num_certs}\\n%{certs}";

// The last line of curl's error text in `output` ("curl: (60) SSL
// certificate problem: ..."), without "curl: (N) ".
void error_reason(const char* output, FixedText<256>* out) {
  const char* line = std::strstr(output, "curl: (");
  for (const char* next = line; next; next = std::strstr(next + 1, "curl: (")) line = next;
  if (!line) {
    out->clear();
    return;
  }
  const char* close = std::strstr(line, ") ");
  const char* text = close ? close + 2 : line;
  size_t n = 0;
  while (text[n] && text[n] != '\n' && text[n] != '\r') ++n;
  if (n > out->max_length()) n = out->max_length();
  std::memcpy(out->data(), text, n);
  out->data()[n] = '\0';
}

// One curl call for `target`; `trust` leaves out "-k" and writes nothing
// but curl's error text.
int run_curl(const CertTarget& target, const CurlProgram& program, const CurlSettings& curl,
             bool trust, char* out) {
  FixedText<320> url;
  cert_url(target, &url);
  const char* argv[24];
  int n = 0;
  argv[n++] = program.path.c_str();
  if (!trust) argv[n++] = "-k";
  argv[n++] = "-s";
  argv[n++] = "-o";
  argv[n++] = platform::kNullDevice;
  argv[n++] = "--max-time";
  argv[n++] = kCertMaxTime;
  if (!trust) {
    argv[n++] = "-w";
    argv[n++] = kChainWriteOut;
  }
  if (target.tls != TlsMode::kDirect) argv[n++] = "--ssl-reqd";
  if (trust) n += put_curl_tls_switches(argv + n, curl);
  argv[n++] = "--config";
  argv[n++] = "-";
  argv[n++] = url.c_str();
  argv[n] = nullptr;
  FixedText<kCurlSettingSize * 4 + kCurlConfigExtra> config;
  CurlSettings used = curl;
  if (target.tls != TlsMode::kDirect) used.proxy = used.no_proxy = nullptr;
  if (!finish_curl_config(&config, used)) config.assign("show-error\n");
  return run_command_capture(make_command(argv, config.c_str()), out, kCertRunLimitMs);
}

}  // namespace

void cert_url(const CertTarget& target, FixedText<320>* out) {
  static const char* const kSchemes[] = {"https", "https", "smtp", "imap", "pop3", "ftp"};
  const int mode = static_cast<int>(target.tls);
  const char* scheme = mode >= 0 && mode <= 5 ? kSchemes[mode] : "https";
  const char* host = target.host.c_str();
  const bool brackets = std::strchr(host, ':') != nullptr && host[0] != '[';
  out->format("%s://%s%s%s:%s/", scheme, brackets ? "[" : "", host, brackets ? "]" : "",
              target.port.c_str());
}

CertCheckResult check_certificate(const CertTarget& target, const CurlProgram& program,
                                  const CurlSettings& curl) {
  CertCheckResult result;
  auto out = std::make_unique<char[]>(kCaptureBufferSize);
  result.curl_code = run_curl(target, program, curl, false, out.get());
  result.read = parse_cert_chain(out.get(), std::strlen(out.get()), &result.chain);
  if (!result.read || platform::stop_requested()) return result;
  const int code = run_curl(target, program, curl, true, out.get());
  if (code == 35 || code == 51 || code == 60) {
    if (!names_revocation_failure(out.get())) {
      result.trust = -1;
      error_reason(out.get(), &result.reason);
    }
  } else if (code >= 0 && code != 6 && code != 7 && code != 28 && code != 56) {
    result.trust = 1;  // past the handshake: the server's answer does not matter
  }
  return result;
}

bool find_curl_version(const CurlProgram& program, int32_t* version, FixedText<32>* text) {
  const char* argv[] = {program.path.c_str(), "-V", nullptr};
  auto out = std::make_unique<char[]>(kCaptureBufferSize);
  Command command;
  command.argv = argv;
  if (run_command_capture(command, out.get(), kCurlVersionTimeLimitMs) != 0) return false;
  return parse_curl_version(out.get(), version, text);
}

}  // namespace lw
