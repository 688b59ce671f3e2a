#include "service/log/LogFile.h"
#include "service/core/ServiceState.h"
#include "service/forward/ForwardChain.h"

#include <stdio.h>
#include <string.h>

static int FormatStamp(const SYSTEMTIME &now, DWORD rotation, char *stamp, size_t size)
{
    switch (rotation) {
    case RotationMonthly:
        return snprintf(stamp, size, "%.04d%.02d", now.wYear, now.wMonth);
    case RotationWeekly:
    case RotationDaily:
        return snprintf(stamp, size, "%.04d%.02d%.02d", now.wYear, now.wMonth, now.wDay);
    case RotationHourly:
        return snprintf(stamp, size, "%.04d%.02d%.02d%.02d", now.wYear, now.wMonth, now.wDay,
                        now.wHour);
    case RotationMinutely:
        return snprintf(stamp, size, "%.04d%.02d%.02d%.02d%.02d", now.wYear, now.wMonth,
                        now.wDay, now.wHour, now.wMinute);
    default:
        // Codes above 5 come only from hand-written registry values: treat
        // them as no rotation, so the file name is the configured one.
        stamp[0] = '\0';
        return 0;
    }
}

int BuildLogFileName(const SYSTEMTIME &now, char *path, size_t size)
{
    const char *name = Params.LogFilename;
    size_t length = strnlen(name, sizeof Params.LogFilename);
    char stamp[32];
    size_t position = ExtensionPos <= length ? ExtensionPos : length;

    int stampLength = FormatStamp(now, Params.LogRotation, stamp, sizeof stamp);
    if (stampLength < 0)
        return 0;
    size_t total = length + (size_t)stampLength;
    if (length == 0 || total > STAMPED_PATH_MAX || total >= size)
        return 0;
    memcpy(path, name, position);
    memcpy(path + position, stamp, (size_t)stampLength);
    memcpy(path + position + stampLength, name + position, length - position);
    path[total] = '\0';
    return 1;
}

// The open log. Handle and Path belong to the writer thread once capture has
// begun (before, to the start-up); OpenedAt is also read by the rotation
// thread, under its own lock.
static struct OpenLog {
    HANDLE Handle;
    char Path[LOG_PATH_SIZE];
    SRWLOCK TimeLock;
    SYSTEMTIME OpenedAt;
} Log = {INVALID_HANDLE_VALUE, "", SRWLOCK_INIT, {0, 0, 0, 0, 0, 0, 0, 0}};

int OpenLogFile()
{
    SYSTEMTIME now;
    GetLocalTime(&now);
    return OpenLogFileAt(now);
}

int OpenLogFileAt(const SYSTEMTIME &now)
{
    char path[STAMPED_PATH_MAX + 1];

    if (!BuildLogFileName(now, path, sizeof path)) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return 0;
    }
    HANDLE file = OpenLogPath(path);
    if (file == INVALID_HANDLE_VALUE)
        return 0;

    UseLogFile(file, path);
    NoteLogOpened(path);
    AcquireSRWLockExclusive(&Log.TimeLock);
    Log.OpenedAt = now;
    ReleaseSRWLockExclusive(&Log.TimeLock);
    return 1;
}

SYSTEMTIME OpenLogTime()
{
    AcquireSRWLockShared(&Log.TimeLock);
    SYSTEMTIME at = Log.OpenedAt;
    ReleaseSRWLockShared(&Log.TimeLock);
    return at;
}

HANDLE LogFileHandle() { return Log.Handle; }

const char *LogFilePath() { return Log.Path; }

void UseLogFile(HANDLE file, const char *path)
{
    Log.Handle = file;
    if (path != NULL)
        lstrcpynA(Log.Path, path, sizeof Log.Path);
}

HANDLE OpenLogPath(const char *path)
{
    // Readable too: what went into a file deleted while open is read back
    // from it into the file made again.
    HANDLE file = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, NULL,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file != INVALID_HANDLE_VALUE)
        SetFilePointer(file, 0, NULL, FILE_END);
    return file;
}
