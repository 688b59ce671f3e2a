// Alarm mails that failed, kept beside the outbox while it is on
// (MailRetryHours), so that a restart within their hour of tries still sends
// them. One REG_MULTI_SZ value per mail under the outbox's subkey Notices,
// named by eight digits (the lowest is the oldest), with three strings:
//   since=2026-12-10T04:00:00Z tries=1 reason=4
//   the subject
//   the text
// `since` is the first try. Only the alarm mail's thread uses these.
#pragma once

#include <windows.h>

#define OUTBOX_NOTICES_KEY "Notices"

// Writes notice `number` (0: a new one) and returns its number; 0 when the
// registry refused it (GetLastError()).
DWORD KeepNotice(DWORD number, ULONGLONG since, DWORD tries, DWORD reason, const char *subject,
                 const char *text);

// Removes notice `number` (gone already: fine).
void ForgetNotice(DWORD number);

// Hands each kept notice to `take`, oldest first, and returns how many there
// were; a value that is none is removed. `take` NULL removes them all.
typedef void (*NoticeTaker)(DWORD number, ULONGLONG since, DWORD tries, DWORD reason, const char *subject,
                            const char *text);
DWORD TakeKeptNotices(NoticeTaker take);
