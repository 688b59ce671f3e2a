// The configuration program's main window: menu bar, shortcuts, the instance
// list filling the client area, and the status bar. It owns the program's
// end: closing offers to save, then closes the service handles.
#pragma once

#include "client/InstanceListView.h"
#include "client/window/FrameWindow.h"

class CMainFrame : public CFrameWindow {
public:
    CMainFrame();

    // Creates the frame (loading the instances) and shows it.
    int CreateAndShow(HINSTANCE instance);

    InstanceListView &List() { return m_List; }

    virtual int QueryCommand(UINT id, CommandState *state);
    virtual void RunCommand(UINT id);

protected:
    virtual int OnCreate();
    virtual int OnClose();

private:
    void OnSaveSettings();
    void OnAbout();
    void OnEventViewer();

    InstanceListView m_List;
};
