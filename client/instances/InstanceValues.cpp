#include "client/instances/InstanceValues.h"

#include <stdio.h>
#include <string.h>

#include "common/secrets/SmtpPassword.h"

#define MEMBER_SIZE(member) ((DWORD)sizeof(((InstanceSettings *)0)->member))
#define AT(member) offsetof(InstanceSettings, member), MEMBER_SIZE(member)
#define ANY_NUMBER 0, 0xFFFFFFFF

// To add a value: its member in InstanceSettings (loaded and saved by
// InstanceStore), then one row here. Numbers take the range the service acts
// on (CheckParameters.cpp, ReadSmtpSettings); an optional value names the
// default that stands for "not stored".
const InstanceValueSpec InstanceValues[] = {
    // name                place            kind            member                   range              opt dflt length
    {"LogFilename",        InParameters,    TextValue,      AT(LogFilename),         0, 0,              0, 0, 0},
    {"SmtpServer",         InParameters,    TextValue,      AT(SmtpServer),          0, 0,              0, 0, 0},
    {"SmtpToAddress",      InParameters,    TextValue,      AT(SmtpToAddress),       0, 0,              0, 0, 0},
    {"SmtpFromAddress",    InParameters,    TextValue,      AT(SmtpFromAddress),     0, 0,              0, 0, 0},
    {"TimestampFormat",    InParameters,    NumberValue,    AT(TimestampFormat),     ANY_NUMBER,        0, 0, 0},
    {"VerboseLevel",       InParameters,    BitsValue,      AT(VerboseLevel),        ANY_NUMBER,        0, 0, 0},
    {"LogRotation",        InParameters,    NumberValue,    AT(LogRotation),         0, 5,              0, 0, 0},
    {"PauseTimeout",       InParameters,    NumberValue,    AT(PauseTimeout),        ANY_NUMBER,        0, 0, 0},
    {"PortName",           InPort,          TextValue,      AT(PortName),            0, 0,              0, 0, 0},
    {"BaudRate",           InPort,          NumberValue,    AT(BaudRate),            ANY_NUMBER,        0, 0, 0},
    {"ByteSize",           InPort,          NumberValue,    AT(ByteSize),            4, 8,              0, 0, 0},
    {"ComBufferSize",      InPort,          NumberValue,    AT(ComBufferSize),       ANY_NUMBER,        0, 0, 0},
    {"Parity",             InPort,          NumberValue,    AT(Parity),              0, 4,              0, 0, 0},
    {"StopBits",           InPort,          NumberValue,    AT(StopBits),            0, 2,              0, 0, 0},
    {"Timeout",            InPort,          NumberValue,    AT(Timeout),             ANY_NUMBER,        0, 0, 0},
    {"WarningInterval",    InPort,          NumberValue,    AT(WarningInterval),     ANY_NUMBER,        0, 0, 0},
    {"CustomTimeoutCmd",   InPort,          TextValue,      AT(CustomTimeoutCmd),    0, 0,              0, 0, 0},
    {"NetSendUsers",       InPort,          TextValue,      AT(NetSendUsers),        0, 0,              0, 0, 0},
    {"DayOfWeekMask",      InPort,          BitsValue,      AT(DayOfWeekMask),       ANY_NUMBER,        0, 0, 0},
    {"StartHour",          InPort,          NumberValue,    AT(StartHour),           0, 23,             0, 0, 0},
    {"StartMin",           InPort,          NumberValue,    AT(StartMin),            0, 59,             0, 0, 0},
    {"EndHour",            InPort,          NumberValue,    AT(EndHour),             0, 24,             0, 0, 0},
    {"EndMin",             InPort,          NumberValue,    AT(EndMin),              0, 59,             0, 0, 0},
    {"SmtpPort",           InParameters,    NumberValue,    AT(Smtp.SmtpPort),       0, 65535,          1, 0, 0},
    {"SmtpSecurity",       InParameters,    NumberValue,    AT(Smtp.SmtpSecurity),   0, 2,              1, 0, 0},
    {"SmtpUser",           InParameters,    TextValue,      AT(Smtp.SmtpUser),       0, 0,              1, 0, 0},
    {"SmtpTrustedCa",      InParameters,    TextValue,      AT(Smtp.SmtpTrustedCa),  0, 0,              1, 0, 0},
    {"SmtpPassword",       InParameters,    SecretValue,    AT(Smtp.SmtpPassword),   0, SMTP_PASSWORD_SIZE - 1, 1, 0,
                                                            offsetof(InstanceSettings, Smtp.SmtpPasswordSize)},
    {"FlowControl",        InPort,          NumberValue,    AT(FlowControl),         0, FLOW_CONTROL_COUNT - 1, 1, 0, 0},
    {"MailRetryHours",     InParameters,    NumberValue,    AT(Mail.MailRetryHours), 0, MAIL_RETRY_HOURS_MAX, 1, 0, 0},
    {"MailAttachment",     InParameters,    NumberValue,    AT(Mail.MailAttachment), 0, MAIL_ATTACHMENT_COUNT - 1, 1, 0, 0},
    {"SmtpAuthMethod",     InParameters,    NumberValue,    AT(Smtp.OAuth.SmtpAuthMethod), 0, SMTP_AUTH_METHOD_COUNT - 1, 1, 0, 0},
    {"OAuthTokenUrl",      InParameters,    TextValue,      AT(Smtp.OAuth.OAuthTokenUrl), 0, 0,       1, 0, 0},
    {"OAuthClientId",      InParameters,    TextValue,      AT(Smtp.OAuth.OAuthClientId), 0, 0,       1, 0, 0},
    {"OAuthScope",         InParameters,    TextValue,      AT(Smtp.OAuth.OAuthScope), 0, 0,          1, 0, 0},
    // Encrypted as the password is (ProtectOAuthClientSecret).
    {"OAuthClientSecret",  InParameters,    SecretValue,    AT(Smtp.OAuth.OAuthClientSecret), 0, SMTP_PASSWORD_SIZE - 1, 1, 0,
                                                            offsetof(InstanceSettings, Smtp.OAuth.OAuthClientSecretSize)},
    {"OAuthCertificate",   InParameters,    TextValue,      AT(Smtp.OAuth.OAuthCertificate), 0, 0,    1, 0, 0},
    {"OAuthKeyFile",       InParameters,    TextValue,      AT(Smtp.OAuth.OAuthKeyFile), 0, 0,        1, 0, 0},
    {"OAuthProxy",         InParameters,    TextValue,      AT(Smtp.OAuth.OAuthProxy), 0, 0,          1, 0, 0},
    {"ForwardTo",          InParameters,    TextValue,      AT(Forward.ForwardTo),   0, 0,              1, 0, 0},
    // Absent (0) is local0; a stored one is local0 to local7.
    {"ForwardFacility",    InParameters,    NumberValue,    AT(Forward.ForwardFacility), FORWARD_FACILITY_LOWEST, FORWARD_FACILITY_HIGHEST, 1, 0, 0},
    {"ForwardTrustedCa",   InParameters,    TextValue,      AT(Forward.ForwardTrustedCa), 0, 0,       1, 0, 0},
    {"ForwardCertificate", InParameters,    TextValue,      AT(Forward.ForwardCertificate), 0, 0,     1, 0, 0},
    {"StartAutomatically", InServiceConfig, StartTypeValue, AT(AutoStart),           0, 1,              0, 0, 0},
};
const int InstanceValueCount = (int)(sizeof InstanceValues / sizeof InstanceValues[0]);

static_assert(sizeof InstanceValues / sizeof InstanceValues[0] <= MAX_INSTANCE_VALUES,
              "MAX_INSTANCE_VALUES bounds the tables that note which values a file gives");

static char *MemberOf(InstanceSettings *record, int row)
{
    return (char *)record + InstanceValues[row].Offset;
}

static const char *MemberOf(const InstanceSettings *record, int row)
{
    return (const char *)record + InstanceValues[row].Offset;
}

static DWORD NumberOf(const InstanceSettings *record, int row)
{
    DWORD value;
    memcpy(&value, MemberOf(record, row), sizeof value);
    return value;
}

int FindInstanceValue(const char *name)
{
    for (int i = 0; i < InstanceValueCount; i++)
        if (_stricmp(InstanceValues[i].Name, name) == 0)
            return i;
    return -1;
}

// Decimal digits, or hexadecimal after 0x; blanks around them allowed; all
// of it within 32 bits.
static int ParseNumber(const char *text, DWORD *value)
{
    while (*text == ' ' || *text == '\t')
        text++;
    unsigned base = 10;
    if (text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text += 2;
    }
    unsigned long long number = 0;
    int digits = 0;
    for (;; text++, digits++) {
        unsigned digit;
        char c = *text;
        if (c >= '0' && c <= '9')
            digit = (unsigned)(c - '0');
        else if (base == 16 && c >= 'a' && c <= 'f')
            digit = (unsigned)(c - 'a' + 10);
        else if (base == 16 && c >= 'A' && c <= 'F')
            digit = (unsigned)(c - 'A' + 10);
        else
            break;
        number = number * base + digit;
        if (number > 0xFFFFFFFFull)
            return 0;
    }
    while (*text == ' ' || *text == '\t')
        text++;
    if (digits == 0 || *text != '\0')
        return 0;
    *value = (DWORD)number;
    return 1;
}

static int ParseYesNo(const char *text, int *value)
{
    if (_stricmp(text, "Yes") == 0 || strcmp(text, "1") == 0)
        *value = 1;
    else if (_stricmp(text, "No") == 0 || strcmp(text, "0") == 0)
        *value = 0;
    else
        return 0;
    return 1;
}

int SetInstanceValue(int row, const char *text, InstanceSettings *record, char *reason, size_t reasonSize)
{
    const InstanceValueSpec &spec = InstanceValues[row];
    size_t length = strlen(text);
    switch (spec.Kind) {
    case TextValue:
        if (length >= spec.Size) {
            snprintf(reason, reasonSize, "%s is longer than %lu characters", spec.Name, (unsigned long)spec.Size - 1);
            return 0;
        }
        memcpy(MemberOf(record, row), text, length + 1);
        return 1;
    case NumberValue:
    case BitsValue: {
        DWORD number;
        if (!ParseNumber(text, &number)) {
            snprintf(reason, reasonSize, "%s \"%.40s\" is not a number (decimal, or hexadecimal after 0x)",
                     spec.Name, text);
            return 0;
        }
        if (number < spec.Low || number > spec.High) {
            snprintf(reason, reasonSize, "%s %lu is outside %lu to %lu", spec.Name, (unsigned long)number,
                     (unsigned long)spec.Low, (unsigned long)spec.High);
            return 0;
        }
        memcpy(MemberOf(record, row), &number, sizeof number);
        return 1;
    }
    case StartTypeValue: {
        int yes;
        if (!ParseYesNo(text, &yes)) {
            snprintf(reason, reasonSize, "%s \"%.40s\" is neither Yes nor No", spec.Name, text);
            return 0;
        }
        memcpy(MemberOf(record, row), &yes, sizeof yes);
        return 1;
    }
    case SecretValue: {
        // The reasons never repeat the text: it is a secret.
        if (length > spec.High) {
            snprintf(reason, reasonSize, "%s is longer than %lu characters", spec.Name, (unsigned long)spec.High);
            return 0;
        }
        BYTE blob[SMTP_PASSWORD_BLOB_SIZE];
        DWORD size = 0;
        if (length > 0 && (spec.Size > sizeof blob || (size = ProtectSmtpPassword(text, blob, spec.Size)) == 0)) {
            snprintf(reason, reasonSize, "%s could not be encrypted on this machine (error %lu)", spec.Name,
                     (unsigned long)GetLastError());
            return 0;
        }
        char *member = MemberOf(record, row);
        memset(member, 0, spec.Size);
        memcpy(member, blob, size);
        memcpy((char *)record + spec.LengthOffset, &size, sizeof size);
        return 1;
    }
    }
    return 0;
}

void CopyInstanceValue(int row, const InstanceSettings *from, InstanceSettings *to)
{
    const InstanceValueSpec &spec = InstanceValues[row];
    memcpy(MemberOf(to, row), MemberOf(from, row), spec.Size);
    if (spec.Kind == SecretValue)
        memcpy((char *)to + spec.LengthOffset, (const char *)from + spec.LengthOffset, sizeof(DWORD));
}

int InstanceValueIsStored(int row, const InstanceSettings *record)
{
    const InstanceValueSpec &spec = InstanceValues[row];
    if (!spec.Optional)
        return 1;
    switch (spec.Kind) {
    case TextValue:
        return MemberOf(record, row)[0] != '\0';
    case SecretValue: {
        DWORD size;
        memcpy(&size, (const char *)record + spec.LengthOffset, sizeof size);
        return size != 0;
    }
    default:
        return NumberOf(record, row) != spec.Default;
    }
}

int InstanceValueIsImportable(int row, const InstanceSettings *record)
{
    const InstanceValueSpec &spec = InstanceValues[row];
    const char *member = MemberOf(record, row);
    switch (spec.Kind) {
    case TextValue: {
        size_t length = strnlen(member, spec.Size - 1);
        return memchr(member, '\r', length) == NULL && memchr(member, '\n', length) == NULL;
    }
    case NumberValue:
    case BitsValue:
        return NumberOf(record, row) >= spec.Low && NumberOf(record, row) <= spec.High;
    case StartTypeValue:
        return 1;
    case SecretValue:
        return 0;
    }
    return 0;
}

int FormatInstanceValue(int row, const InstanceSettings *record, int quoted, char *text, size_t size)
{
    const InstanceValueSpec &spec = InstanceValues[row];
    const char *member = MemberOf(record, row);
    int written = -1;
    switch (spec.Kind) {
    case TextValue: {
        size_t length = strnlen(member, spec.Size - 1);
        int quote = quoted && length > 0 &&
                    (member[0] == ' ' || member[0] == '\t' || member[0] == '"' || member[length - 1] == ' ' ||
                     member[length - 1] == '\t');
        written = snprintf(text, size, quote ? "\"%.*s\"" : "%.*s", (int)length, member);
        break;
    }
    case NumberValue:
    case BitsValue:
        written = snprintf(text, size, spec.Kind == BitsValue ? "0x%lX" : "%lu",
                           (unsigned long)NumberOf(record, row));
        break;
    case StartTypeValue:
        written = snprintf(text, size, "%s", NumberOf(record, row) ? "Yes" : "No");
        break;
    case SecretValue:
        return 0;
    }
    return written >= 0 && (size_t)written < size;
}

void UnquoteInstanceValue(char *text)
{
    size_t length = strlen(text);
    if (length >= 2 && text[0] == '"' && text[length - 1] == '"') {
        memmove(text, text + 1, length - 2);
        text[length - 2] = '\0';
    }
}
