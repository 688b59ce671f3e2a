#include "SocketIo.h"

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
