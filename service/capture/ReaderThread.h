// Capture: the reader thread. It only reads the instance's source
// (CaptureSource.h) and hands each chunk, with the local time of its
// arrival, to the capture queue (CaptureQueue.h); the writer thread does all
// disk work.
#pragma once

#include <windows.h>

// The most bytes the reader takes from its source at a time.
#define READ_CHUNK_SIZE 4096

// Reads the source and hands every byte over until stop, a pause or not
// (the writer holds during a pause; the capture queue keeps what comes). What
// the source already holds when the stop comes is read and handed over
// before it ends; then it closes the source.
DWORD WINAPI ReaderThread(LPVOID);

// Starts the reader on the open source. Reports why on failure and returns 0.
int StartReader();

// Waits up to `ms` for the reader to end. True when it has ended (or never ran).
BOOL WaitForReaderEnd(DWORD ms);

// Pause and continue: the reader reads on, but its watch for silence stands
// still (a pause is no silence).
void PauseReader();
void ContinueReader();

// While data flows in small pieces, the next read waits until half a chunk
// is due at the pace the last read showed, but no longer than this, so that
// what comes meanwhile is taken in one wake: a wake per line is what a busy
// line costs most (every read is several round trips to the system). A line
// that begins while the reader waits is stamped at most this much after its
// first byte came; one after a quiet spell is stamped at once. A source
// faster than that is read again at once, so the gathering never holds it up.
#define READ_GATHER_MS 50

// How long to wait before the next read after one that brought `count` bytes
// in `spanUs` microseconds since the read before it returned.
DWORD ReadGatherMs(DWORD count, ULONGLONG spanUs);

// A read that times out this much short of Timeout still counts as the
// whole silence (time-outs are not exact to the millisecond).
#define SILENCE_SLACK_MS 100
