#include "client/window/PageControls.h"

#include <commdlg.h>
#include <string.h>

int FillListsFromTemplate(HWND page, UINT templateId)
{
    HMODULE module = GetModuleHandleA(NULL);
    HRSRC found = FindResourceA(module, MAKEINTRESOURCEA(templateId), MAKEINTRESOURCEA(RT_DLGINIT));
    if (found == NULL)
        return 0;
    HGLOBAL loaded = LoadResource(module, found);
    const BYTE *data = loaded != NULL ? (const BYTE *)LockResource(loaded) : NULL;
    DWORD size = SizeofResource(module, found);
    if (data == NULL)
        return 0;
    // Records: WORD control, WORD message, DWORD length, length bytes of text
    // with its NUL; a control of 0 ends the list. Nothing is trusted past the
    // resource's size.
    int added = 0;
    DWORD at = 0;
    while (at + 8 <= size) {
        WORD control, message;
        DWORD length;
        memcpy(&control, data + at, 2);
        memcpy(&message, data + at + 2, 2);
        memcpy(&length, data + at + 4, 4);
        if (control == 0 || length > size - at - 8)
            break;
        char item[64];
        DWORD copy = length < sizeof item - 1 ? length : (DWORD)sizeof item - 1;
        memcpy(item, data + at + 8, copy);
        item[copy] = '\0';
        if (message == DLGINIT_CB_ADDSTRING && SendDlgItemMessageA(page, control, CB_ADDSTRING, 0, (LPARAM)item) >= 0)
            added++;
        at += 8 + length;
    }
    return added;
}

void ReadComboText(HWND combo, int notification, char *text, int size)
{
    if (size <= 0)
        return;
    text[0] = '\0';
    if (notification == CBN_SELCHANGE) {
        LRESULT index = SendMessageA(combo, CB_GETCURSEL, 0, 0);
        if (index != CB_ERR) {
            LRESULT length = SendMessageA(combo, CB_GETLBTEXTLEN, (WPARAM)index, 0);
            char item[256];
            if (length != CB_ERR && length < (LRESULT)sizeof item &&
                SendMessageA(combo, CB_GETLBTEXT, (WPARAM)index, (LPARAM)item) != CB_ERR) {
                item[sizeof item - 1] = '\0';
                lstrcpynA(text, item, size);
                return;
            }
        }
    }
    GetWindowTextA(combo, text, size);
    text[size - 1] = '\0';
}

void SetChecked(HWND page, int id, int checked)
{
    SendDlgItemMessageA(page, id, BM_SETCHECK, checked ? BST_CHECKED : BST_UNCHECKED, 0);
}

int IsChecked(HWND page, int id)
{
    return SendDlgItemMessageA(page, id, BM_GETCHECK, 0, 0) == BST_CHECKED;
}

void BrowseForTrustedCa(HWND page, int boxId, int size)
{
    char path[1024];
    if (size <= 0 || size > (int)sizeof path)
        size = (int)sizeof path;
    GetDlgItemTextA(page, boxId, path, size);
    OPENFILENAMEA dialog;
    memset(&dialog, 0, sizeof dialog);
    dialog.lStructSize = sizeof dialog;
    dialog.hwndOwner = page;
    dialog.lpstrFilter = "Certificates (*.pem;*.crt;*.cer;*.der)\0*.pem;*.crt;*.cer;*.der\0All files (*.*)\0*.*\0";
    dialog.lpstrFile = path;
    dialog.nMaxFile = (DWORD)size;
    dialog.lpstrTitle = "Trusted CA file";
    dialog.Flags = OFN_FILEMUSTEXIST | OFN_PATHMUSTEXIST | OFN_HIDEREADONLY | OFN_NOCHANGEDIR;
    if (GetOpenFileNameA(&dialog))
        SetDlgItemTextA(page, boxId, path);
}
