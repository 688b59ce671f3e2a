// Instances as an INI file, for deploying one configuration to many
// machines: one section "[Instance N]" per instance, one NAME=VALUE line per
// value (InstanceValues.h), comments on lines of their own after ';' or '#'.
// The reader checks the whole file before anything is applied; the writer
// writes what the reader reads back exactly, secrets never.
#pragma once

#include <stddef.h>

#include "client/instances/InstanceRestart.h"
#include "client/instances/InstanceValues.h"

// One instance as a file or a command line gives it: the values given, each
// checked and held in Values (a secret already encrypted).
struct InstanceChange {
    int Number;
    int Line;                               // of its section; 0 on the command line
    int GivenAt[MAX_INSTANCE_VALUES];       // line of each value given (-1: on the command line), 0 when not given
    InstanceSettings Values;
};

struct ConfigurationChanges {
    int Count;
    InstanceChange Instances[MAX_INSTANCES];
    int Errors;
    int SecretsInClear;                     // secrets the file gave in clear text
};

// The longest line a file may have (a quoted path of 259 characters fits
// with room to spare).
#define CONFIGURATION_LINE_SIZE 1024

// Reads and checks the file into changes (emptied first). Every problem is
// reported as "FILE, line L: reason" (the first 20 of them, then their
// number). Returns non-zero when the file holds no problem.
int ReadConfigurationFile(const char *path, ConfigurationChanges *changes, CommandReport report);

// Checks one NAME=VALUE into the change; for the file reader and for the
// values of a command line (line -1). Returns non-zero on success, else 0 with reason.
int TakeAssignment(InstanceChange *change, const char *name, const char *value, int line, char *reason,
                   size_t reasonSize);

// The lines of one instance's section body, as the writer writes them: every
// value, an optional one at its default too, and comments for those that are
// not written (a stored secret, or a value no import would take back). Returns the number of
// values left out that are not secrets.
int FormatInstanceSection(const InstanceSettings *record, const char *machine, CommandReport emit);
