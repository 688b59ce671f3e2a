#include "service/log/RotationThread.h"
#include "service/core/ReportServiceEvent.h"
#include "service/core/ServiceState.h"
#include "service/log/LogFile.h"
#include "service/log/LogWriterThread.h"

#include <string.h>

#define SECOND_MS 1000UL
#define MINUTE_MS (60 * SECOND_MS)
#define HOUR_MS   (60 * MINUTE_MS)
#define DAY_MS    (24 * HOUR_MS)
#define WEEK_MS   (7 * DAY_MS)

// The running rotation thread (NULL: none), and the event that ends it at
// pause and stop (manual reset; cleared when the next thread starts). Only the
// start-up and the control handler start and end it.
static struct RotationState {
    HANDLE Thread;
    HANDLE EndEvent;
    // The time the next thread starts its period from; written before the
    // thread is created, read only by it.
    SYSTEMTIME Reference;
} Rotation;

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

DWORD WINAPI RotationThread(LPVOID)
{
    HANDLE ends[2] = {StopEvent, Rotation.EndEvent};
    SYSTEMTIME reference = Rotation.Reference;
    for (;;) {
        SYSTEMTIME now;
        GetLocalTime(&now);
        RotationStep step = NextRotationStep(Params.LogRotation, now, &reference, OpenLogTime());
        if (step.Rotate)
            RequestLogSwap(now);
        if (WaitForMultipleObjects(2, ends, FALSE, step.WaitMs) != WAIT_TIMEOUT)
            break;
    }
    return 0;
}

int StartRotationThread(const SYSTEMTIME &reference)
{
    if (Params.LogRotation < RotationMonthly || Params.LogRotation > RotationMinutely)
        return 1;
    if (Rotation.Thread != NULL)
        return 1;               // one rotation thread at most
    if (Rotation.EndEvent == NULL) {
        Rotation.EndEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
        if (Rotation.EndEvent == NULL) {
            ReportServiceEvent("The log rotation could not be started (error %lu)",
                               EVENTLOG_ERROR_TYPE, GetLastError());
            return 0;
        }
    }
    ResetEvent(Rotation.EndEvent);
    Rotation.Reference = reference;
    Rotation.Thread = CreateThread(NULL, 0, RotationThread, NULL, 0, NULL);
    if (Rotation.Thread == NULL) {
        ReportServiceEvent("The log rotation could not be started (error %lu)",
                           EVENTLOG_ERROR_TYPE, GetLastError());
        return 0;
    }
    return 1;
}

int ResumeRotation(const SYSTEMTIME &now)
{
    if (Params.LogRotation < RotationMonthly || Params.LogRotation > RotationMinutely)
        return 1;
    // A nightly pause across midnight must not keep the day's file open for
    // ever: the period of the open log is the reference, not the continue.
    SYSTEMTIME opened = OpenLogTime(), reference = opened;
    if (NextRotationStep(Params.LogRotation, now, &reference, opened).Rotate)
        RequestLogSwap(now);
    return StartRotationThread(now);
}

void EndRotationThread()
{
    if (Rotation.Thread == NULL)
        return;
    SetEvent(Rotation.EndEvent);
    // The thread is in its wait, which the event ends at once, or asking the
    // writer for a swap, which takes a moment: the swap itself is the writer's.
    WaitForSingleObject(Rotation.Thread, INFINITE);
    CloseHandle(Rotation.Thread);
    Rotation.Thread = NULL;
}

HANDLE RotationThreadHandle() { return Rotation.Thread; }
