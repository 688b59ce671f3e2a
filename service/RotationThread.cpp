#include "RotationThread.h"
#include "LogFile.h"
#include "LogWriter.h"
#include "MailThread.h"
#include "ReportServiceEvent.h"
#include "ServiceState.h"

#include <string.h>

#define SECOND_MS 1000UL
#define MINUTE_MS (60 * SECOND_MS)
#define HOUR_MS   (60 * MINUTE_MS)
#define DAY_MS    (24 * HOUR_MS)
#define WEEK_MS   (7 * DAY_MS)

// Set to end the running rotation thread at pause and stop (manual reset;
// cleared when the next thread starts).
static HANDLE RotationEndEvent;

DWORD RotationWaitMs(DWORD rotation, const SYSTEMTIME &now)
{
    DWORD intoDay = now.wHour * HOUR_MS + now.wMinute * MINUTE_MS + now.wSecond * SECOND_MS;
    switch (rotation) {
    case RotationMinutely:
        return MINUTE_MS - now.wSecond * SECOND_MS;
    case RotationHourly:
        return HOUR_MS - now.wMinute * MINUTE_MS - now.wSecond * SECOND_MS;
    case RotationDaily:
    case RotationMonthly:
        return DAY_MS - intoDay;
    case RotationWeekly:
        // To the midnight between Saturday and Sunday (day 0).
        return WEEK_MS - now.wDayOfWeek * DAY_MS - intoDay;
    default:
        return 0;
    }
}

// Minutes since 1601 of a calendar time as the clock shows it (the time
// zone plays no part: periods are those of the local calendar).
static LONGLONG CalendarMinute(const SYSTEMTIME &t)
{
    SYSTEMTIME whole = t;
    whole.wSecond = 0;
    whole.wMilliseconds = 0;
    FILETIME f;
    if (!SystemTimeToFileTime(&whole, &f))
        return 0;
    ULARGE_INTEGER u;
    u.LowPart = f.dwLowDateTime;
    u.HighPart = f.dwHighDateTime;
    return (LONGLONG)(u.QuadPart / (60ULL * 10000000ULL));
}

LONGLONG RotationPeriod(DWORD rotation, const SYSTEMTIME &t)
{
    LONGLONG minute = CalendarMinute(t);
    LONGLONG day = minute / (24 * 60);
    switch (rotation) {
    case RotationMinutely:
        return minute;
    case RotationHourly:
        return minute / 60;
    case RotationWeekly:
        // Day 0, 1 January 1601, was a Monday: weeks begin on Sundays.
        return (day + 1) / 7;
    default:
        return day;
    }
}

BOOL RotationDue(DWORD rotation, const SYSTEMTIME &now, const SYSTEMTIME &openedAt)
{
    if (rotation == RotationMonthly)
        return now.wMonth != openedAt.wMonth || now.wYear != openedAt.wYear;
    return TRUE;
}

RotationStep NextRotationStep(DWORD rotation, const SYSTEMTIME &now, SYSTEMTIME *reference,
                              const SYSTEMTIME &openedAt)
{
    RotationStep step = {FALSE, 0};
    if (CalendarMinute(now) + CLOCK_SET_BACK_MINUTES < CalendarMinute(*reference))
        *reference = now;
    if (RotationPeriod(rotation, now) > RotationPeriod(rotation, *reference)) {
        *reference = now;
        step.Rotate = RotationDue(rotation, now, openedAt);
    }
    step.WaitMs = RotationWaitMs(rotation, now);
    if (step.WaitMs > ROTATION_MAX_WAIT_MS)
        step.WaitMs = ROTATION_MAX_WAIT_MS;
    return step;
}

int RotateLogFile(const SYSTEMTIME &now)
{
    char next[LOG_PATH_SIZE];
    char finished[LOG_PATH_SIZE];

    if (!BuildLogFileName(now, next, sizeof next))
        return 0;

    EnterCriticalSection(&LogLock);
    // Woken a moment early, or the clock went back: the period has not
    // changed, and opening the open file a second time would only fail.
    if (strcmp(next, CurrentLogPath) == 0) {
        LeaveCriticalSection(&LogLock);
        return 0;
    }
    // The finished file is complete and on disk before it is closed and
    // mailed. While bytes for it are still held (a full disk) or it was
    // deleted and cannot be made again, it stays open, as when the next
    // file cannot be opened; both faults have been reported already.
    if (!FinishLogFile()) {
        LeaveCriticalSection(&LogLock);
        return 0;
    }
    HANDLE finishedHandle = LogHandle;
    memcpy(finished, CurrentLogPath, sizeof finished);
    int opened = OpenLogFileAt(now);
    DWORD error = GetLastError();
    if (opened)
        CloseHandle(finishedHandle);
    LeaveCriticalSection(&LogLock);

    if (!opened) {
        // Received data keeps going into the open file; the next rotation
        // time tries again.
        ReportServiceEvent("Could not open the next log file \"%s\" (error %lu); logging continues in \"%s\"",
                           EVENTLOG_ERROR_TYPE, next, error, finished);
        return 0;
    }
    if (MailConfigured)
        StartMailThread(finished);
    return 1;
}

// The time the next rotation thread starts its period from; written before
// the thread is created, read only by it.
static SYSTEMTIME RotationReference;

DWORD WINAPI RotationThread(LPVOID)
{
    HANDLE ends[2] = {StopEvent, RotationEndEvent};
    SYSTEMTIME reference = RotationReference;
    for (;;) {
        SYSTEMTIME now;
        GetLocalTime(&now);
        RotationStep step = NextRotationStep(Params.LogRotation, now, &reference, LogOpenedAt);
        if (step.Rotate)
            RotateLogFile(now);
        if (WaitForMultipleObjects(2, ends, FALSE, step.WaitMs) != WAIT_TIMEOUT)
            break;
    }
    return 0;
}

int StartRotationThread(const SYSTEMTIME *reference)
{
    if (Params.LogRotation < RotationMonthly || Params.LogRotation > RotationMinutely)
        return 1;
    if (RotationHandle != NULL)
        return 1;               // one rotation thread at most
    if (RotationEndEvent == NULL) {
        RotationEndEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
        if (RotationEndEvent == NULL) {
            ReportServiceEvent("The log rotation could not be started (error %lu)",
                               EVENTLOG_ERROR_TYPE, GetLastError());
            return 0;
        }
    }
    ResetEvent(RotationEndEvent);
    if (reference != NULL)
        RotationReference = *reference;
    else
        GetLocalTime(&RotationReference);
    RotationHandle = CreateThread(NULL, 0, RotationThread, NULL, 0, NULL);
    if (RotationHandle == NULL) {
        ReportServiceEvent("The log rotation could not be started (error %lu)",
                           EVENTLOG_ERROR_TYPE, GetLastError());
        return 0;
    }
    return 1;
}

void EndRotationThread()
{
    if (RotationHandle == NULL)
        return;
    SetEvent(RotationEndEvent);
    // The thread is either in its wait, which the event ends at once, or in
    // a swap, which takes a file open and close: let it finish that.
    WaitForSingleObject(RotationHandle, INFINITE);
    CloseHandle(RotationHandle);
    RotationHandle = NULL;
}
