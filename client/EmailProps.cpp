#include "EmailProps.h"
#include "ClientMessages.h"
#include "MailLogFile.h"
#include "PageControls.h"
#include "PageText.h"
#include "Props.h"
#include "PropsResource.h"
#include "SmtpPassword.h"

#include <commdlg.h>
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
    : CPropertyPage(IDD_EMAIL_PROPS), m_Settings(settings), m_PasswordPlaceholder(0)
{
}

// The page is an ANSI dialog, whose edit fields keep their text in the ANSI
// code page: a password with other characters would lose them. The box is
// made again as a Unicode window in the same place, tab order and font.
static HWND MakeUnicodeEdit(HWND page, int id)
{
    HWND ansi = GetDlgItem(page, id);
    if (ansi == NULL)
        return NULL;
    RECT place;
    GetWindowRect(ansi, &place);
    MapWindowPoints(NULL, page, (POINT *)&place, 2);
    HWND edit = CreateWindowExW((DWORD)GetWindowLongW(ansi, GWL_EXSTYLE), L"EDIT", L"",
                                (DWORD)GetWindowLongW(ansi, GWL_STYLE), place.left, place.top,
                                place.right - place.left, place.bottom - place.top, page, (HMENU)(INT_PTR)id,
                                (HINSTANCE)GetWindowLongPtrW(page, GWLP_HINSTANCE), NULL);
    if (edit == NULL)
        return ansi;
    SendMessageW(edit, WM_SETFONT, (WPARAM)SendMessageW(ansi, WM_GETFONT, 0, 0), FALSE);
    SetWindowPos(edit, ansi, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    DestroyWindow(ansi);
    return edit;
}

CProps *CEmailProps::Props() const { return static_cast<CProps *>(Sheet()); }

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
    HWND password = MakeUnicodeEdit(page, IDC_SMTP_PASSWORD);
    SendMessageW(password, EM_LIMITTEXT, SMTP_PASSWORD_SIZE - 1, 0);
    CProps::Flags flags = Props()->RememberFlags();
    SetDlgItemTextA(page, IDC_SMTP_SERVER, m_Settings->SmtpServer);
    SetDlgItemTextA(page, IDC_SMTP_FROM, m_Settings->SmtpFromAddress);
    SetDlgItemTextA(page, IDC_SMTP_TO, m_Settings->SmtpToAddress);
    const SmtpSettings &smtp = m_Settings->Smtp;
    char port[8];
    FormatPortText(smtp.SmtpPort, port, sizeof port);
    SetDlgItemTextA(page, IDC_SMTP_PORT, port);
    // A stored code that is not one of the three selects nothing, and is
    // kept until one is chosen.
    SendDlgItemMessageA(page, IDC_SMTP_SECURITY, CB_SETCURSEL,
                        (WPARAM)(smtp.SmtpSecurity < SMTP_SECURITY_COUNT ? (int)smtp.SmtpSecurity : -1), 0);
    SetDlgItemTextA(page, IDC_SMTP_USER, smtp.SmtpUser);
    SetDlgItemTextA(page, IDC_SMTP_TRUSTED_CA, smtp.SmtpTrustedCa);
    m_PasswordPlaceholder = smtp.SmtpPasswordSize > 0;
    SetWindowTextA(password, m_PasswordPlaceholder ? PASSWORD_PLACEHOLDER : "");
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

void CEmailProps::OnChangePort()
{
    char text[16];
    GetDlgItemTextA(Handle(), IDC_SMTP_PORT, text, sizeof text);
    int clamped;
    m_Settings->Smtp.SmtpPort = PortFromText(text, &clamped);
    if (clamped) {
        // The box shows what is stored (this comes back here once, unclamped).
        FormatPortText(m_Settings->Smtp.SmtpPort, text, sizeof text);
        SetDlgItemTextA(Handle(), IDC_SMTP_PORT, text);
        SendDlgItemMessageA(Handle(), IDC_SMTP_PORT, EM_SETSEL, 5, 5);
    }
    Props()->MarkChanged();
}

void CEmailProps::OnChangeSecurity()
{
    LRESULT choice = SendDlgItemMessageA(Handle(), IDC_SMTP_SECURITY, CB_GETCURSEL, 0, 0);
    if (choice >= 0 && choice < SMTP_SECURITY_COUNT)
        m_Settings->Smtp.SmtpSecurity = (DWORD)choice;
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

// Every change of the box is stored at once, encrypted: the clear text is
// never kept in the settings, only on this stack for the moment it takes.
void CEmailProps::OnChangePassword()
{
    WCHAR text[SMTP_PASSWORD_SIZE + 16];
    WCHAR shown[SMTP_PASSWORD_SIZE];
    char password[SMTP_PASSWORD_SIZE];
    HWND box = GetDlgItem(Handle(), IDC_SMTP_PASSWORD);
    GetWindowTextW(box, text, sizeof text / sizeof text[0]);
    PasswordEdit edit = ReadPasswordText(text, m_PasswordPlaceholder, password, sizeof password, shown,
                                         sizeof shown / sizeof shown[0]);
    if (edit != PasswordKept && m_PasswordPlaceholder) {
        m_PasswordPlaceholder = 0;
        // Undo must not bring the placeholder back over a changed password.
        SendMessageW(box, EM_EMPTYUNDOBUFFER, 0, 0);
    }
    if (edit == PasswordRetyped || edit == PasswordTooLong) {
        if (edit == PasswordTooLong)
            MessageBeep(MB_OK);   // as the box's own limit does
        SetWindowTextW(box, shown);   // comes back here as a change of its own
        int end = lstrlenW(shown);
        SendMessageW(box, EM_SETSEL, (WPARAM)end, end);
    } else if (!StorePasswordEdit(edit, password, &m_Settings->Smtp, ProtectSmtpPassword)) {
        ShowMessageBox(Handle(), PASSWORD_NOT_STORED_TEXT, EMAIL_ERROR_CAPTION, MB_OK | MB_ICONERROR);
        SetWindowTextW(box, L"");   // shows what is stored: nothing
    }
    WipeSecret(text, sizeof text);
    WipeSecret(shown, sizeof shown);
    WipeSecret(password, sizeof password);
    Props()->MarkChanged();
}

// Typing over the placeholder replaces it whole.
void CEmailProps::OnPasswordFocus()
{
    if (m_PasswordPlaceholder)
        SendDlgItemMessageW(Handle(), IDC_SMTP_PASSWORD, EM_SETSEL, 0, -1);
}

void CEmailProps::OnBrowseCa()
{
    char path[SMTP_TRUSTED_CA_SIZE];
    GetDlgItemTextA(Handle(), IDC_SMTP_TRUSTED_CA, path, sizeof path);
    OPENFILENAMEA dialog;
    memset(&dialog, 0, sizeof dialog);
    dialog.lStructSize = sizeof dialog;
    dialog.hwndOwner = Handle();
    dialog.lpstrFilter = "Certificates (*.pem;*.crt;*.cer;*.der)\0*.pem;*.crt;*.cer;*.der\0All files (*.*)\0*.*\0";
    dialog.lpstrFile = path;
    dialog.nMaxFile = sizeof path;
    dialog.lpstrTitle = "Trusted CA file";
    dialog.Flags = OFN_FILEMUSTEXIST | OFN_PATHMUSTEXIST | OFN_HIDEREADONLY | OFN_NOCHANGEDIR;
    if (GetOpenFileNameA(&dialog))
        SetDlgItemTextA(Handle(), IDC_SMTP_TRUSTED_CA, path);   // stored by its change event
}

// Mails LogFilename as configured (no rotation stamp) with the working
// values, applied or not. Runs on this thread: the sheet waits for the SMTP
// dialogue, which the mail library bounds in time.
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
    case IDC_SMTP_PORT:
        if (code != EN_CHANGE)
            return FALSE;
        OnChangePort();
        return TRUE;
    case IDC_SMTP_SECURITY:
        if (code != CBN_SELCHANGE)
            return FALSE;
        OnChangeSecurity();
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
            OnPasswordFocus();
            return FALSE;
        }
        if (code != EN_CHANGE)
            return FALSE;
        OnChangePassword();
        return TRUE;
    case IDC_BROWSE_CA:
        if (code != BN_CLICKED)
            return FALSE;
        OnBrowseCa();
        return TRUE;
    }
    return FALSE;
}
