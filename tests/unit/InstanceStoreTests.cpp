// Loading, adding, saving and deleting instances against the real registry
// and Service Control Manager of the Wine session, also through the
// command line's export, import and set.
#include "tests/unit/ClientTestSupport.h"

#include <string.h>

#include "client/instances/ClientMessages.h"
#include "client/instances/ConfigurationCommands.h"
#include "client/instances/InstanceStatus.h"
#include "common/secrets/SmtpPassword.h"
#include "common/settings/StatusKey.h"

#include <aclapi.h>
#include <sddl.h>

#include <algorithm>
#include <vector>

static std::string ReadString(const std::string &path, const char *name, DWORD *type, DWORD *size)
{
    char buffer[1024] = "";
    HKEY key;
    *size = sizeof buffer;
    *type = 0;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return "<no key>";
    LONG result = RegQueryValueExA(key, name, NULL, type, (BYTE *)buffer, size);
    RegCloseKey(key);
    return result == ERROR_SUCCESS ? std::string(buffer) : std::string("<no value>");
}

static void WriteString(const std::string &path, const char *name, const std::string &text)
{
    HKEY key;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, NULL, 0, KEY_ALL_ACCESS, NULL,
                                             &key, NULL));
    RegSetValueExA(key, name, 0, REG_SZ, (const BYTE *)text.c_str(), (DWORD)text.size() + 1);
    RegCloseKey(key);
}

static void WriteNumber(const std::string &path, const char *name, DWORD value)
{
    HKEY key;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, NULL, 0, KEY_ALL_ACCESS, NULL,
                                             &key, NULL));
    RegSetValueExA(key, name, 0, REG_DWORD, (const BYTE *)&value, 4);
    RegCloseKey(key);
}

static DWORD StartType(int n)
{
    SC_HANDLE scm = OpenSCManagerA(NULL, NULL, SC_MANAGER_ALL_ACCESS);
    char name[32];
    snprintf(name, sizeof name, "Quillbox%d", n);
    SC_HANDLE service = OpenServiceA(scm, name, SERVICE_ALL_ACCESS);
    static BYTE buffer[8192];
    DWORD needed;
    DWORD type = 0xFFFF;
    if (service != NULL && QueryServiceConfigA(service, (QUERY_SERVICE_CONFIGA *)buffer, sizeof buffer, &needed))
        type = ((QUERY_SERVICE_CONFIGA *)buffer)->dwStartType;
    if (service != NULL)
        CloseServiceHandle(service);
    CloseServiceHandle(scm);
    return type;
}

static std::string Filled(char c, size_t length)
{
    return std::string(length, c);
}

// Distinct values in every parameter, strings at their full width.
static void FillDistinct(InstanceSettings *r)
{
    COPY_SETTING(r->LogFilename, ("C:\\logs\\" + Filled('L', 250) + ".log").c_str());
    COPY_SETTING(r->SmtpServer, Filled('s', 63).c_str());
    COPY_SETTING(r->SmtpToAddress, "to@example.org");
    COPY_SETTING(r->SmtpFromAddress, "from@example.org");
    r->TimestampFormat = 1;
    r->VerboseLevel = 0xF;
    r->LogRotation = 4;
    r->PauseTimeout = 12345;
    COPY_SETTING(r->PortName, "COM1234");
    r->BaudRate = 14400;
    r->ByteSize = 7;
    r->ComBufferSize = 4096;
    r->Parity = 2;
    r->StopBits = 1;
    r->Timeout = 300;
    r->WarningInterval = 60;
    COPY_SETTING(r->CustomTimeoutCmd, "cmd /c echo alarm");
    COPY_SETTING(r->NetSendUsers, Filled('u', 255).c_str());
    r->DayOfWeekMask = 0x41;
    r->StartHour = 7;
    r->StartMin = 15;
    r->EndHour = 22;
    r->EndMin = 45;
    r->FlowControl = FlowRtsCts;
    COPY_SETTING(r->Network.Source, "rfc2217://[fe80::1]:4001");
    COPY_SETTING(r->Network.AllowedSenders, "10.1.0.0/16");
}

static int SameParameters(const InstanceSettings &a, const InstanceSettings &b)
{
    for (int i = 0; i < PARAMETER_COUNT; i++)
        if (memcmp((const char *)&a + InstanceParameterOffsets[i], (const char *)&b + InstanceParameterOffsets[i],
                   RegistryParameters[i].Size) != 0)
            return 0;
    return a.FlowControl == b.FlowControl && strcmp(a.Network.Source, b.Network.Source) == 0 &&
           strcmp(a.Network.AllowedSenders, b.Network.AllowedSenders) == 0;
}

typedef ClientSystemTest InstanceStore;

TEST_F(InstanceStore, LoadFindsTheInstalledServicesAndNewTakesTheFirstGap)
{
    std::string program = ProgramFolder() + "tallysvc.exe";
    InstallService(1, program);
    InstallService(2, program, SERVICE_AUTO_START);
    InstallService(5, program);
    WriteString(PortKeyPath(5), "PortName", "COM9");
    WriteNumber(ParametersKeyPath(5), "VerboseLevel", 0xB);

    EXPECT_EQ(3, LoadInstances());
    for (int n = 1; n <= MAX_INSTANCES; n++)
        EXPECT_EQ(n == 1 || n == 2 || n == 5, InstanceTable[n].InUse) << n;
    EXPECT_TRUE(InstanceTable[5].ServiceHandle != NULL);
    EXPECT_STREQ("COM9", InstanceTable[5].PortName);
    EXPECT_EQ(0xBu, InstanceTable[5].VerboseLevel);
    EXPECT_EQ((DWORD)SERVICE_STOPPED, InstanceTable[5].LastStatus.dwCurrentState);
    EXPECT_EQ(1, InstanceTable[2].AutoStart);
    EXPECT_EQ(0, InstanceTable[1].AutoStart);

    // New: lowest free number with the defaults of a new instance.
    ASSERT_EQ(3, AddInstance(0, NULL));
    const InstanceSettings &r = InstanceTable[3];
    EXPECT_EQ(1, r.InUse);
    EXPECT_TRUE(r.ServiceHandle == NULL);
    EXPECT_EQ(0, r.AutoStart);
    EXPECT_STREQ("COM3", r.PortName);
    EXPECT_EQ(ProgramFolder() + "Quillbox3.log", std::string(r.LogFilename));
    EXPECT_EQ(2400u, r.BaudRate);
    EXPECT_EQ(8u, r.ByteSize);
    EXPECT_EQ(0u, r.Parity);
    EXPECT_EQ(0u, r.StopBits);
    EXPECT_EQ(0u, r.TimestampFormat);
    EXPECT_EQ(0u, r.LogRotation);
    EXPECT_EQ(3u, r.VerboseLevel);
    EXPECT_EQ(0u, r.Timeout);
    EXPECT_EQ(600u, r.WarningInterval);
    EXPECT_EQ(0x3Eu, r.DayOfWeekMask);
    EXPECT_EQ(9u, r.StartHour);
    EXPECT_EQ(0u, r.StartMin);
    EXPECT_EQ(18u, r.EndHour);
    EXPECT_EQ(0u, r.EndMin);
    EXPECT_EQ(0xFFFFFFFFu, r.PauseTimeout);
    EXPECT_EQ(0u, r.ComBufferSize);
    EXPECT_EQ(0, Messages.Count);
}

TEST_F(InstanceStore, NewOnAFullTableShowsTheMessageAndChangesNothing)
{
    for (int n = 1; n <= MAX_INSTANCES; n++) {
        SetNewInstanceDefaults(&InstanceTable[n], n);
        InstanceTable[n].BaudRate = 100 + n;
    }
    static InstanceSettings before[MAX_INSTANCES + 1];
    memcpy(before, InstanceTable, sizeof before);

    EXPECT_EQ(0, AddInstance(0, NULL));
    EXPECT_EQ(0, AddInstance(7, NULL));
    EXPECT_EQ(2, Messages.Count);
    EXPECT_EQ("The maximum number of services has been reached!", Messages.Text);
    EXPECT_EQ("Error", Messages.Caption);
    EXPECT_EQ((UINT)(MB_OK | MB_ICONSTOP), Messages.Type);
    EXPECT_EQ(0, memcmp(before, InstanceTable, sizeof before));

    // With one slot free, whichever it is, New takes it.
    InstanceTable[40].InUse = 0;
    EXPECT_EQ(40, AddInstance(0, NULL));
    EXPECT_STREQ("COM40", InstanceTable[40].PortName);
    EXPECT_EQ(2400u, InstanceTable[40].BaudRate);
}

TEST_F(InstanceStore, DuplicateCopiesParametersAndAutoStartButNotTheService)
{
    ASSERT_EQ(1, AddInstance(0, NULL));
    FillDistinct(&InstanceTable[1]);
    InstanceTable[1].AutoStart = 1;
    ASSERT_EQ(1, SaveInstances(1));
    ASSERT_TRUE(InstanceTable[1].ServiceHandle != NULL);
    InstanceTable[1].LastStatus.dwCurrentState = SERVICE_RUNNING;

    ASSERT_EQ(2, AddInstance(1, NULL));
    const InstanceSettings &copy = InstanceTable[2];
    EXPECT_TRUE(SameParameters(InstanceTable[1], copy));
    EXPECT_EQ(1, copy.AutoStart);
    EXPECT_EQ(1, copy.InUse);
    EXPECT_TRUE(copy.ServiceHandle == NULL);
    EXPECT_EQ(0u, copy.LastStatus.dwCurrentState);
    EXPECT_FALSE(ServiceExists(2));

    // Stopping the unsaved copy cannot touch the source's service.
    int numbers[1] = {2};
    StopInstances(numbers, 1);
    EXPECT_TRUE(InstanceTable[1].ServiceHandle != NULL);
}

TEST_F(InstanceStore, SaveAndLoadRoundTripEveryValueAndTheStartType)
{
    ASSERT_EQ(1, AddInstance(0, NULL));
    ASSERT_EQ(2, AddInstance(0, NULL));
    FillDistinct(&InstanceTable[2]);
    InstanceTable[2].AutoStart = 1;
    InstanceSettings saved = InstanceTable[2];

    SaveFailures failures = {0, {0}};
    EXPECT_EQ(2, SaveInstances(0, &failures));
    EXPECT_EQ(0, failures.Count);
    EXPECT_EQ((DWORD)SERVICE_AUTO_START, StartType(2));
    EXPECT_EQ((DWORD)SERVICE_DEMAND_START, StartType(1));

    // Strings as REG_SZ with their terminating zero, numbers as 4-byte DWORDs,
    // each in its key.
    for (int i = 0; i < PARAMETER_COUNT; i++) {
        const ParameterSpec &spec = RegistryParameters[i];
        std::string path = spec.Key == InParametersKey ? ParametersKeyPath(2) : PortKeyPath(2);
        DWORD type, size;
        std::string text = ReadString(path, spec.Name, &type, &size);
        EXPECT_EQ(spec.Type, type) << spec.Name;
        const char *member = (const char *)&saved + InstanceParameterOffsets[i];
        if (spec.Type == REG_SZ) {
            EXPECT_EQ(std::string(member), text) << spec.Name;
            EXPECT_EQ(strlen(member) + 1, size) << spec.Name;
        } else {
            EXPECT_EQ(4u, size) << spec.Name;
        }
    }

    CloseServiceHandles();
    memset(InstanceTable, 0, sizeof InstanceTable);
    EXPECT_EQ(2, LoadInstances());
    EXPECT_TRUE(SameParameters(saved, InstanceTable[2]));
    EXPECT_EQ(1, InstanceTable[2].AutoStart);
    EXPECT_EQ(0, InstanceTable[1].AutoStart);

    // Start Automatically toggled off reaches the service at the next save.
    InstanceTable[2].AutoStart = 0;
    EXPECT_EQ(2, SaveInstances(0));
    EXPECT_EQ((DWORD)SERVICE_DEMAND_START, StartType(2));

    // Disabled by an administrator: kept through saves (shown as "No")
    // until Start Automatically is chosen.
    ASSERT_TRUE(ChangeServiceConfigA(InstanceTable[2].ServiceHandle, SERVICE_NO_CHANGE, SERVICE_DISABLED,
                                     SERVICE_NO_CHANGE, NULL, NULL, NULL, NULL, NULL, NULL, NULL));
    CloseServiceHandles();
    memset(InstanceTable, 0, sizeof InstanceTable);
    ASSERT_EQ(2, LoadInstances());
    EXPECT_EQ(0, InstanceTable[2].AutoStart);
    EXPECT_EQ(2, SaveInstances(0));
    EXPECT_EQ((DWORD)SERVICE_DISABLED, StartType(2));
    InstanceTable[2].AutoStart = 1;
    EXPECT_EQ(2, SaveInstances(0));
    EXPECT_EQ((DWORD)SERVICE_AUTO_START, StartType(2));
}

// The key's DACL in SDDL.
static std::string Dacl(const std::string &path)
{
    PSECURITY_DESCRIPTOR descriptor = NULL;
    char *text = NULL;
    std::string dacl = GetNamedSecurityInfoA(("MACHINE\\" + path).c_str(), SE_REGISTRY_KEY, DACL_SECURITY_INFORMATION,
                                             NULL, NULL, NULL, NULL, &descriptor) == ERROR_SUCCESS &&
                               ConvertSecurityDescriptorToStringSecurityDescriptorA(
                                   descriptor, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &text, NULL)
                           ? text : "<none>";
    LocalFree(text);
    LocalFree(descriptor);
    return dacl;
}

TEST_F(InstanceStore, SavedKeysAreForSystemAndAdministratorsOnlyAlsoThoseOfAnOlderVersion)
{
    InstallService(1, ProgramFolder() + "tallysvc.exe");   // keys with the default security
    ASSERT_EQ(1, LoadInstances());
    ASSERT_EQ(2, AddInstance(0, NULL));
    SaveFailures failures = {0, {0}};
    ASSERT_EQ(2, SaveInstances(0, &failures));
    EXPECT_EQ(0, failures.Count);
    for (int n = 1; n <= 2; n++) {
        EXPECT_EQ("D:P(A;CI;KA;;;SY)(A;CI;KA;;;BA)", Dacl(ParametersKeyPath(n))) << n;
        EXPECT_EQ("D:P(A;CI;KA;;;SY)(A;CI;KA;;;BA)", Dacl(PortKeyPath(n))) << n;
    }
}

static SC_HANDLE WINAPI NoServiceManager(LPCSTR, LPCSTR, DWORD)
{
    SetLastError(ERROR_ACCESS_DENIED);
    return NULL;
}

static SC_HANDLE WINAPI Quillbox1Refused(SC_HANDLE manager, LPCSTR name, DWORD access)
{
    if (strcmp(name, "Quillbox1") != 0)
        return OpenServiceA(manager, name, access);
    SetLastError(ERROR_ACCESS_DENIED);
    return NULL;
}

TEST_F(InstanceStore, ALoadThatFailsIsNoFirstRunAndNothingIsWrittenOverItsKeys)
{
    InstallService(1, ProgramFolder() + "tallysvc.exe");
    WriteString(PortKeyPath(1), "PortName", "COM9");
    SaveFailures unreadable = {0, {0}};
    SaveFailures failures = {0, {0}};
    DWORD type, size;

    CloseServiceHandles();
    OpenServiceManagerCall = NoServiceManager;
    EXPECT_FALSE(OpenInstances(&unreadable, &failures));
    OpenServiceManagerCall = OpenSCManagerA;
    EXPECT_EQ(SCM_NOT_OPENED_TEXT, Messages.Text);
    EXPECT_EQ(0, unreadable.Count);
    // New takes a number that has no keys; its save writes over nothing.
    EXPECT_EQ(2, AddInstance(0, NULL));
    SaveInstances(0);
    EXPECT_EQ("COM9", ReadString(PortKeyPath(1), "PortName", &type, &size));

    // A service that is there but cannot be opened: the same, and it is named.
    memset(InstanceTable, 0, sizeof InstanceTable);
    OpenServiceCall = Quillbox1Refused;
    EXPECT_FALSE(OpenInstances(&unreadable, &failures));
    OpenServiceCall = OpenServiceA;
    ASSERT_EQ(1, unreadable.Count);
    char text[128];
    FormatLoadFailures(unreadable, text, sizeof text);
    EXPECT_STREQ("The settings of these instances could not be read: 1", text);
    EXPECT_EQ(2, AddInstance(0, NULL));
    SaveInstances(0);
    EXPECT_EQ("COM9", ReadString(PortKeyPath(1), "PortName", &type, &size));
}

TEST_F(InstanceStore, FlowControlAndMailAttachmentAreStoredOnlyWhileNotZeroAndACodeThisProgramCannotShowIsKept)
{
    ASSERT_EQ(1, AddInstance(0, NULL));
    InstanceTable[1].FlowControl = FlowXonXoff;
    COPY_SETTING(InstanceTable[1].Network.Source, "socket://pbx:1752");
    ASSERT_EQ(1, SaveInstances(0));
    InstanceTable[1].FlowControl = FlowNone;
    InstanceTable[1].Network.Source[0] = '\0';   // the serial port again
    ASSERT_EQ(1, SaveInstances(0));
    DWORD type, size;
    EXPECT_EQ("<no value>", ReadString(PortKeyPath(1), "FlowControl", &type, &size));
    EXPECT_EQ("<no value>", ReadString(PortKeyPath(1), "Source", &type, &size));
    WriteString(PortKeyPath(1), "FlowControl", "1");
    // MailAttachment likewise, an unfit one and a code of a later version.
    WriteString(ParametersKeyPath(1), "MailAttachment", "2");
    ReadInstanceParameters(1, &InstanceTable[1]);
    ASSERT_EQ(1, SaveInstances(1));
    EXPECT_EQ("1", ReadString(PortKeyPath(1), "FlowControl", &type, &size));
    EXPECT_EQ("2", ReadString(ParametersKeyPath(1), "MailAttachment", &type, &size));
    WriteNumber(ParametersKeyPath(1), "MailAttachment", 7);
    ReadInstanceParameters(1, &InstanceTable[1]);
    ASSERT_EQ(1, SaveInstances(1));
    EXPECT_EQ("\x07", ReadString(ParametersKeyPath(1), "MailAttachment", &type, &size));
    InstanceTable[1].Mail.MailAttachment = AttachLog;
    ASSERT_EQ(1, SaveInstances(1));
    EXPECT_EQ("<no value>", ReadString(ParametersKeyPath(1), "MailAttachment", &type, &size));
}

TEST_F(InstanceStore, SavingOneInstanceWritesThatInstanceOnly)
{
    ASSERT_EQ(1, AddInstance(0, NULL));
    ASSERT_EQ(2, AddInstance(0, NULL));
    EXPECT_EQ(1, SaveInstances(2));
    EXPECT_TRUE(ServiceExists(2));
    EXPECT_FALSE(ServiceExists(1));
    EXPECT_FALSE(KeyExists(ParametersKeyPath(1)));
    EXPECT_TRUE(InstanceTable[1].ServiceHandle == NULL);
}

TEST_F(InstanceStore, ARemovedParametersKeyComesBackWithAllValues)
{
    ASSERT_EQ(1, AddInstance(0, NULL));
    ASSERT_EQ(1, SaveInstances(0));
    ASSERT_EQ(ERROR_SUCCESS, RegDeleteTreeA(HKEY_LOCAL_MACHINE, ParametersKeyPath(1).c_str()));
    ASSERT_FALSE(KeyExists(ParametersKeyPath(1)));
    SaveFailures failures = {0, {0}};
    EXPECT_EQ(1, SaveInstances(0, &failures));
    EXPECT_EQ(0, failures.Count);
    DWORD type, size;
    EXPECT_EQ("COM1", ReadString(PortKeyPath(1), "PortName", &type, &size));
    EXPECT_EQ(ProgramFolder() + "Quillbox1.log", ReadString(ParametersKeyPath(1), "LogFilename", &type, &size));
}

TEST_F(InstanceStore, DeletedInstancesLoseTheirServiceAtTheNextSaveOnly)
{
    ASSERT_EQ(1, AddInstance(0, NULL));
    ASSERT_EQ(2, AddInstance(0, NULL));
    ASSERT_EQ(2, SaveInstances(0));
    ASSERT_TRUE(KeyExists(EventSourceKeyPath(2)));

    InstanceTable[2].InUse = 0;   // Delete in the list
    EXPECT_TRUE(ServiceExists(2));
    EXPECT_EQ(1, SaveInstances(0));
    EXPECT_TRUE(InstanceTable[2].ServiceHandle == NULL);
    EXPECT_FALSE(ServiceExists(2));
    EXPECT_FALSE(KeyExists(EventSourceKeyPath(2)));
    EXPECT_TRUE(ServiceExists(1));
    EXPECT_TRUE(KeyExists(EventSourceKeyPath(1)));
}

TEST_F(InstanceStore, NewInADeletedUnsavedSlotTakesItsServiceOver)
{
    ASSERT_EQ(1, AddInstance(0, NULL));
    ASSERT_EQ(1, SaveInstances(0));
    InstanceTable[1].InUse = 0;
    ASSERT_EQ(1, AddInstance(0, NULL));
    EXPECT_TRUE(InstanceTable[1].ServiceHandle == NULL);
    SaveFailures failures = {0, {0}};
    EXPECT_EQ(1, SaveInstances(0, &failures));
    EXPECT_EQ(0, failures.Count);
    EXPECT_TRUE(InstanceTable[1].ServiceHandle != NULL);
    EXPECT_TRUE(ServiceExists(1));
}

TEST_F(InstanceStore, AFailedSaveNamesTheInstancesAndStillWritesWhatItCan)
{
    // Without the Service Control Manager no service can be registered; the
    // values are written all the same, and the save must not look complete.
    SetNewInstanceDefaults(&InstanceTable[4], 4);
    SetNewInstanceDefaults(&InstanceTable[6], 6);
    CloseServiceHandles();
    ASSERT_TRUE(ScmHandle == NULL);
    SaveFailures failures = {0, {0}};
    EXPECT_EQ(2, SaveInstances(0, &failures));
    ASSERT_EQ(2, failures.Count);
    EXPECT_EQ(4, failures.Instances[0]);
    EXPECT_EQ(6, failures.Instances[1]);
    DWORD type, size;
    EXPECT_EQ("COM6", ReadString(PortKeyPath(6), "PortName", &type, &size));
    EXPECT_FALSE(ServiceExists(4));

    char text[256];
    FormatSaveFailures(failures, text, sizeof text);
    EXPECT_STREQ("The settings of these instances could not be saved: 4, 6", text);
    char small[20];
    FormatSaveFailures(failures, small, sizeof small);
    EXPECT_EQ(19u, strlen(small));
}

TEST_F(InstanceStore, OverLongRegistryValuesCannotOverflowTheFields)
{
    InstallService(3, ProgramFolder() + "tallysvc.exe");
    WriteString(PortKeyPath(3), "PortName", "COM1234567890");
    WriteNumber(PortKeyPath(3), "BaudRate", 9600);
    WriteString(ParametersKeyPath(3), "LogFilename", Filled('x', 400));
    WriteString(ParametersKeyPath(3), "SmtpServer", "mail.example.org");
    WriteString(PortKeyPath(3), "NetSendUsers", Filled('n', 300));
    WriteNumber(PortKeyPath(3), "DayOfWeekMask", 0x22);

    EXPECT_EQ(1, LoadInstances());
    const InstanceSettings &r = InstanceTable[3];
    // Values that do not fit are not taken; their neighbours are intact.
    EXPECT_STREQ("", r.PortName);
    EXPECT_EQ(9600u, r.BaudRate);
    EXPECT_STREQ("", r.LogFilename);
    EXPECT_STREQ("mail.example.org", r.SmtpServer);
    EXPECT_STREQ("", r.NetSendUsers);
    EXPECT_EQ(0x22u, r.DayOfWeekMask);
}

// The names of a key's values, sorted.
static std::vector<std::string> ValueNames(const std::string &path)
{
    std::vector<std::string> names;
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return names;
    char name[256];
    DWORD size = sizeof name;
    for (DWORD i = 0; RegEnumValueA(key, i, name, &size, NULL, NULL, NULL, NULL) == ERROR_SUCCESS; i++) {
        names.push_back(name);
        size = sizeof name;
    }
    RegCloseKey(key);
    std::sort(names.begin(), names.end());
    return names;
}

TEST_F(InstanceStore, MailServiceValuesAreWrittenOnlyWhileTheyDifferFromTheDefaults)
{
    ASSERT_EQ(1, AddInstance(0, NULL));
    ASSERT_EQ(1, SaveInstances(0));
    const std::vector<std::string> plain = ValueNames(ParametersKeyPath(1));
    EXPECT_EQ(plain, (std::vector<std::string>{"LogFilename", "LogRotation", "PauseTimeout", "SmtpFromAddress",
                                               "SmtpServer", "SmtpToAddress", "TimestampFormat", "VerboseLevel"}));

    SmtpSettings &smtp = InstanceTable[1].Smtp;
    smtp.SmtpPort = 587;
    smtp.SmtpSecurity = SecurityStartTls;
    COPY_SETTING(smtp.SmtpUser, "alice@plant.example");
    COPY_SETTING(smtp.SmtpTrustedCa, "C:\\certs\\relay-ca.pem");
    smtp.SmtpPasswordSize = ProtectSmtpPassword("s3cret pass", smtp.SmtpPassword, sizeof smtp.SmtpPassword);
    ASSERT_GT(smtp.SmtpPasswordSize, 0u);
    const SmtpSettings saved = smtp;
    InstanceTable[1].Mail = {48, AttachZipAlways};
    ASSERT_EQ(1, SaveInstances(0));
    EXPECT_EQ(ValueNames(ParametersKeyPath(1)).size(), plain.size() + SMTP_VALUE_COUNT + MAIL_VALUE_COUNT);

    CloseServiceHandles();
    memset(InstanceTable, 0, sizeof InstanceTable);
    ASSERT_EQ(1, LoadInstances());
    EXPECT_EQ(0, memcmp(&saved, &InstanceTable[1].Smtp, sizeof saved));
    EXPECT_EQ(InstanceTable[1].Mail.MailRetryHours, 48u);
    EXPECT_EQ(InstanceTable[1].Mail.MailAttachment, (DWORD)AttachZipAlways);
    char password[SMTP_PASSWORD_SIZE];
    ASSERT_TRUE(UnprotectSmtpPassword(InstanceTable[1].Smtp.SmtpPassword, InstanceTable[1].Smtp.SmtpPasswordSize,
                                      password, sizeof password));
    EXPECT_STREQ("s3cret pass", password);
    // A duplicate signs in as its source does.
    ASSERT_EQ(2, AddInstance(1, NULL));
    EXPECT_EQ(0, memcmp(&saved, &InstanceTable[2].Smtp, sizeof saved));
    EXPECT_EQ(0, memcmp(&InstanceTable[1].Mail, &InstanceTable[2].Mail, sizeof(MailSettings)));

    // OAuth 2.0: the values written, the client secret only encrypted, and
    // the service's reading of the key decrypts it.
    OAuthSettings &oauth = InstanceTable[1].Smtp.OAuth;
    oauth.SmtpAuthMethod = AuthOAuth2;
    COPY_SETTING(oauth.OAuthTokenUrl, "https://login.microsoftonline.com/plant/oauth2/v2.0/token");
    COPY_SETTING(oauth.OAuthClientId, "6731de76-14a6-49ae-97bc-6eba6914391e");
    oauth.OAuthClientSecretSize =
        ProtectOAuthClientSecret("Kx8Q~client.secret", oauth.OAuthClientSecret, sizeof oauth.OAuthClientSecret);
    ASSERT_GT(oauth.OAuthClientSecretSize, 0u);
    ASSERT_EQ(2, SaveInstances(0));
    EXPECT_EQ(ValueNames(ParametersKeyPath(1)).size(), plain.size() + SMTP_VALUE_COUNT + MAIL_VALUE_COUNT + 4);
    HKEY key;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, ParametersKeyPath(1).c_str(), 0, KEY_READ, &key));
    BYTE stored[SMTP_PASSWORD_BLOB_SIZE];
    DWORD type = 0, size = sizeof stored;
    ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExA(key, "OAuthClientSecret", NULL, &type, stored, &size));
    EXPECT_EQ(std::string((char *)stored, size).find("Kx8Q"), std::string::npos);
    SmtpSettings read;
    ReadSmtpSettings(key, &read, NULL);
    RegCloseKey(key);
    char secret[SMTP_PASSWORD_SIZE];
    ASSERT_TRUE(UnprotectOAuthClientSecret(read.OAuth.OAuthClientSecret, read.OAuth.OAuthClientSecretSize, secret,
                                           sizeof secret));
    EXPECT_STREQ("Kx8Q~client.secret", secret);

    // Back to the defaults, the values leave the key, which is as before.
    memset(&InstanceTable[1].Smtp, 0, sizeof InstanceTable[1].Smtp);
    memset(&InstanceTable[1].Mail, 0, sizeof InstanceTable[1].Mail);
    InstanceTable[1].Smtp.SmtpPort = 25;
    ASSERT_EQ(2, SaveInstances(0));
    EXPECT_EQ(ValueNames(ParametersKeyPath(1)), plain);

    // A security code this program does not know reaches a duplicate as it
    // is stored: without it the copy would mail in clear.
    WriteNumber(ParametersKeyPath(1), "SmtpSecurity", 7);
    CloseServiceHandles();
    memset(InstanceTable, 0, sizeof InstanceTable);
    ASSERT_EQ(2, LoadInstances());
    ASSERT_EQ(3, AddInstance(1, NULL));
    ASSERT_EQ(3, SaveInstances(0));
    EXPECT_EQ("\x07", ReadString(ParametersKeyPath(3), "SmtpSecurity", &type, &size));
    EXPECT_EQ((DWORD)REG_DWORD, type);
    EXPECT_EQ(4u, size);
}

TEST(InstanceSettingsText, CopiesAreBoundedAndTerminated)
{
    char port[PORT_NAME_SIZE];
    memset(port, 'z', sizeof port);
    EXPECT_EQ(1, COPY_SETTING(port, "COM7"));
    EXPECT_STREQ("COM7", port);
    EXPECT_EQ(0, COPY_SETTING(port, "COM12345678"));
    EXPECT_STREQ("COM1234", port);
    EXPECT_EQ(1, COPY_SETTING(port, NULL));
    EXPECT_STREQ("", port);
}

// Configuration from the command line: the lines a verb reports.
static std::vector<std::string> Reported;
static void RecordLine(const char *line)
{
    Reported.push_back(line);
}

static std::string ConfigFile(const std::string &text)
{
    std::string path = ProgramFolder() + "instances-test.ini";
    FILE *f = fopen(path.c_str(), "wb");
    fwrite(text.data(), 1, text.size(), f);
    fclose(f);
    return path;
}

static std::string FileText(const std::string &path)
{
    std::string text;
    FILE *f = fopen(path.c_str(), "rb");
    for (int c; f != NULL && (c = fgetc(f)) != EOF;)
        text += (char)c;
    if (f != NULL)
        fclose(f);
    return text;
}

TEST_F(InstanceStore, AnExportImportedOnAnEmptyMachineReproducesEveryValueAndTheStartType)
{
    ASSERT_EQ(1, AddInstance(0, NULL));
    ASSERT_EQ(2, AddInstance(0, NULL));
    InstanceSettings &r = InstanceTable[2];
    FillDistinct(&r);
    // Texts that a file could lose: blanks at the ends, quotation marks, and
    // the characters of comments and assignments (whole members compared:
    // cleared first).
    memset(r.NetSendUsers, 0, sizeof r.NetSendUsers);
    memset(r.SmtpFromAddress, 0, sizeof r.SmtpFromAddress);
    COPY_SETTING(r.CustomTimeoutCmd, "  cmd /c \"echo a;b=c\" #1  ");
    COPY_SETTING(r.NetSendUsers, "\"ops\"");
    COPY_SETTING(r.SmtpFromAddress, "; from=me");
    r.Smtp.SmtpPort = 465;
    r.Smtp.SmtpSecurity = SecurityImplicitTls;
    COPY_SETTING(r.Smtp.SmtpUser, "alice@plant.example");
    r.Smtp.SmtpPasswordSize = ProtectSmtpPassword("s3cret pass", r.Smtp.SmtpPassword, sizeof r.Smtp.SmtpPassword);
    r.Smtp.OAuth.SmtpAuthMethod = AuthOAuth2;
    COPY_SETTING(r.Smtp.OAuth.OAuthTokenUrl, "https://login.example/t/oauth2/v2.0/token");
    COPY_SETTING(r.Smtp.OAuth.OAuthClientId, "0f1e2d3c");
    COPY_SETTING(r.Smtp.OAuth.OAuthProxy, "proxy.example:3128");
    r.Smtp.OAuth.OAuthClientSecretSize = ProtectOAuthClientSecret(
        "app s3cret", r.Smtp.OAuth.OAuthClientSecret, sizeof r.Smtp.OAuth.OAuthClientSecret);
    r.Mail.MailRetryHours = 96;
    r.Mail.MailAttachment = AttachZipAlways;
    r.AutoStart = 1;
    ASSERT_EQ(2, SaveInstances(0));
    const InstanceSettings saved = r;

    std::string path = ConfigFile("");
    EXPECT_EQ(CONFIGURATION_DONE, ExportInstances(path.c_str(), RecordLine));
    const std::string exported = FileText(path);
    EXPECT_EQ(std::string::npos, exported.find("s3cret"));
    EXPECT_NE(std::string::npos, exported.find("; SmtpPassword is stored on ")) << exported;
    // Optional values at their defaults too: set back here, set back there.
    const std::string first = exported.substr(0, exported.find("[Instance 2]"));
    for (const char *line : {"\r\nSmtpUser=\r\n", "\r\nMailRetryHours=0\r\n", "\r\nSmtpAuthMethod=0\r\n"})
        EXPECT_NE(std::string::npos, first.find(line)) << line;

    RemoveAllInstancesFromSystem();
    Reported.clear();
    EXPECT_EQ(CONFIGURATION_DONE, ImportInstances(path.c_str(), 0, RecordLine));
    EXPECT_EQ((std::vector<std::string>{"Quillbox1 created", "Quillbox2 created"}), Reported);
    EXPECT_EQ((DWORD)SERVICE_AUTO_START, StartType(2));
    EXPECT_EQ((DWORD)SERVICE_DEMAND_START, StartType(1));
    ASSERT_EQ(2, LoadInstances());
    EXPECT_TRUE(SameParameters(saved, InstanceTable[2]));
    SmtpSettings expected = saved.Smtp;
    memset(expected.SmtpPassword, 0, sizeof expected.SmtpPassword);
    expected.SmtpPasswordSize = 0;
    memset(expected.OAuth.OAuthClientSecret, 0, sizeof expected.OAuth.OAuthClientSecret);
    expected.OAuth.OAuthClientSecretSize = 0;
    EXPECT_EQ(0, memcmp(&expected, &InstanceTable[2].Smtp, sizeof expected));
    EXPECT_EQ(0, memcmp(&saved.Mail, &InstanceTable[2].Mail, sizeof saved.Mail));
    // And once more: the file of the copy is the file of the original, but
    // for the password, which only the original has.
    EXPECT_EQ(CONFIGURATION_DONE, ExportInstances(path.c_str(), RecordLine));
    std::string original = exported.substr(exported.find("[Instance 1]"));
    for (const char *name : {"; SmtpPassword", "; OAuthClientSecret"}) {
        size_t secret = original.find(name);
        ASSERT_NE(std::string::npos, secret) << name;
        original.erase(secret, original.find('\n', secret) + 1 - secret);
    }
    EXPECT_EQ(original, FileText(path).substr(FileText(path).find("[Instance 1]")));
    DeleteFileA(path.c_str());
}

TEST_F(InstanceStore, AnImportOrSetIsCheckedWholeAndAnyMistakeChangesNothing)
{
    ASSERT_EQ(1, AddInstance(0, NULL));
    InstanceTable[1].BaudRate = 9600;
    ASSERT_EQ(1, SaveInstances(0));
    const std::string path = ConfigFile("BaudRate=1200\r\n"              // 1: before any section
                                        "[Instance 1]\r\n"
                                        "BaudRate = 19200\r\n"
                                        "LogRotaton=3\r\n"                 // 4: a typo is no value
                                        "LogRotation=6\r\n"                // 5: out of range
                                        "PortName=COM12345\r\n"            // 6: too long
                                        "BaudRate=19200\r\n"               // 7: given twice
                                        "StartAutomatically=maybe\r\n"     // 8
                                        "ByteSize=0x\r\n"                  // 9: not a number
                                        "just words\r\n"                   // 10
                                        "[Instance 2]\r\n"
                                        "PortName=COM2\r\n"
                                        "SmtpPassword=" + Filled('p', SMTP_PASSWORD_SIZE) + "\r\n"   // 13: too long
                                        "[Instance 65]\r\n"                // 14
                                        "LogRotaton=3\r\n"                 // under a refused section: not judged
                                        "[instance 1]");                   // 16: a second time, no line break
    Reported.clear();
    EXPECT_EQ(CONFIGURATION_INVALID, ImportInstances(path.c_str(), 0, RecordLine));
    std::vector<std::string> lines;
    for (const std::string &line : Reported) {
        size_t at = line.find(", line ");
        lines.push_back(at == std::string::npos ? line : line.substr(at + 2, line.find(':', at) - at - 2));
        EXPECT_EQ(std::string::npos, line.find("ppppp")) << "a secret is never repeated";
    }
    EXPECT_EQ((std::vector<std::string>{"line 1", "line 4", "line 5", "line 6", "line 7", "line 8", "line 9",
                                        "line 10", "line 13", "line 14", "line 16", "Nothing was changed."}),
              lines);
    EXPECT_FALSE(ServiceExists(2));
    EXPECT_FALSE(KeyExists(ParametersKeyPath(2)));

    // The same from the command line.
    const char *wrong[] = {"Timeout=30", "SmtpPasword=x", "PortName", "Source=tcp://pbx:1752",
                           "AllowedSenders=10.0.0.0/33"};
    Reported.clear();
    EXPECT_EQ(CONFIGURATION_INVALID, SetInstanceValues(1, wrong, 5, RecordLine));
    EXPECT_EQ(5u, Reported.size());   // each mistake, and that nothing changed
    ASSERT_EQ(1, LoadInstances());
    EXPECT_EQ(9600u, InstanceTable[1].BaudRate);
    EXPECT_EQ(0u, InstanceTable[1].Timeout);

    // Right, an existing instance keeps what the file does not give, a new
    // one gets a new instance's values, and a password is stored encrypted.
    const std::string right = ConfigFile("[Instance 1]\nBaudRate=0x4B00\nSmtpPassword=pa ss\n\n"
                                         "[Instance 2]\nStartAutomatically=Yes\n");
    EXPECT_EQ(CONFIGURATION_DONE, ImportInstances(right.c_str(), 0, RecordLine));
    const char *values[] = {"Timeout=30", "NetSendUsers=ops, night shift", "Source=udp://:514",
                            "AllowedSenders=10.1.1.0/24"};
    Reported.clear();
    EXPECT_EQ(CONFIGURATION_DONE, SetInstanceValues(1, values, 4, RecordLine));
    // Wine has no firewall to take the rule: said once, with the way by hand.
    auto told = [](const char *text) {
        for (const std::string &line : Reported)
            if (line.find(text) != std::string::npos)
                return true;
        return false;
    };
    EXPECT_TRUE(told("netsh advfirewall firewall add rule name=\"Tallyline (1)\" dir=in action=allow program="));
    Reported.clear();
    EXPECT_EQ(CONFIGURATION_DONE, SetInstanceValues(1, values, 4, RecordLine));
    EXPECT_FALSE(told("netsh"));
    ASSERT_EQ(2, LoadInstances());
    EXPECT_STREQ("udp://:514", InstanceTable[1].Network.Source);
    EXPECT_EQ(19200u, InstanceTable[1].BaudRate);
    EXPECT_EQ(30u, InstanceTable[1].Timeout);
    EXPECT_STREQ("COM1", InstanceTable[1].PortName);
    char password[SMTP_PASSWORD_SIZE];
    ASSERT_TRUE(UnprotectSmtpPassword(InstanceTable[1].Smtp.SmtpPassword, InstanceTable[1].Smtp.SmtpPasswordSize,
                                      password, sizeof password));
    EXPECT_STREQ("pa ss", password);
    EXPECT_STREQ("COM2", InstanceTable[2].PortName);
    EXPECT_EQ(ProgramFolder() + "Quillbox2.log", std::string(InstanceTable[2].LogFilename));
    EXPECT_EQ((DWORD)SERVICE_AUTO_START, StartType(2));

    Reported.clear();
    EXPECT_EQ(CONFIGURATION_DONE, ShowInstanceValues(1, "netsendusers", RecordLine));
    EXPECT_EQ(CONFIGURATION_NOT_REACHED, ShowInstanceValues(3, NULL, RecordLine));
    EXPECT_EQ((std::vector<std::string>{"ops, night shift", "Quillbox3 is not installed"}), Reported);
    DeleteFileA(path.c_str());
}

// Local times as UTC FILETIMEs, so the day tests hold in any time zone.
static ULONGLONG LocalAt(WORD day, WORD hour, WORD minute, WORD second)
{
    SYSTEMTIME t = {2026, 12, 0, day, hour, minute, second, 0};
    FILETIME local, utc;
    SystemTimeToFileTime(&t, &local);
    LocalFileTimeToFileTime(&local, &utc);
    return ((ULONGLONG)utc.dwHighDateTime << 32) | utc.dwLowDateTime;
}

TEST(LiveTexts, LastDataByLocalDayTodayOnlyOnItsDayAndTheAlarm)
{
    InstanceLiveStatus s;
    memset(&s, 0, sizeof s);
    char text[32];
    FormatLastData(&s, LocalAt(9, 12, 0, 0), text, sizeof text);
    EXPECT_STREQ(text, "");                               // no status: nothing known
    s.Present = s.Connected = 1;
    FormatLastData(&s, LocalAt(9, 12, 0, 0), text, sizeof text);
    EXPECT_STREQ(text, "never");
    s.LastData = LocalAt(9, 0, 0, 5);
    FormatLastData(&s, LocalAt(9, 23, 59, 59), text, sizeof text);
    EXPECT_STREQ(text, "00:00:05");
    FormatLastData(&s, LocalAt(10, 0, 0, 1), text, sizeof text);
    EXPECT_STREQ(text, "yesterday");                      // a calendar day, not 24 hours
    FormatLastData(&s, LocalAt(12, 0, 0, 1), text, sizeof text);
    EXPECT_STREQ(text, "3 days ago");

    s.Day = 20261209;
    s.BytesToday = 1536;
    EXPECT_EQ(BytesReceivedToday(&s, LocalAt(9, 23, 0, 0)), 1536u);
    EXPECT_EQ(BytesReceivedToday(&s, LocalAt(10, 0, 0, 1)), 0u);
    FormatByteAmount(1536, text, sizeof text);
    EXPECT_STREQ(text, "1.5 KB");
    FormatByteAmount(250ULL << 20, text, sizeof text);
    EXPECT_STREQ(text, "250 MB");

    s.SilentSince = LocalAt(9, 10, 0, 0);
    FormatAlarmState(&s, LocalAt(10, 10, 12, 40), text, sizeof text);
    EXPECT_STREQ(text, "silent 24:12:40");
    s.Connected = 0;
    FormatAlarmState(&s, LocalAt(10, 10, 12, 40), text, sizeof text);
    EXPECT_STREQ(text, "disconnected");
    EXPECT_EQ(ParseUtcText("2026-12-09T13:00:00"), 0u);
    FormatUtcText(ParseUtcText("2026-12-09T13:00:07Z"), text, sizeof text);
    EXPECT_STREQ(text, "2026-12-09T13:00:07Z");
}

TEST_F(InstanceStore, FilesInUtf8OrUtf16ComeInTheAnsiCodePageAndACommandKeepsItsQuotationMarks)
{
    // UTF-16 as Notepad writes it; a command as typed, and as an export
    // writes one that begins with a quotation mark.
    const std::wstring text = L"[Instance 1]\r\nNetSendUsers=Jos\u00e9\r\n"
                              L"CustomTimeoutCmd=\"C:\\Alarm Scripts\\page.cmd\"\r\n"
                              L"[Instance 2]\r\nCustomTimeoutCmd=\"\"C:\\a b\\p.exe\" -x\"\r\n";
    std::string bytes = "\xFF\xFE";
    bytes.append((const char *)text.data(), text.size() * sizeof(wchar_t));
    const std::string path = ConfigFile(bytes);
    Reported.clear();
    ASSERT_EQ(CONFIGURATION_DONE, ImportInstances(path.c_str(), 0, RecordLine)) << Reported[0];
    ASSERT_EQ(2, LoadInstances());
    char ansi[16] = "";
    WideCharToMultiByte(CP_ACP, 0, L"Jos\u00e9", -1, ansi, sizeof ansi, NULL, NULL);
    EXPECT_STREQ(ansi, InstanceTable[1].NetSendUsers);
    EXPECT_STREQ("\"C:\\Alarm Scripts\\page.cmd\"", InstanceTable[1].CustomTimeoutCmd);
    EXPECT_STREQ("\"C:\\a b\\p.exe\" -x", InstanceTable[2].CustomTimeoutCmd);

    // UTF-8 with a character no ANSI code page has (an emoji), and a file
    // marked UTF-8 whose line is not.
    Reported.clear();
    EXPECT_EQ(CONFIGURATION_INVALID,
              ImportInstances(ConfigFile("[Instance 1]\nNetSendUsers=\xF0\x9F\x98\x80\n").c_str(), 0, RecordLine));
    EXPECT_EQ(CONFIGURATION_INVALID,
              ImportInstances(ConfigFile("\xEF\xBB\xBF[Instance 1]\nNetSendUsers=\xE9\n").c_str(), 0, RecordLine));
    ASSERT_EQ(4u, Reported.size());
    EXPECT_NE(std::string::npos, Reported[0].find(", line 2: holds a character that this machine's ANSI code page"));
    EXPECT_NE(std::string::npos, Reported[2].find(", line 2: is not UTF-8 text, as the mark at the file's start says"));
    DeleteFileA(path.c_str());
}

