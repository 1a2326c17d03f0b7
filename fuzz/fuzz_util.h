// Shared pieces of the libFuzzer harnesses: a private working folder, the
// console silenced, whole-file helpers and a checked abort.

#ifndef LINKWATCH_FUZZ_FUZZ_UTIL_H_
#define LINKWATCH_FUZZ_FUZZ_UTIL_H_

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace lw::fuzz {

// Moves into a fresh folder under the temporary directory (the loaders read
// and write bare file names) and sends all console output to the null
// device. Call once from LLVMFuzzerInitialize.
void enter_private_folder(const char* harness);

// Writes `bytes` to `name`, replacing it.
void put_file(const char* name, const std::string& bytes);
// The whole content of `name`, "" when it does not exist.
std::string get_file(const char* name);

// Aborts with `what` when `ok` is false, so libFuzzer records the input.
inline void require(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "property violated: %s\n", what);
    std::abort();
  }
}

// True when `text` is terminated within `cap` bytes.
inline bool terminated_within(const char* text, size_t cap) {
  for (size_t i = 0; i < cap; ++i) {
    if (text[i] == '\0') return true;
  }
  return false;
}

}  // namespace lw::fuzz

#endif  // LINKWATCH_FUZZ_FUZZ_UTIL_H_
