// What curl tells about a server's certificate chain: its "-w" text of
// "%{num_certs}\n%{certs}" read into a count, the earliest expiry and that
// certificate's subject name; and the version in curl's "--version" line.
// Pure functions: no I/O.

#ifndef LINKWATCH_PROBE_CERT_TEXT_H_
#define LINKWATCH_PROBE_CERT_TEXT_H_

#include <cstddef>
#include <cstdint>

#include "support/fixed_text.h"

namespace lw {

// Bytes of a subject common name kept, terminator included.
constexpr size_t kCertNameSize = 128;

struct CertChain {
  int32_t count = 0;                    // the first line: certificates curl saw
  int32_t dates = 0;                    // "Expire date" lines that could be read
  int64_t expires = 0;                  // the earliest of them, seconds since 1970 UTC; 0: none
  FixedText<kCertNameSize> subject_cn;  // CN of the certificate that expires first; "": none
};

// Reads curl's text: a line with the number of certificates (lines before
// it, such as curl's error line, are passed over), then per
// certificate a "Subject:" line and an "Expire date:" line among others.
// Both date forms count: "Dec 27 19:27:41 2026 GMT" (OpenSSL builds, day
// padded with a blank) and "2026-12-27 19:27:41 GMT" (curl's own decoder).
// Line ends "\n" or "\r\n". Returns false when the count is missing or 0,
// or no expiry could be read; `chain` then holds what was read. A text cut
// short still gives the earliest of the certificates it holds.
bool parse_cert_chain(const char* text, size_t size, CertChain* chain);

// Seconds since 1970 UTC of a date in either form above; false for
// anything else (out-of-range fields included).
bool parse_cert_date(const char* text, size_t size, int64_t* seconds);

// The version of the first line of "curl --version" ("curl 7.88.1 (...)")
// as major * 10000 + minor * 100 + patch into `version` and as text
// ("7.88.1") into `text`; false when the line does not start that way.
bool parse_curl_version(const char* text, int32_t* version, FixedText<32>* text_out);

// The first curl that prints a certificate chain: 7.88.0.
constexpr int32_t kCurlCertChainVersion = 78800;

}  // namespace lw

#endif  // LINKWATCH_PROBE_CERT_TEXT_H_
