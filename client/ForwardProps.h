// The Forwarding page: the syslog collector every captured line is sent
// to (host and port), the transport, the facility, and for TLS a private
// CA file and a client certificate. An empty collector forwards nothing.
#pragma once

#include "client/instances/InstanceSettings.h"
#include "client/InstanceSheet.h"

class CForwardProps : public CPropertyPage {
public:
    explicit CForwardProps(InstanceSettings *settings);

protected:
    BOOL OnInitDialog() override;
    BOOL OnCommand(WORD id, WORD code, HWND control) override;

private:
    CInstanceSheet *Props() const;
    void StoreForwardTo();
    void OnChangeText(int id, char *member, int size);
    void OnBrowseCa();

    InstanceSettings *m_Settings;
    // ForwardTo as the page shows it: the scheme (a stored one this program
    // does not know is kept as it is) and HOST:PORT.
    char m_Scheme[16];
    char m_Collector[FORWARD_TO_SIZE];
};

// Splits a stored ForwardTo into its scheme (empty when it has none) and the
// rest, and joins them again; an empty collector joins to nothing (no
// forwarding). Both keep within their buffers.
void SplitForwardTo(const char *stored, char *scheme, size_t schemeSize, char *collector, size_t collectorSize);
void JoinForwardTo(const char *scheme, const char *collector, char *stored, size_t size);
