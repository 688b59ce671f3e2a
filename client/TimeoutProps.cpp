#include "client/TimeoutProps.h"
#include "client/PageText.h"
#include "client/PropsResource.h"
#include "client/window/PageControls.h"

#include <stdio.h>
#include <string.h>

// The day boxes and their DayOfWeekMask bits (0x40 >> the Windows day
// number); the control identifiers do not follow the days' order.
static const struct {
    WORD Id;
    DWORD Bit;
} DayBoxes[] = {
    {IDC_SUNDAY, 0x40}, {IDC_MONDAY, 0x20}, {IDC_TUESDAY, 0x10}, {IDC_WEDNESDAY, 0x08},
    {IDC_THURSDAY, 0x04}, {IDC_FRIDAY, 0x02}, {IDC_SATURDAY, 0x01},
};

int IsWholeDayWindow(const InstanceSettings *s)
{
    return s->StartHour == WHOLE_DAY_START_HOUR && s->StartMin == WHOLE_DAY_START_MIN &&
           s->EndHour == WHOLE_DAY_END_HOUR && s->EndMin == WHOLE_DAY_END_MIN;
}

CTimeoutProps::CTimeoutProps(InstanceSettings *settings)
    : CPropertyPage(IDD_TIMEOUT_PROPS), m_Settings(settings), m_TimeoutChoice(IDC_NEVER_TIMEOUT),
      m_RepeatChoice(IDC_RUN_ONCE), m_StartPicker(NULL), m_EndPicker(NULL), m_StartUnshown(0), m_EndUnshown(0),
      m_SettingPicker(0)
{
}

CInstanceSheet *CTimeoutProps::Props() const { return static_cast<CInstanceSheet *>(Sheet()); }

// Today's date at hour:minute:00. Returns 0, leaving the picker as it is,
// for a time it cannot take.
int CTimeoutProps::SetPickerTime(HWND picker, DWORD hour, DWORD minute)
{
    if (hour > 23 || minute > 59)
        return 0;
    SYSTEMTIME time;
    GetLocalTime(&time);
    time.wHour = (WORD)hour;
    time.wMinute = (WORD)minute;
    time.wSecond = 0;
    time.wMilliseconds = 0;
    m_SettingPicker++;
    LRESULT set = SendMessageA(picker, DTM_SETSYSTEMTIME, GDT_VALID, (LPARAM)&time);
    m_SettingPicker--;
    return set != 0;
}

// DTN_DATETIMECHANGE: hour and minute stored, the seconds put back to 0.
void CTimeoutProps::OnPickerChange(HWND picker)
{
    SYSTEMTIME time;
    if (SendMessageA(picker, DTM_GETSYSTEMTIME, 0, (LPARAM)&time) != GDT_VALID)
        return;
    if (picker == m_StartPicker) {
        m_Settings->StartHour = time.wHour;
        m_Settings->StartMin = time.wMinute;
        m_StartUnshown = 0;
    } else {
        m_Settings->EndHour = time.wHour;
        m_Settings->EndMin = time.wMinute;
        m_EndUnshown = 0;
    }
    SetPickerTime(picker, time.wHour, time.wMinute);
    Props()->MarkChanged();
}

void CTimeoutProps::OnEntireDay()
{
    if (IsChecked(Handle(), IDC_ENTIRE_DAY)) {
        m_Settings->EndHour = WHOLE_DAY_END_HOUR;
        m_Settings->StartMin = WHOLE_DAY_START_MIN;
        m_Settings->StartHour = WHOLE_DAY_START_HOUR;
        m_Settings->EndMin = WHOLE_DAY_END_MIN;
        SetPickerTime(m_StartPicker, 0, 0);
        SetPickerTime(m_EndPicker, 0, 0);
        m_StartUnshown = m_EndUnshown = 0;
        EnableWindow(m_StartPicker, FALSE);
        EnableWindow(m_EndPicker, FALSE);
    } else {
        // The pickers show 00:00:00 after a whole day: the window becomes
        // 00:00 to 00:00 until times are set.
        OnPickerChange(m_StartPicker);
        OnPickerChange(m_EndPicker);
        EnableWindow(m_StartPicker, TRUE);
        EnableWindow(m_EndPicker, TRUE);
    }
    Props()->MarkChanged();
}

// The two pairs are separate choices: whatever the dialog manager does with
// the buttons' groups, each pair shows the choice the page keeps for it.
void CTimeoutProps::RestoreRadioChoices()
{
    CheckRadioButton(Handle(), IDC_NEVER_TIMEOUT, IDC_TIMEOUT_AFTER, m_TimeoutChoice);
    CheckRadioButton(Handle(), IDC_RUN_ONCE, IDC_RUN_EVERY, m_RepeatChoice);
}

static DWORD ReadSeconds(HWND page, int id, int isSigned)
{
    char text[32];
    GetDlgItemTextA(page, id, text, sizeof text);
    DWORD value;
    ParseDecimal(text, isSigned, &value);   // 0 when empty or out of range
    return value;
}

void CTimeoutProps::OnTimeoutChoice(WORD id)
{
    m_TimeoutChoice = id;
    RestoreRadioChoices();
    int after = id == IDC_TIMEOUT_AFTER;
    EnableWindow(GetDlgItem(Handle(), IDC_TIMEOUT_SECONDS), after);
    m_Settings->Timeout = after ? ReadSeconds(Handle(), IDC_TIMEOUT_SECONDS, 0) : 0;
    Props()->MarkChanged();
}

void CTimeoutProps::OnRepeatChoice(WORD id)
{
    m_RepeatChoice = id;
    RestoreRadioChoices();
    int every = id == IDC_RUN_EVERY;
    EnableWindow(GetDlgItem(Handle(), IDC_INTERVAL_SECONDS), every);
    m_Settings->WarningInterval = every ? ReadSeconds(Handle(), IDC_INTERVAL_SECONDS, 0) : 0;
    Props()->MarkChanged();
}

BOOL CTimeoutProps::OnInitDialog()
{
    HWND page = Handle();
    m_StartPicker = GetDlgItem(page, IDC_START_TIME);
    m_EndPicker = GetDlgItem(page, IDC_END_TIME);
    CInstanceSheet::Flags flags = Props()->RememberFlags();

    // 1. The pickers. One that cannot take the stored time (an hour of 24 in
    //    a window other than the whole day) shows midnight, and the stored
    //    time is kept rather than replaced by whatever the picker showed.
    m_StartUnshown = !SetPickerTime(m_StartPicker, m_Settings->StartHour, m_Settings->StartMin);
    m_EndUnshown = !SetPickerTime(m_EndPicker, m_Settings->EndHour, m_Settings->EndMin);
    if (m_StartUnshown)
        SetPickerTime(m_StartPicker, 0, 0);
    if (m_EndUnshown)
        SetPickerTime(m_EndPicker, 0, 0);
    // 2. The whole day is the Entire Day box, as if clicked.
    if (IsWholeDayWindow(m_Settings)) {
        SetChecked(page, IDC_ENTIRE_DAY, 1);
        OnEntireDay();
    }
    // 3. Otherwise the pickers are read back as a change of each does.
    if (!IsChecked(page, IDC_ENTIRE_DAY)) {
        int startUnshown = m_StartUnshown, endUnshown = m_EndUnshown;
        InstanceSettings kept = *m_Settings;
        OnPickerChange(m_StartPicker);
        OnPickerChange(m_EndPicker);
        if (startUnshown) {
            m_Settings->StartHour = kept.StartHour;
            m_Settings->StartMin = kept.StartMin;
            m_StartUnshown = 1;
        }
        if (endUnshown) {
            m_Settings->EndHour = kept.EndHour;
            m_Settings->EndMin = kept.EndMin;
            m_EndUnshown = 1;
        }
    }
    // 4. The days.
    for (size_t i = 0; i < sizeof DayBoxes / sizeof DayBoxes[0]; i++)
        SetChecked(page, DayBoxes[i].Id, (m_Settings->DayOfWeekMask & DayBoxes[i].Bit) != 0);
    // 5. The numbers; their change events store them.
    DWORD timeout = m_Settings->Timeout, interval = m_Settings->WarningInterval;
    char number[16];
    snprintf(number, sizeof number, "%lu", (unsigned long)timeout);
    SetDlgItemTextA(page, IDC_TIMEOUT_SECONDS, number);
    snprintf(number, sizeof number, "%lu", (unsigned long)interval);
    SetDlgItemTextA(page, IDC_INTERVAL_SECONDS, number);
    // 6, 7. The radio pairs, as if clicked.
    OnTimeoutChoice(timeout != 0 ? IDC_TIMEOUT_AFTER : IDC_NEVER_TIMEOUT);
    OnRepeatChoice(interval != 0 ? IDC_RUN_EVERY : IDC_RUN_ONCE);
    // 8. The texts.
    SetDlgItemTextA(page, IDC_TIMEOUT_CMD, m_Settings->CustomTimeoutCmd);
    SetDlgItemTextA(page, IDC_NET_SEND_USERS, m_Settings->NetSendUsers);
    SendDlgItemMessageA(page, IDC_ALARM_MAIL_TO, EM_LIMITTEXT, sizeof m_Settings->AlarmMailTo - 1, 0);
    SetDlgItemTextA(page, IDC_ALARM_MAIL_TO, m_Settings->AlarmMailTo);

    Props()->RestoreFlags(flags);
    return TRUE;
}

BOOL CTimeoutProps::OnCommand(WORD id, WORD code, HWND)
{
    HWND page = Handle();
    switch (id) {
    case IDC_NEVER_TIMEOUT:
    case IDC_TIMEOUT_AFTER:
        if (code != BN_CLICKED)
            return FALSE;
        OnTimeoutChoice(id);
        return TRUE;
    case IDC_RUN_ONCE:
    case IDC_RUN_EVERY:
        if (code != BN_CLICKED)
            return FALSE;
        OnRepeatChoice(id);
        return TRUE;
    case IDC_TIMEOUT_SECONDS:
        if (code != EN_CHANGE)
            return FALSE;
        m_Settings->Timeout = ReadSeconds(page, IDC_TIMEOUT_SECONDS, 1);
        Props()->MarkChanged();
        return TRUE;
    case IDC_INTERVAL_SECONDS:
        if (code != EN_CHANGE)
            return FALSE;
        m_Settings->WarningInterval = ReadSeconds(page, IDC_INTERVAL_SECONDS, 1);
        Props()->MarkChanged();
        return TRUE;
    case IDC_ENTIRE_DAY:
        if (code != BN_CLICKED)
            return FALSE;
        OnEntireDay();
        return TRUE;
    case IDC_TIMEOUT_CMD:
        if (code != EN_CHANGE)
            return FALSE;
        GetDlgItemTextA(page, id, m_Settings->CustomTimeoutCmd, sizeof m_Settings->CustomTimeoutCmd);
        Props()->MarkChanged();
        return TRUE;
    case IDC_NET_SEND_USERS:
        if (code != EN_CHANGE)
            return FALSE;
        GetDlgItemTextA(page, id, m_Settings->NetSendUsers, sizeof m_Settings->NetSendUsers);
        Props()->MarkChanged();
        return TRUE;
    case IDC_ALARM_MAIL_TO:
        if (code != EN_CHANGE)
            return FALSE;
        GetDlgItemTextA(page, id, m_Settings->AlarmMailTo, sizeof m_Settings->AlarmMailTo);
        Props()->MarkChanged();
        return TRUE;
    }
    for (size_t i = 0; i < sizeof DayBoxes / sizeof DayBoxes[0]; i++) {
        if (DayBoxes[i].Id != id)
            continue;
        if (code != BN_CLICKED)
            return FALSE;
        if (IsChecked(page, id))
            m_Settings->DayOfWeekMask |= DayBoxes[i].Bit;
        else
            m_Settings->DayOfWeekMask &= ~DayBoxes[i].Bit;
        Props()->MarkChanged();
        return TRUE;
    }
    return FALSE;
}

BOOL CTimeoutProps::OnNotify(NMHDR *header, LRESULT *result)
{
    if (header->code != DTN_DATETIMECHANGE || m_SettingPicker)
        return FALSE;
    if (header->hwndFrom != m_StartPicker && header->hwndFrom != m_EndPicker)
        return FALSE;
    OnPickerChange(header->hwndFrom);
    *result = 0;
    return TRUE;
}
