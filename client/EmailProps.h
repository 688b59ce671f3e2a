// The E-mail page: the three mail settings, the optional values of a hosted
// mail service (port, security, user, trusted CA file, password), retries
// and zipping of finished logs, the sign-in (password or OAuth 2.0, whose
// values have a dialog of their own), and mailing the log file now.
#pragma once

#include "client/instances/InstanceSettings.h"
#include "client/InstanceSheet.h"
#include "client/SecretBox.h"

class CEmailProps : public CPropertyPage {
public:
    explicit CEmailProps(InstanceSettings *settings);

protected:
    BOOL OnInitDialog() override;
    BOOL OnCommand(WORD id, WORD code, HWND control) override;

private:
    CInstanceSheet *Props() const;
    void OnChangeSmtpServer();
    void OnChangeSmtpFrom();
    void OnChangeSmtpTo();
    void OnChangePort();
    void OnChangeCode(int id, DWORD count, DWORD *code);
    void OnChangeUser();
    void OnChangeTrustedCa();
    void OnChangeRetryHours();
    void OnOAuthSettings();
    void OnBrowseCa();
    void OnEmailNow();
    DWORD ReadDigitsBox(int id, DWORD highest);

    InstanceSettings *m_Settings;
    SecretBox m_Password;
};

// The message OnEmailNow shows for a MailLogFile result; NULL for none.
const char *EmailNowMessage(int result);
#define PASSWORD_NOT_STORED_TEXT "The password could not be encrypted, so it is not stored. Please type it again."
