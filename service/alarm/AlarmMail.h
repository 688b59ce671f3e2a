// The inactivity alarm by mail (AlarmMailTo): when a silence starts an alarm
// that acts (same days, window and Timeout as the command and pop-ups), one
// mail with the pop-up's text and the last line received; when data comes
// again, one more saying for how long it was silent. Never repeated at each
// WarningInterval. The mails go out on a thread of their own, holding
// MailMutex only while one is sent (the mail library is one call at a time),
// so neither the alarm's other actions nor the log's mails wait for them; one
// that fails is tried again for up to an hour, and with the outbox on it is
// kept there meanwhile, so that a restart still sends it.
#pragma once

#include <windows.h>

// How long a mail is tried, and how many can wait at once (a full queue drops
// the oldest: a flapping line must not grow it without end).
#define ALARM_MAIL_TRY_MS (60UL * 60 * 1000)
#define ALARM_MAIL_QUEUE 8
#define ALARM_MAIL_SUBJECT_SIZE 192
#define ALARM_MAIL_TEXT_SIZE 768

// At start: with AlarmMailTo set, prepares the queue (and MailMutex), or says
// once why the alarm cannot be mailed. Non-zero when alarms will be mailed.
int StartAlarmMail();

// The alarm of the current silence acts, with this pop-up text.
void MailAlarmStarted(const char *alarmText);

// Data came again: the end is mailed when the start was.
void MailAlarmEnded();

// Sends one alarm mail; replaceable so that unit tests play the server.
// Returns a MailResult; *forGood is set when the server refused it for good.
typedef int (*AlarmMailer)(const char *subject, const char *text, int *forGood);
extern AlarmMailer AlarmMailFunction;

// One pass over the queue at tick count `now` (GetTickCount64): sends what is
// due, oldest first (a failure holds the later ones back). Returns how long
// until the next try is due (INFINITE: nothing waits). The thread's step.
DWORD SendDueAlarmMails(ULONGLONG now);

// Forgets the queue and the silence (unit tests).
void ResetAlarmMail();
