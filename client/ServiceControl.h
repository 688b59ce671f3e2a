// Registration and control of the logging services Quillbox<N> through the
// Service Control Manager. All calls run on the user-interface thread.
#pragma once

#include <windows.h>
#include <stddef.h>

#include "InstanceStore.h"

// The one Service Control Manager handle of the run; null when it could not
// be opened.
extern SC_HANDLE ScmHandle;

// Opens ScmHandle; on failure shows "Service Control Manager could not be
// opened!" and returns 0.
int ConnectServiceManager();

// Builds the service program's path from the configuration program's own
// path: the folder up to its last backslash, then "tallysvc.exe". With quoted
// non-zero, a path containing a blank is put in quotation marks, as the
// Service Control Manager needs for a command line. Returns 0 when the
// result does not fit or the path has no folder.
int FormatServiceProgramPath(const char *modulePath, char *out, size_t size, int quoted);

// The path of tallysvc.exe beside the running program (see above).
int ServiceProgramPath(char *out, size_t size, int quoted);

// Returns a handle to the service of instance N, creating the service when it
// does not exist, and creates its Parameters and Port1 keys and its event
// source registration. Null when the service neither exists nor could be
// created.
SC_HANDLE RegisterService(int n);

// Registers Quillbox<N> as an event source of the Application log whose
// messages come from tallysvc.exe's message table, and removes it again.
int RegisterInstanceEventSource(int n);
int RemoveInstanceEventSource(int n);

// Sets the start type from AutoStart (1: automatic, 0: on demand).
int SetServiceStartType(SC_HANDLE service, int autoStart);

// Reads the current status of every instance that has a service into its
// LastStatus: one enumeration of the Service Control Manager for all of them
// (per-service queries cost a round trip each, 128 a second for 64 rows),
// falling back to QueryServiceStatus for any the enumeration did not list.
void RefreshServiceStates();

// "Stopped", "Running", ... for SERVICE_STATUS.dwCurrentState; "" otherwise.
const char *ServiceStateText(DWORD state);

// Service commands on a set of instances, in the order given.
// Start saves each instance alone first (recording failed saves).
void StartInstances(const int *numbers, int count, SaveFailures *failures);
void StopInstances(const int *numbers, int count);
void PauseInstances(const int *numbers, int count);
void ContinueInstances(const int *numbers, int count);

// Called repeatedly while Restart waits; the user interface passes a routine
// that keeps its windows painted. Null: the wait just sleeps.
typedef void (*WaitPump)(void);
#define RESTART_STOP_WAIT_MS 30000

// Stops the instances, waits (bounded) until each service has stopped, then
// starts them. Returns the number of services that stopped within the wait.
int RestartInstances(const int *numbers, int count, SaveFailures *failures, WaitPump pump);

// Waits until every listed instance with a service reports SERVICE_STOPPED,
// at most timeoutMs. Returns non-zero when all stopped.
int WaitForServicesStopped(const int *numbers, int count, DWORD timeoutMs, WaitPump pump);

// Deletes the service of instance N (and its event source registration),
// closes its handle and sets it to null. Returns non-zero on success.
int DeleteInstanceService(int n);

// "/uninstall": loads the instances and deletes every service found.
// Returns the number of services deleted.
int UninstallServices();

// Closes every service handle and then ScmHandle.
void CloseServiceHandles();

// The command line starts with "/uninstall" (case-sensitive, first ten
// characters; anything after them is ignored).
int IsUninstallCommand(const char *commandLine);
