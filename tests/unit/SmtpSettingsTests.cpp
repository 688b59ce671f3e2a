// The five optional SMTP values against the real registry of the Wine
// session, in a scratch key of their own.
#include <gtest/gtest.h>

#include <string.h>
#include <string>

#include "common/settings/MailSettings.h"
#include "common/settings/SmtpSettings.h"

namespace {

const char ScratchKey[] = "SOFTWARE\\TallylineTests\\SmtpSettings";

class SmtpValues : public ::testing::Test {
protected:
    void SetUp() override
    {
        RegDeleteKeyA(HKEY_LOCAL_MACHINE, ScratchKey);
        ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_LOCAL_MACHINE, ScratchKey, 0, NULL, 0, KEY_ALL_ACCESS, NULL,
                                                 &m_Key, NULL));
    }
    void TearDown() override
    {
        RegCloseKey(m_Key);
        RegDeleteKeyA(HKEY_LOCAL_MACHINE, ScratchKey);
    }
    void Set(const char *name, DWORD type, const void *data, DWORD size)
    {
        ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(m_Key, name, 0, type, (const BYTE *)data, size));
    }
    void SetNumber(const char *name, DWORD value) { Set(name, REG_DWORD, &value, 4); }
    void SetText(const char *name, const std::string &text) { Set(name, REG_SZ, text.c_str(), (DWORD)text.size() + 1); }
    DWORD ValueCount()
    {
        DWORD count = 0;
        RegQueryInfoKeyA(m_Key, NULL, NULL, NULL, NULL, NULL, NULL, &count, NULL, NULL, NULL, NULL);
        return count;
    }
    DWORD TypeOf(const char *name)
    {
        DWORD type = 0;
        return RegQueryValueExA(m_Key, name, NULL, &type, NULL, NULL) == ERROR_SUCCESS ? type : 0;
    }
    void Read()
    {
        memset(&m_Settings, 0x77, sizeof m_Settings);   // nothing may be left from before
        ReadSmtpSettings(m_Key, &m_Settings, &m_States);
    }
    HKEY m_Key;
    SmtpSettings m_Settings;
    SmtpValueStates m_States;
};

TEST_F(SmtpValues, AbsentValuesAreTheDefaults)
{
    Read();
    EXPECT_EQ(m_Settings.SmtpPort, 0u);
    EXPECT_EQ(SmtpPortOf(&m_Settings), 25u);
    EXPECT_EQ(m_Settings.SmtpSecurity, (DWORD)SecurityNone);
    EXPECT_STREQ(m_Settings.SmtpUser, "");
    EXPECT_STREQ(m_Settings.SmtpTrustedCa, "");
    EXPECT_EQ(m_Settings.SmtpPasswordSize, 0u);
    EXPECT_EQ(std::string((const char *)m_Settings.SmtpPassword, sizeof m_Settings.SmtpPassword),
              std::string(sizeof m_Settings.SmtpPassword, '\0'));
    EXPECT_FALSE(AnySmtpValuePresent(&m_States));
}

TEST_F(SmtpValues, ValidValuesAreTakenAsStored)
{
    SetNumber("SmtpPort", 587);
    SetNumber("SmtpSecurity", SecurityStartTls);
    SetText("SmtpUser", std::string(63, 'u'));
    SetText("SmtpTrustedCa", std::string(259, 'c'));
    BYTE blob[SMTP_PASSWORD_BLOB_SIZE];
    memset(blob, 0xA5, sizeof blob);
    Set("SmtpPassword", REG_BINARY, blob, sizeof blob);
    Read();
    EXPECT_EQ(SmtpPortOf(&m_Settings), 587u);
    EXPECT_EQ(m_Settings.SmtpSecurity, (DWORD)SecurityStartTls);
    EXPECT_EQ(m_Settings.SmtpUser, std::string(63, 'u'));
    EXPECT_EQ(m_Settings.SmtpTrustedCa, std::string(259, 'c'));
    EXPECT_EQ(m_Settings.SmtpPasswordSize, (DWORD)sizeof blob);
    EXPECT_EQ(memcmp(m_Settings.SmtpPassword, blob, sizeof blob), 0);
    for (int i = 0; i < SMTP_VALUE_COUNT; i++)
        EXPECT_EQ(m_States.State[i], SmtpValueTaken) << SmtpValueNames[i];
    // Port 0 stands for 25, and the highest port is taken.
    SetNumber("SmtpPort", 0);
    Read();
    EXPECT_EQ(SmtpPortOf(&m_Settings), 25u);
    SetNumber("SmtpPort", 65535);
    Read();
    EXPECT_EQ(SmtpPortOf(&m_Settings), 65535u);
}

TEST_F(SmtpValues, WrongTypesSizesAndRangesFallBackAndAreNoted)
{
    SetNumber("SmtpPort", 65536);
    SetText("SmtpSecurity", "1");
    SetText("SmtpUser", std::string(64, 'u'));                 // one too long
    Set("SmtpTrustedCa", REG_SZ, std::string(260, 'c').data(), 260);   // full, unterminated
    SetText("SmtpPassword", "clear text");                     // a password stored by hand
    Read();
    EXPECT_EQ(SmtpPortOf(&m_Settings), 25u);
    EXPECT_EQ(m_Settings.SmtpSecurity, SMTP_SECURITY_INVALID);
    EXPECT_STREQ(m_Settings.SmtpUser, "");
    EXPECT_STREQ(m_Settings.SmtpTrustedCa, "");
    EXPECT_EQ(m_Settings.SmtpPasswordSize, 0u);
    EXPECT_EQ(std::string((const char *)m_Settings.SmtpPassword, sizeof m_Settings.SmtpPassword).find("clear"),
              std::string::npos);
    for (int i = 0; i < SMTP_VALUE_COUNT; i++)
        EXPECT_EQ(m_States.State[i], SmtpValueInvalid) << SmtpValueNames[i];
    EXPECT_TRUE(AnySmtpValuePresent(&m_States));

    SetNumber("SmtpSecurity", 3);
    Set("SmtpPort", REG_BINARY, "\x4b\x02\x00\x00", 4);         // 587, but not a DWORD
    Set("SmtpPassword", REG_BINARY, "", 0);
    BYTE huge[SMTP_PASSWORD_BLOB_SIZE + 1] = {};
    Set("SmtpUser", REG_BINARY, huge, sizeof huge);
    Read();
    EXPECT_EQ(m_Settings.SmtpSecurity, SMTP_SECURITY_INVALID);
    EXPECT_EQ(SmtpPortOf(&m_Settings), 25u);
    EXPECT_EQ(m_States.State[SmtpPortValue], SmtpValueInvalid);
    EXPECT_EQ(m_States.State[SmtpUserValue], SmtpValueInvalid);
    EXPECT_EQ(m_States.State[SmtpPasswordValue], SmtpValueInvalid);

    // The OAuth values alike: the sign-in falls back to the password.
    SetNumber("SmtpAuthMethod", 2);
    SetText("OAuthTokenUrl", std::string(OAUTH_URL_SIZE, 'u'));
    SetNumber("OAuthClientId", 7);
    SetText("OAuthClientSecret", "clear text");
    Read();
    EXPECT_EQ(m_Settings.OAuth.SmtpAuthMethod, (DWORD)AuthUserPassword);
    EXPECT_STREQ(m_Settings.OAuth.OAuthTokenUrl, "");
    EXPECT_EQ(m_Settings.OAuth.OAuthClientSecretSize, 0u);
    for (int value : {SmtpAuthMethodValue, OAuthTokenUrlValue, OAuthClientIdValue, OAuthClientSecretValue})
        EXPECT_EQ(m_States.OAuth.State[value], SmtpValueInvalid) << OAuthValues[value].Name;
    EXPECT_EQ(m_States.OAuth.State[OAuthScopeValue], SmtpValueAbsent);
}

TEST_F(SmtpValues, DefaultsAreNeverWrittenAndLeaveTheKeyAsItWas)
{
    SmtpSettings settings = {};
    ASSERT_TRUE(WriteSmtpSettings(m_Key, &settings));
    EXPECT_EQ(ValueCount(), 0u);
    settings.SmtpPort = 25;                   // the default, spelt out
    ASSERT_TRUE(WriteSmtpSettings(m_Key, &settings));
    EXPECT_EQ(ValueCount(), 0u);
}

TEST_F(SmtpValues, SetValuesAreWrittenWithTheirTypesAndDeletedWhenBackToDefault)
{
    SmtpSettings settings = {};
    settings.SmtpPort = 465;
    settings.SmtpSecurity = SecurityImplicitTls;
    strcpy(settings.SmtpUser, "alice");
    strcpy(settings.SmtpTrustedCa, "C:\\certs\\relay-ca.pem");
    memset(settings.SmtpPassword, 0x3C, 200);
    settings.SmtpPasswordSize = 200;
    ASSERT_TRUE(WriteSmtpSettings(m_Key, &settings));
    EXPECT_EQ(ValueCount(), 5u);
    EXPECT_EQ(TypeOf("SmtpPort"), (DWORD)REG_DWORD);
    EXPECT_EQ(TypeOf("SmtpSecurity"), (DWORD)REG_DWORD);
    EXPECT_EQ(TypeOf("SmtpUser"), (DWORD)REG_SZ);
    EXPECT_EQ(TypeOf("SmtpTrustedCa"), (DWORD)REG_SZ);
    EXPECT_EQ(TypeOf("SmtpPassword"), (DWORD)REG_BINARY);
    SmtpSettings back;
    ReadSmtpSettings(m_Key, &back, NULL);
    EXPECT_EQ(memcmp(&back, &settings, sizeof back), 0);

    SmtpSettings defaults = {};
    ASSERT_TRUE(WriteSmtpSettings(m_Key, &defaults));
    EXPECT_EQ(ValueCount(), 0u);
}

TEST_F(SmtpValues, AnInvalidSecurityIsLeftAsItIs)
{
    SetNumber("SmtpSecurity", 9);
    SetNumber("SmtpPort", 70000);
    Read();
    ASSERT_TRUE(WriteSmtpSettings(m_Key, &m_Settings));
    DWORD security = 0, size = 4;
    ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExA(m_Key, "SmtpSecurity", NULL, NULL, (BYTE *)&security, &size));
    EXPECT_EQ(security, 9u);
    // The port had fallen back to 25, what the programs show and use.
    EXPECT_EQ(TypeOf("SmtpPort"), 0u);
}

TEST_F(SmtpValues, MailValuesAreTakenInRangeAndWrittenOnlyWhileNotZero)
{
    MailSettings mail;
    MailValueStates states;
    SetNumber("MailRetryHours", MAIL_RETRY_HOURS_MAX);
    SetNumber("MailAttachment", AttachZipAlways);
    ReadMailSettings(m_Key, &mail, &states);
    EXPECT_EQ(mail.MailRetryHours, 240u);
    EXPECT_EQ(mail.MailAttachment, (DWORD)AttachZipAlways);
    EXPECT_EQ(states.State[MailRetryHoursValue], SmtpValueTaken);
    EXPECT_EQ(states.State[MailAttachmentValue], SmtpValueTaken);
    // Out of range or of another type: 0, and noted.
    SetNumber("MailRetryHours", 241);
    SetText("MailAttachment", "1");
    ReadMailSettings(m_Key, &mail, &states);
    EXPECT_EQ(mail.MailRetryHours, 0u);
    EXPECT_EQ(mail.MailAttachment, 0u);
    EXPECT_EQ(states.State[MailRetryHoursValue], SmtpValueInvalid);
    EXPECT_EQ(states.State[MailAttachmentValue], SmtpValueInvalid);

    mail = {12, AttachZipWhenTooLarge};
    ASSERT_TRUE(WriteMailSettings(m_Key, &mail));
    EXPECT_EQ(TypeOf("MailAttachment"), (DWORD)REG_DWORD);
    ReadMailSettings(m_Key, &mail, &states);
    EXPECT_EQ(mail.MailRetryHours, 12u);
    EXPECT_EQ(mail.MailAttachment, (DWORD)AttachZipWhenTooLarge);
    mail = {};
    ASSERT_TRUE(WriteMailSettings(m_Key, &mail));
    EXPECT_EQ(ValueCount(), 0u);
    ReadMailSettings(m_Key, &mail, &states);
    EXPECT_EQ(states.State[MailRetryHoursValue], SmtpValueAbsent);
}

}  // namespace
