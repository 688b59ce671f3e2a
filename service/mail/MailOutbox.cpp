#include "service/mail/MailOutbox.h"
#include "common/settings/Parameters.h"
#include "service/core/ReportServiceEvent.h"

#include <stdio.h>
#include <string.h>

// Eight digits name an entry; one a minute lasts 190 years.
#define OUTBOX_LAST_SEQUENCE 99999999UL
// The longest value name the registry has.
#define REGISTRY_NAME_SIZE 16384
// Attempts to find the oldest entry when values vanish under our hands
// (removed by hand): each one rescans the key.
#define OUTBOX_RESCANS 3

static HKEY OutboxKey;
// The writer thread enters logs, the outbox thread takes them out.
static CRITICAL_SECTION OutboxLock;
static BOOL LockMade;
static DWORD Oldest;    // sequence of the oldest entry, while Count > 0
static DWORD Next;      // sequence of the next entry entered
static DWORD Count;

// Only the outbox thread reads and rewrites entries (and the start scans).
static char NameBuffer[REGISTRY_NAME_SIZE];
static char TextBuffer[OUTBOX_TEXT_SIZE];

// --- the entry's text -------------------------------------------------------

// A decimal number of at most `max` at *p; advances past it.
static int ReadNumber(const char **p, ULONGLONG max, ULONGLONG *value)
{
    const char *s = *p;
    ULONGLONG v = 0;
    if (*s < '0' || *s > '9')
        return 0;
    while (*s >= '0' && *s <= '9') {
        if (v > (max - (ULONGLONG)(*s - '0')) / 10)
            return 0;
        v = v * 10 + (ULONGLONG)(*s - '0');
        s++;
    }
    *value = v;
    *p = s;
    return 1;
}

static int ReadWord(const char **p, const char *word)
{
    size_t length = strlen(word);
    if (strncmp(*p, word, length) != 0)
        return 0;
    *p += length;
    return 1;
}

static int ReadField(const char **p, const char *word, ULONGLONG max, ULONGLONG *value)
{
    return ReadWord(p, word) && ReadNumber(p, max, value);
}

// "2026-12-09T13:00:00Z", UTC.
static int ReadUtc(const char **p, ULONGLONG *since)
{
    ULONGLONG y, mo, d, h, mi, s;
    if (!ReadNumber(p, 30827, &y) || !ReadWord(p, "-") || !ReadNumber(p, 12, &mo) || !ReadWord(p, "-") ||
        !ReadNumber(p, 31, &d) || !ReadWord(p, "T") || !ReadNumber(p, 23, &h) || !ReadWord(p, ":") ||
        !ReadNumber(p, 59, &mi) || !ReadWord(p, ":") || !ReadNumber(p, 59, &s) || !ReadWord(p, "Z"))
        return 0;
    SYSTEMTIME t = {(WORD)y, (WORD)mo, 0, (WORD)d, (WORD)h, (WORD)mi, (WORD)s, 0};
    FILETIME f;
    if (!SystemTimeToFileTime(&t, &f))
        return 0;
    *since = ((ULONGLONG)f.dwHighDateTime << 32) | f.dwLowDateTime;
    return 1;
}

int FormatOutboxEntry(const OutboxEntry *entry, char *text, size_t size)
{
    FILETIME f = {(DWORD)entry->Since, (DWORD)(entry->Since >> 32)};
    SYSTEMTIME t;
    if (size == 0 || !FileTimeToSystemTime(&f, &t))
        return 0;
    int length = snprintf(text, size, "since=%04u-%02u-%02uT%02u:%02u:%02uZ tries=%lu reason=%lu parts=%lu sent=%lu",
                          t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond, (unsigned long)entry->Tries,
                          (unsigned long)entry->LastReason, (unsigned long)entry->Plan.Count,
                          (unsigned long)entry->PartsSent);
    for (DWORD k = 0; k < entry->Plan.Count && length > 0 && (size_t)length < size; k++)
        length += snprintf(text + length, size - length, "%s%llu", k == 0 ? " ends=" : ",",
                           (unsigned long long)entry->Plan.Ends[k]);
    if (length > 0 && (size_t)length < size)
        length += snprintf(text + length, size - length, " path=%s", entry->Path);
    return length > 0 && (size_t)length < size;
}

int ParseOutboxEntry(const char *text, OutboxEntry *entry)
{
    const char *p = text;
    ULONGLONG tries, reason, parts, sent;
    if (!ReadWord(&p, "since=") || !ReadUtc(&p, &entry->Since) || !ReadField(&p, " tries=", 0xFFFFFFFF, &tries) ||
        !ReadField(&p, " reason=", 255, &reason) || !ReadField(&p, " parts=", MAIL_MAX_PARTS, &parts) ||
        !ReadField(&p, " sent=", parts, &sent) || (parts > 0 && sent == parts))
        return 0;
    entry->Tries = (DWORD)tries;
    entry->LastReason = (DWORD)reason;
    entry->Plan.Count = (DWORD)parts;
    entry->PartsSent = (DWORD)sent;
    // Part ends rise strictly: every part holds at least a byte.
    for (DWORD k = 0; k < entry->Plan.Count; k++) {
        ULONGLONG end;
        if (!ReadWord(&p, k == 0 ? " ends=" : ",") || !ReadNumber(&p, ~0ULL, &end) ||
            (k > 0 && end <= entry->Plan.Ends[k - 1]) || end == 0)
            return 0;
        entry->Plan.Ends[k] = end;
    }
    size_t length;
    if (!ReadWord(&p, " path=") || (length = strlen(p)) == 0 || length >= sizeof entry->Path)
        return 0;
    memcpy(entry->Path, p, length + 1);
    return 1;
}

// --- the key ----------------------------------------------------------------

static void SequenceName(DWORD sequence, char name[OUTBOX_NAME_SIZE])
{
    snprintf(name, OUTBOX_NAME_SIZE, "%08lu", (unsigned long)(sequence % (OUTBOX_LAST_SEQUENCE + 1)));
}

static int ParseSequence(const char *name, DWORD *sequence)
{
    const char *p = name;
    ULONGLONG value;
    if (strlen(name) != OUTBOX_NAME_SIZE - 1 || !ReadNumber(&p, OUTBOX_LAST_SEQUENCE, &value) || *p != '\0')
        return 0;
    *sequence = (DWORD)value;
    return 1;
}

// Writes a change through: what a power cut finds is what was last written.
static int Flushed(LONG result)
{
    if (result == ERROR_SUCCESS)
        result = RegFlushKey(OutboxKey);
    SetLastError(result);
    return result == ERROR_SUCCESS;
}

// Counts the entries and finds the oldest and newest; a value that is no
// entry (another type, a name that is not eight digits) is reported and
// removed, as it could never be mailed. Under OutboxLock or before threads.
static int ScanOutbox()
{
    DWORD index = 0;
    Count = 0;
    Next = 1;
    for (;;) {
        DWORD nameLength = sizeof NameBuffer;
        DWORD type, sequence;
        LONG result = RegEnumValueA(OutboxKey, index, NameBuffer, &nameLength, NULL, &type, NULL, NULL);
        if (result == ERROR_NO_MORE_ITEMS)
            return 1;
        if (result != ERROR_SUCCESS) {
            SetLastError(result);
            return 0;
        }
        index++;
        if (type == REG_SZ && ParseSequence(NameBuffer, &sequence)) {
            if (Count == 0 || sequence < Oldest)
                Oldest = sequence;
            if (sequence >= Next)
                Next = sequence + 1;
            Count++;
            continue;
        }
        ReportServiceEvent("The mail outbox holds the value \"%.64s\", which is none of its entries; it is removed",
                           EVENTLOG_WARNING_TYPE, NameBuffer);
        // Enumeration starts again after a change of the key.
        if (RegDeleteValueA(OutboxKey, NameBuffer) == ERROR_SUCCESS) {
            index = 0;
            Count = 0;
            Next = 1;
        }
    }
}

int OpenOutbox()
{
    if (!LockMade) {
        InitializeCriticalSection(&OutboxLock);
        LockMade = TRUE;
    }
    char path[SERVICE_NAME_SIZE + 64];
    snprintf(path, sizeof path, OUTBOX_KEY_FORMAT, ServiceName);
    LONG result = RegCreateKeyExA(HKEY_LOCAL_MACHINE, path, 0, NULL, REG_OPTION_NON_VOLATILE,
                                  KEY_QUERY_VALUE | KEY_SET_VALUE, NULL, &OutboxKey, NULL);
    if (result != ERROR_SUCCESS) {
        OutboxKey = NULL;
        SetLastError(result);
        return 0;
    }
    EnterCriticalSection(&OutboxLock);
    int scanned = ScanOutbox();
    LeaveCriticalSection(&OutboxLock);
    return scanned;
}

void CloseOutbox()
{
    if (OutboxKey != NULL)
        RegCloseKey(OutboxKey);
    OutboxKey = NULL;
    Count = 0;
}

DWORD OutboxCount()
{
    if (!LockMade)
        return 0;
    EnterCriticalSection(&OutboxLock);
    DWORD count = Count;
    LeaveCriticalSection(&OutboxLock);
    return count;
}

int AddToOutbox(const char *path)
{
    OutboxEntry entry;
    memset(&entry, 0, sizeof entry);
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    entry.Since = ((ULONGLONG)now.dwHighDateTime << 32) | now.dwLowDateTime;
    size_t length = strlen(path);
    char text[LOG_PATH_SIZE + 128];
    if (OutboxKey == NULL || length == 0 || length >= sizeof entry.Path) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    memcpy(entry.Path, path, length + 1);
    if (!FormatOutboxEntry(&entry, text, sizeof text)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    EnterCriticalSection(&OutboxLock);
    int added = 0;
    if (Count >= OUTBOX_MAX_ENTRIES || Next > OUTBOX_LAST_SEQUENCE) {
        SetLastError(ERROR_DISK_FULL);
    } else {
        char name[OUTBOX_NAME_SIZE];
        SequenceName(Next, name);
        added = Flushed(RegSetValueExA(OutboxKey, name, 0, REG_SZ, (const BYTE *)text, (DWORD)strlen(text) + 1));
        if (added) {
            if (Count == 0)
                Oldest = Next;
            Next++;
            Count++;
        }
    }
    LeaveCriticalSection(&OutboxLock);
    return added;
}

// After the oldest entry has gone: the one after it, which is normally the
// next number; otherwise (values removed by hand) the key is scanned again.
static void PassOldest(DWORD sequence)
{
    EnterCriticalSection(&OutboxLock);
    if (Count > 0)
        Count--;
    if (Count > 0 && Oldest == sequence) {
        char name[OUTBOX_NAME_SIZE];
        SequenceName(sequence + 1, name);
        if (RegQueryValueExA(OutboxKey, name, NULL, NULL, NULL, NULL) == ERROR_SUCCESS)
            Oldest = sequence + 1;
        else
            ScanOutbox();
    }
    LeaveCriticalSection(&OutboxLock);
}

static int RemoveSequence(DWORD sequence)
{
    char name[OUTBOX_NAME_SIZE];
    SequenceName(sequence, name);
    LONG result = RegDeleteValueA(OutboxKey, name);
    if (result == ERROR_FILE_NOT_FOUND)
        result = ERROR_SUCCESS;
    int removed = Flushed(result);
    if (removed)
        PassOldest(sequence);
    return removed;
}

int OldestInOutbox(OutboxEntry *entry)
{
    for (int rescans = 0; OutboxKey != NULL;) {
        EnterCriticalSection(&OutboxLock);
        DWORD count = Count, sequence = Oldest;
        LeaveCriticalSection(&OutboxLock);
        if (count == 0)
            return 0;
        char name[OUTBOX_NAME_SIZE];
        SequenceName(sequence, name);
        DWORD type, size = sizeof TextBuffer - 1;
        LONG result = RegQueryValueExA(OutboxKey, name, NULL, &type, (BYTE *)TextBuffer, &size);
        if (result == ERROR_FILE_NOT_FOUND) {
            // Removed by hand since the last look.
            if (++rescans > OUTBOX_RESCANS)
                break;
            EnterCriticalSection(&OutboxLock);
            int scanned = ScanOutbox();
            LeaveCriticalSection(&OutboxLock);
            if (!scanned)
                return -1;
            continue;
        }
        if (result != ERROR_SUCCESS && result != ERROR_MORE_DATA) {
            SetLastError(result);
            return -1;
        }
        if (result == ERROR_SUCCESS && type == REG_SZ) {
            TextBuffer[size < sizeof TextBuffer ? size : sizeof TextBuffer - 1] = '\0';
            if (ParseOutboxEntry(TextBuffer, entry)) {
                entry->Sequence = sequence;
                return 1;
            }
        }
        ReportServiceEvent("The mail outbox entry %s cannot be read as one; it is removed", EVENTLOG_WARNING_TYPE,
                           name);
        if (!RemoveSequence(sequence))
            return -1;
    }
    SetLastError(ERROR_INVALID_DATA);
    return -1;
}

int RewriteInOutbox(const OutboxEntry *entry)
{
    char name[OUTBOX_NAME_SIZE];
    SequenceName(entry->Sequence, name);
    if (!FormatOutboxEntry(entry, TextBuffer, sizeof TextBuffer)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    return Flushed(RegSetValueExA(OutboxKey, name, 0, REG_SZ, (const BYTE *)TextBuffer, (DWORD)strlen(TextBuffer) + 1));
}

int RemoveFromOutbox(const OutboxEntry *entry)
{
    return RemoveSequence(entry->Sequence);
}
