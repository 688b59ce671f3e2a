#include "InstanceCommands.h"

#include <stdio.h>
#include <string.h>

#include "InstanceStore.h"
#include "ProgramFolder.h"

void AddSaveFailure(SaveFailures *failures, int n)
{
    if (failures == NULL)
        return;
    for (int i = 0; i < failures->Count; i++)
        if (failures->Instances[i] == n)
            return;
    if (failures->Count < MAX_INSTANCES)
        failures->Instances[failures->Count++] = n;
}

void FormatSaveFailures(const SaveFailures &failures, char *text, size_t size)
{
    if (size == 0)
        return;
    int used = snprintf(text, size, "The settings of these instances could not be saved:");
    for (int i = 0; i < failures.Count && used >= 0 && (size_t)used < size; i++)
        used += snprintf(text + used, size - used, "%s %d", i == 0 ? "" : ",", failures.Instances[i]);
    text[size - 1] = '\0';
}

int LoadInstances()
{
    if (!ConnectServiceManager())
        return 0;
    int found = 0;
    for (int n = 1; n <= MAX_INSTANCES; n++) {
        SC_HANDLE service = OpenInstanceService(n);
        if (service == NULL)
            continue;   // gaps in the numbering are normal
        found++;
        InstanceSettings *record = &InstanceTable[n];
        ReadInstanceParameters(n, record);
        record->ServiceHandle = service;
        ReadServiceStartType(service, &record->AutoStart);
        record->InUse = 1;
        if (!QueryInstanceStatus(n))
            memset(&record->LastStatus, 0, sizeof record->LastStatus);
    }
    return found;
}

SC_HANDLE RegisterService(int n)
{
    SC_HANDLE service = OpenInstanceService(n);
    if (service == NULL && ServiceFolderMayBeRegistered())
        service = CreateInstanceService(n, IsInstanceNumber(n) && InstanceTable[n].AutoStart);
    // The keys are made even without a service, so the values can be written.
    CreateInstanceKeys(n);
    if (service != NULL)
        RegisterInstanceEventSource(n);
    return service;
}

// Registers instance N and keeps the handle; a handle it already had to the
// same service is closed so that none leaks.
static void RegisterInstance(int n)
{
    InstanceSettings *record = &InstanceTable[n];
    SC_HANDLE service = RegisterService(n);
    if (service != NULL && record->ServiceHandle != NULL)
        CloseServiceHandle(record->ServiceHandle);
    if (service != NULL || record->ServiceHandle == NULL)
        record->ServiceHandle = service;
}

static int SaveInstance(int n)
{
    InstanceSettings *record = &InstanceTable[n];
    int ok = 1;
    if (record->ServiceHandle == NULL)
        RegisterInstance(n);

    HKEY key = OpenInstanceKey(n, InParametersKey, KEY_ALL_ACCESS);
    if (key == NULL) {
        // The key was removed by hand or never made: register again, which
        // creates both keys.
        RegisterInstance(n);
        key = OpenInstanceKey(n, InParametersKey, KEY_ALL_ACCESS);
    }
    if (record->ServiceHandle == NULL || !SetServiceStartType(record->ServiceHandle, record->AutoStart))
        ok = 0;
    if (key == NULL) {
        ok = 0;
    } else {
        if (!WriteInstanceKey(key, InParametersKey, record))
            ok = 0;
        RegCloseKey(key);
    }
    key = OpenInstanceKey(n, InPortKey, KEY_ALL_ACCESS);
    if (key == NULL) {
        ok = 0;
    } else {
        if (!WriteInstanceKey(key, InPortKey, record))
            ok = 0;
        RegCloseKey(key);
    }
    return ok;
}

int SaveInstances(int n, SaveFailures *failures)
{
    int first = n == 0 ? 1 : n;
    int last = n == 0 ? MAX_INSTANCES : n;
    if (!IsInstanceNumber(first) || !IsInstanceNumber(last))
        return 0;
    int written = 0;
    for (int i = first; i <= last; i++) {
        InstanceSettings *record = &InstanceTable[i];
        if (!record->InUse) {
            // Deleted since the last save: its service goes now.
            if (record->ServiceHandle != NULL && !DeleteInstanceService(i))
                AddSaveFailure(failures, i);
            continue;
        }
        written++;
        if (!SaveInstance(i))
            AddSaveFailure(failures, i);
    }
    return written;
}

void StartInstances(const int *numbers, int count, SaveFailures *failures)
{
    for (int i = 0; i < count; i++) {
        int n = numbers[i];
        if (!IsInstanceNumber(n))
            continue;
        SaveInstances(n, failures);
        if (InstanceTable[n].ServiceHandle != NULL)
            StartServiceA(InstanceTable[n].ServiceHandle, 0, NULL);
    }
}

int RestartInstances(const int *numbers, int count, SaveFailures *failures, WaitPump pump)
{
    StopInstances(numbers, count);
    // A fixed short pause would leave a slower service stopped: its start
    // is refused while it is still stopping.
    int stopped = WaitForServicesStopped(numbers, count, RESTART_STOP_WAIT_MS, pump);
    StartInstances(numbers, count, failures);
    return stopped;
}

int UninstallServices()
{
    LoadInstances();
    int failed = 0;
    for (int n = 1; n <= MAX_INSTANCES; n++) {
        // The event source goes only with its service (DeleteInstanceService):
        // a service that is still there keeps its messages readable.
        if (InstanceTable[n].InUse && InstanceTable[n].ServiceHandle != NULL && !DeleteInstanceService(n))
            failed++;
    }
    CloseServiceHandles();
    return failed;
}

int IsUninstallCommand(const char *commandLine)
{
    return commandLine != NULL && strncmp(commandLine, "/uninstall", 10) == 0;
}
