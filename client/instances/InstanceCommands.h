// The work on instances that needs both the registry (InstanceStore) and the
// Service Control Manager (ServiceControl): loading the table, saving it
// (which registers services), Start and Restart (which save first), and
// "/uninstall".
#pragma once

#include <windows.h>

#include "client/instances/InstanceSettings.h"
#include "client/instances/ServiceControl.h"

// Instances whose save did not fully succeed (a key or value not written, the
// service not registered, a deleted service not removed).
struct SaveFailures {
    int Count;
    int Instances[MAX_INSTANCES];
};
void AddSaveFailure(SaveFailures *failures, int n);
// "The settings of these instances could not be saved: 2, 5" (bounded).
void FormatSaveFailures(const SaveFailures &failures, char *text, size_t size);

// "The settings of these instances could not be read: 2, 5" (bounded).
void FormatLoadFailures(const SaveFailures &failures, char *text, size_t size);

// Connects to the Service Control Manager and fills the slots of the
// installed services. Returns the number found (0 also when the Service
// Control Manager could not be opened). A slot whose service exists but
// cannot be opened, whose start type or keys cannot be read, and without the
// Service Control Manager every slot with a service key, is marked
// Unreadable: it is neither listed, nor taken by New, nor written.
int LoadInstances();

// The window's start: LoadInstances, then, when it found no instance and
// failed nowhere, the first run (instance 1 added and saved, failures in
// *failures). A load that failed is no first run and writes nothing; the
// unreadable instances go to *unreadable (not listed when the Service Control
// Manager could not be opened: its message was shown). Returns non-zero for
// a first run.
int OpenInstances(SaveFailures *unreadable, SaveFailures *failures);

// Returns a handle to the service of instance N, creating the service when it
// does not exist, and creates its Parameters and Port1 keys and its event
// source registration. Null when the service neither exists nor could be
// created; it is not created from a folder that non-administrators can change
// and that cannot be protected (ServiceFolderMayBeRegistered).
SC_HANDLE RegisterService(int n);

#define DELETE_STOP_WAIT_MS 30000

// n = 0: every slot; 1..64: that instance alone. Deletes the services of
// deleted instances (those still running are stopped first and waited for,
// at most DELETE_STOP_WAIT_MS, calling pump meanwhile; one that has not
// stopped by then is kept and counts as failed), registers new ones, sets
// start types (a Disabled one is kept while AutoStart is 0) and recovery
// actions, protects the keys and writes all 23 values of every instance in
// use. Returns the number of slots in use that were written; failures are
// added to *failures when given.
int SaveInstances(int n, SaveFailures *failures = NULL, WaitPump pump = NULL);

// Start saves each instance alone first (recording failed saves), then
// starts its service.
void StartInstances(const int *numbers, int count, SaveFailures *failures);

#define RESTART_STOP_WAIT_MS 30000

// Stops the instances, waits (bounded) until each service has stopped, then
// starts them. Returns non-zero when every service stopped within the wait.
int RestartInstances(const int *numbers, int count, SaveFailures *failures, WaitPump pump);

// "/uninstall": loads the instances and deletes every service found (one
// whose parameters cannot be read too), and the event source of each one
// deleted. Returns the number of services that could not be deleted (0: none
// is left), so that an uninstaller can stop before it removes the program
// they run; when a service cannot even be opened (or the Service Control
// Manager not), none is deleted.
int UninstallServices();

// The command line starts with "/uninstall" or "-uninstall", in any letter
// case (its first ten characters; anything after them is ignored).
int IsUninstallCommand(const char *commandLine);
