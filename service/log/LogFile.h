// The log file: its name for a time, and the one file open for writing.
#pragma once

#include <windows.h>
#include <stddef.h>

// Stamped paths must stay within this many characters.
#define STAMPED_PATH_MAX 255

// Builds the name of the log file opened at local time `now`: LogFilename
// itself without rotation, else with the rotation stamp inserted at
// ExtensionPos. Non-zero on success; 0 when the result would not fit.
int BuildLogFileName(const SYSTEMTIME &now, char *path, size_t size);

// Opens the log named for the current local time, appending to what the file
// holds, and makes it the open log. Non-zero on success; on failure the open
// log stays as it was. Once capture has begun only the writer thread opens,
// writes and closes the open log; the rotation thread reads only the time
// that named it (OpenLogTime).
int OpenLogFile();

// The same for the log named for local time `now` (the rotation reads the
// time once for its test and its file). On failure GetLastError() tells why.
int OpenLogFileAt(const SYSTEMTIME &now);

// The local time that named the open log, as the rotation thread reads it.
SYSTEMTIME OpenLogTime();

// The open log's handle (INVALID_HANDLE_VALUE: none) and path.
HANDLE LogFileHandle();
const char *LogFilePath();

// Makes `file` the open log under `path` (null: the path stays), keeping the
// time that named it: a file made again under its name, a test's own file.
void UseLogFile(HANDLE file, const char *path);

// Opens (or creates) a log file for appending, readable and shared with
// readers. INVALID_HANDLE_VALUE on failure, with GetLastError() telling why.
HANDLE OpenLogPath(const char *path);
