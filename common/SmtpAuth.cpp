#include "SmtpAuth.h"

#include <stdio.h>
#include <string.h>

#include "Base64Codec.h"
#include "Parameters.h"
#include "SmtpPassword.h"
#include "SmtpReply.h"

// NUL, user, NUL, password: at most 1 + 63 + 1 + 127 bytes.
#define AUTH_PLAIN_TOKEN_SIZE (2 + SMTP_USER_SIZE + SMTP_PASSWORD_SIZE)
// The longest command: "AUTH PLAIN ", 256 base64 characters, CR LF.
#define AUTH_COMMAND_SIZE 512

static int FormatWithBase64(char *buffer, size_t size, const char *prefix, const BYTE *data, DWORD length)
{
    Codec.EncodeBuffer(data, length);
    int written = snprintf(buffer, size, "%s%s\r\n", prefix, Codec.GetOutputBuffer());
    // The codec held the secret too: nothing of it stays behind.
    Codec.ClearInput(0);
    Codec.ClearOutput(0);
    if (written <= 0 || (size_t)written >= size) {
        WipeSecret(buffer, size);
        return 0;
    }
    return written;
}

int FormatAuthPlain(char *buffer, size_t size, const char *user, const char *password)
{
    size_t userLength = strnlen(user, SMTP_USER_SIZE);
    size_t passwordLength = strnlen(password, SMTP_PASSWORD_SIZE);
    if (userLength >= SMTP_USER_SIZE || passwordLength >= SMTP_PASSWORD_SIZE)
        return 0;
    BYTE token[AUTH_PLAIN_TOKEN_SIZE];
    DWORD length = 0;
    token[length++] = 0;
    memcpy(token + length, user, userLength);
    length += (DWORD)userLength;
    token[length++] = 0;
    memcpy(token + length, password, passwordLength);
    length += (DWORD)passwordLength;
    int written = FormatWithBase64(buffer, size, "AUTH PLAIN ", token, length);
    WipeSecret(token, sizeof token);
    return written;
}

int FormatBase64Line(char *buffer, size_t size, const char *text)
{
    size_t length = strnlen(text, SMTP_PASSWORD_SIZE);
    if (length >= SMTP_PASSWORD_SIZE)
        return 0;
    return FormatWithBase64(buffer, size, "", (const BYTE *)text, (DWORD)length);
}

// Sends one command and reads the reply: Sent when its code is expected,
// AuthenticationRefused for another code, BadReply when none came.
static MailResult Step(SmtpChannel *channel, const char *command, int length, const char *expected,
                       DWORD timeoutMs)
{
    SmtpReply reply;
    if (length <= 0 || !ChannelSend(channel, command, length) || !ReadSmtpReply(channel, &reply, timeoutMs))
        return length <= 0 ? AuthenticationRefused : BadReply;
    return strncmp(reply.Code, expected, 3) == 0 ? Sent : AuthenticationRefused;
}

static MailResult SignIn(SmtpChannel *channel, unsigned extensions, const char *user, const char *password,
                         char *command, DWORD timeoutMs)
{
    if (extensions & SMTP_EXTENSION_AUTH_PLAIN)
        return Step(channel, command, FormatAuthPlain(command, AUTH_COMMAND_SIZE, user, password), "235",
                    timeoutMs);
    if (!(extensions & SMTP_EXTENSION_AUTH_LOGIN))
        return AuthenticationRefused;
    MailResult result = Step(channel, "AUTH LOGIN\r\n", 12, "334", timeoutMs);
    if (result == Sent)
        result = Step(channel, command, FormatBase64Line(command, AUTH_COMMAND_SIZE, user), "334", timeoutMs);
    if (result == Sent)
        result = Step(channel, command, FormatBase64Line(command, AUTH_COMMAND_SIZE, password), "235",
                      timeoutMs);
    return result;
}

MailResult AuthenticateSmtp(SmtpChannel *channel, unsigned extensions, const char *user,
                            const BYTE *passwordBlob, DWORD passwordBlobSize, DWORD timeoutMs)
{
    if (!(extensions & (SMTP_EXTENSION_AUTH_PLAIN | SMTP_EXTENSION_AUTH_LOGIN)))
        return AuthenticationRefused;
    char password[SMTP_PASSWORD_SIZE] = "";
    // No stored password signs in with an empty one; a stored one that does
    // not decrypt (copied from another machine, damaged) is not guessed at.
    if (passwordBlobSize > 0 &&
        !UnprotectSmtpPassword(passwordBlob, passwordBlobSize, password, sizeof password))
        return AuthenticationRefused;
    char command[AUTH_COMMAND_SIZE];
    MailResult result = SignIn(channel, extensions, user, password, command, timeoutMs);
    WipeSecret(password, sizeof password);
    WipeSecret(command, sizeof command);
    return result;
}
