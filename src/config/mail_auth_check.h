// What "-check" asks of the e-mail login's keys together: smtp_auth,
// smtp_tls, the oauth2_* keys and the keys each mode needs.

#ifndef LINKWATCH_CONFIG_MAIL_AUTH_CHECK_H_
#define LINKWATCH_CONFIG_MAIL_AUTH_CHECK_H_

#include "config/config_keys.h"

namespace lw {

// True when the file's smtp_auth mode needs a line with `key` ("email" and
// "password" for "password"; "email" for "oauth2"; neither for "none").
// Every other required key is needed whatever the mode.
bool mail_key_needed(const NotifyCheckState& state, const char* key);

// True when the host of the `server` address (smtp://host:port, smtps://...
// or a bare host) is a mail service that takes no password logins or only
// app passwords: Microsoft 365, Outlook.com, Gmail, Yahoo, iCloud, AOL.
bool ends_password_logins(const char* server);

// Prints what the file's e-mail login lacks or risks; false when "-check"
// fails for it:
//   - smtp_auth "none": server and to need values, and from or email an
//     address (the sender): "smtp_auth "none" (line N) needs ...";
//   - smtp_auth "oauth2": email, oauth2_token_url, oauth2_client_id,
//     oauth2_scope, and oauth2_client_secret or oauth2_refresh_token;
//   - smtp_tls "try" with a mode that sends a secret ("password", "oauth2"):
//     "Line N: smtp_tls "try" would let the ... travel in clear ...";
// and warns (the file passes) when smtp_auth is "password" and the server
// is one ends_password_logins names.
bool check_mail_login(const NotifyCheckState& state);

}  // namespace lw

#endif  // LINKWATCH_CONFIG_MAIL_AUTH_CHECK_H_
