// Stand-in netapi32.dll for the end-to-end tests (Wine's NetMessageBufferSend
// aborts the process). Records every call; fails for the recipients listed in
// the setting TALLY_NETAPI_FAIL (comma-separated, or "*" for all) with NERR_NameNotFound,
// as current Windows does for everyone.
#include "tests/tools/StandInRecord.h"

#define NERR_NAME_NOT_FOUND 2273

static int MustFail(const char *name)
{
    char list[1024];
    if (!StandInSetting("TALLY_NETAPI_FAIL", list, sizeof list))
        return 0;
    if (strcmp(list, "*") == 0)
        return 1;
    char *context = NULL;
    for (char *piece = strtok_s(list, ",", &context); piece; piece = strtok_s(NULL, ",", &context))
        if (strcmp(piece, name) == 0)
            return 1;
    return 0;
}

extern "C" __declspec(dllexport) DWORD WINAPI NetMessageBufferSend(LPCWSTR server, LPCWSTR name,
                                                                   LPCWSTR from, LPBYTE buffer,
                                                                   DWORD length)
{
    char serverText[128], nameText[512], fromText[128], text[1024], line[2048];
    Utf8Of(server, 64, serverText, sizeof serverText);
    Utf8Of(name, 256, nameText, sizeof nameText);
    Utf8Of(from, 64, fromText, sizeof fromText);
    Utf8Of((const WCHAR *)buffer, buffer ? length / 2 : 0, text, sizeof text);
    DWORD result = MustFail(nameText) ? NERR_NAME_NOT_FOUND : 0;
    snprintf(line, sizeof line, "NetMessageBufferSend\t%s\t%s\t%s\t%lu\t%s\t%lu", serverText,
             nameText, fromText, (unsigned long)length, text, (unsigned long)result);
    AppendRecord(line);
    return result;
}
