#include "service/mail/OutboxThread.h"
#include "common/mail/MailLogFile.h"
#include "service/core/CaptureStatus.h"
#include "service/core/ReportServiceEvent.h"
#include "service/core/ServiceState.h"
#include "service/mail/MailOutbox.h"
#include "service/mail/MailThread.h"

#include <stdio.h>
#include <string.h>

#define MINUTE_MS 60000UL
#define FILETIME_UNITS_PER_HOUR (3600ULL * 10000000ULL)
// "part 999 of 999 of logfile " and the path.
#define WHAT_SIZE (LOG_PATH_SIZE + 40)

static BOOL OutboxOpen;
static HANDLE OutboxWake;       // auto reset: a log was entered
static BOOL StoreFailing;       // a change of the outbox failed: reported once until one succeeds
static OutboxEntry Entry;       // the oldest, while it is mailed (outbox thread only)
static MailPlan Plan;           // the parts of a whole log that was too large

static int FileGone(const char *path)
{
    if (GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES)
        return 0;
    DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

static int MailEntry(const char *path, const MailPart *part, MailPlan *plan, int *failure)
{
    MailResult result =
        part != NULL ? MailLogPart(path, Params.SmtpServer, Params.SmtpFromAddress, Params.SmtpToAddress,
                                   &Params.Smtp, part)
                     : MailLogFile(path, Params.SmtpServer, Params.SmtpFromAddress, Params.SmtpToAddress,
                                   &Params.Smtp, Params.Mail.MailAttachment, plan);
    *failure = FailureForNow;
    // Delivered once the server took it: trying again would mail it twice.
    if (result == Sent || MailAccepted())
        return Sent;
    if (MailRefusedForGood())
        *failure = FailureRefused;
    else if (result == FileNotOpened && FileGone(path))
        *failure = FailureFileGone;
    else if (result == MessageTooLarge && (part != NULL || plan->Count == 0))
        *failure = FailureTooLarge;
    return result;
}

OutboxMailer OutboxMailFunction = MailEntry;

DWORD OutboxRetryDelayMs(DWORD failures)
{
    static const DWORD Minutes[] = {1, 2, 4, 8, 15, 30};
    const DWORD steps = sizeof Minutes / sizeof Minutes[0];
    if (failures == 0)
        return 0;
    return Minutes[failures <= steps ? failures - 1 : steps - 1] * MINUTE_MS;
}

static ULONGLONG UtcNow()
{
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    return ((ULONGLONG)now.dwHighDateTime << 32) | now.dwLowDateTime;
}

static ULONGLONG Deadline()
{
    return Entry.Since + (ULONGLONG)Params.Mail.MailRetryHours * FILETIME_UNITS_PER_HOUR;
}

// The deadline as the machine's clock shows it.
static void FormatDeadline(char *text, size_t size)
{
    ULONGLONG until = Deadline();
    FILETIME utc = {(DWORD)until, (DWORD)(until >> 32)}, local;
    SYSTEMTIME t;
    if (FileTimeToLocalFileTime(&utc, &local) && FileTimeToSystemTime(&local, &t))
        snprintf(text, size, "%04u-%02u-%02u %02u:%02u", t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute);
    else
        snprintf(text, size, "?");
}

static void Describe(char *what, const MailPart *part)
{
    if (part != NULL)
        snprintf(what, WHAT_SIZE, "part %lu of %lu of logfile %s", (unsigned long)part->Index,
                 (unsigned long)part->Count, Entry.Path);
    else
        snprintf(what, WHAT_SIZE, "logfile %s", Entry.Path);
}

static BOOL Reporting() { return (Params.VerboseLevel & VERBOSE_MAIL) != 0; }

// A change of the outbox that the registry refused: the queue waits, so
// that a failing registry is not asked again at once.
static int StoreFailed(const char *what)
{
    if (!StoreFailing)
        ReportServiceEvent("The mail outbox could not be changed after the mail of %s (error %lu)",
                           EVENTLOG_ERROR_TYPE, what, GetLastError());
    StoreFailing = TRUE;
    return OutboxWaits;
}

static int Stored(int changed, const char *what)
{
    if (!changed)
        return StoreFailed(what);
    StoreFailing = FALSE;
    return OutboxGoesOn;
}

static int Delivered(const MailPart *part)
{
    char what[WHAT_SIZE];
    Describe(what, part);
    if (part != NULL && part->Index < part->Count) {
        // Each part is done once: a restart goes on with the next.
        Entry.PartsSent++;
        return Stored(RewriteInOutbox(&Entry), what);
    }
    if (Reporting()) {
        unsigned long tries = Entry.Tries + (Entry.Plan.Count > 0 ? Entry.Plan.Count : 1);
        char parts[32] = "", count[32] = "";
        if (Entry.Plan.Count > 0)
            snprintf(parts, sizeof parts, " in %lu parts", (unsigned long)Entry.Plan.Count);
        if (Entry.Tries > 0)
            snprintf(count, sizeof count, " (tries: %lu)", tries);
        ReportServiceEvent("Successfully emailed logfile %s%s%s", EVENTLOG_INFORMATION_TYPE, Entry.Path, parts,
                           count);
    }
    return Stored(RemoveFromOutbox(&Entry), what);
}

static const char *GivenUpBecause(int failure)
{
    switch (failure) {
    case FailureRefused:  return "the server refused it";
    case FailureFileGone: return "the file is no longer there";
    case FailureTooLarge: return "it is too large for the server";
    default:              return "its time for retries is over";
    }
}

static int Failed(const MailPart *part, int result, int failure)
{
    char what[WHAT_SIZE], reason[MAIL_REASON_SIZE], until[32];
    Describe(what, part);
    FormatMailReason(reason, sizeof reason, result);
    Entry.Tries++;
    Entry.LastReason = (DWORD)result;
    if (failure != FailureForNow || UtcNow() >= Deadline()) {
        // Never holds the next log back; the log stays on disk.
        if (Reporting())
            ReportServiceEvent("Gave up emailing %s (reason: %s, tries: %lu): %s", EVENTLOG_ERROR_TYPE, what,
                               reason, (unsigned long)Entry.Tries, GivenUpBecause(failure));
        return Stored(RemoveFromOutbox(&Entry), what);
    }
    // Said once; the silent retries in between are not.
    if (Entry.Tries == 1 && Reporting()) {
        FormatDeadline(until, sizeof until);
        ReportServiceEvent("Failed to email %s (reason: %s); it will be tried again until %s", EVENTLOG_ERROR_TYPE,
                           what, reason, until);
    }
    int stored = Stored(RewriteInOutbox(&Entry), what);
    return stored == OutboxGoesOn ? OutboxWaits : stored;
}

int MailOldestInOutbox()
{
    int found = OldestInOutbox(&Entry);
    if (found == 0)
        return OutboxIdle;
    if (found < 0)
        return StoreFailed("the oldest log waiting");
    MailPart part;
    const MailPart *which = NULL;
    if (Entry.Plan.Count > 0 && GetMailPart(&Entry.Plan, Entry.PartsSent + 1, &part))
        which = &part;
    int failure = FailureForNow;
    Plan.Count = 0;
    int result = OutboxMailFunction(Entry.Path, which, &Plan, &failure);
    if (result == Sent)
        return Delivered(which);
    if (result == MessageTooLarge && which == NULL && failure == FailureForNow && Plan.Count > 0) {
        // Cut to fit: from now on each part is mailed, and done, on its own.
        memcpy(&Entry.Plan, &Plan, sizeof Plan);
        Entry.PartsSent = 0;
        char what[WHAT_SIZE];
        Describe(what, NULL);
        return Stored(RewriteInOutbox(&Entry), what);
    }
    return Failed(which, result, failure);
}

DWORD WINAPI OutboxThread(LPVOID)
{
    HANDLE wakes[2] = {StopEvent, OutboxWake};
    DWORD failures = 0;
    ULONGLONG retryAt = 0;
    for (;;) {
        NoteOutbox(OutboxCount(), Entry.Since);
        DWORD wait = INFINITE;
        if (OutboxCount() > 0) {
            ULONGLONG now = GetTickCount64();
            wait = now >= retryAt ? 0 : (retryAt - now > 0xFFFFFFF0ULL ? 0xFFFFFFF0UL : (DWORD)(retryAt - now));
        }
        // A log entered while the queue waits waits too.
        if (wait > 0) {
            DWORD woke = WaitForMultipleObjects(2, wakes, FALSE, wait);
            if (woke == WAIT_OBJECT_0 || woke == WAIT_FAILED)
                break;
            continue;
        }
        // One mail at a time in the process, and a stop waits for it.
        DWORD taken = WaitForSingleObject(MailMutex, INFINITE);
        if (taken != WAIT_OBJECT_0 && taken != WAIT_ABANDONED)
            break;
        if (ServiceStopping()) {
            ReleaseMutex(MailMutex);
            break;
        }
        int step = MailOldestInOutbox();
        ReleaseMutex(MailMutex);
        if (step == OutboxWaits) {
            failures++;
            retryAt = GetTickCount64() + OutboxRetryDelayMs(failures);
        } else {
            failures = 0;
            retryAt = 0;
        }
    }
    return 0;
}

int OpenMailOutbox()
{
    if (!MailConfigured || Params.Mail.MailRetryHours == 0)
        return 0;
    if (MailMutex == NULL)
        MailMutex = CreateMutexA(NULL, FALSE, NULL);
    if (OutboxWake == NULL)
        OutboxWake = CreateEventA(NULL, FALSE, FALSE, NULL);
    if (MailMutex == NULL || OutboxWake == NULL || !OpenOutbox()) {
        ReportServiceEvent("The mail outbox could not be opened (error %lu); each finished log is mailed once",
                           EVENTLOG_ERROR_TYPE, GetLastError());
        return 0;
    }
    OutboxOpen = TRUE;
    return 1;
}

int StartOutboxThread()
{
    if (!OutboxOpen)
        return 0;
    DWORD waiting = OutboxCount();
    if (waiting > 0 && Reporting())
        ReportServiceEvent("%s has %lu finished log(s) waiting to be mailed", EVENTLOG_INFORMATION_TYPE,
                           ServiceName, (unsigned long)waiting);
    HANDLE thread = CreateThread(NULL, 0, OutboxThread, NULL, 0, NULL);
    if (thread == NULL) {
        OutboxOpen = FALSE;
        ReportServiceEvent("The mail outbox could not be started (error %lu); each finished log is mailed once",
                           EVENTLOG_ERROR_TYPE, GetLastError());
        return 0;
    }
    // Never waited for: it ends at the stop by itself, and a stop waits
    // only for the mail in progress (MailMutex).
    CloseHandle(thread);
    return 1;
}

int MailFinishedLog(const char *path)
{
    if (OutboxOpen) {
        if (AddToOutbox(path)) {
            SetEvent(OutboxWake);
            return 1;
        }
        ReportServiceEvent("The finished log %s could not be entered in the mail outbox (error %lu); it is mailed once",
                           EVENTLOG_ERROR_TYPE, path, GetLastError());
    }
    return StartMailThread(path);
}
