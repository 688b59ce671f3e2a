#include "service/log/LogWriterThread.h"
#include "service/capture/CaptureQueue.h"
#include "service/core/ReportServiceEvent.h"
#include "service/core/ServiceState.h"
#include "service/log/LogWriter.h"

// The requests, guarded by CaptureLock. A swap request that is replaced
// while the writer works on it is recognised by its number.
static BOOL SwapWanted;
static DWORD SwapNumber;
static SYSTEMTIME SwapTime;
static ULONGLONG SwapAt;
static BOOL SwapRefused;
static DWORD SwapTriedAt;
static BOOL SyncWanted;
static volatile LONG EndWanted;

static HANDLE SyncDone;         // manual reset
static HANDLE WriterHandle;

static DWORD MsUntil(DWORD from, DWORD interval)
{
    DWORD elapsed = GetTickCount() - from;
    return elapsed >= interval ? 0 : interval - elapsed;
}

static DWORD Shorter(DWORD a, DWORD b) { return a < b ? a : b; }

void RequestLogSwap(const SYSTEMTIME &now)
{
    // CaptureBytes takes the same lock: every byte is queued either before
    // the position or after it.
    EnterCriticalSection(&CaptureLock);
    SwapWanted = TRUE;
    SwapNumber++;
    SwapTime = now;
    SwapAt = QueuedPosition();
    SwapRefused = FALSE;
    LeaveCriticalSection(&CaptureLock);
    WakeWriter();
}

BOOL LogSwapPending()
{
    EnterCriticalSection(&CaptureLock);
    BOOL pending = SwapWanted;
    LeaveCriticalSection(&CaptureLock);
    return pending;
}

void RequestLogWriterSync()
{
    // The reader is held: what the writer's next LogCare writes is all it
    // handed over.
    ResetEvent(SyncDone);
    EnterCriticalSection(&CaptureLock);
    SyncWanted = TRUE;
    LeaveCriticalSection(&CaptureLock);
    WakeWriter();
}

BOOL WaitForLogWriterSync(DWORD ms) { return WaitForSingleObject(SyncDone, ms) == WAIT_OBJECT_0; }

// Tries the wanted swap when it is due: at once, or a second after a refusal.
// Returns how long until the next try (INFINITE: none wanted).
static DWORD ServeSwap()
{
    EnterCriticalSection(&CaptureLock);
    BOOL wanted = SwapWanted;
    DWORD number = SwapNumber;
    SYSTEMTIME time = SwapTime;
    ULONGLONG at = SwapAt;
    DWORD due = SwapRefused ? MsUntil(SwapTriedAt, LOG_CARE_INTERVAL_MS) : 0;
    LeaveCriticalSection(&CaptureLock);
    if (!wanted)
        return INFINITE;
    if (due > 0)
        return due;
    // Bytes written into the open file while a refused swap waited stay there.
    ULONGLONG written = WrittenPosition();
    BOOL refused;
    RotateLogFile(time, at > written ? at : written, &refused);
    EnterCriticalSection(&CaptureLock);
    if (SwapNumber == number) {
        SwapWanted = refused;
        SwapRefused = refused;
        SwapTriedAt = GetTickCount();
    }
    BOOL again = SwapWanted;
    LeaveCriticalSection(&CaptureLock);
    return again ? LOG_CARE_INTERVAL_MS : INFINITE;
}

static void ServeSync()
{
    EnterCriticalSection(&CaptureLock);
    BOOL wanted = SyncWanted;
    SyncWanted = FALSE;
    LeaveCriticalSection(&CaptureLock);
    if (!wanted)
        return;
    // Written and flushed, or refused: the pause does not wait for a disk
    // that fails; what it refuses is tried again meanwhile.
    LogCare();
    SetEvent(SyncDone);
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
    while (!EndWanted) {
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
    if (SyncDone == NULL)
        SyncDone = CreateEventA(NULL, TRUE, FALSE, NULL);
    if (SyncDone == NULL || !CreateCaptureQueue()) {
        ReportServiceEvent("The log writer could not be started (error %lu)", EVENTLOG_ERROR_TYPE,
                           GetLastError());
        return 0;
    }
    LogFileOpened();
    WriterHandle = CreateThread(NULL, 0, LogWriterThread, NULL, 0, NULL);
    if (WriterHandle == NULL) {
        ReportServiceEvent("The log writer could not be started (error %lu)", EVENTLOG_ERROR_TYPE,
                           GetLastError());
        return 0;
    }
    return 1;
}

void EndLogWriter()
{
    InterlockedExchange(&EndWanted, 1);
    WakeWriter();
}

BOOL WaitForLogWriterEnd(DWORD ms)
{
    return WriterHandle == NULL || WaitForSingleObject(WriterHandle, ms) == WAIT_OBJECT_0;
}
