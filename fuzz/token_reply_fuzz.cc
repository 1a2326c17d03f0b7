// The reader of a token endpoint's answer (notify/oauth2_token.h) over any
// bytes, given without a terminator in a buffer of exactly their length.
//
// Properties:
// - the reading stays within the given bytes (AddressSanitizer sees a read
//   past the heap copy);
// - every text read is terminated within its room; an access token holds
//   only bearer token characters, the error texts no control byte;
// - expires_in is -1 or a number of at most 9 digits;
// - reading is a function of the bytes: the same bytes give the same reply,
//   and a complete object reads the same with anything after it.

#include <cstring>
#include <memory>
#include <string>

#include "fuzz_util.h"
#include "notify/oauth2_token.h"

namespace {

using lw::fuzz::require;

bool bearer_only(const char* text) {
  for (const char* p = text; *p; ++p) {
    const char c = *p;
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    if (!plain && !std::strchr("-._~+/=", c)) return false;
  }
  return true;
}

bool no_control(const char* text) {
  for (const char* p = text; *p; ++p) {
    if (static_cast<unsigned char>(*p) < 32 || *p == 0x7F) return false;
  }
  return true;
}

bool same(const lw::TokenReply& a, const lw::TokenReply& b) {
  return a.access_token == b.access_token.c_str() && a.expires_in == b.expires_in &&
         a.error == b.error.c_str() && a.error_description == b.error_description.c_str();
}

lw::TokenReply first, second;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  lw::fuzz::enter_private_folder("token_reply");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // An exact-size copy: a byte read past the end is a heap overflow.
  std::unique_ptr<char[]> exact(new char[size ? size : 1]);
  if (size) std::memcpy(exact.get(), data, size);
  const bool ok = lw::parse_token_reply(exact.get(), size, &first);
  require(lw::fuzz::terminated_within(first.access_token.c_str(), first.access_token.capacity()) &&
              lw::fuzz::terminated_within(first.error.c_str(), first.error.capacity()) &&
              lw::fuzz::terminated_within(first.error_description.c_str(),
                                          first.error_description.capacity()),
          "texts terminated");
  require(bearer_only(first.access_token.c_str()), "token of bearer characters only");
  require(first.access_token.size() <= lw::kMaxAccessTokenLength, "token within its limit");
  require(no_control(first.error.c_str()) && no_control(first.error_description.c_str()),
          "error texts on one line");
  require(first.expires_in >= -1 && first.expires_in <= 999999999, "expires_in bounded");

  require(lw::parse_token_reply(exact.get(), size, &second) == ok && same(first, second),
          "same bytes, same reply");
  if (ok) {
    const std::string longer = std::string(reinterpret_cast<const char*>(data), size) + "}\"{x";
    require(lw::parse_token_reply(longer.data(), longer.size(), &second) && same(first, second),
            "a complete object reads the same with bytes after it");
  }
  return 0;
}
