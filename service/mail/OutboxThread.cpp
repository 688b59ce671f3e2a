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
// Logs set aside for a fault of their own; beyond this many the queue waits
// behind the next one, as it did before logs were set aside.
#define OUTBOX_ASIDE_LIMIT 64
// Logs the server took whose entry could not be changed afterwards.
#define OUTBOX_DELIVERED_LIMIT 16
#define NEVER (~0ULL)

static BOOL OutboxTried;        // OpenMailOutbox has run
static BOOL OutboxOpen;         // the outbox thread mails what waits
static BOOL Retrying;           // finished logs enter the outbox (MailRetryHours > 0)
static HANDLE OutboxWake;       // auto reset: a log was entered
static BOOL StoreFailing;       // a change of the outbox failed: reported once until one succeeds
static OutboxEntry Entry;       // the one being mailed (outbox thread only)
static MailPlan Plan;           // the parts of a whole log that was too large

// The open log as recorded (writer thread only), and a finished log that
// the record's change entered already, for MailFinishedLog.
static BOOL LookedBack;
static char OpenLog[LOG_PATH_SIZE];
static char EnteredWithRecord[LOG_PATH_SIZE];
static BOOL RecordFailing;

// Logs set aside, each with its own wait; every entry numbered below Cursor
// that still waits is one of them (outbox thread only).
struct SetAside {
    DWORD Sequence;
    DWORD Failures;
    ULONGLONG Until;    // GetTickCount64
};
static SetAside Aside[OUTBOX_ASIDE_LIMIT];
static int AsideCount;
static DWORD Cursor;

// Logs (or parts) the server accepted whose entry could not be removed or
// rewritten: this run never mails them again (outbox thread only).
struct Remembered {
    DWORD Sequence;
    DWORD PartsSent;    // the parts accepted
    BOOL Whole;         // the whole log was
};
static Remembered Delivered[OUTBOX_DELIVERED_LIMIT];
static int DeliveredCount;

static int FileGone(const char *path)
{
    if (GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES)
        return 0;
    DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

static int MailEntry(const char *path, const MailPart *part, MailPlan *plan, int *failure)
{
    MailResult result = MailLogInSession(path, Params.SmtpServer, Params.SmtpFromAddress, Params.SmtpToAddress,
                                         &Params.Smtp, Params.Mail.MailAttachment, part, plan);
    *failure = FailureForNow;
    // Delivered once the server took it: trying again would mail it twice.
    if (result == Sent || MailAccepted())
        return Sent;
    if (MailRefusedForGood())
        *failure = FailureRefused;
    else if (result == FileNotOpened)
        *failure = FileGone(path) ? FailureFileGone : FailureFile;
    else if (result == MessageTooLarge && (part != NULL || plan->Count == 0))
        *failure = FailureTooLarge;
    return result;
}

static void EndSession(int wait)
{
    EndMailSession(wait);
}

OutboxMailer OutboxMailFunction = MailEntry;
OutboxEnder OutboxEndFunction = EndSession;

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

// --- the order of the queue ----------------------------------------------------

static int AsideIndex(DWORD sequence)
{
    for (int i = 0; i < AsideCount; i++)
        if (Aside[i].Sequence == sequence)
            return i;
    return -1;
}

static void DropAside(int i)
{
    Aside[i] = Aside[--AsideCount];
}

// The entry is done with for this pass: it left the queue or was set aside.
static void PassEntry(DWORD sequence)
{
    if (sequence >= Cursor)
        Cursor = sequence + 1;
}

// Sets the entry aside with a wait of its own, longer after each failure of
// its own in a row. 0 when no room is left: the queue waits instead.
static int PutAside()
{
    int i = AsideIndex(Entry.Sequence);
    if (i < 0) {
        if (AsideCount == OUTBOX_ASIDE_LIMIT)
            return 0;
        i = AsideCount++;
        Aside[i].Sequence = Entry.Sequence;
        Aside[i].Failures = 0;
    }
    Aside[i].Failures++;
    Aside[i].Until = GetTickCount64() + OutboxRetryDelayMs(Aside[i].Failures);
    PassEntry(Entry.Sequence);
    return 1;
}

// When the earliest log set aside is due again; NEVER when none is.
static ULONGLONG AsideDueAt()
{
    ULONGLONG due = NEVER;
    for (int i = 0; i < AsideCount; i++)
        if (Aside[i].Until < due)
            due = Aside[i].Until;
    return due;
}

// The oldest entry that is due: a log set aside whose wait is over, or the
// first from the cursor on. 1, 0 when none is, -1 when the registry failed.
static int NextDueEntry()
{
    for (;;) {
        ULONGLONG now = GetTickCount64();
        int due = -1;
        for (int i = 0; i < AsideCount; i++)
            if (Aside[i].Until <= now && (due < 0 || Aside[i].Sequence < Aside[due].Sequence))
                due = i;
        int found = EntryFromInOutbox(Cursor, &Entry);
        if (found < 0)
            return found;
        if (found > 0 && AsideIndex(Entry.Sequence) >= 0) {
            PassEntry(Entry.Sequence);
            continue;
        }
        if (due < 0 || (found > 0 && Entry.Sequence < Aside[due].Sequence))
            return found;
        int again = EntryInOutbox(Aside[due].Sequence, &Entry);
        if (again != 0)
            return again;
        DropAside(due);         // removed meanwhile (by hand)
    }
}

// --- what becomes of a try -------------------------------------------------------

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

// The entry leaves the outbox.
static int Removed(const char *what)
{
    if (!RemoveFromOutbox(&Entry))
        return StoreFailed(what);
    int i = AsideIndex(Entry.Sequence);
    if (i >= 0)
        DropAside(i);
    PassEntry(Entry.Sequence);
    return Stored(1, what);
}

static void Remember(BOOL whole)
{
    int i = 0;
    while (i < DeliveredCount && Delivered[i].Sequence != Entry.Sequence)
        i++;
    if (i == OUTBOX_DELIVERED_LIMIT)
        i = 0;      // the oldest memory makes room: its entry was the one before
    else if (i == DeliveredCount)
        DeliveredCount++;
    Delivered[i].Sequence = Entry.Sequence;
    Delivered[i].PartsSent = Entry.PartsSent;
    Delivered[i].Whole = whole;
}

// An entry the server took (all of it, or parts) but the outbox could not
// be changed after: it is changed now, and not mailed again.
static int StoreRemembered(int i)
{
    char what[WHAT_SIZE];
    Describe(what, NULL);
    BOOL whole = Delivered[i].Whole;
    Entry.PartsSent = Delivered[i].PartsSent;
    int step = whole ? Removed(what) : Stored(RewriteInOutbox(&Entry), what);
    if (step == OutboxGoesOn)
        Delivered[i] = Delivered[--DeliveredCount];
    return step;
}

static int DeliveredNow(const MailPart *part)
{
    char what[WHAT_SIZE];
    Describe(what, part);
    if (part != NULL && part->Index < part->Count) {
        // Each part is done once: a restart goes on with the next.
        Entry.PartsSent++;
        if (!RewriteInOutbox(&Entry)) {
            Remember(FALSE);
            return StoreFailed(what);
        }
        return Stored(1, what);
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
    int step = Removed(what);
    if (step != OutboxGoesOn)
        Remember(TRUE);
    return step;
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
    if ((failure != FailureForNow && failure != FailureFile) || UtcNow() >= Deadline()) {
        // Never holds the next log back; the log stays on disk.
        if (Reporting())
            ReportServiceEvent("Gave up emailing %s (reason: %s, tries: %lu): %s", EVENTLOG_ERROR_TYPE, what,
                               reason, (unsigned long)Entry.Tries, GivenUpBecause(failure));
        return Removed(what);
    }
    // Said once; the silent retries in between are not.
    if (Entry.Tries == 1 && Reporting()) {
        FormatDeadline(until, sizeof until);
        ReportServiceEvent("Failed to email %s (reason: %s); it will be tried again until %s", EVENTLOG_ERROR_TYPE,
                           what, reason, until);
    }
    int stored = Stored(RewriteInOutbox(&Entry), what);
    if (stored != OutboxGoesOn)
        return stored;
    // A fault of this file alone does not hold the others back.
    return failure == FailureFile && PutAside() ? OutboxGoesOn : OutboxWaits;
}

// The plan no longer fits the file (it changed since its parts were
// planned): the log is planned again, from its first part.
static int PlanOutdated()
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (Entry.Plan.Count == 0 || !GetFileAttributesExA(Entry.Path, GetFileExInfoStandard, &data))
        return 0;
    ULONGLONG size = ((ULONGLONG)data.nFileSizeHigh << 32) | data.nFileSizeLow;
    return size != Entry.Plan.Ends[Entry.Plan.Count - 1];
}

int MailOldestInOutbox()
{
    int found = NextDueEntry();
    if (found == 0)
        return OutboxIdle;
    if (found < 0)
        return StoreFailed("the oldest log waiting");
    for (int i = 0; i < DeliveredCount; i++)
        if (Delivered[i].Sequence == Entry.Sequence)
            return StoreRemembered(i);
    if (PlanOutdated()) {
        Entry.Plan.Count = 0;
        Entry.PartsSent = 0;
        return Failed(NULL, FileNotOpened, FailureFile);
    }
    MailPart part;
    const MailPart *which = NULL;
    if (Entry.Plan.Count > 0 && GetMailPart(&Entry.Plan, Entry.PartsSent + 1, &part))
        which = &part;
    int failure = FailureForNow;
    Plan.Count = 0;
    int result = OutboxMailFunction(Entry.Path, which, &Plan, &failure);
    if (result == Sent)
        return DeliveredNow(which);
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

// --- the thread ----------------------------------------------------------------------

// One pass: every log that is due, one after another over one connection,
// until the queue must wait or nothing more is due; then the connection
// ends. MailMutex is held throughout, and a stop ends the pass between two
// mails.
static int MailWhatIsDue()
{
    int step;
    do
        step = MailOldestInOutbox();
    while (step == OutboxGoesOn && !ServiceStopping());
    OutboxEndFunction(!ServiceStopping());
    return step;
}

DWORD WINAPI OutboxThread(LPVOID)
{
    HANDLE wakes[2] = {StopEvent, OutboxWake};
    DWORD failures = 0;
    ULONGLONG retryAt = 0;      // after failures of the server: when the queue may go again
    ULONGLONG dueAt = 0;        // when to look again; NEVER: only when a log is entered
    for (;;) {
        NoteOutbox(OutboxCount(), Entry.Since);
        ULONGLONG now = GetTickCount64();
        if (dueAt > now) {
            DWORD wait = dueAt == NEVER ? INFINITE
                                        : (dueAt - now > 0xFFFFFFF0ULL ? 0xFFFFFFF0UL : (DWORD)(dueAt - now));
            DWORD woke = WaitForMultipleObjects(2, wakes, FALSE, wait);
            if (woke == WAIT_OBJECT_0 || woke == WAIT_FAILED)
                break;
            // A log entered while the queue waits waits too.
            if (woke == WAIT_OBJECT_0 + 1)
                dueAt = retryAt;
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
        int step = MailWhatIsDue();
        ReleaseMutex(MailMutex);
        if (step == OutboxWaits) {
            failures++;
            retryAt = GetTickCount64() + OutboxRetryDelayMs(failures);
            dueAt = retryAt;
        } else {
            failures = 0;
            retryAt = 0;
            dueAt = AsideDueAt();
        }
    }
    return 0;
}

int OpenMailOutbox()
{
    if (OutboxTried)
        return OutboxOpen;
    OutboxTried = TRUE;
    if (!MailConfigured)
        return 0;
    Retrying = Params.Mail.MailRetryHours > 0;
    if (MailMutex == NULL)
        MailMutex = CreateMutexA(NULL, FALSE, NULL);
    if (OutboxWake == NULL)
        OutboxWake = CreateEventA(NULL, FALSE, FALSE, NULL);
    // Without retries an outbox is opened only when one is there: logs that
    // waited when retries were switched off, or a log an earlier run had
    // open, are still mailed, once each.
    if (MailMutex == NULL || OutboxWake == NULL || !OpenOutbox(Retrying)) {
        if (Retrying)
            ReportServiceEvent("The mail outbox could not be opened (error %lu); each finished log is mailed once",
                               EVENTLOG_ERROR_TYPE, GetLastError());
        Retrying = FALSE;
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
        Retrying = FALSE;
        ReportServiceEvent("The mail outbox could not be started (error %lu); each finished log is mailed once",
                           EVENTLOG_ERROR_TYPE, GetLastError());
        return 0;
    }
    // Never waited for: it ends at the stop by itself, and a stop waits
    // only for the mail in progress (MailMutex).
    CloseHandle(thread);
    return 1;
}

// The open log is recorded when there are retries and rotation: without
// rotation a log is never finished, so never mailed.
static BOOL Recording()
{
    return Retrying && Params.LogRotation >= RotationMonthly && Params.LogRotation <= RotationMinutely;
}

// Records the open log, entering the finished one; whether it was entered.
static int Record(const char *finished, const char *open)
{
    int entered;
    if (RecordOpenLog(finished, open, &entered)) {
        RecordFailing = FALSE;
    } else if (!RecordFailing) {
        RecordFailing = TRUE;
        ReportServiceEvent("The open log could not be recorded in the mail outbox (error %lu); a stop before it "
                           "is finished leaves it unmailed", EVENTLOG_ERROR_TYPE, GetLastError());
    }
    if (entered)
        SetEvent(OutboxWake);
    return entered;
}

void OutboxLogOpened(const char *path)
{
    if (!OpenMailOutbox())
        return;
    if (!LookedBack) {
        // The start: a log an earlier run had open, of a period that has
        // passed, is finished (nothing writes to it any more) and goes now.
        LookedBack = TRUE;
        char recorded[LOG_PATH_SIZE];
        const char *finished = NULL;
        int wasRecorded = RecordedOpenLog(recorded, sizeof recorded);
        if (wasRecorded && strcmp(recorded, path) != 0 && GetFileAttributesA(recorded) != INVALID_FILE_ATTRIBUTES &&
            !OutboxHolds(recorded))
            finished = recorded;
        if (wasRecorded || Recording())
            Record(finished, Recording() ? path : NULL);
    } else if (Recording()) {
        // A rotation: the log open until now is finished, and entered as
        // the next is recorded (MailFinishedLog then finds it there).
        const char *finished = OpenLog[0] != '\0' && strcmp(OpenLog, path) != 0 ? OpenLog : NULL;
        if (Record(finished, path))
            strcpy(EnteredWithRecord, finished);
    }
    snprintf(OpenLog, sizeof OpenLog, "%s", Recording() ? path : "");
}

int MailFinishedLog(const char *path)
{
    if (Retrying) {
        if (strcmp(EnteredWithRecord, path) == 0) {
            EnteredWithRecord[0] = '\0';
            return 1;
        }
        if (AddToOutbox(path)) {
            SetEvent(OutboxWake);
            return 1;
        }
        ReportServiceEvent("The finished log %s could not be entered in the mail outbox (error %lu); it is mailed once",
                           EVENTLOG_ERROR_TYPE, path, GetLastError());
    }
    return StartMailThread(path);
}

void ResetMailOutbox()
{
    OutboxTried = OutboxOpen = Retrying = LookedBack = StoreFailing = RecordFailing = FALSE;
    OpenLog[0] = EnteredWithRecord[0] = '\0';
    AsideCount = DeliveredCount = 0;
    Cursor = 0;
}
