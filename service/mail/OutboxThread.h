// Mail that retries (MailRetryHours > 0): every finished log enters the
// outbox before its mail starts, and one thread mails the outbox, oldest
// first, until the server accepts each log, refuses it for good, or its
// hours are over. Whatever is due goes over one connection, one transaction
// after another, and each log counts as delivered at the server's 250 to its
// message. After a failure of the server or the network the whole queue
// waits (1, 2, 4, 8, 15, 30 minutes, then every 30), so a server that is
// down is not hammered; a failure of one file (another program holds it, it
// changed since its parts were planned) sets that log aside with a wait of
// its own and the next goes on.
//
// The log being written is recorded in the outbox key before anything is
// written to it; a start that finds a recorded log whose period has passed
// (the service stopped or died while it was open) enters it.
#pragma once

#include <windows.h>

#include "common/mail/MailParts.h"

// Why a try failed, as far as the outbox is concerned.
enum OutboxFailure {
    FailureForNow = 0,      // the server or the network: the queue waits
    FailureRefused,         // the server refused the message for good (5xx to MAIL FROM, RCPT, DATA or it)
    FailureFileGone,        // the log is no longer there
    FailureTooLarge,        // larger than the server takes, and it cannot be cut to fit
    FailureFile             // this file only (it could not be opened or read): set aside
};

// Mails a log (part null) or one part of it; with a whole log too large for
// the server, plan receives its parts. Returns the MailResult (Sent when the
// server accepted the message, whatever came after) and sets *failure.
// OutboxEndFunction ends the connection the mails of one pass went over
// (wait: await the answer to QUIT). Replaceable, so that unit tests can play
// a server.
typedef int (*OutboxMailer)(const char *path, const MailPart *part, MailPlan *plan, int *failure);
typedef void (*OutboxEnder)(int wait);
extern OutboxMailer OutboxMailFunction;
extern OutboxEnder OutboxEndFunction;

// The wait of the queue after its n-th failure in a row (n >= 1), and of a
// log set aside after its n-th failure of its own.
DWORD OutboxRetryDelayMs(DWORD failures);

// What the queue does after MailOldestInOutbox.
enum OutboxStep {
    OutboxGoesOn = 0,       // sent, a part sent, cut into parts, set aside or given up: the next at once
    OutboxWaits,            // failed for now (or the outbox could not be changed): the queue waits
    OutboxIdle              // nothing is due
};

// One try of the oldest log that is due (MailMutex held); the thread's step.
int MailOldestInOutbox();

// Opens the outbox, once per run. With MailRetryHours 0 an outbox that
// still holds logs (retries were switched off while they waited) is opened
// too, and they are mailed once each, as without retries. Non-zero when it
// is open; otherwise finished logs are mailed once, and a failure to open
// it has been reported.
int OpenMailOutbox();

// Reports what waits and starts the thread that mails it. Non-zero on
// success.
int StartOutboxThread();

// A log was opened (at the start, or as the next at a rotation), before
// anything was written to it. With retries and rotation it is recorded; the
// log that was open until now (a rotation's finished log, or at the start a
// log an earlier run left open whose period has passed) is entered in the
// outbox in the same step, unless an entry for it waits already.
void OutboxLogOpened(const char *path);

// A finished log: entered in the outbox when retries are on (non-zero),
// else mailed once by a mail thread.
int MailFinishedLog(const char *path);

// The thread; ends at the service's stop, never in the middle of a mail.
DWORD WINAPI OutboxThread(LPVOID);

// Forgets what this run knows of the outbox (logs set aside, the open log,
// whether it was opened): for unit tests, which play several runs.
void ResetMailOutbox();
