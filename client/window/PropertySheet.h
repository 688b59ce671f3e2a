// Property sheet and property page base classes over comctl32's PropertySheet.
// A page is a dialog template plus a class: its dialog procedure hands each
// message to a virtual handler (OnInitDialog, OnCommand, OnNotify, and the
// sheet's PSN_* notifications as OnSetActive, OnKillActive, OnApply, OnReset).
// The sheet collects the pages and runs them modally.
#pragma once

#include <windows.h>
#include <commctrl.h>

class CPropertySheet;

class CPropertyPage {
public:
    explicit CPropertyPage(UINT templateId);
    virtual ~CPropertyPage();

    HWND Handle() const { return m_Handle; }        // null until the page is first shown
    CPropertySheet *Sheet() const { return m_Sheet; }
    UINT TemplateId() const { return m_TemplateId; }

    // Enables the sheet's Apply button (non-zero) or clears this page's
    // changed mark (0).
    void SetModified(int changed);

    HWND Item(int id) const { return GetDlgItem(m_Handle, id); }

protected:
    // WM_INITDIALOG. Return TRUE to let the dialog manager set the focus.
    virtual BOOL OnInitDialog();
    // WM_COMMAND from a control. Return TRUE when handled.
    virtual BOOL OnCommand(WORD id, WORD code, HWND control);
    // WM_NOTIFY from a control (the sheet's PSN_* codes go to the handlers
    // below). Return TRUE and set *result when handled.
    virtual BOOL OnNotify(NMHDR *header, LRESULT *result);
    // PSN_SETACTIVE: the page is about to be shown. Return TRUE to accept.
    virtual BOOL OnSetActive();
    // PSN_KILLACTIVE: the page is about to be left. Return TRUE to allow it.
    virtual BOOL OnKillActive();
    // PSN_APPLY: OK or Apply. Return TRUE to accept the values.
    virtual BOOL OnApply();
    // PSN_RESET: Cancel.
    virtual void OnReset();
    // Any other message. Return TRUE and set *result to consume it.
    virtual BOOL OnMessage(UINT message, WPARAM wParam, LPARAM lParam, INT_PTR *result);

private:
    static INT_PTR CALLBACK DialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
    INT_PTR Dispatch(UINT message, WPARAM wParam, LPARAM lParam);

    friend class CPropertySheet;
    UINT m_TemplateId;
    HWND m_Handle;
    CPropertySheet *m_Sheet;
};

#define MAX_SHEET_PAGES 8

class CPropertySheet {
public:
    // caption is the window title as given (no "Properties for" is added).
    CPropertySheet(const char *caption, HWND parent);
    virtual ~CPropertySheet();

    // Pages are shown in the order they are added. Returns 0 when full.
    int AddPage(CPropertyPage *page);
    void SetStartPage(int index) { m_StartPage = index; }

    // Runs the sheet modally and returns PropertySheetA's result
    // (-1 on failure).
    INT_PTR DoModal();

    HWND Handle() const { return m_Handle; }
    HWND Parent() const { return m_Parent; }
    int PageCount() const { return m_PageCount; }
    CPropertyPage *Page(int index) const { return index >= 0 && index < m_PageCount ? m_Pages[index] : NULL; }
    const char *Caption() const { return m_Caption; }

protected:
    // The sheet window exists (before any page is created).
    virtual void OnInitialized();
    // WM_COMMAND reaching the sheet window: its buttons (IDOK, IDCANCEL, the
    // Apply button 12321). Return TRUE to consume it, FALSE to let the
    // sheet do its default.
    virtual BOOL OnCommand(WORD id, WORD code, HWND control);

private:
    static int CALLBACK SheetCallback(HWND sheet, UINT message, LPARAM lParam);
    static LRESULT CALLBACK SheetWindowProc(HWND sheet, UINT message, WPARAM wParam, LPARAM lParam);

    char m_Caption[256];
    HWND m_Parent;
    HWND m_Handle;
    WNDPROC m_DefaultProc;
    int m_StartPage;
    int m_PageCount;
    CPropertyPage *m_Pages[MAX_SHEET_PAGES];
};

// The Apply button's identifier in comctl32's sheet.
#define ID_APPLY_NOW 0x3021
