// The instance list: a report-mode list view filling the frame, one row per
// instance in increasing instance number. It holds no data of its own: a
// row's Instance text is the link to its record in InstanceTable.
#pragma once

#include <windows.h>

#include "client/instances/InstanceSettings.h"
#include "client/instances/InstanceStatus.h"
#include "client/window/CommandTarget.h"

class CFrameWindow;

#define STATUS_TIMER_ID     0xBEEF
#define STATUS_TIMER_PERIOD 500
#define INSTANCE_TEXT_SIZE  16   // a row's Instance text is read back with at most 15 characters

// The columns: the first five always, at these positions; the others only
// while they have something to show, after them (ColumnPosition).
enum InstanceColumn {
    ColumnInstance = 0,
    ColumnPort     = 1,
    ColumnStatus   = 2,
    ColumnAutoStart = 3,
    ColumnLogFile  = 4,
    ColumnMailQueue = 5,   // only while some instance retries its mail
    ColumnLastData = 6,    // these three only while some instance publishes its status,
    ColumnToday    = 7,    // shown right after Status
    ColumnAlarm    = 8
};
#define CELL_TEXT_SIZE 24   // the texts of the live cells

// The user's choice of View > Double-Click Opens Live Data (off unless set).
int DoubleClickOpensLiveData();
void SetDoubleClickOpensLiveData(int on);

class InstanceListView : public CCommandTarget {
public:
    InstanceListView();

    // Creates the list in the frame, loads the instances (first run when
    // there are none and the load failed nowhere) and starts StatusTimer.
    // Returns 0 on failure.
    int Create(CFrameWindow *frame, UINT id);
    HWND Handle() const { return m_Handle; }

    virtual int QueryCommand(UINT id, CommandState *state);
    virtual void RunCommand(UINT id);

    // Rows.
    int RowCount() const;
    int RowInstance(int row) const;       // 0 when the row has no number
    int SelectedCount() const;
    // Instance numbers of the selected rows from the top; returns the count.
    int SelectedInstances(int *numbers, int capacity) const;
    void InsertInstanceRow(int n);        // placed below row N-1, else at the top
    void InsertRowAt(int row, int n);     // all its cells from the record
    void RefreshRow(int row);             // Port, Auto Start, Log File from the record
    int FindInstanceRow(int n) const;     // -1 when N has no row

    void OnStatusTimer();

    // Save Settings: every slot, the windows kept painted while deleted
    // instances are stopped.
    void SaveAll(struct SaveFailures *failures);

private:
    void OnNew();
    void OnDuplicate();
    void OnDelete();
    void OnSelectAll();
    void OnProperties();
    void OnStartAutomatically();
    void OnLiveData();
    void OnServiceCommand(UINT id);
    void OnContextMenu(int x, int y);
    void SetCellText(int row, int column, const char *text);
    void InsertColumn(int column);
    int ColumnPosition(int column) const;
    void UpdateCell(int n, int column, char *shown, const char *text);
    void UpdateLiveCells(int n);
    void UpdateDataFlowCells(int n, ULONGLONG now);
    void UpdateMailQueueColumn();
    void ShowDataFlowColumns();
    void SetColumnOrder();
    void ReadLiveStatuses();
    void ReportSaveFailures(const struct SaveFailures &failures);
    // The firewall's notice (FirewallRule.h), once per run.
    void ShowFirewallNotice();
    void BeginWait();
    void EndWait();

    static LRESULT CALLBACK ListProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

    HWND m_Handle;
    CFrameWindow *m_Frame;
    WNDPROC m_DefaultProc;
    int m_Dpi;
    int m_MailQueueShown;
    int m_DataFlowShown;
    // The texts each instance's row shows in the cells that follow the
    // services, by instance number, and the status each publishes.
    char m_ShownStatus[MAX_INSTANCES + 1][CELL_TEXT_SIZE];
    char m_ShownQueue[MAX_INSTANCES + 1][CELL_TEXT_SIZE];
    char m_ShownLastData[MAX_INSTANCES + 1][CELL_TEXT_SIZE];
    char m_ShownToday[MAX_INSTANCES + 1][CELL_TEXT_SIZE];
    char m_ShownAlarm[MAX_INSTANCES + 1][CELL_TEXT_SIZE];
    InstanceLiveStatus m_Live[MAX_INSTANCES + 1];
};
