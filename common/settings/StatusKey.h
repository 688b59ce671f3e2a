// The live status a running instance publishes for the configuration program,
// monitoring and `reg query`: a volatile key beside Parameters (gone at
// reboot), written by the service at most once a second, read by the
// configuration program. The one place that names its values; the reference
// describes them.
#pragma once

#include <windows.h>
#include <stddef.h>

#define STATUS_KEY_FORMAT          "SYSTEM\\CurrentControlSet\\Services\\%s\\Status"
#define INSTANCE_STATUS_KEY_FORMAT "SYSTEM\\CurrentControlSet\\Services\\Quillbox%d\\Status"

// Times are UTC, as text ("2026-12-09T13:00:00Z"); empty when there is none.
#define STATUS_UPDATED        "Updated"         // REG_SZ: this publication
#define STATUS_CAPTURE_SINCE  "CaptureSince"    // REG_SZ: the start, or the last continue
#define STATUS_LAST_DATA      "LastData"        // REG_SZ: the last byte received (kept across restarts)
#define STATUS_DAY            "Day"             // REG_DWORD: local date YYYYMMDD the ...Today values count
#define STATUS_BYTES_TODAY    "BytesToday"      // REG_QWORD
#define STATUS_LINES_TODAY    "LinesToday"      // REG_QWORD
#define STATUS_LOST_TODAY     "LostBytesToday"  // REG_QWORD: received bytes the capture could not keep
#define STATUS_DRIVER_TODAY   "DriverErrorsToday" // REG_DWORD: losses and damage the port's driver reported
#define STATUS_BYTES          "Bytes"           // REG_QWORD: since the start
#define STATUS_LINES          "Lines"           // REG_QWORD: since the start
#define STATUS_CONNECTED      "Connected"       // REG_DWORD: 1 the source is there (port open), 0 not
#define STATUS_SILENT_SINCE   "SilentSince"     // REG_SZ: the silence under way (beyond Timeout) began
#define STATUS_LOG_FILE       "LogFile"         // REG_SZ: the open log
#define STATUS_OUTBOX_COUNT   "OutboxCount"     // REG_DWORD: finished logs waiting to be mailed
#define STATUS_OUTBOX_OLDEST  "OutboxOldest"    // REG_SZ: when the oldest of them was finished

// "2026-12-09T13:00:00Z" and back. A FILETIME of 0 is the empty text.
#define UTC_TEXT_SIZE 24
void FormatUtcText(ULONGLONG filetime, char *text, size_t size);
// 0 for the empty text or one that is not exactly such a time.
ULONGLONG ParseUtcText(const char *text);

// The local date as the Day value counts it.
inline DWORD StatusDayOf(const SYSTEMTIME &local)
{
    return (DWORD)local.wYear * 10000 + local.wMonth * 100 + local.wDay;
}

// FILETIME units.
#define FILETIME_PER_SECOND 10000000ULL
ULONGLONG UtcNowFiletime();
