// A top-level frame window with menu bar, keyboard shortcuts, icon, title and
// a one-pane status bar, over raw Win32. The frame owns one view, a child
// that fills the client area above the status bar and receives the focus.
// Commands are routed view first, frame second (CommandTarget.h); menus are
// enabled from the same rules when they open.
#pragma once

#include <windows.h>

#include "client/window/CommandTarget.h"

class CFrameWindow : public CCommandTarget {
public:
    CFrameWindow();
    virtual ~CFrameWindow();

    // Creates the frame with the menu, shortcuts, icon and title that share
    // resourceId. Returns 0 when the window (or a child made in OnCreate)
    // could not be created.
    int Create(HINSTANCE instance, UINT resourceId, DWORD style);

    // Runs the message loop until the frame is destroyed; returns the exit code.
    int RunMessageLoop();

    // Offers a command to the view, then to the frame (enabling rechecked).
    int RouteCommand(UINT id);

    // Enables (and checks) every item of a menu by the routing rules.
    void UpdateMenuItems(HMENU menu);

    HWND Handle() const { return m_Handle; }
    HWND StatusBar() const { return m_StatusBar; }
    HINSTANCE Instance() const { return m_Instance; }
    void SetStatusText(const char *text);

    // The frame handles no command of its own unless a subclass says so.
    virtual int QueryCommand(UINT id, CommandState *state);
    virtual void RunCommand(UINT id);

protected:
    // Creates the children; return 0 to fail the frame's creation.
    virtual int OnCreate();
    // The close request (close box, Alt+F4, system menu, Exit): return
    // non-zero to destroy the window.
    virtual int OnClose();
    virtual void OnDestroy();
    // Anything not handled by the layer; return non-zero with *result set
    // to consume the message.
    virtual int OnMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT *result);

    // A status bar with one stretching pane, showing the idle text.
    int CreateStatusBar();
    // The view and its command target (usually the same object).
    void SetView(HWND view, CCommandTarget *target);
    void LayoutChildren();

    HINSTANCE m_Instance;
    HWND m_Handle;
    HWND m_StatusBar;
    HWND m_View;
    CCommandTarget *m_ViewTarget;
    HACCEL m_Accelerators;
    UINT m_ResourceId;
    char m_IdleText[64];

private:
    LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam);
    static LRESULT CALLBACK StaticWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
};
