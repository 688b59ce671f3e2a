#include "client/GeneralProps.h"
#include "client/PageText.h"
#include "client/PropsResource.h"
#include "client/window/PageControls.h"

#include <shellapi.h>
#include <stdio.h>
#include <string.h>

// The report check boxes and the VerboseLevel bit each one owns.
static const struct {
    WORD Id;
    DWORD Bit;
} ReportBoxes[] = {
    {IDC_REPORT_START_STOP, VERBOSE_START_STOP},
    {IDC_REPORT_CONFIGURATION, VERBOSE_CONFIGURATION},
    {IDC_REPORT_TIMEOUTS, VERBOSE_TIMEOUTS},
    {IDC_REPORT_MAIL, VERBOSE_MAIL},
};

#define PREVIEW_SIZE 128

CGeneralProps::CGeneralProps(InstanceSettings *settings)
    : CPropertyPage(IDD_GENERAL_PROPS), m_Settings(settings), m_ShowingSource(FALSE)
{
}

CInstanceSheet *CGeneralProps::Props() const { return static_cast<CInstanceSheet *>(Sheet()); }

void CGeneralProps::UpdateNamePreview()
{
    char preview[PREVIEW_SIZE];
    FormatNamePreview(m_Settings->LogFilename, m_Settings->LogRotation, preview, sizeof preview);
    SetDlgItemTextA(Handle(), IDC_NAME_PREVIEW, preview);
}

BOOL CGeneralProps::OnInitDialog()
{
    HWND page = Handle();
    FillListsFromTemplate(page, IDD_GENERAL_PROPS);
    CInstanceSheet::Flags flags = Props()->RememberFlags();

    SetDlgItemTextA(page, IDC_LOG_FILENAME, m_Settings->LogFilename);
    UpdateNamePreview();
    for (size_t i = 0; i < sizeof ReportBoxes / sizeof ReportBoxes[0]; i++)
        SetChecked(page, ReportBoxes[i].Id, (m_Settings->VerboseLevel & ReportBoxes[i].Bit) != 0);
    SetChecked(page, IDC_AUTO_START, m_Settings->AutoStart != 0);
    SetDlgItemTextA(page, IDC_PORT_NAME, m_Settings->PortName);
    char number[16];
    snprintf(number, sizeof number, "%lu", (unsigned long)m_Settings->BaudRate);
    SetDlgItemTextA(page, IDC_BAUD_RATE, number);
    // A code outside a list selects nothing.
    SendDlgItemMessageA(page, IDC_BYTE_SIZE, CB_SETCURSEL, (WPARAM)(int)(m_Settings->ByteSize - 4), 0);
    SendDlgItemMessageA(page, IDC_PARITY, CB_SETCURSEL, (WPARAM)(int)m_Settings->Parity, 0);
    SendDlgItemMessageA(page, IDC_STOP_BITS, CB_SETCURSEL, (WPARAM)(int)m_Settings->StopBits, 0);
    SendDlgItemMessageA(page, IDC_TIMESTAMP, CB_SETCURSEL, (WPARAM)(int)m_Settings->TimestampFormat, 0);
    SendDlgItemMessageA(page, IDC_LOG_ROTATION, CB_SETCURSEL, (WPARAM)(int)m_Settings->LogRotation, 0);
    // An unusable stored code selects nothing and stays stored until a choice.
    SendDlgItemMessageA(page, IDC_FLOW_CONTROL, CB_SETCURSEL, (WPARAM)(int)m_Settings->FlowControl, 0);
    ShowSource();

    Props()->RestoreFlags(flags);
    return TRUE;
}

// The editable combo boxes store on four events. A typed text or a chosen
// item is an edit; the list closing or the box losing focus only stores what
// the box holds, and counts as an edit only when that changed the value, so
// tabbing through or leaving the page does not enable Apply.
static int IsComboEdit(WORD code) { return code == CBN_EDITCHANGE || code == CBN_SELCHANGE; }
static int IsComboStore(WORD code) { return IsComboEdit(code) || code == CBN_CLOSEUP || code == CBN_KILLFOCUS; }

void CGeneralProps::StorePortName(HWND combo, WORD code)
{
    char text[PORT_NAME_SIZE];
    ReadComboText(combo, code, text, sizeof text);   // at most 7 characters
    int changed = strcmp(text, m_Settings->PortName) != 0;
    COPY_SETTING(m_Settings->PortName, text);
    if (changed || IsComboEdit(code))
        Props()->MarkChanged();
}

void CGeneralProps::StoreBaudRate(HWND combo, WORD code)
{
    char text[64];
    ReadComboText(combo, code, text, sizeof text);
    DWORD rate;
    ParseDecimal(text, 1, &rate);   // 0 when it is not a number
    int changed = rate != m_Settings->BaudRate;
    m_Settings->BaudRate = rate;
    if (changed || IsComboEdit(code))
        Props()->MarkChanged();
}

void CGeneralProps::StoreSelection(WORD id)
{
    LRESULT index = SendDlgItemMessageA(Handle(), id, CB_GETCURSEL, 0, 0);
    if (index == CB_ERR)
        return;
    DWORD value = (DWORD)index;
    switch (id) {
    case IDC_BYTE_SIZE:    m_Settings->ByteSize = value + 4; break;
    case IDC_PARITY:       m_Settings->Parity = value; break;
    case IDC_STOP_BITS:    m_Settings->StopBits = value; break;
    case IDC_TIMESTAMP:    m_Settings->TimestampFormat = value; break;
    case IDC_LOG_ROTATION: m_Settings->LogRotation = value; break;
    case IDC_FLOW_CONTROL: m_Settings->FlowControl = value; break;
    default: return;
    }
    if (id == IDC_LOG_ROTATION)
        UpdateNamePreview();
    Props()->MarkChanged();
}

void CGeneralProps::StoreReportBit(WORD id)
{
    for (size_t i = 0; i < sizeof ReportBoxes / sizeof ReportBoxes[0]; i++) {
        if (ReportBoxes[i].Id != id)
            continue;
        if (IsChecked(Handle(), id))
            m_Settings->VerboseLevel |= ReportBoxes[i].Bit;
        else
            m_Settings->VerboseLevel &= ~ReportBoxes[i].Bit;
        Props()->MarkChanged();
    }
}

// The source's kind, host and port from Source. A stored Source that is not
// valid selects no kind and stays stored until the source is edited.
void CGeneralProps::ShowSource()
{
    HWND page = Handle();
    m_ShowingSource = TRUE;
    SourceAddress address;
    char port[8] = "";
    if (!ParseSource(m_Settings->Network.Source, &address, NULL, 0)) {
        SendDlgItemMessageA(page, IDC_SOURCE_KIND, CB_SETCURSEL, (WPARAM)-1, 0);
        address.Host[0] = '\0';
    } else {
        SendDlgItemMessageA(page, IDC_SOURCE_KIND, CB_SETCURSEL, (WPARAM)address.Kind, 0);
        if (address.Kind != SourceSerialPort)
            snprintf(port, sizeof port, "%u", address.Port);
    }
    SetDlgItemTextA(page, IDC_SOURCE_HOST, address.Host);
    SetDlgItemTextA(page, IDC_SOURCE_PORT, port);
    SetDlgItemTextA(page, IDC_ALLOWED_SENDERS, m_Settings->Network.AllowedSenders);
    m_ShowingSource = FALSE;
    EnableSourceFields();
    ShowSourceProblem();
}

// Source from the kind, host and port as they stand: the page stores what
// it shows, and says below the fields what the service would refuse.
void CGeneralProps::StoreSource()
{
    HWND page = Handle();
    LRESULT kind = SendDlgItemMessageA(page, IDC_SOURCE_KIND, CB_GETCURSEL, 0, 0);
    if (m_ShowingSource || kind == CB_ERR)
        return;
    SourceAddress address;
    memset(&address, 0, sizeof address);
    address.Kind = (SourceKind)kind;
    char host[SOURCE_HOST_SIZE + 2], port[16];
    GetDlgItemTextA(page, IDC_SOURCE_HOST, host, sizeof host);
    GetDlgItemTextA(page, IDC_SOURCE_PORT, port, sizeof port);
    // An IPv6 address typed with its brackets is taken without them.
    const char *start = host;
    size_t length = strlen(host);
    if (length >= 2 && host[0] == '[' && host[length - 1] == ']') {
        start++;
        length -= 2;
    }
    snprintf(address.Host, sizeof address.Host, "%.*s", (int)length, start);
    DWORD number;
    address.Port = ParseDecimal(port, 0, &number) && number <= 65535 ? (WORD)number : 0;
    if (address.Kind == SourceSerialPort || !FormatSource(&address, m_Settings->Network.Source,
                                                          sizeof m_Settings->Network.Source))
        m_Settings->Network.Source[0] = '\0';
    Props()->MarkChanged();
    EnableSourceFields();
    ShowSourceProblem();
}

// The serial port's name applies to the serial port only, its settings also
// to a device server's port; host and port to the network, allowed senders
// to what listens.
void CGeneralProps::EnableSourceFields()
{
    HWND page = Handle();
    LRESULT kind = SendDlgItemMessageA(page, IDC_SOURCE_KIND, CB_GETCURSEL, 0, 0);
    BOOL known = kind != CB_ERR;
    BOOL serial = !known || kind == SourceSerialPort;
    BOOL portSettings = serial || kind == SourceRfc2217;
    BOOL listens = !known || kind == SourceTcpServer || kind == SourceUdp;
    static const WORD PortSettings[] = {IDC_BAUD_RATE, IDC_BYTE_SIZE, IDC_PARITY, IDC_STOP_BITS, IDC_FLOW_CONTROL};
    EnableWindow(GetDlgItem(page, IDC_PORT_NAME), serial);
    for (size_t i = 0; i < sizeof PortSettings / sizeof PortSettings[0]; i++)
        EnableWindow(GetDlgItem(page, PortSettings[i]), portSettings);
    EnableWindow(GetDlgItem(page, IDC_SOURCE_HOST), !serial || !known);
    EnableWindow(GetDlgItem(page, IDC_SOURCE_PORT), !serial || !known);
    EnableWindow(GetDlgItem(page, IDC_ALLOWED_SENDERS), listens);
}

void CGeneralProps::ShowSourceProblem()
{
    char reason[160], text[200] = "";
    if (!ParseSource(m_Settings->Network.Source, NULL, reason, sizeof reason))
        snprintf(text, sizeof text, "Not a valid source: %s", reason);
    else if (!ParseAllowedSenders(m_Settings->Network.AllowedSenders, NULL, reason, sizeof reason))
        snprintf(text, sizeof text, "Allowed senders not valid: %s", reason);
    SetDlgItemTextA(Handle(), IDC_SOURCE_PROBLEM, text);
}

BOOL CGeneralProps::OnCommand(WORD id, WORD code, HWND control)
{
    switch (id) {
    case IDC_SOURCE_KIND:
        if (code != CBN_SELCHANGE)
            return FALSE;
        StoreSource();
        return TRUE;
    case IDC_SOURCE_HOST:
    case IDC_SOURCE_PORT:
        if (code != EN_CHANGE)
            return FALSE;
        StoreSource();
        return TRUE;
    case IDC_ALLOWED_SENDERS:
        if (code != EN_CHANGE || m_ShowingSource)
            return FALSE;
        GetDlgItemTextA(Handle(), IDC_ALLOWED_SENDERS, m_Settings->Network.AllowedSenders,
                        sizeof m_Settings->Network.AllowedSenders);
        Props()->MarkChanged();
        ShowSourceProblem();
        return TRUE;
    case IDC_PORT_NAME:
        if (!IsComboStore(code))
            return FALSE;
        StorePortName(control, code);
        return TRUE;
    case IDC_BAUD_RATE:
        if (!IsComboStore(code))
            return FALSE;
        StoreBaudRate(control, code);
        return TRUE;
    case IDC_BYTE_SIZE:
    case IDC_PARITY:
    case IDC_STOP_BITS:
    case IDC_TIMESTAMP:
    case IDC_LOG_ROTATION:
    case IDC_FLOW_CONTROL:
        if (code != CBN_SELCHANGE)
            return FALSE;
        StoreSelection(id);
        return TRUE;
    case IDC_LOG_FILENAME:
        if (code != EN_CHANGE)
            return FALSE;
        GetDlgItemTextA(Handle(), IDC_LOG_FILENAME, m_Settings->LogFilename, sizeof m_Settings->LogFilename);
        Props()->MarkChanged();
        UpdateNamePreview();
        return TRUE;
    case IDC_OPEN_LOG:
        if (code != BN_CLICKED)
            return FALSE;
        // The configured name as it is, without a rotation stamp; whatever the
        // shell does with it is not reported.
        ShellExecuteA(GetDesktopWindow(), "open", m_Settings->LogFilename, NULL, NULL, SW_SHOW);
        return TRUE;
    case IDC_REPORT_START_STOP:
    case IDC_REPORT_CONFIGURATION:
    case IDC_REPORT_TIMEOUTS:
    case IDC_REPORT_MAIL:
        if (code != BN_CLICKED)
            return FALSE;
        StoreReportBit(id);
        return TRUE;
    case IDC_AUTO_START:
        if (code != BN_CLICKED)
            return FALSE;
        m_Settings->AutoStart = IsChecked(Handle(), IDC_AUTO_START) ? 1 : 0;
        m_Settings->StartDisabled = 0;   // chosen here: no longer kept Disabled
        Props()->MarkChanged();
        return TRUE;
    }
    return FALSE;
}
