// The configuration program's record of one instance and its table of 64.
// A record is a plain value: the property sheet copies a whole record into
// its working copy and back, so every member is a fixed-size value.
#pragma once

#include <windows.h>
#include <stddef.h>

#include "common/settings/ForwardSettings.h"
#include "common/settings/MailSettings.h"
#include "common/settings/Parameters.h"
#include "common/settings/SmtpSettings.h"

#define STORED_VALUE_SIZE 64

struct StoredRegistryValue {
    DWORD Type;
    DWORD Size;
    BYTE  Data[STORED_VALUE_SIZE];
};

struct InstanceSettings {
    // Run-time state; never written as parameter values.
    int            InUse;           // the slot holds an instance (0: free, or deleted since the last save)
    SC_HANDLE      ServiceHandle;   // open handle to Quillbox<N>, null while it has no service
    SERVICE_STATUS LastStatus;      // last status seen; only dwCurrentState is used
    int            AutoStart;       // 1: SERVICE_AUTO_START, 0: SERVICE_DEMAND_START
    int            StartDisabled;   // the service was found Disabled: kept so until AutoStart is set by the user
    int            Unreadable;      // the slot's service exists but could not be read: never used or written
    // Parameters, each under the registry value of the same name.
    char  SmtpServer[SMTP_FIELD_SIZE];
    char  SmtpToAddress[SMTP_FIELD_SIZE];
    char  SmtpFromAddress[SMTP_FIELD_SIZE];
    char  LogFilename[LOG_FILENAME_SIZE];
    DWORD LogRotation;
    DWORD PauseTimeout;
    DWORD TimestampFormat;
    DWORD VerboseLevel;
    char  CustomTimeoutCmd[TIMEOUT_CMD_SIZE];
    char  NetSendUsers[NET_SEND_USERS_SIZE];
    char  PortName[PORT_NAME_SIZE];
    DWORD BaudRate;
    DWORD ByteSize;
    DWORD ComBufferSize;
    DWORD DayOfWeekMask;
    DWORD EndHour;
    DWORD EndMin;
    DWORD Parity;
    DWORD StartHour;
    DWORD StartMin;
    DWORD StopBits;
    DWORD Timeout;
    DWORD WarningInterval;
    // Optional parameters (OptionalParameters), written only while they
    // differ from their defaults.
    DWORD FlowControl;
    // The optional values of the parameters key for a hosted mail service;
    // written only when they differ from their defaults. The password only
    // in its encrypted form.
    SmtpSettings Smtp;
    // How finished logs are mailed (retries, zipping): written likewise only
    // while they differ from 0.
    MailSettings Mail;
    // The syslog collector every line is forwarded to: written likewise only
    // while set.
    ForwardSettings Forward;
    // A stored SmtpSecurity that is no code this program knows (Smtp holds
    // SMTP_SECURITY_INVALID then), as the registry held it, so that a
    // duplicate gets it too instead of mailing in clear. Size 0: too large
    // to keep, or none.
    StoredRegistryValue SmtpSecurityAsStored;
};

// Indexed directly by instance number 1..MAX_INSTANCES; slot 0 is never used.
extern InstanceSettings InstanceTable[MAX_INSTANCES + 1];

// 1 while the table holds changes that are not saved.
extern int SettingsModified;

// Offsets of the parameter members in the order of RegistryParameters, so
// that load and save walk the one table of the 23 values (Smtp is read and
// written beside them, SmtpSettings.h).
extern const size_t InstanceParameterOffsets[PARAMETER_COUNT];
// The same for the optional parameters, in the order of OptionalParameters.
extern const size_t InstanceOptionalOffsets[OPTIONAL_PARAMETER_COUNT];

inline int IsInstanceNumber(int n) { return n >= 1 && n <= MAX_INSTANCES; }

// Copies text into a fixed member of the given size: always terminated,
// never past the member. Returns non-zero when the text fitted whole.
int CopySettingText(char *member, size_t size, const char *text);
#define COPY_SETTING(member, text) CopySettingText((member), sizeof(member), (text))
