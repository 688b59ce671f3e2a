// Where an instance captures from when not from its COM port: a device on
// the network. Two optional values of the port key, read by the service and
// read, checked and written by the configuration program. Absent, the
// instance captures the COM port of PortName exactly as before they existed.
//
//   Source          socket://HOST:PORT     connect and capture what HOST sends
//                   rfc2217://HOST:PORT    the same to a device server speaking
//                                          RFC 2217, which gets the port settings
//                   listen://[ADDRESS]:PORT  wait for a device that connects
//                   udp://[ADDRESS]:PORT   the datagrams that reach the port
//   AllowedSenders  addresses or CIDR ranges, separated by commas, that may
//                   connect (listen://) or send (udp://); empty: anyone
#pragma once

#include "common/settings/Parameters.h"

// Buffer sizes, terminating zero included.
#define SOURCE_SIZE          260
#define ALLOWED_SENDERS_SIZE 256
#define SOURCE_HOST_SIZE     256

// The kinds, in the order the General page lists them.
enum SourceKind {
    SourceSerialPort = 0,   // no Source: the COM port of PortName
    SourceTcpClient  = 1,   // socket://
    SourceTcpServer  = 2,   // listen://
    SourceUdp        = 3,   // udp://
    SourceRfc2217    = 4    // rfc2217://
};
#define SOURCE_KIND_COUNT 5
// "Serial port", "TCP client", ... as the General page lists them.
extern const char *const SourceKindNames[SOURCE_KIND_COUNT];

struct SourceAddress {
    SourceKind Kind;
    char Host[SOURCE_HOST_SIZE];   // a name or address, an IPv6 address without
                                   // its brackets; empty for listen:// and udp://
                                   // means every address of the machine
    WORD Port;
};

// Parses a Source value; an empty one is the serial port. Non-zero when it is
// one of the four forms with a port from 1 to 65535 (and, for socket:// and
// rfc2217://, a host); otherwise reason says what is wrong.
int ParseSource(const char *text, SourceAddress *address, char *reason, size_t reasonSize);

// The value of an address (empty for the serial port). Non-zero when it fit.
int FormatSource(const SourceAddress *address, char *text, size_t size);

// The source in short, for lists and reports: "COM3", "tcp 10.1.1.5:1752",
// "listen :1752", "udp :514", "rfc2217 10.1.1.9:4001". A Source that does not
// parse is shown as it is stored.
void FormatSourceShort(const char *source, const char *portName, char *text, size_t size);

// One entry of AllowedSenders: an address (Bits 32 or 128) or a range.
struct SenderRange {
    BYTE Family;        // 4 or 6
    BYTE Bits;          // the prefix length
    BYTE Address[16];   // IPv4 in the first 4 bytes
};
// 255 characters hold at most this many entries of 7 characters ("1.2.3.4,").
#define MAX_ALLOWED_SENDERS 32

struct AllowedSenderList {
    int Count;          // 0: anyone may send
    SenderRange Ranges[MAX_ALLOWED_SENDERS];
};

// Parses AllowedSenders: IPv4 or IPv6 addresses, each optionally with /BITS,
// separated by commas, blanks around them allowed. Non-zero when every entry
// is one; otherwise reason names the first that is not.
int ParseAllowedSenders(const char *text, AllowedSenderList *list, char *reason, size_t reasonSize);

// Whether a sender may send: family 4 with 4 bytes or 6 with 16 (an IPv4
// address mapped into IPv6, as a dual-stack socket gives it, is matched as
// IPv4). An empty list allows everyone.
int SenderIsAllowed(const AllowedSenderList *list, int family, const BYTE *address);

// The two values as the service and the configuration program hold them.
struct NetworkSourceSettings {
    char Source[SOURCE_SIZE];
    char AllowedSenders[ALLOWED_SENDERS_SIZE];
};

enum NetworkSourceValue {
    SourceValue = 0,
    AllowedSendersValue,
    NETWORK_SOURCE_VALUE_COUNT
};
extern const char *const NetworkSourceValueNames[NETWORK_SOURCE_VALUE_COUNT];

// What the registry held for each value (SmtpValueState codes).
struct NetworkSourceStates {
    int State[NETWORK_SOURCE_VALUE_COUNT];
};

// Reads both values from an open port key into settings (first emptied) and,
// when states is not null, notes what each was. A value of another type or
// too long is left out (empty) and noted as invalid.
void ReadNetworkSourceSettings(HKEY key, NetworkSourceSettings *settings, NetworkSourceStates *states);

// Writes the values that are not empty and deletes the others. Non-zero when
// both were written or deleted.
int WriteNetworkSourceSettings(HKEY key, const NetworkSourceSettings *settings);

// The checks of the command line, as the service makes them (non-zero: valid).
int CheckSourceValue(const char *text, char *reason, size_t reasonSize);
int CheckAllowedSendersValue(const char *text, char *reason, size_t reasonSize);
