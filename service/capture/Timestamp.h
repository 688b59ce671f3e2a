// The stamp before each line of a log: the local time of the line's first
// byte, to the millisecond.
#pragma once

#include <windows.h>

// "2004-02-17 09:05:03.042: " is 25 characters.
#define TIMESTAMP_LENGTH 25

// Formats the timestamp text of `now` (TIMESTAMP_LENGTH characters plus NUL).
void FormatTimestamp(const SYSTEMTIME &now, char text[TIMESTAMP_LENGTH + 1]);

// Local time `t` as whole seconds on the calendar the clock shows (no time
// zone: a repeated hour of a daylight-saving night repeats its seconds too).
// What the capture queue keeps of each chunk's arrival, and what the log's
// rotation compares with its boundaries.
ULONGLONG LocalSeconds(const SYSTEMTIME &t);

// The local time of LocalSeconds `seconds`.
SYSTEMTIME LocalTimeOfSeconds(ULONGLONG seconds);
