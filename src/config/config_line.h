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

// True for the keys whose value runs to the LAST double quote of the line,
// not to the next one, so that it can hold double quotes itself (a JSON
// body): `webhook_body` and `webhook_header`.
bool value_runs_to_last_quote(const char* key);

// Parses one line (a piece of at most 8191 characters, line end included or
// not). Returns true and fills `out` when the line carries a setting: not
// blank, not starting with "*", a separator (find_config_separator), a
// non-empty key, and a value between the first two double quotes after the
// separator (for a key of value_runs_to_last_quote: between the first and
// the last). Key and value are trimmed and cut to 127 and 8191 characters.
bool parse_config_line(const char* line, ConfigLine* out);

// What to do with the part of a line beyond one piece.
enum class LongLine {
  kSkipRest,  // read and drop it: every piece is one whole line of the file
  kSplit,     // leave it for the following pieces (for copying a file)
};

// What a read of one piece found besides the piece's bytes.
struct ConfigPieceInfo {
  bool cut = false;            // the line went on beyond the piece, not just its end
  bool bad_character = false;  // a UTF-16 line held a unit that is no character
                               // (an unpaired surrogate, a lone last byte)
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
// The bytes are taken as they stand: ConfigReader also reads UTF-16 files.
size_t read_config_piece(std::FILE* file, char* buf, size_t cap, ConfigPieceInfo* info = nullptr,
                         LongLine long_line = LongLine::kSkipRest);

// How a configuration file stores its text, as its first bytes say.
enum class ConfigEncoding {
  kUtf8,     // no byte order mark: the bytes as they stand (ASCII is UTF-8)
  kUtf8Bom,  // EF BB BF, then UTF-8 ("UTF-8 with BOM")
  kUtf16Le,  // FF FE, then UTF-16 little-endian (what Notepad calls "Unicode")
  kUtf16Be,  // FE FF: not read, the reader yields no piece
};

// Reads a configuration file as UTF-8 pieces whatever its encoding, so that
// the loaders, "-check" and the secret rewrite all see the same lines.
class ConfigReader {
 public:
  ConfigReader() = default;
  ~ConfigReader();
  ConfigReader(const ConfigReader&) = delete;
  ConfigReader& operator=(const ConfigReader&) = delete;

  // Opens `file_name` for reading in binary (no line end is translated) and
  // takes its encoding from its byte order mark, which is consumed. False
  // when the file cannot be opened.
  bool open(const char* file_name);
  // Closes the file (the destructor does too); next() then yields nothing.
  void close();

  ConfigEncoding encoding() const { return encoding_; }
  // The byte order mark the file began with: "" for kUtf8.
  const char* byte_order_mark() const;
  // True when reading the file failed, as opposed to reaching its end.
  bool failed() const;

  // The next piece, as read_config_piece reads it (cap is at most
  // kConfigLineSize), in UTF-8. A UTF-16 character is never split between
  // pieces: a piece may end a few bytes short of cap-1 instead. A unit that is
  // no character arrives as U+FFFD and sets info->bad_character. Returns 0
  // at end of file and at once for kUtf16Be.
  size_t next(char* buf, size_t cap, ConfigPieceInfo* info = nullptr,
              LongLine long_line = LongLine::kSkipRest);

  // After next() with kSplit: the file's own bytes that the piece came from
  // (the byte order mark not included). Written back one after the other
  // they give the file unchanged. Empty after kSkipRest.
  const char* raw() const { return raw_; }
  size_t raw_size() const { return raw_size_; }

 private:
  // One UTF-16 character: its code point and the bytes it was read from.
  struct Char16 {
    unsigned long code = 0;
    bool bad = false;
    unsigned char bytes[4] = {};
    unsigned size = 0;
  };
  bool read_char16(Char16* ch);
  size_t next_utf16(char* buf, size_t cap, ConfigPieceInfo* info, LongLine long_line);

  std::FILE* file_ = nullptr;
  ConfigEncoding encoding_ = ConfigEncoding::kUtf8;
  int held_unit_ = -1;  // a unit read after a high surrogate it does not pair with
  bool has_pending_ = false;
  Char16 pending_;  // a character that did not fit into the previous piece
  const char* raw_ = "";
  size_t raw_size_ = 0;
  // A UTF-16 piece's file bytes: at most 2 per UTF-8 byte.
  char raw16_[2 * kConfigLineSize];
};

// The value of a text that is a whole number written with digits only, at
// most `max`. Returns -1 for anything else, "" included.
int parse_whole_number(const char* text, int max);

// True when the file `path` can be opened for reading.
bool file_readable(const char* path);

}  // namespace lw

#endif  // LINKWATCH_CONFIG_CONFIG_LINE_H_
