#include "service/capture/TcpServerSource.h"
#include "service/capture/SourceSocket.h"
#include "service/core/ReportServiceEvent.h"

static SOCKET Listener = INVALID_SOCKET;
static SOCKET Connection = INVALID_SOCKET;   // the one captured
static SOCKET Newest = INVALID_SOCKET;       // accepted, waiting for the old one's last bytes

static void Close(SOCKET *sock)
{
    if (*sock != INVALID_SOCKET)
        closesocket(*sock);
    *sock = INVALID_SOCKET;
}

int StartTcpServer()
{
    int error = 0;
    Listener = BindSourceSocket(SOCK_STREAM, &error);
    if (Listener == INVALID_SOCKET) {
        ReportServiceEvent("Could not listen on \"%s\" (error %d%s)", EVENTLOG_ERROR_TYPE, SourceName, error,
                           SocketErrorMeaning(error));
        return 0;
    }
    return 1;
}

// Every connection waiting to be accepted; the newest allowed one is kept.
static void AcceptConnections()
{
    for (;;) {
        sockaddr_storage from;
        int length = sizeof from;
        SOCKET sock = accept(Listener, (sockaddr *)&from, &length);
        if (sock == INVALID_SOCKET)
            return;
        if (!SenderAllowed(&from, "A connection")) {
            closesocket(sock);
            continue;
        }
        SelectSourceSocket(sock);
        KeepConnectionAlive(sock);
        Close(&Newest);
        Newest = sock;
    }
}

DWORD StepTcpServer(BYTE *buffer, DWORD size)
{
    AcceptConnections();
    for (;;) {
        if (Connection != INVALID_SOCKET) {
            DWORD count;
            int error;
            ReceiveResult result = ReceiveWaiting(Connection, buffer, size, &count, &error);
            if (result == ReceivedData)
                return count;
            // Closed, or replaced once all it sent is in.
            if (result == ReceiveEnded || Newest != INVALID_SOCKET)
                Close(&Connection);
        }
        if (Newest == INVALID_SOCKET || Connection != INVALID_SOCKET)
            return 0;
        Connection = Newest;
        Newest = INVALID_SOCKET;
        BeginConnection();
    }
}

BOOL TcpServerConnected() { return Connection != INVALID_SOCKET || Newest != INVALID_SOCKET; }

void CloseTcpServer()
{
    Close(&Connection);
    Close(&Newest);
    Close(&Listener);
}
