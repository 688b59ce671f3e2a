#include "client/Props.h"

#include <string.h>

CProps::CProps(const char *caption, int instance, HWND parent)
    : CInstanceSheet(caption, parent), Instance(instance), ChangesPending(0), ChangesApplied(0),
      m_General(&WorkingSettings), m_Timeout(&WorkingSettings), m_Email(&WorkingSettings),
      m_Forward(&WorkingSettings)
{
    if (IsInstanceNumber(instance))
        WorkingSettings = InstanceTable[instance];
    else
        memset(&WorkingSettings, 0, sizeof WorkingSettings);
    AddPage(&m_General);
    AddPage(&m_Timeout);
    AddPage(&m_Email);
    AddPage(&m_Forward);
    SetStartPage(0);
}

int CProps::Show()
{
    if (!IsInstanceNumber(Instance))
        return 0;
    DoModal();
    return ChangesApplied;
}

void CProps::EnableApply(int enabled)
{
    if (Handle() == NULL)
        return;
    HWND apply = GetDlgItem(Handle(), ID_APPLY_NOW);
    // A disabled button that keeps the focus would swallow the keyboard.
    if (!enabled && GetFocus() == apply)
        SendMessageA(Handle(), WM_NEXTDLGCTL, (WPARAM)GetDlgItem(Handle(), IDOK), TRUE);
    EnableWindow(apply, enabled ? TRUE : FALSE);
}

void CProps::MarkChanged()
{
    ChangesPending = 1;
    EnableApply(1);
}

void CProps::ApplyChanges()
{
    ChangesPending = 0;
    ChangesApplied = 1;
    InstanceTable[Instance] = WorkingSettings;
    EnableApply(0);
}

CProps::Flags CProps::RememberFlags() const
{
    Flags flags = {ChangesApplied, ChangesPending};
    return flags;
}

void CProps::RestoreFlags(Flags flags)
{
    ChangesApplied = flags.Applied;
    ChangesPending = flags.Pending;
    EnableApply(flags.Pending);
}

BOOL CProps::OnCommand(WORD id, WORD code, HWND)
{
    if (code != BN_CLICKED)
        return FALSE;
    switch (id) {
    case ID_APPLY_NOW:
        // Nothing is left for the pages to apply: every edit is already in
        // WorkingSettings. Consumed, so the sheet keeps no state of its own.
        ApplyChanges();
        return TRUE;
    case IDOK:
        if (ChangesPending)
            ApplyChanges();
        return FALSE;   // the sheet closes as usual
    default:
        return FALSE;   // Cancel and the close box: the sheet closes, nothing copied
    }
}
