// Loaded into client.exe by the GUI driver (guidriver.exe inject): menus are
// owned by their process under Wine, so their item states can only be read
// from inside it, and so are the fonts a text is measured with. A
// message-only window "TallyMenuProbe" answers WM_COPYDATA requests by
// writing into the shared section "TallyMenuProbeResult":
//   request 1 (data: the frame's HWND): every item of the menu bar, after the
//             frame has evaluated its enabling rules (WM_INITMENUPOPUP)
//   request 2: every item of the popup menu that is open now
//   request 3 (data: a top-level window): its layout, as the program sees it
// Requests 1 and 2 give one line per item: "<id>\t<E|G>\t<C|->\t<text>".
// Request 3 gives "dpi\t<LOGPIXELSX>", "comctl32\t<major>.<minor>\t<path>"
// (the common controls the program loaded), then for the window and
// every visible window below it
//   "control\t<hwnd>\t<parent>\t<class>\t<id>\t<style>\t<l> <t> <r> <b>
//    \t<client l> <client t> <client w> <client h>\t<text w> <text h>
//    \t<ideal w> <ideal h>\t<text>"
// (screen coordinates; the text's extent in the control's font, wrapped to
// the client width for a wrapping static; a button's BCM_GETIDEALSIZE, a
// combo box's item area, 0 0 for others) and per list-view column
// "column\t<list hwnd>\t<index>\t<width>\t<text w>\t<text>".
#include <windows.h>
#include <commctrl.h>
#include <shlwapi.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#define RESULT_SIZE 65536

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

// The extent of text drawn in the window's font; wrapped to width when > 0.
static SIZE TextExtent(HWND window, const char *text, UINT flags, int width)
{
    SIZE size = {0, 0};
    HDC dc = GetDC(window);
    HFONT font = (HFONT)SendMessageA(window, WM_GETFONT, 0, 0);
    HGDIOBJ old = SelectObject(dc, font != NULL ? (HGDIOBJ)font : GetStockObject(SYSTEM_FONT));
    RECT rect = {0, 0, width > 0 ? width : 0, 0};
    DrawTextA(dc, text, -1, &rect, flags | DT_CALCRECT | (width > 0 ? DT_WORDBREAK : DT_SINGLELINE));
    size.cx = rect.right - rect.left;
    size.cy = rect.bottom - rect.top;
    SelectObject(dc, old);
    ReleaseDC(window, dc);
    return size;
}

struct LayoutOutput {
    char *Out;
    int Used;
};

static void Append(LayoutOutput *layout, const char *format, ...)
{
    if (layout->Used >= RESULT_SIZE - 1)
        return;
    va_list args;
    va_start(args, format);
    int n = vsnprintf(layout->Out + layout->Used, RESULT_SIZE - layout->Used, format, args);
    va_end(args);
    if (n > 0)
        layout->Used = layout->Used + n < RESULT_SIZE - 1 ? layout->Used + n : RESULT_SIZE - 1;
}

static void AppendColumns(LayoutOutput *layout, HWND list)
{
    HWND header = (HWND)SendMessageA(list, LVM_GETHEADER, 0, 0);
    int count = header != NULL ? (int)SendMessageA(header, HDM_GETITEMCOUNT, 0, 0) : 0;
    for (int i = 0; i < count; i++) {
        char text[256] = "";
        LVCOLUMNA column;
        memset(&column, 0, sizeof column);
        column.mask = LVCF_TEXT | LVCF_WIDTH;
        column.pszText = text;
        column.cchTextMax = sizeof text;
        SendMessageA(list, LVM_GETCOLUMNA, i, (LPARAM)&column);
        SIZE extent = TextExtent(header, text, DT_NOPREFIX, 0);
        Append(layout, "column\t%p\t%d\t%d\t%ld\t%s\n", (void *)list, i, column.cx, extent.cx, text);
    }
}

static BOOL CALLBACK AppendControl(HWND window, LPARAM lParam)
{
    LayoutOutput *layout = (LayoutOutput *)lParam;
    if (!IsWindowVisible(window))
        return TRUE;
    char className[64] = "", text[512] = "";
    GetClassNameA(window, className, sizeof className);
    GetWindowTextA(window, text, sizeof text);
    for (char *p = text; *p; p++)
        if (*p == '\t' || *p == '\r' || *p == '\n')
            *p = ' ';
    LONG style = GetWindowLongA(window, GWL_STYLE);
    RECT rect, client;
    GetWindowRect(window, &rect);
    GetClientRect(window, &client);
    SIZE extent = {0, 0}, ideal = {0, 0};
    if (_stricmp(className, "Static") == 0) {
        int kind = style & SS_TYPEMASK;
        if (kind == SS_LEFT || kind == SS_CENTER || kind == SS_RIGHT)
            extent = TextExtent(window, text, (style & SS_NOPREFIX) ? DT_NOPREFIX : 0, client.right);
        else if (kind == SS_LEFTNOWORDWRAP)
            extent = TextExtent(window, text, (style & SS_NOPREFIX) ? DT_NOPREFIX : 0, 0);
    } else if (_stricmp(className, "Button") == 0) {
        extent = TextExtent(window, text, 0, 0);
        SendMessageA(window, BCM_GETIDEALSIZE, 0, (LPARAM)&ideal);
    } else if (_stricmp(className, "ComboBox") == 0) {
        extent = TextExtent(window, text, DT_NOPREFIX, 0);
        COMBOBOXINFO info;
        memset(&info, 0, sizeof info);
        info.cbSize = sizeof info;
        if (GetComboBoxInfo(window, &info)) {
            ideal.cx = info.rcItem.right - info.rcItem.left;
            ideal.cy = info.rcItem.bottom - info.rcItem.top;
        }
    } else if (_stricmp(className, "msctls_statusbar32") == 0) {
        extent = TextExtent(window, text, DT_NOPREFIX, 0);
    }
    POINT origin = {0, 0};
    ClientToScreen(window, &origin);
    Append(layout, "control\t%p\t%p\t%s\t%d\t%08lx\t%ld %ld %ld %ld\t%ld %ld %ld %ld\t%ld %ld\t%ld %ld\t%s\n",
           (void *)window, (void *)GetParent(window), className, GetDlgCtrlID(window), (unsigned long)style,
           rect.left, rect.top, rect.right, rect.bottom, origin.x, origin.y, client.right, client.bottom,
           extent.cx, extent.cy, ideal.cx, ideal.cy, text);
    if (_stricmp(className, WC_LISTVIEWA) == 0)
        AppendColumns(layout, window);
    return TRUE;
}

static int AppendLayout(HWND top, char *out)
{
    LayoutOutput layout = {out, 0};
    HDC screen = GetDC(NULL);
    Append(&layout, "dpi\t%d\n", GetDeviceCaps(screen, LOGPIXELSX));
    ReleaseDC(NULL, screen);
    // The program's own import: the manifest decides which one it is.
    HMODULE controls = GetModuleHandleA("comctl32.dll");
    char path[MAX_PATH] = "";
    DLLVERSIONINFO version;
    memset(&version, 0, sizeof version);
    version.cbSize = sizeof version;
    DLLGETVERSIONPROC getVersion =
        controls != NULL ? (DLLGETVERSIONPROC)(void *)GetProcAddress(controls, "DllGetVersion") : NULL;
    if (getVersion != NULL)
        getVersion(&version);
    if (controls != NULL)
        GetModuleFileNameA(controls, path, sizeof path);
    Append(&layout, "comctl32\t%lu.%lu\t%s\n", version.dwMajorVersion, version.dwMinorVersion, path);
    AppendControl(top, (LPARAM)&layout);
    EnumChildWindows(top, AppendControl, (LPARAM)&layout);
    return layout.Used;
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
    } else if (request->dwData == 3 && request->cbData >= sizeof(HWND)) {
        HWND top;
        memcpy(&top, request->lpData, sizeof top);
        used = AppendLayout(top, out);
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
