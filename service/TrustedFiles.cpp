#include "service/TrustedFiles.h"
#include "service/alarm/AlarmCommand.h"
#include "service/core/ReportServiceEvent.h"
#include "service/core/ServiceState.h"

#include "common/system/PathSecurity.h"

#include <stdio.h>
#include <string.h>

// A file trusted as it stands: a warning when others can change it.
static void WarnOfFile(const char *what, const char *path, const char *consequence)
{
    if (path[0] == '\0')
        return;
    char which[MAX_PATH];
    DWORD error = 0;
    int changeable = FileLetsOthersChange(path, which, sizeof which, &error);
    if (changeable > 0)
        ReportServiceEvent("Warning: %s \"%s\" can be changed by users who are not administrators (through \"%s\"): "
                           "%s. Give it and its folder to the Administrators",
                           EVENTLOG_WARNING_TYPE, what, path, which, consequence);
}

static void WarnOfLogFolder(const char *logFile)
{
    char folder[MAX_PATH], *name = NULL;
    DWORD length = GetFullPathNameA(logFile, sizeof folder, folder, &name);
    if (length == 0 || length >= sizeof folder || name == NULL || name == folder)
        return;
    *name = '\0';
    DWORD error = 0;
    if (PathLetsOthersChange(folder, CHANGING_RIGHTS, &error) > 0)
        ReportServiceEvent("Warning: users who are not administrators can write to the log folder \"%s\": they can "
                           "read and change the logs, and put a link in place of a log file (which the service "
                           "refuses to write). Let only administrators, and the readers they choose, into it",
                           EVENTLOG_WARNING_TYPE, folder);
}

void WarnOfChangeableFiles()
{
    char program[MAX_PATH];
    if (Params.CustomTimeoutCmd[0] != '\0' && AlarmCommandProgram(Params.CustomTimeoutCmd, program, sizeof program))
        WarnOfFile("the alarm command's program", program, "the alarm runs it as LocalSystem");
    WarnOfFile("the trusted CA file (SmtpTrustedCa)", Params.Smtp.SmtpTrustedCa,
               "a server of theirs could be trusted with the mail and its password");
    WarnOfFile("the trusted CA file (OAuthTrustedCa)", Params.Smtp.OAuth.OAuthTrustedCa,
               "a server of theirs could be trusted with the client secret");
    WarnOfFile("the OAuth key file", Params.Smtp.OAuth.OAuthKeyFile, "they could take or replace the key");
    WarnOfFile("the trusted CA file (ForwardTrustedCa)", Params.Forward.ForwardTrustedCa,
               "a collector of theirs could be trusted with the captured lines");
    WarnOfLogFolder(Params.LogFilename);
}
