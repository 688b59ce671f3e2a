#include "service/log/LogWriterThread.h"
#include "service/capture/CaptureQueue.h"
#include "service/core/ReportServiceEvent.h"
#include "service/core/ServiceState.h"
#include "service/log/LogWriter.h"

// What others ask of the writer. A swap request that is replaced while the
// writer works on it is recognised by its number.
static struct WriterRequests {
    SRWLOCK Lock;               // the swap and the sync below
    BOOL SwapWanted;
    DWORD SwapNumber;
    SYSTEMTIME SwapTime;
    ULONGLONG SwapAt;
    BOOL SwapRefused;
    DWORD SwapTriedAt;
    BOOL SyncWanted;
    volatile LONG EndWanted;    // set once, at stop
} Requests;

// The thread and the event a pause waits for.
static struct WriterThreadState {
    HANDLE Thread;
    HANDLE SyncDone;            // manual reset
} Writer;

static void Lock() { AcquireSRWLockExclusive(&Requests.Lock); }
static void Unlock() { ReleaseSRWLockExclusive(&Requests.Lock); }

static DWORD MsUntil(DWORD from, DWORD interval)
{
    DWORD elapsed = GetTickCount() - from;
    return elapsed >= interval ? 0 : interval - elapsed;
}

static DWORD Shorter(DWORD a, DWORD b) { return a < b ? a : b; }

void RequestLogSwap(const SYSTEMTIME &now)
{
    // Read once: every byte is queued either before this position or after it.
    ULONGLONG at = QueuedPosition();
    Lock();
    Requests.SwapWanted = TRUE;
    Requests.SwapNumber++;
    Requests.SwapTime = now;
    Requests.SwapAt = at;
    Requests.SwapRefused = FALSE;
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

void RequestLogWriterSync()
{
    // The reader is held: what the writer's next LogCare writes is all it
    // handed over.
    ResetEvent(Writer.SyncDone);
    Lock();
    Requests.SyncWanted = TRUE;
    Unlock();
    WakeWriter();
}

BOOL WaitForLogWriterSync(DWORD ms) { return WaitForSingleObject(Writer.SyncDone, ms) == WAIT_OBJECT_0; }

// Tries the wanted swap when it is due: at once, or a second after a refusal.
// Returns how long until the next try (INFINITE: none wanted).
static DWORD ServeSwap()
{
    Lock();
    BOOL wanted = Requests.SwapWanted;
    DWORD number = Requests.SwapNumber;
    SYSTEMTIME time = Requests.SwapTime;
    ULONGLONG at = Requests.SwapAt;
    DWORD due = Requests.SwapRefused ? MsUntil(Requests.SwapTriedAt, LOG_CARE_INTERVAL_MS) : 0;
    Unlock();
    if (!wanted)
        return INFINITE;
    if (due > 0)
        return due;
    // Bytes written into the open file while a refused swap waited stay there.
    ULONGLONG written = WrittenPosition();
    BOOL refused;
    RotateLogFile(time, at > written ? at : written, &refused);
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

static void ServeSync()
{
    Lock();
    BOOL wanted = Requests.SyncWanted;
    Requests.SyncWanted = FALSE;
    Unlock();
    if (!wanted)
        return;
    // Written and flushed, or refused: the pause does not wait for a disk
    // that fails; what it refuses is tried again meanwhile.
    LogCare();
    SetEvent(Writer.SyncDone);
}

DWORD ServeLogWriter()
{
    DWORD wait = ServeSwap();
    WriteQueuedBytes();
    if (LogCareDueInMs() == 0)
        LogCare();
    ServeSync();
    return Shorter(wait, LogCareDueInMs());
}

static DWORD WINAPI LogWriterThread(LPVOID)
{
    while (!Requests.EndWanted) {
        ULONGLONG written = WrittenPosition();
        DWORD wait = ServeLogWriter();
        // After a write the next bytes gather for a while: one write for
        // many reads while data flows. An idle writer is woken by them.
        BOOL wrote = WrittenPosition() != written;
        AwaitWork(wrote ? Shorter(wait, WRITE_GATHER_MS) : wait, wrote);
    }
    // The reader has ended: everything it handed over is queued.
    if (!FinishLogFile(QueuedPosition()))
        ReportLogLostAtStop();
    CloseLogFile();
    return 0;
}

int StartLogWriter()
{
    if (Writer.SyncDone == NULL)
        Writer.SyncDone = CreateEventA(NULL, TRUE, FALSE, NULL);
    if (Writer.SyncDone == NULL || !CreateCaptureQueue()) {
        ReportServiceEvent("The log writer could not be started (error %lu)", EVENTLOG_ERROR_TYPE,
                           GetLastError());
        return 0;
    }
    LogFileOpened();
    Writer.Thread = CreateThread(NULL, 0, LogWriterThread, NULL, 0, NULL);
    if (Writer.Thread == NULL) {
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
    return Writer.Thread == NULL || WaitForSingleObject(Writer.Thread, ms) == WAIT_OBJECT_0;
}
