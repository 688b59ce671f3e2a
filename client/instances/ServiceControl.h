// The Service Control Manager side of the instances: connecting, creating,
// querying, controlling and deleting the services Quillbox<N>. A leaf over
// the SCM: it reads and writes only the run-time members of the records
// (ServiceHandle, LastStatus) and knows nothing of the parameters or their
// saving. All calls run on the user-interface thread.
#pragma once

#include <windows.h>
#include <stddef.h>

#include "client/instances/InstanceSettings.h"

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

// A handle with full access to the existing service of instance N, or null
// (GetLastError says why: ERROR_SERVICE_DOES_NOT_EXIST for a free number).
SC_HANDLE OpenInstanceService(int n);

// Creates the service of instance N ("Quillbox%d", "Tallyline (%d)", own
// process, LocalSystem, the quoted program path beside this program) with the
// start type of autoStart. Null on failure.
SC_HANDLE CreateInstanceService(int n, int autoStart);

// Registers Quillbox<N> as an event source of the Application log whose
// messages come from tallysvc.exe's message table, and removes it again.
// Registering writes nothing when the source is already registered with the
// same values.
int RegisterInstanceEventSource(int n);
int RemoveInstanceEventSource(int n);

// Sets the start type from AutoStart (1: automatic, 0: on demand).
int SetServiceStartType(SC_HANDLE service, int autoStart);

// Reads the configured start type: *autoStart becomes 1 for automatic, 0
// otherwise, and *disabled (when given) 1 for Disabled. Returns 0 (leaving
// both) when it cannot be read.
int ReadServiceStartType(SC_HANDLE service, int *autoStart, int *disabled = NULL);

// The recovery actions of an instance's service: restart after a minute,
// again after a minute, then every five minutes, also after a failure the
// service reports itself (a USB adapter not yet there at boot is captured
// once it appears). A day without failures starts the count again.
// Non-zero when set, or when the service manager keeps no such setting.
#define RECOVERY_FIRST_DELAY_MS 60000
#define RECOVERY_LATER_DELAY_MS 300000
#define RECOVERY_RESET_SECONDS  86400
int SetServiceRecovery(SC_HANDLE service);

// Reads the current status of instance N's service into LastStatus. When it
// cannot be read LastStatus keeps the last status seen. Non-zero on success.
int QueryInstanceStatus(int n);

// Reads the current status of every instance that has a service into its
// LastStatus: one enumeration of the Service Control Manager for all of them
// (per-service queries cost a round trip each, 128 a second for 64 rows),
// falling back to QueryServiceStatus for any the enumeration did not list.
void RefreshServiceStates();

// "Stopped", "Running", ... for SERVICE_STATUS.dwCurrentState; "" otherwise.
const char *ServiceStateText(DWORD state);

// Service controls on a set of instances, in the order given. The status the
// Service Control Manager returns is kept in LastStatus.
void StopInstances(const int *numbers, int count);
void PauseInstances(const int *numbers, int count);
void ContinueInstances(const int *numbers, int count);

// Starts a service. While the service manager answers that its database is
// locked (ERROR_SERVICE_DATABASE_LOCKED: another program is starting or
// changing a service at that moment), waits a little longer each time and
// tries again, for at most StartLockedWaitMs in all (30 s; shortened only by
// tests), as the service manager expects of its callers. Non-zero when
// started; otherwise GetLastError() says why.
extern DWORD StartLockedWaitMs;
int StartInstanceService(SC_HANDLE service);

// Called repeatedly while a wait goes on; the user interface passes a
// routine that keeps its windows painted. Null: the wait just sleeps.
typedef void (*WaitPump)(void);

// Waits until every listed instance with a service reports SERVICE_STOPPED,
// at most timeoutMs. Returns non-zero when all stopped.
int WaitForServicesStopped(const int *numbers, int count, DWORD timeoutMs, WaitPump pump);

// Deletes the service of instance N (and, once it is deleted, its event
// source registration), closes its handle and sets it to null. A service
// that could not be deleted keeps its handle, so the next save tries again.
// Returns non-zero on success.
int DeleteInstanceService(int n);

// DeleteService, through a pointer so that the logic tests can make it fail:
// Wine's service manager refuses a delete only for a service already marked
// for deletion, which counts as deleted.
typedef BOOL (WINAPI *DeleteServiceFunction)(SC_HANDLE service);
extern DeleteServiceFunction DeleteServiceCall;

// The calls a test makes fail (a service manager or service that cannot be
// opened) or records (Wine keeps no recovery actions to read back).
typedef SC_HANDLE (WINAPI *OpenServiceManagerFunction)(LPCSTR machine, LPCSTR database, DWORD access);
typedef SC_HANDLE (WINAPI *OpenServiceFunction)(SC_HANDLE manager, LPCSTR name, DWORD access);
typedef BOOL (WINAPI *ChangeServiceConfig2Function)(SC_HANDLE service, DWORD level, LPVOID info);
typedef BOOL (WINAPI *StartServiceFunction)(SC_HANDLE service, DWORD argc, LPCSTR *argv);
extern OpenServiceManagerFunction OpenServiceManagerCall;
extern OpenServiceFunction OpenServiceCall;
extern ChangeServiceConfig2Function ChangeServiceConfig2Call;
extern StartServiceFunction StartServiceCall;

// Closes every service handle and then ScmHandle.
void CloseServiceHandles();
