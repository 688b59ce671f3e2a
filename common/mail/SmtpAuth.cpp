#include "common/mail/SmtpAuth.h"

#include <stdio.h>
#include <string.h>

#include "common/mail/SmtpReply.h"
#include "common/oauth/OAuthToken.h"
#include "common/secrets/SmtpPassword.h"
#include "common/settings/Parameters.h"
#include "common/text/Base64Codec.h"
#include "common/text/Base64Text.h"

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

// "user=" 63 "\x01auth=Bearer " token "\x01\x01", and its command.
#define XOAUTH2_TOKEN_SIZE (SMTP_USER_SIZE + ACCESS_TOKEN_SIZE + 32)
#define XOAUTH2_COMMAND_SIZE (XOAUTH2_TOKEN_SIZE / 3 * 4 + 32)

static char Xoauth2Text[XOAUTH2_TOKEN_SIZE];
static char Xoauth2Command[XOAUTH2_COMMAND_SIZE];

int FormatAuthXoauth2(char *buffer, size_t size, const char *user, const char *token)
{
    int text = snprintf(Xoauth2Text, sizeof Xoauth2Text, "user=%s\x01" "auth=Bearer %s\x01\x01", user, token);
    int written = 0;
    static const char Prefix[] = "AUTH XOAUTH2 ";
    size_t prefix = sizeof Prefix - 1;
    if (text > 0 && (size_t)text < sizeof Xoauth2Text && size > prefix + 2) {
        memcpy(buffer, Prefix, prefix);
        size_t encoded = EncodeBase64Text((const BYTE *)Xoauth2Text, (size_t)text, buffer + prefix,
                                          size - prefix - 2, 0);
        if (encoded > 0) {
            memcpy(buffer + prefix + encoded, "\r\n", 3);
            written = (int)(prefix + encoded + 2);
        }
    }
    WipeSecret(Xoauth2Text, sizeof Xoauth2Text);
    if (written == 0)
        WipeSecret(buffer, size);
    return written;
}

// One XOAUTH2 attempt: Sent, AuthenticationRefused, BadReply; *challenged
// when the server answered with a 334 error challenge (then answered with
// the empty line it waits for).
static MailResult TryXoauth2(SmtpChannel *channel, const char *user, const char *token, int *challenged,
                             DWORD timeoutMs)
{
    *challenged = 0;
    int length = FormatAuthXoauth2(Xoauth2Command, sizeof Xoauth2Command, user, token);
    SmtpReply reply;
    int answered = length > 0 && ChannelSend(channel, Xoauth2Command, length) &&
                   ReadSmtpReply(channel, &reply, timeoutMs);
    WipeSecret(Xoauth2Command, sizeof Xoauth2Command);
    if (length == 0)
        return AuthenticationRefused;
    if (!answered)
        return BadReply;
    if (strcmp(reply.Code, "235") == 0)
        return Sent;
    if (strcmp(reply.Code, "334") != 0)
        return AuthenticationRefused;
    *challenged = 1;
    // The challenge carries the server's error; the empty line ends the
    // attempt, and the server's refusal follows.
    if (!ChannelSend(channel, "\r\n", 2) || !ReadSmtpReply(channel, &reply, timeoutMs))
        return BadReply;
    return AuthenticationRefused;
}

MailResult AuthenticateXoauth2(SmtpChannel *channel, unsigned extensions, const SmtpSettings *settings,
                               const char *token, DWORD timeoutMs)
{
    if (!(extensions & SMTP_EXTENSION_AUTH_XOAUTH2) || settings->SmtpUser[0] == '\0' || token == NULL)
        return AuthenticationRefused;
    MailResult result = AuthenticationRefused;
    for (int attempt = 0; attempt < 2; attempt++) {
        if (attempt > 0 && (token = ObtainAccessToken(settings, 1)) == NULL)
            return AccessTokenNotObtained;
        int challenged = 0;
        result = TryXoauth2(channel, settings->SmtpUser, token, &challenged, timeoutMs);
        if (result == Sent)
            return Sent;
        // A refused token is not offered again, to this server or the next.
        ForgetAccessToken();
        if (!challenged)
            return result;
    }
    return result;
}
