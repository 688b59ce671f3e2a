// client.exe: with "/uninstall" it removes every instance's service and ends;
// otherwise it opens the main window.
#include <windows.h>
#include <commctrl.h>

#include "MainFrame.h"
#include "InstanceCommands.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR commandLine, int)
{
    if (IsUninstallCommand(commandLine)) {
        UninstallServices();
        return 0;
    }

    INITCOMMONCONTROLSEX controls;
    controls.dwSize = sizeof controls;
    controls.dwICC = ICC_LISTVIEW_CLASSES | ICC_BAR_CLASSES | ICC_TAB_CLASSES | ICC_DATE_CLASSES;
    InitCommonControlsEx(&controls);

    static CMainFrame frame;
    if (!frame.CreateAndShow(instance))
        return 1;
    return frame.RunMessageLoop();
}
