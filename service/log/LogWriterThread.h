// The writer thread: does every write, flush, swap, copy back and hold of the
// log (LogWriter.h) while the reader only reads the port. Others ask it for
// work through the requests below and never touch the open log themselves.
#pragma once

#include <windows.h>

// Starts the writer on the open log. Reports why on failure and returns 0.
int StartLogWriter();

// A rotation time came at local time `now`: the bytes queued so far go into
// the open file, the next ones into the file named for `now`. A swap that
// cannot be done yet (bytes for the open file refused, or the file being
// made again) is tried again every second until it succeeds or another
// rotation time replaces it.
void RequestLogSwap(const SYSTEMTIME &now);
BOOL LogSwapPending();

// A pause: the writer writes and flushes what was handed over so far, or
// gives up while writes are refused (they go on being tried). True once
// done, false when `ms` passed first.
void RequestLogWriterSync();
BOOL WaitForLogWriterSync(DWORD ms);

// A stop, once the reader has ended: the writer writes what is queued,
// finishes the file (reporting what it cannot write), closes it and ends.
// True once it has ended, false when `ms` passed first.
void EndLogWriter();
BOOL WaitForLogWriterEnd(DWORD ms);

// One turn of the writer: a due swap, the queued bytes, the log's care, a
// wanted sync. Returns how long until the next try or flush is due
// (INFINITE: none). The thread's body; unit tests run it directly.
DWORD ServeLogWriter();
