// The outbox: finished logs that wait to be mailed (MailRetryHours). One
// REG_SZ value per log under the service's Outbox key, named by an
// eight-digit sequence number, so the lowest is the oldest. Every change is
// one value written or deleted, then flushed: a killed process or a power
// cut leaves each entry as it was before the change or after it, never torn.
// The text is legible (reg query shows what waits):
//   since=2026-12-09T13:00:00Z tries=0 reason=0 parts=0 sent=0 path=C:\Logs\Quillbox1202612091300.log
// and for a log cut into parts, after parts= and sent=, the end of each part:
//   ... parts=3 sent=1 ends=4000,8000,9100 path=...
//
// The log being written is recorded in the subkey OpenLog (value Path)
// before anything is written to it, so that a start after a stop, a crash or
// a power cut finds the log that was open then: its period may have passed.
#pragma once

#include <windows.h>

#include "common/mail/MailParts.h"
#include "service/core/ServiceState.h"

// More waiting logs than minutely rotation makes in the longest retry time
// (240 hours: 14,400), so that only a fault fills it; it bounds what the
// outbox can add to the registry.
#define OUTBOX_MAX_ENTRIES 16384
// The longest entry: its numbers, 999 part ends and the path.
#define OUTBOX_TEXT_SIZE (128 + MAIL_MAX_PARTS * 21 + LOG_PATH_SIZE)
#define OUTBOX_NAME_SIZE 9
#define OUTBOX_OPEN_LOG_KEY   "OpenLog"
#define OUTBOX_OPEN_LOG_VALUE "Path"

struct OutboxEntry {
    DWORD Sequence;             // its value's name
    ULONGLONG Since;            // UTC (FILETIME units) when the log was finished
    DWORD Tries;                // failed tries so far
    DWORD LastReason;           // MailResult of the last failed try
    DWORD PartsSent;            // parts the server has accepted
    MailPlan Plan;              // Count 0: the log goes whole
    char Path[LOG_PATH_SIZE];
};

// Opens this service's outbox (creating it when `create`), finds its oldest
// and newest entry, and removes, reporting each, values that are no entry of
// it. Non-zero on success; otherwise the error is GetLastError().
int OpenOutbox(int create = 1);
void CloseOutbox();

// Logs waiting.
DWORD OutboxCount();

// Enters a finished log as the newest entry. Non-zero on success; 0 when the
// registry refused it (GetLastError()) or the outbox is full.
int AddToOutbox(const char *path);

// The oldest entry into *entry: 1, or 0 when there is none, or -1 when the
// registry failed (GetLastError()). An entry that cannot be read as one is
// reported and removed on the way.
int OldestInOutbox(OutboxEntry *entry);

// The same for the entry with the lowest number at or after `from`, and for
// the entry numbered `sequence` (0: it is gone).
int EntryFromInOutbox(DWORD from, OutboxEntry *entry);
int EntryInOutbox(DWORD sequence, OutboxEntry *entry);

// Whether an entry waits for the log at path (an exact match). Before the
// outbox thread starts: it reads through that thread's buffers.
int OutboxHolds(const char *path);

// The open log an earlier record names into path (empty when none).
// Non-zero when there was one.
int RecordedOpenLog(char *path, size_t size);

// Enters `finished` (unless null) as the newest entry (*entered says
// whether it was) and records `open` as the open log (null: no log is), in
// one step as far as the outbox's reader can tell. Non-zero when both were
// done.
int RecordOpenLog(const char *finished, const char *open, int *entered);

// Writes an entry back (its tries, reason, plan, parts sent), or removes it.
// Non-zero on success.
int RewriteInOutbox(const OutboxEntry *entry);
int RemoveFromOutbox(const OutboxEntry *entry);

// The entry's text, and back. Non-zero on success; parsing refuses anything
// that is not exactly such a text (numbers out of range, part ends out of
// order, no path).
int FormatOutboxEntry(const OutboxEntry *entry, char *text, size_t size);
int ParseOutboxEntry(const char *text, OutboxEntry *entry);

// A UTC FILETIME as the entries write it ("2026-12-09T13:00:00Z"), and back
// (advancing *p past it). Non-zero on success.
#define OUTBOX_TIME_SIZE 24
int FormatOutboxTime(ULONGLONG utc, char *text, size_t size);
int ReadOutboxTime(const char **p, ULONGLONG *utc);

// A value's name in the outbox and its subkeys: a number as eight digits,
// and back (non-zero when the name is exactly that).
void OutboxValueName(DWORD number, char name[OUTBOX_NAME_SIZE]);
int ParseOutboxValueName(const char *name, DWORD *number);
