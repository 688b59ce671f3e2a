#include "client/window/FrameWindow.h"

#include <commctrl.h>
#include <string.h>

#define FRAME_CLASS_NAME "TallylineFrame"

CFrameWindow::CFrameWindow()
    : m_Instance(NULL), m_Handle(NULL), m_StatusBar(NULL), m_View(NULL), m_ViewTarget(NULL),
      m_Accelerators(NULL), m_ResourceId(0)
{
    strcpy(m_IdleText, "Ready");
}

CFrameWindow::~CFrameWindow() {}

int CFrameWindow::Create(HINSTANCE instance, UINT resourceId, DWORD style)
{
    m_Instance = instance;
    m_ResourceId = resourceId;

    WNDCLASSEXA wc;
    memset(&wc, 0, sizeof wc);
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = StaticWindowProc;
    wc.hInstance = instance;
    wc.hIcon = LoadIconA(instance, MAKEINTRESOURCEA(resourceId));
    wc.hIconSm = (HICON)LoadImageA(instance, MAKEINTRESOURCEA(resourceId), IMAGE_ICON,
                                   GetSystemMetrics(SM_CXSMICON), GetSystemMetrics(SM_CYSMICON), 0);
    wc.hCursor = LoadCursorA(NULL, (LPCSTR)IDC_ARROW);
    wc.hbrBackground = (HBRUSH)(COLOR_BTNFACE + 1);
    wc.lpszClassName = FRAME_CLASS_NAME;
    // A second frame in the same process reuses the class.
    if (!RegisterClassExA(&wc) && GetLastError() != ERROR_CLASS_ALREADY_EXISTS)
        return 0;

    char title[128];
    if (LoadStringA(instance, resourceId, title, sizeof title) <= 0)
        title[0] = '\0';
    HMENU menu = LoadMenuA(instance, MAKEINTRESOURCEA(resourceId));
    m_Accelerators = LoadAcceleratorsA(instance, MAKEINTRESOURCEA(resourceId));

    HWND window = CreateWindowExA(0, FRAME_CLASS_NAME, title, style, CW_USEDEFAULT, CW_USEDEFAULT,
                                  CW_USEDEFAULT, CW_USEDEFAULT, NULL, menu, instance, this);
    if (window == NULL)
        return 0;
    // Large and small icon of the frame itself, besides the class's.
    SendMessageA(window, WM_SETICON, ICON_BIG, (LPARAM)wc.hIcon);
    SendMessageA(window, WM_SETICON, ICON_SMALL, (LPARAM)wc.hIconSm);
    return 1;
}

int CFrameWindow::RunMessageLoop()
{
    MSG msg;
    while (GetMessageA(&msg, NULL, 0, 0) > 0) {
        // Only the frame's own keys: Delete in another window of the program
        // (a live view) must not delete the selected instances.
        if (m_Handle != NULL && m_Accelerators != NULL && (msg.hwnd == m_Handle || IsChild(m_Handle, msg.hwnd)) &&
            TranslateAcceleratorA(m_Handle, m_Accelerators, &msg))
            continue;
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
    return (int)msg.wParam;
}

int CFrameWindow::RouteCommand(UINT id)
{
    CCommandTarget *chain[2] = {m_ViewTarget, this};
    return RouteCommandThrough(chain, 2, id);
}

void CFrameWindow::UpdateMenuItems(HMENU menu)
{
    CCommandTarget *chain[2] = {m_ViewTarget, this};
    int count = GetMenuItemCount(menu);
    for (int i = 0; i < count; i++) {
        MENUITEMINFOA info;
        memset(&info, 0, sizeof info);
        info.cbSize = sizeof info;
        info.fMask = MIIM_ID | MIIM_SUBMENU | MIIM_FTYPE;
        if (!GetMenuItemInfoA(menu, i, TRUE, &info))
            continue;
        if (info.hSubMenu != NULL || (info.fType & MFT_SEPARATOR))
            continue;
        CommandState state;
        QueryCommandThrough(chain, 2, info.wID, &state);
        EnableMenuItem(menu, i, MF_BYPOSITION | (state.Enabled ? MF_ENABLED : MF_GRAYED));
        CheckMenuItem(menu, i, MF_BYPOSITION | (state.Checked ? MF_CHECKED : MF_UNCHECKED));
    }
}

void CFrameWindow::SetStatusText(const char *text)
{
    if (m_StatusBar != NULL)
        SendMessageA(m_StatusBar, SB_SETTEXTA, 0, (LPARAM)text);
}

int CFrameWindow::QueryCommand(UINT, CommandState *)
{
    return 0;
}

void CFrameWindow::RunCommand(UINT) {}

int CFrameWindow::OnCreate()
{
    return CreateStatusBar();
}

int CFrameWindow::OnClose()
{
    return 1;
}

void CFrameWindow::OnDestroy()
{
    PostQuitMessage(0);
}

int CFrameWindow::OnMessage(UINT, WPARAM, LPARAM, LRESULT *)
{
    return 0;
}

int CFrameWindow::CreateStatusBar()
{
    m_StatusBar = CreateWindowExA(0, STATUSCLASSNAMEA, m_IdleText,
                                  WS_CHILD | WS_VISIBLE | SBARS_SIZEGRIP, 0, 0, 0, 0, m_Handle,
                                  (HMENU)(UINT_PTR)0xE801, m_Instance, NULL);
    if (m_StatusBar == NULL)
        return 0;
    int edges[1] = {-1};   // one pane over the whole width
    SendMessageA(m_StatusBar, SB_SETPARTS, 1, (LPARAM)edges);
    SetStatusText(m_IdleText);
    return 1;
}

void CFrameWindow::SetView(HWND view, CCommandTarget *target)
{
    m_View = view;
    m_ViewTarget = target;
}

void CFrameWindow::LayoutChildren()
{
    RECT client;
    GetClientRect(m_Handle, &client);
    int statusHeight = 0;
    if (m_StatusBar != NULL) {
        SendMessageA(m_StatusBar, WM_SIZE, 0, 0);
        RECT bar;
        GetWindowRect(m_StatusBar, &bar);
        statusHeight = bar.bottom - bar.top;
    }
    if (m_View != NULL)
        MoveWindow(m_View, 0, 0, client.right, client.bottom - statusHeight, TRUE);
}

LRESULT CALLBACK CFrameWindow::StaticWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    CFrameWindow *self = (CFrameWindow *)GetWindowLongPtrA(window, GWLP_USERDATA);
    if (message == WM_NCCREATE) {
        self = (CFrameWindow *)((CREATESTRUCTA *)lParam)->lpCreateParams;
        self->m_Handle = window;
        SetWindowLongPtrA(window, GWLP_USERDATA, (LONG_PTR)self);
    }
    if (self == NULL)
        return DefWindowProcA(window, message, wParam, lParam);
    LRESULT result = self->WindowProc(message, wParam, lParam);
    if (message == WM_NCDESTROY) {
        SetWindowLongPtrA(window, GWLP_USERDATA, 0);
        self->m_Handle = NULL;
    }
    return result;
}

LRESULT CFrameWindow::WindowProc(UINT message, WPARAM wParam, LPARAM lParam)
{
    LRESULT result = 0;
    if (OnMessage(message, wParam, lParam, &result))
        return result;

    switch (message) {
    case WM_CREATE:
        return OnCreate() ? 0 : -1;
    case WM_SIZE:
        LayoutChildren();
        return 0;
    case WM_SETFOCUS:
        // Focus given to the frame passes on to the view.
        if (m_View != NULL)
            SetFocus(m_View);
        return 0;
    case WM_INITMENUPOPUP:
        if (!HIWORD(lParam))   // not the system menu
            UpdateMenuItems((HMENU)wParam);
        return 0;
    case WM_MENUSELECT:
        // The program defines no prompts: a highlighted item shows an empty
        // prompt, a closed menu the idle text.
        if (HIWORD(wParam) == 0xFFFF && lParam == 0)
            SetStatusText(m_IdleText);
        else
            SetStatusText("");
        return 0;
    case WM_COMMAND:
        // Menus and shortcuts only; notifications of controls are the view's.
        if (lParam == 0)
            RouteCommand(LOWORD(wParam));
        return 0;
    case WM_CLOSE:
        if (OnClose())
            DestroyWindow(m_Handle);
        return 0;
    case WM_DESTROY:
        OnDestroy();
        return 0;
    }
    return DefWindowProcA(m_Handle, message, wParam, lParam);
}
