// The General page: serial-port settings (flow control among them), log
// file and rotation with the rotated name's preview, event-log report
// switches, automatic start; and the source: the serial port or a device on
// the network (Source, AllowedSenders), built from its kind, host and port.
#pragma once

#include "client/instances/InstanceSettings.h"
#include "client/InstanceSheet.h"

class CGeneralProps : public CPropertyPage {
public:
    explicit CGeneralProps(InstanceSettings *settings);

    // Shows in 1018 what a rotated log file's name looks like: the stamp
    // pattern of LogRotation before the first dot of the file name part.
    void UpdateNamePreview();

protected:
    BOOL OnInitDialog() override;
    BOOL OnCommand(WORD id, WORD code, HWND control) override;

private:
    CInstanceSheet *Props() const;
    void StorePortName(HWND combo, WORD code);
    void StoreBaudRate(HWND combo, WORD code);
    void StoreSelection(WORD id);
    void StoreReportBit(WORD id);
    void ShowSource();
    void StoreSource();
    void EnableSourceFields();
    void ShowSourceProblem();

    InstanceSettings *m_Settings;
    BOOL m_ShowingSource;   // the source's fields are being filled, not edited
};
