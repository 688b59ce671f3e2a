#include "common/settings/SmtpSettings.h"

#include <string.h>

const char *const SmtpValueNames[SMTP_VALUE_COUNT] = {
    "SmtpPort", "SmtpSecurity", "SmtpUser", "SmtpTrustedCa", "SmtpPassword",
};

// The largest value any of the five may hold.
#define LARGEST_SMTP_VALUE SMTP_PASSWORD_BLOB_SIZE

// Queries one value into scratch; returns its size, or -1 when it is absent,
// of another type than expected or larger than limit.
static int QueryValue(HKEY key, const char *name, DWORD expectedType, BYTE *scratch, DWORD limit,
                      int *state)
{
    DWORD type = 0;
    DWORD size = limit;
    LONG result = RegQueryValueExA(key, name, NULL, &type, scratch, &size);
    if (result == ERROR_FILE_NOT_FOUND) {
        *state = SmtpValueAbsent;
        return -1;
    }
    if (result != ERROR_SUCCESS || type != expectedType || size > limit) {
        *state = SmtpValueInvalid;
        return -1;
    }
    *state = SmtpValueTaken;
    return (int)size;
}

int ReadOptionalNumber(HKEY key, const char *name, DWORD highest, DWORD *member)
{
    BYTE scratch[LARGEST_SMTP_VALUE];
    int state;
    int size = QueryValue(key, name, REG_DWORD, scratch, sizeof scratch, &state);
    if (size < 0)
        return state;
    DWORD value = 0;
    if (size == 4)
        memcpy(&value, scratch, 4);
    if (size != 4 || value > highest)
        return SmtpValueInvalid;
    *member = value;
    return SmtpValueTaken;
}

int ReadOptionalText(HKEY key, const char *name, char *member, DWORD memberSize)
{
    BYTE scratch[LARGEST_SMTP_VALUE];
    int state;
    int size = QueryValue(key, name, REG_SZ, scratch, memberSize, &state);
    if (size < 0)
        return state;
    // A value written without its terminating zero still ends at the member's end.
    size_t length = strnlen((const char *)scratch, (size_t)size);
    if (length >= memberSize)
        return SmtpValueInvalid;
    memcpy(member, scratch, length);
    member[length] = '\0';
    return SmtpValueTaken;
}

static int ReadPassword(HKEY key, SmtpSettings *settings)
{
    int state;
    int size = QueryValue(key, SmtpValueNames[SmtpPasswordValue], REG_BINARY, settings->SmtpPassword,
                          sizeof settings->SmtpPassword, &state);
    if (size < 0 || size == 0) {
        // A failed query may have left bytes behind; nothing of them is kept.
        memset(settings->SmtpPassword, 0, sizeof settings->SmtpPassword);
        return size == 0 ? SmtpValueInvalid : state;
    }
    settings->SmtpPasswordSize = (DWORD)size;
    return SmtpValueTaken;
}

void ReadSmtpSettings(HKEY key, SmtpSettings *settings, SmtpValueStates *states)
{
    memset(settings, 0, sizeof *settings);
    int state[SMTP_VALUE_COUNT];
    state[SmtpPortValue] = ReadOptionalNumber(key, SmtpValueNames[SmtpPortValue], 65535,
                                              &settings->SmtpPort);
    state[SmtpSecurityValue] = ReadOptionalNumber(key, SmtpValueNames[SmtpSecurityValue],
                                                  SMTP_SECURITY_COUNT - 1, &settings->SmtpSecurity);
    if (state[SmtpSecurityValue] == SmtpValueInvalid)
        settings->SmtpSecurity = SMTP_SECURITY_INVALID;
    state[SmtpUserValue] = ReadOptionalText(key, SmtpValueNames[SmtpUserValue], settings->SmtpUser,
                                    sizeof settings->SmtpUser);
    state[SmtpTrustedCaValue] = ReadOptionalText(key, SmtpValueNames[SmtpTrustedCaValue], settings->SmtpTrustedCa,
                                         sizeof settings->SmtpTrustedCa);
    state[SmtpPasswordValue] = ReadPassword(key, settings);
    if (states != NULL)
        memcpy(states->State, state, sizeof state);
    ReadOAuthSettings(key, &settings->OAuth, states != NULL ? &states->OAuth : NULL);
}

static int DeleteValue(HKEY key, const char *name)
{
    LONG result = RegDeleteValueA(key, name);
    return result == ERROR_SUCCESS || result == ERROR_FILE_NOT_FOUND;
}

int WriteOptionalNumber(HKEY key, const char *name, DWORD number, DWORD unset)
{
    if (number == unset)
        return DeleteValue(key, name);
    return RegSetValueExA(key, name, 0, REG_DWORD, (const BYTE *)&number, 4) == ERROR_SUCCESS;
}

static int SetNumber(HKEY key, SmtpValue value, DWORD number, DWORD unset)
{
    return WriteOptionalNumber(key, SmtpValueNames[value], number, unset);
}

int WriteOptionalText(HKEY key, const char *name, const char *text, size_t size)
{
    char copy[SMTP_TRUSTED_CA_SIZE];
    if (size > sizeof copy)
        size = sizeof copy;
    size_t length = strnlen(text, size - 1);
    if (length == 0)
        return DeleteValue(key, name);
    memcpy(copy, text, length);
    copy[length] = '\0';
    return RegSetValueExA(key, name, 0, REG_SZ, (const BYTE *)copy, (DWORD)length + 1) == ERROR_SUCCESS;
}

static int SetText(HKEY key, SmtpValue value, const char *text, size_t size)
{
    return WriteOptionalText(key, SmtpValueNames[value], text, size);
}

int WriteSmtpSettings(HKEY key, const SmtpSettings *settings)
{
    int ok = 1;
    DWORD port = settings->SmtpPort == SMTP_DEFAULT_PORT ? 0 : settings->SmtpPort;
    ok &= SetNumber(key, SmtpPortValue, port, 0);
    if (settings->SmtpSecurity < SMTP_SECURITY_COUNT)
        ok &= SetNumber(key, SmtpSecurityValue, settings->SmtpSecurity, SecurityNone);
    ok &= SetText(key, SmtpUserValue, settings->SmtpUser, sizeof settings->SmtpUser);
    ok &= SetText(key, SmtpTrustedCaValue, settings->SmtpTrustedCa, sizeof settings->SmtpTrustedCa);
    DWORD size = settings->SmtpPasswordSize;
    if (size == 0)
        ok &= DeleteValue(key, SmtpValueNames[SmtpPasswordValue]);
    else
        ok &= size <= sizeof settings->SmtpPassword &&
              RegSetValueExA(key, SmtpValueNames[SmtpPasswordValue], 0, REG_BINARY, settings->SmtpPassword,
                             size) == ERROR_SUCCESS;
    ok &= WriteOAuthSettings(key, &settings->OAuth);
    return ok;
}

int AnySmtpValuePresent(const SmtpValueStates *states)
{
    for (int i = 0; i < SMTP_VALUE_COUNT; i++)
        if (states->State[i] != SmtpValueAbsent)
            return 1;
    return 0;
}

DWORD SmtpPortOf(const SmtpSettings *settings)
{
    if (settings == NULL || settings->SmtpPort == 0 || settings->SmtpPort > 65535)
        return SMTP_DEFAULT_PORT;
    return settings->SmtpPort;
}
