// The properties sheet of one instance: General, Timeout, E-mail and
// Forwarding pages
// editing one private copy of the instance's record, copied back into
// InstanceTable by OK and Apply.
#pragma once

#include "client/EmailProps.h"
#include "client/ForwardProps.h"
#include "client/GeneralProps.h"
#include "client/instances/InstanceSettings.h"
#include "client/InstanceSheet.h"
#include "client/TimeoutProps.h"

class CProps : public CInstanceSheet {
public:
    // caption as the list formats it ("Properties for Instance %d").
    CProps(const char *caption, int instance, HWND parent);

    // Runs the sheet modally. The result is ChangesApplied however the sheet
    // was closed: 1 when an Apply copied the working record into
    // InstanceTable while it was open, else 0.
    int Show();

    void MarkChanged() override;
    Flags RememberFlags() const override;
    void RestoreFlags(Flags flags) override;
    // Apply: copies WorkingSettings whole over the instance's record.
    void ApplyChanges();

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
    CForwardProps m_Forward;
};
