#include "service/core/CaptureStatus.h"
#include "common/settings/StatusKey.h"
#include "service/core/ReportServiceEvent.h"
#include "service/core/ServiceState.h"

#include <sddl.h>
#include <stdio.h>
#include <string.h>

// The figures. The reader alone adds to the data counts and rolls the day;
// every change bumps Changes, which the publisher compares with what it wrote.
static volatile LONG64 Bytes, Lines, BytesToday, LinesToday, LostToday;
static volatile LONG DriverToday, Day, Connected, WaitingMails, Changes;
static volatile LONG64 LastData, CaptureSince, SilentSince, OldestMail;
static BOOL LastWasCarriageReturn;          // reader only

// The open log's name and the tail of what came, each behind its own lock,
// taken for a copy only.
static SRWLOCK TextLock = SRWLOCK_INIT;
static char LogFile[LOG_PATH_SIZE];
static BYTE Tail[STATUS_TAIL_SIZE];
static DWORD TailLength;

static HKEY StatusKey;
static HANDLE PublisherHandle;
static LONG Published = -1;

static void Changed() { InterlockedIncrement(&Changes); }

void NoteDataReceived(const BYTE *data, DWORD count, const SYSTEMTIME &arrival)
{
    if (count == 0)
        return;
    LONG64 lines = 0;
    BOOL carriageReturn = LastWasCarriageReturn;
    for (DWORD i = 0; i < count; i++) {
        BYTE b = data[i];
        lines += b == '\r' || (b == '\n' && !carriageReturn);
        carriageReturn = b == '\r';
    }
    LastWasCarriageReturn = carriageReturn;

    LONG today = (LONG)StatusDayOf(arrival);
    if (Day != today) {
        InterlockedExchange64(&BytesToday, 0);
        InterlockedExchange64(&LinesToday, 0);
        InterlockedExchange64(&LostToday, 0);
        InterlockedExchange(&DriverToday, 0);
        InterlockedExchange(&Day, today);
    }
    InterlockedExchangeAdd64(&Bytes, count);
    InterlockedExchangeAdd64(&BytesToday, count);
    InterlockedExchangeAdd64(&Lines, lines);
    InterlockedExchangeAdd64(&LinesToday, lines);
    InterlockedExchange64(&LastData, (LONG64)UtcNowFiletime());

    AcquireSRWLockExclusive(&TextLock);
    if (count >= STATUS_TAIL_SIZE) {
        memcpy(Tail, data + count - STATUS_TAIL_SIZE, STATUS_TAIL_SIZE);
        TailLength = STATUS_TAIL_SIZE;
    } else {
        DWORD keep = TailLength + count > STATUS_TAIL_SIZE ? STATUS_TAIL_SIZE - count : TailLength;
        memmove(Tail, Tail + TailLength - keep, keep);
        memcpy(Tail + keep, data, count);
        TailLength = keep + count;
    }
    ReleaseSRWLockExclusive(&TextLock);
    Changed();
}

void NoteLostBytes(DWORD count)
{
    InterlockedExchangeAdd64(&LostToday, count);
    Changed();
}

void NoteDriverErrors(DWORD count)
{
    InterlockedExchangeAdd(&DriverToday, (LONG)count);
    Changed();
}

void NoteSourceConnected(BOOL connected)
{
    InterlockedExchange(&Connected, connected ? 1 : 0);
    Changed();
}

void NoteSilenceBegan()
{
    LONG64 began = LastData > CaptureSince ? LastData : CaptureSince;
    InterlockedExchange64(&SilentSince, began);
    Changed();
}

void NoteSilenceEnded()
{
    InterlockedExchange64(&SilentSince, 0);
    Changed();
}

void NoteCaptureResumed()
{
    InterlockedExchange64(&CaptureSince, (LONG64)UtcNowFiletime());
    Changed();
}

void NoteLogFile(const char *path)
{
    AcquireSRWLockExclusive(&TextLock);
    lstrcpynA(LogFile, path, sizeof LogFile);
    ReleaseSRWLockExclusive(&TextLock);
    Changed();
}

void NoteOutbox(DWORD count, ULONGLONG oldest)
{
    if ((DWORD)WaitingMails == count && (ULONGLONG)OldestMail == (count > 0 ? oldest : 0))
        return;
    InterlockedExchange(&WaitingMails, (LONG)count);
    InterlockedExchange64(&OldestMail, count > 0 ? (LONG64)oldest : 0);
    Changed();
}

ULONGLONG SilenceBeganAt() { return (ULONGLONG)SilentSince; }

void LastReceivedLine(char *line, size_t size)
{
    BYTE tail[STATUS_TAIL_SIZE];
    AcquireSRWLockShared(&TextLock);
    DWORD length = TailLength;
    memcpy(tail, Tail, length);
    ReleaseSRWLockShared(&TextLock);
    // The line is what comes before the last line end, after the one before it.
    DWORD end = length;
    while (end > 0 && tail[end - 1] != '\r' && tail[end - 1] != '\n')
        end--;
    while (end > 0 && (tail[end - 1] == '\r' || tail[end - 1] == '\n'))
        end--;
    DWORD start = end;
    while (start > 0 && tail[start - 1] != '\r' && tail[start - 1] != '\n')
        start--;
    size_t n = 0;
    for (DWORD i = start; i < end && n + 1 < size; i++)
        line[n++] = tail[i] >= 0x20 && tail[i] < 0x7F ? (char)tail[i] : '.';
    if (size > 0)
        line[n] = '\0';
}

// --- the key -----------------------------------------------------------------

static void SetText(const char *name, const char *text)
{
    RegSetValueExA(StatusKey, name, 0, REG_SZ, (const BYTE *)text, (DWORD)strlen(text) + 1);
}

static void SetTime(const char *name, LONG64 filetime)
{
    char text[UTC_TEXT_SIZE];
    FormatUtcText((ULONGLONG)filetime, text, sizeof text);
    SetText(name, text);
}

static void SetNumber(const char *name, DWORD number)
{
    RegSetValueExA(StatusKey, name, 0, REG_DWORD, (const BYTE *)&number, sizeof number);
}

static void SetCount(const char *name, LONG64 count)
{
    ULONGLONG value = (ULONGLONG)count;
    RegSetValueExA(StatusKey, name, 0, REG_QWORD, (const BYTE *)&value, sizeof value);
}

int PublishStatus()
{
    LONG changes = Changes;
    if (StatusKey == NULL || changes == Published)
        return 0;
    char path[LOG_PATH_SIZE];
    AcquireSRWLockShared(&TextLock);
    memcpy(path, LogFile, sizeof path);
    ReleaseSRWLockShared(&TextLock);
    SetTime(STATUS_UPDATED, (LONG64)UtcNowFiletime());
    SetTime(STATUS_CAPTURE_SINCE, CaptureSince);
    SetTime(STATUS_LAST_DATA, LastData);
    SetNumber(STATUS_DAY, (DWORD)Day);
    SetCount(STATUS_BYTES_TODAY, BytesToday);
    SetCount(STATUS_LINES_TODAY, LinesToday);
    SetCount(STATUS_LOST_TODAY, LostToday);
    SetNumber(STATUS_DRIVER_TODAY, (DWORD)DriverToday);
    SetCount(STATUS_BYTES, Bytes);
    SetCount(STATUS_LINES, Lines);
    SetNumber(STATUS_CONNECTED, (DWORD)Connected);
    SetTime(STATUS_SILENT_SINCE, SilentSince);
    SetText(STATUS_LOG_FILE, path);
    SetNumber(STATUS_OUTBOX_COUNT, (DWORD)WaitingMails);
    SetTime(STATUS_OUTBOX_OLDEST, OldestMail);
    Published = changes;
    return 1;
}

static LONG64 ReadCount(HKEY key, const char *name, DWORD type)
{
    ULONGLONG value = 0;
    DWORD size = sizeof value, stored = 0;
    if (RegQueryValueExA(key, name, NULL, &stored, (BYTE *)&value, &size) != ERROR_SUCCESS || stored != type ||
        size != (type == REG_QWORD ? 8u : 4u))
        return 0;
    return (LONG64)value;
}

// The last data of an earlier run since boot, and today's figures when they
// are today's: an instance restarted at noon still counts its morning.
static void KeepFromEarlierRun(HKEY key)
{
    char text[UTC_TEXT_SIZE];
    DWORD size = sizeof text - 1, type = 0;
    memset(text, 0, sizeof text);
    if (RegQueryValueExA(key, STATUS_LAST_DATA, NULL, &type, (BYTE *)text, &size) == ERROR_SUCCESS &&
        type == REG_SZ)
        LastData = (LONG64)ParseUtcText(text);
    SYSTEMTIME now;
    GetLocalTime(&now);
    if ((DWORD)ReadCount(key, STATUS_DAY, REG_DWORD) != StatusDayOf(now))
        return;
    Day = (LONG)StatusDayOf(now);
    BytesToday = ReadCount(key, STATUS_BYTES_TODAY, REG_QWORD);
    LinesToday = ReadCount(key, STATUS_LINES_TODAY, REG_QWORD);
    LostToday = ReadCount(key, STATUS_LOST_TODAY, REG_QWORD);
    DriverToday = (LONG)ReadCount(key, STATUS_DRIVER_TODAY, REG_DWORD);
}

static DWORD WINAPI StatusPublisherThread(LPVOID)
{
    while (WaitForSingleObject(StopEvent, STATUS_PUBLISH_MS) == WAIT_TIMEOUT)
        PublishStatus();
    return 0;
}

int OpenStatusKey()
{
    char path[MAX_PATH];
    snprintf(path, sizeof path, STATUS_KEY_FORMAT, ServiceName);
    HKEY earlier;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_QUERY_VALUE, &earlier) == ERROR_SUCCESS) {
        KeepFromEarlierRun(earlier);
        RegCloseKey(earlier);
        RegDeleteKeyA(HKEY_LOCAL_MACHINE, path);
    }
    // Volatile: a status is never mistaken for one of this boot. Readable by
    // the system and administrators only.
    SECURITY_ATTRIBUTES security = {sizeof security, NULL, FALSE};
    ConvertStringSecurityDescriptorToSecurityDescriptorA("D:P(A;;KA;;;SY)(A;;KA;;;BA)", SDDL_REVISION_1,
                                                         &security.lpSecurityDescriptor, NULL);
    LONG created = RegCreateKeyExA(HKEY_LOCAL_MACHINE, path, 0, NULL, REG_OPTION_VOLATILE,
                                   KEY_SET_VALUE | KEY_QUERY_VALUE, &security, &StatusKey, NULL);
    LocalFree(security.lpSecurityDescriptor);
    if (created != ERROR_SUCCESS) {
        StatusKey = NULL;
        ReportServiceEvent("The status key could not be created (error %ld); the instance's status is not published",
                           EVENTLOG_ERROR_TYPE, created);
        return 0;
    }
    Published = -1;
    return 1;
}

void CloseStatusKey()
{
    if (StatusKey != NULL)
        RegCloseKey(StatusKey);
    StatusKey = NULL;
}

void StartStatusPublisher()
{
    if (!OpenStatusKey())
        return;
    NoteCaptureResumed();
    PublishStatus();
    PublisherHandle = CreateThread(NULL, 0, StatusPublisherThread, NULL, 0, NULL);
}

void EndStatusPublisher()
{
    if (PublisherHandle != NULL) {
        WaitForSingleObject(PublisherHandle, 2 * STATUS_PUBLISH_MS);
        CloseHandle(PublisherHandle);
        PublisherHandle = NULL;
    }
    NoteSourceConnected(FALSE);
    NoteSilenceEnded();
    PublishStatus();
    CloseStatusKey();
}

void ResetCaptureStatus()
{
    Bytes = Lines = BytesToday = LinesToday = LostToday = 0;
    DriverToday = Day = Connected = WaitingMails = Changes = 0;
    LastData = CaptureSince = SilentSince = OldestMail = 0;
    LastWasCarriageReturn = FALSE;
    LogFile[0] = '\0';
    TailLength = 0;
    Published = -1;
}
