// Loaded into client.exe by the GUI driver (guidriver.exe inject): menus are
// owned by their process under Wine, so their item states can only be read
// from inside it. A message-only window "TallyMenuProbe" answers WM_COPYDATA
// requests by writing the items into the shared section "TallyMenuProbeResult":
//   request 1 (data: the frame's HWND): every item of the menu bar, after the
//             frame has evaluated its enabling rules (WM_INITMENUPOPUP)
//   request 2: every item of the popup menu that is open now
// One line per item: "<id>\t<E|G>\t<C|->\t<text>".
#include <windows.h>
#include <stdio.h>
#include <string.h>

#define RESULT_SIZE 16384

static int AppendItems(HMENU menu, char *out, int used)
{
    int count = GetMenuItemCount(menu);
    for (int i = 0; i < count && used < RESULT_SIZE - 512; i++) {
        char text[256] = "";
        MENUITEMINFOA info;
        memset(&info, 0, sizeof info);
        info.cbSize = sizeof info;
        info.fMask = MIIM_ID | MIIM_STATE | MIIM_FTYPE | MIIM_SUBMENU | MIIM_STRING;
        info.dwTypeData = text;
        info.cch = sizeof text;
        if (!GetMenuItemInfoA(menu, i, TRUE, &info) || info.hSubMenu != NULL)
            continue;
        if (info.fType & MFT_SEPARATOR) {
            used += snprintf(out + used, RESULT_SIZE - used, "0\t-\t-\t-\n");
            continue;
        }
        used += snprintf(out + used, RESULT_SIZE - used, "%u\t%s\t%s\t%s\n", info.wID,
                         (info.fState & MFS_GRAYED) ? "G" : "E", (info.fState & MFS_CHECKED) ? "C" : "-", text);
    }
    return used;
}

static LRESULT CALLBACK ProbeProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message != WM_COPYDATA)
        return DefWindowProcA(window, message, wParam, lParam);
    COPYDATASTRUCT *request = (COPYDATASTRUCT *)lParam;
    HANDLE section = OpenFileMappingA(FILE_MAP_WRITE, FALSE, "TallyMenuProbeResult");
    if (section == NULL)
        return 0;
    char *out = (char *)MapViewOfFile(section, FILE_MAP_WRITE, 0, 0, RESULT_SIZE);
    int used = 0;
    out[0] = '\0';
    if (request->dwData == 1 && request->cbData >= sizeof(HWND)) {
        HWND frame;
        memcpy(&frame, request->lpData, sizeof frame);
        HMENU bar = GetMenu(frame);
        int count = GetMenuItemCount(bar);
        for (int i = 0; i < count; i++) {
            HMENU sub = GetSubMenu(bar, i);
            SendMessageA(frame, WM_INITMENUPOPUP, (WPARAM)sub, MAKELPARAM(i, FALSE));
            used = AppendItems(sub, out, used);
        }
    } else if (request->dwData == 2) {
        HWND popup = FindWindowA("#32768", NULL);
        HMENU menu = popup != NULL ? (HMENU)SendMessageA(popup, MN_GETHMENU, 0, 0) : NULL;
        if (menu != NULL)
            used = AppendItems(menu, out, used);
    }
    out[RESULT_SIZE - 1] = '\0';
    UnmapViewOfFile(out);
    CloseHandle(section);
    return used + 1;
}

static DWORD WINAPI ProbeThread(LPVOID instance)
{
    WNDCLASSA wc;
    memset(&wc, 0, sizeof wc);
    wc.lpfnWndProc = ProbeProc;
    wc.hInstance = (HINSTANCE)instance;
    wc.lpszClassName = "TallyMenuProbe";
    RegisterClassA(&wc);
    CreateWindowExA(0, "TallyMenuProbe", "TallyMenuProbe", 0, 0, 0, 0, 0, HWND_MESSAGE, NULL,
                    (HINSTANCE)instance, NULL);
    MSG msg;
    while (GetMessageA(&msg, NULL, 0, 0) > 0)
        DispatchMessageA(&msg);
    return 0;
}

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_ATTACH) {
        DisableThreadLibraryCalls(instance);
        HANDLE thread = CreateThread(NULL, 0, ProbeThread, instance, 0, NULL);
        if (thread != NULL)
            CloseHandle(thread);
    }
    return TRUE;
}
