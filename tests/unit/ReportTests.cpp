#include <gtest/gtest.h>

#include <string.h>
#include <string>

#include "service/ConfigurationReport.h"
#include "service/core/CheckParameters.h"
#include "service/core/ReportServiceEvent.h"
#include "service/core/ServiceState.h"
#include "tests/unit/FakeEventLog.h"

namespace {

class Reporting : public ::testing::Test {
protected:
    void SetUp() override
    {
        memset(&Params, 0, sizeof Params);
        strcpy(ServiceName, "Quillbox3");
        ParametersRead = TRUE;
    }
    FakeEventLog log;
    const std::vector<RecordedEvent> &Events = log.Events();
};

TEST_F(Reporting, OneEventUnderTheServiceNameWithTheFixedIdentifier)
{
    Params.VerboseLevel = 1;
    ReportServiceEvent("%s Stopping", EVENTLOG_INFORMATION_TYPE, "Quillbox3");
    ASSERT_EQ(Events.size(), 1u);
    EXPECT_EQ(Events[0].Source, "Quillbox3");
    EXPECT_EQ(Events[0].Type, EVENTLOG_INFORMATION_TYPE);
    EXPECT_EQ(Events[0].Id, 0xC0001000u);
    EXPECT_EQ(Events[0].Strings, 1);
    EXPECT_EQ(Events[0].Text, "Quillbox3 Stopping");
}

TEST_F(Reporting, VerboseLevelZeroSilencesEvenErrors)
{
    Params.VerboseLevel = 0;
    ReportServiceEvent("Could not obtain handle to \"%s\"", EVENTLOG_ERROR_TYPE, "COM9");
    EXPECT_TRUE(Events.empty());
}

TEST_F(Reporting, BeforeTheParametersAreReadOnlyErrorsGetThrough)
{
    ParametersRead = FALSE;
    ReportServiceEvent("Could not open Parameters subkey", EVENTLOG_ERROR_TYPE);
    ReportServiceEvent("something informative", EVENTLOG_INFORMATION_TYPE);
    ASSERT_EQ(Events.size(), 1u);
    EXPECT_EQ(Events[0].Text, "Could not open Parameters subkey");
}

TEST_F(Reporting, LongTextsAreCutNotOverflowed)
{
    Params.VerboseLevel = 1;
    std::string huge(10000, 'x');
    ReportServiceEvent("%s", EVENTLOG_ERROR_TYPE, huge.c_str());
    ASSERT_EQ(Events.size(), 1u);
    EXPECT_EQ(Events[0].Text.size(), 4095u);
}

TEST_F(Reporting, ConfigurationReportOfANewInstance)
{
    strcpy(Params.PortName, "COM3");
    strcpy(Params.LogFilename, "C:\\Tools\\Quillbox3.log");
    Params.BaudRate = 2400;
    Params.ByteSize = 8;
    Params.VerboseLevel = 3;
    Params.WarningInterval = 600;
    Params.DayOfWeekMask = 0x3E;
    Params.StartHour = 9;
    Params.EndHour = 18;
    Params.PauseTimeout = 0xFFFFFFFF;
    char text[4096];
    int length = FormatConfigurationReport(text, sizeof text);
    EXPECT_EQ((size_t)length, strlen(text));
    EXPECT_STREQ(text,
                 "\r\n\r\n"
                 "---Configuration---\r\n"
                 "Service Name: Quillbox3\r\n"
                 "Port: COM3\r\n"
                 "Log File: C:\\Tools\\Quillbox3.log\r\n"
                 "Log Rotation: Never\r\n"
                 "Baud Rate: 2400\r\n"
                 "Byte Size: 8\r\n"
                 "Parity: None\r\n"
                 "Stop Bits: 1\r\n"
                 "Net Send Users: \r\n"
                 "Custom Timeout Command: \r\n"
                 "Timeout: 0 seconds\r\n"
                 "Warning Interval: 600 seconds\r\n"
                 "Day Of Week Mask: MonTueWedThuFri\r\n"
                 "Start Time: 9:00\r\n"
                 "End Time: 18:00\r\n"
                 "Verbose Level: 0x3\r\n"
                 "Pause Timeout: 4294967295 milliseconds\r\n"
                 "Internal Com Buffer Size: 0 bytes\r\n"
                 "SMTP Server: \r\n"
                 "SMTP From Address: \r\n"
                 "SMTP To Addresses: \r\n"
                 "Timestamp Format: 0\r\n");
}

TEST_F(Reporting, ConfigurationReportNamesEveryCodeAndSurvivesBadOnes)
{
    Params.DayOfWeekMask = 0;
    Params.LogRotation = 5;
    Params.Parity = 4;
    Params.StopBits = 1;
    char text[4096];
    FormatConfigurationReport(text, sizeof text);
    std::string report = text;
    EXPECT_NE(report.find("\r\nDay Of Week Mask: \r\n"), std::string::npos);
    EXPECT_NE(report.find("Log Rotation: Minutely\r\n"), std::string::npos);
    EXPECT_NE(report.find("Parity: Space\r\n"), std::string::npos);
    EXPECT_NE(report.find("Stop Bits: 1.5\r\n"), std::string::npos);

    Params.DayOfWeekMask = 0x41;
    Params.LogRotation = 77;
    Params.Parity = 0xFFFFFFFF;
    Params.StopBits = 3;
    FormatConfigurationReport(text, sizeof text);
    report = text;
    EXPECT_NE(report.find("Day Of Week Mask: SunSat\r\n"), std::string::npos);
    EXPECT_NE(report.find("Log Rotation: ?\r\n"), std::string::npos);
    EXPECT_NE(report.find("Parity: ?\r\n"), std::string::npos);
    EXPECT_NE(report.find("Stop Bits: ?\r\n"), std::string::npos);
}

// The fixed report ends with this line; the optional mail values follow it.
static std::string AfterFixedReport(const char *text)
{
    std::string report = text;
    const std::string last = "Timestamp Format: 0\r\n";
    size_t end = report.find(last);
    return end == std::string::npos ? "<no fixed report>" : report.substr(end + last.size());
}

TEST_F(Reporting, ConfigurationReportAddsTheOptionalValuesWhenStored)
{
    char text[4096];
    // Only the password stored: every line but the password's, which never shows.
    Params.SmtpStates.State[SmtpPasswordValue] = SmtpValueTaken;
    memset(Params.Smtp.SmtpPassword, 0x41, 64);
    Params.Smtp.SmtpPasswordSize = 64;
    FormatConfigurationReport(text, sizeof text);
    EXPECT_EQ(AfterFixedReport(text),
              "SMTP Port: 25\r\n"
              "SMTP Security: None\r\n"
              "SMTP User: \r\n"
              "SMTP Trusted CA: \r\n");

    Params.Smtp.SmtpPort = 587;
    Params.Smtp.SmtpSecurity = SecurityStartTls;
    strcpy(Params.Smtp.SmtpUser, "alice@plant.example");
    strcpy(Params.Smtp.SmtpTrustedCa, "C:\\certs\\relay-ca.pem");
    for (int i = 0; i < SMTP_VALUE_COUNT; i++)
        Params.SmtpStates.State[i] = SmtpValueTaken;
    FormatConfigurationReport(text, sizeof text);
    EXPECT_EQ(AfterFixedReport(text),
              "SMTP Port: 587\r\n"
              "SMTP Security: STARTTLS\r\n"
              "SMTP User: alice@plant.example\r\n"
              "SMTP Trusted CA: C:\\certs\\relay-ca.pem\r\n");
    Params.Smtp.SmtpSecurity = SecurityImplicitTls;
    FormatConfigurationReport(text, sizeof text);
    EXPECT_NE(std::string(text).find("SMTP Security: SSL/TLS\r\n"), std::string::npos);

    NoteOptionalRead(NULL, FlowControlValue, OptionalTaken);
    Params.FlowControl = FlowXonXoff;
    FormatConfigurationReport(text, sizeof text);
    EXPECT_EQ(AfterFixedReport(text).rfind("Flow Control: XON/XOFF\r\nSMTP Port: 587\r\n", 0), 0u);
    // The network source's values likewise, each only when stored.
    strcpy(Params.Network.Source, "listen://:1752");
    Params.NetworkStates.State[SourceValue] = SmtpValueTaken;
    Params.NetworkStates.State[AllowedSendersValue] = SmtpValueInvalid;
    FormatConfigurationReport(text, sizeof text);
    EXPECT_EQ(AfterFixedReport(text).rfind("Flow Control: XON/XOFF\r\nSource: listen://:1752\r\nAllowed Senders: "
                                           "(the stored value is not a string that fits; the service does not "
                                           "start)\r\nSMTP Port: 587\r\n", 0), 0u);
    memset(&Params.NetworkStates, 0, sizeof Params.NetworkStates);
    ForgetParameterProblems();
}

TEST_F(Reporting, ConfigurationReportSaysWhichMailValuesFellBackOrStopTheMail)
{
    char text[4096];
    for (int i = 0; i < SMTP_VALUE_COUNT; i++)
        Params.SmtpStates.State[i] = SmtpValueInvalid;
    Params.Smtp.SmtpSecurity = SMTP_SECURITY_INVALID;
    FormatConfigurationReport(text, sizeof text);
    EXPECT_EQ(AfterFixedReport(text),
              "SMTP Port: 25 (the stored value is not a port number; 25 is used)\r\n"
              "SMTP Security: (the stored value is not 0, 1 or 2; no mail is sent)\r\n"
              "SMTP User: (the stored value is not valid; none is used)\r\n"
              "SMTP Trusted CA: (the stored value is not valid; none is used)\r\n"
              "SMTP Password: (the stored value is not valid; none is used)\r\n");

    // A user to sign in over plain text: the mail will not go out.
    memset(&Params.SmtpStates, 0, sizeof Params.SmtpStates);
    Params.SmtpStates.State[SmtpUserValue] = SmtpValueTaken;
    Params.Smtp.SmtpSecurity = SecurityNone;
    strcpy(Params.Smtp.SmtpUser, "alice");
    FormatConfigurationReport(text, sizeof text);
    EXPECT_NE(std::string(text).find(
                  "SMTP User: alice (signing in needs STARTTLS or SSL/TLS; no mail is sent)\r\n"),
              std::string::npos);
}

TEST_F(Reporting, ConfigurationReportAddsALineForEachStoredMailingValue)
{
    char text[4096];
    Params.MailStates.State[MailAttachmentValue] = SmtpValueTaken;
    Params.Mail.MailAttachment = AttachZipWhenTooLarge;
    FormatConfigurationReport(text, sizeof text);
    EXPECT_EQ(AfterFixedReport(text), "Mail Attachment: Zipped when too large\r\n");

    Params.MailStates.State[MailRetryHoursValue] = SmtpValueInvalid;
    Params.MailStates.State[MailAttachmentValue] = SmtpValueInvalid;
    Params.Mail.MailAttachment = AttachLog;
    Params.SmtpStates.State[SmtpPortValue] = SmtpValueTaken;
    FormatConfigurationReport(text, sizeof text);
    EXPECT_EQ(AfterFixedReport(text),
              "SMTP Port: 25\r\n"
              "SMTP Security: None\r\n"
              "SMTP User: \r\n"
              "SMTP Trusted CA: \r\n"
              "Mail Retry Hours: 0 (the stored value is not 0 to 240; 0 is used)\r\n"
              "Mail Attachment: Log as it is (the stored value is not 0, 1 or 2; 0 is used)\r\n");
}

TEST_F(Reporting, ConfigurationReportAddsTheOAuthValuesButNeverTheSecret)
{
    char text[4096];
    OAuthSettings &o = Params.Smtp.OAuth;
    int *state = Params.SmtpStates.OAuth.State;
    o.SmtpAuthMethod = AuthOAuth2;
    strcpy(o.OAuthTokenUrl, "https://login.microsoftonline.com/plant/oauth2/v2.0/token");
    strcpy(o.OAuthClientId, "6731de76");
    memcpy(o.OAuthClientSecret, "Kx8Q~secret", 11);     // whatever is stored, it never shows
    o.OAuthClientSecretSize = 11;
    for (int value : {SmtpAuthMethodValue, OAuthTokenUrlValue, OAuthClientIdValue, OAuthClientSecretValue})
        state[value] = SmtpValueTaken;
    Params.Smtp.SmtpSecurity = SecurityStartTls;
    strcpy(Params.Smtp.SmtpUser, "tallyline@plant.example");
    FormatConfigurationReport(text, sizeof text);
    EXPECT_EQ(AfterFixedReport(text),
              "SMTP Sign-in: OAuth 2.0\r\n"
              "OAuth Token URL: https://login.microsoftonline.com/plant/oauth2/v2.0/token\r\n"
              "OAuth Client Id: 6731de76\r\n"
              "OAuth Scope: https://outlook.office365.com/.default\r\n"
              "OAuth Certificate: \r\n"
              "OAuth Key File: \r\n"
              "OAuth Proxy: \r\n");

    // What keeps the mail from going out, and values that fell back.
    Params.Smtp.SmtpSecurity = SecurityNone;
    state[OAuthCertificateValue] = state[OAuthClientSecretValue] = SmtpValueInvalid;
    FormatConfigurationReport(text, sizeof text);
    std::string report = text;
    EXPECT_NE(report.find("SMTP Sign-in: OAuth 2.0 (signing in needs STARTTLS or SSL/TLS; no mail is sent)\r\n"),
              std::string::npos);
    EXPECT_NE(report.find("OAuth Certificate: (the stored value is not valid; none is used)\r\n"), std::string::npos);
    EXPECT_NE(report.find("OAuth Client Secret: (the stored value is not valid; none is used)\r\n"), std::string::npos);
    EXPECT_EQ(report.find("Kx8Q"), std::string::npos);
    // The token server's own CA only while it is stored.
    EXPECT_EQ(report.find("OAuth Trusted CA"), std::string::npos);
    strcpy(o.OAuthTrustedCa, "C:\\Certificates\\login-ca.pem");
    state[OAuthTrustedCaValue] = SmtpValueTaken;
    FormatConfigurationReport(text, sizeof text);
    EXPECT_NE(std::string(text).find("OAuth Proxy: \r\nOAuth Trusted CA: C:\\Certificates\\login-ca.pem\r\n"),
              std::string::npos);
    Params.Smtp.SmtpSecurity = SecurityImplicitTls;
    Params.Smtp.SmtpUser[0] = '\0';
    FormatConfigurationReport(text, sizeof text);
    EXPECT_NE(std::string(text).find("OAuth 2.0 (SMTP User must name the mailbox; no mail is sent)"), std::string::npos);
}

TEST_F(Reporting, ConfigurationReportIsBoundedByItsBuffer)
{
    memset(Params.CustomTimeoutCmd, 'c', sizeof Params.CustomTimeoutCmd - 1);
    char text[64];
    int length = FormatConfigurationReport(text, sizeof text);
    EXPECT_EQ(length, 63);
    EXPECT_EQ(strlen(text), 63u);
}

}  // namespace
