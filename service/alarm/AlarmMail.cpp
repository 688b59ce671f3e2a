#include "service/alarm/AlarmMail.h"
#include "common/mail/MailLogFile.h"
#include "common/settings/StatusKey.h"
#include "service/core/CaptureStatus.h"
#include "service/core/ReportServiceEvent.h"
#include "service/core/ServiceState.h"
#include "service/mail/MailThread.h"
#include "service/mail/NoticeOutbox.h"
#include "service/mail/OutboxThread.h"

#include <stdio.h>
#include <string.h>

struct AlarmMailEntry {
    char Subject[ALARM_MAIL_SUBJECT_SIZE];
    char Text[ALARM_MAIL_TEXT_SIZE];
    ULONGLONG GiveUpAt, NextTry;     // tick counts
    ULONGLONG Since;                // UTC when it was queued (its first try)
    DWORD Tries;
    DWORD Kept;                     // its number in the outbox (0: not kept)
};

// The queue, oldest first; touched by the alarm thread, the reader and the
// mail thread, each for a moment under QueueLock (never across a mail).
static SRWLOCK QueueLock = SRWLOCK_INIT;
static AlarmMailEntry Queue[ALARM_MAIL_QUEUE];
static DWORD Queued;
static AlarmMailEntry Sending;      // mail thread only
// Kept mails that a full queue dropped: the mail thread forgets them.
static DWORD Dropped[ALARM_MAIL_QUEUE];
static DWORD DroppedCount;
static BOOL Enabled;
static HANDLE Wake;                 // auto reset: a mail was queued
static HANDLE MailerThread;
// Set while the start of the current silence was mailed; its beginning.
static volatile LONG StartMailed;
static ULONGLONG SilenceFrom;

static int SendAlarmMail(const char *subject, const char *text, int *forGood)
{
    int result = MailNotice(Params.SmtpServer, Params.SmtpFromAddress, Params.AlarmMailTo, &Params.Smtp, subject,
                            text);
    *forGood = result != Sent && !MailAccepted() && MailRefusedForGood();
    return MailAccepted() ? Sent : result;
}

AlarmMailer AlarmMailFunction = SendAlarmMail;

static void LocalText(ULONGLONG utc, char *text, size_t size)
{
    FILETIME time = {(DWORD)utc, (DWORD)(utc >> 32)}, local;
    SYSTEMTIME t;
    if (utc != 0 && FileTimeToLocalFileTime(&time, &local) && FileTimeToSystemTime(&local, &t))
        snprintf(text, size, "%04u-%02u-%02u %02u:%02u:%02u", t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute,
                 t.wSecond);
    else
        snprintf(text, size, "?");
}

static void Enqueue(const char *subject, const char *text, ULONGLONG since = UtcNowFiletime(), DWORD tries = 0,
                    DWORD kept = 0, ULONGLONG giveUpAt = 0)
{
    AcquireSRWLockExclusive(&QueueLock);
    if (Queued == ALARM_MAIL_QUEUE) {
        if (Queue[0].Kept != 0 && DroppedCount < ALARM_MAIL_QUEUE)
            Dropped[DroppedCount++] = Queue[0].Kept;
        memmove(Queue, Queue + 1, sizeof Queue[0] * (ALARM_MAIL_QUEUE - 1));
        Queued--;
    }
    AlarmMailEntry &entry = Queue[Queued++];
    memset(&entry, 0, sizeof entry);
    lstrcpynA(entry.Subject, subject, sizeof entry.Subject);
    lstrcpynA(entry.Text, text, sizeof entry.Text);
    entry.NextTry = 0;              // at once
    entry.GiveUpAt = giveUpAt;      // 0: an hour after the first try
    entry.Since = since;
    entry.Tries = tries;
    entry.Kept = kept;
    ReleaseSRWLockExclusive(&QueueLock);
    SetEvent(Wake);
}

void MailAlarmStarted(const char *alarmText)
{
    if (!Enabled)
        return;
    SilenceFrom = SilenceBeganAt();
    char since[32], line[STATUS_TAIL_SIZE], subject[ALARM_MAIL_SUBJECT_SIZE], text[ALARM_MAIL_TEXT_SIZE];
    LocalText(SilenceFrom, since, sizeof since);
    LastReceivedLine(line, sizeof line);
    snprintf(subject, sizeof subject, "Tallyline alarm: %s", alarmText);
    snprintf(text, sizeof text, "%s\n\nSilent since: %s\nLast line received: %s\n", alarmText, since,
             line[0] != '\0' ? line : "(none since the service started)");
    Enqueue(subject, text);
    InterlockedExchange(&StartMailed, 1);
}

void MailAlarmEnded()
{
    if (!InterlockedExchange(&StartMailed, 0))
        return;
    ULONGLONG now = UtcNowFiletime();
    ULONGLONG seconds = now > SilenceFrom && SilenceFrom != 0 ? (now - SilenceFrom) / FILETIME_PER_SECOND : 0;
    char since[32], subject[ALARM_MAIL_SUBJECT_SIZE], text[ALARM_MAIL_TEXT_SIZE];
    LocalText(SilenceFrom, since, sizeof since);
    snprintf(subject, sizeof subject, "Tallyline: %s receives data again", ServiceName);
    snprintf(text, sizeof text, "%s receives data again after %02llu:%02llu:%02llu of silence (silent since %s).\n",
             ServiceName, seconds / 3600, seconds / 60 % 60, seconds % 60, since);
    Enqueue(subject, text);
}

static BOOL Reporting() { return (Params.VerboseLevel & VERBOSE_MAIL) != 0; }

// With the outbox on, a mail that failed is kept there, so that a restart
// within its hour still sends it.
static void KeepSending(DWORD reason)
{
    if (Params.Mail.MailRetryHours == 0)
        return;
    DWORD kept = KeepNotice(Sending.Kept, Sending.Since, Sending.Tries, reason, Sending.Subject, Sending.Text);
    if (kept == 0 && Sending.Kept == 0 && Reporting())
        ReportServiceEvent("The mail \"%s\" cannot be kept in the mail outbox (error %lu); it is tried again "
                           "while the service runs", EVENTLOG_WARNING_TYPE, Sending.Subject, GetLastError());
    if (kept != 0)
        Sending.Kept = kept;
}

static void ReportGivingUp(const char *subject, DWORD result, DWORD tries)
{
    char reason[MAIL_REASON_SIZE];
    FormatMailReason(reason, sizeof reason, (int)result);
    if (Reporting())
        ReportServiceEvent("Gave up emailing \"%s\" to %s (reason: %s, tries: %lu)", EVENTLOG_ERROR_TYPE, subject,
                           Params.AlarmMailTo, reason, (unsigned long)tries);
}

// One try of the oldest mail; TRUE when it is done with (sent or given up).
static BOOL TryOldest(ULONGLONG now)
{
    if (Sending.GiveUpAt == 0)
        Sending.GiveUpAt = now + ALARM_MAIL_TRY_MS;
    int forGood = 0;
    int result = AlarmMailFunction(Sending.Subject, Sending.Text, &forGood);
    Sending.Tries++;
    char reason[MAIL_REASON_SIZE];
    FormatMailReason(reason, sizeof reason, result);
    if (result == Sent) {
        if (Reporting())
            ReportServiceEvent("Successfully emailed \"%s\" to %s", EVENTLOG_INFORMATION_TYPE, Sending.Subject,
                               Params.AlarmMailTo);
        ForgetNotice(Sending.Kept);
        return TRUE;
    }
    Sending.NextTry = now + OutboxRetryDelayMs(Sending.Tries);
    if (forGood || Sending.NextTry >= Sending.GiveUpAt) {
        ReportGivingUp(Sending.Subject, (DWORD)result, Sending.Tries);
        ForgetNotice(Sending.Kept);
        return TRUE;
    }
    KeepSending((DWORD)result);
    if (Sending.Tries == 1 && Reporting())
        ReportServiceEvent("Failed to email \"%s\" to %s (reason: %s); it is tried again for up to an hour",
                           EVENTLOG_ERROR_TYPE, Sending.Subject, Params.AlarmMailTo, reason);
    return FALSE;
}

// Forgets the kept mails that a full queue dropped.
static void ForgetDropped()
{
    DWORD dropped[ALARM_MAIL_QUEUE], count;
    AcquireSRWLockExclusive(&QueueLock);
    count = DroppedCount;
    memcpy(dropped, Dropped, sizeof dropped[0] * count);
    DroppedCount = 0;
    ReleaseSRWLockExclusive(&QueueLock);
    for (DWORD k = 0; k < count; k++)
        ForgetNotice(dropped[k]);
}

DWORD SendDueAlarmMails(ULONGLONG now)
{
    ForgetDropped();
    for (;;) {
        AcquireSRWLockExclusive(&QueueLock);
        BOOL waiting = Queued > 0;
        if (waiting)
            Sending = Queue[0];
        ReleaseSRWLockExclusive(&QueueLock);
        if (!waiting)
            return INFINITE;
        if (Sending.NextTry > now)
            return Sending.NextTry - now > 0xFFFFFFF0ULL ? 0xFFFFFFF0UL : (DWORD)(Sending.NextTry - now);
        // One mail at a time in the process; a stop waits for it.
        DWORD taken = WaitForSingleObject(MailMutex, INFINITE);
        if ((taken != WAIT_OBJECT_0 && taken != WAIT_ABANDONED) || ServiceStopping()) {
            if (taken == WAIT_OBJECT_0 || taken == WAIT_ABANDONED)
                ReleaseMutex(MailMutex);
            return INFINITE;
        }
        BOOL done = TryOldest(now);
        ReleaseMutex(MailMutex);
        // The queue moved on meanwhile only at its end (Enqueue) or, when
        // full, by dropping the oldest: the one just tried.
        AcquireSRWLockExclusive(&QueueLock);
        BOOL there = Queued > 0 && strcmp(Queue[0].Subject, Sending.Subject) == 0 &&
                     strcmp(Queue[0].Text, Sending.Text) == 0;
        if (there && done) {
            memmove(Queue, Queue + 1, sizeof Queue[0] * (Queued - 1));
            Queued--;
        } else if (there) {
            Queue[0].Tries = Sending.Tries;
            Queue[0].NextTry = Sending.NextTry;
            Queue[0].GiveUpAt = Sending.GiveUpAt;
            Queue[0].Kept = Sending.Kept;
        }
        ReleaseSRWLockExclusive(&QueueLock);
        // Dropped while it was tried: what was kept of it goes too.
        if (!there)
            ForgetNotice(Sending.Kept);
        // Not done: its wait shows at the next turn.
    }
}

static DWORD WINAPI AlarmMailThread(LPVOID)
{
    HANDLE wakes[2] = {StopEvent, Wake};
    for (;;) {
        DWORD wait = SendDueAlarmMails(GetTickCount64());
        DWORD woke = WaitForMultipleObjects(2, wakes, FALSE, wait);
        if (woke == WAIT_OBJECT_0 || woke == WAIT_FAILED || ServiceStopping())
            return 0;
    }
}

// A mail an earlier run kept: queued again with the rest of its hour, or
// given up when that has passed.
static void RequeueKept(DWORD number, ULONGLONG since, DWORD tries, DWORD reason, const char *subject,
                        const char *text)
{
    ULONGLONG now = UtcNowFiletime(), hour = ALARM_MAIL_TRY_MS * (FILETIME_PER_SECOND / 1000);
    // A first try ahead of the clock (set back, or the value edited) counts as
    // now: the hour never grows.
    if (since > now)
        since = now;
    if (now >= since + hour) {
        ReportGivingUp(subject, reason, tries);
        ForgetNotice(number);
        return;
    }
    ULONGLONG leftMs = (since + hour - now) / (FILETIME_PER_SECOND / 1000);
    Enqueue(subject, text, since, tries, number, GetTickCount64() + leftMs);
}

// Mails kept by an earlier run that this one cannot send.
static void DropKept(const char *why)
{
    DWORD dropped = TakeKeptNotices(NULL);
    if (dropped > 0)
        ReportServiceEvent("%lu alarm mail(s) kept in the mail outbox are not sent: %s", EVENTLOG_WARNING_TYPE,
                           (unsigned long)dropped, why);
}

int StartAlarmMail()
{
    if (Params.AlarmMailTo[0] == '\0') {
        DropKept("AlarmMailTo is not set");
        return 0;
    }
    if (Params.SmtpServer[0] == '\0' || Params.SmtpFromAddress[0] == '\0') {
        ReportServiceEvent("The alarm is not mailed to %s: the SMTP server and the from address must be set",
                           EVENTLOG_ERROR_TYPE, Params.AlarmMailTo);
        DropKept("the SMTP server and the from address must be set");
        return 0;
    }
    if (MailMutex == NULL)
        MailMutex = CreateMutexA(NULL, FALSE, NULL);
    if (Wake == NULL)
        Wake = CreateEventA(NULL, FALSE, FALSE, NULL);
    if (MailMutex != NULL && Wake != NULL && MailerThread == NULL)
        MailerThread = CreateThread(NULL, 0, AlarmMailThread, NULL, 0, NULL);
    if (MailerThread == NULL) {
        ReportServiceEvent("The alarm is not mailed to %s (error %lu)", EVENTLOG_ERROR_TYPE, Params.AlarmMailTo,
                           GetLastError());
        return 0;
    }
    Enabled = TRUE;
    TakeKeptNotices(RequeueKept);
    return 1;
}

void ResetAlarmMail()
{
    Queued = 0;
    DroppedCount = 0;
    StartMailed = 0;
    SilenceFrom = 0;
    Enabled = TRUE;
    if (Wake == NULL)
        Wake = CreateEventA(NULL, FALSE, FALSE, NULL);
}
