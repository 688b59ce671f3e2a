// The inactivity alarm: when the port has been silent for Timeout seconds the
// reader starts InactivityAlarmThread, which runs CustomTimeoutCmd and sends a
// pop-up to each name of NetSendUsers, once or every WarningInterval seconds,
// on the chosen weekdays and within the daily window, until data arrives.
#pragma once

#include <windows.h>
#include <stddef.h>
#include "common/settings/ServiceParameters.h"
#include "service/alarm/MessengerPopup.h"

// NetSendUsers split at its commas: at most one piece per character, plus one.
#define MAX_RECIPIENTS      NET_SEND_USERS_SIZE

// Whether an alarm that starts at local time `now` may act: its weekday's bit
// (0x40 >> wDayOfWeek) must be set in DayOfWeekMask, and the time must lie
// strictly inside the window (start < now < end at minute resolution). Only
// the stored whole-day window 0:00 to 24:00 skips the time test; any other
// window, also one that ends at 24:xx, takes the plain test, so a window
// whose end is not later than its start never lets the alarm act, nor does
// one with an hour or minute outside the clock's (EndHour up to 24).
int AlarmMayAct(const SYSTEMTIME *now, const ServiceParameters *params);

// "%s has not received data for %d seconds (TIMED OUT)", cut to fit `size`.
void FormatAlarmText(char *text, size_t size, const char *serviceName, DWORD timeout);

// Splits `list` (a private copy of NetSendUsers, changed in place) at every
// comma and stores the pieces in sending order, the last name first, into
// `names`. Blanks stay part of the names and empty pieces are kept as empty
// names. An empty list has no recipients. Returns the number of names.
size_t SplitRecipients(char *list, char *names[], size_t maxNames);

// What a cycle does, replaceable so that unit tests can watch the cycles.
struct AlarmActionApi {
    DWORD (*StartCommand)(const char *commandLine);
    void (*SendPopup)(const char *recipient, const char *text);
};
extern AlarmActionApi AlarmActions;

// The alarm's decision and cycles for a thread started at `now`; `ended` is
// the alarm's own end event. Returns 1 when the alarm did not act, 0 after
// its last cycle or when it was ended.
DWORD RunInactivityAlarm(const SYSTEMTIME *now, HANDLE ended);

// The thread routine; its argument is its own copy of the end event.
DWORD WINAPI InactivityAlarmThread(LPVOID endEvent);

// Called by the reader when a silence makes Timeout: starts a new alarm
// thread and keeps its handle.
void StartInactivityAlarm();

// The running alarm's thread, INVALID_HANDLE_VALUE when none (unit tests).
HANDLE AlarmThreadHandle();

// Ends the alarm of the current silence, if any, without waiting for it: from
// now on it starts no command and sends no pop-up. Called by the reader when
// data arrives and at stop.
void EndInactivityAlarm();
