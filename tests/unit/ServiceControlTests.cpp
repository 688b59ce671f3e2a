// Registration, control, Restart, deletion and "/uninstall" against the real
// Service Control Manager of the Wine session.
#include "tests/unit/ClientTestSupport.h"

#include <aclapi.h>
#include <sddl.h>
#include <string.h>

#include <string>
#include <vector>

#include "client/instances/InstanceRestart.h"
#include "client/instances/ProgramFolder.h"

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

TEST(UninstallSwitch, IsTheFirstTenCharactersInAnyCase)
{
    EXPECT_TRUE(IsUninstallCommand("/uninstall"));
    EXPECT_TRUE(IsUninstallCommand("/uninstallX"));
    EXPECT_TRUE(IsUninstallCommand("/uninstall now"));
    EXPECT_TRUE(IsUninstallCommand("/Uninstall"));
    EXPECT_TRUE(IsUninstallCommand("-UNINSTALL"));
    EXPECT_FALSE(IsUninstallCommand("uninstall"));
    EXPECT_FALSE(IsUninstallCommand("/uninstal"));
    EXPECT_FALSE(IsUninstallCommand(""));
    EXPECT_FALSE(IsUninstallCommand(NULL));
}

static SC_HANDLE WINAPI Quillbox3Refused(SC_HANDLE manager, LPCSTR name, DWORD access)
{
    if (strcmp(name, "Quillbox3") != 0)
        return OpenServiceA(manager, name, access);
    SetLastError(ERROR_ACCESS_DENIED);
    return NULL;
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

    // Quillbox2's parameters cannot be read (no Parameters key), Quillbox3
    // cannot be opened at first: then nothing is deleted, as the uninstaller
    // would go on to delete the program they run.
    InstallService(2, SlowServiceCommand(0));
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, PortKeyPath(2).c_str());
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, ParametersKeyPath(2).c_str());
    OpenServiceCall = Quillbox3Refused;
    int left = UninstallServices();
    OpenServiceCall = OpenServiceA;
    EXPECT_EQ(1, left);
    for (int n : {1, 2, 3})
        EXPECT_TRUE(ServiceExists(n)) << n;

    memset(InstanceTable, 0, sizeof InstanceTable);
    EXPECT_EQ(0, UninstallServices());   // none failed
    for (int n : {1, 2, 3})
        EXPECT_FALSE(ServiceExists(n)) << n;
    EXPECT_FALSE(KeyExists(EventSourceKeyPath(1)));
    EXPECT_TRUE(ScmHandle == NULL);
    EXPECT_EQ(0, Messages.Count);
    // Nothing left: a second run finds nothing.
    memset(InstanceTable, 0, sizeof InstanceTable);
    EXPECT_EQ(0, UninstallServices());
}

// The service manager's database locked for the first `LockedStarts` starts.
static int LockedStarts, StartsTried;
static BOOL WINAPI StartWhileLocked(SC_HANDLE service, DWORD argc, LPCSTR *argv)
{
    if (StartsTried++ < LockedStarts) {
        SetLastError(ERROR_SERVICE_DATABASE_LOCKED);
        return FALSE;
    }
    return StartServiceA(service, argc, argv);
}

TEST_F(ServiceControl, AStartWaitsOutALockedDatabaseAndStopPauseAndContinueKeepTheReturnedStatus)
{
    InstallService(4, SlowServiceCommand(0));
    ASSERT_EQ(1, LoadInstances());
    int numbers[2] = {4, 5};
    SetNewInstanceDefaults(&InstanceTable[5], 5);   // no service yet: ignored
    SaveFailures failures = {0, {0}};
    // Locked for good: given up within its bound, saying why.
    StartServiceCall = StartWhileLocked;
    StartLockedWaitMs = 600;
    LockedStarts = 1000, StartsTried = 0;
    DWORD began = GetTickCount();
    EXPECT_FALSE(StartInstanceService(InstanceTable[4].ServiceHandle));
    EXPECT_EQ((DWORD)ERROR_SERVICE_DATABASE_LOCKED, GetLastError());
    EXPECT_LT(GetTickCount() - began, 2000u);
    EXPECT_GE(StartsTried, 3);
    // Locked for a moment, as when another program starts a service.
    LockedStarts = 2, StartsTried = 0;
    StartInstances(numbers, 1, &failures);
    StartServiceCall = StartServiceA;
    StartLockedWaitMs = 30000;
    EXPECT_EQ(3, StartsTried);
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
    int failed = UninstallServices();
    DeleteServiceCall = DeleteService;
    // Counted, so that "/uninstall" ends non-zero and the uninstaller keeps
    // the program this service runs.
    EXPECT_EQ(1, failed);
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

static int WritableBy(const char *sddl, const char *self = NULL)
{
    PSECURITY_DESCRIPTOR sd = NULL;
    PSID selfSid = NULL;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl, SDDL_REVISION_1, &sd, NULL) ||
        (self != NULL && !ConvertStringSidToSidA(self, &selfSid)))
        return -1;
    int writable = SecurityLetsOthersWrite(sd, selfSid);
    LocalFree(sd);
    LocalFree(selfSid);
    return writable;
}

TEST(ProgramFolder, OnlySystemAdministratorsAndTheInstallerMayChangeIt)
{
    EXPECT_EQ(0, WritableBy(PROTECTED_FOLDER_SDDL));
    // Program Files: TrustedInstaller owns it; CREATOR OWNER only for what
    // is created inside (inherit-only).
    const char *installer = "S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";
    std::string programFiles = std::string("O:") + installer + "D:PAI(A;;FA;;;" + installer +
                               ")(A;OICIIO;GA;;;CO)(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)";
    EXPECT_EQ(0, WritableBy(programFiles.c_str()));
    // A folder made outside Program Files: Authenticated Users may modify.
    EXPECT_EQ(1, WritableBy("O:BAD:AI(A;OICIID;FA;;;BA)(A;OICIID;0x1301bf;;;AU)"));
    EXPECT_EQ(0, WritableBy("O:BAD:(A;OICIIO;0x1301bf;;;AU)(A;OICI;FA;;;BA)"));
    EXPECT_EQ(1, WritableBy("O:BAD:(A;;0x2;;;BU)"));        // add a file
    EXPECT_EQ(1, WritableBy("O:BAD:(A;;0x10000;;;WD)"));    // delete
    EXPECT_EQ(1, WritableBy("O:BAD:(A;;WD;;;BU)"));         // re-secure
    // A null DACL (Wine's SDDL parser makes "D:NO_ACCESS_CONTROL" an empty one).
    SECURITY_DESCRIPTOR open;
    BYTE administrators[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof administrators;
    ASSERT_TRUE(CreateWellKnownSid(WinBuiltinAdministratorsSid, NULL, administrators, &size));
    InitializeSecurityDescriptor(&open, SECURITY_DESCRIPTOR_REVISION);
    SetSecurityDescriptorOwner(&open, administrators, FALSE);
    SetSecurityDescriptorDacl(&open, TRUE, NULL, FALSE);
    EXPECT_EQ(1, SecurityLetsOthersWrite(&open, NULL));
    // A user's own folder, or one a user owns: the owner may rewrite the DACL.
    EXPECT_EQ(1, WritableBy("O:S-1-5-21-1-2-3-1001D:(A;OICI;FA;;;BA)"));
    EXPECT_EQ(0, WritableBy("O:S-1-5-21-1-2-3-500D:(A;OICI;FA;;;S-1-5-21-1-2-3-500)", "S-1-5-21-1-2-3-500"));
}

// A folder in the temporary folder, and the files named, that everyone may
// change (as a zip unpacked by a user leaves them).
static std::string OpenFolder(const char *name, std::initializer_list<const char *> files = {})
{
    char temp[MAX_PATH];
    GetTempPathA(sizeof temp, temp);
    std::string folder = std::string(temp) + name;
    CreateDirectoryA(folder.c_str(), NULL);
    PSECURITY_DESCRIPTOR open = NULL;
    ConvertStringSecurityDescriptorToSecurityDescriptorA("D:(A;OICI;FA;;;WD)", SDDL_REVISION_1, &open, NULL);
    BOOL present, defaulted;
    PACL dacl = NULL;
    GetSecurityDescriptorDacl(open, &present, &dacl, &defaulted);
    SetNamedSecurityInfoA((LPSTR)folder.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, NULL, NULL, dacl, NULL);
    for (const char *file : files) {
        std::string path = folder + "\\" + file;
        CloseHandle(CreateFileA(path.c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL));
        SetNamedSecurityInfoA((LPSTR)path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, NULL, NULL, dacl, NULL);
    }
    LocalFree(open);
    return folder;
}

TEST(ProgramFolder, AFolderEveryoneMayChangeIsProtectedWithEveryFileAndReadsSoAfterwards)
{
    std::string folder = OpenFolder("tally-open-folder", {"tallysvc.exe", "client.exe"});
    std::string program = folder + "\\tallysvc.exe";
    DWORD error = 0;
    ASSERT_EQ(1, PathLetsOthersWrite(folder.c_str(), &error));
    ASSERT_EQ(1, PathLetsOthersWrite((folder + "\\client.exe").c_str(), &error));

    char reason[1024] = "";
    EXPECT_TRUE(SecureProgramFolder(folder.c_str(), program.c_str(), reason, sizeof reason)) << reason;
    for (const std::string &path : {folder, program, folder + "\\client.exe"})
        EXPECT_EQ(0, PathLetsOthersWrite(path.c_str(), &error)) << path;
    DeleteFileA(program.c_str());
    DeleteFileA((folder + "\\client.exe").c_str());
    RemoveDirectoryA(folder.c_str());
}

TEST_F(ServiceControl, SetupStopsEveryInstanceAndStartsItAgainOnThisFolder)
{
    char temp[MAX_PATH];
    GetTempPathA(sizeof temp, temp);
    std::string list = std::string(temp) + "tally-stopped.ini";
    InstallService(1, SlowServiceCommand(0));
    InstallService(2, SlowServiceCommand(0));
    InstallService(3, "\"C:\\Unpacked Zip\\tallysvc.exe\"");   // stopped, another copy
    ASSERT_EQ(3, LoadInstances());
    for (int n : {1, 2}) {
        ASSERT_TRUE(StartServiceA(InstanceTable[n].ServiceHandle, 0, NULL));
        ASSERT_EQ((DWORD)SERVICE_RUNNING, WaitForServiceState(n, SERVICE_RUNNING, 5000));
    }
    int paused = 2;
    PauseInstances(&paused, 1);
    ASSERT_EQ((DWORD)SERVICE_PAUSED, WaitForServiceState(2, SERVICE_PAUSED, 5000));
    CloseServiceHandles();

    EXPECT_EQ(0, StopAllInstances(list.c_str(), NULL));
    EXPECT_EQ((DWORD)SERVICE_STOPPED, ServiceState(1));
    EXPECT_EQ((DWORD)SERVICE_STOPPED, ServiceState(2));
    char value[4];
    GetPrivateProfileStringA("stopped", "2", "", value, sizeof value, list.c_str());
    EXPECT_STREQ("P", value);

    EXPECT_EQ(0, StartStoppedInstances(list.c_str(), NULL));
    EXPECT_EQ((DWORD)SERVICE_RUNNING, WaitForServiceState(1, SERVICE_RUNNING, 5000));
    EXPECT_EQ((DWORD)SERVICE_PAUSED, WaitForServiceState(2, SERVICE_PAUSED, 5000));
    EXPECT_EQ((DWORD)INVALID_FILE_ATTRIBUTES, GetFileAttributesA(list.c_str()));
    // The other copy's instance now runs the program beside this one and
    // stays stopped; the test services (not tallysvc.exe) are left alone.
    ASSERT_TRUE(ConnectServiceManager());
    for (int n : {1, 3}) {
        SC_HANDLE service = OpenInstanceService(n);
        std::string program = ServiceConfig(service)->lpBinaryPathName;
        CloseServiceHandle(service);
        EXPECT_EQ(n == 1 ? SlowServiceCommand(0) : ProgramFolder() + "tallysvc.exe", program);
    }
    EXPECT_EQ((DWORD)SERVICE_STOPPED, ServiceState(3));

    // A list where others could change it, or put one in its place, is
    // neither written nor followed: it decides what runs as LocalSystem.
    std::string open = OpenFolder("tally-open-list") + "\\stopped.ini";
    EXPECT_EQ(INSTANCES_NOT_REACHED, StopAllInstances(open.c_str(), NULL));
    EXPECT_EQ((DWORD)SERVICE_RUNNING, ServiceState(1));
    WritePrivateProfileStringA("stopped", "3", "R", open.c_str());
    EXPECT_EQ(1, StartStoppedInstances(open.c_str(), NULL));
    EXPECT_EQ((DWORD)SERVICE_STOPPED, ServiceState(3));
    DeleteFileA(open.c_str());

    // An instance that does not start again stays listed for the next start
    // (a rollback's), which a later stop keeps too.
    InstallService(4, "C:\\Missing\\program.exe");
    WritePrivateProfileStringA("stopped", "4", "R", list.c_str());
    EXPECT_EQ(0, StopAllInstances(list.c_str(), NULL));
    EXPECT_EQ(1, StartStoppedInstances(list.c_str(), NULL));
    EXPECT_EQ((DWORD)SERVICE_RUNNING, WaitForServiceState(1, SERVICE_RUNNING, 5000));
    GetPrivateProfileStringA("stopped", "4", "", value, sizeof value, list.c_str());
    EXPECT_STREQ("R", value);
    GetPrivateProfileStringA("stopped", "1", "", value, sizeof value, list.c_str());
    EXPECT_STREQ("", value);
    DeleteFileA(list.c_str());
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
    EXPECT_TRUE(WaitForServiceGone(12, 10000));
}
