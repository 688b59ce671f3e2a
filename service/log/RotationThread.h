// Log rotation: the thread that keeps the calendar's times (RotationCalendar.h)
// while the service runs; at each rotation time it asks the writer to swap
// the files (RotateLogFile in LogWriter.h).
#pragma once

#include <windows.h>

// Waits for each rotation time and rotates, until the service pauses or stops.
DWORD WINAPI RotationThread(LPVOID);

// Starts the rotation thread when LogRotation is 1 to 5 and none runs yet.
// `reference` is the local time its period starts from: the time that named
// the open log, so that a boundary passing before the thread runs is not
// skipped. Non-zero on success (also when there is nothing to start).
int StartRotationThread(const SYSTEMTIME &reference);

// At a continue, at local time `now`: when a rotation time passed during the
// pause, the swap is asked for at once (once, named for `now`), before any
// byte that waited in the driver is taken; then the schedule starts again
// from `now`. Non-zero on success.
int ResumeRotation(const SYSTEMTIME &now);

// The rotation thread's handle, NULL when none runs (unit tests).
HANDLE RotationThreadHandle();

// Ends the rotation thread and waits for it (at once: it does no disk work).
// A swap it asked for is still made by the writer.
void EndRotationThread();
