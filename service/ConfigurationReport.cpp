#include "service/ConfigurationReport.h"
#include "service/core/CheckParameters.h"
#include "service/core/ServiceState.h"

#include <stdio.h>
#include <string.h>

// What the report says of a value the registry held in a form not used.
#define NOT_VALID_NONE_USED "(the stored value is not valid; none is used)"

// The lines of the optional mail values, after the fixed report and only
// when one of them is in the registry: an instance that never used them
// reports exactly as before. Never the password itself.
static int FormatSmtpLines(char *buffer, size_t size)
{
    const SmtpSettings &s = Params.Smtp;
    const int *state = Params.SmtpStates.State;
    char port[96], security[96], user[128], ca[320];
    if (state[SmtpPortValue] == SmtpValueInvalid)
        snprintf(port, sizeof port, "%d (the stored value is not a port number; %d is used)",
                 SMTP_DEFAULT_PORT, SMTP_DEFAULT_PORT);
    else
        snprintf(port, sizeof port, "%lu", (unsigned long)SmtpPortOf(&s));
    if (s.SmtpSecurity < SMTP_SECURITY_COUNT)
        snprintf(security, sizeof security, "%s", SmtpSecurityNames[s.SmtpSecurity]);
    else
        snprintf(security, sizeof security, "(the stored value is not 0, 1 or 2; no mail is sent)");
    if (state[SmtpUserValue] == SmtpValueInvalid)
        snprintf(user, sizeof user, NOT_VALID_NONE_USED);
    else if (s.SmtpUser[0] != '\0' && s.SmtpSecurity == SecurityNone)
        snprintf(user, sizeof user, "%s (signing in needs STARTTLS or SSL/TLS; no mail is sent)", s.SmtpUser);
    else
        snprintf(user, sizeof user, "%s", s.SmtpUser);
    snprintf(ca, sizeof ca, "%s",
             state[SmtpTrustedCaValue] == SmtpValueInvalid ? NOT_VALID_NONE_USED : s.SmtpTrustedCa);
    int length = snprintf(buffer, size,
                          "SMTP Port: %s\r\n"
                          "SMTP Security: %s\r\n"
                          "SMTP User: %s\r\n"
                          "SMTP Trusted CA: %s\r\n"
                          "%s",
                          port, security, user, ca,
                          state[SmtpPasswordValue] == SmtpValueInvalid
                              ? "SMTP Password: " NOT_VALID_NONE_USED "\r\n" : "");
    return length < 0 ? 0 : length;
}

// A line for each optional value of the mailing that is in the registry,
// after the mail values: an instance without them reports as before.
static int FormatMailLines(char *buffer, size_t size)
{
    const MailSettings &m = Params.Mail;
    const int *state = Params.MailStates.State;
    char retry[96] = "", attachment[128] = "";
    if (state[MailRetryHoursValue] == SmtpValueInvalid)
        snprintf(retry, sizeof retry, "Mail Retry Hours: 0 (the stored value is not 0 to %d; 0 is used)\r\n",
                 MAIL_RETRY_HOURS_MAX);
    else if (state[MailRetryHoursValue] == SmtpValueTaken)
        snprintf(retry, sizeof retry, "Mail Retry Hours: %lu\r\n", (unsigned long)m.MailRetryHours);
    if (state[MailAttachmentValue] == SmtpValueInvalid)
        snprintf(attachment, sizeof attachment,
                 "Mail Attachment: %s (the stored value is not 0, 1 or 2; 0 is used)\r\n",
                 MailAttachmentNames[AttachLog]);
    else if (state[MailAttachmentValue] == SmtpValueTaken)
        snprintf(attachment, sizeof attachment, "Mail Attachment: %s\r\n",
                 m.MailAttachment < MAIL_ATTACHMENT_COUNT ? MailAttachmentNames[m.MailAttachment] : "?");
    int length = snprintf(buffer, size, "%s%s", retry, attachment);
    return length < 0 ? 0 : length;
}

// What the report says of the sign-in method, and why a mail will not go out.
static void FormatSignIn(char *text, size_t size)
{
    const SmtpSettings &s = Params.Smtp;
    if (Params.SmtpStates.OAuth.State[SmtpAuthMethodValue] == SmtpValueInvalid)
        snprintf(text, size, "User and password (the stored value is not 0 or 1; user and password are used)");
    else if (s.OAuth.SmtpAuthMethod != AuthOAuth2)
        snprintf(text, size, "User and password");
    else if (s.SmtpSecurity == SecurityNone)
        snprintf(text, size, "OAuth 2.0 (signing in needs STARTTLS or SSL/TLS; no mail is sent)");
    else if (s.SmtpUser[0] == '\0')
        snprintf(text, size, "OAuth 2.0 (SMTP User must name the mailbox; no mail is sent)");
    else
        snprintf(text, size, "OAuth 2.0");
}

// The lines of the OAuth 2.0 values, only when one of them is stored. Never
// the client secret.
static int FormatOAuthLines(char *buffer, size_t size)
{
    static const struct {
        int Value;
        const char *Label;
    } Shown[] = {
        {OAuthTokenUrlValue, "OAuth Token URL"},     {OAuthClientIdValue, "OAuth Client Id"},
        {OAuthScopeValue, "OAuth Scope"},            {OAuthCertificateValue, "OAuth Certificate"},
        {OAuthKeyFileValue, "OAuth Key File"},       {OAuthProxyValue, "OAuth Proxy"},
    };
    const OAuthSettings &o = Params.Smtp.OAuth;
    const int *state = Params.SmtpStates.OAuth.State;
    char signIn[128];
    FormatSignIn(signIn, sizeof signIn);
    int length = snprintf(buffer, size, "SMTP Sign-in: %s\r\n", signIn);
    for (size_t i = 0; i < sizeof Shown / sizeof Shown[0] && length >= 0 && (size_t)length < size; i++) {
        int value = Shown[i].Value;
        const char *text = (const char *)&o + OAuthValues[value].Offset;
        if (state[value] == SmtpValueInvalid)
            text = NOT_VALID_NONE_USED;
        else if (value == OAuthScopeValue)
            text = OAuthScopeOf(&o);
        length += snprintf(buffer + length, size - length, "%s: %s\r\n", Shown[i].Label, text);
    }
    if (length >= 0 && (size_t)length < size && state[OAuthClientSecretValue] == SmtpValueInvalid)
        length += snprintf(buffer + length, size - length, "OAuth Client Secret: " NOT_VALID_NONE_USED "\r\n");
    return length < 0 ? 0 : length;
}

// The lines of the forwarding values, only when one of them is stored.
static int FormatForwardLines(char *buffer, size_t size)
{
    const ForwardSettings &f = Params.Forward;
    const int *state = Params.ForwardStates.State;
    ForwardTarget target;
    char to[FORWARD_TO_SIZE + 64], facility[96];
    if (state[ForwardToValue] == SmtpValueInvalid)
        snprintf(to, sizeof to, "(the stored value is not valid; nothing is forwarded)");
    else if (f.ForwardTo[0] != '\0' && !ParseForwardTo(f.ForwardTo, &target))
        snprintf(to, sizeof to, "%s (not tcp://, tls:// or udp:// HOST:PORT; nothing is forwarded)", f.ForwardTo);
    else
        snprintf(to, sizeof to, "%s", f.ForwardTo);
    DWORD local = ForwardFacilityOf(&f) - FORWARD_FACILITY_LOWEST;
    if (state[ForwardFacilityValue] == SmtpValueInvalid)
        snprintf(facility, sizeof facility, "local0 (the stored value is not 16 to 23; 16 is used)");
    else
        snprintf(facility, sizeof facility, "local%lu", (unsigned long)local);
    int length = snprintf(buffer, size,
                          "Forward To: %s\r\n"
                          "Forward Facility: %s\r\n"
                          "Forward Trusted CA: %s\r\n"
                          "Forward Certificate: %s\r\n",
                          to, facility,
                          state[ForwardTrustedCaValue] == SmtpValueInvalid ? NOT_VALID_NONE_USED : f.ForwardTrustedCa,
                          state[ForwardCertificateValue] == SmtpValueInvalid ? NOT_VALID_NONE_USED
                                                                             : f.ForwardCertificate);
    return length < 0 ? 0 : length;
}

int FormatConfigurationReport(char *buffer, size_t size)
{
    const ServiceParameters &p = Params;
    DWORD days = p.DayOfWeekMask;
    int length = snprintf(buffer, size,
        "\r\n\r\n"
        "---Configuration---\r\n"
        "Service Name: %s\r\n"
        "Port: %s\r\n"
        "Log File: %s\r\n"
        "Log Rotation: %s\r\n"
        "Baud Rate: %d\r\n"
        "Byte Size: %d\r\n"
        "Parity: %s\r\n"
        "Stop Bits: %s\r\n"
        "Net Send Users: %s\r\n"
        "Custom Timeout Command: %s\r\n"
        "Timeout: %d seconds\r\n"
        "Warning Interval: %d seconds\r\n"
        "Day Of Week Mask: %s%s%s%s%s%s%s\r\n"
        "Start Time: %d:%.02d\r\n"
        "End Time: %d:%.02d\r\n"
        "Verbose Level: 0x%x\r\n"
        "Pause Timeout: %lu milliseconds\r\n"
        "Internal Com Buffer Size: %d bytes\r\n"
        "SMTP Server: %s\r\n"
        "SMTP From Address: %s\r\n"
        "SMTP To Addresses: %s\r\n"
        "Timestamp Format: %d\r\n",
        ServiceName, p.PortName, p.LogFilename, LogRotationName(p.LogRotation),
        (int)p.BaudRate, (int)p.ByteSize, ParityName(p.Parity), StopBitsName(p.StopBits),
        p.NetSendUsers, p.CustomTimeoutCmd, (int)p.Timeout, (int)p.WarningInterval,
        (days & 0x40) ? "Sun" : "", (days & 0x20) ? "Mon" : "", (days & 0x10) ? "Tue" : "",
        (days & 0x08) ? "Wed" : "", (days & 0x04) ? "Thu" : "", (days & 0x02) ? "Fri" : "",
        (days & 0x01) ? "Sat" : "",
        (int)p.StartHour, (int)p.StartMin, (int)p.EndHour, (int)p.EndMin,
        (unsigned)p.VerboseLevel, (unsigned long)p.PauseTimeout, (int)p.ComBufferSize,
        p.SmtpServer, p.SmtpFromAddress, p.SmtpToAddress, (int)p.TimestampFormat);
    // Optional values only when stored: an instance that never used them
    // reports exactly as before.
    if (length >= 0 && (size_t)length < size && OptionalValueStored(FlowControlValue)) {
        int line = snprintf(buffer + length, size - length, "Flow Control: %s\r\n", FlowControlName(p.FlowControl));
        length += line < 0 ? 0 : line;
    }
    if (length >= 0 && (size_t)length < size && AnySmtpValuePresent(&p.SmtpStates))
        length += FormatSmtpLines(buffer + length, size - length);
    if (length >= 0 && (size_t)length < size)
        length += FormatMailLines(buffer + length, size - length);
    if (length >= 0 && (size_t)length < size && AnyOAuthValuePresent(&p.SmtpStates.OAuth))
        length += FormatOAuthLines(buffer + length, size - length);
    if (length >= 0 && (size_t)length < size && AnyForwardValuePresent(&p.ForwardStates))
        length += FormatForwardLines(buffer + length, size - length);
    if (size > 0)
        buffer[size - 1] = '\0';
    if (length < 0)
        return 0;
    return (size_t)length < size ? length : (int)size - 1;
}
