#include "service/capture/ReaderThread.h"
#include "service/alarm/InactivityAlarm.h"
#include "service/capture/ComPort.h"
#include "service/capture/DriverLoss.h"
#include "service/capture/NetworkSource.h"
#include "service/core/ReportServiceEvent.h"
#include "service/core/ServiceState.h"

void HoldReader()
{
    ResetEvent(ReaderGate);
    // From here no chunk is queued until the continue, so what the writer
    // writes for the pause is everything the reader handed over.
    HoldCaptureQueue();
}

// Tick count from which the current silence is measured: the later of the
// last byte and the last continue (a pause is no silence). Written by the
// reader and by the control handler.
static volatile LONG SilenceStart;

static void RestartSilence() { InterlockedExchange(&SilenceStart, (LONG)GetTickCount()); }

static DWORD SilentMs() { return GetTickCount() - (DWORD)SilenceStart; }

void ReleaseReader()
{
    ReleaseCaptureQueue();
    RestartSilence();
    SetEvent(ReaderGate);
}

// Waits while the reader is held. FALSE at stop.
static BOOL WaitWhileHeld()
{
    if (ServiceStopping())
        return FALSE;
    if (!CaptureQueueHeld())
        return TRUE;
    HANDLE events[2] = {StopEvent, ReaderGate};
    return WaitForMultipleObjects(2, events, FALSE, INFINITE) == WAIT_OBJECT_0 + 1;
}

enum ReadOutcome { ReadStopped, ReadFailed, ReadDone };

// One overlapped read that a stop can interrupt at any moment. While it
// waits, an episode of driver losses that has ended is reported.
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
    while ((woken = WaitForMultipleObjects(2, events, FALSE, DriverLossDueInMs(GetTickCount()))) ==
           WAIT_TIMEOUT)
        ReportDriverLoss();
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

// Bytes waiting in the driver, and what it lost since it was last asked.
static DWORD WaitingInDriver()
{
    DWORD errors;
    COMSTAT status;
    if (!ClearCommError(PortHandle, &errors, &status))
        return 0;
    NoteCommErrors(errors, GetTickCount());
    return status.cbInQue;
}

// Waits for the next byte (the port's time-outs bound the wait), then takes
// every further byte already waiting in the driver in one more read: a read
// per byte cannot keep up with a fast line, since every call is a round trip
// to the system.
// How long a read of a network source waits for data (the port's read
// time-out for a COM port).
static DWORD NetworkReadMs;

static int SetReadTimeout(DWORD ms)
{
    if (!NetworkSourceConfigured())
        return SetPortReadTimeout(ms);
    NetworkReadMs = ms;
    return 1;
}

static ReadOutcome ReadPort(OVERLAPPED *overlapped, BYTE *buffer, DWORD size, DWORD *count)
{
    // A network source is never lost: it reconnects by itself, silent meanwhile.
    if (NetworkSourceConfigured())
        return ReadNetworkSource(buffer, size, NetworkReadMs, count) == SourceStopped ? ReadStopped : ReadDone;
    ReadOutcome outcome = ReadOverlapped(overlapped, buffer, 1, count);
    if (outcome != ReadDone || *count == 0)
        return outcome;
    DWORD waiting = WaitingInDriver();
    if (waiting == 0)
        return ReadDone;
    DWORD more = 0;
    ReadOutcome second = ReadOverlapped(overlapped, buffer + 1, waiting < size - 1 ? waiting : size - 1,
                                        &more);
    if (second == ReadFailed)
        return ReadDone;   // shows again at the next read; the first byte is kept
    *count += more;        // a stop may still have delivered some
    return second;
}

// At stop: what the driver already holds (it arrived during a pause, or with
// the stop) is read and handed over now, or the driver drops it when the
// port closes. Reads only what is there, so the stop never waits for a read.
static void HandOverDriverAtStop(OVERLAPPED *overlapped)
{
    BYTE buffer[READ_CHUNK_SIZE];
    for (DWORD taken = 0; taken < CAPTURE_QUEUE_SIZE;) {
        DWORD waiting = WaitingInDriver();
        if (waiting == 0)
            return;
        DWORD count = 0;
        overlapped->Offset = overlapped->OffsetHigh = 0;
        ResetEvent(overlapped->hEvent);
        if (!ReadFile(PortHandle, buffer, waiting < sizeof buffer ? waiting : sizeof buffer, &count,
                      overlapped)) {
            if (GetLastError() != ERROR_IO_PENDING)
                return;
            if (WaitForSingleObject(overlapped->hEvent, STOP_DRAIN_MS) != WAIT_OBJECT_0)
                CancelIo(PortHandle);
            GetOverlappedResult(PortHandle, overlapped, &count, TRUE);
        }
        if (count == 0)
            return;
        SYSTEMTIME arrival;
        GetLocalTime(&arrival);
        CaptureBytes(buffer, count, arrival, TRUE);
        taken += count;
    }
}

static void ReportSilence()
{
    if (Params.VerboseLevel & VERBOSE_TIMEOUTS)
        ReportServiceEvent("%s has not received data for %d seconds (TIMED OUT)",
                           EVENTLOG_WARNING_TYPE, ServiceName, (int)Params.Timeout);
}

// When the silence so far is short of Timeout, the next read waits only for
// the rest of it (the port's read time-out is cut; *shortened says so). TRUE
// while the silence is not complete yet.
static BOOL AwaitRestOfSilence(DWORD timeoutMs, BOOL *shortened)
{
    DWORD silent = SilentMs();
    if (silent + SILENCE_SLACK_MS >= timeoutMs)
        return FALSE;
    *shortened = SetReadTimeout(timeoutMs - silent);
    return TRUE;
}

// The port failed (device unplugged, cable driver gone): say so, then try to
// open it again every few seconds until it is back or the service stops.
// Meanwhile the port counts as silent: with Timeout set the warning and the
// alarm come after Timeout seconds, as for a quiet port.
static BOOL RecoverPort(DWORD error, BOOL *silenceReported)
{
    ReportDriverLoss();
    ReportServiceEvent("Reading from \"%s\" failed (error %lu); trying to reopen the port",
                       EVENTLOG_ERROR_TYPE, Params.PortName, error);
    CloseHandle(PortHandle);
    PortHandle = INVALID_HANDLE_VALUE;
    DWORD timeoutMs = SilenceTimeoutMs();
    for (;;) {
        DWORD began = GetTickCount();
        DWORD waited;
        while ((waited = GetTickCount() - began) < PORT_RETRY_MS) {
            DWORD wait = PORT_RETRY_MS - waited;
            if (Params.Timeout != 0 && !*silenceReported && !CaptureQueueHeld()) {
                DWORD silent = SilentMs();
                if (silent + SILENCE_SLACK_MS >= timeoutMs) {
                    ReportSilence();
                    StartInactivityAlarm();
                    *silenceReported = TRUE;
                } else if (timeoutMs - silent < wait) {
                    wait = timeoutMs - silent;
                }
            }
            if (WaitForSingleObject(StopEvent, wait) == WAIT_OBJECT_0)
                return FALSE;
        }
        if (ReopenComPort()) {
            if (Params.VerboseLevel & VERBOSE_START_STOP)
                ReportServiceEvent("\"%s\" is open again; capture continues", EVENTLOG_INFORMATION_TYPE,
                                   Params.PortName);
            return TRUE;
        }
    }
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
    NetworkReadMs = Params.Timeout == 0 ? IDLE_READ_TIMEOUT_MS : timeoutMs;
    RestartSilence();

    while (WaitWhileHeld()) {
        BYTE received[READ_CHUNK_SIZE];
        DWORD count;
        ReadOutcome outcome = ReadPort(&overlapped, received, sizeof received, &count);
        // The stamp of every line that begins in this chunk.
        SYSTEMTIME arrival;
        GetLocalTime(&arrival);
        if (outcome == ReadStopped) {
            CaptureBytes(received, count, arrival, TRUE);
            break;
        }
        if (outcome == ReadFailed) {
            if (!RecoverPort(GetLastError(), &silenceReported))
                break;
            // The reopened port waits only for the rest of a silence begun before.
            readShortened = FALSE;
            if (Params.Timeout != 0 && !silenceReported)
                AwaitRestOfSilence(timeoutMs, &readShortened);
            continue;
        }

        if (count == 0) {
            // A read that timed out during a pause is no silence: silence
            // detection stands still while the service is paused.
            if (CaptureQueueHeld())
                continue;
            if (Params.Timeout == 0 || silenceReported)
                continue;
            // A read that began before a pause and ended after the continue
            // has not seen Timeout seconds of silence: wait for the rest.
            if (AwaitRestOfSilence(timeoutMs, &readShortened))
                continue;
            if (readShortened)
                readShortened = !SetReadTimeout(timeoutMs);
            ReportSilence();
            silenceReported = TRUE;
            StartInactivityAlarm();
            continue;
        }

        // Bytes that arrived during a pause are handed over after the
        // continue, or at a stop that comes first.
        BOOL handed;
        while (!(handed = CaptureBytes(received, count, arrival, FALSE)) && WaitWhileHeld()) {
        }
        if (!handed) {
            CaptureBytes(received, count, arrival, TRUE);
            break;
        }
        if (Params.Timeout != 0 && silenceReported) {
            silenceReported = FALSE;
            EndInactivityAlarm();
        }
        RestartSilence();
        if (readShortened)
            readShortened = !SetReadTimeout(timeoutMs);
    }
    if (PortHandle != INVALID_HANDLE_VALUE)
        HandOverDriverAtStop(&overlapped);
    BYTE waiting[READ_CHUNK_SIZE];
    DWORD count;
    for (DWORD taken = 0; NetworkSourceConfigured() && taken < CAPTURE_QUEUE_SIZE &&
                          (count = TakeWaitingFromNetwork(waiting, sizeof waiting)) > 0;
         taken += count) {
        SYSTEMTIME arrival;
        GetLocalTime(&arrival);
        CaptureBytes(waiting, count, arrival, TRUE);
    }
    ReportDriverLoss();
    CloseHandle(overlapped.hEvent);
    return 0;
}
