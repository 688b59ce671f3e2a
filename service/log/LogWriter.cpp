#include "service/log/LogWriter.h"
#include "service/capture/CaptureQueue.h"
#include "service/core/ReportServiceEvent.h"
#include "service/core/ServiceState.h"
#include "service/log/LogFile.h"
#include "service/log/RotationCalendar.h"
#include "service/mail/OutboxThread.h"

#include <string.h>

// A file whose state cannot be read is taken as still there.
static BOOL FileDeleted(HANDLE file)
{
    FILE_STANDARD_INFO info;
    if (!GetFileInformationByHandleEx(file, FileStandardInfo, &info, sizeof info))
        return FALSE;
    return info.NumberOfLinks == 0 || info.DeletePending;
}

LogFileApi LogFileCalls = {WriteFile, ReadFile, FlushFileBuffers, CloseHandle, FileDeleted, OpenLogPath};

// Copies from a deleted file into the one made again go through this.
#define CARRY_BLOCK 65536

// A wait of LOG_CARE_INTERVAL_MS from the moment it is armed.
struct CareTimer {
    BOOL Armed;
    DWORD From;
};

// The writer's care of the open log; only the writer thread touches it.
static struct LogCareState {
    CareTimer Flush;            // unflushed writes: flushed when it is due
    CareTimer Retry;            // refused writes, or a deleted file not made again: tried when due
    BOOL Dirty;                 // written since the last flush
    // Reports of one run each: when it begins and when it ends.
    BOOL WriteFailing;          // writes refused
    BOOL LossReported;          // received bytes dropped for want of room
    BOOL FlushFailing;
    BOOL RemakeFailReported;
    // The open file's size when it was last seen under its name: bytes beyond
    // it may have gone into a file deleted since, and are carried into the new one.
    LONGLONG Verified;
    BOOL Gone;                  // the open file was deleted and is not made again yet
    // The handle failed for good (the disk or share under it went): the
    // error, until the file is opened again by its path.
    DWORD DeadError;
    // Where the open log's period ends (LocalSeconds): later bytes wait for the swap.
    ULONGLONG PeriodEnd;
    BYTE CarryBuffer[CARRY_BLOCK];
} Care;

static void Arm(CareTimer *timer)
{
    if (!timer->Armed) {
        timer->Armed = TRUE;
        timer->From = GetTickCount();
    }
}

static DWORD DueInMs(const CareTimer *timer)
{
    if (!timer->Armed)
        return INFINITE;
    DWORD elapsed = GetTickCount() - timer->From;
    return elapsed >= LOG_CARE_INTERVAL_MS ? 0 : LOG_CARE_INTERVAL_MS - elapsed;
}

static BOOL ReportsRecovery() { return (Params.VerboseLevel & VERBOSE_START_STOP) != 0; }

// Writes as much as the file takes. Wine reports a write that filled the
// disk as a success with fewer bytes, so the rest is tried again to learn
// the error. Returns the bytes written; *error is set when not all were.
static DWORD WriteAll(HANDLE file, const BYTE *data, DWORD length, DWORD *error)
{
    DWORD done = 0;
    *error = ERROR_SUCCESS;
    while (done < length) {
        DWORD written = 0;
        BOOL ok = LogFileCalls.Write(file, data + done, length - done, &written, NULL);
        if (written > length - done)
            written = length - done;
        done += written;
        if (!ok) {
            *error = GetLastError();
            break;
        }
        if (written == 0) {
            *error = ERROR_WRITE_FAULT;
            break;
        }
    }
    if (done > 0)
        Care.Dirty = TRUE;
    return done;
}

// Errors after which the handle never works again, although its path may:
// the volume or the share under it went away and came back as another.
static BOOL HandleDied(DWORD error)
{
    switch (error) {
    case ERROR_INVALID_HANDLE:
    case ERROR_FILE_INVALID:
    case ERROR_DEVICE_NOT_CONNECTED:
    case ERROR_DEV_NOT_EXIST:
    case ERROR_NETNAME_DELETED:
    case ERROR_UNEXP_NET_ERR:
    case ERROR_BAD_NETPATH:
    case ERROR_NETWORK_UNREACHABLE:
    case ERROR_NOT_READY:
    case ERROR_MEDIA_CHANGED:
    case ERROR_NO_MEDIA_IN_DRIVE:
    case ERROR_DEVICE_REMOVED:
        return TRUE;
    default:
        return FALSE;
    }
}

// A dead handle: the log is opened again by its path, appending, and the
// dead handle let go. Non-zero when it is open again.
static int ReopenDeadLog()
{
    HANDLE file = LogFileCalls.Open(LogFilePath());
    if (file == INVALID_HANDLE_VALUE)
        return 0;
    LogFileCalls.Close(LogFileHandle());
    UseLogFile(file, NULL);
    LONGLONG end = 0;
    LARGE_INTEGER size;
    if (GetFileSizeEx(file, &size))
        end = size.QuadPart;
    Care.Verified = end;
    Care.Gone = FALSE;
    if (ReportsRecovery())
        ReportServiceEvent("The log file \"%s\" was opened again after its handle failed (error %lu)",
                           EVENTLOG_INFORMATION_TYPE, LogFilePath(), Care.DeadError);
    Care.DeadError = 0;
    return 1;
}

// Writes the queued bytes up to `upTo`. Non-zero when all of them were written.
static int WriteQueuedUpTo(ULONGLONG upTo)
{
    if (Care.DeadError != 0 && WrittenPosition() < upTo && !ReopenDeadLog()) {
        Care.Retry.Armed = FALSE;
        Arm(&Care.Retry);
        return 0;
    }
    for (;;) {
        ULONGLONG written = WrittenPosition();
        if (written >= upTo)
            return 1;
        const BYTE *data;
        DWORD length = PeekQueued(&data);
        if (length > upTo - written)
            length = (DWORD)(upTo - written);
        DWORD error;
        DWORD done = WriteAll(LogFileHandle(), data, length, &error);
        TakeQueued(done);
        if (done > 0)
            Arm(&Care.Flush);
        if (done < length) {
            if (HandleDied(error))
                Care.DeadError = error;
            if (!Care.WriteFailing) {
                Care.WriteFailing = TRUE;
                ReportServiceEvent("Could not write to the log file \"%s\" (error %lu); received "
                                   "data is held until it can be written",
                                   EVENTLOG_ERROR_TYPE, LogFilePath(), error);
            }
            Care.Retry.Armed = FALSE;
            Arm(&Care.Retry);
            return 0;
        }
    }
}

// Reports a loss when it begins, and when everything queued has been written
// (`allWritten`) the end of the outage or loss, with what was lost.
static void ReportOutage(BOOL allWritten)
{
    if (!Care.LossReported && DroppedBytes() > 0) {
        Care.LossReported = TRUE;
        ReportServiceEvent("No more received data can be held for the log file \"%s\" (%lu bytes "
                           "wait); further data is lost until the file can be written",
                           EVENTLOG_ERROR_TYPE, LogFilePath(), (unsigned long)CAPTURE_QUEUE_SIZE);
    }
    if (!allWritten || (!Care.WriteFailing && !Care.LossReported))
        return;
    ULONGLONG lost = ForgetDropped();
    if (!Care.WriteFailing)
        ReportServiceEvent("The log file \"%s\" could not be written as fast as data arrived; "
                           "%llu bytes of received data were lost",
                           EVENTLOG_ERROR_TYPE, LogFilePath(), (unsigned long long)lost);
    else if (lost > 0)
        ReportServiceEvent("Writing to the log file \"%s\" works again; %llu bytes of received "
                           "data were lost",
                           EVENTLOG_ERROR_TYPE, LogFilePath(), (unsigned long long)lost);
    else if (ReportsRecovery())
        ReportServiceEvent("Writing to the log file \"%s\" works again; capture continues",
                           EVENTLOG_INFORMATION_TYPE, LogFilePath());
    Care.WriteFailing = FALSE;
    Care.LossReported = FALSE;
}

ULONGLONG LogPeriodEnd(ULONGLONG *arrival)
{
    return QueuedPositionFrom(Care.PeriodEnd, arrival);
}

// The end of what may be written now: what is queued, no further than
// `upTo` and the end of the open log's period.
static ULONGLONG WritableUpTo(ULONGLONG upTo)
{
    ULONGLONG arrival;
    ULONGLONG end = LogPeriodEnd(&arrival);
    return upTo < end ? upTo : end;
}

static int WriteAndReport(ULONGLONG upTo)
{
    // Caught up when everything queued at the start is written; bytes that
    // come meanwhile do not keep an outage from ending.
    BOOL everything = upTo >= QueuedPosition();
    int all = WriteQueuedUpTo(upTo);
    ReportOutage(all && everything);
    return all;
}

void WriteQueuedBytes(ULONGLONG upTo)
{
    DWORD due = DueInMs(&Care.Retry);
    if (Care.WriteFailing && due != 0 && due != INFINITE)
        ReportOutage(FALSE);        // tried again once a second; a loss is told at once
    else
        WriteAndReport(WritableUpTo(upTo));
}

void ReportLossNow() { ReportOutage(FALSE); }

// --- a log file deleted while open ------------------------------------------

static LONGLONG FileEnd(HANDLE file)
{
    LARGE_INTEGER size;
    return GetFileSizeEx(file, &size) ? size.QuadPart : 0;
}

static HANDLE CreateLogAgain(BOOL *madeFolder)
{
    const char *path = LogFilePath();
    *madeFolder = FALSE;
    HANDLE file = LogFileCalls.Open(path);
    if (file != INVALID_HANDLE_VALUE || GetLastError() != ERROR_PATH_NOT_FOUND)
        return file;
    // Only the log's own folder is made again: when more of the path is gone
    // (a drive or share), a folder made elsewhere would only hide that.
    char folder[LOG_PATH_SIZE];
    size_t length = strnlen(path, sizeof folder - 1);
    memcpy(folder, path, length);
    folder[length] = '\0';
    char *cut = strrchr(folder, '\\');
    if (cut == NULL || cut == folder)
        return INVALID_HANDLE_VALUE;
    *cut = '\0';
    if (!CreateDirectoryA(folder, NULL))
        return INVALID_HANDLE_VALUE;
    *madeFolder = TRUE;
    return LogFileCalls.Open(path);
}

// Copies what was written to the deleted file since it was last seen into
// the one made again; *carried counts the bytes copied. ERROR_SUCCESS, or why
// the copy stopped.
static DWORD CarryInto(HANDLE file, HANDLE deleted, LONGLONG from, LONGLONG end, LONGLONG *carried)
{
    *carried = 0;
    while (from < end) {
        OVERLAPPED at;
        memset(&at, 0, sizeof at);
        at.Offset = (DWORD)from;
        at.OffsetHigh = (DWORD)(from >> 32);
        DWORD want = end - from < CARRY_BLOCK ? (DWORD)(end - from) : CARRY_BLOCK;
        DWORD got = 0;
        if (!LogFileCalls.Read(deleted, Care.CarryBuffer, want, &got, &at))
            return GetLastError();
        if (got == 0)
            return ERROR_HANDLE_EOF;
        DWORD error;
        DWORD written = WriteAll(file, Care.CarryBuffer, got, &error);
        *carried += written;
        if (written < got)
            return error;
        from += got;
    }
    return ERROR_SUCCESS;
}

// Makes the deleted log file again under its name and carries into it what
// was written to the deleted one since it was last seen. Queued bytes are
// written first (caller), so the carried bytes keep their place. The log is
// opened without FILE_SHARE_DELETE, so on Windows nobody can delete it while
// it is open; where a file system lets it go all the same (a share whose
// server removed it, Wine), this keeps what was captured.
static void RemakeLogFile()
{
    BOOL madeFolder;
    HANDLE file = CreateLogAgain(&madeFolder);
    if (file == INVALID_HANDLE_VALUE) {
        if (!Care.RemakeFailReported) {
            Care.RemakeFailReported = TRUE;
            ReportServiceEvent("Could not create the log file \"%s\" again (error %lu); trying "
                               "again every second",
                               EVENTLOG_ERROR_TYPE, LogFilePath(), GetLastError());
        }
        return;
    }
    HANDLE deleted = LogFileHandle();
    LONGLONG from = Care.Verified;
    LONGLONG end = FileEnd(deleted);
    LONGLONG carried;
    DWORD error = CarryInto(file, deleted, from, end, &carried);
    LogFileCalls.Close(deleted);
    UseLogFile(file, NULL);
    LogFileOpened();
    Care.Dirty = carried > 0;
    if (error != ERROR_SUCCESS)
        ReportServiceEvent("The log file \"%s\" was created again, but %llu bytes received since it "
                           "was last seen could not be copied into it (error %lu) and are lost",
                           EVENTLOG_ERROR_TYPE, LogFilePath(),
                           (unsigned long long)(end - from - carried), error);
    else if (ReportsRecovery())
        ReportServiceEvent(madeFolder ? "The log file \"%s\" and its folder were created again; "
                                        "capture continues"
                                      : "The log file \"%s\" was created again; capture continues",
                           EVENTLOG_INFORMATION_TYPE, LogFilePath());
}

// Notices a deleted log file, or makes it again; else remembers how far the
// file is known to hold what was written.
static void CheckLogFile()
{
    if (!Care.Gone && LogFileCalls.Deleted(LogFileHandle())) {
        Care.Gone = TRUE;
        ReportServiceEvent("The log file \"%s\" was deleted while it was open",
                           EVENTLOG_ERROR_TYPE, LogFilePath());
    }
    if (Care.Gone)
        RemakeLogFile();
    else
        Care.Verified = FileEnd(LogFileHandle());
}

// --- flushing -----------------------------------------------------------------

static void FlushLog()
{
    Care.Flush.Armed = FALSE;
    if (!Care.Dirty)
        return;
    if (LogFileCalls.Flush(LogFileHandle())) {
        Care.Dirty = FALSE;
        Care.FlushFailing = FALSE;
        return;
    }
    if (!Care.FlushFailing) {
        Care.FlushFailing = TRUE;
        ReportServiceEvent("Could not flush the log file \"%s\" to disk (error %lu); trying again "
                           "every second",
                           EVENTLOG_ERROR_TYPE, LogFilePath(), GetLastError());
    }
    Arm(&Care.Flush);
}

DWORD LogCareDueInMs()
{
    DWORD flush = DueInMs(&Care.Flush), retry = DueInMs(&Care.Retry);
    return flush < retry ? flush : retry;
}

// The care of the open log for the bytes queued up to `upTo`: written, the
// file checked (and made again) once nothing for it waits, flushed. Non-zero
// when all of them were written.
static int CareUpTo(ULONGLONG upTo)
{
    int all = WriteAndReport(upTo);
    // A deleted file is made again only once nothing for it waits: the
    // bytes carried from it are older than the queued ones.
    if (all)
        CheckLogFile();
    FlushLog();
    // Refused bytes and a file not made again are tried a second from now.
    Care.Retry.Armed = FALSE;
    if (!all || Care.Gone)
        Arm(&Care.Retry);
    return all;
}

void LogCare(ULONGLONG upTo) { CareUpTo(WritableUpTo(upTo)); }

int FinishLogFile(ULONGLONG upTo)
{
    return CareUpTo(upTo) && !Care.Gone;
}

void ReportLogLostAtStop()
{
    ULONGLONG queued = QueuedReceivedBytes();
    ULONGLONG dropped = ForgetDropped();
    if (queued > 0 || dropped > 0)
        ReportServiceEvent("%llu bytes of received data could not be written to the log file "
                           "\"%s\" before the stop and are lost (%llu held, %llu found no room)",
                           EVENTLOG_ERROR_TYPE, (unsigned long long)(queued + dropped),
                           LogFilePath(), (unsigned long long)queued,
                           (unsigned long long)dropped);
    if (Care.Gone)
        ReportServiceEvent("The log file \"%s\" could not be created again before the stop; "
                           "%llu bytes received since it was deleted are lost",
                           EVENTLOG_ERROR_TYPE, LogFilePath(),
                           (unsigned long long)(FileEnd(LogFileHandle()) - Care.Verified));
}

// --- closing and the swap -------------------------------------------------------

static void CloseFinished(HANDLE file, const char *path)
{
    if (!LogFileCalls.Close(file))
        ReportServiceEvent("Could not close the log file \"%s\" (error %lu)", EVENTLOG_ERROR_TYPE,
                           path, GetLastError());
}

void CloseLogFile()
{
    HANDLE file = LogFileHandle();
    if (file == INVALID_HANDLE_VALUE)
        return;
    CloseFinished(file, LogFilePath());
    UseLogFile(INVALID_HANDLE_VALUE, NULL);
}

void LogFileOpened()
{
    Care.PeriodEnd = RotationBoundaryAfter(Params.LogRotation, OpenLogTime());
    Care.DeadError = 0;
    // Bytes refused by the file before are tried at once in this one.
    Care.Retry.Armed = FALSE;
    Care.Verified = FileEnd(LogFileHandle());
    Care.Dirty = FALSE;
    Care.FlushFailing = FALSE;
    Care.Gone = FALSE;
    Care.RemakeFailReported = FALSE;
}

// Opens the log named for `now` after the finished one; on failure reports
// it and leaves the finished one open. Non-zero when the next is open.
static int OpenNextLogFile(const SYSTEMTIME &now, const char *next, const char *finished)
{
    if (!OpenLogFileAt(now)) {
        // Received data keeps going into the open file until the next
        // rotation time, which tries again.
        Care.PeriodEnd = RotationBoundaryAfter(Params.LogRotation, now);
        ReportServiceEvent("Could not open the next log file \"%s\" (error %lu); logging continues in \"%s\"",
                           EVENTLOG_ERROR_TYPE, next, GetLastError(), finished);
        return 0;
    }
    LogFileOpened();
    return 1;
}

int RotateLogFile(const SYSTEMTIME &now, ULONGLONG upTo, BOOL *refused)
{
    char next[LOG_PATH_SIZE];
    char finished[LOG_PATH_SIZE];

    *refused = FALSE;
    if (!BuildLogFileName(now, next, sizeof next))
        return 0;
    // Woken a moment early, or the clock went back: the period has not
    // changed, and opening the open file a second time would only fail.
    if (strcmp(next, LogFilePath()) == 0)
        return 0;
    // The finished file is complete and on disk before it is closed and
    // mailed. While bytes for it are refused (a full disk) or it was deleted
    // and cannot be made again, it stays open and the swap is tried again;
    // both faults have been reported already.
    BOOL complete = FinishLogFile(upTo);
    DWORD dead = Care.DeadError;
    if (!complete && dead == 0) {
        *refused = TRUE;
        return 0;
    }
    HANDLE finishedHandle = LogFileHandle();
    lstrcpynA(finished, LogFilePath(), sizeof finished);
    if (!OpenNextLogFile(now, next, finished)) {
        *refused = !complete;
        return 0;
    }
    if (complete) {
        CloseFinished(finishedHandle, finished);
    } else {
        // What the dead file could not take goes into the next one (it is
        // still queued): late, but not lost.
        LogFileCalls.Close(finishedHandle);
        ReportServiceEvent("The log file \"%s\" could not be finished (error %lu); the %llu bytes "
                           "received for it that it could not take are written to \"%s\"",
                           EVENTLOG_ERROR_TYPE, finished, dead,
                           (unsigned long long)(upTo - WrittenPosition()), LogFilePath());
    }
    if (MailConfigured)
        MailFinishedLog(finished);
    return 1;
}

void ResetLogWriter()
{
    ResetCaptureQueue();
    memset(&Care, 0, sizeof Care);
    Care.PeriodEnd = ~0ULL;
}
