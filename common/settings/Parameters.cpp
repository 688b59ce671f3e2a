#include "common/settings/Parameters.h"

#include <string.h>

const char *const LogRotationNames[ROTATION_KIND_COUNT] = {
    "Never", "Monthly", "Weekly", "Daily", "Hourly", "Minutely"};
const char *const ParityNames[5] = {"None", "Odd", "Even", "Mark", "Space"};
const char *const StopBitsNames[3] = {"1", "1.5", "2"};
const char *const FlowControlNames[FLOW_CONTROL_COUNT] = {"None", "RTS/CTS", "DTR/DSR", "XON/XOFF"};
const char *const SmtpSecurityNames[SMTP_SECURITY_COUNT] = {"None", "STARTTLS", "SSL/TLS"};

// Registry values written outside the configuration program can hold any
// number; the lookups must never index past their tables.
const char *LogRotationName(DWORD code) { return code < 6 ? LogRotationNames[code] : "?"; }
const char *ParityName(DWORD code) { return code < 5 ? ParityNames[code] : "?"; }
const char *StopBitsName(DWORD code) { return code < 3 ? StopBitsNames[code] : "?"; }
const char *FlowControlName(DWORD code) { return code < FLOW_CONTROL_COUNT ? FlowControlNames[code] : "?"; }

const ParameterSpec RegistryParameters[PARAMETER_COUNT] = {
    {"LogFilename",      InParametersKey, REG_SZ,    LOG_FILENAME_SIZE},
    {"SmtpServer",       InParametersKey, REG_SZ,    SMTP_FIELD_SIZE},
    {"SmtpToAddress",    InParametersKey, REG_SZ,    SMTP_FIELD_SIZE},
    {"SmtpFromAddress",  InParametersKey, REG_SZ,    SMTP_FIELD_SIZE},
    {"TimestampFormat",  InParametersKey, REG_DWORD, 4},
    {"VerboseLevel",     InParametersKey, REG_DWORD, 4},
    {"LogRotation",      InParametersKey, REG_DWORD, 4},
    {"PauseTimeout",     InParametersKey, REG_DWORD, 4},
    {"PortName",         InPortKey,       REG_SZ,    PORT_NAME_SIZE},
    {"BaudRate",         InPortKey,       REG_DWORD, 4},
    {"ByteSize",         InPortKey,       REG_DWORD, 4},
    {"ComBufferSize",    InPortKey,       REG_DWORD, 4},
    {"Parity",           InPortKey,       REG_DWORD, 4},
    {"StopBits",         InPortKey,       REG_DWORD, 4},
    {"Timeout",          InPortKey,       REG_DWORD, 4},
    {"WarningInterval",  InPortKey,       REG_DWORD, 4},
    {"CustomTimeoutCmd", InPortKey,       REG_SZ,    TIMEOUT_CMD_SIZE},
    {"NetSendUsers",     InPortKey,       REG_SZ,    NET_SEND_USERS_SIZE},
    {"DayOfWeekMask",    InPortKey,       REG_DWORD, 4},
    {"StartHour",        InPortKey,       REG_DWORD, 4},
    {"StartMin",         InPortKey,       REG_DWORD, 4},
    {"EndHour",          InPortKey,       REG_DWORD, 4},
    {"EndMin",           InPortKey,       REG_DWORD, 4},
};

int ReadParameterValue(HKEY key, const ParameterSpec &spec, void *member)
{
    // Read into a scratch buffer of the member's size: on failure the
    // platform leaves the buffer undefined, and the member must not be.
    BYTE scratch[LOG_FILENAME_SIZE];
    DWORD type = 0;
    DWORD size = spec.Size;
    if (spec.Size > sizeof scratch)
        return 0;
    if (RegQueryValueExA(key, spec.Name, NULL, &type, scratch, &size) != ERROR_SUCCESS)
        return 0;
    // A value of another type is not read as raw bytes: a string's first
    // bytes are no number, nor a number's bytes a path.
    if (type != spec.Type)
        return 0;
    if (spec.Type == REG_DWORD) {
        if (size != 4)
            return 0;
        memcpy(member, scratch, 4);
        return 1;
    }
    // A string that fills the whole buffer without its terminator is too long.
    if (size > 0 && scratch[size - 1] == '\0')
        size--;
    if (size >= spec.Size)
        return 0;
    memcpy(member, scratch, size);
    ((char *)member)[size] = '\0';
    return 1;
}

int WriteParameterValue(HKEY key, const ParameterSpec &spec, const void *member)
{
    if (spec.Type == REG_DWORD)
        return RegSetValueExA(key, spec.Name, 0, REG_DWORD, (const BYTE *)member, 4) == ERROR_SUCCESS;
    // Bounded even if a caller left a member unterminated.
    const char *text = (const char *)member;
    DWORD length = (DWORD)strnlen(text, spec.Size - 1);
    char copy[LOG_FILENAME_SIZE];
    memcpy(copy, text, length);
    copy[length] = '\0';
    return RegSetValueExA(key, spec.Name, 0, REG_SZ, (const BYTE *)copy, length + 1) == ERROR_SUCCESS;
}

const OptionalParameterSpec OptionalParameters[OPTIONAL_PARAMETER_COUNT] = {
    {"FlowControl", InPortKey, REG_DWORD, FLOW_CONTROL_COUNT - 1, FlowNone},
};

int ReadOptionalParameter(HKEY key, const OptionalParameterSpec &spec, DWORD *value)
{
    const ParameterSpec number = {spec.Name, spec.Key, spec.Type, 4};
    DWORD stored = 0;
    *value = spec.Default;
    if (ReadParameterValue(key, number, &stored)) {
        *value = stored;
        return stored <= spec.Highest ? OptionalTaken : OptionalOutOfRange;
    }
    if (RegQueryValueExA(key, spec.Name, NULL, NULL, NULL, NULL) != ERROR_SUCCESS)
        return OptionalAbsent;
    *value = OPTIONAL_UNFIT_VALUE;
    return OptionalUnfit;
}

int WriteOptionalParameter(HKEY key, const OptionalParameterSpec &spec, DWORD value)
{
    if (value == spec.Default) {
        LONG result = RegDeleteValueA(key, spec.Name);
        return result == ERROR_SUCCESS || result == ERROR_FILE_NOT_FOUND;
    }
    DWORD stored;
    if (value == OPTIONAL_UNFIT_VALUE && ReadOptionalParameter(key, spec, &stored) == OptionalUnfit)
        return 1;
    return RegSetValueExA(key, spec.Name, 0, REG_DWORD, (const BYTE *)&value, 4) == ERROR_SUCCESS;
}
