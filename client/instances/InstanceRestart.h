// Stopping every instance around a change of the program files and starting
// them again on the new program, for setup programs that cannot talk to the
// Service Control Manager in a loop themselves (the MSI runs these through
// "/stop-instances" and "/start-instances"). Between the two the stopped
// instances are listed in a file, in the format of the NSIS setup's list:
// section "stopped", key N, value R (was running) or P (was paused). The list
// decides what runs as LocalSystem, so it is kept only where non-
// administrators can neither change it nor put one in its place (the program
// folder): a list elsewhere is refused.
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
// for each (bounded) and adds it to the list in file (what the list already
// holds stays: an instance a failed start left there). Returns 0 when all
// stopped; otherwise the number of the first that did not
// (INSTANCES_NOT_REACHED when the Service Control Manager could not be opened
// or the list not written or trusted), and then the instances it stopped are
// started again (one that does not start stays listed).
#define INSTANCES_NOT_REACHED 255
int StopAllInstances(const char *file, CommandReport report);

// Makes sure non-administrators cannot change this program's folder or its
// files (as registration does), points every instance whose service runs a
// tallysvc.exe from another folder (a zip deployment) at the one beside this
// program (stopping it first, and starting it again, when it runs), then
// starts the instances listed in file (file may be null or missing) and
// pauses those that were paused. Each instance that got back to its state
// leaves the list, which is deleted once empty. Returns the number of
// instances that did not get back to their state or could not be re-pointed
// (the folder counts as one when it cannot be secured, no instance is then
// re-pointed into it; so does a list that others could have changed, which is
// then not used).
int StartStoppedInstances(const char *file, CommandReport report);

// The program a service's command line runs: its first quoted part, or the
// whole line when it is not quoted. Returns 0 when it does not fit.
int ServiceCommandProgram(const char *commandLine, char *program, size_t size);
