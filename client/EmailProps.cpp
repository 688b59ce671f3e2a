#include "client/EmailProps.h"
#include "client/instances/ClientMessages.h"
#include "client/OAuthDialog.h"
#include "client/PageText.h"
#include "client/PropsResource.h"
#include "client/window/PageControls.h"
#include "common/mail/MailLogFile.h"
#include "common/secrets/SmtpPassword.h"

#include <stdio.h>
#include <string.h>

const char *EmailNowMessage(int result)
{
    switch (result) {
    case ServerNotResolved: return "Could not resolve SMTP server";
    case ConnectFailed:     return "Could not connect to SMTP server";
    case BadReply:          return "Invalid SMTP server response";
    case FileNotOpened:     return "The logfile to be sent could not be opened";
    case SecureConnectionFailed: return "Could not establish a secure connection to the SMTP server";
    case AuthenticationRefused:  return "The SMTP server refused the user name or password";
    case MessageTooLarge:        return "The logfile is too large for the SMTP server";
    case AccessTokenNotObtained: return "Could not obtain an access token from the token server";
    default:                return NULL;   // sent: success is not announced
    }
}

CEmailProps::CEmailProps(InstanceSettings *settings)
    : CPropertyPage(IDD_EMAIL_PROPS), m_Settings(settings)
{
    memset(&m_Password, 0, sizeof m_Password);
}

// The drop-down lists whose item is the stored code (Security, Zip
// attachments, Sign-in). A stored code that is none of the items selects
// nothing and is kept until one is chosen: for the security, mail in clear
// where an instance asked for more would be worse than no mail.
static void ShowCode(HWND page, int id, DWORD code, DWORD count)
{
    SendDlgItemMessageA(page, id, CB_SETCURSEL, (WPARAM)(code < count ? (int)code : -1), 0);
}

CInstanceSheet *CEmailProps::Props() const { return static_cast<CInstanceSheet *>(Sheet()); }

BOOL CEmailProps::OnInitDialog()
{
    HWND page = Handle();
    FillListsFromTemplate(page, IDD_EMAIL_PROPS);
    // Nothing is cut silently: the boxes take no more than the values hold.
    static const int fields[] = {IDC_SMTP_SERVER, IDC_SMTP_FROM, IDC_SMTP_TO};
    for (int field : fields)
        SendDlgItemMessageA(page, field, EM_LIMITTEXT, SMTP_FIELD_SIZE - 1, 0);
    SendDlgItemMessageA(page, IDC_SMTP_PORT, EM_LIMITTEXT, 5, 0);
    SendDlgItemMessageA(page, IDC_SMTP_USER, EM_LIMITTEXT, SMTP_USER_SIZE - 1, 0);
    SendDlgItemMessageA(page, IDC_SMTP_TRUSTED_CA, EM_LIMITTEXT, SMTP_TRUSTED_CA_SIZE - 1, 0);
    SendDlgItemMessageA(page, IDC_MAIL_RETRY_HOURS, EM_LIMITTEXT, 3, 0);
    CInstanceSheet::Flags flags = Props()->RememberFlags();
    SetDlgItemTextA(page, IDC_SMTP_SERVER, m_Settings->SmtpServer);
    SetDlgItemTextA(page, IDC_SMTP_FROM, m_Settings->SmtpFromAddress);
    SetDlgItemTextA(page, IDC_SMTP_TO, m_Settings->SmtpToAddress);
    SmtpSettings &smtp = m_Settings->Smtp;
    char port[8];
    FormatPortText(smtp.SmtpPort, port, sizeof port);
    SetDlgItemTextA(page, IDC_SMTP_PORT, port);
    ShowCode(page, IDC_SMTP_SECURITY, smtp.SmtpSecurity, SMTP_SECURITY_COUNT);
    SetDlgItemTextA(page, IDC_SMTP_USER, smtp.SmtpUser);
    SetDlgItemTextA(page, IDC_SMTP_TRUSTED_CA, smtp.SmtpTrustedCa);
    OpenSecretBox(&m_Password, page, IDC_SMTP_PASSWORD, smtp.SmtpPassword, sizeof smtp.SmtpPassword,
                  &smtp.SmtpPasswordSize, ProtectSmtpPassword, PASSWORD_NOT_STORED_TEXT);
    char hours[16];
    snprintf(hours, sizeof hours, "%lu", (unsigned long)m_Settings->Mail.MailRetryHours);
    SetDlgItemTextA(page, IDC_MAIL_RETRY_HOURS, hours);
    ShowCode(page, IDC_MAIL_ATTACHMENT, m_Settings->Mail.MailAttachment, MAIL_ATTACHMENT_COUNT);
    ShowCode(page, IDC_SMTP_AUTH_METHOD, smtp.OAuth.SmtpAuthMethod, SMTP_AUTH_METHOD_COUNT);
    Props()->RestoreFlags(flags);
    return TRUE;
}

// The fields set no limit on typing; a store keeps the first 63 characters.
void CEmailProps::OnChangeSmtpServer()
{
    GetDlgItemTextA(Handle(), IDC_SMTP_SERVER, m_Settings->SmtpServer, sizeof m_Settings->SmtpServer);
    Props()->MarkChanged();
}

void CEmailProps::OnChangeSmtpFrom()
{
    GetDlgItemTextA(Handle(), IDC_SMTP_FROM, m_Settings->SmtpFromAddress, sizeof m_Settings->SmtpFromAddress);
    Props()->MarkChanged();
}

void CEmailProps::OnChangeSmtpTo()
{
    GetDlgItemTextA(Handle(), IDC_SMTP_TO, m_Settings->SmtpToAddress, sizeof m_Settings->SmtpToAddress);
    Props()->MarkChanged();
}

// A digits-only box whose number has a highest value: a larger one is taken
// as the highest, and the box shows what is stored (this comes back here
// once, unclamped), so nothing is stored unseen.
DWORD CEmailProps::ReadDigitsBox(int id, DWORD highest)
{
    char text[16];
    GetDlgItemTextA(Handle(), id, text, sizeof text);
    int clamped;
    DWORD number = DigitsUpTo(text, highest, &clamped);
    if (clamped) {
        int end = snprintf(text, sizeof text, "%lu", (unsigned long)number);
        SetDlgItemTextA(Handle(), id, text);
        SendDlgItemMessageA(Handle(), id, EM_SETSEL, (WPARAM)end, end);
    }
    return number;
}

void CEmailProps::OnChangePort()
{
    m_Settings->Smtp.SmtpPort = ReadDigitsBox(IDC_SMTP_PORT, 65535);
    Props()->MarkChanged();
}

// A choice stores its code; no choice leaves the code as it was.
void CEmailProps::OnChangeCode(int id, DWORD count, DWORD *code)
{
    LRESULT choice = SendDlgItemMessageA(Handle(), id, CB_GETCURSEL, 0, 0);
    if (choice >= 0 && (DWORD)choice < count)
        *code = (DWORD)choice;
    Props()->MarkChanged();
}

void CEmailProps::OnChangeUser()
{
    GetDlgItemTextA(Handle(), IDC_SMTP_USER, m_Settings->Smtp.SmtpUser, sizeof m_Settings->Smtp.SmtpUser);
    Props()->MarkChanged();
}

void CEmailProps::OnChangeTrustedCa()
{
    GetDlgItemTextA(Handle(), IDC_SMTP_TRUSTED_CA, m_Settings->Smtp.SmtpTrustedCa,
                    sizeof m_Settings->Smtp.SmtpTrustedCa);
    Props()->MarkChanged();
}

// Retries apply to the service's mail only; empty is 0, one try.
void CEmailProps::OnChangeRetryHours()
{
    m_Settings->Mail.MailRetryHours = ReadDigitsBox(IDC_MAIL_RETRY_HOURS, MAIL_RETRY_HOURS_MAX);
    Props()->MarkChanged();
}

// The dialog edits a copy; only its OK reaches the working settings.
void CEmailProps::OnOAuthSettings()
{
    if (EditOAuthSettings(Props()->Handle(), &m_Settings->Smtp.OAuth))
        Props()->MarkChanged();
}

void CEmailProps::OnBrowseCa()
{
    BrowseForTrustedCa(Handle(), IDC_SMTP_TRUSTED_CA, SMTP_TRUSTED_CA_SIZE);
}

// Mails LogFilename as configured (no rotation stamp) with the working
// values, applied or not: zipping and the sign-in as set here; retries are
// the service's, a failure here is shown at once. Runs on this thread: the
// sheet waits for the SMTP dialogue, which the mail library bounds in time.
void CEmailProps::OnEmailNow()
{
    HWND button = GetDlgItem(Handle(), IDC_EMAIL_NOW);
    EnableWindow(button, FALSE);
    static MailPlan plan;
    DWORD failedPart;
    int result = MailLogInFull(m_Settings->LogFilename, m_Settings->SmtpServer, m_Settings->SmtpFromAddress,
                               m_Settings->SmtpToAddress, &m_Settings->Smtp, m_Settings->Mail.MailAttachment, &plan,
                               &failedPart);
    const char *message = EmailNowMessage(result);
    // Where the reason says what to do (a certificate to add), it is shown.
    char text[512];
    const char *reason = result == SecureConnectionFailed ? SecureConnectionFailureText() : "";
    snprintf(text, sizeof text, "%s%s%s", message != NULL ? message : "", reason[0] != '\0' ? ":\n" : "", reason);
    if (message != NULL)
        ShowMessageBox(Handle(), text, EMAIL_ERROR_CAPTION, MB_OK | MB_ICONERROR);
    EnableWindow(button, TRUE);
}

BOOL CEmailProps::OnCommand(WORD id, WORD code, HWND)
{
    switch (id) {
    case IDC_SMTP_SERVER:
        if (code != EN_CHANGE)
            return FALSE;
        OnChangeSmtpServer();
        return TRUE;
    case IDC_SMTP_FROM:
        if (code != EN_CHANGE)
            return FALSE;
        OnChangeSmtpFrom();
        return TRUE;
    case IDC_SMTP_TO:
        if (code != EN_CHANGE)
            return FALSE;
        OnChangeSmtpTo();
        return TRUE;
    case IDC_EMAIL_NOW:
        if (code != BN_CLICKED)
            return FALSE;
        OnEmailNow();
        return TRUE;
    case IDC_SMTP_PORT:
        if (code != EN_CHANGE)
            return FALSE;
        OnChangePort();
        return TRUE;
    case IDC_SMTP_SECURITY:
        if (code != CBN_SELCHANGE)
            return FALSE;
        OnChangeCode(id, SMTP_SECURITY_COUNT, &m_Settings->Smtp.SmtpSecurity);
        return TRUE;
    case IDC_SMTP_USER:
        if (code != EN_CHANGE)
            return FALSE;
        OnChangeUser();
        return TRUE;
    case IDC_SMTP_TRUSTED_CA:
        if (code != EN_CHANGE)
            return FALSE;
        OnChangeTrustedCa();
        return TRUE;
    case IDC_SMTP_PASSWORD:
        if (code == EN_SETFOCUS) {
            OnSecretBoxFocus(&m_Password);
            return FALSE;
        }
        if (code != EN_CHANGE)
            return FALSE;
        OnSecretBoxChange(&m_Password, Handle());
        Props()->MarkChanged();
        return TRUE;
    case IDC_MAIL_RETRY_HOURS:
        if (code != EN_CHANGE)
            return FALSE;
        OnChangeRetryHours();
        return TRUE;
    case IDC_MAIL_ATTACHMENT:
        if (code != CBN_SELCHANGE)
            return FALSE;
        OnChangeCode(id, MAIL_ATTACHMENT_COUNT, &m_Settings->Mail.MailAttachment);
        return TRUE;
    case IDC_SMTP_AUTH_METHOD:
        if (code != CBN_SELCHANGE)
            return FALSE;
        OnChangeCode(id, SMTP_AUTH_METHOD_COUNT, &m_Settings->Smtp.OAuth.SmtpAuthMethod);
        return TRUE;
    case IDC_OAUTH_SETTINGS:
        if (code != BN_CLICKED)
            return FALSE;
        OnOAuthSettings();
        return TRUE;
    case IDC_BROWSE_CA:
        if (code != BN_CLICKED)
            return FALSE;
        OnBrowseCa();
        return TRUE;
    }
    return FALSE;
}
