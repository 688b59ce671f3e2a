// How finished logs are mailed beyond reaching the server: retries, and
// whether the attachment is zipped. Two optional values of the parameters
// key, read by the service and read and written by the configuration
// program; absent, mail goes out exactly as before they existed.
#pragma once

#include "common/settings/Parameters.h"
#include "common/settings/SmtpSettings.h"

// MailAttachment codes.
enum MailAttachmentKind {
    AttachLog             = 0,  // the log as it is
    AttachZipWhenTooLarge = 1,  // zipped when larger than the server accepts
    AttachZipAlways       = 2
};
#define MAIL_ATTACHMENT_COUNT 3
extern const char *const MailAttachmentNames[MAIL_ATTACHMENT_COUNT];

// MailRetryHours: 0 one try; up to this many hours of retries.
#define MAIL_RETRY_HOURS_MAX 240

struct MailSettings {
    DWORD MailRetryHours;
    DWORD MailAttachment;   // MailAttachmentKind
};

enum MailValue {
    MailRetryHoursValue = 0,
    MailAttachmentValue,
    MAIL_VALUE_COUNT
};
extern const char *const MailValueNames[MAIL_VALUE_COUNT];

// What the registry held for each value (SmtpValueState codes): out of
// range or of another type, a value falls back to its default.
struct MailValueStates {
    int State[MAIL_VALUE_COUNT];
};

// Reads both values from an open parameters key into settings (first set to
// the defaults) and, when states is not null, notes what each value was.
void ReadMailSettings(HKEY key, MailSettings *settings, MailValueStates *states);

// MailAttachment as the configuration program keeps it, as FlowControl is: a
// code it does not know (which the service takes as 0) is held as stored,
// shown as no choice and left in the key until a choice is made.
extern const OptionalParameterSpec MailAttachmentSpec;

// Writes the values that differ from 0 and deletes the others (a
// MailAttachment of another type stored before is left as it is). Non-zero
// when both were written or deleted.
int WriteMailSettings(HKEY key, const MailSettings *settings);
