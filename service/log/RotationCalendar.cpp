#include "service/log/RotationCalendar.h"
#include "service/capture/Timestamp.h"
#include "service/core/ServiceState.h"

#define SECOND_MS 1000UL
#define MINUTE_MS (60 * SECOND_MS)
#define HOUR_MS   (60 * MINUTE_MS)
#define DAY_MS    (24 * HOUR_MS)
#define WEEK_MS   (7 * DAY_MS)

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

ULONGLONG RotationBoundaryAfter(DWORD rotation, const SYSTEMTIME &openedAt)
{
    SYSTEMTIME start = openedAt;
    start.wSecond = 0;
    start.wMilliseconds = 0;
    if (rotation != RotationMinutely)
        start.wMinute = 0;
    if (rotation != RotationMinutely && rotation != RotationHourly)
        start.wHour = 0;
    switch (rotation) {
    case RotationMinutely:
        return LocalSeconds(start) + MINUTE_MS / SECOND_MS;
    case RotationHourly:
        return LocalSeconds(start) + HOUR_MS / SECOND_MS;
    case RotationDaily:
        return LocalSeconds(start) + DAY_MS / SECOND_MS;
    case RotationWeekly:
        return LocalSeconds(start) + (7 - openedAt.wDayOfWeek % 7) * (DAY_MS / SECOND_MS);
    case RotationMonthly:
        start.wDay = 1;
        if (++start.wMonth > 12) {
            start.wMonth = 1;
            start.wYear++;
        }
        return LocalSeconds(start);
    default:
        return ~0ULL;
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
