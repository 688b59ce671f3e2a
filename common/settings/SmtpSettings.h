// How an instance reaches its SMTP server beyond the server's name: port,
// TLS, user and password, and a private root CA to trust. Five optional
// values of the parameters key, read by the service and read and written by
// the configuration program. Absent values are the defaults, and an instance
// with all of them absent mails exactly as before they existed.
#pragma once

#include "common/settings/OAuthSettings.h"
#include "common/settings/Parameters.h"

struct SmtpSettings {
    DWORD SmtpPort;                              // 0: SMTP_DEFAULT_PORT
    DWORD SmtpSecurity;                          // SmtpSecurityKind or SMTP_SECURITY_INVALID
    char  SmtpUser[SMTP_USER_SIZE];              // empty: no AUTH
    char  SmtpTrustedCa[SMTP_TRUSTED_CA_SIZE];   // PEM or DER file; empty: none
    BYTE  SmtpPassword[SMTP_PASSWORD_BLOB_SIZE]; // encrypted (SmtpPassword.h), never clear
    DWORD SmtpPasswordSize;                      // bytes of SmtpPassword in use; 0: none
    OAuthSettings OAuth;                         // sign-in with OAuth 2.0 instead of the password
};

// The five values, in the order both programs read and write them.
enum SmtpValue {
    SmtpPortValue = 0,
    SmtpSecurityValue,
    SmtpUserValue,
    SmtpTrustedCaValue,
    SmtpPasswordValue,
    SMTP_VALUE_COUNT
};
extern const char *const SmtpValueNames[SMTP_VALUE_COUNT];

// What the registry held for each value (SmtpValueState, Parameters.h).
struct SmtpValueStates {
    int State[SMTP_VALUE_COUNT];
    OAuthValueStates OAuth;
};

// Reads the five values (and the OAuth values) from an open parameters key into settings (which it
// first sets to the defaults) and, when states is not null, notes what each
// value was. Never reads past a member; a string is always terminated.
void ReadSmtpSettings(HKEY key, SmtpSettings *settings, SmtpValueStates *states);

// Writes the values (the OAuth values too) that differ from their defaults and deletes those that do
// not, so a key that never had them is left as it was. An invalid
// SmtpSecurity is left in the registry untouched: it stands for a value this
// program cannot show, and deleting it would turn mail back to plain text.
// Non-zero when every value was written or deleted.
int WriteSmtpSettings(HKEY key, const SmtpSettings *settings);

// Non-zero when any of the five values was in the registry, valid or not.
int AnySmtpValuePresent(const SmtpValueStates *states);

// One optional number of the parameters key, for these values and the
// others beside them (MailSettings.h): read into member when present, of
// type REG_DWORD and at most `highest`, returning what the registry held (a
// SmtpValueState); written only while it differs from `unset`, deleted
// otherwise. The write returns non-zero on success.
int ReadOptionalNumber(HKEY key, const char *name, DWORD highest, DWORD *member);
int WriteOptionalNumber(HKEY key, const char *name, DWORD number, DWORD unset);
// The same for an optional string: read when it fits member (of another type
// or too long it is invalid); written while not empty (at most
// SMTP_TRUSTED_CA_SIZE - 1 characters of it), deleted otherwise.
int ReadOptionalText(HKEY key, const char *name, char *member, DWORD memberSize);
int WriteOptionalText(HKEY key, const char *name, const char *text, size_t size);

// The TCP port to connect to.
DWORD SmtpPortOf(const SmtpSettings *settings);
