// Loading and saving InstanceTable: the Service Control Manager tells which
// instances exist, the registry holds their parameters.
#pragma once

#include <windows.h>

#include "InstanceSettings.h"

// Instances whose save did not fully succeed (a key or value not written, the
// service not registered, a deleted service not removed).
struct SaveFailures {
    int Count;
    int Instances[MAX_INSTANCES];
};
void AddSaveFailure(SaveFailures *failures, int n);
// "The settings of these instances could not be saved: 2, 5" (bounded).
void FormatSaveFailures(const SaveFailures &failures, char *text, size_t size);

// Connects to the Service Control Manager and fills the slots of the
// installed services. Returns the number found (0 also when the Service
// Control Manager could not be opened).
int LoadInstances();

// n = 0: every slot; 1..64: that instance alone. Deletes the services of
// deleted instances, registers new ones, sets start types and writes all 23
// values of every instance in use. Returns the number of slots in use that
// were written; failures are added to *failures when given.
int SaveInstances(int n, SaveFailures *failures = NULL);

// Adds an instance at the lowest free number: defaults (source 0) or a copy
// of instance source. Returns the new number, or 0 after the "maximum number"
// message (owned by owner) when the table is full. The caller inserts the row.
int AddInstance(int source, HWND owner);

// Fills a record with the values a New instance gets.
void SetNewInstanceDefaults(InstanceSettings *record, int n);

// The default log file: the program's own folder and "Quillbox%d.log".
int DefaultLogFilename(int n, char *out, size_t size);

// The two registry paths of instance N.
void FormatParametersKey(int n, char *out, size_t size);
void FormatPortKey(int n, char *out, size_t size);
