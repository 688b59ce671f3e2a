// Bounded waits and whole sends on a connected socket, shared by the plain
// SMTP dialogue, the TLS layer beneath it and the token server's client;
// and the resolve and connect both of them start with.
#pragma once

#include <winsock2.h>

// Bounds on the waits of a mail's connection and of the token request:
// process settings, shortened only by tests.
extern DWORD MailConnectTimeoutMs;  // 30000
extern DWORD MailReplyTimeoutMs;    // 60000

// Starts Winsock (version 2.1) once per run; it is never shut down. A start
// that failed is tried again by the next call. Non-zero once started.
int StartWinsock();

// The first IPv4 address of a host name or dotted address. Non-zero when
// resolved.
int ResolveIpv4(const char *name, in_addr *address);

// Connects to address, waiting at most connectTimeoutMs; a send then waits
// at most sendTimeoutMs (a peer that stops reading cannot block it for
// ever). The socket, or INVALID_SOCKET.
SOCKET ConnectWithin(const sockaddr_in *address, DWORD connectTimeoutMs, DWORD sendTimeoutMs);

// Waits until the socket is readable or timeoutMs have passed since start
// (a GetTickCount value). Non-zero when readable.
int WaitReadable(SOCKET sock, DWORD start, DWORD timeoutMs);

// Sends all of the bytes; 0 when the connection failed on the way.
int SendAll(SOCKET sock, const char *data, int length);
