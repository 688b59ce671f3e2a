#include "client/MainFrame.h"

#include <shellapi.h>
#include <stdio.h>

#include "client/instances/ClientMessages.h"
#include "client/instances/InstanceCommands.h"
#include "client/instances/InstanceStore.h"
#include "client/resource.h"

CMainFrame::CMainFrame() {}

int CMainFrame::CreateAndShow(HINSTANCE instance)
{
    // Overlapped: title bar, system menu, sizing border, minimise and
    // maximise boxes. No sunken client edge.
    if (!Create(instance, IDR_MAINFRAME, WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN))
        return 0;
    // Normal state, whatever show state the program was started with.
    ShowWindow(m_Handle, SW_SHOWNORMAL);
    UpdateWindow(m_Handle);
    return 1;
}

int CMainFrame::OnCreate()
{
    // The list first (it loads the instances), then the status bar.
    if (!m_List.Create(this, IDC_INSTANCE_LIST))
        return 0;
    SetView(m_List.Handle(), &m_List);
    if (!CreateStatusBar())
        return 0;
    return 1;
}

int CMainFrame::QueryCommand(UINT id, CommandState *state)
{
    state->Checked = 0;
    switch (id) {
    case ID_FILE_SAVE_SETTINGS:
        state->Enabled = SettingsModified != 0;
        return 1;
    case ID_APP_EXIT:
    case ID_APP_ABOUT:
    case ID_SERVICE_EVENT_VIEWER:
        state->Enabled = 1;
        return 1;
    }
    return 0;
}

void CMainFrame::RunCommand(UINT id)
{
    switch (id) {
    case ID_FILE_SAVE_SETTINGS:   OnSaveSettings(); break;
    case ID_APP_EXIT:             PostMessageA(m_Handle, WM_CLOSE, 0, 0); break;
    case ID_APP_ABOUT:            OnAbout(); break;
    case ID_SERVICE_EVENT_VIEWER: OnEventViewer(); break;
    }
}

void CMainFrame::OnSaveSettings()
{
    SaveFailures failures = {0, {0}};
    m_List.SaveAll(&failures);
    SettingsModified = 0;
    if (failures.Count > 0) {
        // Not saved completely: the changes stay pending.
        SettingsModified = 1;
        char text[512];
        FormatSaveFailures(failures, text, sizeof text);
        ShowMessageBox(m_Handle, text, SAVE_FAILED_CAPTION, MB_OK | MB_ICONERROR);
    }
}

int CMainFrame::OnClose()
{
    // A command waiting for services to stop (Restart, a save that stops
    // deleted instances) keeps the windows painted but takes no input; a
    // close request meanwhile would pull the service handles from under it.
    if (!IsWindowEnabled(m_Handle))
        return 0;
    if (SettingsModified) {
        int answer = ShowMessageBox(m_Handle, LEAVING_PROMPT_TEXT, LEAVING_PROMPT_CAPTION,
                                    MB_YESNOCANCEL | MB_ICONEXCLAMATION);
        if (answer == IDCANCEL)
            return 0;
        if (answer == IDYES) {
            OnSaveSettings();
            // A failed save was reported; leaving now would lose the
            // changes the user asked to keep.
            if (SettingsModified)
                return 0;
        }
    }
    CloseServiceHandles();
    return 1;
}

static INT_PTR CALLBACK AboutProc(HWND dialog, UINT message, WPARAM wParam, LPARAM)
{
    switch (message) {
    case WM_INITDIALOG:
        return TRUE;
    case WM_COMMAND:
        if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL) {
            EndDialog(dialog, LOWORD(wParam));
            return TRUE;
        }
        break;
    }
    return FALSE;
}

void CMainFrame::OnAbout()
{
    DialogBoxParamA(m_Instance, MAKEINTRESOURCEA(IDD_ABOUTBOX), m_Handle, AboutProc, 0);
}

void CMainFrame::OnEventViewer()
{
    // The services report to the event log; a failed start is silent.
    ShellExecuteA(NULL, "open", "eventvwr.msc", NULL, NULL, SW_SHOWNORMAL);
}
