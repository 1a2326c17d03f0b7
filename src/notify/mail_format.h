// The header lines of an outgoing e-mail, built as pure text: the date, a
// unique message identifier, the sender split into header and envelope
// forms, and a subject encoded for 8-bit text. Nothing here touches a file.
//
// Every function writes into `out` of `cap` bytes and leaves it terminated
// (unless `cap` is 0). Returned lengths exclude the terminator.

#ifndef LINKWATCH_NOTIFY_MAIL_FORMAT_H_
#define LINKWATCH_NOTIFY_MAIL_FORMAT_H_

#include <cstddef>
#include <cstdint>

namespace lw {

// Longest header line the writer produces for encoded text, line end excluded.
constexpr size_t kMailHeaderLineMax = 76;
// Longest single encoded word "=?UTF-8?B?...?=".
constexpr size_t kMailEncodedWordMax = 75;
// Domain of a message identifier when the sender has no usable one.
constexpr const char kMailFallbackDomain[] = "linkwatch.invalid";

// Writes `seconds` as a mail date, "Mon, 07 Dec 2026 06:42:44 +0100": local
// time with the numeric offset in effect at that moment, English names.
// When local time is unknown the moment is given in UTC marked "-0000"
// (offset not known). Returns the length; 0 and "" when the year lies outside
// 1900..9999 or the text does not fit.
size_t rfc5322_date(int64_t seconds, char* out, size_t cap);

// Writes a new message identifier "<YYYYMMDDhhmmss.pid.n@domain>" (the time
// in UTC, n a process-wide counter), distinct for every call in every
// process. `domain` is the part after the last '@' of the address in
// `sender` (a bare address or "Name <address>") when it is a host name made
// of letters, digits, '-' and '.', else kMailFallbackDomain. Thread-safe.
// Returns the length; 0 and "" when it does not fit (never a cut identifier).
size_t make_message_id(const char* sender, int64_t seconds, char* out, size_t cap);

// Splits a sender "alerts@example.com", "Ops <alerts@example.com>" or
// "\"Ops, <team>\" <alerts@example.com>": `header` receives the text as
// written, for the "From:" line; `address` the address alone, for the SMTP
// envelope: the text inside the first '<' outside a quoted string up to the
// following '>' (or the end), trimmed of blanks; without brackets the whole
// text, trimmed. Returns false, with both "", when `from` is null, the
// address is empty or either text does not fit.
bool split_mailbox(const char* from, char* header, size_t header_cap, char* address,
                   size_t address_cap);

// Writes `text` for an unstructured header such as "Subject:".
// Text of printable ASCII only is copied unchanged (cut to fit). Any other
// text becomes UTF-8 base64 encoded words of at most kMailEncodedWordMax
// characters, one per line, lines joined by "\n " so that no line exceeds
// kMailHeaderLineMax given the `first_line_used` characters already on the
// first; a UTF-8 character is never split between two words. When the
// words do not all fit `cap`, only whole words are kept, so the result
// always decodes to a prefix of `text`. Returns the length.
size_t encode_header_text(const char* text, char* out, size_t cap, size_t first_line_used);

// Writes the sender `from` for the "From:" header. A display name (the
// text before the address's '<', outside quotes) with a byte above 0x7F
// becomes UTF-8 base64 encoded words as encode_header_text writes them
// (its quotes and backslash escapes taken off, control bytes as spaces),
// then " <address...>" as written, on a line of its own when it would
// make the last line longer than kMailHeaderLineMax; `first_line_used`
// counts the characters before it ("From: "). Every other sender is copied
// with control bytes as spaces, byte for byte otherwise. Returns the
// length; 0 and "" when it does not fit whole.
size_t encode_mailbox_header(const char* from, char* out, size_t cap, size_t first_line_used);

struct MailHeaderInput {
  const char* from = nullptr;     // sender as configured: the "From:" text
  const char* to = nullptr;       // recipient list as given
  const char* subject = nullptr;  // raw subject, any bytes
  int64_t seconds = 0;            // the moment of the message
};

// Writes the complete header block of a message, lines ended by "\n":
// From (encode_mailbox_header), To, Subject (encoded by
// encode_header_text), Date, Message-ID,
// MIME-Version, Content-Type (text/plain, UTF-8), Content-Transfer-Encoding
// (8bit), then the empty line. Control bytes in From and To are written as
// spaces, so no value can start a header line of its own. A subject too
// long for `cap` is cut (whole encoded words); the Date line is left out
// only when rfc5322_date gives nothing. Returns the length; 0 and "" when
// the block cannot be complete within `cap`.
size_t format_mail_headers(const MailHeaderInput& input, char* out, size_t cap);

}  // namespace lw

#endif  // LINKWATCH_NOTIFY_MAIL_FORMAT_H_
