#include "service/alarm/InactivityAlarm.h"
#include "service/alarm/MessengerPopup.h"
#include "service/core/CheckParameters.h"
#include "service/core/ServiceState.h"

#include <stdio.h>
#include <string.h>

AlarmActionApi AlarmActions = {StartAlarmCommand, SendMessengerPopup};

// The alarm of the current silence: its thread and its end event (NULL when
// none is running). Exchanged, never locked: the reader and a stop may end it
// at once. The thread works on its own duplicate of the event.
static struct AlarmState {
    HANDLE Thread;
    HANDLE EndEvent;
} Alarm = {INVALID_HANDLE_VALUE, NULL};

int AlarmMayAct(const SYSTEMTIME *now, const ServiceParameters *params)
{
    if (now->wDayOfWeek > 6 || (params->DayOfWeekMask & (0x40u >> now->wDayOfWeek)) == 0)
        return 0;
    BOOL wholeDay = params->StartHour == 0 && params->StartMin == 0 && params->EndHour == 24 &&
                    params->EndMin == 0;
    if (wholeDay)
        return 1;
    // Hours and minutes beyond the clock's (written by hand) make no window
    // that anyone meant: the alarm does not act rather than act at odd times.
    if (!AlarmWindowInRange(params->StartHour, params->StartMin, params->EndHour, params->EndMin))
        return 0;
    // Unsigned 32-bit arithmetic throughout, as the stored values are.
    DWORD minute = (DWORD)now->wHour * 100 + now->wMinute;
    DWORD start = params->StartHour * 100 + params->StartMin;
    DWORD end = params->EndHour * 100 + params->EndMin;
    return start < minute && minute < end;
}

void FormatAlarmText(char *text, size_t size, const char *serviceName, DWORD timeout)
{
    if (size == 0)
        return;
    snprintf(text, size, "%s has not received data for %d seconds (TIMED OUT)", serviceName,
             (int)timeout);
    text[size - 1] = '\0';
}

size_t SplitRecipients(char *list, char *names[], size_t maxNames)
{
    size_t count = 0;
    if (list[0] == '\0')
        return 0;
    // From the end towards the start: the text after each comma is the next
    // recipient, then the list is cut at that comma.
    for (size_t i = strlen(list); i > 0 && count < maxNames; i--) {
        if (list[i - 1] == ',') {
            names[count++] = list + i;
            list[i - 1] = '\0';
        }
    }
    if (count < maxNames)
        names[count++] = list;
    return count;
}

// Whether the alarm has been ended, by data or by the service's stop. A wait
// that fails counts as an end: an alarm that cannot tell must not act.
static BOOL AlarmEnded(HANDLE ended)
{
    HANDLE events[2] = {ended, StopEvent};
    return WaitForMultipleObjects(2, events, FALSE, 0) != WAIT_TIMEOUT;
}

// Sleeps the interval between cycles. FALSE when the alarm was ended meanwhile.
static BOOL SleepUnlessEnded(HANDLE ended, DWORD seconds)
{
    HANDLE events[2] = {ended, StopEvent};
    ULONGLONG remaining = (ULONGLONG)seconds * 1000;
    do {
        // Intervals beyond one wait (about 24 days) are slept in parts.
        DWORD part = remaining > 0x7FFFFFFF ? 0x7FFFFFFF : (DWORD)remaining;
        if (WaitForMultipleObjects(2, events, FALSE, part) != WAIT_TIMEOUT)
            return FALSE;
        remaining -= part;
    } while (remaining > 0);
    return TRUE;
}

DWORD RunInactivityAlarm(const SYSTEMTIME *now, HANDLE ended)
{
    if (!AlarmMayAct(now, &Params))
        return 1;

    char text[ALARM_TEXT_SIZE];
    FormatAlarmText(text, sizeof text, ServiceName, Params.Timeout);

    for (;;) {
        if (AlarmEnded(ended))
            return 0;
        if (Params.CustomTimeoutCmd[0] != '\0')
            AlarmActions.StartCommand(Params.CustomTimeoutCmd);

        if (Params.NetSendUsers[0] != '\0') {
            // A fresh copy each cycle: every cycle reaches every recipient.
            char list[NET_SEND_USERS_SIZE];
            char *names[MAX_RECIPIENTS];
            lstrcpynA(list, Params.NetSendUsers, sizeof list);
            size_t count = SplitRecipients(list, names, MAX_RECIPIENTS);
            for (size_t i = 0; i < count; i++) {
                if (AlarmEnded(ended))
                    return 0;
                AlarmActions.SendPopup(names[i], text);
            }
        }

        if (Params.WarningInterval == 0)
            return 0;
        if (!SleepUnlessEnded(ended, Params.WarningInterval))
            return 0;
    }
}

DWORD WINAPI InactivityAlarmThread(LPVOID endEvent)
{
    HANDLE ended = (HANDLE)endEvent;
    SYSTEMTIME now;
    GetLocalTime(&now);
    DWORD result = RunInactivityAlarm(&now, ended);
    CloseHandle(ended);
    return result;
}

void StartInactivityAlarm()
{
    HANDLE ended = CreateEventA(NULL, TRUE, FALSE, NULL);
    if (ended == NULL)
        return;
    // The thread gets a handle of its own, so whoever ends the alarm can
    // close theirs at once without waiting for the thread.
    HANDLE threadCopy;
    if (!DuplicateHandle(GetCurrentProcess(), ended, GetCurrentProcess(), &threadCopy, 0, FALSE,
                         DUPLICATE_SAME_ACCESS)) {
        CloseHandle(ended);
        return;
    }
    HANDLE thread = CreateThread(NULL, 0, InactivityAlarmThread, threadCopy, 0, NULL);
    if (thread == NULL) {
        CloseHandle(threadCopy);
        CloseHandle(ended);
        return;
    }
    InterlockedExchangePointer(&Alarm.EndEvent, ended);
    InterlockedExchangePointer(&Alarm.Thread, thread);
}

void EndInactivityAlarm()
{
    // Exchanged, so that the reader and a stop that overtook it never close
    // the same handle twice.
    HANDLE ended = InterlockedExchangePointer(&Alarm.EndEvent, NULL);
    if (ended != NULL) {
        SetEvent(ended);
        CloseHandle(ended);
    }
    HANDLE thread = InterlockedExchangePointer(&Alarm.Thread, INVALID_HANDLE_VALUE);
    if (thread != INVALID_HANDLE_VALUE && thread != NULL)
        CloseHandle(thread);
}

HANDLE AlarmThreadHandle() { return Alarm.Thread; }
