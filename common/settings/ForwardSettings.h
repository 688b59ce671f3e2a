// Central collection: every captured line forwarded to a syslog collector.
// Four optional values of the parameters key, read by the service and read
// and written by the configuration program; with ForwardTo absent nothing is
// forwarded and nothing else changes.
#pragma once

#include "common/settings/Parameters.h"

#define FORWARD_TO_SIZE          260     // tcp://HOST:PORT, tls://HOST:PORT or udp://HOST:PORT
#define FORWARD_TRUSTED_CA_SIZE  260
#define FORWARD_CERTIFICATE_SIZE 64      // SHA-1 thumbprint in hex, blanks allowed
#define FORWARD_HOST_SIZE        256

// ForwardFacility: local0 (16) to local7 (23); absent, local0.
#define FORWARD_FACILITY_LOWEST  16
#define FORWARD_FACILITY_HIGHEST 23

// The forwarder's place in the logs (the service writes it): beside
// Parameters, like the mail outbox.
#define FORWARD_KEY_FORMAT "SYSTEM\\CurrentControlSet\\Services\\%s\\Forward"

struct ForwardSettings {
    char  ForwardTo[FORWARD_TO_SIZE];                  // empty: nothing is forwarded
    DWORD ForwardFacility;                             // 0: absent, local0
    char  ForwardTrustedCa[FORWARD_TRUSTED_CA_SIZE];   // PEM or DER file; empty: the machine's roots
    char  ForwardCertificate[FORWARD_CERTIFICATE_SIZE];// client certificate; empty: none
};

enum ForwardValue {
    ForwardToValue = 0,
    ForwardFacilityValue,
    ForwardTrustedCaValue,
    ForwardCertificateValue,
    FORWARD_VALUE_COUNT
};
extern const char *const ForwardValueNames[FORWARD_VALUE_COUNT];

// What the registry held for each value (SmtpValueState codes).
struct ForwardValueStates {
    int State[FORWARD_VALUE_COUNT];
};

// Reads the values from an open parameters key into settings (first set to
// the defaults) and, when states is not null, notes what each held. A value
// of another type, too long or out of range is left at its default.
void ReadForwardSettings(HKEY key, ForwardSettings *settings, ForwardValueStates *states);

// Writes the values that are set and deletes the others. Non-zero when every
// value was written or deleted.
int WriteForwardSettings(HKEY key, const ForwardSettings *settings);

// Non-zero when any of the values was in the registry, valid or not.
int AnyForwardValuePresent(const ForwardValueStates *states);

// The facility a message carries: ForwardFacility, or local0.
DWORD ForwardFacilityOf(const ForwardSettings *settings);

enum ForwardTransport {
    ForwardNone = 0,
    ForwardTcp  = 1,    // RFC 6587, octet counting
    ForwardTls  = 2,    // RFC 5425
    ForwardUdp  = 3     // RFC 5426: a datagram may be lost
};
#define FORWARD_TRANSPORT_COUNT 4
// "tcp", "tls", "udp" (index ForwardTransport; "" for ForwardNone).
extern const char *const ForwardSchemes[FORWARD_TRANSPORT_COUNT];

struct ForwardTarget {
    int Transport;                  // ForwardTransport
    char Host[FORWARD_HOST_SIZE];   // a host name or a dotted IPv4 address
    unsigned Port;                  // 1 to 65535
};

// Splits ForwardTo: a scheme of ForwardSchemes (any letter case), "://", a
// host name of letters, digits, dots and hyphens or an IPv4 address, ":"
// and a port of 1 to 65535; nothing else. Non-zero when it is one.
int ParseForwardTo(const char *text, ForwardTarget *target);
