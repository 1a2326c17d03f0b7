// The line syntax shared by both configuration files: `key : "value"`,
// read in pieces of at most 8191 characters.

#ifndef LINKWATCH_CONFIG_CONFIG_LINE_H_
#define LINKWATCH_CONFIG_CONFIG_LINE_H_

#include <cstddef>
#include <cstdio>

#include "support/fixed_text.h"

namespace lw {

constexpr size_t kConfigLineSize = 8192;  // one read: at most 8191 characters
constexpr size_t kConfigKeySize = 128;
constexpr size_t kConfigValueSize = 8192;

// One configuration line taken apart: `key : "value"`.
struct ConfigLine {
  FixedText<kConfigKeySize> key;
  FixedText<kConfigValueSize> value;
};

// The separator of `line`: its first ":", or its first "=" when the line has
// no ":". Null when it has neither.
const char* find_config_separator(const char* line);

// True when `line` is blank or its first non-blank byte is "*" or "#": the
// lines that "-check" and the secret rewrite pass over. (parse_config_line
// refuses blank and "*" lines; a "#" line parses, but its key begins with
// "#" and so names no known setting.)
bool is_comment_line(const char* line);

// Parses one line (a piece of at most 8191 characters, line end included or
// not). Returns true and fills `out` when the line carries a setting: not
// blank, not starting with "*", a separator (find_config_separator), a
// non-empty key, and a value between the first two double quotes after the
// separator. Key and value are trimmed and cut to 127 and 8191 characters.
bool parse_config_line(const char* line, ConfigLine* out);

// Reads the next piece of a configuration file opened in text mode: the
// rest of the current line up to and including its line end, but at most
// cap-1 bytes (8191 for kConfigLineSize), so a longer line arrives in several
// pieces. Stores the piece terminated in `buf` and returns its length in
// bytes (a NUL byte inside the line is kept and counted); 0 at end of file.
size_t read_config_piece(std::FILE* file, char* buf, size_t cap);

// The value of a text that is a whole number written with digits only, at
// most `max`. Returns -1 for anything else, "" included.
int parse_whole_number(const char* text, int max);

}  // namespace lw

#endif  // LINKWATCH_CONFIG_CONFIG_LINE_H_
