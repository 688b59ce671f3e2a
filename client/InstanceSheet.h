// What the pages of an instance's properties sheet use of it: the edit
// protocol. The pages know their sheet only as this, so that the sheet
// (CProps) can hold its pages without the pages depending on it.
#pragma once

#include "client/window/PropertySheet.h"

class CInstanceSheet : public CPropertySheet {
public:
    CInstanceSheet(const char *caption, HWND parent) : CPropertySheet(caption, parent) {}

    // Every page calls this after every edit it stores.
    virtual void MarkChanged() = 0;

    // The page initialisation protocol: a page remembers the flags, fills its
    // controls (whose change events call MarkChanged like an edit), then puts
    // them back, so that filling a page never counts as an edit.
    struct Flags {
        int Applied;
        int Pending;
    };
    virtual Flags RememberFlags() const = 0;
    virtual void RestoreFlags(Flags flags) = 0;
};
