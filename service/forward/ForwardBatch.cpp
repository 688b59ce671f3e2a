#include "service/forward/ForwardBatch.h"
#include "service/capture/Timestamp.h"

#include <stdio.h>
#include <string.h>

void StartLineCursor(LineCursor *cursor, BOOL stamps)
{
    memset(cursor, 0, sizeof *cursor);
    cursor->Stamps = stamps;
}

void ClearBatch(ForwardBatch *batch, int datagrams)
{
    batch->Datagrams = datagrams;
    batch->Length = 0;
    batch->Count = 0;
    batch->Lines = 0;
}

// Appends one message; 0 when the batch has no room for it.
static int AddMessage(ForwardBatch *batch, const SyslogHeader *header, const SYSTEMTIME &time, const BYTE *msg,
                      size_t length)
{
    if (batch->Count >= FORWARD_BATCH_MESSAGES)
        return 0;
    char timestamp[SYSLOG_TIMESTAMP_LENGTH + 1];
    FormatSyslogTimestamp(time, LocalOffsetMinutes(time), timestamp);
    // Room for the octet count ("2048 ") in front, written once its length is known.
    const size_t countRoom = batch->Datagrams ? 0 : 6;
    if (batch->Length + countRoom >= sizeof batch->Data)
        return 0;
    char *at = batch->Data + batch->Length + countRoom;
    size_t size =
        FormatSyslogMessage(header, timestamp, msg, length, at, sizeof batch->Data - batch->Length - countRoom);
    if (size == 0)
        return 0;
    if (!batch->Datagrams) {
        char count[8];
        int digits = snprintf(count, sizeof count, "%u ", (unsigned)size);
        memmove(batch->Data + batch->Length + digits, at, size);
        memcpy(batch->Data + batch->Length, count, (size_t)digits);
        size += (size_t)digits;
    }
    batch->Length += size;
    batch->Ends[batch->Count++] = batch->Length;
    return 1;
}

size_t TakeLines(LineCursor *cursor, const BYTE *data, size_t length, BOOL finished, const SYSTEMTIME &readTime,
                 const SyslogHeader *header, ForwardBatch *batch)
{
    const size_t room = SyslogMessageRoom(header);
    size_t taken = 0;
    while (taken < length) {
        const BYTE *line = data + taken;
        size_t left = length - taken;
        size_t skip = 0;            // a stamp at the line's start
        if (!cursor->InLine) {
            SYSTEMTIME stamp;
            if (cursor->Stamps && ParseLineStamp(line, left, &stamp)) {
                cursor->LastStamp = stamp;
                cursor->HaveLastStamp = TRUE;
                skip = TIMESTAMP_LENGTH;
            }
            cursor->LineTime = cursor->HaveLastStamp ? cursor->LastStamp : readTime;
        }
        size_t end = skip;
        while (end < left && end - skip < room && line[end] != '\r' && line[end] != '\n')
            end++;
        BOOL ended = end < left && (line[end] == '\r' || line[end] == '\n');
        BOOL full = end - skip >= room;
        // A line whose end has not come yet waits for it, unless it fills a
        // message already or the file is complete.
        if (!ended && !full && !finished)
            break;
        size_t msgLength = end - skip;
        if (msgLength > 0 && !AddMessage(batch, header, cursor->LineTime, line + skip, msgLength))
            break;
        // Empty lines carry nothing and are left out; the end of a line whose
        // pieces went out ends it.
        BOOL counts = msgLength > 0 || cursor->InLine;
        BOOL lineDone = ended || (finished && end >= left);
        if (lineDone && counts)
            batch->Lines++;
        cursor->InLine = !lineDone;
        if (ended)
            end++;
        taken += end;
    }
    return taken;
}
