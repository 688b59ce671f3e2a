#include "service/capture/ComPort.h"
#include "service/capture/DriverLoss.h"
#include "service/core/CheckParameters.h"
#include "service/core/ReportServiceEvent.h"
#include "service/core/ServiceState.h"

#include <stdio.h>
#include <string.h>

// The open port; only the reader's thread touches it once capture has begun.
static struct ComPortState {
    HANDLE Handle;              // INVALID_HANDLE_VALUE while closed
    OVERLAPPED Overlapped;      // its reads, one at a time
    DWORD ReadTimeoutMs;        // the read time-out the port has now
} Port = {INVALID_HANDLE_VALUE, {}, 0};

DWORD SilenceTimeoutMs()
{
    // Bounded so that a huge Timeout cannot wrap into a short one.
    return Params.Timeout < MAXDWORD / 1000 ? Params.Timeout * 1000 : MAXDWORD - 1;
}

static BOOL ApplyReadTimeout(HANDLE port, DWORD ms)
{
    COMMTIMEOUTS timeouts;
    memset(&timeouts, 0, sizeof timeouts);
    timeouts.ReadTotalTimeoutMultiplier = Params.Timeout != 0 ? 1 : 0;
    timeouts.ReadTotalTimeoutConstant = ms;
    return SetCommTimeouts(port, &timeouts);
}

int SetPortSettings(DCB *dcb)
{
    // Each field takes a byte: a stored 264 would become a ByteSize of 8.
    if (!ByteFormatInRange() || Params.FlowControl >= FLOW_CONTROL_COUNT)
        return 0;
    DWORD flow = Params.FlowControl;
    dcb->BaudRate = Params.BaudRate;
    dcb->ByteSize = (BYTE)Params.ByteSize;
    dcb->Parity = (BYTE)Params.Parity;
    dcb->StopBits = (BYTE)Params.StopBits;
    dcb->fParity = Params.Parity != 0;
    // The driver keeps every other field as the last program left it (that
    // is how "mode COMn" works), so each is set here on purpose: a leftover
    // XON/XOFF swallows 0x11 and 0x13, fNull drops NUL bytes,
    // fDsrSensitivity drops bytes while DSR is low, and fAbortOnError turns
    // one framing error into a failed read and a reopen.
    dcb->fBinary = TRUE;
    dcb->fNull = FALSE;
    dcb->fErrorChar = FALSE;
    dcb->fAbortOnError = FALSE;
    dcb->fDsrSensitivity = FALSE;
    // Flow control only as asked; otherwise DTR and RTS stay on, since many
    // devices send only while DTR is high.
    dcb->fOutxCtsFlow = flow == FlowRtsCts;
    dcb->fRtsControl = flow == FlowRtsCts ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE;
    dcb->fOutxDsrFlow = flow == FlowDtrDsr;
    dcb->fDtrControl = flow == FlowDtrDsr ? DTR_CONTROL_HANDSHAKE : DTR_CONTROL_ENABLE;
    dcb->fOutX = flow == FlowXonXoff;
    dcb->fInX = flow == FlowXonXoff;
    // Nothing is ever sent: an XOFF of ours must not hold anything up.
    dcb->fTXContinueOnXoff = TRUE;
    dcb->XonChar = 0x11;
    dcb->XoffChar = 0x13;
    dcb->ErrorChar = 0;
    dcb->EofChar = 0;
    dcb->EvtChar = 0;
    // XonLim and XoffLim stay: they are measured against the driver's own
    // queue, which only the driver knows.
    return 1;
}

int ConfigureComPort(HANDLE port, BOOL report)
{
    if (Params.ComBufferSize != 0 && !SetupComm(port, Params.ComBufferSize, 16)) {
        DWORD error = GetLastError();
        if (report)
            ReportServiceEvent("Warning: Unable to set the com buffer size of \"%s\" to %lu bytes (error %lu); "
                               "the driver's own size is used",
                               EVENTLOG_ERROR_TYPE, Params.PortName, (unsigned long)Params.ComBufferSize,
                               (unsigned long)error);
    }

    DCB dcb;
    memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(port, &dcb) && report)
        ReportServiceEvent("Warning: Unable to retrieve com port state for \"%s\"",
                           EVENTLOG_ERROR_TYPE, Params.PortName);
    if (!SetPortSettings(&dcb) || !SetCommState(port, &dcb)) {
        if (report)
            ReportServiceEvent("Unable to set com port state for \"%s\"", EVENTLOG_ERROR_TYPE,
                               Params.PortName);
        return 0;
    }

    // A one-byte read returns as soon as a byte arrives. Without one it gives
    // up after Timeout seconds (silence) or, without silence detection,
    // after IDLE_READ_TIMEOUT_MS, so that an idle port is not polled.
    DWORD readTimeout = Params.Timeout == 0 ? IDLE_READ_TIMEOUT_MS : SilenceTimeoutMs();
    if (!ApplyReadTimeout(port, readTimeout) && report)
        ReportServiceEvent("Warning: Unable to set com timeouts for \"%s\"", EVENTLOG_ERROR_TYPE,
                           Params.PortName);
    return 1;
}

static int OpenAndConfigurePort(BOOL report)
{
    char device[32];
    snprintf(device, sizeof device, "\\\\.\\%s", Params.PortName);

    // Overlapped, so that a pending read can be cancelled at stop instead of
    // holding the stop up for Timeout seconds.
    HANDLE port = CreateFileA(device, GENERIC_READ, 0, NULL, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, NULL);
    if (port == INVALID_HANDLE_VALUE) {
        if (report)
            ReportServiceEvent("Could not obtain handle to \"%s\"", EVENTLOG_ERROR_TYPE,
                               Params.PortName);
        return 0;
    }
    if (!ConfigureComPort(port, report)) {
        CloseHandle(port);
        return 0;
    }
    Port.Handle = port;
    Port.ReadTimeoutMs = Params.Timeout == 0 ? IDLE_READ_TIMEOUT_MS : SilenceTimeoutMs();
    return 1;
}

int OpenComPort()
{
    if (Port.Overlapped.hEvent == NULL)
        Port.Overlapped.hEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
    if (Port.Overlapped.hEvent == NULL) {
        ReportServiceEvent("The reader could not be started (error %lu)", EVENTLOG_ERROR_TYPE,
                           GetLastError());
        return 0;
    }
    return OpenAndConfigurePort(TRUE);
}

static int ReopenComPort()
{
    if (!OpenAndConfigurePort(FALSE))
        return 0;
    if (Params.VerboseLevel & VERBOSE_START_STOP)
        ReportServiceEvent("\"%s\" is open again; capture continues", EVENTLOG_INFORMATION_TYPE,
                           Params.PortName);
    return 1;
}

// --- reading ---------------------------------------------------------------

enum ReadOutcome { ReadStopped, ReadFailed, ReadDone };

// Begins an overlapped read. ReadDone when it completed at once (or timed
// out), ReadFailed on an error; otherwise it is pending (ERROR_IO_PENDING).
static BOOL BeginRead(BYTE *buffer, DWORD size, DWORD *count, ReadOutcome *outcome)
{
    *count = 0;
    Port.Overlapped.Offset = Port.Overlapped.OffsetHigh = 0;
    ResetEvent(Port.Overlapped.hEvent);
    if (ReadFile(Port.Handle, buffer, size, count, &Port.Overlapped) || GetLastError() == ERROR_TIMEOUT) {
        *outcome = ReadDone;
        return FALSE;
    }
    if (GetLastError() != ERROR_IO_PENDING) {
        *outcome = ReadFailed;
        return FALSE;
    }
    return TRUE;
}

// Waits for a pending read, cancelling it at stop. While it waits, an
// episode of driver losses that has ended is reported.
static ReadOutcome AwaitRead(DWORD *count)
{
    HANDLE events[2] = {StopEvent, Port.Overlapped.hEvent};
    DWORD woken;
    while ((woken = WaitForMultipleObjects(2, events, FALSE, DriverLossDueInMs(GetTickCount()))) ==
           WAIT_TIMEOUT)
        ReportDriverLoss();
    if (woken == WAIT_OBJECT_0) {
        CancelIo(Port.Handle);
        GetOverlappedResult(Port.Handle, &Port.Overlapped, count, TRUE);
        return ReadStopped;
    }
    if (!GetOverlappedResult(Port.Handle, &Port.Overlapped, count, FALSE)) {
        // Wine completes a timed-out overlapped read as ERROR_TIMEOUT where
        // Windows reports success with no byte: both mean silence.
        if (GetLastError() != ERROR_TIMEOUT)
            return ReadFailed;
        *count = 0;
    }
    return ReadDone;
}

// One overlapped read that a stop can interrupt at any moment.
static ReadOutcome ReadOverlapped(BYTE *buffer, DWORD size, DWORD *count)
{
    ReadOutcome outcome;
    if (!BeginRead(buffer, size, count, &outcome))
        return outcome;
    return AwaitRead(count);
}

// Bytes waiting in the driver, and what it lost since it was last asked.
static DWORD WaitingInDriver()
{
    DWORD errors;
    COMSTAT status;
    if (!ClearCommError(Port.Handle, &errors, &status))
        return 0;
    NoteCommErrors(errors, GetTickCount());
    return status.cbInQue;
}

// Waits for the next byte (the port's time-outs bound the wait), then takes
// every further byte already waiting in the driver in one more read: a read
// per byte cannot keep up with a fast line, since every call is a round trip
// to the system.
static ReadOutcome ReadPort(BYTE *buffer, DWORD size, DWORD *count)
{
    ReadOutcome outcome = ReadOverlapped(buffer, 1, count);
    if (outcome != ReadDone || *count == 0)
        return outcome;
    DWORD waiting = WaitingInDriver();
    if (waiting == 0)
        return ReadDone;
    DWORD more = 0;
    ReadOutcome second = ReadOverlapped(buffer + 1, waiting < size - 1 ? waiting : size - 1, &more);
    if (second == ReadFailed)
        return ReadDone;   // shows again at the next read; the first byte is kept
    *count += more;        // a stop may still have delivered some
    return second;
}

// The port failed (device unplugged, cable driver gone): said once, and the
// port is closed until the reader reopens it.
static void PortLost(DWORD error)
{
    ReportDriverLoss();
    ReportServiceEvent("Reading from \"%s\" failed (error %lu); trying to reopen the port",
                       EVENTLOG_ERROR_TYPE, Params.PortName, error);
    CloseHandle(Port.Handle);
    Port.Handle = INVALID_HANDLE_VALUE;
}

static SourceResult ReadComPort(BYTE *buffer, DWORD size, DWORD waitMs, DWORD *count)
{
    // The wait changes only when a silence is cut short or over.
    if (waitMs != Port.ReadTimeoutMs && ApplyReadTimeout(Port.Handle, waitMs))
        Port.ReadTimeoutMs = waitMs;
    switch (ReadPort(buffer, size, count)) {
    case ReadStopped:
        return SourceStopped;
    case ReadFailed:
        PortLost(GetLastError());
        return SourceLost;
    default:
        return *count > 0 ? SourceData : SourceQuiet;
    }
}

static DWORD ComRetryDelayMs(DWORD) { return PORT_RETRY_MS; }

// At stop: what the driver already holds (it arrived during a pause, or with
// the stop) is read now, or the driver drops it when the port closes. Reads
// only what is there, so the stop never waits for a read.
static DWORD TakeWaitingInDriver(BYTE *buffer, DWORD size)
{
    if (Port.Handle == INVALID_HANDLE_VALUE)
        return 0;
    DWORD waiting = WaitingInDriver();
    if (waiting == 0)
        return 0;
    DWORD count = 0;
    Port.Overlapped.Offset = Port.Overlapped.OffsetHigh = 0;
    ResetEvent(Port.Overlapped.hEvent);
    if (!ReadFile(Port.Handle, buffer, waiting < size ? waiting : size, &count, &Port.Overlapped)) {
        if (GetLastError() != ERROR_IO_PENDING)
            return 0;
        if (WaitForSingleObject(Port.Overlapped.hEvent, STOP_DRAIN_MS) != WAIT_OBJECT_0)
            CancelIo(Port.Handle);
        GetOverlappedResult(Port.Handle, &Port.Overlapped, &count, TRUE);
    }
    return count;
}

static void CloseComPort()
{
    if (Port.Handle != INVALID_HANDLE_VALUE)
        CloseHandle(Port.Handle);
    Port.Handle = INVALID_HANDLE_VALUE;
    ReportDriverLoss();
}

static BOOL ComPortConnected() { return Port.Handle != INVALID_HANDLE_VALUE; }

const CaptureSource ComPortSource = {
    OpenComPort, ReadComPort, ReopenComPort, ComRetryDelayMs, TakeWaitingInDriver, CloseComPort,
    ComPortConnected,
};
