#include "client/instances/ConfigurationCommands.h"

#include <windows.h>
#include <stdio.h>
#include <string.h>

#include "client/instances/FirewallRule.h"
#include "client/instances/InstanceCommands.h"
#include "client/instances/InstanceStore.h"
#include "client/instances/ServiceControl.h"
#include "common/secrets/SmtpPassword.h"
#include "common/system/PathSecurity.h"
#include "TallyVersion.h"

// What a file or a command line gives; static, it holds 64 records.
static ConfigurationChanges Changes;

#define UNKNOWN_START_TYPE 0xFFFFFFFF

int OpenInstancesForCommand()
{
    CloseServiceHandles();
    memset(InstanceTable, 0, sizeof InstanceTable);
    LoadInstances();
    return ScmHandle != NULL;
}

void CloseInstancesForCommand()
{
    CloseServiceHandles();
    memset(InstanceTable, 0, sizeof InstanceTable);
}

// The configured start type, Disabled included (the table knows only
// automatic or not).
static DWORD StartTypeOf(SC_HANDLE service)
{
    static BYTE buffer[8192];
    DWORD needed = 0;
    QUERY_SERVICE_CONFIGA *config = (QUERY_SERVICE_CONFIGA *)buffer;
    if (service == NULL || !QueryServiceConfigA(service, config, sizeof buffer, &needed))
        return UNKNOWN_START_TYPE;
    return config->dwStartType;
}

static const char *StartTypeText(DWORD type)
{
    switch (type) {
    case SERVICE_AUTO_START:   return "Automatic";
    case SERVICE_DEMAND_START: return "Manual";
    case SERVICE_DISABLED:     return "Disabled";
    }
    return "Unknown";
}

static void MachineName(char *name, DWORD size)
{
    DWORD length = size;
    if (!GetComputerNameA(name, &length))
        snprintf(name, size, "this machine");
}

int ListInstances(CommandReport report)
{
    if (!OpenInstancesForCommand())
        return CONFIGURATION_NOT_REACHED;
    for (int n = 1; n <= MAX_INSTANCES; n++) {
        const InstanceSettings &record = InstanceTable[n];
        if (!record.InUse)
            continue;
        // Blank-separated words, the log file last (it may hold blanks):
        // "for /f" takes them apart.
        const char *status = ServiceStateText(record.LastStatus.dwCurrentState);
        // A network source as its Source value: one word, as a port name is.
        const char *port = record.Network.Source[0] != '\0' ? record.Network.Source : record.PortName;
        ReportCommandLine(report, "%-3d %-8s %-10s %-9s %s", n, port[0] != '\0' ? port : "-",
                          status[0] != '\0' ? status : "Unknown", StartTypeText(StartTypeOf(record.ServiceHandle)),
                          record.LogFilename);
    }
    CloseInstancesForCommand();
    return CONFIGURATION_DONE;
}

static CommandReport SectionOutput;
static const char *SectionMachine;

// Instance N's section body, and a word on a start type no import sets.
static int EmitSection(int n)
{
    int omitted = FormatInstanceSection(&InstanceTable[n], SectionMachine, SectionOutput);
    if (StartTypeOf(InstanceTable[n].ServiceHandle) == SERVICE_DISABLED)
        ReportCommandLine(SectionOutput, "; " SERVICE_BASE_NAME "%d is disabled on %s: an import does not disable it",
                          n, SectionMachine);
    return omitted;
}

static HANDLE ExportFile = INVALID_HANDLE_VALUE;
static DWORD ExportError;   // of the first write that failed; 0 while none has

static void WriteExportLine(const char *line)
{
    DWORD written = 0;
    if ((!WriteFile(ExportFile, line, (DWORD)strlen(line), &written, NULL) ||
         !WriteFile(ExportFile, "\r\n", 2, &written, NULL)) && ExportError == 0)
        ExportError = GetLastError() != 0 ? GetLastError() : ERROR_WRITE_FAULT;
}

int ExportInstances(const char *file, CommandReport report)
{
    if (!OpenInstancesForCommand())
        return CONFIGURATION_NOT_REACHED;
    ExportFile = CreateFileA(file, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (ExportFile == INVALID_HANDLE_VALUE) {
        ReportCommandLine(report, "%s cannot be written (error %lu)", file, (unsigned long)GetLastError());
        CloseInstancesForCommand();
        return CONFIGURATION_NOT_REACHED;
    }
    ExportError = 0;
    char machine[MAX_COMPUTERNAME_LENGTH + 1];
    MachineName(machine, sizeof machine);
    SYSTEMTIME now;
    GetLocalTime(&now);
    ReportCommandLine(WriteExportLine, "; Tallyline %s: the instances of %s, exported %04d-%02d-%02d %02d:%02d",
                      TALLY_VERSION_STRING, machine, now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute);
    WriteExportLine("; \"client.exe /import FILE\" creates or updates them on a machine (\"/start\" after it starts");
    WriteExportLine("; them too). One section per instance; a value left out keeps what the instance has (a new");
    WriteExportLine("; one: its default). Numbers in decimal or 0x hexadecimal; a text in quotation marks keeps");
    WriteExportLine("; the blanks at its ends. Comments only on lines of their own.");
    WriteExportLine("; Secrets are never exported: set them on each machine with \"client.exe /set N SmtpPassword=*\"");
    WriteExportLine("; (the password is read from standard input), or in the configuration window.");
    SectionOutput = WriteExportLine;
    SectionMachine = machine;
    int count = 0, omitted = 0;
    for (int n = 1; n <= MAX_INSTANCES; n++) {
        if (!InstanceTable[n].InUse)
            continue;
        WriteExportLine("");
        ReportCommandLine(WriteExportLine, "[Instance %d]", n);
        omitted += EmitSection(n);
        count++;
    }
    CloseHandle(ExportFile);
    ExportFile = INVALID_HANDLE_VALUE;
    CloseInstancesForCommand();
    if (ExportError != 0) {
        ReportCommandLine(report, "%s could not be written whole (error %lu)", file, (unsigned long)ExportError);
        DeleteFileA(file);
        return CONFIGURATION_NOT_REACHED;
    }
    ReportCommandLine(report, "%d instance%s exported to %s", count, count == 1 ? "" : "s", file);
    if (omitted > 0) {
        ReportCommandLine(report, "%d value%s could not be exported (the comments in the file name them)", omitted,
                          omitted == 1 ? "" : "s");
        return CONFIGURATION_INCOMPLETE;
    }
    return CONFIGURATION_DONE;
}

static int SaveFailed(const SaveFailures &failures, int n)
{
    for (int f = 0; f < failures.Count; f++)
        if (failures.Instances[f] == n)
            return 1;
    return 0;
}

// Waits (bounded) until each started instance has left "start pending".
// Returns the number that do not run.
static int CheckStarted(const int *numbers, int count, const SaveFailures &failures, CommandReport report)
{
    int notRunning = 0;
    DWORD began = GetTickCount();
    for (int i = 0; i < count; i++) {
        int n = numbers[i];
        int saved = !SaveFailed(failures, n);
        DWORD state = 0;
        while (saved && QueryInstanceStatus(n) &&
               (state = InstanceTable[n].LastStatus.dwCurrentState) == SERVICE_START_PENDING &&
               GetTickCount() - began < INSTANCE_START_WAIT_MS)
            Sleep(100);
        if (saved && state == SERVICE_RUNNING) {
            ReportCommandLine(report, SERVICE_BASE_NAME "%d runs", n);
        } else if (saved) {
            const char *text = ServiceStateText(state);
            ReportCommandLine(report, SERVICE_BASE_NAME "%d did not start (%s): its event-log reports say why", n,
                              text[0] != '\0' ? text : "no status");
            notRunning++;
        }
    }
    return notRunning;
}

// Applies checked changes to the instances as they are and saves each one
// (which registers a new one), then starts them when asked.
static int ApplyChanges(int start, CommandReport report)
{
    if (!OpenInstancesForCommand())
        return CONFIGURATION_NOT_REACHED;
    int numbers[MAX_INSTANCES], created[MAX_INSTANCES + 1] = {0};
    int wasRunning[MAX_INSTANCES + 1] = {0};
    for (int i = 0; i < Changes.Count; i++) {
        const InstanceChange &change = Changes.Instances[i];
        int n = change.Number;
        InstanceSettings *record = &InstanceTable[n];
        if (!record->InUse) {
            SetNewInstanceDefaults(record, n);
            created[n] = 1;
        }
        wasRunning[n] = record->LastStatus.dwCurrentState != SERVICE_STOPPED &&
                        record->LastStatus.dwCurrentState != 0;
        for (int row = 0; row < InstanceValueCount; row++)
            if (change.GivenAt[row] != 0)
                CopyInstanceValue(row, &change.Values, record);
        numbers[i] = n;
    }
    SaveFailures failures = {0, {0}};
    if (start) {
        // Saves each one first; one that runs is stopped and started again,
        // so that it runs with the new values.
        RestartInstances(numbers, Changes.Count, &failures, NULL);
    } else {
        for (int i = 0; i < Changes.Count; i++)
            SaveInstances(numbers[i], &failures);
    }
    for (int i = 0; i < Changes.Count; i++) {
        int n = numbers[i];
        int failed = SaveFailed(failures, n);
        if (failed)
            ReportCommandLine(report, SERVICE_BASE_NAME "%d could not be saved whole", n);
        else
            ReportCommandLine(report, SERVICE_BASE_NAME "%d %s", n, created[n] ? "created" : "updated");
        if (!start && !failed && wasRunning[n])
            ReportCommandLine(report, SERVICE_BASE_NAME "%d is running: the new values take effect at its next start",
                              n);
    }
    const char *notice = TakeFirewallNotice();
    if (notice != NULL)
        ReportCommandLine(report, "%s", notice);
    int notRunning = start ? CheckStarted(numbers, Changes.Count, failures, report) : 0;
    CloseInstancesForCommand();
    return failures.Count > 0 || notRunning > 0 ? CONFIGURATION_INCOMPLETE : CONFIGURATION_DONE;
}

// A file whose values LocalSystem will run and read is taken only from
// where none but administrators can change it.
static int ImportFileIsSafe(const char *file, CommandReport report)
{
    char which[MAX_PATH];
    DWORD error = 0;
    int changeable = FileLetsOthersChange(file, which, sizeof which, &error);
    if (changeable < 0)
        ReportCommandLine(report, "%s: the permissions of \"%s\" could not be read (error %lu)", file, which,
                          (unsigned long)error);
    else if (changeable)
        ReportCommandLine(report, "%s: users who are not administrators can change \"%s\", so they could choose what "
                          "the services run as LocalSystem. Copy the file to a folder that only administrators can "
                          "change and import the copy.", file, which);
    return changeable == 0;
}

// The file read and checked whole, and safe; 0 after saying so otherwise.
static int ReadInstanceFile(const char *file, CommandReport report)
{
    if (!ReadConfigurationFile(file, &Changes, report) || !ImportFileIsSafe(file, report)) {
        ReportCommandLine(report, "Nothing was changed.");
        return 0;
    }
    return 1;
}

int CheckInstanceFile(const char *file, CommandReport report)
{
    if (!ReadInstanceFile(file, report))
        return CONFIGURATION_INVALID;
    ReportCommandLine(report, "%s can be imported: %d instance%s, no mistake. Nothing was changed.", file,
                      Changes.Count, Changes.Count == 1 ? "" : "s");
    return CONFIGURATION_DONE;
}

int RemoveInstance(int n, CommandReport report)
{
    if (!OpenInstancesForCommand())
        return CONFIGURATION_NOT_REACHED;
    int result = CONFIGURATION_DONE;
    if (!InstanceTable[n].InUse) {
        ReportCommandLine(report, SERVICE_BASE_NAME "%d is not installed", n);
        result = CONFIGURATION_NOT_REACHED;
    } else {
        // Removed as a save removes a deleted instance: stopped first.
        InstanceTable[n].InUse = 0;
        SaveFailures failures = {0, {0}};
        SaveInstances(n, &failures);
        if (failures.Count == 0) {
            char key[128];
            snprintf(key, sizeof key, INSTANCE_OUTBOX_KEY_FORMAT, n);
            RegDeleteTreeA(HKEY_LOCAL_MACHINE, key);
            snprintf(key, sizeof key, INSTANCE_PARAMETERS_KEY_FORMAT, n);
            RegDeleteTreeA(HKEY_LOCAL_MACHINE, key);
            ReportCommandLine(report, SERVICE_BASE_NAME "%d removed", n);
        } else {
            ReportCommandLine(report, SERVICE_BASE_NAME "%d could not be removed: it did not stop within %d s, or its "
                              "service could not be deleted", n, DELETE_STOP_WAIT_MS / 1000);
            result = CONFIGURATION_INCOMPLETE;
        }
    }
    CloseInstancesForCommand();
    return result;
}

int ImportInstances(const char *file, int start, CommandReport report)
{
    if (!ReadInstanceFile(file, report))
        return CONFIGURATION_INVALID;
    if (Changes.Count == 0) {
        ReportCommandLine(report, "%s names no instance: nothing was changed.", file);
        return CONFIGURATION_DONE;
    }
    int result = ApplyChanges(start, report);
    if (Changes.SecretsInClear > 0)
        ReportCommandLine(report, "%s holds a secret in clear text; it is stored encrypted now: delete the file, or "
                          "the secret from it.", file);
    return result;
}

int SetInstanceValues(int n, const char *const *assignments, int count, CommandReport report)
{
    memset(&Changes, 0, sizeof Changes);
    InstanceChange *change = &Changes.Instances[0];
    change->Number = n;
    Changes.Count = 1;
    for (int i = 0; i < count; i++) {
        char assignment[CONFIGURATION_LINE_SIZE], reason[600];
        const char *equals = strchr(assignments[i], '=');
        size_t length = strlen(assignments[i]);
        if (equals == NULL || equals == assignments[i] || length >= sizeof assignment) {
            // Never repeated: it may be a secret.
            ReportCommandLine(report, "Value %d of the command line is not NAME=VALUE (of at most %d characters)",
                              i + 1, CONFIGURATION_LINE_SIZE - 1);
            Changes.Errors++;
            continue;
        }
        memcpy(assignment, assignments[i], length + 1);
        assignment[equals - assignments[i]] = '\0';
        if (!TakeAssignment(change, assignment, assignment + (equals - assignments[i]) + 1, -1, reason,
                            sizeof reason)) {
            ReportCommandLine(report, "%s", reason);
            Changes.Errors++;
        }
        WipeSecret(assignment, sizeof assignment);
    }
    if (Changes.Errors > 0) {
        ReportCommandLine(report, "Nothing was changed.");
        return CONFIGURATION_INVALID;
    }
    return ApplyChanges(0, report);
}

int ShowInstanceValues(int n, const char *name, CommandReport report)
{
    int row = name != NULL ? FindInstanceValue(name) : -1;
    if (name != NULL && row < 0) {
        ReportCommandLine(report, "\"%.60s\" is not a value of an instance", name);
        return CONFIGURATION_INVALID;
    }
    if (!OpenInstancesForCommand())
        return CONFIGURATION_NOT_REACHED;
    int result = CONFIGURATION_DONE;
    char machine[MAX_COMPUTERNAME_LENGTH + 1];
    MachineName(machine, sizeof machine);
    char value[CONFIGURATION_LINE_SIZE];
    if (!InstanceTable[n].InUse) {
        ReportCommandLine(report, SERVICE_BASE_NAME "%d is not installed", n);
        result = CONFIGURATION_NOT_REACHED;
    } else if (row < 0) {
        SectionOutput = report;
        SectionMachine = machine;
        EmitSection(n);
    } else if (FormatInstanceValue(row, &InstanceTable[n], 0, value, sizeof value)) {
        ReportCommandLine(report, "%s", value);
    } else {
        ReportCommandLine(report, "; %s is %s", InstanceValues[row].Name,
                          InstanceValueIsStored(row, &InstanceTable[n]) ? "stored and never shown" : "not stored");
    }
    CloseInstancesForCommand();
    return result;
}
