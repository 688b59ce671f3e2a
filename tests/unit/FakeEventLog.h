// Records what ReportServiceEvent hands to the event log: Wine shows neither
// the source name nor the event identifier, so unit tests look here.
#pragma once

#include <string>
#include <vector>

#include "service/core/ReportServiceEvent.h"

struct RecordedEvent {
    std::string Source;
    WORD Type;
    DWORD Id;
    WORD Strings;
    std::string Text;
};

inline std::vector<RecordedEvent> &RecordedEvents()
{
    static std::vector<RecordedEvent> events;
    return events;
}

inline std::string &LastRegisteredSource()
{
    static std::string source;
    return source;
}

inline HANDLE WINAPI FakeRegisterEventSource(LPCSTR, LPCSTR source)
{
    LastRegisteredSource() = source;
    return (HANDLE)1;
}

inline BOOL WINAPI FakeReportEvent(HANDLE, WORD type, WORD, DWORD id, PSID, WORD strings, DWORD,
                                   LPCSTR *texts, LPVOID)
{
    RecordedEvents().push_back({LastRegisteredSource(), type, id, strings, texts[0]});
    return TRUE;
}

inline BOOL WINAPI FakeDeregisterEventSource(HANDLE) { return TRUE; }

// Replaces the event-log calls for the lifetime of the object.
class FakeEventLog {
public:
    FakeEventLog() : saved(EventLog)
    {
        EventLog = {FakeRegisterEventSource, FakeReportEvent, FakeDeregisterEventSource};
        RecordedEvents().clear();
    }
    ~FakeEventLog() { EventLog = saved; }
    const std::vector<RecordedEvent> &Events() const { return RecordedEvents(); }

private:
    EventLogApi saved;
};
