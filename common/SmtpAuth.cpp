#include "SmtpAuth.h"

#include <stdio.h>
#include <string.h>

#include "Base64Codec.h"
#include "Parameters.h"
#include "SmtpPassword.h"
#include "SmtpReply.h"

// User and password go out as UTF-8 (RFC 4616): at most three bytes for
// each character as stored.
#define UTF8_USER_SIZE     (3 * (SMTP_USER_SIZE - 1) + 1)
#define UTF8_PASSWORD_SIZE (3 * (SMTP_PASSWORD_SIZE - 1) + 1)
// NUL, user, NUL, password.
#define AUTH_PLAIN_TOKEN_SIZE (UTF8_USER_SIZE + UTF8_PASSWORD_SIZE)
// The longest command: "AUTH PLAIN ", the token in base64, CR LF.
#define AUTH_COMMAND_SIZE 1024

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

// A credential as UTF-8. The user name is stored in the ANSI code page; the
// password as UTF-8 by today's configuration program, and in the ANSI code
// page by older ones: bytes that are not valid UTF-8 are taken as ANSI.
// Plain ASCII is the same in all three.
static int ToUtf8(const char *text, int mayBeUtf8, char *out, size_t size)
{
    size_t length = strlen(text);
    size_t i = 0;
    while (i < length && (unsigned char)text[i] < 0x80)
        i++;
    if (length < size && (i == length || (mayBeUtf8 && MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text,
                                                                             (int)length, NULL, 0) > 0))) {
        memcpy(out, text, length + 1);
        return 1;
    }
    WCHAR wide[SMTP_PASSWORD_SIZE];
    int wideLength = length < SMTP_PASSWORD_SIZE
                         ? MultiByteToWideChar(CP_ACP, 0, text, (int)length, wide, SMTP_PASSWORD_SIZE) : 0;
    int written = wideLength > 0
                      ? WideCharToMultiByte(CP_UTF8, 0, wide, wideLength, out, (int)size - 1, NULL, NULL) : 0;
    WipeSecret(wide, sizeof wide);
    if (written <= 0) {
        WipeSecret(out, size);
        return 0;
    }
    out[written] = '\0';
    return 1;
}

int FormatAuthPlain(char *buffer, size_t size, const char *user, const char *password)
{
    size_t userLength = strnlen(user, SMTP_USER_SIZE);
    size_t passwordLength = strnlen(password, SMTP_PASSWORD_SIZE);
    if (userLength >= SMTP_USER_SIZE || passwordLength >= SMTP_PASSWORD_SIZE)
        return 0;
    char user8[UTF8_USER_SIZE], password8[UTF8_PASSWORD_SIZE];
    BYTE token[AUTH_PLAIN_TOKEN_SIZE];
    int written = 0;
    if (ToUtf8(user, 0, user8, sizeof user8) && ToUtf8(password, 1, password8, sizeof password8)) {
        DWORD length = 0;
        token[length++] = 0;
        memcpy(token + length, user8, strlen(user8));
        length += (DWORD)strlen(user8);
        token[length++] = 0;
        memcpy(token + length, password8, strlen(password8));
        length += (DWORD)strlen(password8);
        written = FormatWithBase64(buffer, size, "AUTH PLAIN ", token, length);
    }
    WipeSecret(password8, sizeof password8);
    WipeSecret(token, sizeof token);
    return written;
}

int FormatBase64Line(char *buffer, size_t size, const char *text)
{
    size_t length = strnlen(text, UTF8_PASSWORD_SIZE);
    if (length >= UTF8_PASSWORD_SIZE)
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
    // Both of the size FormatBase64Line takes.
    char user8[UTF8_PASSWORD_SIZE], password8[UTF8_PASSWORD_SIZE];
    MailResult result = AuthenticationRefused;
    if (ToUtf8(user, 0, user8, sizeof user8) && ToUtf8(password, 1, password8, sizeof password8))
        result = Step(channel, "AUTH LOGIN\r\n", 12, "334", timeoutMs);
    if (result == Sent)
        result = Step(channel, command, FormatBase64Line(command, AUTH_COMMAND_SIZE, user8), "334", timeoutMs);
    if (result == Sent)
        result = Step(channel, command, FormatBase64Line(command, AUTH_COMMAND_SIZE, password8), "235", timeoutMs);
    WipeSecret(password8, sizeof password8);
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
