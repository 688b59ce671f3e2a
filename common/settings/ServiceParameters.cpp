#include "common/settings/ServiceParameters.h"

#define AT(member) offsetof(ServiceParameters, member)

const size_t ServiceParameterOffsets[PARAMETER_COUNT] = {
    AT(LogFilename), AT(SmtpServer), AT(SmtpToAddress), AT(SmtpFromAddress),
    AT(TimestampFormat), AT(VerboseLevel), AT(LogRotation), AT(PauseTimeout),
    AT(PortName), AT(BaudRate), AT(ByteSize), AT(ComBufferSize), AT(Parity),
    AT(StopBits), AT(Timeout), AT(WarningInterval), AT(CustomTimeoutCmd),
    AT(NetSendUsers), AT(DayOfWeekMask), AT(StartHour), AT(StartMin),
    AT(EndHour), AT(EndMin),
};

const size_t ServiceOptionalOffsets[OPTIONAL_PARAMETER_COUNT] = {AT(FlowControl)};
