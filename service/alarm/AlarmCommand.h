// The alarm command and the one program it runs. CreateProcess reads an
// unquoted command line with blanks in as many ways as it has blanks
// ("C:\Tools\Alarm Scripts\page.exe": C:\Tools\Alarm.exe first) and runs the
// first program that exists; the service runs it as LocalSystem, so it runs
// only the program the administrator meant.
#pragma once

#include <windows.h>
#include <stddef.h>

#include "common/settings/Parameters.h"

// Whether a program of that name exists where CreateProcess would look
// (".exe" added to a name without an extension); replaceable for tests.
typedef int (*ProgramExistsFunction)(const char *name);
extern ProgramExistsFunction ProgramExists;

// At most this many readings are named in a refusal.
#define NAMED_READINGS 8

struct AlarmCommandPlan {
    char Run[TIMEOUT_CMD_SIZE + 2];     // the command line to start; empty: refused
    int Readings;                       // readings of an unquoted command with blanks; 0 otherwise
    int Found;                          // how many of them name a program
    char Named[NAMED_READINGS][TIMEOUT_CMD_SIZE];   // the first of those, in order
    char Tried[NAMED_READINGS][TIMEOUT_CMD_SIZE];   // the first readings, found or not
};

// What to start for the command: as it stands when it is quoted, or has no
// blank, or when exactly one reading of where its program's path ends names
// a program (then with that path in quotation marks, so nothing planted
// later can come first). Otherwise refused. Non-zero when it may run.
int PlanAlarmCommand(const char *command, AlarmCommandPlan *plan);

// The refusal for the event log: "... is not run: ..." (bounded).
void FormatAlarmCommandRefusal(const char *command, const AlarmCommandPlan *plan, char *text, size_t size);

// The full path of the program the command starts, found as CreateProcess
// finds it; 0 when it is refused or found nowhere.
int AlarmCommandProgram(const char *command, char *path, size_t size);

// Starts the command as a process of its own, not waited for and without
// keeping a handle of it. A refused command is reported as an error, once
// for as long as the same number of readings names a program. Returns the
// process id, 0 on failure or refusal.
DWORD StartAlarmCommand(const char *commandLine);
