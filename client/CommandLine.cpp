#include "client/CommandLine.h"

#include <windows.h>
#include <stdio.h>
#include <string.h>

#include "client/CommandConsole.h"
#include "client/instances/ClientMessages.h"
#include "client/instances/ConfigurationCommands.h"
#include "client/instances/InstanceCommands.h"
#include "client/instances/InstanceRestart.h"
#include "client/instances/StatusCommands.h"
#include "common/secrets/SmtpPassword.h"

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

// Whether text is the switch `name` ("/start", "-Start").
static int IsSwitch(const char *text, const char *name)
{
    return (text[0] == '/' || text[0] == '-') && _stricmp(text + 1, name) == 0;
}

static const char *const Usage[] = {
    "Usage: client.exe [VERB ...]   (verbs and switches after / or -, in any letter case)",
    "  (none)                          opens the configuration window",
    "  /list                           the instances: number, port, status, start type, log file",
    "  /get N [NAME]                   instance N's values, or the one named",
    "  /set N NAME=VALUE ...           sets values of instance N (creating it when it does not exist);",
    "                                  SmtpPassword=* or OAuthClientSecret=* reads the secret from standard input",
    "  /remove N                       stops instance N and removes its service and settings",
    "  /status [N]                     a line per instance: source, state, last data, today, alarm, outbox",
    "  /check [N] [/warn S] [/crit S]  a check for a monitoring system (exit 0 OK, 1, 2, 3)",
    "  /export FILE                    every instance into FILE",
    "  /import FILE [/start | /check]  creates or updates the instances of FILE; /start starts them,",
    "                                  /check only checks FILE and changes nothing",
    "  /uninstall                      removes the service of every instance",
    "  /stop-instances FILE            (for setup programs) stops every instance, listing them in FILE",
    "  /start-instances [FILE]         (for setup programs) starts the instances of FILE again",
    "  /?, /help                       this text",
};

int PrintUsage(int exitCode)
{
    for (size_t i = 0; i < sizeof Usage / sizeof Usage[0]; i++)
        PrintCommandLine(Usage[i]);
    return exitCode;
}

int DesktopIsVisible()
{
    USEROBJECTFLAGS flags;
    DWORD needed = 0;
    HWINSTA station = GetProcessWindowStation();
    // A station whose flags cannot be read is taken as it usually is: visible.
    if (station == NULL || !GetUserObjectInformationA(station, UOI_FLAGS, &flags, sizeof flags, &needed))
        return 1;
    return (flags.dwFlags & WSF_VISIBLE) != 0;
}

static int RunHelp(const char *)
{
    return PrintUsage(0);
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
// escapes a quotation mark. Fills args with pointers into buffer and raw with
// where each begins and ends in line; returns their number, or -1 when they
// do not fit.
static int SplitArguments(const char *line, char *buffer, size_t size, const char **args, const char *(*raw)[2])
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
        raw[count][0] = line;
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
        raw[count - 1][1] = line;
        buffer[used++] = '\0';
    }
}

// The arguments of the configuration verbs. Static, as a value on the
// command line may be a secret: wiped once the verb has run.
static char ArgumentText[32768];
static const char *Arguments[MAX_ARGUMENTS];
static const char *RawArguments[MAX_ARGUMENTS][2];

// Splits the arguments; -1 (after the usage line) when they are not
// between least and most in number.
static int TakeArguments(const char *arguments, int least, int most, const char *usage)
{
    ShowMessageBox = ReportMessageBox;
    int count = SplitArguments(arguments, ArgumentText, sizeof ArgumentText, Arguments, RawArguments);
    if (count < least || count > most) {
        PrintCommandLine(usage);
        return -1;
    }
    return count;
}

// An instance number, 1 to 64; 0 (after saying so) otherwise.
static int InstanceArgument(const char *text)
{
    int n = 0, digits = 0;
    for (; text[digits] >= '0' && text[digits] <= '9' && digits < 3; digits++)
        n = n * 10 + (text[digits] - '0');
    if (digits > 0 && text[digits] == '\0' && IsInstanceNumber(n))
        return n;
    char line[200];
    snprintf(line, sizeof line, "\"%.20s\" is not an instance number: give the number alone, 1 to %d (2 for %s2)",
             text, MAX_INSTANCES, SERVICE_BASE_NAME);
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
    static const char usage[] = "Usage: client.exe /import FILE [/start | /check]";
    int count = TakeArguments(arguments, 1, 2, usage);
    if (count < 0)
        return 87;
    if (count == 2 && IsSwitch(Arguments[1], "check"))
        return CheckInstanceFile(Arguments[0], PrintCommandLine);
    if (count == 2 && !IsSwitch(Arguments[1], "start")) {
        PrintCommandLine(usage);
        return 87;
    }
    return ImportInstances(Arguments[0], count == 2, PrintCommandLine);
}

// The assignments of /set as they reach SetInstanceValues. Two kinds are
// rebuilt from the command line: the alarm command and secrets read from
// standard input.
static char CommandAssignment[CONFIGURATION_LINE_SIZE + 32];
static char SecretAssignments[2][CONFIGURATION_LINE_SIZE];
static const char *Assignments[MAX_ARGUMENTS];

// The row of the value an argument assigns ("NAME=..."), or -1.
static int AssignedRow(const char *argument)
{
    const char *equals = strchr(argument, '=');
    char name[64];
    if (equals == NULL || (size_t)(equals - argument) >= sizeof name)
        return -1;
    memcpy(name, argument, equals - argument);
    name[equals - argument] = '\0';
    return FindInstanceValue(name);
}

// The alarm command as it was typed: from after its "=" to the end of the
// last of the arguments after it that hold no "=", quotation marks and all,
// so that CustomTimeoutCmd="C:\Alarm Scripts\page.cmd" -x keeps naming that
// one program. An argument quoted whole ("CustomTimeoutCmd=...", as
// PowerShell passes one with blanks) is taken as the run-time gives it, the
// arguments after it as typed. Returns the index of the last argument taken.
static int TakeTypedCommand(int first, int count)
{
    int last = first;
    while (last + 1 < count && strchr(Arguments[last + 1], '=') == NULL)
        last++;
    const char *name = InstanceValues[AssignedRow(Arguments[first])].Name;
    const char *typed = RawArguments[first][0];
    if (typed[0] == '"') {
        const char *rest = RawArguments[first][1];
        snprintf(CommandAssignment, sizeof CommandAssignment, "%s=%s%.*s", name, strchr(Arguments[first], '=') + 1,
                 (int)(RawArguments[last][1] - rest), rest);
    } else {
        const char *from = strchr(typed, '=') + 1;
        snprintf(CommandAssignment, sizeof CommandAssignment, "%s=%.*s", name, (int)(RawArguments[last][1] - from),
                 from);
    }
    return last;
}

static int RunSet(const char *arguments)
{
    int count = TakeArguments(arguments, 2, MAX_ARGUMENTS, "Usage: client.exe /set N NAME=VALUE [NAME=VALUE ...]");
    if (count < 0)
        return 87;
    int n = InstanceArgument(Arguments[0]);
    if (n == 0)
        return CONFIGURATION_INVALID;
    int assigned = 0, secrets = 0, result = CONFIGURATION_DONE;
    for (int i = 1; i < count && result == CONFIGURATION_DONE; i++) {
        int row = AssignedRow(Arguments[i]);
        const char *value = row >= 0 ? strchr(Arguments[i], '=') + 1 : NULL;
        if (row >= 0 && InstanceValues[row].Kind == CommandValue) {
            i = TakeTypedCommand(i, count);
            Assignments[assigned++] = CommandAssignment;
        } else if (row >= 0 && InstanceValues[row].Kind == SecretValue && strcmp(value, "*") == 0 && secrets < 2) {
            char *assignment = SecretAssignments[secrets++];
            int length = snprintf(assignment, CONFIGURATION_LINE_SIZE, "%s=", InstanceValues[row].Name);
            if (!ReadSecretLine(InstanceValues[row].Name, assignment + length, CONFIGURATION_LINE_SIZE - length)) {
                ReportCommandLine(PrintCommandLine, "%s=* found no line on standard input (of at most %d characters)",
                                  InstanceValues[row].Name, CONFIGURATION_LINE_SIZE - length - 1);
                result = CONFIGURATION_INVALID;
            }
            Assignments[assigned++] = assignment;
        } else {
            Assignments[assigned++] = Arguments[i];
        }
    }
    if (result == CONFIGURATION_DONE)
        result = SetInstanceValues(n, Assignments, assigned, PrintCommandLine);
    WipeSecret(ArgumentText, sizeof ArgumentText);
    WipeSecret(SecretAssignments, sizeof SecretAssignments);
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
    if (i < count && Arguments[i][0] != '/' && Arguments[i][0] != '-' && (n = InstanceArgument(Arguments[i++])) == 0)
        return CHECK_UNKNOWN;
    for (; i < count; i += 2) {
        long *limit = IsSwitch(Arguments[i], "warn") ? &warn : IsSwitch(Arguments[i], "crit") ? &crit : NULL;
        if (limit == NULL || i + 1 >= count || (*limit = SecondsArgument(Arguments[i + 1])) < 0) {
            PrintCommandLine(usage);
            return CHECK_UNKNOWN;
        }
    }
    return CheckInstances(n, warn, crit, PrintCommandLine);
}

static int RunRemove(const char *arguments)
{
    if (TakeArguments(arguments, 1, 1, "Usage: client.exe /remove N") < 0)
        return 87;
    int n = InstanceArgument(Arguments[0]);
    if (n == 0)
        return CONFIGURATION_INVALID;
    return RemoveInstance(n, PrintCommandLine);
}

struct CommandVerb {
    const char *Name;   // after its '/' or '-'
    int (*Run)(const char *arguments);
};

// "uninstall" is matched on its first ten characters alone (anything after
// them is ignored, IsUninstallCommand); the others as a whole word followed
// by their arguments.
static const CommandVerb Verbs[] = {
    {"uninstall", RunUninstall},
    {"stop-instances", RunStopInstances},
    {"start-instances", RunStartInstances},
    {"list", RunList},
    {"export", RunExport},
    {"import", RunImport},
    {"set", RunSet},
    {"get", RunGet},
    {"remove", RunRemove},
    {"status", RunStatus},
    {"check", RunCheck},
    {"?", RunHelp},
    {"help", RunHelp},
};

int RunCommandLine(const char *commandLine, int *exitCode)
{
    if (commandLine == NULL)
        return 0;
    while (*commandLine == ' ' || *commandLine == '\t')
        commandLine++;
    if (*commandLine == '\0')
        return 0;
    if (IsUninstallCommand(commandLine)) {
        *exitCode = RunUninstall(commandLine + 10);
        return 1;
    }
    if (commandLine[0] == '/' || commandLine[0] == '-') {
        for (size_t i = 1; i < sizeof Verbs / sizeof Verbs[0]; i++) {
            size_t length = strlen(Verbs[i].Name);
            char after = commandLine[1 + length];
            if (_strnicmp(commandLine + 1, Verbs[i].Name, length) == 0 &&
                (after == '\0' || after == ' ' || after == '\t')) {
                *exitCode = Verbs[i].Run(commandLine + 1 + length);
                return 1;
            }
        }
    }
    // Never the window: a mistyped verb run by a deployment tool would wait
    // for ever on a desktop nobody sees.
    char line[120];
    size_t word = strcspn(commandLine, " \t");
    snprintf(line, sizeof line, "\"%.*s\" is not a verb of client.exe", (int)(word < 60 ? word : 60), commandLine);
    PrintCommandLine(line);
    *exitCode = PrintUsage(87);
    return 1;
}
