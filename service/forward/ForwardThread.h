// The forwarder: a thread of its own that reads what the writer has written
// to the log files (never the capture queue) and sends every line, in
// order, to the syslog collector of ForwardTo. Capture never waits for it.
// Its place is saved at most a second apart (ForwardChain.h); after a
// connection fails it goes back to where it stood a second before, so a
// collector that dies loses nothing of what it was sent: lines may come
// twice, never not at all.
#pragma once

#include <windows.h>

// Waits before the n-th connection try after a failure (1, 2, 4 ... 60 s).
DWORD ForwardRetryDelayMs(DWORD failures);

// How long the forwarder rests once it is up to date before it looks again:
// a captured line reaches the collector within a second.
#define FORWARD_POLL_MS 200
// The least time between two saves of the place.
#define FORWARD_SAVE_MS 1000
// After a failure the forwarder goes back at least this far.
#define FORWARD_REWIND_MS 1000

// A stop waits this long for the forwarder: longer than its longest wait
// (a connect, a handshake or a send).
#define FORWARD_END_WAIT_MS 6000

// Starts the thread when ForwardTo names a collector; reports a ForwardTo
// that names none. Non-zero unless the thread could not be made.
int StartForwarder();

// At stop, after the writer: true once the forwarder has saved its place
// and ended (at once when it never ran), false when `ms` passed first.
BOOL WaitForForwarderEnd(DWORD ms);

// The thread; ends at the service's stop.
DWORD WINAPI ForwardThread(LPVOID);
