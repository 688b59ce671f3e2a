// A local time for tests, with the day of the week filled in by the system.
#pragma once

#include <windows.h>

inline SYSTEMTIME At(WORD year, WORD month, WORD day, WORD hour, WORD minute, WORD second = 0,
                     WORD ms = 0)
{
    SYSTEMTIME t = {};
    t.wYear = year;
    t.wMonth = month;
    t.wDay = day;
    t.wHour = hour;
    t.wMinute = minute;
    t.wSecond = second;
    t.wMilliseconds = ms;
    FILETIME f;
    SystemTimeToFileTime(&t, &f);
    FileTimeToSystemTime(&f, &t);
    return t;
}
