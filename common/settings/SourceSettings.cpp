#include "common/settings/SourceSettings.h"
#include "common/settings/SmtpSettings.h"
#include "common/text/JsonReader.h"

#include <stdio.h>
#include <string.h>

const char *const SourceKindNames[SOURCE_KIND_COUNT] = {
    "Serial port", "TCP client", "TCP server", "UDP", "RFC 2217 device server",
};

const char *const NetworkSourceValueNames[NETWORK_SOURCE_VALUE_COUNT] = {"Source", "AllowedSenders"};

// The scheme of each kind, and its word in the short form.
static const struct {
    SourceKind Kind;
    const char *Scheme;
    const char *Short;
} Schemes[] = {
    {SourceTcpClient, "socket", "tcp"},
    {SourceTcpServer, "listen", "listen"},
    {SourceUdp, "udp", "udp"},
    {SourceRfc2217, "rfc2217", "rfc2217"},
};
#define SCHEME_COUNT (sizeof Schemes / sizeof Schemes[0])

static int SchemeIndex(SourceKind kind)
{
    for (size_t i = 0; i < SCHEME_COUNT; i++)
        if (Schemes[i].Kind == kind)
            return (int)i;
    return -1;
}

static int IsDigit(char c) { return c >= '0' && c <= '9'; }

// A decimal number of at most `digits` digits from text[0..length), no sign.
static int ParseDecimalPart(const char *text, size_t length, size_t digits, DWORD *value)
{
    if (length == 0 || length > digits)
        return 0;
    DWORD number = 0;
    for (size_t i = 0; i < length; i++) {
        if (!IsDigit(text[i]))
            return 0;
        number = number * 10 + (DWORD)(text[i] - '0');
    }
    *value = number;
    return 1;
}

// A dotted IPv4 address, exactly four numbers of 0 to 255.
static int ParseIpv4(const char *text, size_t length, BYTE *address)
{
    size_t start = 0;
    for (int part = 0; part < 4; part++) {
        size_t end = start;
        while (end < length && text[end] != '.')
            end++;
        DWORD value;
        if (!ParseDecimalPart(text + start, end - start, 3, &value) || value > 255)
            return 0;
        address[part] = (BYTE)value;
        if (part < 3 && end == length)
            return 0;
        start = end + 1;
    }
    return start == length + 1;
}

// An IPv6 address in its text form (RFC 4291 2.2): groups of one to four hex
// digits, at most one "::", optionally ending in a dotted IPv4 address.
static int ParseIpv6(const char *text, size_t length, BYTE *address)
{
    BYTE groups[16];
    int count = 0;     // bytes parsed
    int gap = -1;      // where "::" stands, in bytes
    size_t i = 0;
    if (length >= 2 && text[0] == ':' && text[1] == ':') {
        gap = 0;
        i = 2;
    } else if (length > 0 && text[0] == ':') {
        return 0;
    }
    while (i < length) {
        size_t end = i;
        while (end < length && text[end] != ':' && text[end] != '.')
            end++;
        if (end < length && text[end] == '.') {
            // The last 32 bits as IPv4.
            if (count > 12 || !ParseIpv4(text + i, length - i, groups + count))
                return 0;
            count += 4;
            i = length;
            break;
        }
        if (end == i || end - i > 4 || count >= 16)
            return 0;
        DWORD value = 0;
        for (size_t k = i; k < end; k++) {
            int digit = HexDigitValue(text[k]);
            if (digit < 0)
                return 0;
            value = value * 16 + (DWORD)digit;
        }
        groups[count++] = (BYTE)(value >> 8);
        groups[count++] = (BYTE)value;
        if (end == length) {
            i = length;
            break;
        }
        // A colon: another group, or "::".
        i = end + 1;
        if (i < length && text[i] == ':') {
            if (gap >= 0)
                return 0;
            gap = count;
            i++;
        } else if (i == length) {
            return 0;   // a single colon at the end
        }
    }
    if (gap < 0) {
        if (count != 16)
            return 0;
        memcpy(address, groups, 16);
        return 1;
    }
    if (count > 14)
        return 0;   // "::" stands for at least one group
    memset(address, 0, 16);
    memcpy(address, groups, (size_t)gap);
    memcpy(address + 16 - (count - gap), groups + gap, (size_t)(count - gap));
    return 1;
}

static int IsHostNameCharacter(char c)
{
    return IsDigit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '-' || c == '.' || c == '_';
}

static int Fail(char *reason, size_t reasonSize, const char *text)
{
    if (reason != NULL && reasonSize > 0)
        snprintf(reason, reasonSize, "%s", text);
    return 0;
}

int ParseSource(const char *text, SourceAddress *address, char *reason, size_t reasonSize)
{
    SourceAddress parsed;
    memset(&parsed, 0, sizeof parsed);
    size_t length = strnlen(text, SOURCE_SIZE);
    if (length >= SOURCE_SIZE)
        return Fail(reason, reasonSize, "it is longer than 259 characters");
    if (length > 0) {
        const char *rest = strstr(text, "://");
        size_t schemeLength = rest != NULL ? (size_t)(rest - text) : 0;
        int index = -1;
        for (size_t i = 0; i < SCHEME_COUNT && rest != NULL; i++)
            if (strlen(Schemes[i].Scheme) == schemeLength && _strnicmp(text, Schemes[i].Scheme, schemeLength) == 0)
                index = (int)i;
        if (index < 0)
            return Fail(reason, reasonSize, "it does not begin with socket://, rfc2217://, listen:// or udp://");
        parsed.Kind = Schemes[index].Kind;
        rest += 3;

        // The host: in brackets when it is an IPv6 address.
        const char *host = rest;
        size_t hostLength;
        const char *colon;
        BYTE scratch[16];
        BOOL bracketed = *rest == '[';
        if (bracketed) {
            const char *close = strchr(rest, ']');
            if (close == NULL)
                return Fail(reason, reasonSize, "its IPv6 address has no closing bracket");
            host = rest + 1;
            hostLength = (size_t)(close - host);
            if (!ParseIpv6(host, hostLength, scratch))
                return Fail(reason, reasonSize, "the address in brackets is not an IPv6 address");
            colon = close + 1;
            if (*colon != ':')
                return Fail(reason, reasonSize, "it has no :PORT after the address");
        } else {
            colon = strchr(rest, ':');
            if (colon == NULL)
                return Fail(reason, reasonSize, "it has no :PORT");
            if (strchr(colon + 1, ':') != NULL)
                return Fail(reason, reasonSize, "an IPv6 address must be written in brackets, [ADDRESS]:PORT");
            hostLength = (size_t)(colon - rest);
            for (size_t i = 0; i < hostLength; i++)
                if (!IsHostNameCharacter(host[i]))
                    return Fail(reason, reasonSize, "its host is not a name or address");
        }
        BOOL listens = parsed.Kind == SourceTcpServer || parsed.Kind == SourceUdp;
        if (hostLength == 0 && !listens)
            return Fail(reason, reasonSize, "it names no host");
        // A listening source binds to an address of this machine, not a name.
        if (hostLength > 0 && listens && !bracketed && !ParseIpv4(host, hostLength, scratch))
            return Fail(reason, reasonSize, "its ADDRESS is not an IPv4 address or an IPv6 address in brackets");
        DWORD port;
        if (!ParseDecimalPart(colon + 1, strlen(colon + 1), 5, &port) || port == 0 || port > 65535)
            return Fail(reason, reasonSize, "its PORT is not a number from 1 to 65535");
        memcpy(parsed.Host, host, hostLength);
        parsed.Host[hostLength] = '\0';
        parsed.Port = (WORD)port;
    }
    if (address != NULL)
        *address = parsed;
    return 1;
}

int FormatSource(const SourceAddress *address, char *text, size_t size)
{
    int index = SchemeIndex(address->Kind);
    int written;
    if (index < 0)
        written = snprintf(text, size, "%s", "");
    else if (strchr(address->Host, ':') != NULL)
        written = snprintf(text, size, "%s://[%s]:%u", Schemes[index].Scheme, address->Host, address->Port);
    else
        written = snprintf(text, size, "%s://%s:%u", Schemes[index].Scheme, address->Host, address->Port);
    return written >= 0 && (size_t)written < size;
}

void FormatSourceShort(const char *source, const char *portName, char *text, size_t size)
{
    SourceAddress address;
    if (!ParseSource(source, &address, NULL, 0)) {
        snprintf(text, size, "%s", source);
        return;
    }
    int index = SchemeIndex(address.Kind);
    if (index < 0)
        snprintf(text, size, "%s", portName);
    else if (strchr(address.Host, ':') != NULL)
        snprintf(text, size, "%s [%s]:%u", Schemes[index].Short, address.Host, address.Port);
    else
        snprintf(text, size, "%s %s:%u", Schemes[index].Short, address.Host, address.Port);
}

static void TrimBlanks(const char **text, size_t *length)
{
    while (*length > 0 && (**text == ' ' || **text == '\t')) {
        (*text)++;
        (*length)--;
    }
    while (*length > 0 && ((*text)[*length - 1] == ' ' || (*text)[*length - 1] == '\t'))
        (*length)--;
}

// One entry: ADDRESS or ADDRESS/BITS.
static int ParseSenderRange(const char *entry, size_t length, SenderRange *range)
{
    const char *slash = (const char *)memchr(entry, '/', length);
    size_t addressLength = slash != NULL ? (size_t)(slash - entry) : length;
    memset(range, 0, sizeof *range);
    if (ParseIpv4(entry, addressLength, range->Address)) {
        range->Family = 4;
        range->Bits = 32;
    } else if (ParseIpv6(entry, addressLength, range->Address)) {
        range->Family = 6;
        range->Bits = 128;
    } else {
        return 0;
    }
    if (slash != NULL) {
        DWORD bits;
        if (!ParseDecimalPart(slash + 1, length - addressLength - 1, 3, &bits) || bits > range->Bits)
            return 0;
        range->Bits = (BYTE)bits;
    }
    return 1;
}

int ParseAllowedSenders(const char *text, AllowedSenderList *list, char *reason, size_t reasonSize)
{
    AllowedSenderList parsed;
    parsed.Count = 0;
    size_t length = strnlen(text, ALLOWED_SENDERS_SIZE);
    if (length >= ALLOWED_SENDERS_SIZE)
        return Fail(reason, reasonSize, "it is longer than 255 characters");
    size_t start = 0;
    while (length > 0 && start <= length) {
        const char *comma = (const char *)memchr(text + start, ',', length - start);
        size_t end = comma != NULL ? (size_t)(comma - text) : length;
        const char *entry = text + start;
        size_t entryLength = end - start;
        TrimBlanks(&entry, &entryLength);
        if (parsed.Count == MAX_ALLOWED_SENDERS)
            return Fail(reason, reasonSize, "it has more entries than can be held");
        if (!ParseSenderRange(entry, entryLength, &parsed.Ranges[parsed.Count])) {
            if (reason != NULL && reasonSize > 0)
                snprintf(reason, reasonSize, "\"%.*s\" is not an IPv4 or IPv6 address or CIDR range", (int)entryLength,
                         entry);
            return 0;
        }
        parsed.Count++;
        start = end + 1;
    }
    if (list != NULL)
        *list = parsed;
    return 1;
}

static int PrefixMatches(const BYTE *a, const BYTE *b, int bits)
{
    int whole = bits / 8;
    if (memcmp(a, b, (size_t)whole) != 0)
        return 0;
    int rest = bits % 8;
    if (rest == 0)
        return 1;
    BYTE mask = (BYTE)(0xFF << (8 - rest));
    return (a[whole] & mask) == (b[whole] & mask);
}

int SenderIsAllowed(const AllowedSenderList *list, int family, const BYTE *address)
{
    if (list->Count == 0)
        return 1;
    static const BYTE Mapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
    if (family == 6 && memcmp(address, Mapped, sizeof Mapped) == 0) {
        family = 4;
        address += 12;
    }
    for (int i = 0; i < list->Count; i++) {
        const SenderRange &range = list->Ranges[i];
        if (range.Family == family && PrefixMatches(range.Address, address, range.Bits))
            return 1;
    }
    return 0;
}

void ReadNetworkSourceSettings(HKEY key, NetworkSourceSettings *settings, NetworkSourceStates *states)
{
    memset(settings, 0, sizeof *settings);
    int source = ReadOptionalText(key, NetworkSourceValueNames[SourceValue], settings->Source,
                                  sizeof settings->Source);
    int senders = ReadOptionalText(key, NetworkSourceValueNames[AllowedSendersValue], settings->AllowedSenders,
                                   sizeof settings->AllowedSenders);
    if (states != NULL) {
        states->State[SourceValue] = source;
        states->State[AllowedSendersValue] = senders;
    }
}

int WriteNetworkSourceSettings(HKEY key, const NetworkSourceSettings *settings)
{
    int ok = WriteOptionalText(key, NetworkSourceValueNames[SourceValue], settings->Source, sizeof settings->Source);
    return WriteOptionalText(key, NetworkSourceValueNames[AllowedSendersValue], settings->AllowedSenders,
                             sizeof settings->AllowedSenders) && ok;
}

int CheckSourceValue(const char *text, char *reason, size_t reasonSize)
{
    return ParseSource(text, NULL, reason, reasonSize);
}

int CheckAllowedSendersValue(const char *text, char *reason, size_t reasonSize)
{
    return ParseAllowedSenders(text, NULL, reason, reasonSize);
}
