#include "service/log/LogWriterThread.h"
#include "service/capture/CaptureQueue.h"
#include "service/capture/DriverLoss.h"
#include "service/capture/Timestamp.h"
#include "service/core/ReportServiceEvent.h"
#include "service/core/ServiceState.h"
#include "service/log/LogWriter.h"

// What others ask of the writer. A swap request that is replaced while the
// writer works on it is recognised by its number; a pause by its number too,
// so that a pause, continue and pause in quick succession is answered only
// once the second pause holds.
static struct WriterRequests {
    SRWLOCK Lock;               // everything below
    CONDITION_VARIABLE Held;    // signalled when the writer holds for a pause
    BOOL SwapWanted;
    DWORD SwapNumber;
    SYSTEMTIME SwapTime;
    BOOL SwapRefused;
    DWORD SwapTriedAt;
    BOOL Paused;
    ULONGLONG PauseAt;          // the end of what the pause writes
    DWORD PauseNumber;          // the latest pause
    DWORD HeldFor;              // the pause the writer holds for
    volatile LONG EndWanted;    // set once, at stop
} Requests;

static HANDLE WriterThread;

static void Lock() { AcquireSRWLockExclusive(&Requests.Lock); }
static void Unlock() { ReleaseSRWLockExclusive(&Requests.Lock); }

static DWORD MsUntil(DWORD from, DWORD interval)
{
    DWORD elapsed = GetTickCount() - from;
    return elapsed >= interval ? 0 : interval - elapsed;
}

static DWORD Shorter(DWORD a, DWORD b) { return a < b ? a : b; }

// A swap is wanted (lock held).
static void WantSwap(const SYSTEMTIME &time)
{
    Requests.SwapWanted = TRUE;
    Requests.SwapNumber++;
    Requests.SwapTime = time;
    Requests.SwapRefused = FALSE;
}

void RequestLogSwap(const SYSTEMTIME &now)
{
    Lock();
    WantSwap(now);
    Unlock();
    WakeWriter();
}

BOOL LogSwapPending()
{
    Lock();
    BOOL pending = Requests.SwapWanted;
    Unlock();
    return pending;
}

DWORD PauseLogWriter()
{
    // Read once: the reader goes on queueing behind it.
    ULONGLONG at = QueuedPosition();
    Lock();
    Requests.Paused = TRUE;
    Requests.PauseAt = at;
    DWORD number = ++Requests.PauseNumber;
    Unlock();
    WakeWriter();
    return number;
}

BOOL WaitForLogWriterPause(DWORD pause, DWORD ms)
{
    DWORD began = GetTickCount();
    Lock();
    while (Requests.Paused && Requests.PauseNumber == pause && Requests.HeldFor != pause) {
        DWORD waited = GetTickCount() - began;
        if (waited >= ms || !SleepConditionVariableSRW(&Requests.Held, &Requests.Lock, ms - waited, 0))
            break;
    }
    BOOL held = Requests.HeldFor == pause;
    Unlock();
    return held;
}

void ContinueLogWriter()
{
    Lock();
    Requests.Paused = FALSE;
    Unlock();
    WakeConditionVariable(&Requests.Held);
    WakeWriter();
}

// Bytes that arrived after the open log's period want the swap at once,
// named for the first of them (while not paused: a pause ends the schedule).
static void SwapForLateBytes()
{
    ULONGLONG arrival;
    if (LogPeriodEnd(&arrival) == QueuedPosition())
        return;
    SYSTEMTIME time = LocalTimeOfSeconds(arrival);
    Lock();
    if (!Requests.SwapWanted && !Requests.Paused)
        WantSwap(time);
    Unlock();
}

// Tries the wanted swap when it is due: at once, or a second after a refusal.
// Returns how long until the next try (INFINITE: none wanted).
static DWORD ServeSwap()
{
    SwapForLateBytes();
    Lock();
    BOOL wanted = Requests.SwapWanted;
    DWORD number = Requests.SwapNumber;
    SYSTEMTIME time = Requests.SwapTime;
    DWORD due = Requests.SwapRefused ? MsUntil(Requests.SwapTriedAt, LOG_CARE_INTERVAL_MS) : 0;
    Unlock();
    if (!wanted)
        return INFINITE;
    if (due > 0)
        return due;
    ULONGLONG arrival;
    BOOL refused;
    RotateLogFile(time, LogPeriodEnd(&arrival), &refused);
    Lock();
    if (Requests.SwapNumber == number) {
        Requests.SwapWanted = refused;
        Requests.SwapRefused = refused;
        Requests.SwapTriedAt = GetTickCount();
    }
    BOOL again = Requests.SwapWanted;
    Unlock();
    return again ? LOG_CARE_INTERVAL_MS : INFINITE;
}

// While paused the writer writes only up to the pause (and holds once it
// tried), then tells a loss at once but writes nothing. Returns whether it
// holds; *upTo is what it may write.
static BOOL ServePause(ULONGLONG *upTo)
{
    Lock();
    BOOL paused = Requests.Paused;
    DWORD number = Requests.PauseNumber;
    BOOL held = Requests.HeldFor == number;
    *upTo = paused ? Requests.PauseAt : ~0ULL;
    Unlock();
    if (!paused)
        return FALSE;
    if (!held) {
        // Written and flushed, or refused: the pause does not wait for a
        // disk that fails; what it refuses is tried again meanwhile.
        LogCare(*upTo);
        Lock();
        if (Requests.PauseNumber == number)
            Requests.HeldFor = number;
        Unlock();
        WakeAllConditionVariable(&Requests.Held);
    }
    return TRUE;
}

DWORD ServeLogWriter()
{
    ULONGLONG upTo;
    BOOL paused = ServePause(&upTo);
    DWORD wait = paused ? INFINITE : ServeSwap();
    if (paused)
        ReportLossNow();
    else
        WriteQueuedBytes(upTo);
    if (LogCareDueInMs() == 0)
        LogCare(upTo);
    DWORD now = GetTickCount(), loss = DriverLossDueInMs(now);
    if (loss == 0) {
        ReportDriverLoss();
        loss = INFINITE;
    }
    return Shorter(Shorter(wait, LogCareDueInMs()), loss);
}

static BOOL Paused()
{
    Lock();
    BOOL paused = Requests.Paused;
    Unlock();
    return paused;
}

static DWORD WINAPI LogWriterThread(LPVOID)
{
    while (!Requests.EndWanted) {
        ULONGLONG written = WrittenPosition();
        DWORD wait = ServeLogWriter();
        // After a write the next bytes gather for a while: one write for
        // many reads while data flows. An idle writer is woken by them.
        BOOL wrote = WrittenPosition() != written;
        AwaitWork(wrote ? Shorter(wait, WRITE_GATHER_MS) : wait, wrote, Paused());
    }
    // The reader has ended (or the queue is closed): everything it handed
    // over is queued, and goes into the open file, a pause or not.
    if (!FinishLogFile(QueuedPosition()))
        ReportLogLostAtStop();
    CloseLogFile();
    return 0;
}

int StartLogWriter()
{
    if (!CreateCaptureQueue()) {
        ReportServiceEvent("The log writer could not be started (error %lu)", EVENTLOG_ERROR_TYPE,
                           GetLastError());
        return 0;
    }
    LogFileOpened();
    WriterThread = CreateThread(NULL, 0, LogWriterThread, NULL, 0, NULL);
    if (WriterThread == NULL) {
        ReportServiceEvent("The log writer could not be started (error %lu)", EVENTLOG_ERROR_TYPE,
                           GetLastError());
        return 0;
    }
    return 1;
}

void EndLogWriter()
{
    InterlockedExchange(&Requests.EndWanted, 1);
    WakeWriter();
}

BOOL WaitForLogWriterEnd(DWORD ms)
{
    return WriterThread == NULL || WaitForSingleObject(WriterThread, ms) == WAIT_OBJECT_0;
}
