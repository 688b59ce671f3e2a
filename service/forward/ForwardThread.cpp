#include "service/forward/ForwardThread.h"
#include "common/settings/ForwardSettings.h"
#include "service/core/ReportServiceEvent.h"
#include "service/core/ServiceState.h"
#include "service/forward/ForwardBatch.h"
#include "service/forward/ForwardChain.h"
#include "service/forward/ForwardConnection.h"

#include <string.h>

#define FORWARD_READ_SIZE 65536
#define CHECKPOINTS 8
#define CHECKPOINT_MS 250
#define RETRY_DELAY_MAX_MS 60000

static HANDLE ThreadHandle;
static ForwardTarget Target;
static SyslogHeader Header;
static ForwardBatch Batch;
static BYTE ReadBuffer[FORWARD_READ_SIZE];

// The log being read and the place in it: everything before Offset has
// been sent.
static HANDLE File = INVALID_HANDLE_VALUE;
static DWORD Sequence;
static ULONGLONG Offset;
static LineCursor Cursor;
static BOOL Unsaved;
static DWORD SavedAt;
static DWORD DeletedCheckedAt;

// Where the forwarder stood in the last seconds of the connection.
struct Checkpoint {
    DWORD Tick;
    DWORD Sequence;
    ULONGLONG Offset;
};
static Checkpoint Checkpoints[CHECKPOINTS];
static int CheckpointNext, CheckpointCount;

static BOOL Connected;
static DWORD Failures;          // connections failed in a row
static BOOL FailureReported;
static ULONGLONG CaughtUp;      // lines sent since the connection came back

DWORD ForwardRetryDelayMs(DWORD failures)
{
    if (failures == 0)
        return 0;
    if (failures > 7)
        return RETRY_DELAY_MAX_MS;
    DWORD delay = 1000u << (failures - 1);
    return delay < RETRY_DELAY_MAX_MS ? delay : RETRY_DELAY_MAX_MS;
}

static void CloseLog()
{
    if (File != INVALID_HANDLE_VALUE)
        CloseHandle(File);
    File = INVALID_HANDLE_VALUE;
}

// Moves the place; the log there is opened at the next read.
static void MoveTo(DWORD sequence, ULONGLONG offset)
{
    CloseLog();
    Sequence = sequence;
    Offset = offset;
    StartLineCursor(&Cursor, Params.TimestampFormat != 0);
    Unsaved = TRUE;
}

static void SavePosition(BOOL now)
{
    if (!Unsaved || Sequence == 0 || (!now && GetTickCount() - SavedAt < FORWARD_SAVE_MS))
        return;
    DWORD keepFrom = Sequence;
    for (int i = 0; i < CheckpointCount; i++)
        if (Checkpoints[i].Sequence < keepFrom)
            keepFrom = Checkpoints[i].Sequence;
    if (SaveForwardPosition(Sequence, Offset, keepFrom))
        Unsaved = FALSE;
    SavedAt = GetTickCount();
}

static void NoteCheckpoint(BOOL always)
{
    DWORD now = GetTickCount();
    if (!always && CheckpointCount > 0) {
        int newest = (CheckpointNext + CHECKPOINTS - 1) % CHECKPOINTS;
        if (now - Checkpoints[newest].Tick < CHECKPOINT_MS)
            return;
    }
    Checkpoint point = {now, Sequence, Offset};
    Checkpoints[CheckpointNext] = point;
    CheckpointNext = (CheckpointNext + 1) % CHECKPOINTS;
    if (CheckpointCount < CHECKPOINTS)
        CheckpointCount++;
}

// After a failed connection: back to where the forwarder stood at least a
// second before, as the collector may have lost what came after (what it
// had not read yet, what was still on its way). The oldest place noted is
// that of the connection's start.
static void GoBack()
{
    if (CheckpointCount == 0)
        return;
    DWORD now = GetTickCount();
    int chosen = (CheckpointNext + CHECKPOINTS - CheckpointCount) % CHECKPOINTS;
    for (int k = 0; k < CheckpointCount; k++) {
        int i = (CheckpointNext + CHECKPOINTS - 1 - k) % CHECKPOINTS;
        if (now - Checkpoints[i].Tick >= FORWARD_REWIND_MS) {
            chosen = i;
            break;
        }
    }
    if (Checkpoints[chosen].Sequence != Sequence || Checkpoints[chosen].Offset != Offset)
        MoveTo(Checkpoints[chosen].Sequence, Checkpoints[chosen].Offset);
}

static void Disconnect()
{
    CloseForwardConnection();
    Connected = FALSE;
}

static BOOL Connect()
{
    char why[256];
    if (OpenForwardConnection(&Target, &Params.Forward, why, sizeof why)) {
        Connected = TRUE;
        CheckpointCount = CheckpointNext = 0;
        NoteCheckpoint(TRUE);
        return TRUE;
    }
    Failures++;
    if (!FailureReported)
        ReportServiceEvent("Forwarding to %s failed: %s; the lines wait in the log files and are sent once "
                           "the collector can be reached again",
                           EVENTLOG_ERROR_TYPE, Params.Forward.ForwardTo, why);
    FailureReported = TRUE;
    CaughtUp = 0;
    return FALSE;
}

// A file without name any more (deleted, or its folder was).
static BOOL LogDeleted(HANDLE file)
{
    FILE_STANDARD_INFO info;
    if (!GetFileInformationByHandleEx(file, FileStandardInfo, &info, sizeof info))
        return FALSE;
    return info.NumberOfLinks == 0 || info.DeletePending;
}

enum ForwardStepResult { StepSent, StepIdle, StepBroken };

// Opens the log at the place, passing logs that are gone. 0 when there is
// nothing to read yet.
static int OpenLogAtPlace()
{
    char path[LOG_PATH_SIZE];
    for (;;) {
        if (Sequence == 0) {
            DWORD first;
            if (!NextForwardLog(0, &first))
                return 0;
            MoveTo(first, 0);
        }
        DWORD next;
        BOOL newer = NextForwardLog(Sequence, &next);
        int found = ForwardLogPath(Sequence, path, sizeof path);
        if (found < 0)
            return 0;
        if (found > 0) {
            File = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
            if (File != INVALID_HANDLE_VALUE)
                return 1;
            DWORD error = GetLastError();
            if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND)
                return 0;
            // The newest log gone is being made again by the writer.
            if (!newer)
                return 0;
            ReportServiceEvent("The log file \"%s\" was deleted before it was forwarded; the lines it held "
                               "from byte %llu on are lost",
                               EVENTLOG_ERROR_TYPE, path, (unsigned long long)Offset);
        }
        if (!newer)
            return 0;
        MoveTo(next, 0);
    }
}

static int ForwardStep()
{
    if (File == INVALID_HANDLE_VALUE && !OpenLogAtPlace())
        return StepIdle;
    // Whether a newer log exists is asked before the read: the writer
    // finishes a log before it opens the next, so a read after that finds
    // all there is.
    DWORD next;
    BOOL newer = NextForwardLog(Sequence, &next);
    OVERLAPPED at;
    memset(&at, 0, sizeof at);
    at.Offset = (DWORD)Offset;
    at.OffsetHigh = (DWORD)(Offset >> 32);
    DWORD got = 0;
    if (!ReadFile(File, ReadBuffer, sizeof ReadBuffer, &got, &at) && GetLastError() != ERROR_HANDLE_EOF)
        got = 0;
    BOOL atEnd = got < sizeof ReadBuffer;
    SYSTEMTIME readTime;
    GetLocalTime(&readTime);
    ClearBatch(&Batch, Target.Transport == ForwardUdp);
    // Lines not sent are read again: the cursor goes back with them.
    LineCursor before = Cursor;
    size_t taken = TakeLines(&Cursor, ReadBuffer, got, newer && atEnd, readTime, &Header, &Batch);
    if (Batch.Count > 0 && (ForwardPeerGone() || !SendForwardBatch(&Batch))) {
        Cursor = before;
        return StepBroken;
    }
    if (taken > 0) {
        Offset += taken;
        Unsaved = TRUE;
        CaughtUp += Batch.Lines;
        Failures = 0;
        NoteCheckpoint(FALSE);
    }
    if (newer && atEnd && taken == got) {
        MoveTo(next, 0);
        return StepSent;
    }
    if (taken > 0)
        return StepSent;
    // Up to date. The newest log deleted while open is made again by the
    // writer with what it had not yet seen written: read on there.
    if (!newer && GetTickCount() - DeletedCheckedAt >= FORWARD_SAVE_MS) {
        DeletedCheckedAt = GetTickCount();
        if (LogDeleted(File))
            MoveTo(Sequence, 0);
    }
    return StepIdle;
}

static void ReportRecovery()
{
    if (!FailureReported)
        return;
    if (Params.VerboseLevel & VERBOSE_START_STOP)
        ReportServiceEvent("Forwarding to %s works again; %llu lines were caught up", EVENTLOG_INFORMATION_TYPE,
                           Params.Forward.ForwardTo, (unsigned long long)CaughtUp);
    FailureReported = FALSE;
}

static BOOL Rest(DWORD ms)
{
    return WaitForSingleObject(StopEvent, ms) == WAIT_OBJECT_0;
}

DWORD WINAPI ForwardThread(LPVOID)
{
    DWORD sequence;
    ULONGLONG offset;
    if (ReadForwardPosition(&sequence, &offset))
        MoveTo(sequence, offset);
    else
        MoveTo(0, 0);
    Unsaved = FALSE;
    while (!ServiceStopping()) {
        if (!Connected) {
            if (Rest(ForwardRetryDelayMs(Failures)))
                break;
            if (!Connect())
                continue;
        }
        int step = ForwardStep();
        if (step == StepBroken) {
            Disconnect();
            GoBack();
            Failures++;
            continue;
        }
        SavePosition(FALSE);
        if (step == StepIdle) {
            ReportRecovery();
            if (Rest(FORWARD_POLL_MS))
                break;
        }
    }
    SavePosition(TRUE);
    Disconnect();
    CloseLog();
    return 0;
}

int StartForwarder()
{
    if (Params.Forward.ForwardTo[0] == '\0')
        return 1;
    if (!ParseForwardTo(Params.Forward.ForwardTo, &Target)) {
        ReportServiceEvent("The registry value \"ForwardTo\" (\"%s\") is not tcp://, tls:// or udp:// followed by "
                           "HOST:PORT; nothing is forwarded",
                           EVENTLOG_ERROR_TYPE, Params.Forward.ForwardTo);
        return 1;
    }
    char host[SYSLOG_HOSTNAME_SIZE];
    LocalHostName(host, sizeof host);
    MakeSyslogHeader(&Header, ForwardFacilityOf(&Params.Forward), host, ServiceName);
    ThreadHandle = CreateThread(NULL, 0, ForwardThread, NULL, 0, NULL);
    if (ThreadHandle == NULL) {
        ReportServiceEvent("The forwarder could not be started (error %lu); nothing is forwarded",
                           EVENTLOG_ERROR_TYPE, GetLastError());
        return 0;
    }
    return 1;
}

BOOL WaitForForwarderEnd(DWORD ms)
{
    return ThreadHandle == NULL || WaitForSingleObject(ThreadHandle, ms) == WAIT_OBJECT_0;
}
