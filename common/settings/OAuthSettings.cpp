#include "common/settings/OAuthSettings.h"

#include <string.h>

#include "common/secrets/SmtpPassword.h"
#include "common/text/JsonReader.h"

#define AT(member) offsetof(OAuthSettings, member)

const OAuthValueSpec OAuthValues[OAUTH_VALUE_COUNT] = {
    {"SmtpAuthMethod",    REG_DWORD,  4,                       AT(SmtpAuthMethod),    SMTP_AUTH_METHOD_COUNT - 1},
    {"OAuthTokenUrl",     REG_SZ,     OAUTH_URL_SIZE,          AT(OAuthTokenUrl),     0},
    {"OAuthClientId",     REG_SZ,     OAUTH_CLIENT_ID_SIZE,    AT(OAuthClientId),     0},
    {"OAuthScope",        REG_SZ,     OAUTH_SCOPE_SIZE,        AT(OAuthScope),        0},
    {"OAuthClientSecret", REG_BINARY, SMTP_PASSWORD_BLOB_SIZE, AT(OAuthClientSecret), 0},
    {"OAuthCertificate",  REG_SZ,     OAUTH_CERTIFICATE_SIZE,  AT(OAuthCertificate),  0},
    {"OAuthKeyFile",      REG_SZ,     OAUTH_KEY_FILE_SIZE,     AT(OAuthKeyFile),      0},
    {"OAuthProxy",        REG_SZ,     OAUTH_PROXY_SIZE,        AT(OAuthProxy),        0},
    {"OAuthTrustedCa",    REG_SZ,     SMTP_TRUSTED_CA_SIZE,    AT(OAuthTrustedCa),    0},
};

static BYTE *Member(OAuthSettings *settings, const OAuthValueSpec &spec)
{
    return (BYTE *)settings + spec.Offset;
}

// Reads one value into its member; a value that does not fit its member
// leaves nothing behind there.
static int ReadValue(HKEY key, const OAuthValueSpec &spec, OAuthSettings *settings)
{
    BYTE scratch[SMTP_PASSWORD_BLOB_SIZE];
    DWORD type = 0;
    DWORD size = spec.Size;
    LONG result = RegQueryValueExA(key, spec.Name, NULL, &type, scratch, &size);
    if (result == ERROR_FILE_NOT_FOUND)
        return SmtpValueAbsent;
    if (result != ERROR_SUCCESS || type != spec.Type || size > spec.Size || size == 0)
        return SmtpValueInvalid;
    BYTE *member = Member(settings, spec);
    if (spec.Type == REG_DWORD) {
        DWORD number = 0;
        memcpy(&number, scratch, size < 4 ? size : 4);
        if (size != 4 || number > spec.Highest)
            return SmtpValueInvalid;
        memcpy(member, &number, 4);
    } else if (spec.Type == REG_SZ) {
        // Written without its terminating zero, it still ends at the member's end.
        size_t length = strnlen((const char *)scratch, size);
        if (length >= spec.Size)
            return SmtpValueInvalid;
        memcpy(member, scratch, length);
        member[length] = '\0';
    } else {
        memcpy(member, scratch, size);
        settings->OAuthClientSecretSize = size;
    }
    WipeSecret(scratch, sizeof scratch);
    return SmtpValueTaken;
}

void ReadOAuthSettings(HKEY key, OAuthSettings *settings, OAuthValueStates *states)
{
    for (int i = 0; i < OAUTH_VALUE_COUNT; i++) {
        int state = ReadValue(key, OAuthValues[i], settings);
        if (states != NULL)
            states->State[i] = state;
    }
}

static int WriteValue(HKEY key, const OAuthValueSpec &spec, const OAuthSettings *settings)
{
    const BYTE *member = (const BYTE *)settings + spec.Offset;
    DWORD size = 0;
    if (spec.Type == REG_DWORD)
        size = *(const DWORD *)member != 0 ? 4 : 0;
    else if (spec.Type == REG_SZ)
        size = (DWORD)strnlen((const char *)member, spec.Size - 1);
    else
        size = settings->OAuthClientSecretSize <= spec.Size ? settings->OAuthClientSecretSize : 0;
    if (size == 0) {
        LONG result = RegDeleteValueA(key, spec.Name);
        return result == ERROR_SUCCESS || result == ERROR_FILE_NOT_FOUND;
    }
    if (spec.Type != REG_SZ)
        return RegSetValueExA(key, spec.Name, 0, spec.Type, member, size) == ERROR_SUCCESS;
    char text[OAUTH_URL_SIZE];
    memcpy(text, member, size);
    text[size] = '\0';
    return RegSetValueExA(key, spec.Name, 0, REG_SZ, (const BYTE *)text, size + 1) == ERROR_SUCCESS;
}

int WriteOAuthSettings(HKEY key, const OAuthSettings *settings)
{
    int ok = 1;
    for (int i = 0; i < OAUTH_VALUE_COUNT; i++)
        ok &= WriteValue(key, OAuthValues[i], settings);
    return ok;
}

int AnyOAuthValuePresent(const OAuthValueStates *states)
{
    for (int i = 0; i < OAUTH_VALUE_COUNT; i++)
        if (states->State[i] != SmtpValueAbsent)
            return 1;
    return 0;
}

const char *OAuthScopeOf(const OAuthSettings *settings)
{
    if (settings->OAuthScope[0] != '\0')
        return settings->OAuthScope;
    return settings->OAuthKeyFile[0] != '\0' ? OAUTH_GOOGLE_SCOPE : OAUTH_DEFAULT_SCOPE;
}

DWORD ProtectOAuthClientSecret(const char *secret, BYTE *blob, DWORD blobSize)
{
    return ProtectSmtpPassword(secret, blob, blobSize);
}

int UnprotectOAuthClientSecret(const BYTE *blob, DWORD blobLength, char *secret, size_t secretSize)
{
    return UnprotectSmtpPassword(blob, blobLength, secret, secretSize);
}

int ParseThumbprint(const char *text, BYTE thumbprint[20])
{
    int digits = 0;
    for (; *text != '\0'; text++) {
        if (*text == ' ' || *text == ':')
            continue;
        int value = HexDigitValue(*text);
        if (value < 0 || digits == 40)
            return 0;
        if (digits % 2 == 0)
            thumbprint[digits / 2] = (BYTE)(value << 4);
        else
            thumbprint[digits / 2] |= (BYTE)value;
        digits++;
    }
    return digits == 40;
}
