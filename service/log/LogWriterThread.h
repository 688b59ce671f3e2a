// The writer thread: does every write, flush, swap, copy back and hold of the
// log (LogWriter.h) while the reader only reads its source. Others ask it
// for work through the requests below and never touch the open log
// themselves.
#pragma once

#include <windows.h>

// Starts the writer on the open log. Reports why on failure and returns 0.
int StartLogWriter();

// A rotation time came at local time `now`: the bytes of the open log's
// period go into the open file, the later ones into the file named for
// `now`. The writer also swaps by itself as soon as bytes arrive after the
// open log's period, into a file named for their arrival. A swap that cannot
// be done yet (bytes for the open file refused, or the file being made
// again) is tried again every second until it succeeds or another rotation
// time replaces it.
void RequestLogSwap(const SYSTEMTIME &now);
BOOL LogSwapPending();

// A pause: the writer writes and flushes what was queued so far (or gives up
// while writes are refused: they go on being tried), then writes nothing
// until ContinueLogWriter; the reader goes on queueing meanwhile. Returns the
// pause's number, which WaitForLogWriterPause waits for: true once the
// writer holds for that pause, false when `ms` passed first or a continue
// came.
DWORD PauseLogWriter();
BOOL WaitForLogWriterPause(DWORD pause, DWORD ms);
void ContinueLogWriter();

// A stop, once the reader has ended (or the queue was closed): the writer
// writes what is queued, finishes the file (reporting what it cannot
// write), closes it and ends. True once it has ended, false when `ms`
// passed first.
void EndLogWriter();
BOOL WaitForLogWriterEnd(DWORD ms);

// One turn of the writer: a due swap, the queued bytes, the log's care, a
// pause, an ended episode of driver losses. Returns how long until the next
// try or flush is due (INFINITE: none). The thread's body; unit tests run it
// directly.
DWORD ServeLogWriter();
