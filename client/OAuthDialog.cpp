#include "client/OAuthDialog.h"
#include "client/PropsResource.h"
#include "client/SecretBox.h"
#include "common/secrets/SmtpPassword.h"

#include <stddef.h>
#include <string.h>

// The dialog's text boxes and the values they edit: each box takes no more
// than its value holds, so nothing is cut unseen.
struct OAuthField {
    int Id;
    size_t Offset;
    int Size;
};
static const OAuthField OAuthFields[] = {
    {IDC_OAUTH_TOKEN_URL,   offsetof(OAuthSettings, OAuthTokenUrl),    OAUTH_URL_SIZE},
    {IDC_OAUTH_CLIENT_ID,   offsetof(OAuthSettings, OAuthClientId),    OAUTH_CLIENT_ID_SIZE},
    {IDC_OAUTH_CERTIFICATE, offsetof(OAuthSettings, OAuthCertificate), OAUTH_CERTIFICATE_SIZE},
    {IDC_OAUTH_SCOPE,       offsetof(OAuthSettings, OAuthScope),       OAUTH_SCOPE_SIZE},
    {IDC_OAUTH_TRUSTED_CA,  offsetof(OAuthSettings, OAuthTrustedCa),   SMTP_TRUSTED_CA_SIZE},
};
#define OAUTH_FIELD_COUNT (int)(sizeof OAuthFields / sizeof OAuthFields[0])

struct OAuthEdit {
    OAuthSettings Copy;   // what the dialog shows; the secret already encrypted
    SecretBox Secret;
};

static char *FieldOf(OAuthSettings *settings, const OAuthField &field)
{
    return (char *)settings + field.Offset;
}

static void FillDialog(HWND dialog, OAuthEdit *edit)
{
    for (int i = 0; i < OAUTH_FIELD_COUNT; i++) {
        SendDlgItemMessageA(dialog, OAuthFields[i].Id, EM_LIMITTEXT, (WPARAM)(OAuthFields[i].Size - 1), 0);
        SetDlgItemTextA(dialog, OAuthFields[i].Id, FieldOf(&edit->Copy, OAuthFields[i]));
    }
    OpenSecretBox(&edit->Secret, dialog, IDC_OAUTH_CLIENT_SECRET, edit->Copy.OAuthClientSecret,
                  sizeof edit->Copy.OAuthClientSecret, &edit->Copy.OAuthClientSecretSize, ProtectOAuthClientSecret,
                  SECRET_NOT_STORED_TEXT);
}

static void ReadDialog(HWND dialog, OAuthEdit *edit)
{
    for (int i = 0; i < OAUTH_FIELD_COUNT; i++)
        GetDlgItemTextA(dialog, OAuthFields[i].Id, FieldOf(&edit->Copy, OAuthFields[i]), OAuthFields[i].Size);
}

static INT_PTR CALLBACK OAuthDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam)
{
    OAuthEdit *edit = (OAuthEdit *)GetWindowLongPtrA(dialog, DWLP_USER);
    switch (message) {
    case WM_INITDIALOG:
        SetWindowLongPtrA(dialog, DWLP_USER, lParam);
        FillDialog(dialog, (OAuthEdit *)lParam);
        return TRUE;
    case WM_COMMAND:
        if (edit == NULL)
            return FALSE;
        switch (LOWORD(wParam)) {
        case IDC_OAUTH_CLIENT_SECRET:
            if (HIWORD(wParam) == EN_CHANGE)
                OnSecretBoxChange(&edit->Secret, dialog);
            else if (HIWORD(wParam) == EN_SETFOCUS)
                OnSecretBoxFocus(&edit->Secret);
            return FALSE;
        case IDOK:
            ReadDialog(dialog, edit);
            EndDialog(dialog, 1);
            return TRUE;
        case IDCANCEL:
            EndDialog(dialog, 0);
            return TRUE;
        }
        break;
    }
    return FALSE;
}

int EditOAuthSettings(HWND owner, OAuthSettings *settings)
{
    OAuthEdit edit;
    memset(&edit, 0, sizeof edit);
    edit.Copy = *settings;
    INT_PTR result = DialogBoxParamA(GetModuleHandleA(NULL), MAKEINTRESOURCEA(IDD_OAUTH_SETTINGS), owner,
                                     OAuthDialogProc, (LPARAM)&edit);
    if (result == 1)
        *settings = edit.Copy;
    WipeSecret(&edit, sizeof edit);
    return result == 1;
}
