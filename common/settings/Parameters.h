// Registry layout of an instance's parameters, shared by the service and the
// configuration program. This header is the one place that names the values,
// their types, buffer sizes and codes; both programs read and write through it.
#pragma once

#include <windows.h>
#include <stddef.h>

// Instance numbers run from 1 to this.
#define MAX_INSTANCES 64

#define SERVICE_BASE_NAME           "Quillbox"
#define SERVICE_NAME_FORMAT         "Quillbox%d"
#define SERVICE_DISPLAY_NAME_FORMAT "Tallyline (%d)"
#define DEFAULT_LOG_NAME_FORMAT     "Quillbox%d.log"
#define DEFAULT_PORT_NAME_FORMAT    "COM%d"

// The service formats its key from its own name; the configuration program
// from the instance number. The port key is the parameters key plus this.
#define PARAMETERS_KEY_FORMAT          "SYSTEM\\CurrentControlSet\\Services\\%s\\Parameters"
#define INSTANCE_PARAMETERS_KEY_FORMAT "SYSTEM\\CurrentControlSet\\Services\\Quillbox%d\\Parameters"
#define INSTANCE_PORT_KEY_FORMAT       "SYSTEM\\CurrentControlSet\\Services\\Quillbox%d\\Parameters\\Port1"
#define PORT_SUBKEY_SUFFIX             "\\Port1"

// The service's outbox (MailRetryHours): one value per finished log that
// waits to be mailed. Beside Parameters, not in it: the service writes it,
// and it goes with the service when the instance is deleted.
#define OUTBOX_KEY_FORMAT          "SYSTEM\\CurrentControlSet\\Services\\%s\\Outbox"
#define INSTANCE_OUTBOX_KEY_FORMAT "SYSTEM\\CurrentControlSet\\Services\\Quillbox%d\\Outbox"

// An address the inactivity alarm is also mailed to, through the instance's
// mail settings (optional, REG_SZ in the parameters key; absent: no mail).
#define ALARM_MAIL_TO_VALUE "AlarmMailTo"

// What the registry held for an optional value, as its reader notes it
// for the configuration report.
enum SmtpValueState {
    SmtpValueAbsent  = 0,
    SmtpValueTaken   = 1,
    SmtpValueInvalid = 2    // wrong type, too long or out of range: the default is used
};

// Buffer sizes (terminating zero included) of the string values.
#define LOG_FILENAME_SIZE   260
#define SMTP_FIELD_SIZE     64
#define PORT_NAME_SIZE      8
#define TIMEOUT_CMD_SIZE    260
#define NET_SEND_USERS_SIZE 256

// The optional values of the parameters key that reach a hosted mail
// service: another port, TLS and a sign-in. All absent, mail goes out as it
// always did: plain SMTP to port 25, no authentication.
#define SMTP_DEFAULT_PORT       25
#define SMTP_USER_SIZE          64
#define SMTP_TRUSTED_CA_SIZE    260
#define SMTP_PASSWORD_BLOB_SIZE 1024    // its DPAPI-encrypted form, as the registry holds it

// The optional values of an OAuth 2.0 sign-in (OAuthSettings.h).
#define OAUTH_URL_SIZE            260
#define OAUTH_CLIENT_ID_SIZE      128
#define OAUTH_SCOPE_SIZE          260
#define OAUTH_CERTIFICATE_SIZE    64     // SHA-1 thumbprint in hex, blanks allowed
#define OAUTH_KEY_FILE_SIZE       260
#define OAUTH_PROXY_SIZE          128    // host:port
#define OAUTH_DEFAULT_SCOPE       "https://outlook.office365.com/.default"
#define OAUTH_GOOGLE_SCOPE        "https://mail.google.com/"

// SmtpAuthMethod codes.
enum SmtpAuthMethodKind {
    AuthUserPassword = 0,
    AuthOAuth2       = 1
};
#define SMTP_AUTH_METHOD_COUNT 2

// SmtpSecurity codes, as the E-mail page lists them.
enum SmtpSecurityKind {
    SecurityNone        = 0,    // plain SMTP
    SecurityStartTls    = 1,    // STARTTLS required
    SecurityImplicitTls = 2     // TLS from the first byte
};
#define SMTP_SECURITY_COUNT 3
// A stored SmtpSecurity that is not one of the codes. Mail is not sent at all
// then: falling back to plain text would hand the logs to the network in
// clear where the instance asked for encryption.
#define SMTP_SECURITY_INVALID 0xFFFFFFFF
extern const char *const SmtpSecurityNames[SMTP_SECURITY_COUNT];

// LogRotation codes.
enum LogRotationKind {
    RotationNever    = 0,
    RotationMonthly  = 1,
    RotationWeekly   = 2,
    RotationDaily    = 3,
    RotationHourly   = 4,
    RotationMinutely = 5
};
#define ROTATION_KIND_COUNT 6

// VerboseLevel bits: each lets one kind of report through to the event log.
#define VERBOSE_START_STOP    0x1
#define VERBOSE_CONFIGURATION 0x2
#define VERBOSE_TIMEOUTS      0x4
#define VERBOSE_MAIL          0x8

// DayOfWeekMask: the bit of Windows day d (0 = Sunday) is 0x40 >> d.
#define DAY_BIT(wDayOfWeek) (0x40u >> (wDayOfWeek))
#define DAYS_MONDAY_TO_FRIDAY 0x3E

// The whole-day alarm window ("Entire Day").
#define WHOLE_DAY_START_HOUR 0
#define WHOLE_DAY_START_MIN  0
#define WHOLE_DAY_END_HOUR   24
#define WHOLE_DAY_END_MIN    0

// FlowControl codes, as the General page lists them.
enum FlowControlKind {
    FlowNone    = 0,
    FlowRtsCts  = 1,
    FlowDtrDsr  = 2,
    FlowXonXoff = 3
};
#define FLOW_CONTROL_COUNT 4

// Names of the codes, as the General page lists them and the service's
// configuration report prints them. Out-of-range codes print as "?".
extern const char *const LogRotationNames[ROTATION_KIND_COUNT];
extern const char *const ParityNames[5];
extern const char *const StopBitsNames[3];
extern const char *const FlowControlNames[FLOW_CONTROL_COUNT];
const char *LogRotationName(DWORD code);
const char *ParityName(DWORD code);
const char *StopBitsName(DWORD code);
const char *FlowControlName(DWORD code);

// One registry value: its name, which key holds it, its type and the size of
// the member both programs read it into.
enum ParameterKeyKind { InParametersKey = 0, InPortKey = 1 };

struct ParameterSpec {
    const char *Name;
    ParameterKeyKind Key;
    DWORD Type;   // REG_SZ or REG_DWORD
    DWORD Size;   // member size in bytes
};

// The 23 values in the order in which both programs write and read them:
// the 8 of the parameters key, then the 15 of the port key.
#define PARAMETER_COUNT 23
extern const ParameterSpec RegistryParameters[PARAMETER_COUNT];

// Reads one value into a member of spec.Size bytes. Never writes past the
// member; a string member is always left NUL-terminated. A value that does
// not fit (another type than the table's, a string longer than the member, a
// number of other than 4 bytes) is not taken and the member keeps what it
// held. Returns non-zero when the value was present and taken.
int ReadParameterValue(HKEY key, const ParameterSpec &spec, void *member);

// Writes one value from a member (strings with their length plus one).
// Returns non-zero on success.
int WriteParameterValue(HKEY key, const ParameterSpec &spec, const void *member);

// Optional numbers beside the 23 values, in a table that code can walk.
// Absent, each means its default, and the configuration program writes one
// only while it differs from the default (deleting it otherwise), so the keys
// of an instance that never used one stay exactly as they were.
struct OptionalParameterSpec {
    const char *Name;
    ParameterKeyKind Key;
    DWORD Type;       // REG_DWORD
    DWORD Highest;    // the valid values are 0 to Highest
    DWORD Default;    // what an absent value means
};
enum OptionalParameter {
    FlowControlValue = 0,   // FlowControlKind, in the port key
    OPTIONAL_PARAMETER_COUNT
};
extern const OptionalParameterSpec OptionalParameters[OPTIONAL_PARAMETER_COUNT];

// What the registry held for an optional parameter.
enum OptionalParameterState {
    OptionalAbsent     = 0,
    OptionalTaken      = 1,
    OptionalOutOfRange = 2,   // a number above Highest, kept as stored
    OptionalUnfit      = 3    // another type, or not 4 bytes
};
// The value an unfit one is read as: above every range, so it is never
// taken for one of the codes.
#define OPTIONAL_UNFIT_VALUE 0xFFFFFFFF

// Reads an optional parameter from an open key into value (the default when
// it is absent, OPTIONAL_UNFIT_VALUE when unfit) and returns its state.
int ReadOptionalParameter(HKEY key, const OptionalParameterSpec &spec, DWORD *value);

// Deletes the value when it is the default and writes it otherwise; an
// unfit value stored before is left as it is (it stands for something this
// program cannot show). Returns non-zero on success.
int WriteOptionalParameter(HKEY key, const OptionalParameterSpec &spec, DWORD value);
