// Signing in to the SMTP server (AUTH PLAIN or LOGIN, or XOAUTH2 with an
// OAuth 2.0 access token) once the connection is secure. The password is
// decrypted only here, for the command that carries it, and every buffer
// that held it or a token in clear is wiped before returning.
#pragma once

#include <windows.h>
#include <stddef.h>

#include "common/mail/MailResult.h"
#include "common/mail/SmtpChannel.h"
#include "common/settings/SmtpSettings.h"

// "AUTH PLAIN <base64 of NUL user NUL password>\r\n", user and password as
// stored (at most SMTP_USER_SIZE - 1 and SMTP_PASSWORD_SIZE - 1 bytes) and
// sent as UTF-8: the user converted from the ANSI code page, the password
// too unless it is valid UTF-8 already. Returns its length, 0 when it does
// not fit.
int FormatAuthPlain(char *buffer, size_t size, const char *user, const char *password);

// One base64 line of text, "\r\n" ended, as AUTH LOGIN answers a challenge.
// Returns its length, 0 when it does not fit.
int FormatBase64Line(char *buffer, size_t size, const char *text);

// Signs in with the mechanism the EHLO reply offered (SMTP_EXTENSION_*
// bits), PLAIN before LOGIN. Sent when the server accepted the user and
// password; AuthenticationRefused when it refused them, when it offers
// neither mechanism or the stored password cannot be decrypted (nothing is
// sent then); BadReply for a reply that is malformed or does not come.
MailResult AuthenticateSmtp(SmtpChannel *channel, unsigned extensions, const char *user,
                            const BYTE *passwordBlob, DWORD passwordBlobSize, DWORD timeoutMs);

// "AUTH XOAUTH2 <base64 of user=<user>^Aauth=Bearer <token>^A^A>\r\n".
// Returns its length, 0 when it does not fit.
int FormatAuthXoauth2(char *buffer, size_t size, const char *user, const char *token);

// Signs in with XOAUTH2 and token, the access token obtained for settings
// (OAuthToken.h). A token the server refuses with a 334 challenge is
// answered with an empty line, dropped, and replaced by a new one once. Sent when accepted;
// AuthenticationRefused when refused or XOAUTH2 is not offered;
// AccessTokenNotObtained when no token can be had; BadReply for a reply
// that is malformed or does not come.
MailResult AuthenticateXoauth2(SmtpChannel *channel, unsigned extensions, const SmtpSettings *settings,
                               const char *token, DWORD timeoutMs);
