#include "ReaderThread.h"
#include "ComPort.h"
#include "InactivityAlarm.h"
#include "LogFile.h"
#include "LogWriter.h"
#include "ReportServiceEvent.h"
#include "ServiceState.h"

BOOL LineStart;

static BOOL StopRequested() { return WaitForSingleObject(StopEvent, 0) == WAIT_OBJECT_0; }

void CaptureBytes(const BYTE *data, DWORD count)
{
    BOOL stamps = Params.TimestampFormat != 0;
    DWORD run = 0;   // start of the bytes not yet written
    for (DWORD i = 0; i < count; i++) {
        BYTE b = data[i];
        if (LineStart && b != '\n' && stamps) {
            if (i > run)
                WriteToLog(data + run, i - run);
            run = i;
            WriteTimestamp();
            LineStart = FALSE;
        }
        if (b == '\r' && stamps)
            LineStart = TRUE;
    }
    if (count > run)
        WriteToLog(data + run, count - run);
}

void CaptureByte(BYTE b) { CaptureBytes(&b, 1); }

// Waits until the reader may go on. Returns FALSE at stop.
static BOOL WaitForGate()
{
    HANDLE events[2] = {StopEvent, ReaderGate};
    return WaitForMultipleObjects(2, events, FALSE, INFINITE) == WAIT_OBJECT_0 + 1;
}

// Takes LogLock at a moment when the reader may write. FALSE at stop, and
// then the lock is not held: nothing is written once the stop has begun.
static BOOL EnterLogForWriting()
{
    for (;;) {
        if (!WaitForGate())
            return FALSE;
        EnterCriticalSection(&LogLock);
        if (StopRequested()) {
            LeaveCriticalSection(&LogLock);
            return FALSE;
        }
        if (WaitForSingleObject(ReaderGate, 0) == WAIT_OBJECT_0)
            return TRUE;
        LeaveCriticalSection(&LogLock);
    }
}

void HoldReader()
{
    ResetEvent(ReaderGate);
    // A byte being written right now is finished before the pause is
    // reported, and what was written is on disk for the length of the pause.
    EnterCriticalSection(&LogLock);
    if (LogCareDueInMs() != INFINITE)
        LogCare();
    LeaveCriticalSection(&LogLock);
}

// Tick count from which the current silence is measured: the later of the
// last byte and the last continue (a pause is no silence). Written by the
// reader and by the control handler.
static volatile LONG SilenceStart;

static void RestartSilence() { InterlockedExchange(&SilenceStart, (LONG)GetTickCount()); }

void ReleaseReader()
{
    RestartSilence();
    SetEvent(ReaderGate);
}

// How long a wait for the port may last before the log needs its care
// (flush, held bytes, a deleted file), read under the lock its writers hold.
static DWORD LogCareWaitMs()
{
    EnterCriticalSection(&LogLock);
    DWORD ms = LogCareDueInMs();
    LeaveCriticalSection(&LogLock);
    return ms;
}

// The log's care while the reader waits for bytes: not during a pause (the
// pause flushed, and nothing is written while paused) nor once a stop began.
static void CareForLogBetweenReads()
{
    EnterCriticalSection(&LogLock);
    if (!StopRequested() && WaitForSingleObject(ReaderGate, 0) == WAIT_OBJECT_0)
        LogCare();
    else
        PostponeLogCare();
    LeaveCriticalSection(&LogLock);
}

enum ReadOutcome { ReadStopped, ReadFailed, ReadDone };

// One overlapped read that a stop can interrupt at any moment. While it
// waits, the log is flushed once a second after the last bytes came.
static ReadOutcome ReadOverlapped(OVERLAPPED *overlapped, BYTE *buffer, DWORD size, DWORD *count)
{
    *count = 0;
    overlapped->Offset = overlapped->OffsetHigh = 0;
    ResetEvent(overlapped->hEvent);
    if (ReadFile(PortHandle, buffer, size, count, overlapped))
        return ReadDone;
    if (GetLastError() == ERROR_TIMEOUT)
        return ReadDone;
    if (GetLastError() != ERROR_IO_PENDING)
        return ReadFailed;
    HANDLE events[2] = {StopEvent, overlapped->hEvent};
    DWORD woken;
    while ((woken = WaitForMultipleObjects(2, events, FALSE, LogCareWaitMs())) == WAIT_TIMEOUT)
        CareForLogBetweenReads();
    if (woken == WAIT_OBJECT_0) {
        CancelIo(PortHandle);
        GetOverlappedResult(PortHandle, overlapped, count, TRUE);
        return ReadStopped;
    }
    if (!GetOverlappedResult(PortHandle, overlapped, count, FALSE)) {
        // Wine completes a timed-out overlapped read as ERROR_TIMEOUT where
        // Windows reports success with no byte: both mean silence.
        if (GetLastError() != ERROR_TIMEOUT)
            return ReadFailed;
        *count = 0;
    }
    return ReadDone;
}

// Waits for the next byte (the port's time-outs bound the wait), then takes
// every further byte already waiting in the driver in one more read: a read
// per byte cannot keep up with a fast line, since every call is a round trip
// to the system.
static ReadOutcome ReadPort(OVERLAPPED *overlapped, BYTE *buffer, DWORD size, DWORD *count)
{
    ReadOutcome outcome = ReadOverlapped(overlapped, buffer, 1, count);
    if (outcome != ReadDone || *count == 0)
        return outcome;
    DWORD errors;
    COMSTAT status;
    if (ClearCommError(PortHandle, &errors, &status) && status.cbInQue > 0) {
        DWORD more = 0;
        DWORD wanted = status.cbInQue < size - 1 ? status.cbInQue : size - 1;
        ReadOutcome second = ReadOverlapped(overlapped, buffer + 1, wanted, &more);
        if (second == ReadFailed)
            return ReadDone;   // shows again at the next read; the first byte is kept
        *count += more;        // a stop may still have delivered some
        return second;
    }
    return ReadDone;
}

// The port failed (device unplugged, cable driver gone): say so, then try to
// open it again every few seconds until it is back or the service stops.
static BOOL RecoverPort(DWORD error)
{
    ReportServiceEvent("Reading from \"%s\" failed (error %lu); trying to reopen the port",
                       EVENTLOG_ERROR_TYPE, Params.PortName, error);
    CloseHandle(PortHandle);
    PortHandle = INVALID_HANDLE_VALUE;
    for (;;) {
        // The last bytes before the failure still reach the disk in time.
        DWORD began = GetTickCount();
        DWORD waited;
        while ((waited = GetTickCount() - began) < PORT_RETRY_MS) {
            DWORD care = LogCareWaitMs();
            DWORD wait = PORT_RETRY_MS - waited < care ? PORT_RETRY_MS - waited : care;
            if (WaitForSingleObject(StopEvent, wait) == WAIT_OBJECT_0)
                return FALSE;
            if (wait == care)
                CareForLogBetweenReads();
        }
        if (ReopenComPort()) {
            if (Params.VerboseLevel & VERBOSE_START_STOP)
                ReportServiceEvent("\"%s\" is open again; capture continues", EVENTLOG_INFORMATION_TYPE,
                                   Params.PortName);
            return TRUE;
        }
    }
}

// Bytes already taken from the port when the stop came (those that arrived
// during a pause, or with the stop itself): the driver no longer has them,
// so they are written now, before the stop closes the log, or never.
static void CaptureAtStop(const BYTE *data, DWORD count)
{
    if (count == 0)
        return;
    EnterCriticalSection(&LogLock);
    // The stop closes the log once the reader has ended, or after waiting
    // READER_END_WAIT_MS for it: then it is too late.
    if (LogHandle != INVALID_HANDLE_VALUE)
        CaptureBytes(data, count);
    LeaveCriticalSection(&LogLock);
}

static void ReportSilence()
{
    if (Params.VerboseLevel & VERBOSE_TIMEOUTS)
        ReportServiceEvent("%s has not received data for %d seconds (TIMED OUT)",
                           EVENTLOG_WARNING_TYPE, ServiceName, (int)Params.Timeout);
}

DWORD WINAPI ReaderThread(LPVOID)
{
    OVERLAPPED overlapped;
    ZeroMemory(&overlapped, sizeof overlapped);
    overlapped.hEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
    if (overlapped.hEvent == NULL)
        return 1;

    AlarmHandle = INVALID_HANDLE_VALUE;
    LineStart = TRUE;
    BOOL silenceReported = FALSE;
    // Set while the port's read time-out is cut to the rest of a silence.
    BOOL readShortened = FALSE;
    DWORD timeoutMs = SilenceTimeoutMs();
    RestartSilence();

    for (;;) {
        if (!WaitForGate())
            break;
        BYTE received[READ_CHUNK_SIZE];
        DWORD count;
        ReadOutcome outcome = ReadPort(&overlapped, received, sizeof received, &count);
        if (outcome == ReadStopped) {
            CaptureAtStop(received, count);
            break;
        }
        if (outcome == ReadFailed) {
            if (!RecoverPort(GetLastError()))
                break;
            readShortened = FALSE;      // the reopened port has the full time-out
            continue;
        }

        if (count == 0) {
            // A read that timed out during a pause is no silence: silence
            // detection stands still while the service is paused.
            if (WaitForSingleObject(ReaderGate, 0) != WAIT_OBJECT_0)
                continue;
            if (Params.Timeout == 0 || silenceReported)
                continue;
            // A read that began before a pause and ended after the continue
            // has not seen Timeout seconds of silence: wait for the rest.
            DWORD silentMs = GetTickCount() - (DWORD)SilenceStart;
            if (silentMs + SILENCE_SLACK_MS < timeoutMs) {
                readShortened = SetPortReadTimeout(timeoutMs - silentMs);
                continue;
            }
            if (readShortened)
                readShortened = !SetPortReadTimeout(timeoutMs);
            ReportSilence();
            silenceReported = TRUE;
            StartInactivityAlarm();
            continue;
        }

        // Bytes that arrived during a pause are captured after the continue,
        // or at a stop that comes first.
        if (!EnterLogForWriting()) {
            CaptureAtStop(received, count);
            break;
        }
        if (Params.Timeout != 0 && silenceReported) {
            silenceReported = FALSE;
            EndInactivityAlarm();
        }
        CaptureBytes(received, count);
        if (LogCareDueInMs() == 0)
            LogCare();
        LeaveCriticalSection(&LogLock);
        RestartSilence();
        if (readShortened)
            readShortened = !SetPortReadTimeout(timeoutMs);
    }
    CloseHandle(overlapped.hEvent);
    return 0;
}
