#include "service/alarm/AlarmCommand.h"
#include "service/core/ReportServiceEvent.h"

#include <stdio.h>
#include <string.h>

static int FindProgram(const char *name, char *path, size_t size)
{
    char found[MAX_PATH];
    DWORD length = SearchPathA(NULL, name, ".exe", sizeof found, found, NULL);
    if (length == 0 || length >= sizeof found)
        return 0;
    DWORD attributes = GetFileAttributesA(found);
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY))
        return 0;
    if (path != NULL)
        snprintf(path, size, "%s", found);
    return 1;
}

static int SystemProgramExists(const char *name)
{
    return FindProgram(name, NULL, 0);
}

ProgramExistsFunction ProgramExists = SystemProgramExists;

static int IsBlank(char c)
{
    return c == ' ' || c == '\t';
}

int PlanAlarmCommand(const char *command, AlarmCommandPlan *plan)
{
    memset(plan, 0, sizeof *plan);
    while (IsBlank(*command))
        command++;
    size_t length = strnlen(command, TIMEOUT_CMD_SIZE - 1);
    while (length > 0 && IsBlank(command[length - 1]))
        length--;
    size_t firstBlank = strcspn(command, " \t");
    if (command[0] == '"' || firstBlank >= length) {
        snprintf(plan->Run, sizeof plan->Run, "%.*s", (int)length, command);
        return 1;
    }
    // Each blank after a non-blank ends one reading, and so does the end;
    // a path holds no quotation mark, so the readings stop at the first.
    size_t chosen = 0;
    for (size_t end = firstBlank; end <= length; end++) {
        if (end < length && !(IsBlank(command[end]) && !IsBlank(command[end - 1])))
            continue;
        if (memchr(command, '"', end) != NULL)
            break;
        char reading[TIMEOUT_CMD_SIZE];
        snprintf(reading, sizeof reading, "%.*s", (int)end, command);
        if (plan->Readings < NAMED_READINGS)
            memcpy(plan->Tried[plan->Readings], reading, end + 1);
        plan->Readings++;
        if (!ProgramExists(reading))
            continue;
        if (plan->Found < NAMED_READINGS)
            memcpy(plan->Named[plan->Found], reading, end + 1);
        plan->Found++;
        chosen = end;
    }
    if (plan->Found != 1)
        return 0;
    snprintf(plan->Run, sizeof plan->Run, "\"%.*s\"%s", (int)chosen, command, command + chosen);
    return 1;
}

void FormatAlarmCommandRefusal(const char *command, const AlarmCommandPlan *plan, char *text, size_t size)
{
    int used = plan->Found == 0
                   ? snprintf(text, size, "The alarm command \"%s\" is not run: none of the %d ways of reading where "
                              "its program's path ends names a program (", command, plan->Readings)
                   : snprintf(text, size, "The alarm command \"%s\" is not run: without quotation marks it names %d "
                              "programs (", command, plan->Found);
    int shown = plan->Found == 0 ? plan->Readings : plan->Found;
    for (int i = 0; i < shown && i < NAMED_READINGS && used >= 0 && (size_t)used < size; i++)
        used += snprintf(text + used, size - used, "%s\"%s\"", i == 0 ? "" : ", ",
                         plan->Found == 0 ? plan->Tried[i] : plan->Named[i]);
    if (used >= 0 && (size_t)used < size)
        snprintf(text + used, size - used, "%s); put the path of the program meant in quotation marks",
                 shown > NAMED_READINGS ? ", ..." : "");
}

int AlarmCommandProgram(const char *command, char *path, size_t size)
{
    static AlarmCommandPlan plan;
    if (!PlanAlarmCommand(command, &plan) || plan.Run[0] == '\0')
        return 0;
    char program[TIMEOUT_CMD_SIZE + 2];
    const char *run = plan.Run;
    size_t length = run[0] == '"' ? strcspn(run + 1, "\"") : strcspn(run, " \t");
    snprintf(program, sizeof program, "%.*s", (int)length, run[0] == '"' ? run + 1 : run);
    return FindProgram(program, path, size);
}

DWORD StartAlarmCommand(const char *commandLine)
{
    // Each cycle judges anew: a program may come or go during a silence.
    AlarmCommandPlan plan;
    if (!PlanAlarmCommand(commandLine, &plan)) {
        static volatile LONG reportedFound = -1;
        if (InterlockedExchange(&reportedFound, plan.Found) != plan.Found) {
            char text[2048];
            FormatAlarmCommandRefusal(commandLine, &plan, text, sizeof text);
            ReportServiceEvent("%s", EVENTLOG_ERROR_TYPE, text);
        }
        return 0;
    }
    STARTUPINFOA startup;
    ZeroMemory(&startup, sizeof startup);
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process;
    // CreateProcess may write into the command line: the plan's copy.
    if (!CreateProcessA(NULL, plan.Run, NULL, NULL, FALSE, 0, NULL, NULL, &startup, &process))
        return 0;
    // Not waited for; the handles would otherwise pile up for months.
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return process.dwProcessId;
}
