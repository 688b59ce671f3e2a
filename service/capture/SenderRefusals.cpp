#include "service/capture/SenderRefusals.h"

#include <string.h>

static struct {
    BYTE Family;
    BYTE Address[16];
    DWORD ReportedAt;
} Refused[REFUSALS_REMEMBERED];

int RefusalToReport(int family, const BYTE *address, DWORD now)
{
    size_t length = family == 4 ? 4 : 16;
    int oldest = 0;
    for (int i = 0; i < REFUSALS_REMEMBERED; i++) {
        if (Refused[i].Family == family && memcmp(Refused[i].Address, address, length) == 0) {
            if (now - Refused[i].ReportedAt < REFUSAL_REPORT_INTERVAL_MS)
                return 0;
            Refused[i].ReportedAt = now;
            return 1;
        }
        if (Refused[i].Family == 0)
            oldest = i;   // a free slot is taken first
        else if (Refused[oldest].Family != 0 && now - Refused[i].ReportedAt > now - Refused[oldest].ReportedAt)
            oldest = i;
    }
    Refused[oldest].Family = (BYTE)family;
    memset(Refused[oldest].Address, 0, sizeof Refused[oldest].Address);
    memcpy(Refused[oldest].Address, address, length);
    Refused[oldest].ReportedAt = now;
    return 1;
}

void ForgetRefusals() { memset(Refused, 0, sizeof Refused); }
