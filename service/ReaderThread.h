// Serial capture: the reader thread and the line-start rule.
#pragma once

#include <windows.h>

// True when the next byte begins a line. Set when the reader starts and kept
// across rotations.
extern BOOL LineStart;

// Writes one received byte to the log, preceded by a timestamp when it starts
// a line (TimestampFormat not 0). A carriage return ends a line; line feeds
// at the start of a line are written unstamped. Called with LogLock held.
void CaptureByte(BYTE b);

// Reads the port one byte at a time and captures every byte until stop.
DWORD WINAPI ReaderThread(LPVOID);

// Pause and continue: the reader stops between bytes and goes on from there.
void HoldReader();
void ReleaseReader();

// How often a vanished port is tried again.
#define PORT_RETRY_MS 3000
