// The Timeout page: the inactivity alarm's timeout, repetition, weekdays,
// daily window, command and pop-up recipients.
#pragma once

#include "client/instances/InstanceSettings.h"
#include "client/InstanceSheet.h"

class CTimeoutProps : public CPropertyPage {
public:
    explicit CTimeoutProps(InstanceSettings *settings);

protected:
    BOOL OnInitDialog() override;
    BOOL OnCommand(WORD id, WORD code, HWND control) override;
    BOOL OnNotify(NMHDR *header, LRESULT *result) override;

private:
    CInstanceSheet *Props() const;
    void OnTimeoutChoice(WORD id);
    void OnRepeatChoice(WORD id);
    void RestoreRadioChoices();
    void OnEntireDay();
    void OnPickerChange(HWND picker);
    int SetPickerTime(HWND picker, DWORD hour, DWORD minute);

    InstanceSettings *m_Settings;
    WORD m_TimeoutChoice;   // IDC_NEVER_TIMEOUT or IDC_TIMEOUT_AFTER
    WORD m_RepeatChoice;    // IDC_RUN_ONCE or IDC_RUN_EVERY
    HWND m_StartPicker;
    HWND m_EndPicker;
    // A stored time a picker cannot show (24:00 of a window other than the
    // whole day) stays stored until that picker is changed.
    int m_StartUnshown;
    int m_EndUnshown;
    int m_SettingPicker;    // guards against our own picker updates
};

// Whether the stored window is the whole day (0:00 to 24:00), the one window
// the Entire Day box stands for. The service reads only exactly this window
// as the whole day; any other window ending at 24:xx takes its plain test.
int IsWholeDayWindow(const InstanceSettings *settings);
