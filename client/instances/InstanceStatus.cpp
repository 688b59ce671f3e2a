#include "client/instances/InstanceStatus.h"

#include <stdio.h>
#include <string.h>

#include "common/settings/StatusKey.h"

#define FILETIME_PER_DAY (86400ULL * FILETIME_PER_SECOND)

static ULONGLONG ReadTime(HKEY key, const char *name)
{
    char text[UTC_TEXT_SIZE];
    DWORD size = sizeof text - 1, type = 0;
    memset(text, 0, sizeof text);
    if (RegQueryValueExA(key, name, NULL, &type, (BYTE *)text, &size) != ERROR_SUCCESS || type != REG_SZ)
        return 0;
    return ParseUtcText(text);
}

// A number of the given type; 0 when absent or of another type or size.
static ULONGLONG ReadNumber(HKEY key, const char *name, DWORD type)
{
    ULONGLONG value = 0;
    DWORD size = sizeof value, stored = 0;
    if (RegQueryValueExA(key, name, NULL, &stored, (BYTE *)&value, &size) != ERROR_SUCCESS || stored != type ||
        size != (type == REG_QWORD ? 8u : 4u))
        return 0;
    return value;
}

static void ReadValues(HKEY key, InstanceLiveStatus *s)
{
    s->Updated = ReadTime(key, STATUS_UPDATED);
    s->CaptureSince = ReadTime(key, STATUS_CAPTURE_SINCE);
    s->LastData = ReadTime(key, STATUS_LAST_DATA);
    s->SilentSince = ReadTime(key, STATUS_SILENT_SINCE);
    s->OutboxOldest = ReadTime(key, STATUS_OUTBOX_OLDEST);
    s->Day = (DWORD)ReadNumber(key, STATUS_DAY, REG_DWORD);
    s->BytesToday = ReadNumber(key, STATUS_BYTES_TODAY, REG_QWORD);
    s->LinesToday = ReadNumber(key, STATUS_LINES_TODAY, REG_QWORD);
    s->LostToday = ReadNumber(key, STATUS_LOST_TODAY, REG_QWORD);
    s->DriverToday = (DWORD)ReadNumber(key, STATUS_DRIVER_TODAY, REG_DWORD);
    s->Bytes = ReadNumber(key, STATUS_BYTES, REG_QWORD);
    s->Lines = ReadNumber(key, STATUS_LINES, REG_QWORD);
    s->Connected = (DWORD)ReadNumber(key, STATUS_CONNECTED, REG_DWORD);
    s->OutboxCount = (DWORD)ReadNumber(key, STATUS_OUTBOX_COUNT, REG_DWORD);
    DWORD size = sizeof s->LogFile - 1, type = 0;
    memset(s->LogFile, 0, sizeof s->LogFile);
    if (RegQueryValueExA(key, STATUS_LOG_FILE, NULL, &type, (BYTE *)s->LogFile, &size) != ERROR_SUCCESS ||
        type != REG_SZ)
        memset(s->LogFile, 0, sizeof s->LogFile);
}

int ReadInstanceLiveStatus(int n, InstanceLiveStatus *status)
{
    char path[128];
    snprintf(path, sizeof path, INSTANCE_STATUS_KEY_FORMAT, n);
    HKEY key;
    FILETIME written;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) {
        memset(status, 0, sizeof *status);
        return 0;
    }
    if (RegQueryInfoKeyA(key, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, &written) !=
            ERROR_SUCCESS ||
        !status->Present || CompareFileTime(&written, &status->KeyWritten) != 0) {
        ReadValues(key, status);
        status->KeyWritten = written;
        status->Present = 1;
    }
    RegCloseKey(key);
    return 1;
}

static DWORD LocalDayOf(ULONGLONG utc)
{
    FILETIME time = {(DWORD)utc, (DWORD)(utc >> 32)}, local;
    SYSTEMTIME t;
    if (!FileTimeToLocalFileTime(&time, &local) || !FileTimeToSystemTime(&local, &t))
        return 0;
    return StatusDayOf(t);
}

ULONGLONG BytesReceivedToday(const InstanceLiveStatus *status, ULONGLONG now)
{
    return status->Present && status->Day == LocalDayOf(now) ? status->BytesToday : 0;
}

int LostToday(const InstanceLiveStatus *status, ULONGLONG now)
{
    return status->Present && status->Day == LocalDayOf(now) && (status->LostToday > 0 || status->DriverToday > 0);
}

ULONGLONG SecondsWithoutData(const InstanceLiveStatus *status, ULONGLONG now)
{
    if (!status->Present)
        return 0;
    ULONGLONG since = status->LastData > status->CaptureSince ? status->LastData : status->CaptureSince;
    return now > since ? (now - since) / FILETIME_PER_SECOND : 0;
}

// Days from the local midnight of `then` to that of `now`.
static ULONGLONG LocalDaysBetween(ULONGLONG then, ULONGLONG now)
{
    FILETIME a = {(DWORD)then, (DWORD)(then >> 32)}, b = {(DWORD)now, (DWORD)(now >> 32)}, la, lb;
    if (!FileTimeToLocalFileTime(&a, &la) || !FileTimeToLocalFileTime(&b, &lb))
        return 0;
    ULONGLONG dayA = (((ULONGLONG)la.dwHighDateTime << 32) | la.dwLowDateTime) / FILETIME_PER_DAY;
    ULONGLONG dayB = (((ULONGLONG)lb.dwHighDateTime << 32) | lb.dwLowDateTime) / FILETIME_PER_DAY;
    return dayB > dayA ? dayB - dayA : 0;
}

void FormatLastData(const InstanceLiveStatus *status, ULONGLONG now, char *text, size_t size)
{
    if (!status->Present) {
        snprintf(text, size, "%s", "");
        return;
    }
    if (status->LastData == 0) {
        snprintf(text, size, "never");
        return;
    }
    ULONGLONG days = LocalDaysBetween(status->LastData, now);
    FILETIME utc = {(DWORD)status->LastData, (DWORD)(status->LastData >> 32)}, local;
    SYSTEMTIME t;
    if (days == 0 && FileTimeToLocalFileTime(&utc, &local) && FileTimeToSystemTime(&local, &t))
        snprintf(text, size, "%02u:%02u:%02u", t.wHour, t.wMinute, t.wSecond);
    else if (days <= 1)
        snprintf(text, size, "yesterday");
    else
        snprintf(text, size, "%llu days ago", days);
}

void FormatByteAmount(ULONGLONG bytes, char *text, size_t size)
{
    static const char *const units[] = {"KB", "MB", "GB", "TB"};
    if (bytes < 1024) {
        snprintf(text, size, "%llu B", bytes);
        return;
    }
    double amount = (double)bytes / 1024;
    int unit = 0;
    while (amount >= 1024 && unit < 3) {
        amount /= 1024;
        unit++;
    }
    snprintf(text, size, amount < 100 ? "%.1f %s" : "%.0f %s", amount, units[unit]);
}

void FormatAlarmState(const InstanceLiveStatus *status, ULONGLONG now, char *text, size_t size)
{
    if (status->Present && !status->Connected) {
        snprintf(text, size, "disconnected");
    } else if (status->Present && status->SilentSince != 0) {
        ULONGLONG seconds = now > status->SilentSince ? (now - status->SilentSince) / FILETIME_PER_SECOND : 0;
        snprintf(text, size, "silent %02llu:%02llu:%02llu", seconds / 3600, seconds / 60 % 60, seconds % 60);
    } else {
        snprintf(text, size, "%s", "");
    }
}
