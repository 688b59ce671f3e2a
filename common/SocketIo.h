// Bounded waits and whole sends on a connected socket, shared by the plain
// SMTP dialogue and the TLS layer beneath it.
#pragma once

#include <winsock2.h>

// Waits until the socket is readable or timeoutMs have passed since start
// (a GetTickCount value). Non-zero when readable.
int WaitReadable(SOCKET sock, DWORD start, DWORD timeoutMs);

// Sends all of the bytes; 0 when the connection failed on the way.
int SendAll(SOCKET sock, const char *data, int length);
