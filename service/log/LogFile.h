// Naming, opening and writing of the log file.
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
// holds; sets CurrentLogPath, LogOpenedAt and LogHandle. Non-zero on success;
// on failure LogHandle and CurrentLogPath are left as they were. The writer
// owns the open log; only LogOpenedAt is read elsewhere (OpenLogTime).
int OpenLogFile();

// The same for the log named for local time `now` (the rotation reads the
// time once for its test and its file). On failure GetLastError() tells why.
int OpenLogFileAt(const SYSTEMTIME &now);

// The local time that named the open log, as the rotation thread reads it.
SYSTEMTIME OpenLogTime();

// Opens (or creates) a log file for appending, readable and shared with
// readers. INVALID_HANDLE_VALUE on failure, with GetLastError() telling why.
HANDLE OpenLogPath(const char *path);
