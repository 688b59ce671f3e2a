#include "common/settings/MailSettings.h"

#include <string.h>

const char *const MailValueNames[MAIL_VALUE_COUNT] = {"MailRetryHours", "MailAttachment"};

const char *const MailAttachmentNames[MAIL_ATTACHMENT_COUNT] = {
    "Log as it is", "Zipped when too large", "Always zipped",
};

void ReadMailSettings(HKEY key, MailSettings *settings, MailValueStates *states)
{
    memset(settings, 0, sizeof *settings);
    int state[MAIL_VALUE_COUNT];
    state[MailRetryHoursValue] = ReadOptionalNumber(key, MailValueNames[MailRetryHoursValue],
                                                    MAIL_RETRY_HOURS_MAX, &settings->MailRetryHours);
    state[MailAttachmentValue] = ReadOptionalNumber(key, MailValueNames[MailAttachmentValue],
                                                    MAIL_ATTACHMENT_COUNT - 1, &settings->MailAttachment);
    if (states != NULL)
        memcpy(states->State, state, sizeof state);
}

const OptionalParameterSpec MailAttachmentSpec = {
    "MailAttachment", InParametersKey, REG_DWORD, MAIL_ATTACHMENT_COUNT - 1, AttachLog,
};

int WriteMailSettings(HKEY key, const MailSettings *settings)
{
    int ok = WriteOptionalNumber(key, MailValueNames[MailRetryHoursValue], settings->MailRetryHours, 0);
    ok &= WriteOptionalParameter(key, MailAttachmentSpec, settings->MailAttachment);
    return ok;
}
