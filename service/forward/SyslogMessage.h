// One RFC 5424 message per captured line:
//   <PRI>1 TIMESTAMP HOSTNAME Tallyline PROCID - - MSG
// PRI the facility (local0 to local7) and severity informational; TIMESTAMP
// the line's local time with milliseconds and the local offset; HOSTNAME the
// machine's fully qualified name; PROCID the service's name; MSG the line as
// received, without its stamp and line end, without a BOM.
#pragma once

#include <windows.h>
#include <stddef.h>

// The longest message sent (header included, the octet count before it
// not): RFC 5425 and 6587 collectors must take 2,048 octets. A longer line
// goes as several messages, in order, each with the line's header.
#define SYSLOG_MESSAGE_LIMIT 2048
// "2026-12-07T23:48:08.052+01:00"
#define SYSLOG_TIMESTAMP_LENGTH 29
#define SYSLOG_SEVERITY_INFORMATIONAL 6
#define SYSLOG_APP_NAME "Tallyline"
// RFC 5424's longest HOSTNAME and PROCID.
#define SYSLOG_HOSTNAME_SIZE 256
#define SYSLOG_PROCID_SIZE 129

// The fixed part of every message of this instance: " HOSTNAME Tallyline
// PROCID - - ", and the priority.
struct SyslogHeader {
    DWORD Priority;
    char Tail[SYSLOG_HOSTNAME_SIZE + SYSLOG_PROCID_SIZE + 32];
    size_t TailLength;
};

// Builds the header of facility (16 to 23) for host and procid; characters
// RFC 5424 does not allow in them (outside 33 to 126) become '_', an empty
// one is "-".
void MakeSyslogHeader(SyslogHeader *header, DWORD facility, const char *host, const char *procid);

// The machine's fully qualified DNS name, or its plain name, or "-".
void LocalHostName(char *name, size_t size);

// The stamp a log line begins with ("2026-12-07 23:48:08.052: ", local
// time), checked digit by digit and range by range. Non-zero when data
// begins with one; *at receives its time.
int ParseLineStamp(const BYTE *data, size_t length, SYSTEMTIME *at);

// Minutes east of UTC at local time `local` (the offset of its own date:
// summer or winter time). Cached by the hour, as offsets change on the hour.
int LocalOffsetMinutes(const SYSTEMTIME &local);

// TIMESTAMP of local time `local` at offsetMinutes from UTC, terminated:
// "2026-12-07T23:48:08.052+01:00" (+00:00 for UTC).
void FormatSyslogTimestamp(const SYSTEMTIME &local, int offsetMinutes, char text[SYSLOG_TIMESTAMP_LENGTH + 1]);

// Writes "<PRI>1 TIMESTAMP" + Tail + msg into out (size bytes). Returns its
// length, or 0 when it does not fit.
size_t FormatSyslogMessage(const SyslogHeader *header, const char *timestamp, const BYTE *msg, size_t msgLength,
                           char *out, size_t size);

// The most bytes of a line one message of this header carries.
size_t SyslogMessageRoom(const SyslogHeader *header);
