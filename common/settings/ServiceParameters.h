// The service's copy of one instance's parameters: one member per registry
// value, with the value's name, width and buffer size.
#pragma once

#include "common/settings/ForwardSettings.h"
#include "common/settings/MailSettings.h"
#include "common/settings/Parameters.h"
#include "common/settings/SmtpSettings.h"

struct ServiceParameters {
    // Parameters key.
    char  LogFilename[LOG_FILENAME_SIZE];
    char  SmtpServer[SMTP_FIELD_SIZE];
    char  SmtpToAddress[SMTP_FIELD_SIZE];
    char  SmtpFromAddress[SMTP_FIELD_SIZE];
    DWORD TimestampFormat;
    DWORD VerboseLevel;
    DWORD LogRotation;
    DWORD PauseTimeout;
    // Port1 key.
    char  PortName[PORT_NAME_SIZE];
    DWORD BaudRate;
    DWORD ByteSize;
    DWORD ComBufferSize;
    DWORD Parity;
    DWORD StopBits;
    DWORD Timeout;
    DWORD WarningInterval;
    char  CustomTimeoutCmd[TIMEOUT_CMD_SIZE];
    char  NetSendUsers[NET_SEND_USERS_SIZE];
    DWORD DayOfWeekMask;
    DWORD StartHour;
    DWORD StartMin;
    DWORD EndHour;
    DWORD EndMin;
    // Optional parameters (OptionalParameters), as stored or their defaults.
    DWORD FlowControl;
    // The optional values of the parameters key that reach a hosted mail
    // service, and what the registry held for each (for the report).
    SmtpSettings Smtp;
    SmtpValueStates SmtpStates;
    // The optional values of how finished logs are mailed, likewise.
    MailSettings Mail;
    MailValueStates MailStates;
    // The syslog collector every line is forwarded to, likewise.
    ForwardSettings Forward;
    ForwardValueStates ForwardStates;
};

// Offsets of the 23 members in the order of RegistryParameters.
extern const size_t ServiceParameterOffsets[PARAMETER_COUNT];
// Offsets of the optional parameters in the order of OptionalParameters.
extern const size_t ServiceOptionalOffsets[OPTIONAL_PARAMETER_COUNT];
