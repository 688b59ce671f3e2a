// Bounded waits and whole sends on a connected socket, shared by the plain
// SMTP dialogue, the TLS layer beneath it and the token server's client;
// and the resolve and connect both of them start with: every connection
// resolves its server's name again and tries each address it has.
#pragma once

#include <winsock2.h>
#include <ws2tcpip.h>
#include <stddef.h>

// Bounds on the waits of a mail's connection and of the token request:
// process settings, shortened only by tests.
extern DWORD MailConnectTimeoutMs;  // 30000
extern DWORD MailReplyTimeoutMs;    // 60000
// The reply to a message's final ".": a server may scan a large attachment
// before it answers (RFC 5321 section 4.5.3.2.6 asks for 10 minutes).
extern DWORD MailDataReplyTimeoutMs;    // 600000

// Starts Winsock (version 2.1) once per run; it is never shut down. A start
// that failed is tried again by the next call. Non-zero once started.
int StartWinsock();

// At most this many addresses of a name are tried, each with the whole
// connect time-out (a mail server's own client does the same).
#define HOST_ADDRESS_LIMIT 5

// The addresses of a host name or numeric address for a port, in the
// resolver's order: IPv4 and, where the machine has it, IPv6.
struct HostAddresses {
    int Count;
    SOCKADDR_STORAGE Address[HOST_ADDRESS_LIMIT];
    int Length[HOST_ADDRESS_LIMIT];
};

// Resolves name afresh (a server that moved is found at its new address).
// Non-zero when it gave at least one address. Replaceable, so that a test
// can play a name whose addresses change or do not all answer.
typedef int (*HostResolver)(const char *name, unsigned port, HostAddresses *addresses);
extern HostResolver ResolveHost;

// The first IPv4 address of a host name or dotted address (a caller that
// speaks IPv4 only, the syslog forwarder). Non-zero when resolved.
int ResolveIpv4(const char *name, in_addr *address);

// Connects to one address, waiting at most connectTimeoutMs; a send then
// waits at most sendTimeoutMs. The socket, or INVALID_SOCKET.
SOCKET ConnectWithin(const sockaddr_in *address, DWORD connectTimeoutMs, DWORD sendTimeoutMs);

// Connects to the addresses in turn until one takes the connection, each
// within connectTimeoutMs; a send then waits at most sendTimeoutMs (a peer
// that stops reading cannot block it for ever). The socket, or
// INVALID_SOCKET.
SOCKET ConnectToAddresses(const HostAddresses *addresses, DWORD connectTimeoutMs, DWORD sendTimeoutMs);

// Both: the socket, or INVALID_SOCKET with *resolved saying whether the name
// gave any address.
SOCKET ConnectToHost(const char *name, unsigned port, DWORD connectTimeoutMs, DWORD sendTimeoutMs, int *resolved);

// The socket's own address as an SMTP address literal, "[192.0.2.1]" or
// "[IPv6:2001:db8::1]" (RFC 5321 section 4.1.3). Non-zero on success.
int LocalAddressLiteral(SOCKET sock, char *text, size_t size);

// Waits until the socket is readable or timeoutMs have passed since start
// (a GetTickCount value). Non-zero when readable.
int WaitReadable(SOCKET sock, DWORD start, DWORD timeoutMs);

// Sends all of the bytes; 0 when the connection failed on the way.
int SendAll(SOCKET sock, const char *data, int length);
