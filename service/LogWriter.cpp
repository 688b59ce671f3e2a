#include "LogWriter.h"
#include "LogFile.h"
#include "ReportServiceEvent.h"
#include "ServiceState.h"

#include <string.h>

// Bytes that could not be written yet, oldest first. Static: the data path
// allocates nothing, and a full disk must not make the service ask for memory.
static BYTE Held[LOG_HOLD_SIZE];
static DWORD HeldLength;

// One run of failed writes: reported when it begins, when the buffer first
// overflows, and when the held bytes are written.
static BOOL WriteFailing;
static BOOL LossReported;
static ULONGLONG LostBytes;

// Unflushed writes, and when the next LogCare is due.
static BOOL Dirty;
static BOOL CareWanted;
static DWORD CareFrom;

// The open file's size when it was last seen under its name: bytes beyond it
// may have gone into a file deleted since, and are carried into the new one.
static LONGLONG Verified;
// The open file was deleted and is not made again yet.
static BOOL Gone;
static BOOL RemakeFailReported;

// Copies from a deleted file into the one made again go through this.
#define CARRY_BLOCK 65536
static BYTE CarryBuffer[CARRY_BLOCK];

static void WantCare()
{
    if (!CareWanted) {
        CareWanted = TRUE;
        CareFrom = GetTickCount();
    }
}

static BOOL ReportsRecovery() { return (Params.VerboseLevel & VERBOSE_START_STOP) != 0; }

// Writes as much as the file takes. Wine reports a write that filled the
// disk as a success with fewer bytes, so the rest is tried again to learn
// the error. Returns the bytes written; *error is set when not all were.
static DWORD WriteAll(const BYTE *data, DWORD length, DWORD *error)
{
    DWORD done = 0;
    *error = ERROR_SUCCESS;
    while (done < length) {
        DWORD written = 0;
        BOOL ok = WriteFile(LogHandle, data + done, length - done, &written, NULL);
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
        Dirty = TRUE;
    return done;
}

static int Hold(const BYTE *data, DWORD length)
{
    DWORD room = LOG_HOLD_SIZE - HeldLength;
    DWORD taken = length < room ? length : room;
    memcpy(Held + HeldLength, data, taken);
    HeldLength += taken;
    WantCare();
    if (taken == length)
        return 1;
    LostBytes += length - taken;
    if (!LossReported) {
        LossReported = TRUE;
        ReportServiceEvent("No more received data can be held for the log file \"%s\" (%lu bytes "
                           "wait); further data is lost until the file can be written",
                           EVENTLOG_ERROR_TYPE, CurrentLogPath, (unsigned long)HeldLength);
    }
    return 0;
}

int WriteToLog(const void *data, DWORD length)
{
    const BYTE *bytes = (const BYTE *)data;
    // Nothing may overtake what already waits.
    if (HeldLength > 0)
        return Hold(bytes, length);
    DWORD error;
    DWORD written = WriteAll(bytes, length, &error);
    if (written > 0)
        WantCare();
    if (written == length)
        return 1;
    if (!WriteFailing) {
        WriteFailing = TRUE;
        ReportServiceEvent("Could not write to the log file \"%s\" (error %lu); received data is "
                           "held until it can be written",
                           EVENTLOG_ERROR_TYPE, CurrentLogPath, error);
    }
    return Hold(bytes + written, length - written);
}

static void WriteHeld()
{
    if (HeldLength > 0) {
        DWORD error;
        DWORD written = WriteAll(Held, HeldLength, &error);
        memmove(Held, Held + written, HeldLength - written);
        HeldLength -= written;
        if (HeldLength > 0)
            return;
    }
    if (!WriteFailing)
        return;
    if (LostBytes > 0)
        ReportServiceEvent("Writing to the log file \"%s\" works again; %llu bytes of received "
                           "data were lost",
                           EVENTLOG_ERROR_TYPE, CurrentLogPath, (unsigned long long)LostBytes);
    else if (ReportsRecovery())
        ReportServiceEvent("Writing to the log file \"%s\" works again; capture continues",
                           EVENTLOG_INFORMATION_TYPE, CurrentLogPath);
    WriteFailing = FALSE;
    LossReported = FALSE;
    LostBytes = 0;
}

// Whether the open file has lost its name (deleted, or its folder was). A
// file whose state cannot be read is taken as still there.
static BOOL OpenFileDeleted()
{
    FILE_STANDARD_INFO info;
    if (!GetFileInformationByHandleEx(LogHandle, FileStandardInfo, &info, sizeof info))
        return FALSE;
    return info.NumberOfLinks == 0 || info.DeletePending;
}

static LONGLONG FileEnd(HANDLE file)
{
    LARGE_INTEGER size;
    return GetFileSizeEx(file, &size) ? size.QuadPart : 0;
}

static HANDLE CreateLogAgain(BOOL *madeFolder)
{
    *madeFolder = FALSE;
    HANDLE file = OpenLogPath(CurrentLogPath);
    if (file != INVALID_HANDLE_VALUE || GetLastError() != ERROR_PATH_NOT_FOUND)
        return file;
    // Only the log's own folder is made again: when more of the path is gone
    // (a drive or share), a folder made elsewhere would only hide that.
    char folder[LOG_PATH_SIZE];
    size_t length = strnlen(CurrentLogPath, sizeof folder - 1);
    memcpy(folder, CurrentLogPath, length);
    folder[length] = '\0';
    char *cut = strrchr(folder, '\\');
    if (cut == NULL || cut == folder)
        return INVALID_HANDLE_VALUE;
    *cut = '\0';
    if (!CreateDirectoryA(folder, NULL))
        return INVALID_HANDLE_VALUE;
    *madeFolder = TRUE;
    return OpenLogPath(CurrentLogPath);
}

// Makes the deleted log file again under its name and carries into it what
// was written to the deleted one since it was last seen. Held bytes are
// written first (caller), so the carried bytes keep their place.
static void RemakeLogFile()
{
    BOOL madeFolder;
    HANDLE file = CreateLogAgain(&madeFolder);
    if (file == INVALID_HANDLE_VALUE) {
        if (!RemakeFailReported) {
            RemakeFailReported = TRUE;
            ReportServiceEvent("Could not create the log file \"%s\" again (error %lu); trying "
                               "again every second",
                               EVENTLOG_ERROR_TYPE, CurrentLogPath, GetLastError());
        }
        return;
    }
    HANDLE deleted = LogHandle;
    LONGLONG from = Verified;
    LONGLONG end = FileEnd(deleted);
    LogHandle = file;
    LogFileOpened();
    while (from < end) {
        OVERLAPPED at;
        memset(&at, 0, sizeof at);
        at.Offset = (DWORD)from;
        at.OffsetHigh = (DWORD)(from >> 32);
        DWORD want = end - from < CARRY_BLOCK ? (DWORD)(end - from) : CARRY_BLOCK;
        DWORD got = 0;
        if (!ReadFile(deleted, CarryBuffer, want, &got, &at) || got == 0)
            break;
        WriteToLog(CarryBuffer, got);
        from += got;
    }
    CloseHandle(deleted);
    if (ReportsRecovery())
        ReportServiceEvent(madeFolder ? "The log file \"%s\" and its folder were created again; "
                                        "capture continues"
                                      : "The log file \"%s\" was created again; capture continues",
                           EVENTLOG_INFORMATION_TYPE, CurrentLogPath);
}

static void CheckLogFile()
{
    if (!Gone && OpenFileDeleted()) {
        Gone = TRUE;
        ReportServiceEvent("The log file \"%s\" was deleted while it was open",
                           EVENTLOG_ERROR_TYPE, CurrentLogPath);
    }
    if (Gone)
        RemakeLogFile();
    else
        Verified = FileEnd(LogHandle);
}

DWORD LogCareDueInMs()
{
    if (!CareWanted)
        return INFINITE;
    DWORD elapsed = GetTickCount() - CareFrom;
    return elapsed >= LOG_CARE_INTERVAL_MS ? 0 : LOG_CARE_INTERVAL_MS - elapsed;
}

void PostponeLogCare()
{
    if (CareWanted)
        CareFrom = GetTickCount();
}

void LogCare()
{
    CareWanted = FALSE;
    if (LogHandle == INVALID_HANDLE_VALUE)
        return;
    WriteHeld();
    // A deleted file is made again only once nothing waits: the bytes carried
    // from it are older than the held ones.
    if (HeldLength == 0)
        CheckLogFile();
    if (Dirty && FlushFileBuffers(LogHandle))
        Dirty = FALSE;
    if (HeldLength > 0 || Gone || Dirty)
        WantCare();
}

int FinishLogFile()
{
    LogCare();
    return HeldLength == 0 && !Gone;
}

void ReportLogLostAtStop()
{
    if (HeldLength > 0)
        ReportServiceEvent("%lu held bytes could not be written to the log file \"%s\" before "
                           "the stop and are lost",
                           EVENTLOG_ERROR_TYPE, (unsigned long)HeldLength, CurrentLogPath);
    if (Gone && LogHandle != INVALID_HANDLE_VALUE)
        ReportServiceEvent("The log file \"%s\" could not be created again before the stop; "
                           "%llu bytes received since it was deleted are lost",
                           EVENTLOG_ERROR_TYPE, CurrentLogPath,
                           (unsigned long long)(FileEnd(LogHandle) - Verified));
}

void LogFileOpened()
{
    Verified = FileEnd(LogHandle);
    Dirty = FALSE;
    Gone = FALSE;
    RemakeFailReported = FALSE;
}

void ResetLogWriter()
{
    HeldLength = 0;
    WriteFailing = FALSE;
    LossReported = FALSE;
    LostBytes = 0;
    Dirty = FALSE;
    CareWanted = FALSE;
    Verified = 0;
    Gone = FALSE;
    RemakeFailReported = FALSE;
}
