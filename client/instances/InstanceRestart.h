// Stopping every instance around a change of the program files and starting
// them again on the new program, for setup programs that cannot talk to the
// Service Control Manager in a loop themselves (the MSI runs these through
// "/stop-instances" and "/start-instances"). Between the two the stopped
// instances are listed in a file, in the format of the NSIS setup's list:
// section "stopped", key N, value R (was running) or P (was paused).
#pragma once

#include <stddef.h>

// An instance may take up to 60 s to stop while it finishes a mail.
#define INSTANCE_STOP_WAIT_MS 70000
#define INSTANCE_START_WAIT_MS 30000

// Receives each line a command reports (what it did, what failed).
typedef void (*CommandReport)(const char *line);

// Formats one line (bounded) and hands it to report, when there is one.
void ReportCommandLine(CommandReport report, const char *format, ...);

// Stops every instance that is running, starting, paused or pausing, waits
// for each (bounded) and lists it in file. Returns 0 when all stopped;
// otherwise the number of the first that did not (INSTANCES_NOT_REACHED when
// the Service Control Manager could not be opened or the list not written),
// and then the instances it stopped are started again and file is removed.
#define INSTANCES_NOT_REACHED 255
int StopAllInstances(const char *file, CommandReport report);

// Makes sure non-administrators cannot change this program's folder (as
// registration does), points every instance whose service runs a
// tallysvc.exe from another folder (a zip deployment) at the one beside this
// program (stopping it first, and starting it again, when it runs), then
// starts the instances listed in file (file may be null or missing) and
// pauses those that were paused, and removes file. Returns the number of
// instances that did not get back to their state or could not be re-pointed
// (the folder counts as one when it cannot be secured; no instance is then
// re-pointed into it).
int StartStoppedInstances(const char *file, CommandReport report);

// The program a service's command line runs: its first quoted part, or the
// whole line when it is not quoted. Returns 0 when it does not fit.
int ServiceCommandProgram(const char *commandLine, char *program, size_t size);
