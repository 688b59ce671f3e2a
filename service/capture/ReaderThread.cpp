#include "service/capture/ReaderThread.h"
#include "service/alarm/InactivityAlarm.h"
#include "service/capture/CaptureQueue.h"
#include "service/capture/ComPort.h"
#include "service/core/CaptureStatus.h"
#include "service/core/ReportServiceEvent.h"
#include "service/core/ServiceState.h"

const CaptureSource *Source = &ComPortSource;

// The reader's thread and what the control handler shares with it.
static struct ReaderState {
    HANDLE Thread;
    volatile LONG Paused;
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

static BOOL ReaderPaused() { return Reader.Paused != 0; }

void PauseReader() { InterlockedExchange(&Reader.Paused, 1); }

void ContinueReader()
{
    RestartSilence();
    InterlockedExchange(&Reader.Paused, 0);
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
    if (Params.Timeout == 0 || silence->Reported || ReaderPaused())
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
// without silence detection (or with the silence told, or paused) long
// enough to cost nothing.
static DWORD ReadWaitMs(const Silence *silence)
{
    if (Params.Timeout == 0)
        return IDLE_READ_TIMEOUT_MS;
    DWORD timeout = SilenceTimeoutMs();
    if (silence->Reported || ReaderPaused())
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
    NoteSourceConnected(FALSE);
    for (DWORD failures = 1;; failures++) {
        DWORD began = GetTickCount(), delay = Source->RetryDelayMs(failures), waited;
        while ((waited = GetTickCount() - began) < delay) {
            DWORD wait = delay - waited;
            if (SilenceComplete(silence)) {
                BeginSilence(silence);
            } else if (Params.Timeout != 0 && !silence->Reported && !ReaderPaused()) {
                DWORD rest = ReadWaitMs(silence);
                if (rest < wait)
                    wait = rest;
            }
            if (WaitForSingleObject(StopEvent, wait) == WAIT_OBJECT_0)
                return FALSE;
        }
        if (Source->Reopen()) {
            NoteSourceConnected(TRUE);
            // Time passed unseen: the next byte begins a line of its own.
            MarkCaptureGap();
            return TRUE;
        }
    }
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
        if (!CaptureBytes(buffer, count, arrival))
            return;
        taken += count;
    }
}

DWORD ReadGatherMs(DWORD count, ULONGLONG spanUs)
{
    if (count == 0 || count >= READ_CHUNK_SIZE / 2)
        return 0;
    ULONGLONG dueUs = spanUs * (READ_CHUNK_SIZE / 2) / count;
    return dueUs < READ_GATHER_MS * 1000ULL ? (DWORD)(dueUs / 1000) : READ_GATHER_MS;
}

// Microseconds on the performance counter: the tick count moves in steps of
// up to 16 ms on Windows, too coarse to tell a source's pace by.
static ULONGLONG NowUs()
{
    static LARGE_INTEGER frequency;
    if (frequency.QuadPart == 0)
        QueryPerformanceFrequency(&frequency);
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return (ULONGLONG)(now.QuadPart / frequency.QuadPart) * 1000000ULL +
           (ULONGLONG)(now.QuadPart % frequency.QuadPart) * 1000000ULL / (ULONGLONG)frequency.QuadPart;
}

// Waits until `ms` have passed since `sinceUs`. FALSE at stop.
static BOOL GatherFor(ULONGLONG sinceUs, DWORD ms)
{
    ULONGLONG passedUs = NowUs() - sinceUs;
    if (passedUs >= ms * 1000ULL)
        return TRUE;
    DWORD rest = (DWORD)((ms * 1000ULL - passedUs + 999) / 1000);
    return WaitForSingleObject(StopEvent, rest) != WAIT_OBJECT_0;
}

DWORD WINAPI ReaderThread(LPVOID)
{
    Silence silence = {FALSE};
    DWORD gatherMs = 0;
    ULONGLONG readAt = NowUs();
    RestartSilence();
    while (!ServiceStopping()) {
        if (SilenceComplete(&silence)) {
            BeginSilence(&silence);
            continue;
        }
        if (gatherMs > 0 && !GatherFor(readAt, gatherMs))
            break;
        BYTE received[READ_CHUNK_SIZE];
        DWORD count = 0;
        SourceResult result = Source->Read(received, sizeof received, ReadWaitMs(&silence), &count);
        ULONGLONG now = NowUs();
        gatherMs = ReadGatherMs(count, now - readAt);
        readAt = now;
        if (count > 0) {
            // The stamp of every line that begins in this chunk.
            SYSTEMTIME arrival;
            GetLocalTime(&arrival);
            if (!CaptureBytes(received, count, arrival))
                break;              // a stop gave up waiting for this thread
            EndSilence(&silence);
        }
        if (result == SourceStopped)
            break;
        if (result == SourceLost && !RecoverSource(&silence))
            break;
    }
    HandOverWaitingAtStop();
    Source->Close();
    return 0;
}

int StartReader()
{
    Reader.Thread = CreateThread(NULL, 0, ReaderThread, NULL, 0, NULL);
    if (Reader.Thread == NULL) {
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
