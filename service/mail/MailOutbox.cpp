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

int ReadOutboxTime(const char **p, ULONGLONG *since)
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

int FormatOutboxTime(ULONGLONG utc, char *text, size_t size)
{
    FILETIME f = {(DWORD)utc, (DWORD)(utc >> 32)};
    SYSTEMTIME t;
    if (size == 0 || !FileTimeToSystemTime(&f, &t))
        return 0;
    int length = snprintf(text, size, "%04u-%02u-%02uT%02u:%02u:%02uZ", t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute,
                          t.wSecond);
    return length > 0 && (size_t)length < size;
}

int FormatOutboxEntry(const OutboxEntry *entry, char *text, size_t size)
{
    char since[OUTBOX_TIME_SIZE];
    if (size == 0 || !FormatOutboxTime(entry->Since, since, sizeof since))
        return 0;
    int length = snprintf(text, size, "since=%s tries=%lu reason=%lu parts=%lu sent=%lu", since,
                          (unsigned long)entry->Tries, (unsigned long)entry->LastReason,
                          (unsigned long)entry->Plan.Count, (unsigned long)entry->PartsSent);
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
    if (!ReadWord(&p, "since=") || !ReadOutboxTime(&p, &entry->Since) ||
        !ReadField(&p, " tries=", 0xFFFFFFFF, &tries) || !ReadField(&p, " reason=", 255, &reason) ||
        !ReadField(&p, " parts=", MAIL_MAX_PARTS, &parts) ||
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

void OutboxValueName(DWORD sequence, char name[OUTBOX_NAME_SIZE])
{
    snprintf(name, OUTBOX_NAME_SIZE, "%08lu", (unsigned long)(sequence % (OUTBOX_LAST_SEQUENCE + 1)));
}

int ParseOutboxValueName(const char *name, DWORD *sequence)
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
        if (type == REG_SZ && ParseOutboxValueName(NameBuffer, &sequence)) {
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

int OpenOutbox(int create)
{
    if (!LockMade) {
        InitializeCriticalSection(&OutboxLock);
        LockMade = TRUE;
    }
    char path[SERVICE_NAME_SIZE + 64];
    snprintf(path, sizeof path, OUTBOX_KEY_FORMAT, ServiceName);
    const REGSAM access = KEY_QUERY_VALUE | KEY_SET_VALUE;
    LONG result = create ? RegCreateKeyExA(HKEY_LOCAL_MACHINE, path, 0, NULL, REG_OPTION_NON_VOLATILE, access, NULL,
                                           &OutboxKey, NULL)
                         : RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, access, &OutboxKey);
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

// Writes a new entry for path as the newest; under OutboxLock.
static int AddEntry(const char *path)
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
    if (Count >= OUTBOX_MAX_ENTRIES || Next > OUTBOX_LAST_SEQUENCE) {
        SetLastError(ERROR_DISK_FULL);
        return 0;
    }
    char name[OUTBOX_NAME_SIZE];
    OutboxValueName(Next, name);
    if (!Flushed(RegSetValueExA(OutboxKey, name, 0, REG_SZ, (const BYTE *)text, (DWORD)strlen(text) + 1)))
        return 0;
    if (Count == 0)
        Oldest = Next;
    Next++;
    Count++;
    return 1;
}

int AddToOutbox(const char *path)
{
    EnterCriticalSection(&OutboxLock);
    int added = AddEntry(path);
    LeaveCriticalSection(&OutboxLock);
    return added;
}

// --- the open log -------------------------------------------------------------

// The subkey of the open log; made only to be written.
static int OpenLogKey(REGSAM access, HKEY *key)
{
    char path[SERVICE_NAME_SIZE + 64];
    snprintf(path, sizeof path, OUTBOX_KEY_FORMAT "\\" OUTBOX_OPEN_LOG_KEY, ServiceName);
    LONG result = access == KEY_QUERY_VALUE
                      ? RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, access, key)
                      : RegCreateKeyExA(HKEY_LOCAL_MACHINE, path, 0, NULL, REG_OPTION_NON_VOLATILE, access, NULL,
                                        key, NULL);
    SetLastError(result);
    return result == ERROR_SUCCESS;
}

int RecordedOpenLog(char *path, size_t size)
{
    HKEY key;
    path[0] = '\0';
    if (!OpenLogKey(KEY_QUERY_VALUE, &key))
        return 0;
    DWORD type, length = (DWORD)size - 1;
    LONG result = RegQueryValueExA(key, OUTBOX_OPEN_LOG_VALUE, NULL, &type, (BYTE *)path, &length);
    RegCloseKey(key);
    if (result != ERROR_SUCCESS || type != REG_SZ || length == 0) {
        path[0] = '\0';
        return 0;
    }
    path[length < size ? length : size - 1] = '\0';
    return path[0] != '\0';
}

int RecordOpenLog(const char *finished, const char *open, int *entered)
{
    HKEY key;
    *entered = 0;
    if (!OpenLogKey(KEY_SET_VALUE, &key))
        return 0;
    EnterCriticalSection(&OutboxLock);
    // The finished log is entered first and the record changed after, both
    // before the outbox thread can see the entry: a crash between the two
    // leaves the entry and a record of the same log (the start then enters
    // nothing twice), never a log in neither.
    *entered = finished != NULL && AddEntry(finished);
    LONG result = open != NULL ? RegSetValueExA(key, OUTBOX_OPEN_LOG_VALUE, 0, REG_SZ, (const BYTE *)open,
                                                (DWORD)strlen(open) + 1)
                               : RegDeleteValueA(key, OUTBOX_OPEN_LOG_VALUE);
    if (result == ERROR_FILE_NOT_FOUND && open == NULL)
        result = ERROR_SUCCESS;
    if (result == ERROR_SUCCESS)
        result = RegFlushKey(key);
    LeaveCriticalSection(&OutboxLock);
    RegCloseKey(key);
    SetLastError(result);
    return (finished == NULL || *entered) && result == ERROR_SUCCESS;
}

int OutboxHolds(const char *path)
{
    for (DWORD index = 0;; index++) {
        DWORD nameLength = sizeof NameBuffer, size = sizeof TextBuffer - 1, type;
        LONG result = RegEnumValueA(OutboxKey, index, NameBuffer, &nameLength, NULL, &type, (BYTE *)TextBuffer, &size);
        if (result == ERROR_NO_MORE_ITEMS || (result != ERROR_SUCCESS && result != ERROR_MORE_DATA))
            return 0;
        if (result != ERROR_SUCCESS || type != REG_SZ)
            continue;
        TextBuffer[size < sizeof TextBuffer ? size : sizeof TextBuffer - 1] = '\0';
        const char *at = strstr(TextBuffer, " path=");
        if (at != NULL && strcmp(at + 6, path) == 0)
            return 1;
    }
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
        OutboxValueName(sequence + 1, name);
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
    OutboxValueName(sequence, name);
    LONG result = RegDeleteValueA(OutboxKey, name);
    if (result == ERROR_FILE_NOT_FOUND)
        result = ERROR_SUCCESS;
    int removed = Flushed(result);
    if (removed)
        PassOldest(sequence);
    return removed;
}

// Reads entry `sequence`: 1, 0 when there is none, -1 when the registry
// failed; one that cannot be read as an entry is reported and removed (0).
static int ReadEntry(DWORD sequence, OutboxEntry *entry)
{
    char name[OUTBOX_NAME_SIZE];
    OutboxValueName(sequence, name);
    DWORD type, size = sizeof TextBuffer - 1;
    LONG result = RegQueryValueExA(OutboxKey, name, NULL, &type, (BYTE *)TextBuffer, &size);
    if (result == ERROR_FILE_NOT_FOUND)
        return 0;
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
    return RemoveSequence(sequence) ? 0 : -1;
}

int EntryFromInOutbox(DWORD from, OutboxEntry *entry)
{
    for (int rescans = 0; OutboxKey != NULL;) {
        EnterCriticalSection(&OutboxLock);
        DWORD count = Count, oldest = Oldest, next = Next;
        LeaveCriticalSection(&OutboxLock);
        if (count == 0)
            return 0;
        // Entries leave out of order (one set aside, those after it mailed):
        // the numbers between are probed, each once per caller's pass.
        for (DWORD sequence = from > oldest ? from : oldest; sequence < next; sequence++) {
            int read = ReadEntry(sequence, entry);
            if (read != 0)
                return read;
        }
        // Nothing where the count says something is: values were removed by
        // hand since the last look.
        if (from > oldest || ++rescans > OUTBOX_RESCANS)
            return 0;
        EnterCriticalSection(&OutboxLock);
        int scanned = ScanOutbox();
        LeaveCriticalSection(&OutboxLock);
        if (!scanned)
            return -1;
    }
    SetLastError(ERROR_INVALID_DATA);
    return -1;
}

int EntryInOutbox(DWORD sequence, OutboxEntry *entry)
{
    if (OutboxKey == NULL) {
        SetLastError(ERROR_INVALID_HANDLE);
        return -1;
    }
    return ReadEntry(sequence, entry);
}

int OldestInOutbox(OutboxEntry *entry)
{
    return EntryFromInOutbox(0, entry);
}

int RewriteInOutbox(const OutboxEntry *entry)
{
    char name[OUTBOX_NAME_SIZE];
    OutboxValueName(entry->Sequence, name);
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
