#include "client/SecretBox.h"
#include "client/instances/ClientMessages.h"
#include "common/secrets/SmtpPassword.h"
#include "common/settings/Parameters.h"

// The dialog is ANSI, whose edit fields keep their text in the ANSI code
// page: the box is made again as a Unicode window in the same place, tab
// order and font.
static HWND MakeUnicodeEdit(HWND dialog, int id)
{
    HWND ansi = GetDlgItem(dialog, id);
    if (ansi == NULL)
        return NULL;
    RECT place;
    GetWindowRect(ansi, &place);
    MapWindowPoints(NULL, dialog, (POINT *)&place, 2);
    HWND edit = CreateWindowExW((DWORD)GetWindowLongW(ansi, GWL_EXSTYLE), L"EDIT", L"",
                                (DWORD)GetWindowLongW(ansi, GWL_STYLE), place.left, place.top,
                                place.right - place.left, place.bottom - place.top, dialog, (HMENU)(INT_PTR)id,
                                (HINSTANCE)GetWindowLongPtrW(dialog, GWLP_HINSTANCE), NULL);
    if (edit == NULL)
        return ansi;
    SendMessageW(edit, WM_SETFONT, (WPARAM)SendMessageW(ansi, WM_GETFONT, 0, 0), FALSE);
    SetWindowPos(edit, ansi, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    DestroyWindow(ansi);
    return edit;
}

void OpenSecretBox(SecretBox *box, HWND dialog, int id, BYTE *blob, DWORD blobSize, DWORD *size,
                   ProtectFunction protect, const char *failedText)
{
    box->Blob = blob;
    box->BlobSize = blobSize;
    box->Size = size;
    box->Protect = protect;
    box->FailedText = failedText;
    box->Box = MakeUnicodeEdit(dialog, id);
    SendMessageW(box->Box, EM_LIMITTEXT, SMTP_PASSWORD_SIZE - 1, 0);
    box->Placeholder = *size > 0;
    SetWindowTextA(box->Box, box->Placeholder ? PASSWORD_PLACEHOLDER : "");
}

// The clear text lives only on this stack, for the moment it takes.
void OnSecretBoxChange(SecretBox *box, HWND owner)
{
    WCHAR text[SMTP_PASSWORD_SIZE + 16];
    WCHAR shown[SMTP_PASSWORD_SIZE];
    char secret[SMTP_PASSWORD_SIZE];
    GetWindowTextW(box->Box, text, sizeof text / sizeof text[0]);
    PasswordEdit edit = ReadPasswordText(text, box->Placeholder, secret, sizeof secret, shown,
                                         sizeof shown / sizeof shown[0]);
    if (edit != PasswordKept && box->Placeholder) {
        box->Placeholder = 0;
        // Undo must not bring the placeholder back over a changed secret.
        SendMessageW(box->Box, EM_EMPTYUNDOBUFFER, 0, 0);
    }
    if (edit == PasswordRetyped || edit == PasswordTooLong) {
        if (edit == PasswordTooLong)
            MessageBeep(MB_OK);   // as the box's own limit does
        SetWindowTextW(box->Box, shown);   // comes back here as a change of its own
        int end = lstrlenW(shown);
        SendMessageW(box->Box, EM_SETSEL, (WPARAM)end, end);
    } else if (!StorePasswordEdit(edit, secret, box->Blob, box->BlobSize, box->Size, box->Protect)) {
        ShowMessageBox(owner, box->FailedText, EMAIL_ERROR_CAPTION, MB_OK | MB_ICONERROR);
        SetWindowTextW(box->Box, L"");   // shows what is stored: nothing
    }
    WipeSecret(text, sizeof text);
    WipeSecret(shown, sizeof shown);
    WipeSecret(secret, sizeof secret);
}

void OnSecretBoxFocus(const SecretBox *box)
{
    if (box->Placeholder)
        SendMessageW(box->Box, EM_SETSEL, 0, -1);
}
