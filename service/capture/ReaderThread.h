// Serial capture: the reader thread. It only reads the port and hands each
// chunk, with the local time of its arrival, to the capture queue
// (CaptureQueue.h); the writer thread does all disk work.
#pragma once

#include <windows.h>
#include "service/capture/CaptureQueue.h"

// The most bytes the reader takes from the driver at a time.
#define READ_CHUNK_SIZE 4096

// Reads the port and hands every byte over until stop. What waits in the
// driver when the stop comes is read and handed over before it ends.
DWORD WINAPI ReaderThread(LPVOID);

// Pause and continue: the reader stops between chunks and goes on from there.
void HoldReader();
void ReleaseReader();

// A read that times out this much short of Timeout still counts as the
// whole silence (time-outs are not exact to the millisecond).
#define SILENCE_SLACK_MS 100

// How often a vanished port is tried again.
#define PORT_RETRY_MS 3000

// How long the reader waits at stop for the bytes the driver already holds.
#define STOP_DRAIN_MS 1000
