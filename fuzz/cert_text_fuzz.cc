// The reader of curl's certificate chain text (probe/cert_text.h) over any
// bytes, given without a terminator in a buffer of exactly their length.
//
// Properties:
// - the reading stays within the given bytes (AddressSanitizer sees a read
//   past the heap copy);
// - the subject name is terminated within its room;
// - a chain read has a count above 0 and at least one date, and its expiry
//   is a date a certificate can carry (1950..9999);
// - the earliest expiry never grows when more certificates follow;
// - reading is a function of the bytes.

#include <cstring>
#include <memory>
#include <string>

#include "fuzz_util.h"
#include "probe/cert_text.h"

namespace {

using lw::fuzz::require;

constexpr int64_t kYear1950 = -631152000;
constexpr int64_t kYear10000 = 253402300800;

lw::CertChain first, second;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  lw::fuzz::enter_private_folder("cert_text");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::unique_ptr<char[]> exact(new char[size ? size : 1]);
  if (size) std::memcpy(exact.get(), data, size);
  const bool ok = lw::parse_cert_chain(exact.get(), size, &first);
  require(lw::fuzz::terminated_within(first.subject_cn.c_str(), first.subject_cn.capacity()),
          "subject terminated");
  if (ok) {
    require(first.count > 0 && first.dates > 0, "a chain read has a count and a date");
    require(first.expires >= kYear1950 && first.expires <= kYear10000, "expiry in range");
  }
  require(lw::parse_cert_chain(exact.get(), size, &second) == ok &&
              second.expires == first.expires && second.subject_cn == first.subject_cn.c_str(),
          "same bytes, same chain");
  if (ok) {
    const std::string longer = std::string(exact.get(), size) +
                               "\nSubject:CN = later\nExpire date:Dec 31 23:59:60 9999 GMT\n";
    require(lw::parse_cert_chain(longer.data(), longer.size(), &second) &&
                second.expires == first.expires,
            "a later certificate expiring later changes nothing");
  }
  int64_t seconds = 0;
  if (lw::parse_cert_date(exact.get(), size, &seconds)) {
    require(seconds >= kYear1950 && seconds <= kYear10000, "a date in range");
  }
  return 0;
}
