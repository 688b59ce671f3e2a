#include "service/forward/ForwardChain.h"
#include "common/settings/ForwardSettings.h"
#include "service/core/ReportServiceEvent.h"

#include <stdio.h>
#include <string.h>

#define FORWARD_LAST_SEQUENCE 99999999UL
#define FORWARD_NAME_SIZE 9

static HKEY ChainKey;
// The writer adds logs, the forwarder reads and removes them.
static CRITICAL_SECTION ChainLock;
static BOOL LockMade;
static DWORD Oldest, Newest, Count;
static char NewestPath[LOG_PATH_SIZE];
static BOOL OpenReported, FullReported, Forgotten;

BOOL ForwardingConfigured()
{
    ForwardTarget target;
    return Params.Forward.ForwardTo[0] != '\0' && ParseForwardTo(Params.Forward.ForwardTo, &target);
}

static void SequenceName(DWORD sequence, char name[FORWARD_NAME_SIZE])
{
    snprintf(name, FORWARD_NAME_SIZE, "%08lu", (unsigned long)(sequence % (FORWARD_LAST_SEQUENCE + 1)));
}

// Eight digits, nothing else.
static int ParseSequence(const char *name, DWORD *sequence)
{
    if (strlen(name) != FORWARD_NAME_SIZE - 1)
        return 0;
    DWORD value = 0;
    for (const char *p = name; *p != '\0'; p++) {
        if (*p < '0' || *p > '9')
            return 0;
        value = value * 10 + (DWORD)(*p - '0');
    }
    *sequence = value;
    return 1;
}

static int ReadPath(DWORD sequence, char *path, size_t size)
{
    char name[FORWARD_NAME_SIZE];
    SequenceName(sequence, name);
    DWORD type, length = (DWORD)size - 1;
    LONG result = RegQueryValueExA(ChainKey, name, NULL, &type, (BYTE *)path, &length);
    if (result == ERROR_FILE_NOT_FOUND)
        return 0;
    if (result != ERROR_SUCCESS || type != REG_SZ || length == 0) {
        SetLastError(result == ERROR_SUCCESS ? ERROR_INVALID_DATA : result);
        return -1;
    }
    path[length < size ? length : size - 1] = '\0';
    return 1;
}

// The logs of the chain: the oldest, the newest and how many. Under
// ChainLock or before threads.
static int ScanChain()
{
    Count = Oldest = Newest = 0;
    char name[64];
    for (DWORD index = 0;; index++) {
        DWORD nameLength = sizeof name, type, sequence;
        LONG result = RegEnumValueA(ChainKey, index, name, &nameLength, NULL, &type, NULL, NULL);
        if (result == ERROR_NO_MORE_ITEMS)
            break;
        if (result == ERROR_MORE_DATA)
            continue;       // a long name is none of ours
        if (result != ERROR_SUCCESS) {
            SetLastError(result);
            return 0;
        }
        if (type != REG_SZ || !ParseSequence(name, &sequence))
            continue;
        if (Count == 0 || sequence < Oldest)
            Oldest = sequence;
        if (sequence > Newest)
            Newest = sequence;
        Count++;
    }
    NewestPath[0] = '\0';
    return Count == 0 || ReadPath(Newest, NewestPath, sizeof NewestPath) >= 0;
}

static int OpenChain()
{
    if (!LockMade) {
        InitializeCriticalSection(&ChainLock);
        LockMade = TRUE;
    }
    char path[SERVICE_NAME_SIZE + 64];
    snprintf(path, sizeof path, FORWARD_KEY_FORMAT, ServiceName);
    LONG result = RegCreateKeyExA(HKEY_LOCAL_MACHINE, path, 0, NULL, REG_OPTION_NON_VOLATILE,
                                  KEY_QUERY_VALUE | KEY_SET_VALUE, NULL, &ChainKey, NULL);
    if (result != ERROR_SUCCESS) {
        ChainKey = NULL;
        SetLastError(result);
        return 0;
    }
    EnterCriticalSection(&ChainLock);
    int scanned = ScanChain();
    LeaveCriticalSection(&ChainLock);
    return scanned;
}

void CloseForwardChain()
{
    if (ChainKey != NULL)
        RegCloseKey(ChainKey);
    ChainKey = NULL;
    Count = Oldest = Newest = 0;
    OpenReported = FullReported = Forgotten = FALSE;
}

static int Flushed(LONG result)
{
    if (result == ERROR_SUCCESS)
        result = RegFlushKey(ChainKey);
    SetLastError(result);
    return result == ERROR_SUCCESS;
}

static LONG SetText(const char *name, const char *text)
{
    return RegSetValueExA(ChainKey, name, 0, REG_SZ, (const BYTE *)text, (DWORD)strlen(text) + 1);
}

// The size of a file, 0 when it cannot be read.
static ULONGLONG FileSizeOf(const char *path)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExA(path, GetFileExInfoStandard, &data))
        return 0;
    return ((ULONGLONG)data.nFileSizeHigh << 32) | data.nFileSizeLow;
}

// Adds path as the newest log. Under ChainLock.
static void AddLog(const char *path)
{
    if (Count >= FORWARD_MAX_LOGS || Newest >= FORWARD_LAST_SEQUENCE) {
        if (!FullReported)
            ReportServiceEvent("%lu log files wait to be forwarded; the log file \"%s\" and those after it "
                               "until the forwarder catches up are not forwarded",
                               EVENTLOG_ERROR_TYPE, (unsigned long)Count, path);
        FullReported = TRUE;
        return;
    }
    DWORD sequence = Newest + 1;
    char name[FORWARD_NAME_SIZE];
    SequenceName(sequence, name);
    LONG result = SetText(name, path);
    if (result == ERROR_SUCCESS && Count == 0) {
        // A new chain starts where the log stands now.
        char position[64];
        FormatForwardPosition(sequence, FileSizeOf(path), position, sizeof position);
        result = SetText(FORWARD_POSITION_VALUE, position);
    }
    if (!Flushed(result)) {
        ReportServiceEvent("The log file \"%s\" could not be entered for forwarding (error %lu); its lines "
                           "are not forwarded",
                           EVENTLOG_ERROR_TYPE, path, GetLastError());
        return;
    }
    if (Count == 0)
        Oldest = sequence;
    Newest = sequence;
    Count++;
    FullReported = FALSE;
    size_t length = strnlen(path, sizeof NewestPath - 1);
    memcpy(NewestPath, path, length);
    NewestPath[length] = '\0';
}

void NoteLogOpened(const char *path)
{
    if (!ForwardingConfigured()) {
        if (!Forgotten) {
            char key[SERVICE_NAME_SIZE + 64];
            snprintf(key, sizeof key, FORWARD_KEY_FORMAT, ServiceName);
            RegDeleteKeyA(HKEY_LOCAL_MACHINE, key);
            Forgotten = TRUE;
        }
        return;
    }
    if (ChainKey == NULL && !OpenChain()) {
        if (!OpenReported)
            ReportServiceEvent("The forwarding queue could not be opened (error %lu); nothing is forwarded",
                               EVENTLOG_ERROR_TYPE, GetLastError());
        OpenReported = TRUE;
        return;
    }
    EnterCriticalSection(&ChainLock);
    if (Count == 0 || _stricmp(NewestPath, path) != 0)
        AddLog(path);
    LeaveCriticalSection(&ChainLock);
}

DWORD NewestForwardLog()
{
    if (ChainKey == NULL)
        return 0;
    EnterCriticalSection(&ChainLock);
    DWORD newest = Count > 0 ? Newest : 0;
    LeaveCriticalSection(&ChainLock);
    return newest;
}

int ForwardLogPath(DWORD sequence, char *path, size_t size)
{
    if (ChainKey == NULL)
        return 0;
    return ReadPath(sequence, path, size);
}

int NextForwardLog(DWORD sequence, DWORD *next)
{
    DWORD newest = NewestForwardLog();
    char path[LOG_PATH_SIZE];
    for (DWORD s = sequence + 1; s != 0 && s <= newest; s++) {
        if (ReadPath(s, path, sizeof path) != 0) {
            *next = s;
            return 1;
        }
    }
    return 0;
}

int FormatForwardPosition(DWORD sequence, ULONGLONG offset, char *text, size_t size)
{
    int length = snprintf(text, size, "file=%08lu offset=%llu", (unsigned long)sequence, (unsigned long long)offset);
    return length > 0 && (size_t)length < size;
}

int ParseForwardPosition(const char *text, DWORD *sequence, ULONGLONG *offset)
{
    char name[FORWARD_NAME_SIZE];
    if (strncmp(text, "file=", 5) != 0 || strlen(text) < 5 + FORWARD_NAME_SIZE - 1)
        return 0;
    memcpy(name, text + 5, FORWARD_NAME_SIZE - 1);
    name[FORWARD_NAME_SIZE - 1] = '\0';
    const char *p = text + 5 + FORWARD_NAME_SIZE - 1;
    if (!ParseSequence(name, sequence) || strncmp(p, " offset=", 8) != 0)
        return 0;
    p += 8;
    ULONGLONG value = 0;
    const char *digits = p;
    for (; *p >= '0' && *p <= '9'; p++) {
        if (value > (~0ULL - (ULONGLONG)(*p - '0')) / 10)
            return 0;
        value = value * 10 + (ULONGLONG)(*p - '0');
    }
    if (p == digits || *p != '\0')
        return 0;
    *offset = value;
    return 1;
}

int ReadForwardPosition(DWORD *sequence, ULONGLONG *offset)
{
    char text[64];
    DWORD type, size = sizeof text - 1;
    if (ChainKey == NULL ||
        RegQueryValueExA(ChainKey, FORWARD_POSITION_VALUE, NULL, &type, (BYTE *)text, &size) != ERROR_SUCCESS ||
        type != REG_SZ)
        return 0;
    text[size < sizeof text ? size : sizeof text - 1] = '\0';
    return ParseForwardPosition(text, sequence, offset);
}

int SaveForwardPosition(DWORD sequence, ULONGLONG offset, DWORD keepFrom)
{
    char text[64];
    if (ChainKey == NULL || !FormatForwardPosition(sequence, offset, text, sizeof text))
        return 0;
    LONG result = SetText(FORWARD_POSITION_VALUE, text);
    EnterCriticalSection(&ChainLock);
    while (result == ERROR_SUCCESS && Count > 1 && Oldest < keepFrom && Oldest < Newest) {
        char name[FORWARD_NAME_SIZE];
        SequenceName(Oldest, name);
        LONG removed = RegDeleteValueA(ChainKey, name);
        if (removed != ERROR_SUCCESS && removed != ERROR_FILE_NOT_FOUND) {
            result = removed;
            break;
        }
        if (removed == ERROR_SUCCESS)
            Count--;
        Oldest++;
    }
    LeaveCriticalSection(&ChainLock);
    return Flushed(result);
}
