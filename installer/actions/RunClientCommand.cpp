// The deferred and rollback actions of the MSI package run the installed
// client.exe through this entry (a custom action of Windows Installer), with
// its whole command line, program first and quoted, as CustomActionData.
// Windows Installer keeps nothing a program started by an action prints: here
// each line it prints goes into the installation's log, so that the log says
// why an import or a restart failed, and a non-zero exit code fails the action
// (a rollback action's failure is ignored by its type).
#include <windows.h>
#include <msi.h>
#include <msiquery.h>
#include <string.h>

#include "installer/actions/InstallerLog.h"

// Longer lines are logged in pieces of this size.
#define OUTPUT_LINE_SIZE 1024

// Logs what arrives on output, line by line, until its writer closes it.
static void RelayOutput(HANDLE output)
{
    static char line[OUTPUT_LINE_SIZE + 1];
    size_t used = 0;
    char chunk[512];
    DWORD got = 0;
    while (ReadFile(output, chunk, sizeof chunk, &got, NULL) && got > 0) {
        for (DWORD i = 0; i < got; i++) {
            char c = chunk[i];
            if (c == '\r')
                continue;
            if (c != '\n')
                line[used++] = c;
            if (c == '\n' || used == OUTPUT_LINE_SIZE) {
                line[used] = '\0';
                LogToInstaller("client.exe: %s", line);
                used = 0;
            }
        }
    }
    if (used > 0) {
        line[used] = '\0';
        LogToInstaller("client.exe: %s", line);
    }
}

// Runs command with standard output and error into a pipe that is relayed to
// the log. Returns its exit code, or -1 when it could not be started.
static long RunRelayed(char *command)
{
    SECURITY_ATTRIBUTES inherited = {sizeof inherited, NULL, TRUE};
    HANDLE readEnd = NULL, writeEnd = NULL;
    if (!CreatePipe(&readEnd, &writeEnd, &inherited, 0)) {
        LogToInstaller("No pipe for the output of client.exe (error %lu)", GetLastError());
        return -1;
    }
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    HANDLE input = CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherited, OPEN_EXISTING, 0,
                               NULL);
    STARTUPINFOA startup;
    memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = input;
    startup.hStdOutput = writeEnd;
    startup.hStdError = writeEnd;
    PROCESS_INFORMATION process;
    BOOL started = CreateProcessA(NULL, command, NULL, NULL, TRUE, CREATE_NO_WINDOW, NULL, NULL, &startup, &process);
    DWORD error = GetLastError();
    // Only the child holds the writing end now: the pipe ends with it.
    CloseHandle(writeEnd);
    if (input != INVALID_HANDLE_VALUE)
        CloseHandle(input);
    if (!started) {
        CloseHandle(readEnd);
        LogToInstaller("client.exe could not be started (error %lu)", error);
        return -1;
    }
    CloseHandle(process.hThread);
    RelayOutput(readEnd);
    CloseHandle(readEnd);
    // Its own waits are bounded (an instance's stop at 70 s).
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 1;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hProcess);
    return (long)code;
}

extern "C" UINT __stdcall RunClientCommand(MSIHANDLE session)
{
    InstallerSession = session;
    // CreateProcessA may write into the command line.
    static char command[4096];
    DWORD size = sizeof command;
    if (MsiGetPropertyA(session, "CustomActionData", command, &size) != ERROR_SUCCESS || command[0] != '"') {
        LogToInstaller("The command for client.exe is missing or too long");
        return ERROR_INSTALL_FAILURE;
    }
    LogToInstaller("Running %s", command);
    long code = RunRelayed(command);
    if (code >= 0)
        LogToInstaller("client.exe ended with exit code %ld", code);
    return code == 0 ? ERROR_SUCCESS : ERROR_INSTALL_FAILURE;
}
