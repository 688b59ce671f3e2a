#include "service/core/ReportServiceEvent.h"
#include "service/core/ServiceState.h"

#include <stdarg.h>
#include <stdio.h>

#define EVENT_TEXT_SIZE 4096

EventLogApi EventLog = {RegisterEventSourceA, ReportEventA, DeregisterEventSource};

void ReportServiceEvent(const char *format, WORD type, ...)
{
    if (ParametersRead ? Params.VerboseLevel == 0 : type != EVENTLOG_ERROR_TYPE)
        return;

    char text[EVENT_TEXT_SIZE];
    va_list args;
    va_start(args, type);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    text[sizeof text - 1] = '\0';

    HANDLE source = EventLog.Register(NULL, ServiceName);
    if (source == NULL)
        return;
    LPCSTR strings[1] = {text};
    EventLog.Report(source, type, 0, EVENT_IDENTIFIER, NULL, 1, 0, strings, NULL);
    EventLog.Deregister(source);
}
