#include "common/settings/ForwardSettings.h"

#include <string.h>

#include "common/settings/SmtpSettings.h"

const char *const ForwardValueNames[FORWARD_VALUE_COUNT] = {
    "ForwardTo", "ForwardFacility", "ForwardTrustedCa", "ForwardCertificate",
};

const char *const ForwardSchemes[FORWARD_TRANSPORT_COUNT] = {"", "tcp", "tls", "udp"};

// A string value into its member: absent, taken, or invalid (another type,
// or longer than the member). A value stored without its terminating zero
// still ends at the member's end.
static int ReadText(HKEY key, const char *name, char *member, DWORD memberSize)
{
    char scratch[FORWARD_TO_SIZE];
    DWORD type = 0, size = memberSize < sizeof scratch ? memberSize : (DWORD)sizeof scratch;
    LONG result = RegQueryValueExA(key, name, NULL, &type, (BYTE *)scratch, &size);
    if (result == ERROR_FILE_NOT_FOUND)
        return SmtpValueAbsent;
    if (result != ERROR_SUCCESS || type != REG_SZ)
        return SmtpValueInvalid;
    size_t length = strnlen(scratch, size);
    if (length >= memberSize)
        return SmtpValueInvalid;
    memcpy(member, scratch, length);
    member[length] = '\0';
    return SmtpValueTaken;
}

void ReadForwardSettings(HKEY key, ForwardSettings *settings, ForwardValueStates *states)
{
    memset(settings, 0, sizeof *settings);
    int state[FORWARD_VALUE_COUNT];
    state[ForwardToValue] = ReadText(key, ForwardValueNames[ForwardToValue], settings->ForwardTo,
                                     sizeof settings->ForwardTo);
    DWORD facility = 0;
    state[ForwardFacilityValue] = ReadOptionalNumber(key, ForwardValueNames[ForwardFacilityValue],
                                                     FORWARD_FACILITY_HIGHEST, &facility);
    if (state[ForwardFacilityValue] == SmtpValueTaken && facility < FORWARD_FACILITY_LOWEST)
        state[ForwardFacilityValue] = SmtpValueInvalid;
    if (state[ForwardFacilityValue] == SmtpValueTaken)
        settings->ForwardFacility = facility;
    state[ForwardTrustedCaValue] = ReadText(key, ForwardValueNames[ForwardTrustedCaValue],
                                            settings->ForwardTrustedCa, sizeof settings->ForwardTrustedCa);
    state[ForwardCertificateValue] = ReadText(key, ForwardValueNames[ForwardCertificateValue],
                                              settings->ForwardCertificate, sizeof settings->ForwardCertificate);
    if (states != NULL)
        memcpy(states->State, state, sizeof state);
}

static int WriteText(HKEY key, const char *name, const char *text, size_t size)
{
    size_t length = strnlen(text, size - 1);
    if (length == 0) {
        LONG result = RegDeleteValueA(key, name);
        return result == ERROR_SUCCESS || result == ERROR_FILE_NOT_FOUND;
    }
    char copy[FORWARD_TO_SIZE];
    if (length >= sizeof copy)
        return 0;
    memcpy(copy, text, length);
    copy[length] = '\0';
    return RegSetValueExA(key, name, 0, REG_SZ, (const BYTE *)copy, (DWORD)length + 1) == ERROR_SUCCESS;
}

int WriteForwardSettings(HKEY key, const ForwardSettings *settings)
{
    int ok = WriteText(key, ForwardValueNames[ForwardToValue], settings->ForwardTo, sizeof settings->ForwardTo);
    ok &= WriteOptionalNumber(key, ForwardValueNames[ForwardFacilityValue], settings->ForwardFacility, 0);
    ok &= WriteText(key, ForwardValueNames[ForwardTrustedCaValue], settings->ForwardTrustedCa,
                    sizeof settings->ForwardTrustedCa);
    ok &= WriteText(key, ForwardValueNames[ForwardCertificateValue], settings->ForwardCertificate,
                    sizeof settings->ForwardCertificate);
    return ok;
}

int AnyForwardValuePresent(const ForwardValueStates *states)
{
    for (int i = 0; i < FORWARD_VALUE_COUNT; i++)
        if (states->State[i] != SmtpValueAbsent)
            return 1;
    return 0;
}

DWORD ForwardFacilityOf(const ForwardSettings *settings)
{
    DWORD facility = settings->ForwardFacility;
    if (facility < FORWARD_FACILITY_LOWEST || facility > FORWARD_FACILITY_HIGHEST)
        return FORWARD_FACILITY_LOWEST;
    return facility;
}

static int IsHostCharacter(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '-';
}

int ParseForwardTo(const char *text, ForwardTarget *target)
{
    memset(target, 0, sizeof *target);
    const char *rest = NULL;
    for (int t = ForwardTcp; t < FORWARD_TRANSPORT_COUNT; t++) {
        if (_strnicmp(text, ForwardSchemes[t], 3) == 0 && strncmp(text + 3, "://", 3) == 0) {
            target->Transport = t;
            rest = text + 6;
        }
    }
    if (rest == NULL)
        return 0;
    const char *colon = strrchr(rest, ':');
    size_t hostLength = colon != NULL ? (size_t)(colon - rest) : 0;
    if (hostLength == 0 || hostLength >= sizeof target->Host || rest[0] == '.' || rest[0] == '-')
        return 0;
    for (size_t i = 0; i < hostLength; i++)
        if (!IsHostCharacter(rest[i]))
            return 0;
    unsigned port = 0;
    const char *digit = colon + 1;
    for (; *digit >= '0' && *digit <= '9' && port <= 65535; digit++)
        port = port * 10 + (unsigned)(*digit - '0');
    if (digit == colon + 1 || *digit != '\0' || port == 0 || port > 65535)
        return 0;
    memcpy(target->Host, rest, hostLength);
    target->Host[hostLength] = '\0';
    target->Port = port;
    return 1;
}
