#include "common/net/SocketIo.h"

#include <string.h>

DWORD MailConnectTimeoutMs = 30000;
DWORD MailReplyTimeoutMs = 60000;

static int WinsockStarted = 0;

int StartWinsock()
{
    if (!WinsockStarted) {
        WSADATA data;
        WinsockStarted = WSAStartup(0x0102, &data) == 0;
    }
    return WinsockStarted;
}

int ResolveIpv4(const char *name, in_addr *address)
{
    StartWinsock();
    hostent *host = gethostbyname(name);
    if (host == NULL || host->h_addrtype != AF_INET || host->h_length != 4 || host->h_addr_list[0] == NULL)
        return 0;
    memcpy(address, host->h_addr_list[0], 4);
    return 1;
}

// Non-blocking connect, then select.
SOCKET ConnectWithin(const sockaddr_in *address, DWORD connectTimeoutMs, DWORD sendTimeoutMs)
{
    SOCKET sock = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (sock == INVALID_SOCKET)
        return INVALID_SOCKET;
    u_long nonBlocking = 1;
    int connected = 0;
    if (ioctlsocket(sock, FIONBIO, &nonBlocking) == 0) {
        if (connect(sock, (const sockaddr *)address, sizeof *address) == 0) {
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
    return sock;
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
