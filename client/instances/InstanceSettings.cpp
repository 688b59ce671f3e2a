#include "client/instances/InstanceSettings.h"

#include <string.h>

InstanceSettings InstanceTable[MAX_INSTANCES + 1];
int SettingsModified = 0;

const size_t InstanceParameterOffsets[PARAMETER_COUNT] = {
    offsetof(InstanceSettings, LogFilename),
    offsetof(InstanceSettings, SmtpServer),
    offsetof(InstanceSettings, SmtpToAddress),
    offsetof(InstanceSettings, SmtpFromAddress),
    offsetof(InstanceSettings, TimestampFormat),
    offsetof(InstanceSettings, VerboseLevel),
    offsetof(InstanceSettings, LogRotation),
    offsetof(InstanceSettings, PauseTimeout),
    offsetof(InstanceSettings, PortName),
    offsetof(InstanceSettings, BaudRate),
    offsetof(InstanceSettings, ByteSize),
    offsetof(InstanceSettings, ComBufferSize),
    offsetof(InstanceSettings, Parity),
    offsetof(InstanceSettings, StopBits),
    offsetof(InstanceSettings, Timeout),
    offsetof(InstanceSettings, WarningInterval),
    offsetof(InstanceSettings, CustomTimeoutCmd),
    offsetof(InstanceSettings, NetSendUsers),
    offsetof(InstanceSettings, DayOfWeekMask),
    offsetof(InstanceSettings, StartHour),
    offsetof(InstanceSettings, StartMin),
    offsetof(InstanceSettings, EndHour),
    offsetof(InstanceSettings, EndMin),
};

const size_t InstanceOptionalOffsets[OPTIONAL_PARAMETER_COUNT] = {
    offsetof(InstanceSettings, FlowControl),
};

int CopySettingText(char *member, size_t size, const char *text)
{
    if (size == 0)
        return 0;
    if (text == NULL)
        text = "";
    size_t length = strnlen(text, size);
    int fits = length < size;
    if (!fits)
        length = size - 1;
    memcpy(member, text, length);
    member[length] = '\0';
    return fits;
}
