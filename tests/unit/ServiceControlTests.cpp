// Registration, control, Restart, deletion and "/uninstall" against the real
// Service Control Manager of the Wine session.
#include "ClientTestSupport.h"

#include <string.h>

#include <string>
#include <vector>

static std::string SlowServiceCommand(int stopDelayMs)
{
    char delay[16];
    snprintf(delay, sizeof delay, " %d", stopDelayMs);
    return ProgramFolder() + "slowsvc.exe" + delay;
}

static QUERY_SERVICE_CONFIGA *ServiceConfig(SC_HANDLE service)
{
    static BYTE buffer[8192];
    DWORD needed;
    if (!QueryServiceConfigA(service, (QUERY_SERVICE_CONFIGA *)buffer, sizeof buffer, &needed))
        return NULL;
    return (QUERY_SERVICE_CONFIGA *)buffer;
}

static std::string ReadKeyString(const std::string &path, const char *name, DWORD *type)
{
    char buffer[MAX_PATH + 8] = "";
    DWORD size = sizeof buffer;
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return "<no key>";
    RegQueryValueExA(key, name, NULL, type, (BYTE *)buffer, &size);
    RegCloseKey(key);
    return buffer;
}

typedef ClientSystemTest ServiceControl;

TEST_F(ServiceControl, RegisterServiceCreatesTheNamedServiceBesideTheProgram)
{
    ASSERT_TRUE(ConnectServiceManager());
    SetNewInstanceDefaults(&InstanceTable[7], 7);
    SC_HANDLE service = RegisterService(7);
    ASSERT_TRUE(service != NULL);
    QUERY_SERVICE_CONFIGA *config = ServiceConfig(service);
    ASSERT_TRUE(config != NULL);
    EXPECT_STREQ("Tallyline (7)", config->lpDisplayName);
    EXPECT_EQ(ProgramFolder() + "tallysvc.exe", std::string(config->lpBinaryPathName));
    EXPECT_EQ((DWORD)SERVICE_WIN32_OWN_PROCESS, config->dwServiceType & 0xFF);
    EXPECT_EQ((DWORD)SERVICE_DEMAND_START, config->dwStartType);
    EXPECT_EQ((DWORD)SERVICE_ERROR_NORMAL, config->dwErrorControl);
    EXPECT_STREQ("LocalSystem", config->lpServiceStartName);
    EXPECT_TRUE(KeyExists(ParametersKeyPath(7)));
    EXPECT_TRUE(KeyExists(PortKeyPath(7)));
    CloseServiceHandle(service);

    SetNewInstanceDefaults(&InstanceTable[8], 8);
    InstanceTable[8].AutoStart = 1;
    service = RegisterService(8);
    ASSERT_TRUE(service != NULL);
    EXPECT_EQ((DWORD)SERVICE_AUTO_START, ServiceConfig(service)->dwStartType);
    CloseServiceHandle(service);

    // An existing service is taken as it is; its keys are made again.
    RegDeleteTreeA(HKEY_LOCAL_MACHINE, ParametersKeyPath(7).c_str());
    ASSERT_FALSE(KeyExists(ParametersKeyPath(7)));
    InstanceTable[7].AutoStart = 1;
    service = RegisterService(7);
    ASSERT_TRUE(service != NULL);
    EXPECT_EQ((DWORD)SERVICE_DEMAND_START, ServiceConfig(service)->dwStartType);
    EXPECT_TRUE(KeyExists(PortKeyPath(7)));
    CloseServiceHandle(service);
}

TEST_F(ServiceControl, RegistrationMakesTheEventSourceShowTheServiceText)
{
    ASSERT_TRUE(ConnectServiceManager());
    SetNewInstanceDefaults(&InstanceTable[3], 3);
    SC_HANDLE service = RegisterService(3);
    ASSERT_TRUE(service != NULL);
    CloseServiceHandle(service);

    DWORD type = 0;
    std::string file = ReadKeyString(EventSourceKeyPath(3), "EventMessageFile", &type);
    EXPECT_EQ(ProgramFolder() + "tallysvc.exe", file);
    EXPECT_EQ((DWORD)REG_EXPAND_SZ, type);
    HKEY key;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, EventSourceKeyPath(3).c_str(), 0, KEY_READ, &key));
    DWORD types = 0, size = 4;
    RegQueryValueExA(key, "TypesSupported", NULL, NULL, (BYTE *)&types, &size);
    RegCloseKey(key);
    EXPECT_EQ(7u, types);

    // The registered file's message table turns the service's one event
    // identifier into its insertion string, as Event Viewer would.
    HMODULE messages = LoadLibraryExA(file.c_str(), NULL, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_TRUE(messages != NULL);
    const char *insertion = "Com port could not be opened, service stopping";
    DWORD_PTR arguments[1] = {(DWORD_PTR)insertion};
    char text[256] = "";
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY, messages,
                                  0xC0001000, 0, text, sizeof text, (va_list *)arguments);
    FreeLibrary(messages);
    EXPECT_GT(length, 0u);
    EXPECT_EQ(std::string(insertion) + "\r\n", std::string(text));
}

TEST(ServiceProgramPath, IsQuotedWhenTheFolderHasABlank)
{
    char path[MAX_PATH + 3];
    EXPECT_TRUE(FormatServiceProgramPath("C:\\Program Files\\Tallyline\\client.exe", path, sizeof path, 1));
    EXPECT_STREQ("\"C:\\Program Files\\Tallyline\\tallysvc.exe\"", path);
    EXPECT_TRUE(FormatServiceProgramPath("C:\\Program Files\\Tallyline\\client.exe", path, sizeof path, 0));
    EXPECT_STREQ("C:\\Program Files\\Tallyline\\tallysvc.exe", path);
    EXPECT_TRUE(FormatServiceProgramPath("C:\\Tools\\client.exe", path, sizeof path, 1));
    EXPECT_STREQ("C:\\Tools\\tallysvc.exe", path);
    EXPECT_FALSE(FormatServiceProgramPath("client.exe", path, sizeof path, 1));
    char small[16];
    EXPECT_FALSE(FormatServiceProgramPath("C:\\Program Files\\client.exe", small, sizeof small, 1));
    EXPECT_STREQ("", small);
}

TEST(ServiceStateText, NamesTheSevenStatesAndNothingElse)
{
    const char *expected[] = {"", "Stopped", "Starting", "Stopping", "Running", "Continuing", "Pausing", "Paused", ""};
    for (DWORD state = 0; state <= 8; state++)
        EXPECT_STREQ(expected[state], ServiceStateText(state)) << state;
    EXPECT_STREQ("", ServiceStateText(0xFFFFFFFF));
}

TEST(UninstallSwitch, IsTheFirstTenCharactersExactly)
{
    EXPECT_TRUE(IsUninstallCommand("/uninstall"));
    EXPECT_TRUE(IsUninstallCommand("/uninstallX"));
    EXPECT_TRUE(IsUninstallCommand("/uninstall now"));
    EXPECT_FALSE(IsUninstallCommand("/Uninstall"));
    EXPECT_FALSE(IsUninstallCommand("/uninstal"));
    EXPECT_FALSE(IsUninstallCommand(""));
    EXPECT_FALSE(IsUninstallCommand(NULL));
}

TEST_F(ServiceControl, UninstallDeletesEveryInstalledService)
{
    InstallService(1, SlowServiceCommand(0));
    InstallService(3, SlowServiceCommand(0));
    ASSERT_TRUE(ConnectServiceManager());
    for (int n : {1, 3}) {
        SetNewInstanceDefaults(&InstanceTable[n], n);
        SC_HANDLE service = RegisterService(n);   // takes the service over, registers its event source
        CloseServiceHandle(service);
    }
    CloseServiceHandles();
    memset(InstanceTable, 0, sizeof InstanceTable);

    EXPECT_EQ(2, UninstallServices());
    EXPECT_FALSE(ServiceExists(1));
    EXPECT_FALSE(ServiceExists(3));
    EXPECT_FALSE(KeyExists(EventSourceKeyPath(1)));
    EXPECT_TRUE(ScmHandle == NULL);
    EXPECT_EQ(0, Messages.Count);
    // Nothing left: a second run finds nothing.
    memset(InstanceTable, 0, sizeof InstanceTable);
    EXPECT_EQ(0, UninstallServices());
}

TEST_F(ServiceControl, StopPauseAndContinueKeepTheReturnedStatus)
{
    InstallService(4, SlowServiceCommand(0));
    ASSERT_EQ(1, LoadInstances());
    int numbers[2] = {4, 5};
    SetNewInstanceDefaults(&InstanceTable[5], 5);   // no service yet: ignored
    SaveFailures failures = {0, {0}};
    StartInstances(numbers, 1, &failures);
    EXPECT_EQ(0, failures.Count);
    ASSERT_EQ((DWORD)SERVICE_RUNNING, WaitForServiceState(4, SERVICE_RUNNING, 5000));

    PauseInstances(numbers, 2);
    EXPECT_EQ((DWORD)SERVICE_PAUSED, WaitForServiceState(4, SERVICE_PAUSED, 5000));
    EXPECT_NE(0u, InstanceTable[4].LastStatus.dwCurrentState);
    ContinueInstances(numbers, 2);
    EXPECT_EQ((DWORD)SERVICE_RUNNING, WaitForServiceState(4, SERVICE_RUNNING, 5000));
    StopInstances(numbers, 2);
    EXPECT_EQ((DWORD)SERVICE_STOPPED, WaitForServiceState(4, SERVICE_STOPPED, 5000));
    EXPECT_FALSE(ServiceExists(5));
}

TEST_F(ServiceControl, StartRegistersAndSavesANewInstanceFirst)
{
    ASSERT_TRUE(ConnectServiceManager());
    SetNewInstanceDefaults(&InstanceTable[2], 2);
    SetNewInstanceDefaults(&InstanceTable[3], 3);
    int numbers[1] = {2};
    SaveFailures failures = {0, {0}};
    StartInstances(numbers, 1, &failures);
    EXPECT_EQ(0, failures.Count);
    EXPECT_TRUE(ServiceExists(2));
    EXPECT_TRUE(KeyExists(PortKeyPath(2)));
    EXPECT_FALSE(ServiceExists(3));
    // tallysvc has no COM2 here: it starts and stops again on its own.
    EXPECT_EQ((DWORD)SERVICE_STOPPED, WaitForServiceState(2, SERVICE_STOPPED, 15000));
}

TEST_F(ServiceControl, RestartWaitsForASlowServiceToStopBeforeStartingIt)
{
    // Stopping takes 1.5 s: a fixed 100 ms pause would find it still
    // stopping, its start refused, and leave it stopped.
    InstallService(9, SlowServiceCommand(1500));
    ASSERT_EQ(1, LoadInstances());
    int numbers[1] = {9};
    SaveFailures failures = {0, {0}};
    StartInstances(numbers, 1, &failures);
    ASSERT_EQ((DWORD)SERVICE_RUNNING, WaitForServiceState(9, SERVICE_RUNNING, 5000));

    int pumped = 0;
    static int *pumpCount;
    pumpCount = &pumped;
    DWORD started = GetTickCount();
    EXPECT_EQ(1, RestartInstances(numbers, 1, &failures, [] { (*pumpCount)++; Sleep(20); }));
    EXPECT_GE(GetTickCount() - started, 1400u);
    EXPECT_GT(pumped, 10);   // the caller's windows were kept alive meanwhile
    EXPECT_EQ((DWORD)SERVICE_RUNNING, WaitForServiceState(9, SERVICE_RUNNING, 5000));
}

TEST_F(ServiceControl, TheWaitForAStopIsBounded)
{
    InstallService(10, SlowServiceCommand(4000));
    ASSERT_EQ(1, LoadInstances());
    int numbers[1] = {10};
    SaveFailures failures = {0, {0}};
    StartInstances(numbers, 1, &failures);
    ASSERT_EQ((DWORD)SERVICE_RUNNING, WaitForServiceState(10, SERVICE_RUNNING, 5000));
    StopInstances(numbers, 1);
    DWORD started = GetTickCount();
    EXPECT_EQ(0, WaitForServicesStopped(numbers, 1, 800, NULL));
    DWORD waited = GetTickCount() - started;
    EXPECT_GE(waited, 790u);
    EXPECT_LT(waited, 2500u);
}

static BOOL WINAPI RefuseDelete(SC_HANDLE)
{
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
}

TEST_F(ServiceControl, UninstallKeepsTheEventSourceOfAServiceItCouldNotDelete)
{
    InstallService(2, SlowServiceCommand(0));
    SetNewInstanceDefaults(&InstanceTable[2], 2);
    CloseServiceHandle(RegisterService(2));
    CloseServiceHandles();
    memset(InstanceTable, 0, sizeof InstanceTable);
    ASSERT_TRUE(KeyExists(EventSourceKeyPath(2)));

    DeleteServiceCall = RefuseDelete;
    int deleted = UninstallServices();
    DeleteServiceCall = DeleteService;
    EXPECT_EQ(0, deleted);
    EXPECT_TRUE(ServiceExists(2));
    // Still registered, so Event Viewer must still find its messages.
    EXPECT_TRUE(KeyExists(EventSourceKeyPath(2)));
}

TEST_F(ServiceControl, AStatusThatCannotBeReadKeepsTheLastOneSeen)
{
    InstallService(6, SlowServiceCommand(0));
    SetNewInstanceDefaults(&InstanceTable[6], 6);
    // A handle without the right to query: every status read fails.
    InstanceTable[6].ServiceHandle = OpenServiceA(ScmHandle, "Quillbox6", SERVICE_START);
    ASSERT_TRUE(InstanceTable[6].ServiceHandle != NULL);
    InstanceTable[6].LastStatus.dwCurrentState = SERVICE_RUNNING;

    SERVICE_STATUS probe;
    ASSERT_FALSE(QueryServiceStatus(InstanceTable[6].ServiceHandle, &probe));
    EXPECT_FALSE(QueryInstanceStatus(6));
    // Without the enumeration every row takes the single query.
    SC_HANDLE scm = ScmHandle;
    ScmHandle = NULL;
    RefreshServiceStates();
    ScmHandle = scm;
    EXPECT_EQ((DWORD)SERVICE_RUNNING, InstanceTable[6].LastStatus.dwCurrentState);
}

TEST_F(ServiceControl, AControlTheServiceRefusesStillRecordsTheStatusReturned)
{
    InstallService(11, SlowServiceCommand(0));
    ASSERT_EQ(1, LoadInstances());
    ASSERT_EQ((DWORD)SERVICE_STOPPED, InstanceTable[11].LastStatus.dwCurrentState);
    // The list last saw it running; a pause on the stopped service fails
    // and the status it returns corrects the row.
    InstanceTable[11].LastStatus.dwCurrentState = SERVICE_RUNNING;
    int numbers[1] = {11};
    PauseInstances(numbers, 1);
    EXPECT_EQ((DWORD)SERVICE_STOPPED, InstanceTable[11].LastStatus.dwCurrentState);
}

// Wine's service manager keeps no recovery actions to read back: the calls
// are recorded on their way to it.
static std::vector<std::string> RecoveryCalls;

static BOOL WINAPI RecordRecovery(SC_HANDLE service, DWORD level, LPVOID info)
{
    std::string text = "non-crash " + std::to_string(((SERVICE_FAILURE_ACTIONS_FLAG *)info)->fFailureActionsOnNonCrashFailures);
    const SERVICE_FAILURE_ACTIONSA *actions = (const SERVICE_FAILURE_ACTIONSA *)info;
    if (level == SERVICE_CONFIG_FAILURE_ACTIONS)
        text = "reset " + std::to_string(actions->dwResetPeriod);
    for (DWORD i = 0; level == SERVICE_CONFIG_FAILURE_ACTIONS && i < actions->cActions; i++)
        text += ", " + std::to_string(actions->lpsaActions[i].Type) + " after " + std::to_string(actions->lpsaActions[i].Delay);
    RecoveryCalls.push_back(text);
    return ChangeServiceConfig2A(service, level, info);
}

TEST_F(ServiceControl, EverySaveGivesTheServiceItsRecoveryActions)
{
    RecoveryCalls.clear();
    ChangeServiceConfig2Call = RecordRecovery;
    SetNewInstanceDefaults(&InstanceTable[4], 4);
    SaveFailures failures = {0, {0}};
    SaveInstances(0, &failures);   // registers Quillbox4
    SaveInstances(0, &failures);   // an existing service
    ChangeServiceConfig2Call = ChangeServiceConfig2A;
    // Restart after 60 s, 60 s, then every 300 s; also after a failure the
    // service reports. Wine refuses the flag: no failure of the save.
    const std::string actions = "reset 86400, 1 after 60000, 1 after 60000, 1 after 300000";
    EXPECT_EQ(RecoveryCalls, (std::vector<std::string>{actions, "non-crash 1", actions, "non-crash 1"}));
    EXPECT_EQ(0, failures.Count);
}

TEST_F(ServiceControl, DeletingARunningInstanceStopsItsServiceBeforeDeletingIt)
{
    // Deleted while running, it would keep the port and log on, unlisted.
    InstallService(12, SlowServiceCommand(1500));
    ASSERT_EQ(1, LoadInstances());
    int numbers[1] = {12};
    SaveFailures failures = {0, {0}};
    StartInstances(numbers, 1, &failures);
    ASSERT_EQ((DWORD)SERVICE_RUNNING, WaitForServiceState(12, SERVICE_RUNNING, 5000));
    InstanceTable[12].InUse = 0;   // Delete in the list

    static int pumped;
    pumped = 0;
    EXPECT_EQ(0, SaveInstances(0, &failures, [] { pumped++; Sleep(20); }));
    EXPECT_EQ(0, failures.Count);
    EXPECT_GT(pumped, 10);   // the windows were kept painted while it stopped
    EXPECT_FALSE(ServiceExists(12));
}
