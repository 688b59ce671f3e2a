#include "service/capture/Timestamp.h"

#include <stdio.h>

void FormatTimestamp(const SYSTEMTIME &now, char text[TIMESTAMP_LENGTH + 1])
{
    // The precision gives the leading zeros ("%0.4d" says the same).
    snprintf(text, TIMESTAMP_LENGTH + 1, "%.4d-%.2d-%.2d %.2d:%.2d:%.2d.%.3d: ",
             now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond,
             now.wMilliseconds);
}
