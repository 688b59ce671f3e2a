#include "service/ReadParameters.h"
#include "service/core/CheckParameters.h"
#include "service/core/ReportServiceEvent.h"
#include "service/core/ServiceState.h"

#include <stdio.h>
#include <string.h>

size_t FindExtensionPos(const char *path)
{
    size_t length = strlen(path);
    for (size_t i = length; i-- > 0;) {
        if (path[i] == '.')
            return i == 0 ? length : i;
        if (path[i] == '\\')
            break;
    }
    return length;
}

static void ReadKeyValues(HKEY key, ParameterKeyKind kind)
{
    for (int i = 0; i < PARAMETER_COUNT; i++) {
        const ParameterSpec &spec = RegistryParameters[i];
        if (spec.Key == kind)
            NoteValueRead(key, i, ReadParameterValue(key, spec, (char *)&Params + ServiceParameterOffsets[i]));
    }
    for (int i = 0; i < OPTIONAL_PARAMETER_COUNT; i++)
        if (OptionalParameters[i].Key == kind)
            NoteOptionalRead(key, i, ReadOptionalParameter(key, OptionalParameters[i],
                                                        (DWORD *)((char *)&Params + ServiceOptionalOffsets[i])));
}

int ReadParameters()
{
    char path[MAX_PATH];
    HKEY parametersKey, portKey;

    snprintf(path, sizeof path, PARAMETERS_KEY_FORMAT, ServiceName);
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &parametersKey) != ERROR_SUCCESS) {
        ReportServiceEvent("Could not open Parameters subkey", EVENTLOG_ERROR_TYPE);
        return 0;
    }
    strncat(path, PORT_SUBKEY_SUFFIX, sizeof path - strlen(path) - 1);
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &portKey) != ERROR_SUCCESS) {
        RegCloseKey(parametersKey);
        ReportServiceEvent("Could not open Parameters\\Port1 subkey", EVENTLOG_ERROR_TYPE);
        return 0;
    }

    ReadKeyValues(parametersKey, InParametersKey);
    ReadSmtpSettings(parametersKey, &Params.Smtp, &Params.SmtpStates);
    ReadMailSettings(parametersKey, &Params.Mail, &Params.MailStates);
    ReadForwardSettings(parametersKey, &Params.Forward, &Params.ForwardStates);
    ReadKeyValues(portKey, InPortKey);
    RegCloseKey(portKey);
    RegCloseKey(parametersKey);

    MailConfigured = Params.SmtpServer[0] != '\0' && Params.SmtpToAddress[0] != '\0' &&
                     Params.SmtpFromAddress[0] != '\0';
    ExtensionPos = FindExtensionPos(Params.LogFilename);
    ParametersRead = TRUE;
    ReportParameterProblems();
    return 1;
}
