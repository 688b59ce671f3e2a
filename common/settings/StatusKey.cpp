#include "common/settings/StatusKey.h"

#include <stdio.h>
#include <string.h>

void FormatUtcText(ULONGLONG filetime, char *text, size_t size)
{
    FILETIME time = {(DWORD)filetime, (DWORD)(filetime >> 32)};
    SYSTEMTIME t;
    if (filetime == 0 || !FileTimeToSystemTime(&time, &t)) {
        if (size > 0)
            text[0] = '\0';
        return;
    }
    snprintf(text, size, "%04u-%02u-%02uT%02u:%02u:%02uZ", t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute,
             t.wSecond);
}

ULONGLONG ParseUtcText(const char *text)
{
    unsigned year, month, day, hour, minute, second;
    char zone = 0, extra = 0;
    if (text == NULL || strlen(text) != 20 ||
        sscanf(text, "%4u-%2u-%2uT%2u:%2u:%2u%c%c", &year, &month, &day, &hour, &minute, &second, &zone,
               &extra) != 7 ||
        zone != 'Z')
        return 0;
    SYSTEMTIME t = {(WORD)year, (WORD)month, 0, (WORD)day, (WORD)hour, (WORD)minute, (WORD)second, 0};
    FILETIME time;
    if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 59 ||
        !SystemTimeToFileTime(&t, &time))
        return 0;
    return ((ULONGLONG)time.dwHighDateTime << 32) | time.dwLowDateTime;
}

ULONGLONG UtcNowFiletime()
{
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    return ((ULONGLONG)now.dwHighDateTime << 32) | now.dwLowDateTime;
}
