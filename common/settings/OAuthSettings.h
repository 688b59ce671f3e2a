// Signing in to the SMTP server with OAuth 2.0 (XOAUTH2) instead of a
// password: where the access token comes from and what proves this machine's
// right to it. Optional values of the parameters key, read and written with
// the other mail values (SmtpSettings.h); all absent, the sign-in is the user
// and password as before.
#pragma once

#include "common/settings/Parameters.h"

struct OAuthSettings {
    DWORD SmtpAuthMethod;                                  // SmtpAuthMethodKind
    char  OAuthTokenUrl[OAUTH_URL_SIZE];                   // https:// only
    char  OAuthClientId[OAUTH_CLIENT_ID_SIZE];
    char  OAuthScope[OAUTH_SCOPE_SIZE];                    // empty: OAUTH_DEFAULT_SCOPE (or Google's)
    BYTE  OAuthClientSecret[SMTP_PASSWORD_BLOB_SIZE];      // encrypted like SmtpPassword, never clear
    DWORD OAuthClientSecretSize;                           // bytes in use; 0: none
    char  OAuthCertificate[OAUTH_CERTIFICATE_SIZE];        // thumbprint; set: used instead of the secret
    char  OAuthKeyFile[OAUTH_KEY_FILE_SIZE];               // a Google service account's JSON key file
    char  OAuthProxy[OAUTH_PROXY_SIZE];                    // host:port of an HTTP proxy; empty: direct
    char  OAuthTrustedCa[SMTP_TRUSTED_CA_SIZE];            // the token endpoint's private CA; empty: none
};

// The values in the order both programs read and write them.
enum OAuthValue {
    SmtpAuthMethodValue = 0,
    OAuthTokenUrlValue,
    OAuthClientIdValue,
    OAuthScopeValue,
    OAuthClientSecretValue,
    OAuthCertificateValue,
    OAuthKeyFileValue,
    OAuthProxyValue,
    OAuthTrustedCaValue,
    OAUTH_VALUE_COUNT
};

// Each value's name, type, the size of its member (for REG_BINARY the
// largest blob) and where the member lies in OAuthSettings: the one table
// of these values.
struct OAuthValueSpec {
    const char *Name;
    DWORD Type;             // REG_DWORD, REG_SZ or REG_BINARY
    DWORD Size;
    size_t Offset;
    DWORD Highest;          // REG_DWORD: the largest valid number
};
extern const OAuthValueSpec OAuthValues[OAUTH_VALUE_COUNT];

// What the registry held for each value (SmtpValueState codes).
struct OAuthValueStates {
    int State[OAUTH_VALUE_COUNT];
};

// Reads the values from an open parameters key into settings, which the
// caller has set to the defaults (zero). A value of the wrong type, too long
// or out of range is left at its default and noted as invalid.
void ReadOAuthSettings(HKEY key, OAuthSettings *settings, OAuthValueStates *states);

// Writes the values that are set and deletes the others. Non-zero when every
// value was written or deleted.
int WriteOAuthSettings(HKEY key, const OAuthSettings *settings);

// Non-zero when any of the values was in the registry, valid or not.
int AnyOAuthValuePresent(const OAuthValueStates *states);

// The scope asked for: OAuthScope, or the default of the kind of sign-in
// (Google's for a key file, Microsoft 365's otherwise).
const char *OAuthScopeOf(const OAuthSettings *settings);

// The client secret is protected as the SMTP password is (DPAPI, machine
// scope): at most SMTP_PASSWORD_SIZE - 1 characters.
DWORD ProtectOAuthClientSecret(const char *secret, BYTE *blob, DWORD blobSize);
int UnprotectOAuthClientSecret(const BYTE *blob, DWORD blobLength, char *secret, size_t secretSize);

// The certificate's thumbprint as 20 bytes; hex digits with any blanks or
// colons between them (as Windows shows it). Non-zero when it is one.
int ParseThumbprint(const char *text, BYTE thumbprint[20]);
