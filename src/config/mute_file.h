// The mute file "linkwatch_mute.txt": services silenced from the command
// line ("-mute", "-unmute") until a given time. One mute a line:
//
//   <target> <end, seconds since the epoch> [reason]
//
// where <target> is "all", a host ("web01", "2001:db8::1") or a host and
// port ("web01:443", "[2001:db8::1]:443"). Blank lines and lines starting
// with '#' are passed over.

#ifndef LINKWATCH_CONFIG_MUTE_FILE_H_
#define LINKWATCH_CONFIG_MUTE_FILE_H_

#include <cstdint>

#include "config/host_config.h"
#include "support/fixed_text.h"

namespace lw {

constexpr const char kMuteFileName[] = "linkwatch_mute.txt";
constexpr int kMaxMutes = 64;
constexpr int kMuteTargetSize = 160;
constexpr int kMuteReasonSize = 128;
constexpr int kMuteLineSize = 512;

struct Mute {
  FixedText<kMuteTargetSize> target;
  int64_t until = 0;
  FixedText<kMuteReasonSize> reason;
};

struct MuteList {
  Mute mute[kMaxMutes];
  int32_t count = 0;
};

// True when `target` can name a mute's services: "all", a host without
// blanks, or a host and a port port_number takes ("h:443", "[::1]:443").
bool mute_target_usable(const char* target);

// True when `mute` covers the service `host` (its host compared without
// brackets and case, its port by number).
bool mute_covers(const Mute& mute, const HostConfig& host);

// A duration as "-mute" takes it: digits and one of m, h, d ("90m", "2h",
// "1d"), 1 minute to 366 days. Returns the seconds, -1 for anything else.
int64_t parse_mute_duration(const char* text);

// One line of the file: 1 when a mute was read into `out`, 0 for a blank or
// comment line, -1 when the line is no mute (a message for -check in
// `why`).
int parse_mute_line(const char* line, Mute* out, FixedText<96>* why);

// The line of `mute` as parse_mute_line reads it (without a line end).
void format_mute_line(const Mute& mute, FixedText<kMuteLineSize>* out);

// Reads the file into `out`, passing over lines that are no mute and those
// beyond kMaxMutes. Returns false (with no mute) when there is no file.
bool read_mute_file(MuteList* out);

// "-check" of the file: "Line N: <why>" for every line that is no mute and
// for the lines beyond kMaxMutes. A missing file passes. Returns 1 when the
// file passed, else 0.
int check_mute_file();

}  // namespace lw

#endif  // LINKWATCH_CONFIG_MUTE_FILE_H_
