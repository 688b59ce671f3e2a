#include "service/capture/ComPort.h"
#include "service/capture/CaptureQueue.h"
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
    BOOL TimeoutRefused;        // a refused read time-out was reported
    BOOL Lost;                  // failed: said once, until a read succeeds again
    BOOL Reopened;              // open again since it failed, not yet read from
} Port = {INVALID_HANDLE_VALUE, {}, 0, FALSE, FALSE, FALSE};

DWORD SilenceTimeoutMs()
{
    // Bounded so that a huge Timeout cannot wrap into a short one.
    return Params.Timeout < MAXDWORD / 1000 ? Params.Timeout * 1000 : MAXDWORD - 1;
}

// A read of one byte waits up to `ms` for it and returns as soon as it came;
// what came with it is then read in one more call, without waiting. (The
// mode in which a single read returns whatever the driver holds, or waits
// for the first byte, ReadIntervalTimeout and ReadTotalTimeoutMultiplier at
// MAXDWORD, is not kept by Wine for overlapped reads of more than a byte:
// they wait until the buffer is full.)
static BOOL ApplyReadTimeout(HANDLE port, DWORD ms)
{
    COMMTIMEOUTS timeouts;
    memset(&timeouts, 0, sizeof timeouts);
    timeouts.ReadTotalTimeoutConstant = ms == 0 ? 1 : ms;
    return ComPortCalls.Timeouts(port, &timeouts);
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

    // A read returns as soon as a byte is there. Without one it gives up
    // after Timeout seconds (silence) or, without silence detection, after
    // IDLE_READ_TIMEOUT_MS, so that an idle port is not polled.
    DWORD readTimeout = Params.Timeout == 0 ? IDLE_READ_TIMEOUT_MS : SilenceTimeoutMs();
    if (!ApplyReadTimeout(port, readTimeout) && report)
        ReportServiceEvent("Warning: Unable to set com timeouts for \"%s\"", EVENTLOG_ERROR_TYPE,
                           Params.PortName);
    return 1;
}

// Opens the device and configures it; INVALID_HANDLE_VALUE when either fails.
static HANDLE OpenPortDevice(const char *device, BOOL report)
{
    // Overlapped, so that a pending read can be cancelled at stop instead of
    // holding the stop up for Timeout seconds.
    HANDLE port = CreateFileA(device, GENERIC_READ, 0, NULL, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, NULL);
    if (port == INVALID_HANDLE_VALUE) {
        if (report)
            ReportServiceEvent("Could not obtain handle to \"%s\"", EVENTLOG_ERROR_TYPE,
                               Params.PortName);
        return INVALID_HANDLE_VALUE;
    }
    if (!ConfigureComPort(port, report)) {
        CloseHandle(port);
        return INVALID_HANDLE_VALUE;
    }
    return port;
}

ComPortApi ComPortCalls = {OpenPortDevice, ReadFile, GetOverlappedResult, ClearCommError, SetCommTimeouts};

static int OpenAndConfigurePort(BOOL report)
{
    char device[32];
    snprintf(device, sizeof device, "\\\\.\\%s", Params.PortName);
    HANDLE port = ComPortCalls.Open(device, report);
    if (port == INVALID_HANDLE_VALUE)
        return 0;
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

// Told once its first read succeeds: a port that opens but fails at once
// again is one failure, not one every few seconds.
static int ReopenComPort()
{
    if (!OpenAndConfigurePort(FALSE))
        return 0;
    Port.Reopened = TRUE;
    return 1;
}

// --- reading ---------------------------------------------------------------

// An empty read that came back much sooner than asked: a driver that
// completes reads at once with nothing (time-outs another program left, some
// USB drivers after removal). The next read waits this long first, so it
// costs no CPU.
#define EMPTY_READ_PAUSE_MS 50

// The port failed (device unplugged, cable driver gone): said once per
// failure, and the port is closed until the reader reopens it.
static SourceResult PortLost(DWORD error)
{
    CloseHandle(Port.Handle);
    Port.Handle = INVALID_HANDLE_VALUE;
    Port.Reopened = FALSE;
    if (!Port.Lost) {
        Port.Lost = TRUE;
        ReportDriverLoss();
        ReportServiceEvent("Reading from \"%s\" failed (error %lu); trying to reopen the port",
                           EVENTLOG_ERROR_TYPE, Params.PortName, error);
    }
    return SourceLost;
}

// A read worked: a failure before it is over.
static void PortWorks()
{
    if (Port.Reopened && (Params.VerboseLevel & VERBOSE_START_STOP))
        ReportServiceEvent("\"%s\" is open again; capture continues", EVENTLOG_INFORMATION_TYPE,
                           Params.PortName);
    Port.Reopened = FALSE;
    Port.Lost = FALSE;
}

// Bytes waiting in the driver, and what it lost since it was last asked (a
// loss begins a new line).
static DWORD WaitingInDriver()
{
    DWORD errors;
    COMSTAT status;
    if (!ComPortCalls.Errors(Port.Handle, &errors, &status))
        return 0;
    if (NoteCommErrors(errors, GetTickCount()))
        MarkCaptureGap();
    return status.cbInQue;
}

// The driver's time-out changes only when the wait wanted is shorter by more
// than READ_TIMEOUT_SLACK_MS or longer than twice it: each change is a call
// into the system, and with Timeout set the wait wanted moves with every
// read while data flows. A quiet read then ends at most the slack late (the
// warning comes that much later), or sooner, and the reader asks again.
#define READ_TIMEOUT_SLACK_MS 100

static void SetReadTimeout(DWORD waitMs)
{
    BOOL shorter = waitMs < Port.ReadTimeoutMs && Port.ReadTimeoutMs - waitMs > READ_TIMEOUT_SLACK_MS;
    if (!shorter && waitMs / 2 <= Port.ReadTimeoutMs)
        return;
    if (ApplyReadTimeout(Port.Handle, waitMs)) {
        Port.ReadTimeoutMs = waitMs;
        Port.TimeoutRefused = FALSE;
    } else if (!Port.TimeoutRefused) {
        Port.TimeoutRefused = TRUE;
        ReportServiceEvent("Warning: Unable to set com timeouts for \"%s\"", EVENTLOG_ERROR_TYPE,
                           Params.PortName);
    }
}

enum ReadOutcome { ReadStopped, ReadFailed, ReadDone };

// One overlapped read that a stop can interrupt at any moment. (ReadFile
// resets the event itself: one call into the system less per read.)
static ReadOutcome ReadOverlapped(BYTE *buffer, DWORD size, DWORD *count)
{
    *count = 0;
    Port.Overlapped.Offset = Port.Overlapped.OffsetHigh = 0;
    BOOL done = ComPortCalls.Read(Port.Handle, buffer, size, count, &Port.Overlapped);
    if (!done && GetLastError() == ERROR_IO_PENDING) {
        HANDLE events[2] = {StopEvent, Port.Overlapped.hEvent};
        if (WaitForMultipleObjects(2, events, FALSE, INFINITE) == WAIT_OBJECT_0) {
            CancelIo(Port.Handle);
            ComPortCalls.Result(Port.Handle, &Port.Overlapped, count, TRUE);
            return ReadStopped;
        }
        done = ComPortCalls.Result(Port.Handle, &Port.Overlapped, count, FALSE);
    }
    if (done)
        return ReadDone;
    // Wine completes a timed-out overlapped read as ERROR_TIMEOUT where
    // Windows reports success with no byte: both mean silence.
    *count = 0;
    return GetLastError() == ERROR_TIMEOUT ? ReadDone : ReadFailed;
}

// Takes what the driver holds in one read that does not wait; with nothing
// there, waits up to waitMs for the next byte and then takes every further
// byte already waiting in one more read. A read per byte cannot keep up with
// a fast line, and a busy one is read in one call per wake, not two: every
// read is several round trips to the system (under Wine about seven), while
// asking the driver what it holds is none.
static SourceResult ReadComPort(BYTE *buffer, DWORD size, DWORD waitMs, DWORD *count)
{
    DWORD held = WaitingInDriver();
    if (held > 0) {
        ReadOutcome taken = ReadOverlapped(buffer, held < size ? held : size, count);
        if (taken == ReadStopped)
            return SourceStopped;
        if (taken == ReadFailed)
            return PortLost(GetLastError());
        PortWorks();
        return SourceData;
    }
    SetReadTimeout(waitMs);
    DWORD began = GetTickCount(), timeout = Port.ReadTimeoutMs;
    ReadOutcome outcome = ReadOverlapped(buffer, 1, count);
    if (outcome == ReadStopped)
        return SourceStopped;
    if (outcome == ReadFailed)
        return PortLost(GetLastError());
    if (*count == 0) {
        if (timeout > 2 * EMPTY_READ_PAUSE_MS && GetTickCount() - began < timeout / 2)
            return WaitForSingleObject(StopEvent, EMPTY_READ_PAUSE_MS) == WAIT_OBJECT_0 ? SourceStopped
                                                                                    : SourceQuiet;
        PortWorks();
        return SourceQuiet;
    }
    PortWorks();
    DWORD waiting = WaitingInDriver();
    if (waiting == 0)
        return SourceData;
    DWORD more = 0;
    outcome = ReadOverlapped(buffer + 1, waiting < size - 1 ? waiting : size - 1, &more);
    *count += more;        // a stop may still have delivered some
    // A failure shows again at the next read; the first byte is kept.
    return outcome == ReadStopped ? SourceStopped : SourceData;
}

static DWORD ComRetryDelayMs(DWORD) { return PORT_RETRY_MS; }

// At stop: what the driver already holds (it arrived with the stop) is read
// now, or the driver drops it when the port closes. Reads only what is
// there, so the stop never waits for a read.
static DWORD TakeWaitingInDriver(BYTE *buffer, DWORD size)
{
    if (Port.Handle == INVALID_HANDLE_VALUE)
        return 0;
    DWORD waiting = WaitingInDriver();
    if (waiting == 0)
        return 0;
    DWORD count = 0;
    Port.Overlapped.Offset = Port.Overlapped.OffsetHigh = 0;
    if (!ComPortCalls.Read(Port.Handle, buffer, waiting < size ? waiting : size, &count, &Port.Overlapped)) {
        if (GetLastError() != ERROR_IO_PENDING)
            return 0;
        if (WaitForSingleObject(Port.Overlapped.hEvent, STOP_DRAIN_MS) != WAIT_OBJECT_0)
            CancelIo(Port.Handle);
        if (!ComPortCalls.Result(Port.Handle, &Port.Overlapped, &count, TRUE))
            count = 0;
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
