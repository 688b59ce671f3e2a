// What the reader reads: the instance's COM port (ComPort.h) or another
// source of bytes. The reader only calls these; each source owns its handles
// and closes them itself, so nothing is ever closed under a read in progress.
// A source reports its own failures and recoveries (it knows their words);
// the reader does the rest: silence, the alarm, the hand-over, pause and stop.
#pragma once

#include <windows.h>

enum SourceResult {
    SourceData,         // *count bytes came
    SourceQuiet,        // nothing came within the wait
    SourceLost,         // the source failed (reported): Reopen it until it is back
    SourceStopped       // the service stops (StopEvent); *count bytes came before it
};

struct CaptureSource {
    // Opens the source at start. Reports why and returns 0 when the service
    // cannot start with it.
    int (*Open)();
    // Waits at most waitMs for bytes, and no longer than StopEvent stays
    // clear; takes what came, up to `size`.
    SourceResult (*Read)(BYTE *buffer, DWORD size, DWORD waitMs, DWORD *count);
    // After SourceLost: one quiet try to get the source back (non-zero: back,
    // and said so).
    int (*Reopen)();
    // How long to wait before the try after `failures` failed ones.
    DWORD (*RetryDelayMs)(DWORD failures);
    // At stop: only what is already there, without waiting (0: nothing more).
    DWORD (*TakeWaiting)(BYTE *buffer, DWORD size);
    // At the reader's end: closes the source and reports what is still to report.
    void (*Close)();
    // Whether the source is there now (a port present, a peer connected).
    BOOL (*Connected)();
};

// The source of this instance; chosen by ServiceMain before capture begins.
extern const CaptureSource *Source;
