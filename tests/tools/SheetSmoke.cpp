// Exercises the window layer's property sheet classes the way the properties
// sheet uses them: two pages, the initialisation of a page counting as no
// edit, SetModified enabling Apply, Apply reaching every created page, the
// sheet seeing its own buttons first, the second page created only when
// shown, OK ending the modal loop. Prints each step; exit code 0 when the
// order and states are as expected.
#include <windows.h>
#include <commctrl.h>
#include <stdio.h>
#include <string.h>

#include "client/window/PropertySheet.h"

#define IDC_SMOKE_EDIT 1001
#define WM_SMOKE_STEP (WM_APP + 1)

static char Log[2048];
static void Note(const char *text)
{
    // Some comctl32 versions activate the current page again after an Apply;
    // only the first activation of a page matters here.
    if (strstr(text, " active") != NULL && strstr(Log, text) != NULL) {
        printf("(%s again)\n", text);
        return;
    }
    strncat(Log, text, sizeof Log - strlen(Log) - 2);
    strncat(Log, "\n", sizeof Log - strlen(Log) - 1);
    printf("%s\n", text);
    fflush(stdout);
}

static int ApplyEnabled(HWND sheet)
{
    return IsWindowEnabled(GetDlgItem(sheet, ID_APPLY_NOW)) ? 1 : 0;
}

class CSmokePage : public CPropertyPage {
public:
    CSmokePage(UINT id, const char *name) : CPropertyPage(id), m_Name(name), m_Filling(0) {}
protected:
    virtual BOOL OnInitDialog()
    {
        // Filling a control sends EN_CHANGE: it must not count as an edit.
        m_Filling = 1;
        SetDlgItemTextA(Handle(), IDC_SMOKE_EDIT, m_Name);
        m_Filling = 0;
        char text[64];
        snprintf(text, sizeof text, "%s init apply=%d", m_Name, ApplyEnabled(Sheet()->Handle()));
        Note(text);
        if (strcmp(m_Name, "first") == 0)
            PostMessageA(Handle(), WM_SMOKE_STEP, 1, 0);
        return TRUE;
    }
    virtual BOOL OnCommand(WORD id, WORD code, HWND)
    {
        if (id == IDC_SMOKE_EDIT && code == EN_CHANGE && !m_Filling) {
            char text[64];
            snprintf(text, sizeof text, "%s edit", m_Name);
            Note(text);
            SetModified(1);
            return TRUE;
        }
        return FALSE;
    }
    virtual BOOL OnSetActive()
    {
        char text[64];
        snprintf(text, sizeof text, "%s active", m_Name);
        Note(text);
        return TRUE;
    }
    virtual BOOL OnApply()
    {
        char text[64];
        snprintf(text, sizeof text, "%s apply", m_Name);
        Note(text);
        return TRUE;
    }
    virtual BOOL OnMessage(UINT message, WPARAM wParam, LPARAM, INT_PTR *result)
    {
        if (message != WM_SMOKE_STEP)
            return FALSE;
        HWND sheet = Sheet()->Handle();
        char text[64];
        switch (wParam) {
        case 1:   // an edit by the user
            SetDlgItemTextA(Handle(), IDC_SMOKE_EDIT, "typed");
            snprintf(text, sizeof text, "after edit apply=%d", ApplyEnabled(sheet));
            Note(text);
            // A click on the button, as the user makes it (PSM_PRESSBUTTON
            // does not go through the sheet's WM_COMMAND everywhere).
            PostMessageA(GetDlgItem(sheet, ID_APPLY_NOW), BM_CLICK, 0, 0);
            PostMessageA(Handle(), WM_SMOKE_STEP, 2, 0);
            break;
        case 2:
            snprintf(text, sizeof text, "after apply apply=%d", ApplyEnabled(sheet));
            Note(text);
            PostMessageA(sheet, PSM_SETCURSEL, 1, 0);
            PostMessageA(Handle(), WM_SMOKE_STEP, 3, 0);
            break;
        case 3:
            PostMessageA(GetDlgItem(sheet, IDOK), BM_CLICK, 0, 0);
            break;
        }
        *result = TRUE;
        return TRUE;
    }
private:
    const char *m_Name;
    int m_Filling;
};

class CSmokeSheet : public CPropertySheet {
public:
    CSmokeSheet() : CPropertySheet("Sheet Smoke", NULL) {}
protected:
    virtual void OnInitialized() { Note("sheet initialized"); }
    virtual BOOL OnCommand(WORD id, WORD, HWND)
    {
        if (id == ID_APPLY_NOW)
            Note("sheet sees apply");
        else if (id == IDOK)
            Note("sheet sees ok");
        return FALSE;
    }
};

int main()
{
    INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_TAB_CLASSES | ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&controls);
    CSmokePage first(501, "first");
    CSmokePage second(502, "second");
    CSmokeSheet sheet;
    sheet.AddPage(&first);
    sheet.AddPage(&second);
    INT_PTR result = sheet.DoModal();
    printf("result %d\n", (int)result);
    const char *expected =
        "sheet initialized\n"
        "first init apply=0\n"
        "first active\n"
        "first edit\n"
        "after edit apply=1\n"
        "sheet sees apply\n"
        "first apply\n"
        "after apply apply=0\n"
        "second init apply=0\n"
        "second active\n"
        "sheet sees ok\n"
        "first apply\n"
        "second apply\n";
    int ok = strcmp(Log, expected) == 0 && first.Handle() == NULL && sheet.Handle() == NULL;
    printf("%s\n", ok ? "sequence ok" : "sequence differs");
    return ok ? 0 : 1;
}
