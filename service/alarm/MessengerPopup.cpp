#include "service/alarm/MessengerPopup.h"
#include "common/settings/Parameters.h"
#include "common/system/SystemLibrary.h"

#include <string.h>
#include <wtsapi32.h>

// Resolved at run time: the messenger is absent from current Windows, and
// under Wine the builtin NetMessageBufferSend aborts the whole process.
typedef DWORD (WINAPI *NetMessageBufferSendFn)(LPCWSTR server, LPCWSTR name, LPCWSTR from,
                                               LPBYTE buffer, DWORD length);
typedef BOOL (WINAPI *WTSEnumerateSessionsAFn)(HANDLE server, DWORD reserved, DWORD version,
                                               PWTS_SESSION_INFOA *sessions, DWORD *count);
typedef BOOL (WINAPI *WTSQuerySessionInformationAFn)(HANDLE server, DWORD session,
                                                     WTS_INFO_CLASS what, LPSTR *buffer,
                                                     DWORD *bytes);
typedef void (WINAPI *WTSFreeMemoryFn)(PVOID memory);
typedef BOOL (WINAPI *WTSSendMessageAFn)(HANDLE server, DWORD session, LPSTR title,
                                         DWORD titleLength, LPSTR message, DWORD messageLength,
                                         DWORD style, DWORD timeout, DWORD *response, BOOL wait);

struct PopupApi {
    NetMessageBufferSendFn NetMessageBufferSend;
    WTSEnumerateSessionsAFn WTSEnumerateSessionsA;
    WTSQuerySessionInformationAFn WTSQuerySessionInformationA;
    WTSFreeMemoryFn WTSFreeMemory;
    WTSSendMessageAFn WTSSendMessageA;
};

// Loaded once and kept for the life of the process: an ended alarm may still
// be inside a call while the next silence starts another.
static PopupApi Popup;
static INIT_ONCE PopupResolved = INIT_ONCE_STATIC_INIT;

int RunningUnderWine()
{
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll != NULL && GetProcAddress(ntdll, "wine_get_version") != NULL;
}

int IsWineBuiltinModule(HMODULE module)
{
    // Wine writes this mark into the DOS header of its builtin DLLs, right
    // after the 64-byte header proper; the loader itself tells them apart by it.
    static const char mark[] = "Wine builtin DLL";
    if (module == NULL)
        return 0;
    return memcmp((const char *)module + 0x40, mark, sizeof mark - 1) == 0;
}

static BOOL CALLBACK ResolvePopupApi(PINIT_ONCE, PVOID, PVOID *)
{
    HMODULE netapi = LoadSystemLibrary("netapi32.dll");
    // Wine's own stub is never called; a native DLL put in its place is.
    if (netapi != NULL && !(RunningUnderWine() && IsWineBuiltinModule(netapi)))
        Popup.NetMessageBufferSend =
            (NetMessageBufferSendFn)(void *)GetProcAddress(netapi, "NetMessageBufferSend");

    HMODULE wtsapi = LoadSystemLibrary("wtsapi32.dll");
    if (wtsapi != NULL) {
        Popup.WTSEnumerateSessionsA =
            (WTSEnumerateSessionsAFn)(void *)GetProcAddress(wtsapi, "WTSEnumerateSessionsA");
        Popup.WTSQuerySessionInformationA = (WTSQuerySessionInformationAFn)(void *)GetProcAddress(
            wtsapi, "WTSQuerySessionInformationA");
        Popup.WTSFreeMemory = (WTSFreeMemoryFn)(void *)GetProcAddress(wtsapi, "WTSFreeMemory");
        Popup.WTSSendMessageA =
            (WTSSendMessageAFn)(void *)GetProcAddress(wtsapi, "WTSSendMessageA");
    }
    return TRUE;
}

static BOOL SessionUserIs(DWORD session, const char *name)
{
    LPSTR user = NULL;
    DWORD bytes = 0;
    if (!Popup.WTSQuerySessionInformationA(WTS_CURRENT_SERVER_HANDLE, session, WTSUserName, &user,
                                           &bytes) ||
        user == NULL)
        return FALSE;
    // Never trust the reported size: compare within it and within a name.
    char copy[RECIPIENT_NAME_SIZE + 1];
    DWORD length = 0;
    while (length < bytes && length < sizeof copy - 1 && user[length] != '\0') {
        copy[length] = user[length];
        length++;
    }
    copy[length] = '\0';
    Popup.WTSFreeMemory(user);
    return lstrcmpiA(copy, name) == 0;
}

// The pop-up for the sessions of one user, where the messenger cannot deliver.
static void SendToUserSessions(const char *name, const char *text)
{
    if (name[0] == '\0' || Popup.WTSEnumerateSessionsA == NULL ||
        Popup.WTSQuerySessionInformationA == NULL || Popup.WTSFreeMemory == NULL ||
        Popup.WTSSendMessageA == NULL)
        return;
    PWTS_SESSION_INFOA sessions = NULL;
    DWORD count = 0;
    if (!Popup.WTSEnumerateSessionsA(WTS_CURRENT_SERVER_HANDLE, 0, 1, &sessions, &count) ||
        sessions == NULL)
        return;
    char title[] = POPUP_TITLE;
    char message[ALARM_TEXT_SIZE];
    lstrcpynA(message, text, sizeof message);
    for (DWORD i = 0; i < count; i++) {
        if (sessions[i].State != WTSActive || !SessionUserIs(sessions[i].SessionId, name))
            continue;
        DWORD response;
        Popup.WTSSendMessageA(WTS_CURRENT_SERVER_HANDLE, sessions[i].SessionId, title,
                              (DWORD)strlen(title), message, (DWORD)strlen(message),
                              MB_OK | MB_ICONWARNING, 0, &response, FALSE);
    }
    Popup.WTSFreeMemory(sessions);
}

void SendMessengerPopup(const char *recipient, const char *text)
{
    InitOnceExecuteOnce(&PopupResolved, ResolvePopupApi, NULL, NULL);

    // A name of 32 characters or more is cut to the 31 that the buffer holds.
    char name[RECIPIENT_NAME_SIZE];
    lstrcpynA(name, recipient, sizeof name);

    DWORD result = ERROR_NOT_SUPPORTED;
    if (Popup.NetMessageBufferSend != NULL) {
        WCHAR wideText[ALARM_TEXT_SIZE];
        WCHAR wideName[RECIPIENT_NAME_SIZE];
        WidenText(text, wideText, ALARM_TEXT_SIZE);
        WidenText(name, wideName, RECIPIENT_NAME_SIZE);
        // The whole message buffer, whatever the length of the text.
        result = Popup.NetMessageBufferSend(NULL, wideName, NULL, (LPBYTE)wideText,
                                            sizeof wideText);
    }
    if (result != 0)
        SendToUserSessions(name, text);
}

void WidenText(const char *text, WCHAR *wide, size_t units)
{
    if (units == 0)
        return;
    size_t i = 0;
    for (; i + 1 < units && text[i] != '\0'; i++)
        wide[i] = (WCHAR)(unsigned char)text[i];
    for (; i < units; i++)
        wide[i] = 0;
}
