#include "client/InstanceListView.h"

#include <commctrl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "client/instances/ClientMessages.h"
#include "client/instances/FirewallRule.h"
#include "client/instances/InstanceCommands.h"
#include "client/instances/InstanceStore.h"
#include "client/LiveView.h"
#include "client/PropertiesCommand.h"
#include "client/resource.h"
#include "client/window/FrameWindow.h"
#include "common/settings/StatusKey.h"

#define LIST_PROPERTY "TallylineList"

struct ColumnSpec {
    const char *Header;
    int Width;
};
// By InstanceColumn. The widths are pixels at 96 DPI.
static const ColumnSpec Columns[] = {
    {"Instance", 60}, {"Port", 60}, {"Status", 75}, {"Auto Start", 65}, {"Log File", 300}, {"Mail queue", 75},
    {"Last data", 75}, {"Today", 65}, {"Alarm", 95},
};

InstanceListView::InstanceListView()
    : m_Handle(NULL), m_Frame(NULL), m_DefaultProc(NULL), m_Dpi(96), m_MailQueueShown(0), m_DataFlowShown(0)
{
    memset(m_ShownStatus, 0, sizeof m_ShownStatus);
    memset(m_ShownQueue, 0, sizeof m_ShownQueue);
    memset(m_ShownLastData, 0, sizeof m_ShownLastData);
    memset(m_ShownToday, 0, sizeof m_ShownToday);
    memset(m_ShownAlarm, 0, sizeof m_ShownAlarm);
    memset(m_Live, 0, sizeof m_Live);
}

// Where a column is in the list: the first five where they always were, the
// data-flow columns next (shown after Status, ShowDataFlowColumns), the Mail
// queue last.
int InstanceListView::ColumnPosition(int column) const
{
    if (column <= ColumnLogFile)
        return column;
    if (column == ColumnMailQueue)
        return ColumnLogFile + 1 + (m_DataFlowShown ? 3 : 0);
    return ColumnLogFile + 1 + (column - ColumnLastData);
}

// The program declares itself DPI aware, so Windows no longer stretches it:
// at 144 DPI the larger font would be cut off in unscaled columns.
void InstanceListView::InsertColumn(int index)
{
    LVCOLUMNA column;
    memset(&column, 0, sizeof column);
    column.mask = LVCF_FMT | LVCF_WIDTH | LVCF_TEXT | LVCF_SUBITEM;
    column.fmt = LVCFMT_LEFT;
    column.cx = MulDiv(Columns[index].Width, m_Dpi, 96);
    column.pszText = (char *)Columns[index].Header;
    column.iSubItem = ColumnPosition(index);
    SendMessageA(m_Handle, LVM_INSERTCOLUMNA, ColumnPosition(index), (LPARAM)&column);
}

int InstanceListView::Create(CFrameWindow *frame, UINT id)
{
    m_Frame = frame;
    m_Handle = CreateWindowExA(0, WC_LISTVIEWA, "",
                               WS_CHILD | WS_VISIBLE | WS_BORDER | WS_TABSTOP | LVS_REPORT | LVS_SHOWSELALWAYS |
                                   LVS_NOSORTHEADER,
                               0, 0, 0, 0, frame->Handle(), (HMENU)(UINT_PTR)id, frame->Instance(), NULL);
    if (m_Handle == NULL)
        return 0;
    DWORD look = LVS_EX_GRIDLINES | LVS_EX_FULLROWSELECT | LVS_EX_HEADERDRAGDROP | LVS_EX_FLATSB;
    SendMessageA(m_Handle, LVM_SETEXTENDEDLISTVIEWSTYLE, look, look);
    HDC screen = GetDC(m_Handle);
    int dpi = screen != NULL ? GetDeviceCaps(screen, LOGPIXELSX) : 96;
    if (screen != NULL)
        ReleaseDC(m_Handle, screen);
    m_Dpi = dpi > 0 ? dpi : 96;
    for (int i = ColumnInstance; i <= ColumnLogFile; i++)
        InsertColumn(i);
    SetPropA(m_Handle, LIST_PROPERTY, (HANDLE)this);
    m_DefaultProc = (WNDPROC)SetWindowLongPtrA(m_Handle, GWLP_WNDPROC, (LONG_PTR)ListProc);

    SaveFailures unreadable = {0, {0}};
    SaveFailures failures = {0, {0}};
    int firstRun = OpenInstances(&unreadable, &failures);
    // In increasing instance number, gaps and all.
    for (int n = 1; n <= MAX_INSTANCES; n++)
        if (InstanceTable[n].InUse)
            InsertRowAt(RowCount(), n);
    ReadLiveStatuses();
    UpdateMailQueueColumn();
    if (firstRun) {
        SettingsModified = 0;
        ReportSaveFailures(failures);
    }
    if (unreadable.Count > 0) {
        char text[512];
        FormatLoadFailures(unreadable, text, sizeof text);
        ShowMessageBox(NULL, text, SAVE_FAILED_CAPTION, MB_OK | MB_ICONERROR);
    }
    SetTimer(m_Handle, STATUS_TIMER_ID, STATUS_TIMER_PERIOD, NULL);
    return 1;
}

int InstanceListView::RowCount() const
{
    return (int)SendMessageA(m_Handle, LVM_GETITEMCOUNT, 0, 0);
}

int InstanceListView::RowInstance(int row) const
{
    char text[INSTANCE_TEXT_SIZE] = "";
    LVITEMA item;
    memset(&item, 0, sizeof item);
    item.iSubItem = ColumnInstance;
    item.pszText = text;
    item.cchTextMax = sizeof text;
    SendMessageA(m_Handle, LVM_GETITEMTEXTA, row, (LPARAM)&item);
    text[sizeof text - 1] = '\0';
    int n = atoi(text);
    return IsInstanceNumber(n) ? n : 0;
}

int InstanceListView::SelectedCount() const
{
    return (int)SendMessageA(m_Handle, LVM_GETSELECTEDCOUNT, 0, 0);
}

int InstanceListView::SelectedInstances(int *numbers, int capacity) const
{
    int count = 0;
    int row = -1;
    while (count < capacity &&
           (row = (int)SendMessageA(m_Handle, LVM_GETNEXTITEM, row, LVNI_SELECTED)) >= 0) {
        int n = RowInstance(row);
        if (n != 0)
            numbers[count++] = n;
    }
    return count;
}

void InstanceListView::SetCellText(int row, int column, const char *text)
{
    LVITEMA item;
    memset(&item, 0, sizeof item);
    item.iSubItem = column;
    item.pszText = (char *)text;
    SendMessageA(m_Handle, LVM_SETITEMTEXTA, row, (LPARAM)&item);
}

void InstanceListView::InsertInstanceRow(int n)
{
    // Below the row of N-1, searched from the bottom; else at the top. N is
    // the lowest free number, so this keeps the rows in order.
    int row = 0;
    for (int i = RowCount() - 1; i >= 0; i--) {
        if (RowInstance(i) == n - 1) {
            row = i + 1;
            break;
        }
    }
    InsertRowAt(row, n);
}

void InstanceListView::InsertRowAt(int row, int n)
{
    char number[INSTANCE_TEXT_SIZE];
    snprintf(number, sizeof number, "%d", n);
    LVITEMA item;
    memset(&item, 0, sizeof item);
    item.mask = LVIF_TEXT;
    item.iItem = row;
    item.pszText = number;
    row = (int)SendMessageA(m_Handle, LVM_INSERTITEMA, 0, (LPARAM)&item);
    if (row < 0)
        return;
    // The new row is never selected; some list views carry the selection of
    // the row that was at this index over to the inserted one.
    LVITEMA state;
    memset(&state, 0, sizeof state);
    state.stateMask = LVIS_SELECTED;
    SendMessageA(m_Handle, LVM_SETITEMSTATE, row, (LPARAM)&state);
    RefreshRow(row);
    // Its live cells are empty yet.
    m_ShownStatus[n][0] = '\0';
    m_ShownQueue[n][0] = '\0';
    m_ShownLastData[n][0] = m_ShownToday[n][0] = m_ShownAlarm[n][0] = '\0';
    UpdateLiveCells(n);
}

void InstanceListView::RefreshRow(int row)
{
    int n = RowInstance(row);
    if (n == 0)
        return;
    const InstanceSettings &record = InstanceTable[n];
    char source[SOURCE_SIZE + 16];
    FormatSourceShort(record.Network.Source, record.PortName, source, sizeof source);
    SetCellText(row, ColumnPort, source);
    SetCellText(row, ColumnAutoStart, record.AutoStart ? "Yes" : "No");
    SetCellText(row, ColumnLogFile, record.LogFilename);
}

int InstanceListView::FindInstanceRow(int n) const
{
    int rows = RowCount();
    for (int row = 0; row < rows; row++)
        if (RowInstance(row) == n)
            return row;
    return -1;
}

// Writes a cell of instance n's row only when its text changes. shown (of
// CELL_TEXT_SIZE) is what the cell shows: these cells are written only
// here, so the text is known without reading the row back, and an idle tick
// touches no row at all.
void InstanceListView::UpdateCell(int n, int column, char *shown, const char *text)
{
    if (strcmp(text, shown) == 0)
        return;
    int row = FindInstanceRow(n);
    if (row < 0)
        return;
    SetCellText(row, ColumnPosition(column), text);
    CopySettingText(shown, CELL_TEXT_SIZE, text);
}

// Last data, Today and Alarm from the status the instance publishes; the
// alarm only while the service runs (a stopped one's last status is history).
void InstanceListView::UpdateDataFlowCells(int n, ULONGLONG now)
{
    const InstanceLiveStatus &live = m_Live[n];
    char text[CELL_TEXT_SIZE] = "";
    FormatLastData(&live, now, text, sizeof text);
    UpdateCell(n, ColumnLastData, m_ShownLastData[n], text);
    text[0] = '\0';
    if (live.Present)
        FormatByteAmount(BytesReceivedToday(&live, now), text, sizeof text);
    UpdateCell(n, ColumnToday, m_ShownToday[n], text);
    text[0] = '\0';
    DWORD state = InstanceTable[n].LastStatus.dwCurrentState;
    if (InstanceTable[n].ServiceHandle != NULL && (state == SERVICE_RUNNING || state == SERVICE_PAUSED))
        FormatAlarmState(&live, now, text, sizeof text);
    UpdateCell(n, ColumnAlarm, m_ShownAlarm[n], text);
}

// The data-flow columns come once some instance publishes its status (a
// service of this version ran since boot): until then the list keeps the
// columns it always had. They stand right after Status.
void InstanceListView::ShowDataFlowColumns()
{
    if (m_DataFlowShown)
        return;
    m_DataFlowShown = 1;
    for (int column = ColumnLastData; column <= ColumnAlarm; column++)
        InsertColumn(column);
    memset(m_ShownLastData, 0, sizeof m_ShownLastData);
    memset(m_ShownToday, 0, sizeof m_ShownToday);
    memset(m_ShownAlarm, 0, sizeof m_ShownAlarm);
    SetColumnOrder();
}

void InstanceListView::SetColumnOrder()
{
    if (!m_DataFlowShown)
        return;
    int order[] = {ColumnInstance, ColumnPort, ColumnStatus, ColumnPosition(ColumnLastData), ColumnPosition(ColumnToday),
                   ColumnPosition(ColumnAlarm), ColumnAutoStart, ColumnLogFile, ColumnPosition(ColumnMailQueue)};
    SendMessageA(m_Handle, LVM_SETCOLUMNORDERARRAY, m_MailQueueShown ? 9 : 8, (LPARAM)order);
}

void InstanceListView::ReadLiveStatuses()
{
    for (int n = 1; n <= MAX_INSTANCES; n++)
        if (InstanceTable[n].InUse && ReadInstanceLiveStatus(n, &m_Live[n]))
            ShowDataFlowColumns();
}

// The cells that follow the services: Status, and the Mail queue (the
// finished logs the service has still to mail) of an instance that retries.
void InstanceListView::UpdateLiveCells(int n)
{
    const InstanceSettings &record = InstanceTable[n];
    UpdateCell(n, ColumnStatus, m_ShownStatus[n],
               record.ServiceHandle != NULL ? ServiceStateText(record.LastStatus.dwCurrentState) : "");
    if (m_DataFlowShown)
        UpdateDataFlowCells(n, UtcNowFiletime());
    if (!m_MailQueueShown)
        return;
    char queue[CELL_TEXT_SIZE] = "";
    if (record.Mail.MailRetryHours != 0)
        snprintf(queue, sizeof queue, "%lu", (unsigned long)OutboxMailCount(n));
    UpdateCell(n, ColumnMailQueue, m_ShownQueue[n], queue);
}

// The Mail queue column is there only while some instance retries its mail:
// otherwise the list keeps the five columns it always had.
void InstanceListView::UpdateMailQueueColumn()
{
    int wanted = 0;
    for (int n = 1; n <= MAX_INSTANCES; n++)
        if (InstanceTable[n].InUse && InstanceTable[n].Mail.MailRetryHours != 0)
            wanted = 1;
    if (wanted && !m_MailQueueShown) {
        InsertColumn(ColumnMailQueue);
        memset(m_ShownQueue, 0, sizeof m_ShownQueue);
    } else if (!wanted && m_MailQueueShown) {
        SendMessageA(m_Handle, LVM_DELETECOLUMN, ColumnPosition(ColumnMailQueue), 0);
    }
    m_MailQueueShown = wanted;
    SetColumnOrder();
    for (int n = 1; n <= MAX_INSTANCES; n++)
        if (InstanceTable[n].InUse)
            UpdateLiveCells(n);
}

void InstanceListView::OnStatusTimer()
{
    RefreshServiceStates();
    ReadLiveStatuses();
    for (int n = 1; n <= MAX_INSTANCES; n++)
        if (InstanceTable[n].InUse)
            UpdateLiveCells(n);
}

int InstanceListView::QueryCommand(UINT id, CommandState *state)
{
    int selected = SelectedCount();
    state->Checked = 0;
    switch (id) {
    case ID_EDIT_NEW:
    case ID_EDIT_SELECT_ALL:
        state->Enabled = 1;
        return 1;
    case ID_EDIT_PROPERTIES:
    case ID_VIEW_LIVE_DATA:
        state->Enabled = selected == 1;
        return 1;
    case ID_VIEW_DOUBLE_CLICK_LIVE:
        state->Enabled = 1;
        state->Checked = DoubleClickOpensLiveData();
        return 1;
    case ID_EDIT_DUPLICATE:
    case ID_EDIT_DELETE:
    case ID_SERVICE_START_AUTO:
    case ID_SERVICE_START:
    case ID_SERVICE_STOP:
    case ID_SERVICE_RESTART:
    case ID_SERVICE_CONTINUE:
    case ID_SERVICE_PAUSE:
        state->Enabled = selected > 0;
        return 1;
    }
    return 0;
}

void InstanceListView::RunCommand(UINT id)
{
    switch (id) {
    case ID_EDIT_NEW:           OnNew(); break;
    case ID_EDIT_DUPLICATE:     OnDuplicate(); break;
    case ID_EDIT_DELETE:        OnDelete(); break;
    case ID_EDIT_SELECT_ALL:    OnSelectAll(); break;
    case ID_EDIT_PROPERTIES:    OnProperties(); break;
    case ID_SERVICE_START_AUTO: OnStartAutomatically(); break;
    case ID_VIEW_LIVE_DATA:     OnLiveData(); break;
    case ID_VIEW_DOUBLE_CLICK_LIVE: SetDoubleClickOpensLiveData(!DoubleClickOpensLiveData()); break;
    default:                    OnServiceCommand(id); break;
    }
}

void InstanceListView::OnNew()
{
    int n = AddInstance(0, m_Handle);
    if (n != 0)
        InsertInstanceRow(n);
    UpdateMailQueueColumn();
    SettingsModified = 1;
}

void InstanceListView::OnDuplicate()
{
    // The selection is taken once, before any row is inserted, so each
    // selected instance is copied exactly once.
    int sources[MAX_INSTANCES];
    int count = SelectedInstances(sources, MAX_INSTANCES);
    for (int i = 0; i < count; i++) {
        int n = AddInstance(sources[i], m_Handle);
        if (n != 0)
            InsertInstanceRow(n);
    }
    UpdateMailQueueColumn();
    SettingsModified = 1;
}

void InstanceListView::OnDelete()
{
    int row;
    while ((row = (int)SendMessageA(m_Handle, LVM_GETNEXTITEM, (WPARAM)-1, LVNI_SELECTED)) >= 0) {
        int n = RowInstance(row);
        SendMessageA(m_Handle, LVM_DELETEITEM, row, 0);
        // The service goes at the next save.
        if (n != 0)
            InstanceTable[n].InUse = 0;
    }
    UpdateMailQueueColumn();
    SettingsModified = 1;
}

void InstanceListView::OnSelectAll()
{
    LVITEMA item;
    memset(&item, 0, sizeof item);
    item.stateMask = LVIS_SELECTED;
    item.state = LVIS_SELECTED;
    SendMessageA(m_Handle, LVM_SETITEMSTATE, (WPARAM)-1, (LPARAM)&item);
}

void InstanceListView::OnProperties()
{
    int row = (int)SendMessageA(m_Handle, LVM_GETNEXTITEM, (WPARAM)-1, LVNI_SELECTED);
    int n = row >= 0 ? RowInstance(row) : 0;
    if (n == 0)
        return;
    char title[64];
    snprintf(title, sizeof title, "Properties for Instance %d", n);
    if (ShowInstanceProperties(m_Frame->Handle(), title, n) == 1)
        SettingsModified = 1;
    RefreshRow(row);
    UpdateMailQueueColumn();
}

void InstanceListView::OnLiveData()
{
    int row = (int)SendMessageA(m_Handle, LVM_GETNEXTITEM, (WPARAM)-1, LVNI_SELECTED);
    int n = row >= 0 ? RowInstance(row) : 0;
    if (n != 0)
        CLiveView::Open(m_Frame->Instance(), n, InstanceTable[n].LogFilename);
}

// Whether a double click on a row opens its live view: the user's choice,
// kept in the user's part of the registry. Off, a double click does nothing
// beyond the list view's own selection, as it always did.
#define USER_KEY "Software\\Tallyline"
#define DOUBLE_CLICK_VALUE "DoubleClickOpensLiveData"

int DoubleClickOpensLiveData()
{
    DWORD value = 0, size = sizeof value, type = 0;
    if (RegGetValueA(HKEY_CURRENT_USER, USER_KEY, DOUBLE_CLICK_VALUE, RRF_RT_REG_DWORD, &type, &value, &size) !=
        ERROR_SUCCESS)
        return 0;
    return value != 0;
}

void SetDoubleClickOpensLiveData(int on)
{
    HKEY key;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, USER_KEY, 0, NULL, 0, KEY_SET_VALUE, NULL, &key, NULL) != ERROR_SUCCESS)
        return;
    DWORD value = on ? 1 : 0;
    if (on)
        RegSetValueExA(key, DOUBLE_CLICK_VALUE, 0, REG_DWORD, (const BYTE *)&value, sizeof value);
    else
        RegDeleteValueA(key, DOUBLE_CLICK_VALUE);
    RegCloseKey(key);
}

void InstanceListView::OnStartAutomatically()
{
    int decided = -1;
    int row = -1;
    while ((row = (int)SendMessageA(m_Handle, LVM_GETNEXTITEM, row, LVNI_SELECTED)) >= 0) {
        int n = RowInstance(row);
        if (n == 0)
            continue;
        if (decided < 0)
            decided = InstanceTable[n].AutoStart ? 0 : 1;
        InstanceTable[n].AutoStart = decided;
        InstanceTable[n].StartDisabled = 0;   // chosen here: no longer kept Disabled
        SetCellText(row, ColumnAutoStart, decided ? "Yes" : "No");
    }
    SettingsModified = 1;
}

void InstanceListView::ReportSaveFailures(const SaveFailures &failures)
{
    ShowFirewallNotice();
    if (failures.Count == 0)
        return;
    // A save that failed must not look saved.
    SettingsModified = 1;
    char text[512];
    FormatSaveFailures(failures, text, sizeof text);
    ShowMessageBox(m_Frame != NULL && m_Frame->Handle() != NULL && IsWindowVisible(m_Frame->Handle())
                       ? m_Frame->Handle()
                       : NULL,
                   text, SAVE_FAILED_CAPTION, MB_OK | MB_ICONERROR);
}

// The frame of a command that may wait for services to stop (Restart, a
// save that stops deleted instances), and whether the wait has begun.
static HWND WaitingFrame = NULL;
static int FrameDisabledForWait = 0;
static HCURSOR CursorBeforeWait = NULL;

// Keeps the windows painted and the Status column current while a command
// waits for services to stop. From the first call the frame is disabled, so
// no input can start another command in the middle of this one.
static void PumpWhileWaiting()
{
    if (WaitingFrame != NULL && !FrameDisabledForWait) {
        EnableWindow(WaitingFrame, FALSE);
        CursorBeforeWait = SetCursor(LoadCursorA(NULL, (LPCSTR)IDC_WAIT));
        FrameDisabledForWait = 1;
    }
    MsgWaitForMultipleObjects(0, NULL, FALSE, 50, QS_ALLINPUT);
    MSG msg;
    while (PeekMessageA(&msg, NULL, 0, 0, PM_REMOVE)) {
        if (msg.message == WM_QUIT) {
            PostQuitMessage((int)msg.wParam);
            return;
        }
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
}

void InstanceListView::BeginWait()
{
    WaitingFrame = m_Frame->Handle();
    FrameDisabledForWait = 0;
}

void InstanceListView::EndWait()
{
    if (FrameDisabledForWait) {
        SetCursor(CursorBeforeWait);
        EnableWindow(WaitingFrame, TRUE);
        SetFocus(m_Handle);
    }
    WaitingFrame = NULL;
    FrameDisabledForWait = 0;
}

void InstanceListView::SaveAll(SaveFailures *failures)
{
    BeginWait();
    SaveInstances(0, failures, PumpWhileWaiting);
    EndWait();
    ShowFirewallNotice();
}

// Said once per run, after the save that met it: the save itself went on.
void InstanceListView::ShowFirewallNotice()
{
    const char *notice = TakeFirewallNotice();
    if (notice != NULL)
        ShowMessageBox(m_Frame != NULL && m_Frame->Handle() != NULL && IsWindowVisible(m_Frame->Handle())
                           ? m_Frame->Handle()
                           : NULL,
                       notice, FIREWALL_NOTICE_CAPTION, MB_OK | MB_ICONINFORMATION);
}

void InstanceListView::OnServiceCommand(UINT id)
{
    int numbers[MAX_INSTANCES];
    int count = SelectedInstances(numbers, MAX_INSTANCES);
    SaveFailures failures = {0, {0}};
    switch (id) {
    case ID_SERVICE_START:
        StartInstances(numbers, count, &failures);
        break;
    case ID_SERVICE_STOP:
        StopInstances(numbers, count);
        break;
    case ID_SERVICE_PAUSE:
        PauseInstances(numbers, count);
        break;
    case ID_SERVICE_CONTINUE:
        ContinueInstances(numbers, count);
        break;
    case ID_SERVICE_RESTART:
        BeginWait();
        RestartInstances(numbers, count, &failures, PumpWhileWaiting);
        EndWait();
        break;
    }
    ReportSaveFailures(failures);
}

// The greying of the "Instance Document" popup for a single row, by the
// current state of its instance.
static void GreyByState(HMENU popup, DWORD state)
{
    static const UINT stoppedGrey[] = {ID_SERVICE_STOP, ID_SERVICE_RESTART, ID_SERVICE_CONTINUE, ID_SERVICE_PAUSE, 0};
    static const UINT runningGrey[] = {ID_SERVICE_START, ID_SERVICE_CONTINUE, 0};
    static const UINT continuingGrey[] = {ID_SERVICE_START, 0};
    static const UINT pausedGrey[] = {ID_SERVICE_START, ID_SERVICE_PAUSE, 0};
    const UINT *grey = NULL;
    switch (state) {
    case SERVICE_STOPPED:
    case SERVICE_STOP_PENDING:
        grey = stoppedGrey;
        break;
    case SERVICE_START_PENDING:
    case SERVICE_RUNNING:
        grey = runningGrey;
        break;
    case SERVICE_CONTINUE_PENDING:
        grey = continuingGrey;
        break;
    case SERVICE_PAUSE_PENDING:
    case SERVICE_PAUSED:
        grey = pausedGrey;
        break;
    }
    for (int i = 0; grey != NULL && grey[i] != 0; i++)
        EnableMenuItem(popup, grey[i], MF_BYCOMMAND | MF_GRAYED);
}

void InstanceListView::OnContextMenu(int x, int y)
{
    LVHITTESTINFO hit;
    memset(&hit, 0, sizeof hit);
    hit.pt.x = x;
    hit.pt.y = y;
    int row = (int)SendMessageA(m_Handle, LVM_SUBITEMHITTEST, 0, (LPARAM)&hit);
    if (row >= 0 && !(hit.flags & LVHT_ONITEM))
        row = -1;
    if (row >= 0 && !(SendMessageA(m_Handle, LVM_GETITEMSTATE, row, LVIS_SELECTED) & LVIS_SELECTED)) {
        LVITEMA item;
        memset(&item, 0, sizeof item);
        item.stateMask = LVIS_SELECTED;
        item.state = 0;
        SendMessageA(m_Handle, LVM_SETITEMSTATE, (WPARAM)-1, (LPARAM)&item);
        item.stateMask = LVIS_SELECTED | LVIS_FOCUSED;
        item.state = LVIS_SELECTED | LVIS_FOCUSED;
        SendMessageA(m_Handle, LVM_SETITEMSTATE, row, (LPARAM)&item);
    }

    HMENU menus = LoadMenuA(m_Frame->Instance(), MAKEINTRESOURCEA(IDR_INSTANCE_POPUPS));
    if (menus == NULL)
        return;
    HMENU popup = GetSubMenu(menus, row >= 0 ? POPUP_INSTANCE_DOCUMENT : POPUP_INSTANCE_NEW);
    if (row >= 0 && SelectedCount() == 1) {
        int n = RowInstance(row);
        if (n != 0) {
            GreyByState(popup, InstanceTable[n].LastStatus.dwCurrentState);
            if (InstanceTable[n].AutoStart)
                CheckMenuItem(popup, ID_SERVICE_START_AUTO, MF_BYCOMMAND | MF_CHECKED);
        }
    }

    POINT screen = {x, y};
    ClientToScreen(m_Handle, &screen);
    SetForegroundWindow(m_Handle);
    UINT command = (UINT)TrackPopupMenu(popup, TPM_LEFTALIGN | TPM_LEFTBUTTON | TPM_RETURNCMD | TPM_NONOTIFY,
                                        screen.x, screen.y, 0, m_Handle, NULL);
    DestroyMenu(menus);
    PostMessageA(m_Handle, WM_NULL, 0, 0);
    if (command != 0)
        SendMessageA(m_Handle, WM_COMMAND, MAKEWPARAM(command, 0), 0);
}

LRESULT CALLBACK InstanceListView::ListProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    InstanceListView *self = (InstanceListView *)GetPropA(window, LIST_PROPERTY);
    if (self == NULL)
        return DefWindowProcA(window, message, wParam, lParam);
    WNDPROC defaultProc = self->m_DefaultProc;
    switch (message) {
    case WM_TIMER:
        if (wParam == STATUS_TIMER_ID) {
            self->OnStatusTimer();
            return 0;
        }
        break;
    case WM_RBUTTONDOWN:
        // The list view's own right-click handling is suppressed.
        return 0;
    case WM_LBUTTONDBLCLK: {
        LRESULT done = CallWindowProcA(defaultProc, window, message, wParam, lParam);
        LVHITTESTINFO hit;
        memset(&hit, 0, sizeof hit);
        hit.pt.x = (short)LOWORD(lParam);
        hit.pt.y = (short)HIWORD(lParam);
        if (DoubleClickOpensLiveData() && SendMessageA(window, LVM_HITTEST, 0, (LPARAM)&hit) >= 0 &&
            (hit.flags & LVHT_ONITEM) && self->m_Frame != NULL)
            self->m_Frame->RouteCommand(ID_VIEW_LIVE_DATA);
        return done;
    }
    case WM_RBUTTONUP:
        self->OnContextMenu((short)LOWORD(lParam), (short)HIWORD(lParam));
        break;
    case WM_COMMAND:
        // A context-menu choice: routed like any other command, so its
        // enabling rule is checked again.
        if (lParam == 0 && self->m_Frame != NULL) {
            self->m_Frame->RouteCommand(LOWORD(wParam));
            return 0;
        }
        break;
    case WM_DESTROY:
        KillTimer(window, STATUS_TIMER_ID);
        break;
    case WM_NCDESTROY:
        SetWindowLongPtrA(window, GWLP_WNDPROC, (LONG_PTR)defaultProc);
        RemovePropA(window, LIST_PROPERTY);
        self->m_Handle = NULL;
        break;
    }
    return CallWindowProcA(defaultProc, window, message, wParam, lParam);
}
