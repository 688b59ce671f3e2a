// The log's data path on the writer's side: what the capture queue holds is
// written to the open log (LogFile.h); what the disk refuses stays queued and
// is tried again every second; the file is flushed to disk about once a
// second while data flows; a log file deleted while open is noticed and made
// again with what went into it since; the swap of files at a rotation. Only
// the writer thread (LogWriterThread.h) runs this.
#pragma once

#include <windows.h>

// The longest time written bytes stay unflushed, and how often refused bytes,
// a refused swap and a deleted log file are tried again. A power cut loses at
// most what arrived in this time before it (plus what a failing disk held back).
#define LOG_CARE_INTERVAL_MS 1000

// The file calls of the writer, replaceable so that unit tests can make the
// disk slow or failing. Deleted tells whether the open file has lost its
// name (deleted, or its folder was); Open opens a log path for appending
// (OpenLogPath).
struct LogFileApi {
    BOOL (WINAPI *Write)(HANDLE file, LPCVOID data, DWORD length, LPDWORD written, LPOVERLAPPED at);
    BOOL (WINAPI *Read)(HANDLE file, LPVOID data, DWORD length, LPDWORD got, LPOVERLAPPED at);
    BOOL (WINAPI *Flush)(HANDLE file);
    BOOL (WINAPI *Close)(HANDLE file);
    BOOL (*Deleted)(HANDLE file);
    HANDLE (*Open)(const char *path);
};
extern LogFileApi LogFileCalls;

// Writes what is queued up to `upTo` and no further than the open log's
// period (bytes that arrived after its end wait for the swap), unless writes
// are failing and the next try is not due yet. Reports the start and end of
// an outage or a loss, once each. A handle that died (a disk pulled, a share
// whose session dropped) is opened again by its path at each try.
void WriteQueuedBytes(ULONGLONG upTo = ~0ULL);

// Reports a loss that began (the queue full) without writing: a pause.
void ReportLossNow();

// Where the queued bytes of the open log's period end: the first queued byte
// that arrived after it, or all that is queued; *arrival is that byte's
// arrival (LocalSeconds, 0 when none did). A swap splits the queue there.
ULONGLONG LogPeriodEnd(ULONGLONG *arrival);

// Milliseconds until LogCare is due: 0 when due now, INFINITE when nothing
// waits (no unflushed bytes, nothing refused, no deleted file to make again).
DWORD LogCareDueInMs();

// Writes what is queued (as WriteQueuedBytes), makes a deleted log file
// again (with the bytes written into it since it was last seen), then
// flushes the file to disk.
void LogCare(ULONGLONG upTo = ~0ULL);

// Before the open log is closed (rotation, stop): LogCare for the bytes
// queued up to `upTo`, and then whether the file is complete. 0 when some of
// them are still refused or the deleted file could not be made again: the
// file must then stay open.
int FinishLogFile(ULONGLONG upTo);

// At stop, when FinishLogFile failed: reports in one event the received bytes
// lost with the file (still queued, and dropped for want of room).
void ReportLogLostAtStop();

// Closes the open log at stop, reporting a failure.
void CloseLogFile();

// The log file just opened (start, rotation) begins its own checks.
void LogFileOpened();

// Swaps the log for the one named for `now`: the bytes queued up to `upTo`
// (those that arrived before the open log's period ended) go into the
// finished file, which is closed only once the next one is open; when the
// next cannot be opened the service reports it and keeps writing into the
// open file until the next rotation time. Mails the finished file when mail
// is configured. Non-zero when the files were swapped. 0 also when the next
// file would be the open one again, and when the open one cannot be finished
// yet (*refused is then set: bytes for it refused, or it was deleted and
// cannot be made again). A finished file whose handle died and that cannot
// be opened again does not hold the swap up: its bytes go into the next
// file, and the service says so.
int RotateLogFile(const SYSTEMTIME &now, ULONGLONG upTo, BOOL *refused);

// Forgets refused bytes, reports and file checks of an earlier run (unit tests).
void ResetLogWriter();
