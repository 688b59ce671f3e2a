#include "client/instances/FirewallRule.h"

#include <initguid.h>
#include <netfw.h>
#include <stdio.h>
#include <string.h>

#include "client/instances/ServiceControl.h"
#include "common/settings/SourceSettings.h"

// COM and its strings, from the system folder at run time: the program keeps
// no import of them, and a system without them is a firewall not reached.
struct ComCalls {
    HRESULT (WINAPI *CoInitializeEx)(LPVOID, DWORD);
    void (WINAPI *CoUninitialize)();
    HRESULT (WINAPI *CoCreateInstance)(REFCLSID, LPUNKNOWN, DWORD, REFIID, LPVOID *);
    BSTR (WINAPI *SysAllocString)(const OLECHAR *);
    void (WINAPI *SysFreeString)(BSTR);
};

static int LoadComCalls(ComCalls *com)
{
    HMODULE ole = LoadLibraryExA("ole32.dll", NULL, LOAD_LIBRARY_SEARCH_SYSTEM32);
    HMODULE automation = LoadLibraryExA("oleaut32.dll", NULL, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (ole == NULL || automation == NULL)
        return 0;
    com->CoInitializeEx = (HRESULT (WINAPI *)(LPVOID, DWORD))(void *)GetProcAddress(ole, "CoInitializeEx");
    com->CoUninitialize = (void (WINAPI *)())(void *)GetProcAddress(ole, "CoUninitialize");
    com->CoCreateInstance = (HRESULT (WINAPI *)(REFCLSID, LPUNKNOWN, DWORD, REFIID, LPVOID *))(void *)GetProcAddress(
        ole, "CoCreateInstance");
    com->SysAllocString = (BSTR (WINAPI *)(const OLECHAR *))(void *)GetProcAddress(automation, "SysAllocString");
    com->SysFreeString = (void (WINAPI *)(BSTR))(void *)GetProcAddress(automation, "SysFreeString");
    return com->CoInitializeEx != NULL && com->CoUninitialize != NULL && com->CoCreateInstance != NULL &&
           com->SysAllocString != NULL && com->SysFreeString != NULL;
}

void FormatFirewallRuleName(int n, char *out, size_t size) { snprintf(out, size, SERVICE_DISPLAY_NAME_FORMAT, n); }

// The protocol and port of a Source that listens; 0 for any other.
static int ListeningPort(const char *source, int *protocol)
{
    SourceAddress address;
    if (!ParseSource(source, &address, NULL, 0) ||
        (address.Kind != SourceTcpServer && address.Kind != SourceUdp))
        return 0;
    *protocol = address.Kind == SourceUdp ? NET_FW_IP_PROTOCOL_UDP : NET_FW_IP_PROTOCOL_TCP;
    return address.Port;
}

static char Notice[1024];
static BOOL NoticeGiven;

static void NoteUnreachable(HRESULT result, int n, int protocol, int port)
{
    if (NoticeGiven)
        return;
    NoticeGiven = TRUE;
    char name[64], program[MAX_PATH + 2];
    FormatFirewallRuleName(n, name, sizeof name);
    if (!ServiceProgramPath(program, sizeof program, 0))
        snprintf(program, sizeof program, "tallysvc.exe");
    if (port != 0)
        snprintf(Notice, sizeof Notice,
                 "The Windows Firewall could not be reached (error 0x%08lX), so no inbound rule was made for "
                 "\"%s\". To make it by hand:\r\n\r\nnetsh advfirewall firewall add rule name=\"%s\" dir=in "
                 "action=allow program=\"%s\" protocol=%s localport=%d",
                 (unsigned long)result, name, name, program, protocol == NET_FW_IP_PROTOCOL_UDP ? "UDP" : "TCP", port);
    else
        snprintf(Notice, sizeof Notice,
                 "The Windows Firewall could not be reached (error 0x%08lX), so the inbound rule \"%s\" was not "
                 "removed. To remove it by hand:\r\n\r\nnetsh advfirewall firewall delete rule name=\"%s\"",
                 (unsigned long)result, name, name);
}

static BSTR Text(const ComCalls &com, const char *text)
{
    WCHAR wide[MAX_PATH + 64];
    if (MultiByteToWideChar(CP_ACP, 0, text, -1, wide, sizeof wide / sizeof wide[0]) == 0)
        wide[0] = L'\0';
    return com.SysAllocString(wide);
}

// Fills a new rule and adds it.
static HRESULT AddRule(const ComCalls &com, INetFwRules *rules, int n, int protocol, int port)
{
    INetFwRule *rule = NULL;
    HRESULT result = com.CoCreateInstance(CLSID_NetFwRule, NULL, CLSCTX_INPROC_SERVER, IID_INetFwRule,
                                          (void **)&rule);
    if (FAILED(result))
        return result;
    char name[64], service[64], program[MAX_PATH + 2], ports[8];
    FormatFirewallRuleName(n, name, sizeof name);
    snprintf(service, sizeof service, SERVICE_NAME_FORMAT, n);
    if (!ServiceProgramPath(program, sizeof program, 0))
        program[0] = '\0';
    snprintf(ports, sizeof ports, "%d", port);
    BSTR texts[4] = {Text(com, name), Text(com, service), Text(com, program), Text(com, ports)};
    // The protocol before the port: a port means nothing without it.
    result = rule->put_Name(texts[0]);
    if (SUCCEEDED(result))
        result = rule->put_ServiceName(texts[1]);
    if (SUCCEEDED(result) && program[0] != '\0')
        result = rule->put_ApplicationName(texts[2]);
    if (SUCCEEDED(result))
        result = rule->put_Protocol(protocol);
    if (SUCCEEDED(result))
        result = rule->put_LocalPorts(texts[3]);
    if (SUCCEEDED(result))
        result = rule->put_Direction(NET_FW_RULE_DIR_IN);
    if (SUCCEEDED(result))
        result = rule->put_Action(NET_FW_ACTION_ALLOW);
    if (SUCCEEDED(result))
        result = rule->put_Profiles(NET_FW_PROFILE2_ALL);
    if (SUCCEEDED(result))
        result = rule->put_Enabled(VARIANT_TRUE);
    if (SUCCEEDED(result))
        result = rules->Add(rule);
    // Read back: a firewall that only pretends (Wine's takes every call and
    // keeps nothing) has not been reached.
    INetFwRule *added = NULL;
    if (SUCCEEDED(result))
        result = rules->Item(texts[0], &added);
    if (added != NULL)
        added->Release();
    for (BSTR text : texts)
        com.SysFreeString(text);
    rule->Release();
    return result;
}

// Removes instance N's rule and, with a port, adds it anew.
static int SetRule(int n, int protocol, int port)
{
    ComCalls com;
    if (!LoadComCalls(&com)) {
        NoteUnreachable(HRESULT_FROM_WIN32(GetLastError()), n, protocol, port);
        return 0;
    }
    HRESULT initialised = com.CoInitializeEx(NULL, COINIT_APARTMENTTHREADED);
    INetFwPolicy2 *policy = NULL;
    INetFwRules *rules = NULL;
    HRESULT result = com.CoCreateInstance(CLSID_NetFwPolicy2, NULL, CLSCTX_INPROC_SERVER, IID_INetFwPolicy2,
                                          (void **)&policy);
    if (SUCCEEDED(result))
        result = policy->get_Rules(&rules);
    if (SUCCEEDED(result)) {
        char name[64];
        FormatFirewallRuleName(n, name, sizeof name);
        BSTR text = Text(com, name);
        rules->Remove(text);   // none yet is no failure
        com.SysFreeString(text);
        if (port != 0)
            result = AddRule(com, rules, n, protocol, port);
    }
    if (rules != NULL)
        rules->Release();
    if (policy != NULL)
        policy->Release();
    if (SUCCEEDED(initialised))
        com.CoUninitialize();
    if (FAILED(result))
        NoteUnreachable(result, n, protocol, port);
    return SUCCEEDED(result);
}

int UpdateFirewallRule(int n, const char *before, const char *after)
{
    int protocol = 0, oldProtocol = 0;
    int port = ListeningPort(after, &protocol);
    if (port != 0)
        return SetRule(n, protocol, port);
    return ListeningPort(before, &oldProtocol) == 0 || SetRule(n, 0, 0);
}

int RemoveFirewallRule(int n, const char *source)
{
    int protocol;
    return ListeningPort(source, &protocol) == 0 || SetRule(n, 0, 0);
}

const char *TakeFirewallNotice()
{
    if (Notice[0] == '\0')
        return NULL;
    static char shown[sizeof Notice];
    memcpy(shown, Notice, sizeof shown);
    Notice[0] = '\0';
    return shown;
}
