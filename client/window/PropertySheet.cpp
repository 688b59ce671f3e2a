#include "client/window/PropertySheet.h"

#include <stdio.h>
#include <string.h>

#define SHEET_PROPERTY "TallylineSheet"

// PropertySheetA's callback carries no user data. Sheets are modal and run on
// the one user-interface thread, so the sheet being created is unambiguous.
static CPropertySheet *SheetBeingCreated = NULL;

CPropertyPage::CPropertyPage(UINT templateId) : m_TemplateId(templateId), m_Handle(NULL), m_Sheet(NULL) {}

CPropertyPage::~CPropertyPage() {}

void CPropertyPage::SetModified(int changed)
{
    if (m_Handle == NULL || m_Sheet == NULL || m_Sheet->Handle() == NULL)
        return;
    SendMessageA(m_Sheet->Handle(), changed ? PSM_CHANGED : PSM_UNCHANGED, (WPARAM)m_Handle, 0);
}

BOOL CPropertyPage::OnInitDialog() { return TRUE; }
BOOL CPropertyPage::OnCommand(WORD, WORD, HWND) { return FALSE; }
BOOL CPropertyPage::OnNotify(NMHDR *, LRESULT *) { return FALSE; }
BOOL CPropertyPage::OnSetActive() { return TRUE; }
BOOL CPropertyPage::OnKillActive() { return TRUE; }
BOOL CPropertyPage::OnApply() { return TRUE; }
void CPropertyPage::OnReset() {}
BOOL CPropertyPage::OnMessage(UINT, WPARAM, LPARAM, INT_PTR *) { return FALSE; }

INT_PTR CALLBACK CPropertyPage::DialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam)
{
    CPropertyPage *page;
    if (message == WM_INITDIALOG) {
        page = (CPropertyPage *)((PROPSHEETPAGEA *)lParam)->lParam;
        page->m_Handle = dialog;
        SetWindowLongPtrA(dialog, DWLP_USER, (LONG_PTR)page);
    } else {
        page = (CPropertyPage *)GetWindowLongPtrA(dialog, DWLP_USER);
    }
    if (page == NULL)
        return FALSE;
    INT_PTR result = page->Dispatch(message, wParam, lParam);
    if (message == WM_NCDESTROY) {
        SetWindowLongPtrA(dialog, DWLP_USER, 0);
        page->m_Handle = NULL;
    }
    return result;
}

INT_PTR CPropertyPage::Dispatch(UINT message, WPARAM wParam, LPARAM lParam)
{
    INT_PTR handled = 0;
    if (OnMessage(message, wParam, lParam, &handled))
        return handled;

    switch (message) {
    case WM_INITDIALOG:
        return OnInitDialog();
    case WM_COMMAND:
        return OnCommand(LOWORD(wParam), HIWORD(wParam), (HWND)lParam);
    case WM_NOTIFY: {
        NMHDR *header = (NMHDR *)lParam;
        LRESULT result = 0;
        switch (header->code) {
        case PSN_SETACTIVE:
            // 0 accepts the activation, -1 refuses it.
            result = OnSetActive() ? 0 : -1;
            break;
        case PSN_KILLACTIVE:
            result = OnKillActive() ? FALSE : TRUE;
            break;
        case PSN_APPLY:
            result = OnApply() ? PSNRET_NOERROR : PSNRET_INVALID_NOCHANGEPAGE;
            break;
        case PSN_RESET:
            OnReset();
            result = 0;
            break;
        default:
            if (!OnNotify(header, &result))
                return FALSE;
            break;
        }
        SetWindowLongPtrA(m_Handle, DWLP_MSGRESULT, result);
        return TRUE;
    }
    }
    return FALSE;
}

CPropertySheet::CPropertySheet(const char *caption, HWND parent)
    : m_Parent(parent), m_Handle(NULL), m_DefaultProc(NULL), m_StartPage(0), m_PageCount(0)
{
    snprintf(m_Caption, sizeof m_Caption, "%s", caption != NULL ? caption : "");
    memset(m_Pages, 0, sizeof m_Pages);
}

CPropertySheet::~CPropertySheet() {}

int CPropertySheet::AddPage(CPropertyPage *page)
{
    if (m_PageCount >= MAX_SHEET_PAGES || page == NULL)
        return 0;
    page->m_Sheet = this;
    m_Pages[m_PageCount++] = page;
    return 1;
}

void CPropertySheet::OnInitialized() {}

BOOL CPropertySheet::OnCommand(WORD, WORD, HWND) { return FALSE; }

int CALLBACK CPropertySheet::SheetCallback(HWND sheet, UINT message, LPARAM)
{
    if (message != PSCB_INITIALIZED || SheetBeingCreated == NULL)
        return 0;
    CPropertySheet *self = SheetBeingCreated;
    self->m_Handle = sheet;
    // Subclass the sheet so its buttons reach OnCommand first.
    SetPropA(sheet, SHEET_PROPERTY, (HANDLE)self);
    self->m_DefaultProc = (WNDPROC)SetWindowLongPtrA(sheet, GWLP_WNDPROC, (LONG_PTR)SheetWindowProc);
    self->OnInitialized();
    return 0;
}

LRESULT CALLBACK CPropertySheet::SheetWindowProc(HWND sheet, UINT message, WPARAM wParam, LPARAM lParam)
{
    CPropertySheet *self = (CPropertySheet *)GetPropA(sheet, SHEET_PROPERTY);
    if (self == NULL)
        return DefWindowProcA(sheet, message, wParam, lParam);
    WNDPROC defaultProc = self->m_DefaultProc;
    if (message == WM_COMMAND && self->OnCommand(LOWORD(wParam), HIWORD(wParam), (HWND)lParam))
        return 0;
    if (message == WM_NCDESTROY) {
        SetWindowLongPtrA(sheet, GWLP_WNDPROC, (LONG_PTR)defaultProc);
        RemovePropA(sheet, SHEET_PROPERTY);
        self->m_Handle = NULL;
    }
    return CallWindowProcA(defaultProc, sheet, message, wParam, lParam);
}

INT_PTR CPropertySheet::DoModal()
{
    if (m_PageCount == 0)
        return -1;
    PROPSHEETPAGEA pages[MAX_SHEET_PAGES];
    memset(pages, 0, sizeof pages);
    for (int i = 0; i < m_PageCount; i++) {
        pages[i].dwSize = sizeof pages[i];
        pages[i].dwFlags = PSP_DEFAULT;
        pages[i].hInstance = GetModuleHandleA(NULL);
        pages[i].pszTemplate = MAKEINTRESOURCEA(m_Pages[i]->m_TemplateId);
        pages[i].pfnDlgProc = CPropertyPage::DialogProc;
        pages[i].lParam = (LPARAM)m_Pages[i];
    }
    PROPSHEETHEADERA header;
    memset(&header, 0, sizeof header);
    header.dwSize = sizeof header;
    header.dwFlags = PSH_PROPSHEETPAGE | PSH_USECALLBACK | PSH_NOCONTEXTHELP;
    header.hwndParent = m_Parent;
    header.hInstance = GetModuleHandleA(NULL);
    header.pszCaption = m_Caption;
    header.nPages = (UINT)m_PageCount;
    header.nStartPage = (UINT)(m_StartPage >= 0 && m_StartPage < m_PageCount ? m_StartPage : 0);
    header.ppsp = pages;
    header.pfnCallback = SheetCallback;

    CPropertySheet *outer = SheetBeingCreated;
    SheetBeingCreated = this;
    INT_PTR result = PropertySheetA(&header);
    SheetBeingCreated = outer;
    m_Handle = NULL;
    return result;
}
