// The road of a byte from the reader to the writer: one fixed, bounded buffer
// of received bytes in the order they came, each line preceded by the stamp
// of its arrival (TimestampFormat not 0), and the arrival second of every
// chunk. The reader only copies into it and so never waits for the disk (nor
// for a pause); the writer writes from it, and what the disk refuses stays
// in it until it can be written. The queue's lock guards only the ring and
// its counts, and is held only for a moment, never across I/O.
#pragma once

#include <windows.h>

// What a full or slow disk, or a pause, can hold back: about 90 seconds of a
// 115200-baud line running flat out, hours of a call-record printer. Beyond
// it received bytes are dropped, counted and reported. A power of two.
#define CAPTURE_QUEUE_SIZE (1024 * 1024)

// Queues bytes that arrived at local time `arrival`, a timestamp before each
// line's first byte: a carriage return ends a line, line feeds at the start
// of a line stay unstamped. A byte (with its stamp) that finds no room is
// dropped and counted, and the next kept byte begins a line of its own: no
// stamp is cut and no two lines are joined. FALSE (and the bytes counted as
// lost) once the queue is closed.
BOOL CaptureBytes(const BYTE *data, DWORD count, const SYSTEMTIME &arrival);

// Bytes were lost or time passed unseen before the next ones (the source
// went and came back, its driver overran): the next byte begins a line of
// its own, with its own stamp, even a line feed.
void MarkCaptureGap();

// A stop that gave up waiting for the reader: from now on nothing more is
// queued, so the writer's last write is the last; what the reader still
// hands over is counted (ForgetRefused).
void CloseCaptureQueue();
ULONGLONG ForgetRefused();

// The writer's side. Positions count every byte ever queued.
ULONGLONG QueuedPosition();      // the end of what is queued
ULONGLONG WrittenPosition();     // the end of what has left the queue
// The position of the first queued byte that arrived at LocalSeconds
// `boundary` or later (QueuedPosition when none did), and that byte's
// arrival second in *arrival. Queued bytes are split there at a rotation.
ULONGLONG QueuedPositionFrom(ULONGLONG boundary, ULONGLONG *arrival);
// The oldest queued bytes as one run (up to the end of the ring); its length.
DWORD PeekQueued(const BYTE **data);
// The writer wrote `count` of them: they leave the queue.
void TakeQueued(DWORD count);
// Received bytes (stamps not counted) still queued, and received bytes
// dropped since ForgetDropped last counted them.
ULONGLONG QueuedReceivedBytes();
ULONGLONG DroppedBytes();
ULONGLONG ForgetDropped();

// How long the writer lets bytes gather while data flows before it writes
// them: one write for many reads, and the log still current within a blink.
// A queue filling up is written at once.
#define WRITE_GATHER_MS 250

// Wakes the writer (a request for it, or bytes to write).
void WakeWriter();
// The writer waits at most `ms` for something to do: a request, or a queue
// filling up. While not `gathering`, with nothing queued, the reader's next
// bytes wake it too; after a write they gather for a while instead, and so
// do bytes found queued already (they came while it was busy: the reader
// wakes only an idle writer), never longer than WRITE_GATHER_MS. A writer
// that `holds` (a pause) is woken only by requests and a queue filling up.
void AwaitWork(DWORD ms, BOOL gathering, BOOL holds);

// Creates the writer's wake-up event. Non-zero on success.
int CreateCaptureQueue();

// Empties the queue and forgets its counts; the next byte begins a line
// (unit tests).
void ResetCaptureQueue();
