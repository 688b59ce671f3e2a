#include "service/capture/SourceSocket.h"
#include "service/capture/CaptureQueue.h"
#include "service/capture/SenderRefusals.h"
#include "service/core/ReportServiceEvent.h"

#include <mstcpip.h>
#include <stdio.h>
#include <string.h>

SourceAddress SourceTarget;
AllowedSenderList SourceSenders;
char SourceName[SOURCE_SIZE + 16];
WSAEVENT SourceEvent = WSA_INVALID_EVENT;

#define SOURCE_EVENTS (FD_READ | FD_ACCEPT | FD_CONNECT | FD_CLOSE)

static BOOL Delivered;   // bytes came since the last connection began

void NoteSourceDelivered() { Delivered = TRUE; }

void BeginConnection()
{
    if (Delivered)
        MarkCaptureGap();
    Delivered = FALSE;
}

void SelectSourceSocket(SOCKET sock) { WSAEventSelect(sock, SourceEvent, SOURCE_EVENTS); }

SOCKET CreateSourceSocket(int family, int type, int *error)
{
    SOCKET sock = socket(family, type, type == SOCK_STREAM ? IPPROTO_TCP : IPPROTO_UDP);
    if (sock == INVALID_SOCKET) {
        *error = WSAGetLastError();
        return INVALID_SOCKET;
    }
    // Selecting an event makes the socket non-blocking.
    if (WSAEventSelect(sock, SourceEvent, SOURCE_EVENTS) != 0) {
        *error = WSAGetLastError();
        closesocket(sock);
        return INVALID_SOCKET;
    }
    return sock;
}

void KeepConnectionAlive(SOCKET sock)
{
    tcp_keepalive values;
    values.onoff = 1;
    values.keepalivetime = KEEPALIVE_IDLE_MS;
    values.keepaliveinterval = KEEPALIVE_INTERVAL_MS;
    DWORD returned = 0;
    if (WSAIoctl(sock, SIO_KEEPALIVE_VALS, &values, sizeof values, NULL, 0, &returned, NULL, NULL) != 0) {
        BOOL on = TRUE;
        setsockopt(sock, SOL_SOCKET, SO_KEEPALIVE, (const char *)&on, sizeof on);
    }
}

ReceiveResult ReceiveWaiting(SOCKET sock, BYTE *buffer, DWORD size, DWORD *count, int *error)
{
    *count = 0;
    *error = 0;
    int got = recv(sock, (char *)buffer, (int)(size < 0x7FFFFFFF ? size : 0x7FFFFFFF), 0);
    if (got > 0) {
        *count = (DWORD)got;
        return ReceivedData;
    }
    if (got == 0)
        return ReceiveEnded;
    *error = WSAGetLastError();
    if (*error == WSAEWOULDBLOCK)
        return ReceivedNothing;
    return ReceiveEnded;
}

// The wildcard address of a family, for a source without ADDRESS.
static int BindEverywhere(SOCKET sock, int family)
{
    sockaddr_storage address;
    memset(&address, 0, sizeof address);
    int length;
    if (family == AF_INET6) {
        sockaddr_in6 *v6 = (sockaddr_in6 *)&address;
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(SourceTarget.Port);
        length = sizeof *v6;
    } else {
        sockaddr_in *v4 = (sockaddr_in *)&address;
        v4->sin_family = AF_INET;
        v4->sin_port = htons(SourceTarget.Port);
        length = sizeof *v4;
    }
    return bind(sock, (const sockaddr *)&address, length) == 0;
}

static SOCKET BindExclusive(int family, int type, const sockaddr *address, int length, int *error)
{
    SOCKET sock = CreateSourceSocket(family, type, error);
    if (sock == INVALID_SOCKET)
        return INVALID_SOCKET;
    BOOL on = TRUE;
    setsockopt(sock, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, (const char *)&on, sizeof on);
    int bound;
    if (address != NULL) {
        bound = bind(sock, address, length) == 0;
    } else {
        if (family == AF_INET6) {
            // Dual stack: IPv4 senders arrive as mapped IPv6 addresses.
            DWORD v6only = 0;
            if (setsockopt(sock, IPPROTO_IPV6, IPV6_V6ONLY, (const char *)&v6only, sizeof v6only) != 0) {
                *error = WSAGetLastError();
                closesocket(sock);
                return INVALID_SOCKET;
            }
        }
        bound = BindEverywhere(sock, family);
    }
    if (!bound || (type == SOCK_STREAM && listen(sock, SOMAXCONN) != 0)) {
        *error = WSAGetLastError();
        closesocket(sock);
        return INVALID_SOCKET;
    }
    return sock;
}

SOCKET BindSourceSocket(int type, int *error)
{
    if (SourceTarget.Host[0] == '\0') {
        SOCKET sock = BindExclusive(AF_INET6, type, NULL, 0, error);
        // A port in use or refused stays refused; a system without IPv6 (or
        // without dual stack) listens on IPv4.
        if (sock != INVALID_SOCKET || *error == WSAEADDRINUSE || *error == WSAEACCES)
            return sock;
        return BindExclusive(AF_INET, type, NULL, 0, error);
    }
    addrinfo hints, *found = NULL;
    memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = type;
    hints.ai_flags = AI_NUMERICHOST | AI_PASSIVE;
    char port[8];
    snprintf(port, sizeof port, "%u", SourceTarget.Port);
    int result = getaddrinfo(SourceTarget.Host, port, &hints, &found);
    if (result != 0 || found == NULL) {
        *error = result != 0 ? result : WSAEADDRNOTAVAIL;
        return INVALID_SOCKET;
    }
    SOCKET sock = BindExclusive(found->ai_family, type, found->ai_addr, (int)found->ai_addrlen, error);
    freeaddrinfo(found);
    return sock;
}

int SenderAddress(const sockaddr_storage *from, int *family, BYTE *bytes)
{
    if (from->ss_family == AF_INET) {
        *family = 4;
        memcpy(bytes, &((const sockaddr_in *)from)->sin_addr, 4);
        return 1;
    }
    if (from->ss_family == AF_INET6) {
        *family = 6;
        memcpy(bytes, &((const sockaddr_in6 *)from)->sin6_addr, 16);
        return 1;
    }
    return 0;
}

void FormatSenderAddress(const sockaddr_storage *from, char *text, size_t size)
{
    int family;
    BYTE bytes[16];
    if (!SenderAddress(from, &family, bytes)) {
        snprintf(text, size, "(unknown)");
        return;
    }
    static const BYTE Mapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
    if (family == 6 && memcmp(bytes, Mapped, sizeof Mapped) == 0) {
        memmove(bytes, bytes + 12, 4);
        family = 4;
    }
    if (family == 4) {
        snprintf(text, size, "%u.%u.%u.%u", bytes[0], bytes[1], bytes[2], bytes[3]);
        return;
    }
    // Full form, one group per word: unambiguous, if not the shortest.
    int used = 0;
    for (int i = 0; i < 16 && used >= 0 && (size_t)used < size; i += 2)
        used += snprintf(text + used, size - used, i == 0 ? "%x" : ":%x", (bytes[i] << 8) | bytes[i + 1]);
}

int SenderAllowed(const sockaddr_storage *from, const char *what)
{
    int family = 0;
    BYTE bytes[16] = {0};
    if (SenderAddress(from, &family, bytes) && SenderIsAllowed(&SourceSenders, family, bytes))
        return 1;
    if (RefusalToReport(family, bytes, GetTickCount())) {
        char sender[64];
        FormatSenderAddress(from, sender, sizeof sender);
        ReportServiceEvent("%s from %s to \"%s\" was refused: the address is not in AllowedSenders",
                           EVENTLOG_WARNING_TYPE, what, sender, SourceName);
    }
    return 0;
}

const char *SocketErrorMeaning(int error)
{
    switch (error) {
    case WSAEADDRINUSE:    return ": the port is in use by another program";
    case WSAEACCES:        return ": this service has no right to the port";
    case WSAEADDRNOTAVAIL: return ": the address is not one of this machine";
    case WSAECONNREFUSED:  return ": the connection was refused";
    case WSAETIMEDOUT:     return ": no answer";
    case WSAHOST_NOT_FOUND:
    case WSANO_DATA:       return ": the host name is not known";
    case WSAECONNRESET:    return ": the connection was reset";
    case WSAENETUNREACH:
    case WSAEHOSTUNREACH:  return ": the network or host cannot be reached";
    }
    return "";
}
