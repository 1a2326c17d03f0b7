// Recipient lists of the notification file (`to`, `iamalive`): the one
// splitter the check, the SMTP envelope and the mail's "To:" header share.

#ifndef LINKWATCH_CONFIG_RECIPIENTS_H_
#define LINKWATCH_CONFIG_RECIPIENTS_H_

#include <cstddef>

#include "support/fixed_text.h"

namespace lw {

// Work copy of a recipient list: longer lists are cut after 1023 characters.
constexpr size_t kMailRecipientsSize = 1024;
// The most recipients that fit in 1023 characters ("a,a,a,...").
constexpr int kMaxMailRecipients = static_cast<int>(kMailRecipientsSize / 2);
// The addresses of a recipient list, as both the SMTP envelope
// (--mail-rcpt) and the mail's "To:" header get them. Points into its own
// copy of the list, so it is not copyable.
struct MailRecipients {
  MailRecipients() = default;
  MailRecipients(const MailRecipients&) = delete;
  MailRecipients& operator=(const MailRecipients&) = delete;

  FixedText<kMailRecipientsSize> text;  // the split copy
  const char* address[kMaxMailRecipients] = {};
  int count = 0;
  // Pieces left out because they hold a control byte, in list order.
  const char* refused[kMaxMailRecipients] = {};
  int refused_count = 0;
};

// Splits `list` (null counts as "") at commas: runs of commas are one
// separator, commas at either end give nothing; each piece loses its
// leading and trailing white space (space, \t, \n, \v, \f, \r); empty pieces
// are dropped. A piece that still holds a byte below 32 or DEL goes to
// `refused`, never to `address`. Only the first kMailRecipientsSize - 1
// characters are read; a piece that this cut goes through (more than white
// space follows before the next comma) is dropped. Order and duplicates are
// kept, addresses are not validated otherwise.
void split_mail_recipients(const char* list, MailRecipients* out);

// Writes `text` (null counts as "") into `out` (`cap` > 0 bytes, always
// terminated, cut to fit) with every byte below 32 and DEL shown as an
// escape: \r, \n, \t, else \xHH. Text without such bytes stays as it is.
void escape_control_bytes(const char* text, char* out, size_t cap);

}  // namespace lw

#endif  // LINKWATCH_CONFIG_RECIPIENTS_H_
