// The work on instances that needs both the registry (InstanceStore) and the
// Service Control Manager (ServiceControl): loading the table, saving it
// (which registers services), Start and Restart (which save first), and
// "/uninstall".
#pragma once

#include <windows.h>

#include "InstanceSettings.h"
#include "ServiceControl.h"

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

// Returns a handle to the service of instance N, creating the service when it
// does not exist, and creates its Parameters and Port1 keys and its event
// source registration. Null when the service neither exists nor could be
// created; it is not created from a folder that non-administrators can change
// and that cannot be protected (ServiceFolderMayBeRegistered).
SC_HANDLE RegisterService(int n);

// n = 0: every slot; 1..64: that instance alone. Deletes the services of
// deleted instances, registers new ones, sets start types and writes all 23
// values of every instance in use. Returns the number of slots in use that
// were written; failures are added to *failures when given.
int SaveInstances(int n, SaveFailures *failures = NULL);

// Start saves each instance alone first (recording failed saves), then
// starts its service.
void StartInstances(const int *numbers, int count, SaveFailures *failures);

#define RESTART_STOP_WAIT_MS 30000

// Stops the instances, waits (bounded) until each service has stopped, then
// starts them. Returns non-zero when every service stopped within the wait.
int RestartInstances(const int *numbers, int count, SaveFailures *failures, WaitPump pump);

// "/uninstall": loads the instances and deletes every service found, and the
// event source of each one deleted. Returns the number of services that could
// not be deleted (0: none is left), so that an uninstaller can stop before it
// removes the program they run.
int UninstallServices();

// The command line starts with "/uninstall" (case-sensitive, first ten
// characters; anything after them is ignored).
int IsUninstallCommand(const char *commandLine);
