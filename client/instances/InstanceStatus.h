// What a running instance publishes about itself (the volatile Status key,
// common/settings/StatusKey.h), read by the configuration program for its
// list, the live view and "/status" and "/check", and the texts it shows.
#pragma once

#include <windows.h>
#include <stddef.h>

#include "common/settings/Parameters.h"

struct InstanceLiveStatus {
    int Present;                    // the key is there: the service ran since boot
    FILETIME KeyWritten;            // when the key was last written (read again only after a change)
    // UTC FILETIMEs; 0 when there is none.
    ULONGLONG Updated, CaptureSince, LastData, SilentSince, OutboxOldest;
    DWORD Day;                      // local date YYYYMMDD of the ...Today figures
    ULONGLONG BytesToday, LinesToday, LostToday, Bytes, Lines;
    DWORD DriverToday, Connected, OutboxCount;
    char LogFile[LOG_FILENAME_SIZE];
};

// Reads instance N's status; a record read before is read again only when the
// key changed since. Non-zero when the key is there (status->Present).
int ReadInstanceLiveStatus(int n, InstanceLiveStatus *status);

// Today's figures as of UTC FILETIME `now`: those of another day count 0.
ULONGLONG BytesReceivedToday(const InstanceLiveStatus *status, ULONGLONG now);
int LostToday(const InstanceLiveStatus *status, ULONGLONG now);

// Seconds without data as of `now`: since the last byte, or since capture
// began when that is later (a start or continue). 0 without a status.
ULONGLONG SecondsWithoutData(const InstanceLiveStatus *status, ULONGLONG now);

// The list's texts, as of `now` (UTC FILETIME), in local time:
// "Last data": "12:04:31" today, "yesterday", "3 days ago", "never"; "" without a status.
void FormatLastData(const InstanceLiveStatus *status, ULONGLONG now, char *text, size_t size);
// "Today": "0 B", "532 B", "12.3 KB", "4.1 MB", "1.2 GB".
void FormatByteAmount(ULONGLONG bytes, char *text, size_t size);
// "Alarm" of a running instance: "disconnected", "silent 00:12:40", or "".
void FormatAlarmState(const InstanceLiveStatus *status, ULONGLONG now, char *text, size_t size);
