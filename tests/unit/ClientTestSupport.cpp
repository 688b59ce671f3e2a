#include <gtest/gtest.h>

#include "tests/unit/ClientTestSupport.h"

#include <stdio.h>
#include <string.h>

#include "client/instances/ClientMessages.h"

RecordedMessages Messages;

static int WINAPI RecordMessage(HWND, LPCSTR text, LPCSTR caption, UINT type)
{
    Messages.Count++;
    Messages.Text = text;
    Messages.Caption = caption;
    Messages.Type = type;
    return IDOK;
}

std::string ProgramFolder()
{
    char module[MAX_PATH + 1];
    DWORD length = GetModuleFileNameA(NULL, module, MAX_PATH);
    module[length] = '\0';
    char *slash = strrchr(module, '\\');
    if (slash != NULL)
        slash[1] = '\0';
    return module;
}

static std::string ServiceName(int n)
{
    char name[32];
    snprintf(name, sizeof name, "Quillbox%d", n);
    return name;
}

std::string ParametersKeyPath(int n)
{
    return "SYSTEM\\CurrentControlSet\\Services\\" + ServiceName(n) + "\\Parameters";
}

std::string PortKeyPath(int n)
{
    return ParametersKeyPath(n) + "\\Port1";
}

std::string EventSourceKeyPath(int n)
{
    return "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\" + ServiceName(n);
}

int KeyExists(const std::string &path)
{
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return 0;
    RegCloseKey(key);
    return 1;
}

DWORD ServiceState(int n)
{
    SC_HANDLE scm = OpenSCManagerA(NULL, NULL, SC_MANAGER_ALL_ACCESS);
    SC_HANDLE service = OpenServiceA(scm, ServiceName(n).c_str(), SERVICE_ALL_ACCESS);
    SERVICE_STATUS status;
    memset(&status, 0, sizeof status);
    if (service != NULL) {
        QueryServiceStatus(service, &status);
        CloseServiceHandle(service);
    }
    CloseServiceHandle(scm);
    return status.dwCurrentState;
}

int ServiceExists(int n)
{
    SC_HANDLE scm = OpenSCManagerA(NULL, NULL, SC_MANAGER_ALL_ACCESS);
    SC_HANDLE service = OpenServiceA(scm, ServiceName(n).c_str(), SERVICE_ALL_ACCESS);
    int exists = service != NULL;
    if (service != NULL)
        CloseServiceHandle(service);
    CloseServiceHandle(scm);
    return exists;
}

bool WaitForServiceGone(int n, DWORD timeoutMs)
{
    DWORD start = GetTickCount();
    while (ServiceExists(n)) {
        if (GetTickCount() - start >= timeoutMs)
            return false;
        Sleep(20);
    }
    return true;
}

DWORD WaitForServiceState(int n, DWORD state, DWORD timeoutMs)
{
    DWORD start = GetTickCount();
    DWORD current;
    while ((current = ServiceState(n)) != state && GetTickCount() - start < timeoutMs)
        Sleep(20);
    return current;
}

void RemoveInstanceFromSystem(int n)
{
    SC_HANDLE scm = OpenSCManagerA(NULL, NULL, SC_MANAGER_ALL_ACCESS);
    SC_HANDLE service = OpenServiceA(scm, ServiceName(n).c_str(), SERVICE_ALL_ACCESS);
    if (service != NULL) {
        SERVICE_STATUS status;
        if (QueryServiceStatus(service, &status) && status.dwCurrentState != SERVICE_STOPPED) {
            ControlService(service, SERVICE_CONTROL_STOP, &status);
            WaitForServiceState(n, SERVICE_STOPPED, 10000);
        }
        DeleteService(service);
        CloseServiceHandle(service);
    }
    CloseServiceHandle(scm);
    RegDeleteTreeA(HKEY_LOCAL_MACHINE, ("SYSTEM\\CurrentControlSet\\Services\\" + ServiceName(n)).c_str());
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, EventSourceKeyPath(n).c_str());
}

void RemoveAllInstancesFromSystem()
{
    for (int n = 1; n <= MAX_INSTANCES; n++)
        RemoveInstanceFromSystem(n);
}

void InstallService(int n, const std::string &commandLine, DWORD startType)
{
    SC_HANDLE scm = OpenSCManagerA(NULL, NULL, SC_MANAGER_ALL_ACCESS);
    char display[32];
    snprintf(display, sizeof display, "Tallyline (%d)", n);
    SC_HANDLE service = CreateServiceA(scm, ServiceName(n).c_str(), display, SERVICE_ALL_ACCESS,
                                       SERVICE_WIN32_OWN_PROCESS, startType, SERVICE_ERROR_NORMAL,
                                       commandLine.c_str(), NULL, NULL, NULL, NULL, NULL);
    ASSERT_TRUE(service != NULL) << "CreateServiceA " << GetLastError();
    CloseServiceHandle(service);
    CloseServiceHandle(scm);
    HKEY key;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_LOCAL_MACHINE, PortKeyPath(n).c_str(), 0, NULL, 0,
                                             KEY_ALL_ACCESS, NULL, &key, NULL));
    RegCloseKey(key);
}

void ClientSystemTest::SetUp()
{
    ShowMessageBox = RecordMessage;
    Messages = RecordedMessages{0, "", "", 0};
    CloseServiceHandles();
    memset(InstanceTable, 0, sizeof InstanceTable);
    SettingsModified = 0;
    RemoveAllInstancesFromSystem();
    // As after LoadInstances: the program always holds the connection.
    ASSERT_TRUE(ConnectServiceManager());
}

void ClientSystemTest::TearDown()
{
    CloseServiceHandles();
    memset(InstanceTable, 0, sizeof InstanceTable);
    RemoveAllInstancesFromSystem();
}
