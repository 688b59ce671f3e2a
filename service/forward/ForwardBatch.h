// Lines of a log file made into syslog messages, gathered into one batch to
// send: over a stream each message framed by its octet count (RFC 6587
// "LEN SP MSG"), over UDP each one datagram. The batch tells how far into
// the file its messages reach, so the forwarder's place moves only past
// what went out.
#pragma once

#include <windows.h>
#include <stddef.h>

#include "service/forward/SyslogMessage.h"

#define FORWARD_BATCH_SIZE 65536
#define FORWARD_BATCH_MESSAGES (FORWARD_BATCH_SIZE / 32)

struct ForwardBatch {
    int Datagrams;                          // UDP: no octet counts
    char Data[FORWARD_BATCH_SIZE];
    size_t Length;
    size_t Ends[FORWARD_BATCH_MESSAGES];    // end of each message in Data
    int Count;
    DWORD Lines;                            // lines completed by the messages
};

// Where reading a log file stands between two reads.
struct LineCursor {
    BOOL Stamps;            // TimestampFormat: lines begin with their stamp
    BOOL InLine;            // the next byte continues a line whose start went out
    SYSTEMTIME LineTime;    // the time of that line
    BOOL HaveLastStamp;
    SYSTEMTIME LastStamp;   // the last stamp seen, for lines without their own
};

// A cursor at the start of a file, or anywhere in one (restart, rewind):
// the bytes there begin a line.
void StartLineCursor(LineCursor *cursor, BOOL stamps);

void ClearBatch(ForwardBatch *batch, int datagrams);

// Makes messages of data (bytes of the file from the cursor on) into batch
// until it is full: every complete line, and of a longer line every piece
// as long as a message carries; empty lines are left out. A line's end is CR
// or LF. With `finished` (the file is complete) a last line without its end
// goes too. readTime is the time of a line without a stamp of its own when
// the file has none before it. Returns the bytes taken: the cursor stands
// after them.
size_t TakeLines(LineCursor *cursor, const BYTE *data, size_t length, BOOL finished, const SYSTEMTIME &readTime,
                 const SyslogHeader *header, ForwardBatch *batch);
