// The Teams card: an Adaptive Card with a bold title and one text block per
// body line. Chat hosts read each block's text as Markdown, where a single
// line feed is no line break and `*`, `_`, `[` ... format the text, so every
// line gets its own block and its text is escaped to show literally.

#ifndef LINKWATCH_NOTIFY_TEAMS_CARD_H_
#define LINKWATCH_NOTIFY_TEAMS_CARD_H_

#include <cstddef>
#include <cstdint>

namespace lw {

// The colour of a card's title: kPlain leaves the host's default; a DOWN
// or reminder is kAttention ("attention", red in Teams), a RECOVERY kGood
// ("good", green), so the two differ at a glance.
enum class CardTone : int32_t { kPlain = 0, kAttention = 1, kGood = 2 };

// Largest card built, in bytes (Teams refuses messages of about 28 KB).
constexpr size_t kTeamsCardMaxBytes = 25 * 1024;
// Buffer that holds any card, terminator included.
constexpr size_t kTeamsCardBufferSize = kTeamsCardMaxBytes + 1;
// Largest escaped title text in the card; a longer title is cut.
constexpr size_t kTeamsCardTitleMaxBytes = 2048;
// Last block of a card whose body did not fit whole.
constexpr const char kTeamsCardCutNote[] = "... (message cut)";

// Escapes one line of text (`len` bytes, no line feed) so that a Markdown
// host shows it as written, with as few backslashes as possible (hosts that
// show them literally stay readable): one goes before `*` `` ` `` `[` `~` `<`
// everywhere, before `_` unless it stands between two ASCII letters or
// digits, before `\` when ASCII punctuation follows, before `&` when it
// starts an entity (`&name;`, `&#...`), and at the line start before what
// would begin a heading, quote, list or rule (`# `, `>`, `- `, `+ `, `1. `,
// `1) `, `---`). Leading spaces and tabs are dropped (Markdown drops them or
// makes code of them) and bytes that are not valid UTF-8 become U+FFFD; all
// else is copied unchanged, and nothing is JSON-escaped. Writes at most
// cap-1 bytes and a terminator into `out` (for cap > 0), cut only between
// whole characters with their escape. Returns the stored length.
size_t markdown_escape_line(const char* line, size_t len, char* out, size_t cap);

// Writes the card for `title` (null: the default title; "" stays empty) and
// `body` (null: "") into `out` of `cap` bytes as JSON with bare line feeds:
// a message with one Adaptive Card 1.4 attachment whose first block is the
// title (Bolder, Large, wrapping), then one wrapping block per non-empty body
// line ("\n", "\r\n" or "\r" ends a line), spaced "None" from the line
// before (the first keeps the default spacing below the title); empty lines
// are dropped and widen the spacing of the next block to "Medium". Texts are
// Markdown-escaped (markdown_escape_line), then JSON-escaped; the title is
// cut to kTeamsCardTitleMaxBytes at a character boundary. The card never
// exceeds kTeamsCardMaxBytes nor cap-1 bytes: from the first body line that
// does not fit on, lines are left out and a last block kTeamsCardCutNote
// says so, and `*cut` (may be null) is set to true; else it is false.
// Returns the card's length, or 0 (with `out` = "" for cap > 0) when not
// even the title and the note fit. A `tone` other than kPlain adds its
// "color" to the title block; kPlain leaves the card as it always was.
size_t build_teams_card(const char* title, const char* body, char* out, size_t cap,
                        bool* cut = nullptr, CardTone tone = CardTone::kPlain);

}  // namespace lw

#endif  // LINKWATCH_NOTIFY_TEAMS_CARD_H_
