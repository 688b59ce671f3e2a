#include "EmailProps.h"
#include "ClientMessages.h"
#include "MailLogFile.h"
#include "Props.h"
#include "PropsResource.h"

const char *EmailNowMessage(int result)
{
    switch (result) {
    case ServerNotResolved: return "Could not resolve SMTP server";
    case ConnectFailed:     return "Could not connect to SMTP server";
    case BadReply:          return "Invalid SMTP server response";
    case FileNotOpened:     return "The logfile to be sent could not be opened";
    default:                return NULL;   // sent: success is not announced
    }
}

CEmailProps::CEmailProps(InstanceSettings *settings) : CPropertyPage(IDD_EMAIL_PROPS), m_Settings(settings) {}

CProps *CEmailProps::Props() const { return static_cast<CProps *>(Sheet()); }

BOOL CEmailProps::OnInitDialog()
{
    HWND page = Handle();
    CProps::Flags flags = Props()->RememberFlags();
    SetDlgItemTextA(page, IDC_SMTP_SERVER, m_Settings->SmtpServer);
    SetDlgItemTextA(page, IDC_SMTP_FROM, m_Settings->SmtpFromAddress);
    SetDlgItemTextA(page, IDC_SMTP_TO, m_Settings->SmtpToAddress);
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

// Mails LogFilename as configured (no rotation stamp) with the working
// values, applied or not. Runs on this thread: the sheet waits for the SMTP
// dialogue, which the mail library bounds in time.
void CEmailProps::OnEmailNow()
{
    HWND button = GetDlgItem(Handle(), IDC_EMAIL_NOW);
    EnableWindow(button, FALSE);
    int result = MailLogFile(m_Settings->LogFilename, m_Settings->SmtpServer, m_Settings->SmtpFromAddress,
                             m_Settings->SmtpToAddress);
    const char *message = EmailNowMessage(result);
    if (message != NULL)
        ShowMessageBox(Handle(), message, EMAIL_ERROR_CAPTION, MB_OK | MB_ICONERROR);
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
    }
    return FALSE;
}
