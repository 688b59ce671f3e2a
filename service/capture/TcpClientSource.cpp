#include "service/capture/TcpClientSource.h"
#include "service/capture/CaptureQueue.h"
#include "service/capture/DriverLoss.h"
#include "service/capture/Rfc2217Stream.h"
#include "service/capture/SourceSocket.h"
#include "service/core/ReportServiceEvent.h"
#include "service/core/ServiceState.h"

#include <stdio.h>
#include <string.h>

enum ClientState { Waiting, Connecting, Connected };

static ClientState State;
static SOCKET Connection = INVALID_SOCKET;
static DWORD WaitFrom, WaitMs;      // Waiting: the next try after WaitMs from WaitFrom
static DWORD ConnectFrom;           // Connecting: since when
static int Failures;                // tries failed in a row
static unsigned Tries;              // every try, to go round a name's addresses
static BOOL EpisodeReported;        // a failure was reported: the reconnection will be
static BOOL Telnet;
static Rfc2217Stream Stream;
static BOOL ComPortRefusalReported;

DWORD ReconnectDelayMs(int failures)
{
    static const DWORD Seconds[] = {1, 2, 4, 8, 15, 30};
    int last = (int)(sizeof Seconds / sizeof Seconds[0]) - 1;
    return 1000 * Seconds[failures < 0 ? 0 : failures > last ? last : failures];
}

static void CloseConnection()
{
    if (Connection != INVALID_SOCKET)
        closesocket(Connection);
    Connection = INVALID_SOCKET;
}

static void WaitForNextTry(int failures)
{
    CloseConnection();
    State = Waiting;
    WaitFrom = GetTickCount();
    WaitMs = ReconnectDelayMs(failures);
}

static void ConnectFailed(int error)
{
    if (!EpisodeReported)
        ReportServiceEvent("Could not connect to \"%s\" (error %d%s); trying again", EVENTLOG_ERROR_TYPE,
                           SourceName, error, SocketErrorMeaning(error));
    EpisodeReported = TRUE;
    WaitForNextTry(Failures++);
}

static void ConnectionLost(int error)
{
    if (!EpisodeReported && error == 0)
        ReportServiceEvent("The connection to \"%s\" was closed by the other side; connecting again",
                           EVENTLOG_ERROR_TYPE, SourceName);
    else if (!EpisodeReported)
        ReportServiceEvent("The connection to \"%s\" was lost (error %d%s); connecting again",
                           EVENTLOG_ERROR_TYPE, SourceName, error, SocketErrorMeaning(error));
    EpisodeReported = TRUE;
    WaitForNextTry(0);
    Failures = 1;
}

static void SendTelnetReply()
{
    // A few bytes at a time into an empty send buffer: a send of them does
    // not block, and one that fails shows as a drop at the next receive.
    if (Stream.ReplyLength > 0)
        send(Connection, (const char *)Stream.Reply, (int)Stream.ReplyLength, 0);
    Stream.ReplyLength = 0;
}

static void ConnectionMade()
{
    State = Connected;
    Failures = 0;
    KeepConnectionAlive(Connection);
    BeginConnection();
    if (EpisodeReported && (Params.VerboseLevel & VERBOSE_START_STOP))
        ReportServiceEvent("Connected to \"%s\" again; capture continues", EVENTLOG_INFORMATION_TYPE, SourceName);
    EpisodeReported = FALSE;
    if (Telnet) {
        SerialSettings settings = {Params.BaudRate, Params.ByteSize, Params.Parity, Params.StopBits,
                                   Params.FlowControl};
        StartRfc2217Stream(&Stream, settings);
        SendTelnetReply();
    }
}

// Resolves the host afresh at every try (its address may change), takes the
// next of its addresses, and starts a connect that completes later.
static void TryToConnect()
{
    addrinfo hints, *found = NULL;
    memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    char port[8];
    snprintf(port, sizeof port, "%u", SourceTarget.Port);
    int result = getaddrinfo(SourceTarget.Host, port, &hints, &found);
    if (result != 0 || found == NULL) {
        ConnectFailed(result != 0 ? result : WSAHOST_NOT_FOUND);
        return;
    }
    unsigned count = 0;
    for (addrinfo *a = found; a != NULL; a = a->ai_next)
        count++;
    addrinfo *chosen = found;
    for (unsigned i = Tries++ % count; i > 0; i--)
        chosen = chosen->ai_next;
    int error = 0;
    Connection = CreateSourceSocket(chosen->ai_family, SOCK_STREAM, &error);
    if (Connection != INVALID_SOCKET) {
        if (connect(Connection, chosen->ai_addr, (int)chosen->ai_addrlen) == 0) {
            freeaddrinfo(found);
            ConnectionMade();
            return;
        }
        error = WSAGetLastError();
    }
    freeaddrinfo(found);
    if (error != WSAEWOULDBLOCK) {
        ConnectFailed(error);
        return;
    }
    State = Connecting;
    ConnectFrom = GetTickCount();
}

// Whether the connect under way has ended, looked at without waiting.
static void SeeConnectThrough()
{
    fd_set writable, failed;
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    FD_SET(Connection, &writable);
    FD_SET(Connection, &failed);
    timeval now = {0, 0};
    if (select(0, NULL, &writable, &failed, &now) > 0) {
        int error = 0;
        int size = sizeof error;
        getsockopt(Connection, SOL_SOCKET, SO_ERROR, (char *)&error, &size);
        if (FD_ISSET(Connection, &failed) || error != 0)
            ConnectFailed(error != 0 ? error : WSAECONNREFUSED);
        else
            ConnectionMade();
        return;
    }
    if (GetTickCount() - ConnectFrom >= CONNECT_TIMEOUT_MS)
        ConnectFailed(WSAETIMEDOUT);
}

// The Telnet layer off what came; the server's answers go back at once.
static DWORD RemoveTelnet(BYTE *buffer, DWORD count)
{
    DWORD kept = FilterRfc2217(&Stream, buffer, count);
    SendTelnetReply();
    // Overruns the server counted are lost bytes: the next one begins a line.
    if (Stream.LineErrors != 0 && NoteCommErrors(Stream.LineErrors, GetTickCount()))
        MarkCaptureGap();
    Stream.LineErrors = 0;
    if (Stream.ComPortRefused && !ComPortRefusalReported) {
        ReportServiceEvent("Warning: the device server of \"%s\" refused the com port option; its serial port "
                           "keeps the settings it has",
                           EVENTLOG_WARNING_TYPE, SourceName);
        ComPortRefusalReported = TRUE;
    }
    return kept;
}

static DWORD Receive(BYTE *buffer, DWORD size)
{
    for (;;) {
        DWORD count;
        int error;
        ReceiveResult result = ReceiveWaiting(Connection, buffer, size, &count, &error);
        if (result == ReceivedNothing)
            return 0;
        if (result == ReceiveEnded) {
            ConnectionLost(error);
            return 0;
        }
        if (Telnet)
            count = RemoveTelnet(buffer, count);
        if (count > 0)
            return count;
        // Only Telnet commands came: see whether data follows.
    }
}

void StartTcpClient(BOOL telnet)
{
    CloseConnection();
    Telnet = telnet;
    State = Waiting;
    WaitFrom = GetTickCount();
    WaitMs = 0;
    Failures = 0;
    EpisodeReported = FALSE;
    ComPortRefusalReported = FALSE;
}

static DWORD Remaining(DWORD from, DWORD span)
{
    DWORD passed = GetTickCount() - from;
    return passed >= span ? 0 : span - passed;
}

DWORD StepTcpClient(BYTE *buffer, DWORD size, DWORD *dueMs)
{
    *dueMs = INFINITE;
    if (State == Waiting && Remaining(WaitFrom, WaitMs) == 0)
        TryToConnect();
    if (State == Connecting)
        SeeConnectThrough();
    if (State == Connected) {
        DWORD count = Receive(buffer, size);
        if (count > 0)
            return count;
    }
    if (State == Waiting)
        *dueMs = Remaining(WaitFrom, WaitMs);
    else if (State == Connecting)
        *dueMs = Remaining(ConnectFrom, CONNECT_TIMEOUT_MS);
    return 0;
}

DWORD TakeFromTcpClient(BYTE *buffer, DWORD size) { return State == Connected ? Receive(buffer, size) : 0; }

BOOL TcpClientConnected() { return State == Connected; }

void CloseTcpClient()
{
    CloseConnection();
    State = Waiting;
}
