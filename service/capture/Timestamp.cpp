#include "service/capture/Timestamp.h"

#include <stdio.h>
#include <string.h>

void FormatTimestamp(const SYSTEMTIME &now, char text[TIMESTAMP_LENGTH + 1])
{
    // The precision gives the leading zeros ("%0.4d" says the same).
    snprintf(text, TIMESTAMP_LENGTH + 1, "%.4d-%.2d-%.2d %.2d:%.2d:%.2d.%.3d: ",
             now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond,
             now.wMilliseconds);
}

#define FILETIME_UNITS_PER_SECOND 10000000ULL

ULONGLONG LocalSeconds(const SYSTEMTIME &t)
{
    FILETIME f;
    if (!SystemTimeToFileTime(&t, &f))
        return 0;
    return (((ULONGLONG)f.dwHighDateTime << 32) | f.dwLowDateTime) / FILETIME_UNITS_PER_SECOND;
}

SYSTEMTIME LocalTimeOfSeconds(ULONGLONG seconds)
{
    ULONGLONG units = seconds * FILETIME_UNITS_PER_SECOND;
    FILETIME f = {(DWORD)units, (DWORD)(units >> 32)};
    SYSTEMTIME t;
    if (!FileTimeToSystemTime(&f, &t))
        memset(&t, 0, sizeof t);
    return t;
}
