// The client side of a device server that speaks RFC 2217 (Telnet with the
// com port option): what it receives is a Telnet stream, of which only the
// data bytes reach the log; an IAC IAC is one 0xFF, and option negotiation
// and subnegotiation never do. The serial port behind the server gets this
// instance's BaudRate, ByteSize, Parity, StopBits and FlowControl. No I/O
// here: the caller sends what Reply holds.
#pragma once

#include <windows.h>

// Telnet (RFC 854, 856, 858) and the com port option (RFC 2217).
#define TELNET_IAC  255
#define TELNET_DONT 254
#define TELNET_DO   253
#define TELNET_WONT 252
#define TELNET_WILL 251
#define TELNET_SB   250
#define TELNET_SE   240
#define TELNET_OPTION_BINARY   0
#define TELNET_OPTION_SGA      3
#define TELNET_OPTION_COM_PORT 44
// Com port commands of the client; the server answers with each plus 100.
#define COM_PORT_SET_BAUDRATE       1
#define COM_PORT_SET_DATASIZE       2
#define COM_PORT_SET_PARITY         3
#define COM_PORT_SET_STOPSIZE       4
#define COM_PORT_SET_CONTROL        5
#define COM_PORT_NOTIFY_LINESTATE   6
#define COM_PORT_SET_LINESTATE_MASK 10
#define COM_PORT_SET_MODEMSTATE_MASK 11
#define COM_PORT_SERVER_OFFSET      100
// Line-state bits that mean received data was lost or damaged.
#define LINESTATE_OVERRUN 0x02
#define LINESTATE_PARITY  0x04
#define LINESTATE_FRAMING 0x08

// The longest subnegotiation kept (the com port option's are a few bytes);
// the rest of a longer one is dropped with it.
#define TELNET_SUB_SIZE   64
#define TELNET_REPLY_SIZE 512

// The serial settings sent to the server, as the registry holds them.
struct SerialSettings {
    DWORD BaudRate, ByteSize, Parity, StopBits, FlowControl;
};

struct Rfc2217Stream {
    int State;                       // where in a command the last byte left off
    BYTE Verb;                       // WILL, WONT, DO or DONT awaiting its option
    BYTE Sub[TELNET_SUB_SIZE];
    DWORD SubLength;
    BOOL SubTooLong;
    BOOL AfterCr;                    // the last data byte was a CR
    BYTE Ours[256], Theirs[256];     // option states (RFC 1143, simplified): off, asked, on
    SerialSettings Settings;
    BYTE Reply[TELNET_REPLY_SIZE];   // to send to the server
    DWORD ReplyLength;
    DWORD LineErrors;                // CE_OVERRUN, CE_RXPARITY, CE_FRAME reported by the server
    BOOL ComPortRefused;             // the server will not take the port settings
};

// Starts a stream for a new connection: the options asked for (binary both
// ways, no go-ahead, the com port option) are put in Reply.
void StartRfc2217Stream(Rfc2217Stream *stream, const SerialSettings &settings);

// Removes the Telnet layer from received bytes, in place; returns how many
// data bytes are left at the front of data. Answers go to Reply; the
// server's line-state reports of lost data to LineErrors.
DWORD FilterRfc2217(Rfc2217Stream *stream, BYTE *data, DWORD count);
