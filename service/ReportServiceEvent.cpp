#include "ReportServiceEvent.h"
#include "ServiceState.h"

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

int FormatConfigurationReport(char *buffer, size_t size)
{
    const ServiceParameters &p = Params;
    DWORD days = p.DayOfWeekMask;
    int length = snprintf(buffer, size,
        "\r\n\r\n"
        "---Configuration---\r\n"
        "Service Name: %s\r\n"
        "Port: %s\r\n"
        "Log File: %s\r\n"
        "Log Rotation: %s\r\n"
        "Baud Rate: %d\r\n"
        "Byte Size: %d\r\n"
        "Parity: %s\r\n"
        "Stop Bits: %s\r\n"
        "Net Send Users: %s\r\n"
        "Custom Timeout Command: %s\r\n"
        "Timeout: %d seconds\r\n"
        "Warning Interval: %d seconds\r\n"
        "Day Of Week Mask: %s%s%s%s%s%s%s\r\n"
        "Start Time: %d:%.02d\r\n"
        "End Time: %d:%.02d\r\n"
        "Verbose Level: 0x%x\r\n"
        "Pause Timeout: %lu milliseconds\r\n"
        "Internal Com Buffer Size: %d bytes\r\n"
        "SMTP Server: %s\r\n"
        "SMTP From Address: %s\r\n"
        "SMTP To Addresses: %s\r\n"
        "Timestamp Format: %d\r\n",
        ServiceName, p.PortName, p.LogFilename, LogRotationName(p.LogRotation),
        (int)p.BaudRate, (int)p.ByteSize, ParityName(p.Parity), StopBitsName(p.StopBits),
        p.NetSendUsers, p.CustomTimeoutCmd, (int)p.Timeout, (int)p.WarningInterval,
        (days & 0x40) ? "Sun" : "", (days & 0x20) ? "Mon" : "", (days & 0x10) ? "Tue" : "",
        (days & 0x08) ? "Wed" : "", (days & 0x04) ? "Thu" : "", (days & 0x02) ? "Fri" : "",
        (days & 0x01) ? "Sat" : "",
        (int)p.StartHour, (int)p.StartMin, (int)p.EndHour, (int)p.EndMin,
        (unsigned)p.VerboseLevel, (unsigned long)p.PauseTimeout, (int)p.ComBufferSize,
        p.SmtpServer, p.SmtpFromAddress, p.SmtpToAddress, (int)p.TimestampFormat);
    if (size > 0)
        buffer[size - 1] = '\0';
    if (length < 0)
        return 0;
    return (size_t)length < size ? length : (int)size - 1;
}
