// Serial capture: the reader thread and the line-start rule.
#pragma once

#include <windows.h>

// True when the next byte begins a line. Set when the reader starts and kept
// across rotations.
extern BOOL LineStart;

// Writes received bytes to the log, each line preceded by a timestamp
// (TimestampFormat not 0) before its first byte. A carriage return ends a
// line; line feeds at the start of a line are written unstamped. The bytes
// are written, or held while the log cannot be written (LogWriter.h), when
// it returns. Called with LogLock held.
void CaptureBytes(const BYTE *data, DWORD count);
void CaptureByte(BYTE b);

// The most bytes the reader takes from the driver at a time.
#define READ_CHUNK_SIZE 4096

// Reads the port one byte at a time and captures every byte until stop.
DWORD WINAPI ReaderThread(LPVOID);

// Pause and continue: the reader stops between bytes and goes on from there.
void HoldReader();
void ReleaseReader();

// A read that times out this much short of Timeout still counts as the
// whole silence (time-outs are not exact to the millisecond).
#define SILENCE_SLACK_MS 100

// How often a vanished port is tried again.
#define PORT_RETRY_MS 3000
