// The E-mail page's "OAuth 2.0 Settings" dialog: token URL, client id, client
// secret, certificate thumbprint and scope of an OAuth 2.0 sign-in.
#pragma once

#include <windows.h>

#include "common/settings/OAuthSettings.h"

// Shows the dialog modally over owner, filled from *settings, and edits a
// copy. OK copies the copy into *settings and returns 1; Cancel (or the
// close box) returns 0 and leaves *settings as it was.
int EditOAuthSettings(HWND owner, OAuthSettings *settings);

#define SECRET_NOT_STORED_TEXT "The client secret could not be encrypted, so it is not stored. Please type it again."
