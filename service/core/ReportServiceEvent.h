// The service's one way of writing to the Windows event log.
#pragma once

#include <windows.h>
#include <stddef.h>

// Formats one message (at most 4095 characters; longer texts are cut) and
// writes it as one event under ServiceName, identifier EVENT_IDENTIFIER, with
// the text as the single insertion string. Nothing is written when
// VerboseLevel is 0. Before the parameters have been read VerboseLevel is
// unknown: errors are then written (an instance that cannot even read its
// registry must say so) and other kinds are not.
void ReportServiceEvent(const char *format, WORD type, ...);

// The event-log calls, replaceable so that unit tests can see the source
// name, type and identifier, which Wine does not show.
struct EventLogApi {
    HANDLE (WINAPI *Register)(LPCSTR server, LPCSTR source);
    BOOL (WINAPI *Report)(HANDLE source, WORD type, WORD category, DWORD id,
                          PSID user, WORD strings, DWORD dataSize,
                          LPCSTR *texts, LPVOID data);
    BOOL (WINAPI *Deregister)(HANDLE source);
};
extern EventLogApi EventLog;
