// A small, bounded JSON validator: whether a text is one JSON value
// (RFC 8259) and nothing else. It builds nothing; it only says yes or no.

#ifndef LINKWATCH_SUPPORT_JSON_CHECK_H_
#define LINKWATCH_SUPPORT_JSON_CHECK_H_

#include <cstddef>

namespace lw {

// Deepest nesting of arrays and objects that json_valid accepts.
constexpr int kJsonMaxDepth = 64;

// True when the `length` bytes at `text` are exactly one JSON value with
// optional white space around it: objects, arrays, strings (escapes as
// RFC 8259 writes them, no raw control byte, well-formed UTF-8, no UTF-8
// surrogate), numbers, true, false and null. Nesting deeper than
// kJsonMaxDepth is refused. Reads each byte at most a bounded number of
// times and never past `length`; a NUL byte is refused wherever it stands.
bool json_valid(const char* text, size_t length);

}  // namespace lw

#endif  // LINKWATCH_SUPPORT_JSON_CHECK_H_
