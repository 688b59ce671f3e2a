// The log's data path: every byte bound for the log goes through WriteToLog.
// What the disk refuses waits in a fixed buffer until it can be written; the
// file is flushed to disk about once a second while data flows; a log file
// deleted while open is noticed and made again with what arrived since.
// Everything here runs with LogLock held.
#pragma once

#include <windows.h>

// What a full disk (or any failing write) can hold back: about 90 seconds
// of a 115200-baud line running flat out, hours of a call-record printer.
// Beyond it received data is lost, counted and reported.
#define LOG_HOLD_SIZE (1024 * 1024)

// The longest time written bytes stay unflushed, and how often held bytes
// and a deleted log file are tried again. A power cut loses at most what
// arrived in this time before it (plus what a failing disk held back).
#define LOG_CARE_INTERVAL_MS 1000

// Writes bytes to LogHandle. What cannot be written is held, after anything
// already held, until LogCare writes it. Non-zero when every byte was written
// or held; 0 when some were lost because the hold buffer was full.
int WriteToLog(const void *data, DWORD length);

// Milliseconds until LogCare is due: 0 when due now, INFINITE when nothing
// waits (no unflushed bytes, nothing held, no deleted file to make again).
DWORD LogCareDueInMs();

// Writes held bytes, makes a deleted log file again (with the bytes written
// into it since it was last seen), then flushes the file to disk.
void LogCare();

// Puts off a due LogCare by one interval (the reader is paused or stopping).
void PostponeLogCare();

// Before the open log is closed (rotation, stop): LogCare, and then whether
// the file is complete. 0 when bytes are still held or the deleted file
// could not be made again; the file must then stay open.
int FinishLogFile();

// At stop, when FinishLogFile failed: reports what is lost with the file.
void ReportLogLostAtStop();

// The log file just opened (start, rotation) begins its own checks.
void LogFileOpened();

// Forgets held bytes and reports of an earlier run (unit tests).
void ResetLogWriter();
