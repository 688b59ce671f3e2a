#include "service/capture/ReaderThread.h"
#include "service/alarm/InactivityAlarm.h"
#include "service/capture/CaptureQueue.h"
#include "service/capture/ComPort.h"
#include "service/core/ReportServiceEvent.h"
#include "service/core/ServiceState.h"

const CaptureSource *Source = &ComPortSource;

// The reader's thread and what the control handler shares with it.
static struct ReaderState {
    HANDLE Thread;
    HANDLE Gate;                // manual reset: set while the reader may go on
    // Tick count from which the current silence is measured: the later of
    // the last byte and the last continue (a pause is no silence). Written
    // by the reader and by the control handler.
    volatile LONG SilenceStart;
} Reader;

// A silence as the reader follows it (reader only).
struct Silence {
    BOOL Reported;              // the warning is out and the alarm started
};

static void RestartSilence() { InterlockedExchange(&Reader.SilenceStart, (LONG)GetTickCount()); }

static DWORD SilentMs() { return GetTickCount() - (DWORD)Reader.SilenceStart; }

void HoldReader()
{
    ResetEvent(Reader.Gate);
    // From here no chunk is queued until the continue, so what the writer
    // writes for the pause is everything the reader handed over.
    HoldCaptureQueue();
}

void ReleaseReader()
{
    ReleaseCaptureQueue();
    RestartSilence();
    SetEvent(Reader.Gate);
}

// Waits while the reader is held. FALSE at stop.
static BOOL WaitWhileHeld()
{
    if (ServiceStopping())
        return FALSE;
    if (!CaptureQueueHeld())
        return TRUE;
    HANDLE events[2] = {StopEvent, Reader.Gate};
    return WaitForMultipleObjects(2, events, FALSE, INFINITE) == WAIT_OBJECT_0 + 1;
}

static void ReportSilence()
{
    if (Params.VerboseLevel & VERBOSE_TIMEOUTS)
        ReportServiceEvent("%s has not received data for %d seconds (TIMED OUT)",
                           EVENTLOG_WARNING_TYPE, ServiceName, (int)Params.Timeout);
}

// Whether the silence so far makes Timeout (a pause stands it still).
static BOOL SilenceComplete(const Silence *silence)
{
    if (Params.Timeout == 0 || silence->Reported || CaptureQueueHeld())
        return FALSE;
    return SilentMs() + SILENCE_SLACK_MS >= SilenceTimeoutMs();
}

// The silence has lasted Timeout seconds: the warning, and the alarm.
static void BeginSilence(Silence *silence)
{
    ReportSilence();
    silence->Reported = TRUE;
    StartInactivityAlarm();
}

// Bytes came: a silence that was reported ends with its alarm.
static void EndSilence(Silence *silence)
{
    if (Params.Timeout != 0 && silence->Reported) {
        silence->Reported = FALSE;
        EndInactivityAlarm();
    }
    RestartSilence();
}

// How long the next read may wait: until the silence makes Timeout, or
// without silence detection (or with the silence told) long enough to cost
// nothing.
static DWORD ReadWaitMs(const Silence *silence)
{
    if (Params.Timeout == 0)
        return IDLE_READ_TIMEOUT_MS;
    DWORD timeout = SilenceTimeoutMs();
    if (silence->Reported)
        return timeout;
    DWORD silent = SilentMs();
    return silent < timeout ? timeout - silent : 1;
}

// The source failed (a device unplugged, a cable driver gone): it is tried
// again until it is back or the service stops. Meanwhile it counts as
// silent: with Timeout set the warning and the alarm come after Timeout
// seconds, as for a quiet source. FALSE at stop.
static BOOL RecoverSource(Silence *silence)
{
    for (DWORD failures = 1;; failures++) {
        DWORD began = GetTickCount(), delay = Source->RetryDelayMs(failures), waited;
        while ((waited = GetTickCount() - began) < delay) {
            DWORD wait = delay - waited;
            if (SilenceComplete(silence)) {
                BeginSilence(silence);
            } else if (Params.Timeout != 0 && !silence->Reported && !CaptureQueueHeld()) {
                DWORD rest = ReadWaitMs(silence);
                if (rest < wait)
                    wait = rest;
            }
            if (WaitForSingleObject(StopEvent, wait) == WAIT_OBJECT_0)
                return FALSE;
        }
        if (Source->Reopen())
            return TRUE;
    }
}

// Hands a chunk over; bytes that arrived during a pause are handed over
// after the continue, or at a stop that comes first. FALSE at stop.
static BOOL HandOver(const BYTE *data, DWORD count, const SYSTEMTIME &arrival)
{
    while (!CaptureBytes(data, count, arrival, FALSE)) {
        if (!WaitWhileHeld()) {
            CaptureBytes(data, count, arrival, TRUE);
            return FALSE;
        }
    }
    return TRUE;
}

// At stop: what the source already holds is handed over before it closes.
static void HandOverWaitingAtStop()
{
    BYTE buffer[READ_CHUNK_SIZE];
    for (DWORD taken = 0; taken < CAPTURE_QUEUE_SIZE;) {
        DWORD count = Source->TakeWaiting(buffer, sizeof buffer);
        if (count == 0)
            return;
        SYSTEMTIME arrival;
        GetLocalTime(&arrival);
        CaptureBytes(buffer, count, arrival, TRUE);
        taken += count;
    }
}

DWORD WINAPI ReaderThread(LPVOID)
{
    Silence silence = {FALSE};
    RestartSilence();
    while (WaitWhileHeld()) {
        if (SilenceComplete(&silence)) {
            BeginSilence(&silence);
            continue;
        }
        BYTE received[READ_CHUNK_SIZE];
        DWORD count = 0;
        SourceResult result = Source->Read(received, sizeof received, ReadWaitMs(&silence), &count);
        // The stamp of every line that begins in this chunk.
        SYSTEMTIME arrival;
        GetLocalTime(&arrival);
        if (result == SourceStopped) {
            CaptureBytes(received, count, arrival, TRUE);
            break;
        }
        if (result == SourceLost) {
            if (!RecoverSource(&silence))
                break;
            continue;
        }
        // A read that timed out during a pause is no silence: silence
        // detection stands still while the service is paused.
        if (result == SourceQuiet)
            continue;
        if (!HandOver(received, count, arrival))
            break;
        EndSilence(&silence);
    }
    HandOverWaitingAtStop();
    Source->Close();
    return 0;
}

int StartReader()
{
    if (Reader.Gate == NULL)
        Reader.Gate = CreateEventA(NULL, TRUE, TRUE, NULL);
    if (Reader.Gate != NULL)
        Reader.Thread = CreateThread(NULL, 0, ReaderThread, NULL, 0, NULL);
    if (Reader.Gate == NULL || Reader.Thread == NULL) {
        ReportServiceEvent("The reader could not be started (error %lu)", EVENTLOG_ERROR_TYPE,
                           GetLastError());
        return 0;
    }
    return 1;
}

BOOL WaitForReaderEnd(DWORD ms)
{
    return Reader.Thread == NULL || WaitForSingleObject(Reader.Thread, ms) == WAIT_OBJECT_0;
}
