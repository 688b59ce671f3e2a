#include "service/capture/NetworkSource.h"
#include "common/net/SocketIo.h"
#include "service/capture/CaptureQueue.h"
#include "service/capture/DriverLoss.h"
#include "service/capture/SenderRefusals.h"
#include "service/capture/SourceSocket.h"
#include "service/capture/TcpClientSource.h"
#include "service/capture/TcpServerSource.h"
#include "service/capture/Timestamp.h"
#include "service/capture/UdpSource.h"
#include "service/core/CheckParameters.h"
#include "service/core/ReportServiceEvent.h"
#include "service/core/ServiceState.h"

#include <string.h>

BOOL NetworkSourceConfigured()
{
    return Params.Network.Source[0] != '\0' || Params.NetworkStates.State[SourceValue] == SmtpValueInvalid;
}

const char *NetworkSourceName() { return SourceName; }

// Source and AllowedSenders as stored, each checked; a value that is not
// valid stops the service: capturing something else than asked, or letting
// anyone write into the log, would go unnoticed.
static int TakeValues()
{
    const NetworkSourceSettings &n = Params.Network;
    const int *state = Params.NetworkStates.State;
    char reason[160];
    for (int i = 0; i < NETWORK_SOURCE_VALUE_COUNT; i++)
        if (state[i] == SmtpValueInvalid) {
            ReportServiceEvent("The registry value \"%s\" is not a string of at most %d characters; the service "
                               "cannot tell what to capture",
                               EVENTLOG_ERROR_TYPE, NetworkSourceValueNames[i],
                               i == SourceValue ? SOURCE_SIZE - 1 : ALLOWED_SENDERS_SIZE - 1);
            return 0;
        }
    if (!ParseSource(n.Source, &SourceTarget, reason, sizeof reason)) {
        ReportServiceEvent("The registry value \"Source\" (\"%s\") is not a source this service can capture: %s",
                           EVENTLOG_ERROR_TYPE, n.Source, reason);
        return 0;
    }
    if (!ParseAllowedSenders(n.AllowedSenders, &SourceSenders, reason, sizeof reason)) {
        ReportServiceEvent("The registry value \"AllowedSenders\" (\"%s\") is not valid: %s", EVENTLOG_ERROR_TYPE,
                           n.AllowedSenders, reason);
        return 0;
    }
    FormatSourceShort(n.Source, Params.PortName, SourceName, sizeof SourceName);
    NameLossSource(SourceName);
    return 1;
}

static void CloseNetworkSource();

static int OpenNetworkSource()
{
    if (!TakeValues())
        return 0;
    SourceKind kind = SourceTarget.Kind;
    // The device server's port gets this instance's settings: they must be
    // ones a port can take, as for a COM port.
    if (kind == SourceRfc2217 && (!ByteFormatInRange() || Params.FlowControl >= FLOW_CONTROL_COUNT)) {
        ReportServiceEvent("Unable to set com port state for \"%s\"", EVENTLOG_ERROR_TYPE, SourceName);
        return 0;
    }
    if (!StartWinsock() || (SourceEvent = WSACreateEvent()) == WSA_INVALID_EVENT) {
        ReportServiceEvent("The network could not be used for \"%s\" (error %d)", EVENTLOG_ERROR_TYPE, SourceName,
                           WSAGetLastError());
        return 0;
    }
    ForgetRefusals();
    int opened = 1;
    if (kind == SourceTcpClient || kind == SourceRfc2217)
        StartTcpClient(kind == SourceRfc2217);
    else if (kind == SourceTcpServer)
        opened = StartTcpServer();
    else
        opened = StartUdpSource();
    if (!opened) {
        CloseNetworkSource();
        return 0;
    }
    if ((kind == SourceTcpServer || kind == SourceUdp) && SourceSenders.Count == 0)
        ReportServiceEvent("Warning: AllowedSenders is empty, so anyone who can reach \"%s\" can write into the log",
                           EVENTLOG_WARNING_TYPE, SourceName);
    return 1;
}

// One step of the source, never waiting; *dueMs: how long it may be left
// alone at most (INFINITE: until its sockets signal).
static DWORD Step(BYTE *buffer, DWORD size, DWORD *dueMs)
{
    *dueMs = INFINITE;
    switch (SourceTarget.Kind) {
    case SourceTcpClient:
    case SourceRfc2217:
        return StepTcpClient(buffer, size, dueMs);
    case SourceTcpServer:
        return StepTcpServer(buffer, size);
    case SourceUdp:
        return StepUdpSource(buffer, size);
    default:
        return 0;
    }
}

// What one step received, handed out over as many reads as it takes: a
// step receives up to 64 KiB at once, since under Wine every call into the
// network is a round trip to the server, and a fast source is kept up with
// only by few of them.
static BYTE Received[NETWORK_RECEIVE_SIZE];
static DWORD ReceivedLength, ReceivedTaken;

static DWORD HandOut(BYTE *buffer, DWORD size)
{
    DWORD count = ReceivedLength - ReceivedTaken;
    if (count > size)
        count = size;
    memcpy(buffer, Received + ReceivedTaken, count);
    ReceivedTaken += count;
    if (count > 0)
        NoteSourceDelivered();
    return count;
}

// How many of the next received bytes the capture queue has room for, with
// the stamps they may need (one before the chunk, one after each CR).
static DWORD FittingInQueue(DWORD size)
{
    ULONGLONG used = QueuedPosition() - WrittenPosition();
    ULONGLONG room = used < CAPTURE_QUEUE_SIZE ? CAPTURE_QUEUE_SIZE - used : 0;
    ULONGLONG need = TIMESTAMP_LENGTH;
    DWORD fit = 0;
    for (; fit < size && ReceivedTaken + fit < ReceivedLength; fit++) {
        need += 1 + (Received[ReceivedTaken + fit] == '\r' ? TIMESTAMP_LENGTH : 0);
        if (need > room)
            break;
    }
    return fit;
}

static SourceResult ReadNetworkSource(BYTE *buffer, DWORD size, DWORD waitMs, DWORD *count)
{
    *count = 0;
    DWORD began = GetTickCount();
    HANDLE events[2] = {StopEvent, SourceEvent};
    for (;;) {
        if (ServiceStopping())
            return SourceStopped;
        if (ReceivedTaken < ReceivedLength) {
            // A network sender waits for us (TCP holds it back, a UDP socket
            // keeps 1 MiB): while the writer is behind, received bytes stay
            // here rather than be dropped by a full capture queue.
            DWORD fit = FittingInQueue(size);
            if (fit > 0) {
                *count = HandOut(buffer, fit);
                return SourceData;
            }
            WakeWriter();
            if (WaitForSingleObject(StopEvent, QUEUE_ROOM_WAIT_MS) == WAIT_OBJECT_0)
                return SourceStopped;
            continue;
        }
        // Reset before the step: whatever happens from here on signals again.
        WSAResetEvent(SourceEvent);
        DWORD dueMs;
        ReceivedLength = Step(Received, sizeof Received, &dueMs);
        ReceivedTaken = 0;
        if (ReceivedLength > 0) {
            *count = HandOut(buffer, size);
            return SourceData;
        }
        DWORD waited = GetTickCount() - began;
        if (waited >= waitMs)
            return SourceQuiet;
        DWORD wait = waitMs - waited;
        if (dueMs < wait)
            wait = dueMs;
        if (WaitForMultipleObjects(2, events, FALSE, wait) == WAIT_OBJECT_0)
            return SourceStopped;
    }
}

static int ReopenNetworkSource() { return 1; }

static DWORD NetworkRetryDelayMs(DWORD failures) { return ReconnectDelayMs((int)failures); }

static DWORD TakeWaitingFromNetwork(BYTE *buffer, DWORD size)
{
    if (ReceivedTaken == ReceivedLength) {
        ReceivedTaken = 0;
        switch (SourceTarget.Kind) {
        case SourceTcpClient:
        case SourceRfc2217:
            ReceivedLength = TakeFromTcpClient(Received, sizeof Received);
            break;
        case SourceTcpServer:
            ReceivedLength = StepTcpServer(Received, sizeof Received);
            break;
        case SourceUdp:
            ReceivedLength = StepUdpSource(Received, sizeof Received);
            break;
        default:
            ReceivedLength = 0;
            break;
        }
    }
    return HandOut(buffer, size);
}

static void CloseNetworkSource()
{
    ReceivedLength = ReceivedTaken = 0;
    // What a device server reported lost and is not told yet.
    ReportDriverLoss();
    CloseTcpClient();
    CloseTcpServer();
    CloseUdpSource();
    if (SourceEvent != WSA_INVALID_EVENT)
        WSACloseEvent(SourceEvent);
    SourceEvent = WSA_INVALID_EVENT;
}

static BOOL NetworkSourceConnected()
{
    switch (SourceTarget.Kind) {
    case SourceTcpClient:
    case SourceRfc2217:
        return TcpClientConnected();
    case SourceTcpServer:
        return TcpServerConnected();
    default:
        return TRUE;
    }
}

const CaptureSource NetworkCaptureSource = {
    OpenNetworkSource, ReadNetworkSource, ReopenNetworkSource, NetworkRetryDelayMs, TakeWaitingFromNetwork,
    CloseNetworkSource, NetworkSourceConnected,
};
