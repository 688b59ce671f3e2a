// The access token of an OAuth 2.0 sign-in, obtained from the token server
// with the client-credentials grant (RFC 6749 section 4.4): with the client
// secret, or with a signed assertion of the certificate's key (RFC 7523);
// or, for a Google service account's key file, with the JWT-bearer grant
// (RFC 7523 section 2.1) for the mailbox. The token lives in memory only and
// is reused until five minutes before it expires.
#pragma once

#include <windows.h>

#include "common/settings/SmtpSettings.h"

// Largest access token kept (Microsoft's are about 1.5 KB, Google's less).
#define ACCESS_TOKEN_SIZE 8192
// A token is not used in its last five minutes.
#define ACCESS_TOKEN_MARGIN_S 300

// The token for these settings (SmtpUser is the mailbox), from memory or
// from the token server; renew: never the one in memory. Null when none can
// be had: AccessTokenFailure() then says why.
const char *ObtainAccessToken(const SmtpSettings *settings, int renew);

// Why the last ObtainAccessToken failed: the token server's error and the
// start of its description ("invalid_client: AADSTS7000215: Invalid client
// secret provided."), or what went wrong on the way. One line, never a
// secret; empty after a success.
const char *AccessTokenFailure();

// Forgets the token in memory and wipes it.
void ForgetAccessToken();

// Token requests sent to a server since the program started (tests and
// diagnostics).
extern int AccessTokenRequests;
