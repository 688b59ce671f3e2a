// Test helper: mails files with MailLogFile and prints each MailResult.
//   mailfile [-c connectMs] [-r replyMs] [-m] [-v] [-d] [-S] [-H name=A,B|C] [-p port] [-s security]
//            [-u user] [-w password] [-a trustedCaFile] [-z attachment]
//            [-Z zip64Bytes] [-f N] [-C]
//            [-o tokenUrl [-i clientId] [-k secret | -t thumbprint | -j keyFile] [-x proxy]]
//            path server from to [path server from to ...]
//     several groups run in one process, one after the other, so what a
//     process keeps between mails (a token) carries over; -m adds the time spent mailing
//     and the process's peak working set; -v adds, after each result, why a
//     secure connection failed ("tls=F certificate=V"); -d where the
//     dialogue ended and how a mail that retries judges it ("step=S code=C
//     for_good=G accepted=A"). -p, -s, -u, -a set
//     the SMTP settings of every group; -w's password is encrypted as the
//     configuration program stores it. -z is MailAttachment: a log cut into
//     parts is mailed as the service mails it, and "parts=N failed_part=K"
//     follows its result; -Z lowers the entry size that gets ZIP64 records.
//     -o (or -j) signs in with OAuth 2.0 from that token URL (-k's secret
//     encrypted like the password); with -v, why no access token came goes
//     to standard error. With -f N the Nth read of each file fails (a disk
//     error halfway); -C answers a server that asks for a client certificate
//     as Windows' Schannel does ("requests=N" after -v). -H name=A,B|C stands
//     for the resolver: the first resolution of name gives the addresses A
//     and B, the next C, and so on round (a server that moves). -S, after the
//     mails, prints "scan" and reads lines of hex from standard input, each
//     a text to look for in the process's memory, and prints "found=N" for
//     each (a secret that stays in a buffer is found). With -v a secure
//     connection's failure that has words (a certificate missing) writes them
//     to standard error.
//   mailfile -hold path [wait]
//     holds the file open for writing (read sharing only, as the service
//     holds its log) until standard input closes; with "wait", first waits
//     for another program to create or move it there.
//   mailfile -protect secret
//     prints the secret encrypted as the configuration program stores it, in
//     hex.
//   mailfile -import file.pfx password
//     imports a certificate and its private key into the local machine's
//     Personal store, as an administrator's import does on Windows.
#include <winsock2.h>
#include <windows.h>
#include <psapi.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "common/mail/MailLogFile.h"
#include "common/mail/ZipStream.h"
#include "common/net/ServerCertificate.h"
#include "common/oauth/OAuthToken.h"
#include "common/secrets/SmtpPassword.h"
#include "common/system/SecurityLibraries.h"

static int FailingRead, ReadsDone;      // -f: the read that fails; 0: none

static BOOL WINAPI ReadOrFail(HANDLE file, LPVOID buffer, DWORD size, LPDWORD read, LPOVERLAPPED overlapped)
{
    return ++ReadsDone != FailingRead && ReadFile(file, buffer, size, read, overlapped);
}

// -C: Windows' Schannel, asked by a server for a client certificate that its
// credentials lack, returns SEC_I_INCOMPLETE_CREDENTIALS and takes the
// server's messages only when called again with ISC_REQ_USE_SUPPLIED_CREDS;
// Wine's goes on by itself. For a server that asks, this is as on Windows.
static SecurityFunctionTableA WindowsLike;
static INITIALIZE_SECURITY_CONTEXT_FN_A RealInitialize;
static int CertificateRequests;

static SECURITY_STATUS SEC_ENTRY InitializeLikeWindows(PCredHandle c, PCtxtHandle x, SEC_CHAR *t, ULONG request,
                                                       ULONG r1, ULONG r2, PSecBufferDesc input, ULONG r3,
                                                       PCtxtHandle n, PSecBufferDesc o, PULONG a, PTimeStamp e)
{
    if (input == NULL || (request & ISC_REQ_USE_SUPPLIED_CREDS))
        return RealInitialize(c, x, t, request, r1, r2, input, r3, n, o, a, e);
    CertificateRequests++;
    return SEC_I_INCOMPLETE_CREDENTIALS;
}

// -H: the names the resolver stand-in knows, each with its answers in turn.
static char StandInName[256], StandInAnswers[512];
static int StandInResolutions;

static int ResolveLikeDns(const char *name, unsigned port, HostAddresses *addresses)
{
    addresses->Count = 0;
    if (_stricmp(name, StandInName) != 0)
        return 0;
    // The answer for this resolution: the n-th of those between '|', round.
    int answers = 1;
    for (const char *c = StandInAnswers; *c != '\0'; c++)
        answers += *c == '|';
    const char *answer = StandInAnswers;
    for (int n = StandInResolutions++ % answers; n > 0; n--)
        answer = strchr(answer, '|') + 1;
    while (*answer != '\0' && *answer != '|' && addresses->Count < HOST_ADDRESS_LIMIT) {
        char address[64];
        size_t length = strcspn(answer, ",|");
        snprintf(address, sizeof address, "%.*s", (int)length, answer);
        sockaddr_in *in = (sockaddr_in *)&addresses->Address[addresses->Count];
        memset(in, 0, sizeof *in);
        in->sin_family = AF_INET;
        in->sin_port = htons((u_short)port);
        in->sin_addr.s_addr = inet_addr(address);
        addresses->Length[addresses->Count++] = sizeof *in;
        answer += length + (answer[length] == ',');
    }
    return addresses->Count > 0;
}

// -S: how often the bytes are in the process's readable memory, leaving out
// the copy at `skip` that was looked for.
static int CountInMemory(const BYTE *needle, size_t length, const BYTE *skip)
{
    const DWORD readable = PAGE_READONLY | PAGE_READWRITE | PAGE_WRITECOPY | PAGE_EXECUTE_READ |
                           PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY;
    int found = 0;
    MEMORY_BASIC_INFORMATION info;
    for (const BYTE *at = NULL; VirtualQuery(at, &info, sizeof info) == sizeof info;
         at = (const BYTE *)info.BaseAddress + info.RegionSize) {
        if (info.State != MEM_COMMIT || (info.Protect & PAGE_GUARD) || !(info.Protect & readable))
            continue;
        const BYTE *region = (const BYTE *)info.BaseAddress;
        for (SIZE_T i = 0; i + length <= info.RegionSize; i++)
            if (region[i] == needle[0] && region + i != skip && memcmp(region + i, needle, length) == 0)
                found++;
    }
    return found;
}

static void ScanForSecrets()
{
    static char line[8192];
    static BYTE needle[4096];
    printf("scan\n");
    fflush(stdout);
    while (fgets(line, sizeof line, stdin) != NULL) {
        size_t length = 0;
        for (const char *c = line; c[0] != '\0' && c[1] != '\0' && c[0] != '\n' && length < sizeof needle; c += 2) {
            unsigned byte;
            if (sscanf(c, "%2x", &byte) != 1)
                break;
            needle[length++] = (BYTE)byte;
        }
        printf("found=%d\n", length > 0 ? CountInMemory(needle, length, needle) : -1);
        fflush(stdout);
        SecureZeroMemory(needle, sizeof needle);
    }
}

static int Hold(const char *path, int wait)
{
    if (wait) {
        printf("waiting\n");
        fflush(stdout);
        while (GetFileAttributesA(path) == INVALID_FILE_ATTRIBUTES)
            Sleep(5);
    }
    HANDLE file = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ, NULL, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE) {
        printf("not held %lu\n", GetLastError());
        return 1;
    }
    printf("held\n");
    fflush(stdout);
    char line[64];
    while (fgets(line, sizeof line, stdin) != NULL) {
    }
    CloseHandle(file);
    return 0;
}

// crypt32 is resolved at run time, as the mail library does it: a program
// that imports it would take a crypt32.dll planted beside it, and the test
// that plants one checks that the library does not.
static struct {
    decltype(&PFXImportCertStore) Import;
    decltype(&CertOpenStore) Open;
    decltype(&CertEnumCertificatesInStore) Enumerate;
    decltype(&CertGetCertificateContextProperty) GetProperty;
    decltype(&CertSetCertificateContextProperty) SetProperty;
    decltype(&CertAddCertificateContextToStore) Add;
    decltype(&CertFreeCertificateContext) Free;
    decltype(&CertCloseStore) Close;
} Pfx;

static int ResolveCrypt32()
{
    HMODULE module = LoadLibraryExA("crypt32.dll", NULL, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (module == NULL)
        return 0;
    const char *names[] = {"PFXImportCertStore", "CertOpenStore", "CertEnumCertificatesInStore",
                           "CertGetCertificateContextProperty", "CertSetCertificateContextProperty",
                           "CertAddCertificateContextToStore", "CertFreeCertificateContext", "CertCloseStore"};
    FARPROC *slots = (FARPROC *)&Pfx;
    for (size_t i = 0; i < sizeof names / sizeof names[0]; i++)
        if ((slots[i] = GetProcAddress(module, names[i])) == NULL)
            return 0;
    return 1;
}

// Wine's import records the key's provider without CRYPT_MACHINE_KEYSET and
// with dwKeySpec 3; Windows's records the machine key set and
// AT_KEYEXCHANGE, as this puts right.
static int ImportPfx(const char *path, const char *password)
{
    static BYTE data[32768];
    WCHAR widePassword[128];
    int length = ReadSmallFile(path, data, sizeof data);
    if (length <= 0 || MultiByteToWideChar(CP_ACP, 0, password, -1, widePassword, 128) == 0 || !ResolveCrypt32())
        return 1;
    CRYPT_DATA_BLOB pfx = {(DWORD)length, data};
    HCERTSTORE imported = Pfx.Import(&pfx, widePassword, CRYPT_MACHINE_KEYSET);
    HCERTSTORE personal = Pfx.Open(CERT_STORE_PROV_SYSTEM_A, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, "MY");
    if (imported == NULL || personal == NULL)
        return 2;
    int added = 0;
    PCCERT_CONTEXT certificate = NULL;
    while ((certificate = Pfx.Enumerate(imported, certificate)) != NULL) {
        static BYTE info[2048];
        DWORD size = sizeof info;
        PCCERT_CONTEXT stored = NULL;
        if (!Pfx.GetProperty(certificate, CERT_KEY_PROV_INFO_PROP_ID, info, &size) ||
            !Pfx.Add(personal, certificate, CERT_STORE_ADD_REPLACE_EXISTING, &stored))
            continue;
        CRYPT_KEY_PROV_INFO *provider = (CRYPT_KEY_PROV_INFO *)info;
        provider->dwFlags |= CRYPT_MACHINE_KEYSET;
        provider->dwKeySpec = AT_KEYEXCHANGE;
        added += Pfx.SetProperty(stored, CERT_KEY_PROV_INFO_PROP_ID, 0, provider) != 0;
        // The store writes itself out only once nothing refers to it.
        Pfx.Free(stored);
    }
    Pfx.Close(imported, 0);
    Pfx.Close(personal, 0);
    printf("imported %d\n", added);
    return added > 0 ? 0 : 3;
}

int main(int argc, char **argv)
{
    if ((argc == 3 || (argc == 4 && strcmp(argv[3], "wait") == 0)) && strcmp(argv[1], "-hold") == 0)
        return Hold(argv[2], argc == 4);
    if (argc == 4 && strcmp(argv[1], "-import") == 0)
        return ImportPfx(argv[2], argv[3]);
    if (argc == 3 && strcmp(argv[1], "-protect") == 0) {
        static BYTE blob[SMTP_PASSWORD_BLOB_SIZE];
        DWORD size = ProtectOAuthClientSecret(argv[2], blob, sizeof blob);
        for (DWORD i = 0; i < size; i++)
            printf("%02x", blob[i]);
        printf("\n");
        return size > 0 ? 0 : 1;
    }

    int measure = 0;
    int verbose = 0;
    int dialogue = 0;
    int scan = 0;
    DWORD attachment = AttachLog;
    int arg = 1;
    static SmtpSettings settings;
    while (arg < argc && argv[arg][0] == '-' && argv[arg][1] != '\0') {
        const char *value = arg + 1 < argc ? argv[arg + 1] : NULL;
        if (strcmp(argv[arg], "-m") == 0) {
            measure = 1;
            arg++;
        } else if (strcmp(argv[arg], "-v") == 0) {
            verbose = 1;
            arg++;
        } else if (strcmp(argv[arg], "-d") == 0) {
            dialogue = 1;
            arg++;
        } else if (strcmp(argv[arg], "-S") == 0) {
            scan = 1;
            arg++;
        } else if (strcmp(argv[arg], "-H") == 0 && value != NULL && strchr(value, '=') != NULL) {
            snprintf(StandInName, sizeof StandInName, "%.*s", (int)(strchr(value, '=') - value), value);
            snprintf(StandInAnswers, sizeof StandInAnswers, "%s", strchr(value, '=') + 1);
            ResolveHost = ResolveLikeDns;
            arg += 2;
        } else if (strcmp(argv[arg], "-p") == 0 && value != NULL) {
            settings.SmtpPort = (DWORD)strtoul(value, NULL, 10);
            arg += 2;
        } else if (strcmp(argv[arg], "-s") == 0 && value != NULL) {
            settings.SmtpSecurity = (DWORD)strtoul(value, NULL, 10);
            arg += 2;
        } else if (strcmp(argv[arg], "-u") == 0 && value != NULL) {
            snprintf(settings.SmtpUser, sizeof settings.SmtpUser, "%s", value);
            arg += 2;
        } else if (strcmp(argv[arg], "-a") == 0 && value != NULL) {
            snprintf(settings.SmtpTrustedCa, sizeof settings.SmtpTrustedCa, "%s", value);
            arg += 2;
        } else if (strcmp(argv[arg], "-w") == 0 && value != NULL) {
            settings.SmtpPasswordSize =
                ProtectSmtpPassword(value, settings.SmtpPassword, sizeof settings.SmtpPassword);
            if (settings.SmtpPasswordSize == 0) {
                fprintf(stderr, "the password could not be encrypted\n");
                return 101;
            }
            arg += 2;
        } else if (strcmp(argv[arg], "-z") == 0 && value != NULL) {
            attachment = (DWORD)strtoul(value, NULL, 10);
            arg += 2;
        } else if (strcmp(argv[arg], "-Z") == 0 && value != NULL) {
            ZipLargeEntrySize = strtoull(value, NULL, 10);
            arg += 2;
        } else if (strcmp(argv[arg], "-o") == 0 && value != NULL) {
            settings.OAuth.SmtpAuthMethod = AuthOAuth2;
            snprintf(settings.OAuth.OAuthTokenUrl, sizeof settings.OAuth.OAuthTokenUrl, "%s", value);
            arg += 2;
        } else if (strcmp(argv[arg], "-i") == 0 && value != NULL) {
            snprintf(settings.OAuth.OAuthClientId, sizeof settings.OAuth.OAuthClientId, "%s", value);
            arg += 2;
        } else if (strcmp(argv[arg], "-t") == 0 && value != NULL) {
            snprintf(settings.OAuth.OAuthCertificate, sizeof settings.OAuth.OAuthCertificate, "%s", value);
            arg += 2;
        } else if (strcmp(argv[arg], "-j") == 0 && value != NULL) {
            settings.OAuth.SmtpAuthMethod = AuthOAuth2;
            snprintf(settings.OAuth.OAuthKeyFile, sizeof settings.OAuth.OAuthKeyFile, "%s", value);
            arg += 2;
        } else if (strcmp(argv[arg], "-A") == 0 && value != NULL) {
            snprintf(settings.OAuth.OAuthTrustedCa, sizeof settings.OAuth.OAuthTrustedCa, "%s", value);
            arg += 2;
        } else if (strcmp(argv[arg], "-x") == 0 && value != NULL) {
            snprintf(settings.OAuth.OAuthProxy, sizeof settings.OAuth.OAuthProxy, "%s", value);
            arg += 2;
        } else if (strcmp(argv[arg], "-k") == 0 && value != NULL) {
            settings.OAuth.OAuthClientSecretSize = ProtectOAuthClientSecret(
                value, settings.OAuth.OAuthClientSecret, sizeof settings.OAuth.OAuthClientSecret);
            arg += 2;
        } else if (strcmp(argv[arg], "-C") == 0 && Schannel() != NULL) {
            WindowsLike = *Schannel();
            RealInitialize = WindowsLike.InitializeSecurityContextA;
            WindowsLike.InitializeSecurityContextA = InitializeLikeWindows;
            SchannelStandIn = &WindowsLike;
            arg++;
        } else if (strcmp(argv[arg], "-f") == 0 && value != NULL) {
            FailingRead = atoi(value);
            MailReadFile = ReadOrFail;
            arg += 2;
        } else if (strcmp(argv[arg], "-c") == 0 && arg + 1 < argc) {
            MailConnectTimeoutMs = (DWORD)strtoul(argv[arg + 1], NULL, 10);
            arg += 2;
        } else if (strcmp(argv[arg], "-r") == 0 && arg + 1 < argc) {
            MailReplyTimeoutMs = (DWORD)strtoul(argv[arg + 1], NULL, 10);
            arg += 2;
        } else {
            break;
        }
    }
    if (arg >= argc || (argc - arg) % 4 != 0) {
        fprintf(stderr, "usage: mailfile [-c ms] [-r ms] [-m] [-v] [-d] [-S] [-H name=A,B|C] [-p port] [-s security] [-u user]\n"
                        "                [-w password] [-a ca] [-z attachment] [-Z bytes] [-f N] [-C]\n"
                        "                [-o url [-i id] [-k secret | -t thumbprint | -j keyfile] [-x proxy]]\n"
                        "                path server from to [...]\n"
                        "       mailfile -hold path [wait]\n"
                        "       mailfile -protect secret\n"
                        "       mailfile -import file.pfx password\n");
        return 100;
    }

    int result = 0;
    DWORD start = GetTickCount();
    for (; arg < argc; arg += 4) {
        ReadsDone = 0;
        static MailPlan plan;
        DWORD failedPart = 0;
        result = MailLogInFull(argv[arg], argv[arg + 1], argv[arg + 2], argv[arg + 3], &settings, attachment,
                               &plan, &failedPart);
        printf("%d\n", result);
        if (plan.Count > 0)
            printf("parts=%lu failed_part=%lu\n", (unsigned long)plan.Count, (unsigned long)failedPart);
        if (verbose)
            printf("tls=%d certificate=%d\n", LastTlsFailure, LastCertificateVerdict);
        if (dialogue)
            printf("step=%d code=%s for_good=%d accepted=%d\n", LastMailFailure.Step,
                   LastMailFailure.Code[0] ? LastMailFailure.Code : "-", MailRefusedForGood(), MailAccepted());
        if (verbose && result == AccessTokenNotObtained)
            fprintf(stderr, "%s\n", AccessTokenFailure());
        if (verbose && result == SecureConnectionFailed && SecureConnectionFailureText()[0] != '\0')
            fprintf(stderr, "%s\n", SecureConnectionFailureText());
        if (verbose && SchannelStandIn != NULL)
            printf("requests=%d\n", CertificateRequests);
        fflush(stdout);
    }
    if (scan)
        ScanForSecrets();
    if (measure) {
        printf("elapsed_ms=%lu\n", GetTickCount() - start);
        PROCESS_MEMORY_COUNTERS counters;
        memset(&counters, 0, sizeof counters);
        counters.cb = sizeof counters;
        if (GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters))
            printf("peak_working_set=%llu\n", (unsigned long long)counters.PeakWorkingSetSize);
    }
    return result;
}
