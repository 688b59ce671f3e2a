#include "client/ForwardProps.h"
#include "client/PropsResource.h"
#include "client/window/PageControls.h"

#include <stdio.h>
#include <string.h>

void SplitForwardTo(const char *stored, char *scheme, size_t schemeSize, char *collector, size_t collectorSize)
{
    const char *separator = strstr(stored, "://");
    size_t length = separator != NULL ? (size_t)(separator - stored) : 0;
    if (separator == NULL || length >= schemeSize) {
        scheme[0] = '\0';
        snprintf(collector, collectorSize, "%s", stored);
        return;
    }
    memcpy(scheme, stored, length);
    scheme[length] = '\0';
    snprintf(collector, collectorSize, "%s", separator + 3);
}

void JoinForwardTo(const char *scheme, const char *collector, char *stored, size_t size)
{
    if (collector[0] == '\0')
        stored[0] = '\0';
    else if (scheme[0] == '\0')
        snprintf(stored, size, "%s", collector);
    else
        snprintf(stored, size, "%s://%s", scheme, collector);
}

CForwardProps::CForwardProps(InstanceSettings *settings)
    : CPropertyPage(IDD_FORWARD_PROPS), m_Settings(settings)
{
    m_Scheme[0] = m_Collector[0] = '\0';
}

CInstanceSheet *CForwardProps::Props() const { return static_cast<CInstanceSheet *>(Sheet()); }

BOOL CForwardProps::OnInitDialog()
{
    HWND page = Handle();
    FillListsFromTemplate(page, IDD_FORWARD_PROPS);
    const ForwardSettings &f = m_Settings->Forward;
    SplitForwardTo(f.ForwardTo, m_Scheme, sizeof m_Scheme, m_Collector, sizeof m_Collector);
    if (m_Scheme[0] == '\0' && m_Collector[0] == '\0')
        snprintf(m_Scheme, sizeof m_Scheme, "%s", ForwardSchemes[ForwardTcp]);
    // The list holds the transports in the order of their codes, from TCP.
    int transport = -1;
    for (int t = ForwardTcp; t < FORWARD_TRANSPORT_COUNT; t++)
        if (_stricmp(m_Scheme, ForwardSchemes[t]) == 0)
            transport = t - ForwardTcp;
    SendDlgItemMessageA(page, IDC_FORWARD_COLLECTOR, EM_LIMITTEXT, FORWARD_TO_SIZE - 8, 0);
    SendDlgItemMessageA(page, IDC_FORWARD_TRUSTED_CA, EM_LIMITTEXT, FORWARD_TRUSTED_CA_SIZE - 1, 0);
    SendDlgItemMessageA(page, IDC_FORWARD_CERTIFICATE, EM_LIMITTEXT, FORWARD_CERTIFICATE_SIZE - 1, 0);
    CInstanceSheet::Flags flags = Props()->RememberFlags();
    SetDlgItemTextA(page, IDC_FORWARD_COLLECTOR, m_Collector);
    SendDlgItemMessageA(page, IDC_FORWARD_TRANSPORT, CB_SETCURSEL, (WPARAM)transport, 0);
    DWORD facility = ForwardFacilityOf(&f) - FORWARD_FACILITY_LOWEST;
    SendDlgItemMessageA(page, IDC_FORWARD_FACILITY, CB_SETCURSEL, (WPARAM)facility, 0);
    SetDlgItemTextA(page, IDC_FORWARD_TRUSTED_CA, f.ForwardTrustedCa);
    SetDlgItemTextA(page, IDC_FORWARD_CERTIFICATE, f.ForwardCertificate);
    Props()->RestoreFlags(flags);
    return TRUE;
}

void CForwardProps::StoreForwardTo()
{
    JoinForwardTo(m_Scheme, m_Collector, m_Settings->Forward.ForwardTo, sizeof m_Settings->Forward.ForwardTo);
    Props()->MarkChanged();
}

void CForwardProps::OnChangeText(int id, char *member, int size)
{
    GetDlgItemTextA(Handle(), id, member, size);
    Props()->MarkChanged();
}

void CForwardProps::OnBrowseCa()
{
    BrowseForTrustedCa(Handle(), IDC_FORWARD_TRUSTED_CA, FORWARD_TRUSTED_CA_SIZE);
}

BOOL CForwardProps::OnCommand(WORD id, WORD code, HWND)
{
    ForwardSettings &f = m_Settings->Forward;
    switch (id) {
    case IDC_FORWARD_COLLECTOR:
        if (code != EN_CHANGE)
            return FALSE;
        GetDlgItemTextA(Handle(), id, m_Collector, sizeof m_Collector);
        StoreForwardTo();
        return TRUE;
    case IDC_FORWARD_TRANSPORT: {
        if (code != CBN_SELCHANGE)
            return FALSE;
        // No choice keeps a scheme this program does not know.
        LRESULT choice = SendDlgItemMessageA(Handle(), id, CB_GETCURSEL, 0, 0);
        if (choice >= 0 && choice < FORWARD_TRANSPORT_COUNT - ForwardTcp)
            snprintf(m_Scheme, sizeof m_Scheme, "%s", ForwardSchemes[ForwardTcp + choice]);
        StoreForwardTo();
        return TRUE;
    }
    case IDC_FORWARD_FACILITY: {
        if (code != CBN_SELCHANGE)
            return FALSE;
        LRESULT choice = SendDlgItemMessageA(Handle(), id, CB_GETCURSEL, 0, 0);
        // local0 is the default and is not stored.
        if (choice >= 0 && choice <= FORWARD_FACILITY_HIGHEST - FORWARD_FACILITY_LOWEST)
            f.ForwardFacility = choice == 0 ? 0 : FORWARD_FACILITY_LOWEST + (DWORD)choice;
        Props()->MarkChanged();
        return TRUE;
    }
    case IDC_FORWARD_TRUSTED_CA:
        if (code != EN_CHANGE)
            return FALSE;
        OnChangeText(id, f.ForwardTrustedCa, sizeof f.ForwardTrustedCa);
        return TRUE;
    case IDC_FORWARD_CERTIFICATE:
        if (code != EN_CHANGE)
            return FALSE;
        OnChangeText(id, f.ForwardCertificate, sizeof f.ForwardCertificate);
        return TRUE;
    case IDC_FORWARD_BROWSE_CA:
        if (code != BN_CLICKED)
            return FALSE;
        OnBrowseCa();
        return TRUE;
    }
    return FALSE;
}
