#include "common/mail/MailLogFile.h"
#include "common/oauth/OAuthToken.h"

#include "service/mail/MailThread.h"
#include "service/core/ReportServiceEvent.h"
#include "service/core/ServiceState.h"

#include <stdio.h>
#include <string.h>

// MailLogFile works on process-wide state, and a stop must be able to wait
// for the one mail that is running. So each mail thread first waits for the
// thread started before it (mails go out in rotation order), then owns
// MailMutex for its whole mail. MailMutex is one mutex for the life of the
// process: a stop never waits on a handle that a finished mail has closed,
// and the mutex is owned exactly while a mail runs.

HANDLE MailMutex;

// The hand-over from StartMailThread to the new thread (the writer thread only).
static char HandedPath[LOG_PATH_SIZE];
static HANDLE HandedPredecessor;
static HANDLE PathTaken;            // auto reset: the new thread has its copy
static HANDLE LastMail;             // the mail thread started last

// A log too large for one message goes out in parts, one after another;
// what became of them, for the report (mail threads run one at a time).
static MailPlan Plan;
static DWORD FailedPart;

static int CallMailLogFile(const char *path, const char *server, const char *from,
                           const char *to)
{
    return MailLogInFull(path, server, from, to, &Params.Smtp, Params.Mail.MailAttachment, &Plan,
                         &FailedPart);
}

MailFunction MailLogFileFunction = CallMailLogFile;

static void CopyPath(char *to, const char *from)
{
    size_t length = strnlen(from, LOG_PATH_SIZE - 1);
    memcpy(to, from, length);
    to[length] = '\0';
}

void FormatMailReason(char *text, size_t size, int result)
{
    if (result == AccessTokenNotObtained)
        // The token server's own words say what to fix (a secret expired,
        // a permission missing).
        snprintf(text, size, "%d, access token not obtained%s%s", result,
                 AccessTokenFailure()[0] != '\0' ? ": " : "", AccessTokenFailure());
    else
        snprintf(text, size, "%d", result);
}

static void ReportMailResult(const char *path, int result)
{
    if (!(Params.VerboseLevel & VERBOSE_MAIL))
        return;
    unsigned long parts = Plan.Count;
    char reason[MAIL_REASON_SIZE];
    FormatMailReason(reason, sizeof reason, result);
    if (result == Sent && parts > 0)
        ReportServiceEvent("Successfully emailed logfile %s in %lu parts", EVENTLOG_INFORMATION_TYPE, path,
                           parts);
    else if (result == Sent)
        ReportServiceEvent("Successfully emailed logfile %s", EVENTLOG_INFORMATION_TYPE, path);
    else if (parts > 0)
        ReportServiceEvent("Failed to email part %lu of %lu of logfile %s (reason: %s)", EVENTLOG_ERROR_TYPE,
                           (unsigned long)FailedPart, parts, path, reason);
    else
        ReportServiceEvent("Failed to email logfile %s (reason: %s)", EVENTLOG_ERROR_TYPE, path, reason);
}

DWORD WINAPI MailThread(LPVOID path)
{
    char ownPath[LOG_PATH_SIZE];
    CopyPath(ownPath, (const char *)path);
    HANDLE predecessor = HandedPredecessor;
    SetEvent(PathTaken);

    if (predecessor != NULL) {
        WaitForSingleObject(predecessor, INFINITE);
        CloseHandle(predecessor);
    }
    DWORD taken = WaitForSingleObject(MailMutex, INFINITE);
    if (taken != WAIT_OBJECT_0 && taken != WAIT_ABANDONED)
        return MAIL_NOT_SENT_AT_STOP;
    // A mail that has not begun when the service stops is not begun: the
    // stop waits only for the one in progress. The file stays on disk.
    if (WaitForSingleObject(StopEvent, 0) == WAIT_OBJECT_0) {
        ReleaseMutex(MailMutex);
        return MAIL_NOT_SENT_AT_STOP;
    }
    int result = MailLogFileFunction(ownPath, Params.SmtpServer, Params.SmtpFromAddress,
                                     Params.SmtpToAddress);
    ReportMailResult(ownPath, result);
    ReleaseMutex(MailMutex);
    return (DWORD)result;
}

static int CreateMailSynchronisation()
{
    if (MailMutex == NULL)
        MailMutex = CreateMutexA(NULL, FALSE, NULL);
    if (PathTaken == NULL)
        PathTaken = CreateEventA(NULL, FALSE, FALSE, NULL);
    return MailMutex != NULL && PathTaken != NULL;
}

int StartMailThread(const char *finishedPath)
{
    if (!CreateMailSynchronisation()) {
        ReportServiceEvent("Failed to email logfile %s (the mail could not be started, error %lu)",
                           EVENTLOG_ERROR_TYPE, finishedPath, GetLastError());
        return 0;
    }
    CopyPath(HandedPath, finishedPath);
    HandedPredecessor = LastMail;
    HANDLE thread = CreateThread(NULL, 0, MailThread, HandedPath, 0, NULL);
    if (thread == NULL) {
        ReportServiceEvent("Failed to email logfile %s (the mail could not be started, error %lu)",
                           EVENTLOG_ERROR_TYPE, finishedPath, GetLastError());
        return 0;
    }
    // Until the thread has its copy, HandedPath and HandedPredecessor are its.
    HANDLE handOver[2] = {PathTaken, thread};
    WaitForMultipleObjects(2, handOver, FALSE, INFINITE);
    LastMail = thread;          // the next mail waits for this one, then closes it
    return 1;
}

BOOL MailInProgress()
{
    if (MailMutex == NULL)
        return FALSE;
    DWORD state = WaitForSingleObject(MailMutex, 0);
    if (state == WAIT_OBJECT_0 || state == WAIT_ABANDONED) {
        ReleaseMutex(MailMutex);
        return FALSE;
    }
    return state == WAIT_TIMEOUT;
}

BOOL WaitForMail(DWORD ms)
{
    if (MailMutex == NULL)
        return TRUE;
    DWORD state = WaitForSingleObject(MailMutex, ms);
    if (state == WAIT_OBJECT_0 || state == WAIT_ABANDONED) {
        ReleaseMutex(MailMutex);
        return TRUE;
    }
    return state != WAIT_TIMEOUT;
}
