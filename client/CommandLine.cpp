#include "CommandLine.h"

#include <windows.h>
#include <stdio.h>
#include <string.h>

#include "ClientMessages.h"
#include "InstanceCommands.h"
#include "InstanceRestart.h"

void PrintCommandLine(const char *line)
{
    static HANDLE output = INVALID_HANDLE_VALUE;
    static int opened = 0;
    if (!opened) {
        opened = 1;
        output = GetStdHandle(STD_OUTPUT_HANDLE);
        // A windowed program started from a command prompt has no standard
        // output of its own.
        if ((output == NULL || output == INVALID_HANDLE_VALUE) && AttachConsole(ATTACH_PARENT_PROCESS))
            output = CreateFileA("CONOUT$", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING,
                                 0, NULL);
    }
    if (output == NULL || output == INVALID_HANDLE_VALUE)
        return;
    DWORD written = 0;
    WriteFile(output, line, (DWORD)strlen(line), &written, NULL);
    WriteFile(output, "\r\n", 2, &written, NULL);
}

// The verbs run unattended (setup programs, deployment tools): a message box
// would wait for a click nobody gives. Its text is reported instead.
static int WINAPI ReportMessageBox(HWND, LPCSTR text, LPCSTR caption, UINT)
{
    char line[1400];
    snprintf(line, sizeof line, "%s: %s", caption, text);
    PrintCommandLine(line);
    return IDOK;
}

// The argument of a verb: blanks around it and one pair of quotation marks
// removed; null when there is none.
static const char *Argument(const char *arguments, char *buffer, size_t size)
{
    while (*arguments == ' ' || *arguments == '\t')
        arguments++;
    size_t length = strlen(arguments);
    while (length > 0 && (arguments[length - 1] == ' ' || arguments[length - 1] == '\t'))
        length--;
    if (length >= 2 && arguments[0] == '"' && arguments[length - 1] == '"') {
        arguments++;
        length -= 2;
    }
    if (length == 0 || length >= size)
        return NULL;
    memcpy(buffer, arguments, length);
    buffer[length] = '\0';
    return buffer;
}

static int RunUninstall(const char *)
{
    // The number of services left; 0 when every one was removed.
    return UninstallServices();
}

static int RunStopInstances(const char *arguments)
{
    char file[MAX_PATH];
    if (Argument(arguments, file, sizeof file) == NULL) {
        PrintCommandLine("Usage: client.exe /stop-instances FILE");
        return 87;   // ERROR_INVALID_PARAMETER
    }
    ShowMessageBox = ReportMessageBox;
    return StopAllInstances(file, PrintCommandLine);
}

static int RunStartInstances(const char *arguments)
{
    char file[MAX_PATH];
    ShowMessageBox = ReportMessageBox;
    return StartStoppedInstances(Argument(arguments, file, sizeof file), PrintCommandLine);
}

struct CommandVerb {
    const char *Name;
    int (*Run)(const char *arguments);
};

// "/uninstall" is matched on its first ten characters alone (anything after
// them is ignored, IsUninstallCommand); the others as a whole word followed
// by their arguments.
static const CommandVerb Verbs[] = {
    {"/uninstall", RunUninstall},
    {"/stop-instances", RunStopInstances},
    {"/start-instances", RunStartInstances},
};

int RunCommandLine(const char *commandLine, int *exitCode)
{
    if (commandLine == NULL)
        return 0;
    if (IsUninstallCommand(commandLine)) {
        *exitCode = RunUninstall(commandLine + 10);
        return 1;
    }
    for (size_t i = 1; i < sizeof Verbs / sizeof Verbs[0]; i++) {
        size_t length = strlen(Verbs[i].Name);
        char after = commandLine[length];
        if (strncmp(commandLine, Verbs[i].Name, length) == 0 && (after == '\0' || after == ' ' || after == '\t')) {
            *exitCode = Verbs[i].Run(commandLine + length);
            return 1;
        }
    }
    return 0;
}
