// Drives client.exe's windows from another process for the end-to-end tests.
// Reads one command per line on stdin and answers with lines ending in a line
// ".", or "ERR <reason>" before it. Commands:
//   attach MS                  find the main window (waits up to MS)
//   info                       title, visibility, status bar text, rows
//   rows                       "<row>\t<S|->\t<cell0>\t...\t<cellN>" per row, a cell per column
//   select [ROW...]            select exactly these rows (none: clear)
//   command ID                 send WM_COMMAND ID to the frame (menu bar) and
//                              wait until it has run
//   post ID                    post it instead (commands that open a modal window)
//   keys ctrl+s|ctrl+a|delete  type the shortcut into the main window
//   inject DLLPATH             load the menu probe into client.exe
//   menubar                    the menu bar's items as enabled now (probe)
//   layout [CAPTION]           the controls of the frame (or of the visible
//                              window with that caption), rectangles and
//                              text extents as the program measures them (probe)
//   rclick ROW|empty           right-click a row (or below the rows)
//   popup MS                   wait for the open popup menu; list its items (probe)
//   popupkey VK                post a key to the open popup (27 closes it)
//   popupchar C                choose a popup item by its mnemonic
//   dialog CAPTION MS          wait for a window with that caption; print its texts
//   press CAPTION ID           press the button ID of that window
//   close                      post WM_CLOSE to the frame
//   waitexit MS                "exited <code>" or "running"
//   cputime                    user+kernel time of client.exe in 100 ns units
//   launch MS PATH [ARGS]      start client.exe, wait until it is idle after
//                              its first paint; print "ms <elapsed>" and attach
//   kill                       end the client.exe started or attached
//   create N PATH              register Quillbox1..N (on demand) running PATH
//   squat NAME PATH|DISPLAY    register service NAME under DISPLAY (taking a
//                              display name the program will need)
//   unsquat NAME               delete it again
//   purge                      stop and delete every Quillbox service with its
//                              keys and event source, as if never installed
// Property sheets (the control ID is looked up on the sheet's current page,
// then on the sheet itself: 1 OK, 2 Cancel, 12321 Apply):
//   sheet MS CAPTION           wait for the sheet window with that caption
//   sheetgone MS               "gone" once the sheet is closed, else "open"
//   tab N                      show page N (0 General, 1 Timeout, 2 E-mail)
//   ctl ID                     "<class>\t<enabled>\t<checked>\t<cursel>\t<text>"
//   settext ID TEXT            set the text (for a combo box, its edit field)
//   type ID TEXT               select the field's text and type TEXT (UTF-8) over it
//   typeat ID TEXT             type TEXT where the caret is (^Z: undo, as the keys do)
//   click ID | postclick ID    click a button (sent and waited for, or posted)
//   choose ID INDEX            pick a combo-box item as the user would
//   time ID                    the picker's "<valid> <h> <m> <s>"
//   settime ID H M S           set the picker's time (no notification)
//   spin ID FIELD              click the picker's first field, move FIELD
//                              fields right and press the up arrow, as a user
//                              spinning that field (0 hour, 1 minute, 2 second)
//   closebox                   close the sheet through its close box
//   focus ID                   give the control the keyboard focus
//   enabled ID                 1 or 0 without sending the sheet a message, so
//                              it answers while the sheet is busy
#include <windows.h>
#include <commctrl.h>
#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define RESULT_SIZE 65536

static HWND Frame, List, StatusBar;
static HANDLE Process;
static DWORD ProcessId;
static char *Remote;   // a page in client.exe for list-view messages
static HWND Sheet;

static void Done() { printf(".\n"); fflush(stdout); }
static void Error(const char *what) { printf("ERR %s (%lu)\n.\n", what, GetLastError()); fflush(stdout); }

static int AttachTo(HWND frame)
{
    Frame = frame;
    List = FindWindowExA(Frame, NULL, "SysListView32", NULL);
    StatusBar = FindWindowExA(Frame, NULL, "msctls_statusbar32", NULL);
    GetWindowThreadProcessId(Frame, &ProcessId);
    if (Process == NULL)
        Process = OpenProcess(PROCESS_ALL_ACCESS, FALSE, ProcessId);
    if (Process == NULL)
        return 0;
    Remote = (char *)VirtualAllocEx(Process, NULL, 65536, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    return Remote != NULL && List != NULL;
}

static HWND WaitForWindow(const char *className, const char *title, DWORD ms)
{
    DWORD start = GetTickCount();
    for (;;) {
        HWND w = FindWindowA(className, title);
        if (w != NULL && IsWindowVisible(w))
            return w;
        if (GetTickCount() - start >= ms)
            return NULL;
        Sleep(25);
    }
}

static int RowCount() { return (int)SendMessageA(List, LVM_GETITEMCOUNT, 0, 0); }

static void CellText(int row, int column, char *out, int size)
{
    LVITEMA item;
    memset(&item, 0, sizeof item);
    item.iSubItem = column;
    item.cchTextMax = 1024;
    item.pszText = Remote + 4096;
    WriteProcessMemory(Process, Remote, &item, sizeof item, NULL);
    int length = (int)SendMessageA(List, LVM_GETITEMTEXTA, row, (LPARAM)Remote);
    if (length >= size)
        length = size - 1;
    ReadProcessMemory(Process, Remote + 4096, out, length, NULL);
    out[length] = '\0';
}

static void PrintRows()
{
    int rows = RowCount();
    HWND header = (HWND)SendMessageA(List, LVM_GETHEADER, 0, 0);
    int columns = header != NULL ? (int)SendMessageA(header, HDM_GETITEMCOUNT, 0, 0) : 0;
    for (int r = 0; r < rows; r++) {
        int selected = (SendMessageA(List, LVM_GETITEMSTATE, r, LVIS_SELECTED) & LVIS_SELECTED) != 0;
        printf("%d\t%s", r, selected ? "S" : "-");
        for (int c = 0; c < columns; c++) {
            char text[1024];
            CellText(r, c, text, sizeof text);
            printf("\t%s", text);
        }
        printf("\n");
    }
}

static void SetRowState(int row, UINT state, UINT mask)
{
    LVITEMA item;
    memset(&item, 0, sizeof item);
    item.state = state;
    item.stateMask = mask;
    WriteProcessMemory(Process, Remote, &item, sizeof item, NULL);
    SendMessageA(List, LVM_SETITEMSTATE, (WPARAM)row, (LPARAM)Remote);
}

static void ProbeRequest(ULONG_PTR kind, HWND target = NULL)
{
    if (target == NULL)
        target = Frame;
    HANDLE section = CreateFileMappingA(INVALID_HANDLE_VALUE, NULL, PAGE_READWRITE, 0, RESULT_SIZE,
                                        "TallyMenuProbeResult");
    char *view = (char *)MapViewOfFile(section, FILE_MAP_READ, 0, 0, RESULT_SIZE);
    HWND probe = FindWindowExA(HWND_MESSAGE, NULL, "TallyMenuProbe", NULL);
    if (probe == NULL) {
        Error("no probe");
    } else {
        COPYDATASTRUCT request = {kind, sizeof target, &target};
        DWORD_PTR result = 0;
        if (!SendMessageTimeoutA(probe, WM_COPYDATA, 0, (LPARAM)&request, SMTO_NORMAL, 10000, &result) || result == 0) {
            Error("probe did not answer");
        } else {
            fputs(view, stdout);
            Done();
        }
    }
    UnmapViewOfFile(view);
    CloseHandle(section);
}

static void Inject(const char *path)
{
    size_t length = strlen(path) + 1;
    WriteProcessMemory(Process, Remote + 8192, path, length, NULL);
    LPTHREAD_START_ROUTINE load =
        (LPTHREAD_START_ROUTINE)(void *)GetProcAddress(GetModuleHandleA("kernel32.dll"), "LoadLibraryA");
    HANDLE thread = CreateRemoteThread(Process, NULL, 0, load, Remote + 8192, 0, NULL);
    if (thread == NULL) {
        Error("CreateRemoteThread");
        return;
    }
    WaitForSingleObject(thread, 10000);
    CloseHandle(thread);
    DWORD start = GetTickCount();
    while (FindWindowExA(HWND_MESSAGE, NULL, "TallyMenuProbe", NULL) == NULL) {
        if (GetTickCount() - start > 10000) {
            Error("probe window missing");
            return;
        }
        Sleep(25);
    }
    Done();
}

static void SendKeys(const char *keys)
{
    WORD vk = 0;
    int control = 0;
    if (_stricmp(keys, "ctrl+s") == 0) { vk = 'S'; control = 1; }
    else if (_stricmp(keys, "ctrl+a") == 0) { vk = 'A'; control = 1; }
    else if (_stricmp(keys, "delete") == 0) { vk = VK_DELETE; }
    else { Error("unknown keys"); return; }
    SetForegroundWindow(Frame);
    Sleep(100);
    INPUT input[4];
    int n = 0;
    memset(input, 0, sizeof input);
    if (control) { input[n].type = INPUT_KEYBOARD; input[n].ki.wVk = VK_CONTROL; n++; }
    input[n].type = INPUT_KEYBOARD; input[n].ki.wVk = vk; n++;
    input[n].type = INPUT_KEYBOARD; input[n].ki.wVk = vk; input[n].ki.dwFlags = KEYEVENTF_KEYUP; n++;
    if (control) { input[n].type = INPUT_KEYBOARD; input[n].ki.wVk = VK_CONTROL; input[n].ki.dwFlags = KEYEVENTF_KEYUP; n++; }
    if (SendInput(n, input, sizeof(INPUT)) != (UINT)n) {
        Error("SendInput");
        return;
    }
    Sleep(100);
    WaitForInputIdle(Process, 5000);
    DWORD_PTR result;
    SendMessageTimeoutA(Frame, WM_NULL, 0, 0, SMTO_NORMAL, 5000, &result);
    Done();
}

// A right click, or a double click of the left button, on a row or below them.
static void ClickRow(const char *where, int doubleLeft)
{
    int x, y;
    if (strcmp(where, "empty") == 0) {
        RECT client;
        GetClientRect(List, &client);
        x = 30;
        y = client.bottom - 10;
    } else {
        RECT rect;
        memset(&rect, 0, sizeof rect);
        rect.left = LVIR_BOUNDS;
        WriteProcessMemory(Process, Remote, &rect, sizeof rect, NULL);
        if (!SendMessageA(List, LVM_GETITEMRECT, atoi(where), (LPARAM)Remote)) {
            Error("no such row");
            return;
        }
        ReadProcessMemory(Process, Remote, &rect, sizeof rect, NULL);
        x = rect.left + 100;
        y = (rect.top + rect.bottom) / 2;
    }
    // Where a real click would leave the cursor.
    POINT screen = {x, y};
    ClientToScreen(List, &screen);
    SetCursorPos(screen.x, screen.y);
    if (doubleLeft) {
        // The messages of a real double click, in their order.
        PostMessageA(List, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(x, y));
        PostMessageA(List, WM_LBUTTONUP, 0, MAKELPARAM(x, y));
        PostMessageA(List, WM_LBUTTONDBLCLK, MK_LBUTTON, MAKELPARAM(x, y));
        PostMessageA(List, WM_LBUTTONUP, 0, MAKELPARAM(x, y));
    } else {
        PostMessageA(List, WM_RBUTTONDOWN, MK_RBUTTON, MAKELPARAM(x, y));
        PostMessageA(List, WM_RBUTTONUP, 0, MAKELPARAM(x, y));
    }
    Done();
}

// An edit control's or status bar's text: asked for, as another process's
// edit control gives its title to GetWindowText.
static void PrintAskedText(HWND child, const char *kind)
{
    static char text[262144];
    DWORD_PTR length = 0;
    if (!SendMessageTimeoutA(child, WM_GETTEXT, sizeof text, (LPARAM)text, SMTO_ABORTIFHUNG, 5000, &length))
        length = 0;
    text[length < sizeof text ? length : sizeof text - 1] = '\0';
    for (char *p = text; *p; p++)
        if (*p == '\n')
            *p = '|';
        else if (*p == '\r')
            *p = ' ';
    printf("%s\t%d\t%s\n", kind, GetDlgCtrlID(child), text);
}

static BOOL CALLBACK PrintChildText(HWND child, LPARAM)
{
    char text[1024];
    char className[64];
    GetClassNameA(child, className, sizeof className);
    if (_stricmp(className, "Edit") == 0 || _stricmp(className, STATUSCLASSNAMEA) == 0) {
        PrintAskedText(child, _stricmp(className, "Edit") == 0 ? "edit" : "statusbar");
        return TRUE;
    }
    if (GetWindowTextA(child, text, sizeof text) <= 0)
        return TRUE;
    for (char *p = text; *p; p++)
        if (*p == '\n')
            *p = '|';
        else if (*p == '\r')
            *p = ' ';
    if (_stricmp(className, "Static") == 0)
        printf("static\t%s\n", text);
    else if (_stricmp(className, "Button") == 0)
        printf("button\t%d\t%s\n", GetDlgCtrlID(child), text);
    return TRUE;
}

static void WaitForPopupToClose()
{
    DWORD start = GetTickCount();
    HWND popup;
    while ((popup = FindWindowA("#32768", NULL)) != NULL && IsWindowVisible(popup) && GetTickCount() - start < 5000)
        Sleep(25);
    Done();
}

static void Create(int count, const char *path)
{
    SC_HANDLE scm = OpenSCManagerA(NULL, NULL, SC_MANAGER_ALL_ACCESS);
    int made = 0;
    for (int n = 1; n <= count && n <= 64; n++) {
        char name[32], display[32];
        snprintf(name, sizeof name, "Quillbox%d", n);
        snprintf(display, sizeof display, "Tallyline (%d)", n);
        SC_HANDLE service = CreateServiceA(scm, name, display, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                                           SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, path, NULL, NULL, NULL,
                                           NULL, NULL);
        if (service != NULL) {
            made++;
            CloseServiceHandle(service);
        }
    }
    CloseServiceHandle(scm);
    printf("created %d\n", made);
    Done();
}

static void Purge()
{
    SC_HANDLE scm = OpenSCManagerA(NULL, NULL, SC_MANAGER_ALL_ACCESS);
    for (int n = 1; n <= 64; n++) {
        char name[32], path[160];
        snprintf(name, sizeof name, "Quillbox%d", n);
        SC_HANDLE service = OpenServiceA(scm, name, SERVICE_ALL_ACCESS);
        if (service != NULL) {
            SERVICE_STATUS status;
            if (QueryServiceStatus(service, &status) && status.dwCurrentState != SERVICE_STOPPED) {
                ControlService(service, SERVICE_CONTROL_STOP, &status);
                DWORD start = GetTickCount();
                while (QueryServiceStatus(service, &status) && status.dwCurrentState != SERVICE_STOPPED &&
                       GetTickCount() - start < 15000)
                    Sleep(50);
            }
            DeleteService(service);
            CloseServiceHandle(service);
        }
        snprintf(path, sizeof path, "SYSTEM\\CurrentControlSet\\Services\\%s", name);
        RegDeleteTreeA(HKEY_LOCAL_MACHINE, path);
        snprintf(path, sizeof path, "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\%s", name);
        RegDeleteKeyA(HKEY_LOCAL_MACHINE, path);
    }
    CloseServiceHandle(scm);
    Done();
}

static void Launch(DWORD ms, const char *commandLine)
{
    char line[1024];
    snprintf(line, sizeof line, "%s", commandLine);
    STARTUPINFOA si;
    memset(&si, 0, sizeof si);
    si.cb = sizeof si;
    PROCESS_INFORMATION pi;
    LARGE_INTEGER frequency, before, after;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&before);
    if (!CreateProcessA(NULL, line, NULL, NULL, FALSE, 0, NULL, NULL, &si, &pi)) {
        Error("CreateProcess");
        return;
    }
    // Idle after the first paint: the frame is shown and painted (UpdateWindow)
    // before the message loop first waits for input. Wine may report a process
    // idle before its first window exists, so wait for the frame as well.
    CloseHandle(pi.hThread);
    Process = pi.hProcess;
    ProcessId = pi.dwProcessId;
    DWORD start = GetTickCount();
    HWND frame = NULL;
    for (;;) {
        WaitForInputIdle(pi.hProcess, ms);
        frame = NULL;
        while ((frame = FindWindowExA(NULL, frame, "TallylineFrame", NULL)) != NULL) {
            DWORD pid;
            GetWindowThreadProcessId(frame, &pid);
            if (pid == ProcessId && IsWindowVisible(frame))
                break;
        }
        if (frame != NULL || GetTickCount() - start > ms || WaitForSingleObject(pi.hProcess, 0) == WAIT_OBJECT_0)
            break;
        Sleep(5);
    }
    WaitForInputIdle(pi.hProcess, ms);
    QueryPerformanceCounter(&after);
    if (frame == NULL || !AttachTo(frame)) {
        Error("no frame");
        return;
    }
    printf("ms %.1f\nrows %d\n", (double)(after.QuadPart - before.QuadPart) * 1000.0 / frequency.QuadPart, RowCount());
    Done();
}

// --- property sheets ---------------------------------------------------------

static HWND SheetControl(int id)
{
    HWND page = (HWND)SendMessageA(Sheet, PSM_GETCURRENTPAGEHWND, 0, 0);
    HWND control = page != NULL ? GetDlgItem(page, id) : NULL;
    return control != NULL ? control : GetDlgItem(Sheet, id);
}

// An editable combo box takes typing in its edit field.
static HWND EditOf(HWND control)
{
    char className[64];
    GetClassNameA(control, className, sizeof className);
    if (_stricmp(className, "ComboBox") == 0) {
        HWND edit = FindWindowExA(control, NULL, "Edit", NULL);
        if (edit != NULL)
            return edit;
    }
    return control;
}

static int SyncSend(HWND window, UINT message, WPARAM wParam, LPARAM lParam, LRESULT *out = NULL)
{
    DWORD_PTR result = 0;
    if (!SendMessageTimeoutA(window, message, wParam, lParam, SMTO_NORMAL, 60000, &result))
        return 0;
    if (out != NULL)
        *out = (LRESULT)result;
    return 1;
}

static void PrintControl(HWND control)
{
    char className[64], text[1024];
    GetClassNameA(control, className, sizeof className);
    // GetWindowText does not ask a window of another process for its text.
    text[0] = '\0';
    SyncSend(control, WM_GETTEXT, sizeof text, (LPARAM)text);
    text[sizeof text - 1] = '\0';
    LRESULT checked = 0, selected = -1;
    if (_stricmp(className, "Button") == 0)
        SyncSend(control, BM_GETCHECK, 0, 0, &checked);
    else if (_stricmp(className, "ComboBox") == 0)
        SyncSend(control, CB_GETCURSEL, 0, 0, &selected);
    printf("%s\t%d\t%d\t%d\t%s\n", className, IsWindowEnabled(control) ? 1 : 0, (int)checked, (int)selected, text);
    Done();
}

// Types UTF-8 text as a keyboard would, one UTF-16 character after another,
// over the whole text or (atCaret) where the caret is.
static void TypeText(HWND control, const char *text, int atCaret)
{
    HWND edit = EditOf(control);
    if (!atCaret)
        SyncSend(edit, EM_SETSEL, 0, -1);
    if (*text == '\0') {
        SyncSend(edit, WM_CHAR, VK_BACK, 0);
    }
    WCHAR wide[1024];
    int length = MultiByteToWideChar(CP_UTF8, 0, text, -1, wide, sizeof wide / sizeof wide[0]);
    for (int i = 0; i + 1 < length; i++) {
        DWORD_PTR result;
        SendMessageTimeoutW(edit, WM_CHAR, (WPARAM)wide[i], 1, SMTO_NORMAL, 60000, &result);
    }
    Done();
}

static void ChooseItem(HWND control, int index)
{
    SyncSend(control, CB_SETCURSEL, (WPARAM)index, 0);
    SyncSend(GetParent(control), WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(control), CBN_SELCHANGE), (LPARAM)control);
    Done();
}

static void PickerTime(HWND picker)
{
    SYSTEMTIME time;
    memset(&time, 0, sizeof time);
    LRESULT valid = -1;
    SyncSend(picker, DTM_GETSYSTEMTIME, 0, (LPARAM)Remote, &valid);
    ReadProcessMemory(Process, Remote, &time, sizeof time, NULL);
    printf("%d %d %d %d\n", valid == GDT_VALID ? 1 : 0, time.wHour, time.wMinute, time.wSecond);
    Done();
}

static void SetPicker(HWND picker, int hour, int minute, int second)
{
    SYSTEMTIME time;
    SyncSend(picker, DTM_GETSYSTEMTIME, 0, (LPARAM)Remote);
    ReadProcessMemory(Process, Remote, &time, sizeof time, NULL);
    time.wHour = (WORD)hour;
    time.wMinute = (WORD)minute;
    time.wSecond = (WORD)second;
    WriteProcessMemory(Process, Remote, &time, sizeof time, NULL);
    SyncSend(picker, DTM_SETSYSTEMTIME, GDT_VALID, (LPARAM)Remote);
    Done();
}

static void SpinPicker(HWND picker, int field)
{
    RECT rect;
    GetClientRect(picker, &rect);
    LPARAM at = MAKELPARAM(5, (rect.bottom - rect.top) / 2);
    SyncSend(picker, WM_LBUTTONDOWN, MK_LBUTTON, at);
    SyncSend(picker, WM_LBUTTONUP, 0, at);
    SyncSend(picker, WM_SETFOCUS, 0, 0);
    for (int i = 0; i < field; i++) {
        SyncSend(picker, WM_KEYDOWN, VK_RIGHT, 1);
        SyncSend(picker, WM_KEYUP, VK_RIGHT, 0xC0000001);
    }
    SyncSend(picker, WM_KEYDOWN, VK_UP, 1);
    SyncSend(picker, WM_KEYUP, VK_UP, 0xC0000001);
    Done();
}

struct FindById {
    int Id;
    HWND Found;
};

static BOOL CALLBACK FindVisibleControl(HWND child, LPARAM lParam)
{
    FindById *find = (FindById *)lParam;
    if (GetDlgCtrlID(child) == find->Id && IsWindowVisible(child)) {
        find->Found = child;
        return FALSE;
    }
    return TRUE;
}

static int SheetCommand(const char *command, char *rest)
{
    if (strcmp(command, "enabled") == 0) {
        FindById find = {atoi(rest != NULL ? rest : "0"), NULL};
        if (Sheet != NULL)
            EnumChildWindows(Sheet, FindVisibleControl, (LPARAM)&find);
        if (find.Found == NULL) {
            Error("no such control");
        } else {
            printf("%d\n", IsWindowEnabled(find.Found) ? 1 : 0);
            Done();
        }
        return 1;
    }
    if (strcmp(command, "sheet") == 0) {
        char *ms = strtok(rest, " ");
        char *caption = strtok(NULL, "");
        Sheet = WaitForWindow(NULL, caption, (DWORD)atoi(ms));
        if (Sheet == NULL)
            Error("no sheet");
        else
            Done();
        return 1;
    }
    if (strcmp(command, "sheetgone") == 0) {
        DWORD start = GetTickCount();
        while (Sheet != NULL && IsWindow(Sheet) && GetTickCount() - start < (DWORD)atoi(rest))
            Sleep(25);
        printf("%s\n", Sheet != NULL && IsWindow(Sheet) ? "open" : "gone");
        Done();
        return 1;
    }
    if (strcmp(command, "tab") != 0 && strcmp(command, "ctl") != 0 && strcmp(command, "settext") != 0 &&
        strcmp(command, "type") != 0 && strcmp(command, "typeat") != 0 && strcmp(command, "click") != 0 && strcmp(command, "postclick") != 0 &&
        strcmp(command, "choose") != 0 && strcmp(command, "time") != 0 && strcmp(command, "settime") != 0 && strcmp(command, "spin") != 0 &&
        strcmp(command, "closebox") != 0 && strcmp(command, "focus") != 0)
        return 0;
    if (Sheet == NULL || !IsWindow(Sheet)) {
        Error("no sheet");
        return 1;
    }
    if (strcmp(command, "tab") == 0) {
        if (!SyncSend(Sheet, PSM_SETCURSEL, (WPARAM)atoi(rest), 0))
            Error("tab");
        else
            Done();
        return 1;
    }
    if (strcmp(command, "closebox") == 0) {
        PostMessageA(Sheet, WM_SYSCOMMAND, SC_CLOSE, 0);
        Done();
        return 1;
    }
    char *id = strtok(rest, " ");
    char *argument = strtok(NULL, "");
    HWND control = id != NULL ? SheetControl(atoi(id)) : NULL;
    if (control == NULL) {
        Error("no such control");
    } else if (strcmp(command, "ctl") == 0) {
        PrintControl(control);
    } else if (strcmp(command, "settext") == 0) {
        SyncSend(EditOf(control), WM_SETTEXT, 0, (LPARAM)(argument != NULL ? argument : ""));
        Done();
    } else if (strcmp(command, "type") == 0 || strcmp(command, "typeat") == 0) {
        TypeText(control, argument != NULL ? argument : "", command[4] == 'a');
    } else if (strcmp(command, "click") == 0) {
        if (!SyncSend(control, BM_CLICK, 0, 0))
            Error("click timed out");
        else
            Done();
    } else if (strcmp(command, "postclick") == 0) {
        PostMessageA(control, BM_CLICK, 0, 0);
        Done();
    } else if (strcmp(command, "choose") == 0) {
        ChooseItem(control, argument != NULL ? atoi(argument) : -1);
    } else if (strcmp(command, "time") == 0) {
        PickerTime(control);
    } else if (strcmp(command, "settime") == 0) {
        int h = 0, m = 0, sec = 0;
        if (argument == NULL || sscanf(argument, "%d %d %d", &h, &m, &sec) != 3)
            Error("settime H M S");
        else
            SetPicker(control, h, m, sec);
    } else if (strcmp(command, "focus") == 0) {
        // SetFocus works only for windows of a thread whose input is joined.
        DWORD target = GetWindowThreadProcessId(control, NULL);
        AttachThreadInput(GetCurrentThreadId(), target, TRUE);
        SetFocus(EditOf(control));
        HWND focus = GetFocus();
        AttachThreadInput(GetCurrentThreadId(), target, FALSE);
        if (focus != EditOf(control))
            Error("focus not taken");
        else
            Done();
    } else if (strcmp(command, "spin") == 0) {
        SpinPicker(control, argument != NULL ? atoi(argument) : 0);
    }
    return 1;
}

int main()
{
    char line[2048];
    setvbuf(stdout, NULL, _IOFBF, 1 << 16);
    // In text mode a typed Ctrl+Z (0x1A) would end the input.
    _setmode(_fileno(stdin), _O_BINARY);
    while (fgets(line, sizeof line, stdin) != NULL) {
        line[strcspn(line, "\r\n")] = '\0';
        char *command = strtok(line, " ");
        char *rest = strtok(NULL, "");
        if (command == NULL)
            continue;
        if (strcmp(command, "quit") == 0) {
            Done();
            break;
        } else if (strcmp(command, "launch") == 0) {
            char *ms = strtok(rest, " ");
            char *path = strtok(NULL, "");
            Launch((DWORD)atoi(ms), path);
        } else if (strcmp(command, "create") == 0) {
            char *count = strtok(rest, " ");
            char *path = strtok(NULL, "");
            Create(atoi(count), path);
        } else if (strcmp(command, "squat") == 0 || strcmp(command, "unsquat") == 0) {
            char *name = strtok(rest, " ");
            char *path = strtok(NULL, "|");
            char *display = strtok(NULL, "");
            SC_HANDLE scm = OpenSCManagerA(NULL, NULL, SC_MANAGER_ALL_ACCESS);
            SC_HANDLE service;
            if (command[0] == 's')
                service = CreateServiceA(scm, name, display, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                                         SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, path, NULL, NULL, NULL, NULL, NULL);
            else if ((service = OpenServiceA(scm, name, SERVICE_ALL_ACCESS)) != NULL)
                DeleteService(service);
            if (service == NULL) {
                Error("service");
            } else {
                CloseServiceHandle(service);
                Done();
            }
            CloseServiceHandle(scm);
        } else if (strcmp(command, "purge") == 0) {
            Purge();
        } else if (strcmp(command, "kill") == 0) {
            if (Process != NULL) {
                TerminateProcess(Process, 1);
                WaitForSingleObject(Process, 5000);
                CloseHandle(Process);
            }
            Process = NULL;
            Frame = List = StatusBar = NULL;
            Done();
        } else if (SheetCommand(command, rest)) {
            // handled
        } else if (strcmp(command, "attach") == 0) {
            HWND frame = WaitForWindow("TallylineFrame", NULL, (DWORD)atoi(rest ? rest : "10000"));
            if (frame == NULL || !AttachTo(frame))
                Error("no main window");
            else
                Done();
        } else if (strcmp(command, "dialog") == 0) {   // any window: also another program's
            char *ms = strtok(rest, " ");
            char *caption = strtok(NULL, "");
            HWND dialog = WaitForWindow(NULL, caption, (DWORD)atoi(ms));
            if (dialog == NULL) {
                Error("no such window");
            } else {
                EnumChildWindows(dialog, PrintChildText, 0);
                Done();
            }
        } else if (strcmp(command, "press") == 0) {
            char *id = strtok(rest, " ");
            char *caption = strtok(NULL, "");
            HWND dialog = FindWindowA(NULL, caption);
            if (dialog == NULL) {
                Error("no such window");
            } else {
                PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(atoi(id), BN_CLICKED), 0);
                Done();
            }
        } else if (Frame == NULL) {
            Error("not attached");
        } else if (strcmp(command, "info") == 0) {
            char title[256] = "", status[256] = "";
            GetWindowTextA(Frame, title, sizeof title);
            if (StatusBar != NULL)
                GetWindowTextA(StatusBar, status, sizeof status);
            printf("title\t%s\nvisible\t%d\nstatus\t%s\nrows\t%d\n", title, IsWindowVisible(Frame) ? 1 : 0, status,
                   RowCount());
            Done();
        } else if (strcmp(command, "rows") == 0) {
            PrintRows();
            Done();
        } else if (strcmp(command, "select") == 0) {
            SetRowState(-1, 0, LVIS_SELECTED);
            for (char *r = strtok(rest, " "); r != NULL; r = strtok(NULL, " "))
                SetRowState(atoi(r), LVIS_SELECTED, LVIS_SELECTED);
            Done();
        } else if (strcmp(command, "command") == 0) {
            DWORD_PTR result;
            if (!SendMessageTimeoutA(Frame, WM_COMMAND, MAKEWPARAM(atoi(rest), 0), 0, SMTO_NORMAL, 60000, &result))
                Error("command timed out");
            else
                Done();
        } else if (strcmp(command, "post") == 0) {
            PostMessageA(Frame, WM_COMMAND, MAKEWPARAM(atoi(rest), 0), 0);
            Done();
        } else if (strcmp(command, "keys") == 0) {
            SendKeys(rest);
        } else if (strcmp(command, "inject") == 0) {
            Inject(rest);
        } else if (strcmp(command, "menubar") == 0) {
            ProbeRequest(1);
        } else if (strcmp(command, "layout") == 0) {
            HWND target = rest != NULL ? WaitForWindow(NULL, rest, 5000) : Frame;
            if (target == NULL)
                Error("no such window");
            else
                ProbeRequest(3, target);
        } else if (strcmp(command, "rclick") == 0 || strcmp(command, "dblclick") == 0) {
            ClickRow(rest, command[0] == 'd');
        } else if (strcmp(command, "popup") == 0) {
            if (WaitForWindow("#32768", NULL, (DWORD)atoi(rest)) == NULL)
                Error("no popup");
            else
                ProbeRequest(2);
        } else if (strcmp(command, "popupkey") == 0) {
            PostMessageA(List, WM_KEYDOWN, (WPARAM)atoi(rest), 0);
            WaitForPopupToClose();
        } else if (strcmp(command, "popupchar") == 0) {
            PostMessageA(List, WM_CHAR, (WPARAM)rest[0], 0);
            WaitForPopupToClose();
        } else if (strcmp(command, "close") == 0) {
            PostMessageA(Frame, WM_CLOSE, 0, 0);
            Done();
        } else if (strcmp(command, "waitexit") == 0) {
            DWORD code = 0;
            if (WaitForSingleObject(Process, (DWORD)atoi(rest)) == WAIT_OBJECT_0 && GetExitCodeProcess(Process, &code))
                printf("exited %lu\n", code);
            else
                printf("running\n");
            Done();
        } else if (strcmp(command, "cputime") == 0) {
            FILETIME created, exited, kernel, user;
            GetProcessTimes(Process, &created, &exited, &kernel, &user);
            ULONGLONG total = ((ULONGLONG)kernel.dwHighDateTime << 32 | kernel.dwLowDateTime) +
                              ((ULONGLONG)user.dwHighDateTime << 32 | user.dwLowDateTime);
            printf("%llu\n", total);
            Done();
        } else {
            Error("unknown command");
        }
    }
    return 0;
}
