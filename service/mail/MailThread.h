// Mailing of finished log files: one mail thread per file closed by a
// rotation, mails one after another in rotation order.
#pragma once

#include <windows.h>

// One mutex for the life of the process, owned exactly while a mail runs
// (a mail thread's or the outbox's): mails go one at a time, and a stop
// waits for the one in progress.
extern HANDLE MailMutex;

// Exit code of a mail thread that a stop kept from mailing.
#define MAIL_NOT_SENT_AT_STOP 0xFFFF

// The mailer a mail thread calls: MailLogFile, replaceable so that unit tests
// can watch the order and overlap of mails.
typedef int (*MailFunction)(const char *path, const char *server, const char *from,
                            const char *to);
extern MailFunction MailLogFileFunction;

// Mails the finished log file whose path it is given with MailLogFile and the
// instance's SMTP values, and reports the result when VerboseLevel has 0x8.
// Its exit code is the MailResult. Started by StartMailThread only.
DWORD WINAPI MailThread(LPVOID path);

// Starts the mail of a finished log file. Returns once the thread holds its
// own copy of the path. Non-zero on success.
int StartMailThread(const char *finishedPath);

// The reason of a failed mail as its report gives it: the MailResult, and
// for a token that was not obtained, what the token server said.
#define MAIL_REASON_SIZE 512
void FormatMailReason(char *text, size_t size, int result);

// True when a mail is being sent right now (a stop then waits for it).
BOOL MailInProgress();

// Waits up to `ms` for the mail in progress to end. True when it has ended.
BOOL WaitForMail(DWORD ms);
