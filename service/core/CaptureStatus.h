// The instance's live status: when data last came, how much came today and
// since the start, whether the source is there, a silence under way, the open
// log, what was lost, the outbox. Every part of the service reports its figure
// through one call here (interlocked, never waiting); a publisher thread writes
// the volatile Status key (common/settings/StatusKey.h) at most once a second,
// and only when something changed.
#pragma once

#include <windows.h>
#include <stddef.h>

// Bytes received, and handed to the capture at local time `arrival` (the
// reader only). Counts lines (a CR, or an LF not after a CR, ends one) and
// keeps the tail for LastReceivedLine.
void NoteDataReceived(const BYTE *data, DWORD count, const SYSTEMTIME &arrival);

// Received bytes the capture queue had no room for; losses and damage the
// port's driver reported.
void NoteLostBytes(DWORD count);
void NoteDriverErrors(DWORD count);

// The source is there (port open) or gone.
void NoteSourceConnected(BOOL connected);

// A silence beyond Timeout began (it began when the last byte came, or with
// the capture), or data ended it.
void NoteSilenceBegan();
void NoteSilenceEnded();

// Capture began or goes on after a pause: silence is measured from here.
void NoteCaptureResumed();

// The log file now open.
void NoteLogFile(const char *path);

// The outbox's count and when its oldest log was finished (UTC FILETIME, 0: none).
void NoteOutbox(DWORD count, ULONGLONG oldest);

// The last complete line received (printable characters; others as '.'),
// empty when none. For the alarm mail.
void LastReceivedLine(char *line, size_t size);

// When the silence under way began (UTC FILETIME), 0 when none.
ULONGLONG SilenceBeganAt();

// Opens the key afresh (what a run before left is dropped, but the last data
// and today's figures of the same day are kept) and starts the publisher.
// Failures are reported once and leave the service running without a status.
void StartStatusPublisher();

// At stop: ends the publisher and writes the final status.
void EndStatusPublisher();

// The key alone, as StartStatusPublisher opens it (unit tests publish by hand).
int OpenStatusKey();
void CloseStatusKey();

// One publication when something changed since the last; non-zero when it
// wrote (the publisher's step; unit tests call it).
int PublishStatus();

// Forgets every figure (unit tests).
void ResetCaptureStatus();

// How often the publisher looks for a change.
#define STATUS_PUBLISH_MS 1000
// The received bytes kept for LastReceivedLine.
#define STATUS_TAIL_SIZE 256
