#include "common/mail/MailOrigin.h"

#include <stdio.h>
#include <string.h>

#include "common/net/SocketIo.h"

// Messages stamped by this process so far: with the time, the tick count
// and the process id, the Message-ID never repeats.
static DWORD Stamped;

// Letters, digits and hyphens, a hyphen neither first nor last, 1 to 63
// characters.
static int HostLabel(const char *label, size_t length)
{
    if (length == 0 || length > 63 || label[0] == '-' || label[length - 1] == '-')
        return 0;
    for (size_t i = 0; i < length; i++) {
        char c = label[i];
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-'))
            return 0;
    }
    return 1;
}

static int FullyQualified(const char *name)
{
    size_t length = strlen(name);
    if (length == 0 || length > 253 || strchr(name, '.') == NULL)
        return 0;
    for (const char *label = name;;) {
        const char *dot = strchr(label, '.');
        size_t labelLength = dot != NULL ? (size_t)(dot - label) : strlen(label);
        if (!HostLabel(label, labelLength))
            return 0;
        if (dot == NULL)
            return 1;
        label = dot + 1;
    }
}

int ChooseHeloName(const char *dnsName, const char *addressLiteral, char *name, size_t size)
{
    const char *chosen = dnsName != NULL && FullyQualified(dnsName) ? dnsName : addressLiteral;
    if (size == 0 || chosen == NULL || chosen[0] == '\0' || strlen(chosen) >= size)
        return 0;
    strcpy(name, chosen);
    return 1;
}

int MachineHeloName(SOCKET sock, char *name, size_t size)
{
    char dnsName[MAIL_HELO_NAME_SIZE] = "";
    char literal[MAIL_HELO_NAME_SIZE] = "";
    DWORD length = sizeof dnsName;
    if (!GetComputerNameExA(ComputerNameDnsFullyQualified, dnsName, &length))
        dnsName[0] = '\0';
    LocalAddressLiteral(sock, literal, sizeof literal);
    return ChooseHeloName(dnsName, literal, name, size);
}

void StampMail(MailStamp *stamp, const char *heloName)
{
    FILETIME utc, local;
    GetSystemTimeAsFileTime(&utc);
    SYSTEMTIME utcTime;
    FileTimeToSystemTime(&utc, &utcTime);
    // The offset of this very moment, daylight saving included.
    if (!SystemTimeToTzSpecificLocalTime(NULL, &utcTime, &stamp->Local) ||
        !SystemTimeToFileTime(&stamp->Local, &local)) {
        stamp->Local = utcTime;
        local = utc;
    }
    LONGLONG difference = (LONGLONG)(((ULONGLONG)local.dwHighDateTime << 32) | local.dwLowDateTime) -
                          (LONGLONG)(((ULONGLONG)utc.dwHighDateTime << 32) | utc.dwLowDateTime);
    // To whole minutes, rounded: the two readings are the same moment.
    stamp->OffsetMinutes = (int)((difference + (difference < 0 ? -300000000LL : 300000000LL)) / 600000000LL);
    stamp->Tick = GetTickCount();
    Stamped++;
    const SYSTEMTIME &t = stamp->Local;
    snprintf(stamp->MessageId, sizeof stamp->MessageId, "<%04u%02u%02u%02u%02u%02u.%08lx.%08lx.%08lx@%s>", t.wYear,
             t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond, (unsigned long)stamp->Tick,
             (unsigned long)GetCurrentProcessId(), (unsigned long)Stamped,
             heloName != NULL && heloName[0] != '\0' ? heloName : "localhost");
}
