#include "service/mail/NoticeOutbox.h"
#include "common/settings/Parameters.h"
#include "service/core/ServiceState.h"
#include "service/mail/MailOutbox.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

// A value holds the header, a subject and a text, each bounded by the alarm
// mail's own sizes; anything longer is none of ours.
#define NOTICE_VALUE_SIZE 1200
// Kept notices read at a start; the alarm mail's queue holds fewer.
#define NOTICE_READ_MAX 64
#define NOTICE_LAST_NUMBER 99999999UL

static DWORD Next = 1;      // the number of the next new notice

static HKEY OpenNotices(REGSAM access, BOOL create)
{
    char path[SERVICE_NAME_SIZE + 64];
    snprintf(path, sizeof path, OUTBOX_KEY_FORMAT "\\" OUTBOX_NOTICES_KEY, ServiceName);
    HKEY key = NULL;
    LONG result = create ? RegCreateKeyExA(HKEY_LOCAL_MACHINE, path, 0, NULL, REG_OPTION_NON_VOLATILE, access, NULL,
                                           &key, NULL)
                         : RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, access, &key);
    SetLastError(result);
    return result == ERROR_SUCCESS ? key : NULL;
}

// Appends text and its terminator at *length; FALSE when it does not fit.
static BOOL Append(char *value, DWORD *length, const char *text)
{
    size_t size = strlen(text) + 1;
    if (*length + size >= NOTICE_VALUE_SIZE)
        return FALSE;
    memcpy(value + *length, text, size);
    *length += (DWORD)size;
    return TRUE;
}

DWORD KeepNotice(DWORD number, ULONGLONG since, DWORD tries, DWORD reason, const char *subject,
                 const char *text)
{
    char header[64], time[OUTBOX_TIME_SIZE], value[NOTICE_VALUE_SIZE], name[OUTBOX_NAME_SIZE];
    DWORD length = 0;
    if (!FormatOutboxTime(since, time, sizeof time))
        time[0] = '\0';
    snprintf(header, sizeof header, "since=%s tries=%lu reason=%lu", time, (unsigned long)tries,
             (unsigned long)reason);
    if (time[0] == '\0' || !Append(value, &length, header) || !Append(value, &length, subject) ||
        !Append(value, &length, text)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    value[length++] = '\0';
    if (number == 0) {
        if (Next > NOTICE_LAST_NUMBER) {
            SetLastError(ERROR_DISK_FULL);
            return 0;
        }
        number = Next;
    }
    HKEY key = OpenNotices(KEY_SET_VALUE, TRUE);
    if (key == NULL)
        return 0;
    OutboxValueName(number, name);
    LONG result = RegSetValueExA(key, name, 0, REG_MULTI_SZ, (const BYTE *)value, length);
    if (result == ERROR_SUCCESS)
        result = RegFlushKey(key);
    RegCloseKey(key);
    SetLastError(result);
    if (result != ERROR_SUCCESS)
        return 0;
    if (number >= Next)
        Next = number + 1;
    return number;
}

void ForgetNotice(DWORD number)
{
    HKEY key = number != 0 ? OpenNotices(KEY_SET_VALUE, FALSE) : NULL;
    if (key == NULL)
        return;
    char name[OUTBOX_NAME_SIZE];
    OutboxValueName(number, name);
    if (RegDeleteValueA(key, name) == ERROR_SUCCESS)
        RegFlushKey(key);
    RegCloseKey(key);
}

// Splits a value read whole (`size` bytes) into its three strings; FALSE
// unless it is exactly a header, a subject and a text.
static BOOL ParseNotice(char *value, DWORD size, ULONGLONG *since, DWORD *tries, DWORD *reason,
                        const char **subject, const char **text)
{
    if (size < 4 || value[size - 1] != '\0' || value[size - 2] != '\0')
        return FALSE;
    const char *p = value;
    unsigned long t, r;
    int used = 0;
    if (strncmp(p, "since=", 6) != 0)
        return FALSE;
    p += 6;
    if (!ReadOutboxTime(&p, since) || sscanf(p, " tries=%lu reason=%lu%n", &t, &r, &used) != 2 ||
        p[used] != '\0' || r > 255)
        return FALSE;
    *tries = (DWORD)t;
    *reason = (DWORD)r;
    *subject = value + strlen(value) + 1;
    if (*subject - value >= (LONG)size - 1)
        return FALSE;
    *text = *subject + strlen(*subject) + 1;
    if (*text - value >= (LONG)size - 1)
        return FALSE;
    return *text + strlen(*text) + 2 == value + size;
}

static int ByNumber(const void *a, const void *b)
{
    DWORD x = *(const DWORD *)a, y = *(const DWORD *)b;
    return x < y ? -1 : x > y;
}

DWORD TakeKeptNotices(NoticeTaker take)
{
    HKEY key = OpenNotices(KEY_QUERY_VALUE | KEY_SET_VALUE, FALSE);
    if (key == NULL)
        return 0;
    static DWORD numbers[NOTICE_READ_MAX];
    static char value[NOTICE_VALUE_SIZE];
    DWORD found = 0;
    char name[OUTBOX_NAME_SIZE + 8];
    for (DWORD index = 0; found < NOTICE_READ_MAX; index++) {
        DWORD nameLength = sizeof name;
        LONG result = RegEnumValueA(key, index, name, &nameLength, NULL, NULL, NULL, NULL);
        if (result == ERROR_NO_MORE_ITEMS || (result != ERROR_SUCCESS && result != ERROR_MORE_DATA))
            break;
        DWORD number;
        if (result == ERROR_SUCCESS && ParseOutboxValueName(name, &number) && number != 0)
            numbers[found++] = number;
    }
    qsort(numbers, found, sizeof numbers[0], ByNumber);
    DWORD kept = 0;
    for (DWORD k = 0; k < found; k++) {
        OutboxValueName(numbers[k], name);
        DWORD type, size = sizeof value;
        ULONGLONG since;
        DWORD tries, reason;
        const char *subject, *text;
        LONG result = RegQueryValueExA(key, name, NULL, &type, (BYTE *)value, &size);
        if (numbers[k] >= Next)
            Next = numbers[k] + 1;
        BOOL notice = result == ERROR_SUCCESS && type == REG_MULTI_SZ &&
                      ParseNotice(value, size, &since, &tries, &reason, &subject, &text);
        kept += notice;
        if (notice && take != NULL)
            take(numbers[k], since, tries, reason, subject, text);
        else
            RegDeleteValueA(key, name);
    }
    RegFlushKey(key);
    RegCloseKey(key);
    return kept;
}
