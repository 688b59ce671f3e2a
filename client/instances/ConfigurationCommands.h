// Configuration from the command line: list the instances, export them to
// an INI file (ConfigurationFile.h), import one, and set or show the values
// of one instance. Everything given is checked before anything is changed;
// the changes are saved through SaveInstances, as the window saves them.
#pragma once

#include "client/instances/ConfigurationFile.h"

// Exit codes of the verbs.
#define CONFIGURATION_DONE        0
#define CONFIGURATION_NOT_REACHED 1   // no Service Control Manager, no such instance, the file not written
#define CONFIGURATION_INVALID     2   // a value or the file refused: nothing was changed
#define CONFIGURATION_INCOMPLETE  3   // checked and applied, but an instance was not saved or did not start

// Each verb starts from the system as it is, never from a table an earlier
// verb of the same run left (the logic tests run several): the table loaded
// afresh and the Service Control Manager connected (non-zero), then let go.
int OpenInstancesForCommand();
void CloseInstancesForCommand();

// One line per instance: number, port, status, start type, log file.
int ListInstances(CommandReport report);

// Every instance into file, in sections [Instance N].
int ExportInstances(const char *file, CommandReport report);

// Creates or updates the instances of the file: a new one from a New
// instance's values, an existing one keeping the values the file does not
// give. With start, each is started (restarted when it runs) and judged by
// whether it runs. A file that users who are not administrators can change,
// or replace through its folder, is refused: its values would be run and
// read as LocalSystem.
int ImportInstances(const char *file, int start, CommandReport report);

// Reads and checks the file as the import does (its permissions too) and
// changes nothing.
int CheckInstanceFile(const char *file, CommandReport report);

// Stops instance N (bounded), deletes its service, event source and keys.
int RemoveInstance(int n, CommandReport report);

// The same for instance N with NAME=VALUE assignments.
int SetInstanceValues(int n, const char *const *assignments, int count, CommandReport report);

// Instance N's values as its section of an export, or the one value named.
int ShowInstanceValues(int n, const char *name, CommandReport report);
