#include "client/CommandLine.h"

#include <windows.h>
#include <stdio.h>
#include <string.h>

#include "client/instances/ClientMessages.h"
#include "client/instances/ConfigurationCommands.h"
#include "client/instances/InstanceCommands.h"
#include "client/instances/InstanceRestart.h"
#include "client/instances/StatusCommands.h"
#include "common/secrets/SmtpPassword.h"

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

#define MAX_ARGUMENTS 256

// The arguments after a verb, split as the C run-time splits a command line:
// blanks separate them, quotation marks group (and are removed), a backslash
// escapes a quotation mark. Fills args with pointers into buffer; returns
// their number, or -1 when they do not fit.
static int SplitArguments(const char *line, char *buffer, size_t size, const char **args)
{
    int count = 0;
    size_t used = 0;
    for (;;) {
        while (*line == ' ' || *line == '\t')
            line++;
        if (*line == '\0')
            return count;
        if (count == MAX_ARGUMENTS)
            return -1;
        args[count++] = buffer + used;
        int quoted = 0;
        while (*line != '\0' && (quoted || (*line != ' ' && *line != '\t'))) {
            // Room for the longest piece below (all of a run of backslashes)
            // and the argument's terminating zero.
            size_t slashes = strspn(line, "\\");
            if (used + slashes + 2 > size)
                return -1;
            if (slashes > 0) {
                // Backslashes are themselves, except before a quotation mark:
                // two stand for one, and an odd one makes the mark literal.
                int beforeQuote = line[slashes] == '"';
                size_t kept = beforeQuote ? slashes / 2 : slashes;
                memset(buffer + used, '\\', kept);
                used += kept;
                line += slashes;
                if (beforeQuote && slashes % 2 == 1) {
                    buffer[used++] = '"';
                    line++;
                }
            } else if (*line == '"') {
                // Two quotation marks inside quotes stand for one.
                if (quoted && line[1] == '"') {
                    buffer[used++] = '"';
                    line += 2;
                } else {
                    quoted = !quoted;
                    line++;
                }
            } else {
                buffer[used++] = *line++;
            }
        }
        buffer[used++] = '\0';
    }
}

// The arguments of the configuration verbs. Static, as a value on the
// command line may be a secret: wiped once the verb has run.
static char ArgumentText[32768];
static const char *Arguments[MAX_ARGUMENTS];

// Splits the arguments; -1 (after the usage line) when they are not
// between least and most in number.
static int TakeArguments(const char *arguments, int least, int most, const char *usage)
{
    ShowMessageBox = ReportMessageBox;
    int count = SplitArguments(arguments, ArgumentText, sizeof ArgumentText, Arguments);
    if (count < least || count > most) {
        PrintCommandLine(usage);
        return -1;
    }
    return count;
}

// An instance number, 1 to 64; 0 (after saying so) otherwise.
static int InstanceArgument(const char *text)
{
    int n = 0;
    for (int i = 0; text[i] != '\0'; i++) {
        if (text[i] < '0' || text[i] > '9' || i >= 3)
            return 0;
        n = n * 10 + (text[i] - '0');
    }
    if (IsInstanceNumber(n))
        return n;
    char line[200];
    snprintf(line, sizeof line, "\"%.20s\" is not an instance number (1 to %d)", text, MAX_INSTANCES);
    PrintCommandLine(line);
    return 0;
}

static int RunList(const char *arguments)
{
    if (TakeArguments(arguments, 0, 0, "Usage: client.exe /list") < 0)
        return 87;
    return ListInstances(PrintCommandLine);
}

static int RunExport(const char *arguments)
{
    if (TakeArguments(arguments, 1, 1, "Usage: client.exe /export FILE") < 0)
        return 87;
    return ExportInstances(Arguments[0], PrintCommandLine);
}

static int RunImport(const char *arguments)
{
    static const char usage[] = "Usage: client.exe /import FILE [/start]";
    int count = TakeArguments(arguments, 1, 2, usage);
    if (count < 0)
        return 87;
    int start = count == 2 && strcmp(Arguments[1], "/start") == 0;
    if (count == 2 && !start) {
        PrintCommandLine(usage);
        return 87;
    }
    return ImportInstances(Arguments[0], start, PrintCommandLine);
}

static int RunSet(const char *arguments)
{
    int count = TakeArguments(arguments, 2, MAX_ARGUMENTS, "Usage: client.exe /set N NAME=VALUE [NAME=VALUE ...]");
    if (count < 0)
        return 87;
    int n = InstanceArgument(Arguments[0]);
    int result = n == 0 ? CONFIGURATION_INVALID : SetInstanceValues(n, Arguments + 1, count - 1, PrintCommandLine);
    WipeSecret(ArgumentText, sizeof ArgumentText);
    return result;
}

static int RunGet(const char *arguments)
{
    int count = TakeArguments(arguments, 1, 2, "Usage: client.exe /get N [NAME]");
    if (count < 0)
        return 87;
    int n = InstanceArgument(Arguments[0]);
    if (n == 0)
        return CONFIGURATION_INVALID;
    return ShowInstanceValues(n, count == 2 ? Arguments[1] : NULL, PrintCommandLine);
}

static int RunStatus(const char *arguments)
{
    int count = TakeArguments(arguments, 0, 1, "Usage: client.exe /status [N]");
    if (count < 0)
        return 87;
    int n = count == 1 ? InstanceArgument(Arguments[0]) : 0;
    if (count == 1 && n == 0)
        return CONFIGURATION_INVALID;
    return ShowInstanceStatus(n, PrintCommandLine);
}

// Seconds for /warn or /crit: 0 to a day's worth many times over.
static long SecondsArgument(const char *text)
{
    long seconds = 0;
    for (int i = 0; text[i] != '\0'; i++) {
        if (text[i] < '0' || text[i] > '9' || i >= 9)
            return -1;
        seconds = seconds * 10 + (text[i] - '0');
    }
    return text[0] != '\0' ? seconds : -1;
}

static int RunCheck(const char *arguments)
{
    static const char usage[] = "TALLYLINE UNKNOWN - usage: client.exe /check [N] [/warn SECONDS] [/crit SECONDS]";
    int count = TakeArguments(arguments, 0, 5, usage);
    if (count < 0)
        return CHECK_UNKNOWN;
    int n = 0, i = 0;
    long warn = -1, crit = -1;
    if (i < count && Arguments[i][0] != '/' && (n = InstanceArgument(Arguments[i++])) == 0)
        return CHECK_UNKNOWN;
    for (; i < count; i += 2) {
        long *limit = strcmp(Arguments[i], "/warn") == 0 ? &warn : strcmp(Arguments[i], "/crit") == 0 ? &crit : NULL;
        if (limit == NULL || i + 1 >= count || (*limit = SecondsArgument(Arguments[i + 1])) < 0) {
            PrintCommandLine(usage);
            return CHECK_UNKNOWN;
        }
    }
    return CheckInstances(n, warn, crit, PrintCommandLine);
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
    {"/list", RunList},
    {"/export", RunExport},
    {"/import", RunImport},
    {"/set", RunSet},
    {"/get", RunGet},
    {"/status", RunStatus},
    {"/check", RunCheck},
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
