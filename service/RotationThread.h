// Log rotation: the calendar waits, the swap of log files at each rotation
// time, and the thread that does both while the service runs.
#pragma once

#include <windows.h>

// Milliseconds from local time `now` to the next rotation time of kind
// `rotation` (LogRotation 1 to 5). Counted in whole seconds: the
// milliseconds of `now` are left out, so a rotation comes just after its
// boundary, never before it. Monthly waits like daily (RotationDue then
// decides). 0 for codes that do not rotate.
DWORD RotationWaitMs(DWORD rotation, const SYSTEMTIME &now);

// Whether a rotation time reached at `now` changes files: always, except for
// the monthly kind while the month is still that of the open log.
BOOL RotationDue(DWORD rotation, const SYSTEMTIME &now, WORD logMonth);

// Swaps the log for the one named for `now`, under LogLock so the reader
// neither loses a byte nor writes into a closed file. The finished file is
// closed only once the next one is open: when the next cannot be opened the
// service reports it and keeps writing into the open file. Mails the finished
// file when mail is configured. Non-zero when the files were swapped; 0 when
// the next file could not be opened or would be the open one again.
int RotateLogFile(const SYSTEMTIME &now);

// Waits for each rotation time and rotates, until the service pauses or stops.
DWORD WINAPI RotationThread(LPVOID);

// Starts the rotation thread when LogRotation is 1 to 5 and none runs yet.
// Non-zero on success (also when there is nothing to start).
int StartRotationThread();

// Ends the rotation thread and waits for it. A swap that has begun is
// finished first, so the reader is never left held nor the log closed.
void EndRotationThread();
