#include "common/net/SocketIo.h"

#include <stdio.h>
#include <string.h>

DWORD MailConnectTimeoutMs = 30000;
DWORD MailReplyTimeoutMs = 60000;
DWORD MailDataReplyTimeoutMs = 600000;

static int WinsockStarted = 0;

int StartWinsock()
{
    if (!WinsockStarted) {
        WSADATA data;
        WinsockStarted = WSAStartup(0x0102, &data) == 0;
    }
    return WinsockStarted;
}

static int ResolveWithSystem(const char *name, unsigned port, HostAddresses *addresses)
{
    addresses->Count = 0;
    if (!StartWinsock())
        return 0;
    char service[8];
    snprintf(service, sizeof service, "%u", port);
    ADDRINFOA hints;
    memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    // Not AI_ADDRCONFIG: it counts no loopback address, so a machine with
    // only that could reach no server, not even 127.0.0.1. An IPv6 address
    // on a machine without IPv6 fails its connect at once instead.
    ADDRINFOA *found = NULL;
    if (getaddrinfo(name, service, &hints, &found) != 0)
        return 0;
    for (ADDRINFOA *a = found; a != NULL && addresses->Count < HOST_ADDRESS_LIMIT; a = a->ai_next) {
        if ((a->ai_family != AF_INET && a->ai_family != AF_INET6) || a->ai_addrlen > sizeof addresses->Address[0])
            continue;
        memcpy(&addresses->Address[addresses->Count], a->ai_addr, a->ai_addrlen);
        addresses->Length[addresses->Count++] = (int)a->ai_addrlen;
    }
    freeaddrinfo(found);
    return addresses->Count > 0;
}

HostResolver ResolveHost = ResolveWithSystem;

// Non-blocking connect, then select.
static SOCKET ConnectOne(const sockaddr *address, int length, DWORD connectTimeoutMs, DWORD sendTimeoutMs)
{
    SOCKET sock = socket(address->sa_family, SOCK_STREAM, IPPROTO_TCP);
    if (sock == INVALID_SOCKET)
        return INVALID_SOCKET;
    u_long nonBlocking = 1;
    int connected = 0;
    if (ioctlsocket(sock, FIONBIO, &nonBlocking) == 0) {
        if (connect(sock, address, length) == 0) {
            connected = 1;
        } else if (WSAGetLastError() == WSAEWOULDBLOCK) {
            fd_set writable, failed;
            FD_ZERO(&writable);
            FD_ZERO(&failed);
            FD_SET(sock, &writable);
            FD_SET(sock, &failed);
            timeval wait;
            wait.tv_sec = (long)(connectTimeoutMs / 1000);
            wait.tv_usec = (long)((connectTimeoutMs % 1000) * 1000);
            if (select(0, NULL, &writable, &failed, &wait) == 1 && FD_ISSET(sock, &writable)) {
                int error = 0;
                int size = sizeof error;
                connected = getsockopt(sock, SOL_SOCKET, SO_ERROR, (char *)&error, &size) == 0 &&
                            error == 0;
            }
        }
    }
    u_long blocking = 0;
    if (!connected || ioctlsocket(sock, FIONBIO, &blocking) != 0) {
        closesocket(sock);
        return INVALID_SOCKET;
    }
    setsockopt(sock, SOL_SOCKET, SO_SNDTIMEO, (const char *)&sendTimeoutMs, sizeof sendTimeoutMs);
    // Every send is already a whole command, or lines gathered into large
    // blocks: Nagle's algorithm would only hold a message's last piece (its
    // final ".") until the peer's delayed acknowledgement of the piece
    // before, some 40 ms a message.
    BOOL noDelay = TRUE;
    setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, (const char *)&noDelay, sizeof noDelay);
    return sock;
}

int ResolveIpv4(const char *name, in_addr *address)
{
    HostAddresses addresses;
    if (!ResolveHost(name, 0, &addresses))
        return 0;
    for (int i = 0; i < addresses.Count; i++) {
        if (addresses.Address[i].ss_family == AF_INET) {
            *address = ((const sockaddr_in *)&addresses.Address[i])->sin_addr;
            return 1;
        }
    }
    return 0;
}

SOCKET ConnectWithin(const sockaddr_in *address, DWORD connectTimeoutMs, DWORD sendTimeoutMs)
{
    return StartWinsock() ? ConnectOne((const sockaddr *)address, sizeof *address, connectTimeoutMs, sendTimeoutMs)
                          : INVALID_SOCKET;
}

SOCKET ConnectToAddresses(const HostAddresses *addresses, DWORD connectTimeoutMs, DWORD sendTimeoutMs)
{
    if (!StartWinsock())
        return INVALID_SOCKET;
    for (int i = 0; i < addresses->Count && i < HOST_ADDRESS_LIMIT; i++) {
        SOCKET sock = ConnectOne((const sockaddr *)&addresses->Address[i], addresses->Length[i], connectTimeoutMs,
                                 sendTimeoutMs);
        if (sock != INVALID_SOCKET)
            return sock;
    }
    return INVALID_SOCKET;
}

SOCKET ConnectToHost(const char *name, unsigned port, DWORD connectTimeoutMs, DWORD sendTimeoutMs, int *resolved)
{
    static HostAddresses addresses;
    *resolved = name != NULL && ResolveHost(name, port, &addresses) && addresses.Count > 0;
    return *resolved ? ConnectToAddresses(&addresses, connectTimeoutMs, sendTimeoutMs) : INVALID_SOCKET;
}

int LocalAddressLiteral(SOCKET sock, char *text, size_t size)
{
    SOCKADDR_STORAGE local;
    int length = sizeof local;
    char host[NI_MAXHOST];
    if (getsockname(sock, (sockaddr *)&local, &length) != 0 ||
        getnameinfo((const sockaddr *)&local, length, host, sizeof host, NULL, 0, NI_NUMERICHOST) != 0)
        return 0;
    // A link-local address's zone means nothing to the server.
    host[strcspn(host, "%")] = '\0';
    int written = snprintf(text, size, local.ss_family == AF_INET6 ? "[IPv6:%s]" : "[%s]", host);
    return written > 0 && (size_t)written < size;
}

int WaitReadable(SOCKET sock, DWORD start, DWORD timeoutMs)
{
    DWORD elapsed = GetTickCount() - start;
    if (elapsed >= timeoutMs)
        return 0;
    DWORD left = timeoutMs - elapsed;
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(sock, &readable);
    timeval wait;
    wait.tv_sec = (long)(left / 1000);
    wait.tv_usec = (long)((left % 1000) * 1000);
    return select(0, &readable, NULL, NULL, &wait) == 1;
}

int SendAll(SOCKET sock, const char *data, int length)
{
    while (length > 0) {
        int sent = send(sock, data, length, 0);
        if (sent <= 0)
            return 0;
        data += sent;
        length -= sent;
    }
    return 1;
}
