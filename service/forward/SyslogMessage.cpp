#include "service/forward/SyslogMessage.h"

#include <stdio.h>
#include <string.h>

// Copies text as an RFC 5424 header field: printable US-ASCII only.
static size_t CopyField(char *out, size_t size, const char *text, size_t limit)
{
    size_t n = 0;
    for (; text[n] != '\0' && n < limit - 1 && n < size - 1; n++) {
        unsigned char c = (unsigned char)text[n];
        out[n] = c >= 33 && c <= 126 ? (char)c : '_';
    }
    if (n == 0)
        out[n++] = '-';
    out[n] = '\0';
    return n;
}

void MakeSyslogHeader(SyslogHeader *header, DWORD facility, const char *host, const char *procid)
{
    char hostField[SYSLOG_HOSTNAME_SIZE], procField[SYSLOG_PROCID_SIZE];
    CopyField(hostField, sizeof hostField, host, SYSLOG_HOSTNAME_SIZE);
    CopyField(procField, sizeof procField, procid, SYSLOG_PROCID_SIZE);
    header->Priority = facility * 8 + SYSLOG_SEVERITY_INFORMATIONAL;
    int length = snprintf(header->Tail, sizeof header->Tail, " %s " SYSLOG_APP_NAME " %s - - ", hostField, procField);
    header->TailLength = length > 0 ? (size_t)length : 0;
}

void LocalHostName(char *name, size_t size)
{
    DWORD length = (DWORD)size;
    if (GetComputerNameExA(ComputerNameDnsFullyQualified, name, &length) && length > 0)
        return;
    length = (DWORD)size;
    if (GetComputerNameExA(ComputerNameDnsHostname, name, &length) && length > 0)
        return;
    snprintf(name, size, "-");
}

// Exactly `count` digits at data; their value.
static int Digits(const BYTE *data, int count, int *value)
{
    int v = 0;
    for (int i = 0; i < count; i++) {
        if (data[i] < '0' || data[i] > '9')
            return 0;
        v = v * 10 + (data[i] - '0');
    }
    *value = v;
    return 1;
}

int ParseLineStamp(const BYTE *data, size_t length, SYSTEMTIME *at)
{
    // "YYYY-MM-DD HH:MM:SS.mmm: "
    static const char Pattern[] = "dddd-dd-dd dd:dd:dd.ddd: ";
    if (length < sizeof Pattern - 1)
        return 0;
    for (size_t i = 0; i < sizeof Pattern - 1; i++)
        if (Pattern[i] != 'd' && data[i] != (BYTE)Pattern[i])
            return 0;
    int year, month, day, hour, minute, second, ms;
    if (!Digits(data, 4, &year) || !Digits(data + 5, 2, &month) || !Digits(data + 8, 2, &day) ||
        !Digits(data + 11, 2, &hour) || !Digits(data + 14, 2, &minute) || !Digits(data + 17, 2, &second) ||
        !Digits(data + 20, 3, &ms))
        return 0;
    if (year < 1601 || month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 59)
        return 0;
    memset(at, 0, sizeof *at);
    at->wYear = (WORD)year;
    at->wMonth = (WORD)month;
    at->wDay = (WORD)day;
    at->wHour = (WORD)hour;
    at->wMinute = (WORD)minute;
    at->wSecond = (WORD)second;
    at->wMilliseconds = (WORD)ms;
    return 1;
}

int LocalOffsetMinutes(const SYSTEMTIME &local)
{
    static SYSTEMTIME cachedHour;
    static int cachedOffset;
    static BOOL cached;
    if (cached && cachedHour.wYear == local.wYear && cachedHour.wMonth == local.wMonth &&
        cachedHour.wDay == local.wDay && cachedHour.wHour == local.wHour)
        return cachedOffset;
    SYSTEMTIME hour = local;
    hour.wMinute = 30;          // inside the hour: clear of a change at its start
    hour.wSecond = 0;
    hour.wMilliseconds = 0;
    SYSTEMTIME utc;
    FILETIME localFile, utcFile;
    if (!TzSpecificLocalTimeToSystemTime(NULL, &hour, &utc) || !SystemTimeToFileTime(&hour, &localFile) ||
        !SystemTimeToFileTime(&utc, &utcFile))
        return 0;
    LONGLONG difference = (LONGLONG)(((ULONGLONG)localFile.dwHighDateTime << 32) | localFile.dwLowDateTime) -
                          (LONGLONG)(((ULONGLONG)utcFile.dwHighDateTime << 32) | utcFile.dwLowDateTime);
    cachedOffset = (int)(difference / (60LL * 10000000LL));
    cachedHour = local;
    cached = TRUE;
    return cachedOffset;
}

void FormatSyslogTimestamp(const SYSTEMTIME &local, int offsetMinutes, char text[SYSLOG_TIMESTAMP_LENGTH + 1])
{
    int away = offsetMinutes < 0 ? -offsetMinutes : offsetMinutes;
    snprintf(text, SYSLOG_TIMESTAMP_LENGTH + 1, "%.4d-%.2d-%.2dT%.2d:%.2d:%.2d.%.3d%c%.2d:%.2d", local.wYear,
             local.wMonth, local.wDay, local.wHour, local.wMinute, local.wSecond, local.wMilliseconds,
             offsetMinutes < 0 ? '-' : '+', away / 60 % 100, away % 60);
}

size_t FormatSyslogMessage(const SyslogHeader *header, const char *timestamp, const BYTE *msg, size_t msgLength,
                           char *out, size_t size)
{
    char head[32];
    int headLength = snprintf(head, sizeof head, "<%lu>1 ", (unsigned long)header->Priority);
    size_t stampLength = strlen(timestamp);
    size_t total = (size_t)headLength + stampLength + header->TailLength + msgLength;
    if (headLength < 0 || total > size)
        return 0;
    char *p = out;
    memcpy(p, head, (size_t)headLength);
    p += headLength;
    memcpy(p, timestamp, stampLength);
    p += stampLength;
    memcpy(p, header->Tail, header->TailLength);
    p += header->TailLength;
    memcpy(p, msg, msgLength);
    return total;
}

size_t SyslogMessageRoom(const SyslogHeader *header)
{
    // "<191>1 " is the longest head.
    size_t fixed = 7 + SYSLOG_TIMESTAMP_LENGTH + header->TailLength;
    return fixed < SYSLOG_MESSAGE_LIMIT ? SYSLOG_MESSAGE_LIMIT - fixed : 1;
}
