// The stamp before each line of a log: the local time of the line's first
// byte, to the millisecond.
#pragma once

#include <windows.h>

// "2004-02-17 09:05:03.042: " is 25 characters.
#define TIMESTAMP_LENGTH 25

// Formats the timestamp text of `now` (TIMESTAMP_LENGTH characters plus NUL).
void FormatTimestamp(const SYSTEMTIME &now, char text[TIMESTAMP_LENGTH + 1]);
