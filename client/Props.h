// The properties sheet of one instance: General, Timeout and E-mail pages
// editing one private copy of the instance's record, copied back into
// InstanceTable by OK and Apply.
#pragma once

#include "EmailProps.h"
#include "GeneralProps.h"
#include "InstanceSettings.h"
#include "PropertySheet.h"
#include "TimeoutProps.h"

class CProps : public CPropertySheet {
public:
    // caption as the list formats it ("Properties for Instance %d").
    CProps(const char *caption, int instance, HWND parent);

    // Runs the sheet modally. The result is ChangesApplied however the sheet
    // was closed: 1 when an Apply copied the working record into
    // InstanceTable while it was open, else 0.
    int Show();

    // Every page calls this after every edit it stores.
    void MarkChanged();
    // Apply: copies WorkingSettings whole over the instance's record.
    void ApplyChanges();

    // The page initialisation protocol: a page remembers the flags, fills its
    // controls (whose change events call MarkChanged like an edit), then puts
    // them back, so that filling a page never counts as an edit.
    struct Flags {
        int Applied;
        int Pending;
    };
    Flags RememberFlags() const;
    void RestoreFlags(Flags flags);

    int Instance;
    int ChangesPending;
    int ChangesApplied;
    InstanceSettings WorkingSettings;

protected:
    BOOL OnCommand(WORD id, WORD code, HWND control) override;

private:
    void EnableApply(int enabled);

    CGeneralProps m_General;
    CTimeoutProps m_Timeout;
    CEmailProps m_Email;
};
