// The certificate check of one service through curl (support/runner): one
// call that reads the chain whatever it is ("-k"), one that asks whether it
// is trusted for the host name. The program stays free of a TLS library.

#ifndef LINKWATCH_PROBE_CERT_CHECK_H_
#define LINKWATCH_PROBE_CERT_CHECK_H_

#include <cstdint>

#include "config/host_config.h"
#include "probe/cert_text.h"
#include "support/fixed_text.h"
#include "support/transfer.h"

namespace lw {

// Seconds curl may take per call ("--max-time"); the runner ends a call
// still running kCertRunLimitMs after its start.
constexpr const char kCertMaxTime[] = "15";
constexpr uint32_t kCertRunLimitMs = (seconds_in(kCertMaxTime) + 15) * 1000;

// What to check: the host and port as configured, the TLS mode (not kNone).
struct CertTarget {
  FixedText<128> host;
  FixedText<16> port;
  TlsMode tls = TlsMode::kDirect;
};

struct CertCheckResult {
  bool read = false;  // the chain was read
  CertChain chain;
  int curl_code = -1;  // of the reading call
  // 1 trusted, -1 not trusted (reason: curl's error text), 0 not known.
  int32_t trust = 0;
  FixedText<256> reason;
};

// The address curl is given: "https://host:port/" for kDirect, else
// "smtp://", "imap://", "pop3://" or "ftp://" (an IPv6 address in brackets).
void cert_url(const CertTarget& target, FixedText<320>* out);

// Runs both calls for `target` with `curl` (cacert for the trust call,
// the revocation switch; the proxy for kDirect only) and reads the chain.
// The reading call counts when curl read a chain, whatever its exit code
// (a port that does not speak HTTP ends in 52). The trust call runs only
// when the chain was read; curl's verification failures (codes 35, 51, 60)
// make it -1, other failures leave it 0. Every call is bounded by
// kCertRunLimitMs and a stop request. A chain whose text passes the
// capture's kCaptureMaxText characters is read as far as it fits (the
// server's own certificate comes first).
CertCheckResult check_certificate(const CertTarget& target, const CurlProgram& program,
                                  const CurlSettings& curl);

// The version of the curl in use ("curl -V", bounded by
// kCurlVersionTimeLimitMs): true with the version number and text; false
// when curl cannot be run or says no version.
bool find_curl_version(const CurlProgram& program, int32_t* version, FixedText<32>* text);

}  // namespace lw

#endif  // LINKWATCH_PROBE_CERT_CHECK_H_
