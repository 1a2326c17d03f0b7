// The line syntax shared by both configuration files: `key : "value"`,
// read one line at a time, of which at most 8191 characters count.

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

// What to do with the part of a line beyond one piece.
enum class LongLine {
  kSkipRest,  // read and drop it: every piece is one whole line of the file
  kSplit,     // leave it for the following pieces (for copying a file)
};

// What read_config_piece found besides the piece's bytes.
struct ConfigPieceInfo {
  bool byte_order_mark = false;  // a UTF-8 byte order mark before it was dropped
  bool cut = false;              // the line went on beyond the piece, not just its end
};

// Reads the next piece of a configuration file: the rest of the current line
// up to and including its line end, but at most cap-1 bytes (8191 for
// kConfigLineSize). Stores the piece terminated in `buf` and returns its
// length in bytes (a NUL byte inside the line is kept and counted); 0 at end
// of file. At the start of the file a UTF-8 byte order mark (EF BB BF) is
// dropped, as editors write it in front of the first key. A longer line is
// cut: with kSkipRest its rest is read up to and including its line end and
// dropped, so line numbers stay right; with kSplit the rest arrives in the
// next pieces. `info`, when given, says which of the two happened.
size_t read_config_piece(std::FILE* file, char* buf, size_t cap, ConfigPieceInfo* info = nullptr,
                         LongLine long_line = LongLine::kSkipRest);

// The value of a text that is a whole number written with digits only, at
// most `max`. Returns -1 for anything else, "" included.
int parse_whole_number(const char* text, int max);

}  // namespace lw

#endif  // LINKWATCH_CONFIG_CONFIG_LINE_H_
