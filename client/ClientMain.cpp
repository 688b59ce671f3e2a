// client.exe: a command-line verb ("/uninstall" removes every instance's
// service, CommandLine.cpp) runs and ends; otherwise the main window opens,
// where there is a desktop to show it on.
#include <windows.h>
#include <commctrl.h>

#include "client/CommandLine.h"
#include "client/MainFrame.h"
#include "common/system/SystemLibrary.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR commandLine, int)
{
    RestrictDllSearchToSystemFolder();
    int exitCode = 0;
    if (RunCommandLine(commandLine, &exitCode))
        return exitCode;
    if (!DesktopIsVisible()) {
        PrintCommandLine("client.exe has no desktop to show its window on (it runs as a service or in session 0): "
                         "give it a verb.");
        return PrintUsage(87);
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
