// Mail that retries (MailRetryHours > 0): every finished log enters the
// outbox before its mail starts, and one thread mails the outbox, oldest
// first, one log at a time, until the server accepts each, refuses it for
// good, or its hours are over. After a failure the whole queue waits (1, 2,
// 4, 8, 15, 30 minutes, then every 30), so a server that is down is not
// hammered; a success goes straight on to the next log.
#pragma once

#include <windows.h>

#include "common/mail/MailParts.h"

// Why a try failed, as far as the outbox is concerned.
enum OutboxFailure {
    FailureForNow = 0,      // the server or the network: tried again
    FailureRefused,         // the server refused the message for good (5xx to MAIL FROM, RCPT, DATA or it)
    FailureFileGone,        // the log is no longer there
    FailureTooLarge         // larger than the server takes, and it cannot be cut to fit
};

// Mails a log (part null) or one part of it; with a whole log too large for
// the server, plan receives its parts. Returns the MailResult (Sent also when
// the server accepted the message and only the QUIT after it failed) and
// sets *failure. Replaceable, so that unit tests can play a server.
typedef int (*OutboxMailer)(const char *path, const MailPart *part, MailPlan *plan, int *failure);
extern OutboxMailer OutboxMailFunction;

// The wait of the queue after its n-th failure in a row (n >= 1).
DWORD OutboxRetryDelayMs(DWORD failures);

// What the queue does after MailOldestInOutbox.
enum OutboxStep {
    OutboxGoesOn = 0,       // sent, a part sent, cut into parts, or given up: the next at once
    OutboxWaits,            // failed for now (or the outbox could not be changed): the queue waits
    OutboxIdle              // nothing waits
};

// One try of the oldest log waiting (MailMutex held); the thread's step.
int MailOldestInOutbox();

// Opens the outbox (before the capture starts: a rotation may come at once).
// Non-zero when it is open; otherwise finished logs are mailed once, as
// without retries, and the reason has been reported.
int OpenMailOutbox();

// Reports what waits and starts the thread that mails it. Non-zero on
// success.
int StartOutboxThread();

// A finished log: entered in the outbox when it is open (non-zero), else
// mailed once by a mail thread.
int MailFinishedLog(const char *path);

// The thread; ends at the service's stop, never in the middle of a mail.
DWORD WINAPI OutboxThread(LPVOID);
