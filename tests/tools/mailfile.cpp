// Test helper: mails files with MailLogFile and prints each MailResult.
//   mailfile [-c connectMs] [-r replyMs] [-m] [-v] [-p port] [-s security]
//            [-u user] [-w password] [-a trustedCaFile] [-f N] [-C]
//            path server from to [path server from to ...]
//     several groups run in one process, one after the other, so the
//     process-wide resolve state carries over; -m adds the time spent mailing
//     and the process's peak working set; -v adds, after each result, why a
//     secure connection failed ("tls=F certificate=V"). -p, -s, -u, -a set
//     the SMTP settings of every group; -w's password is encrypted as the
//     configuration program stores it; with -f N the Nth read of each file
//     fails (a disk error halfway); -C answers a server that asks for a
//     client certificate as Windows' Schannel does ("requests=N" after -v).
//   mailfile -hold path
//     holds the file open for writing (read sharing only, as the service
//     holds its log) until standard input closes.
#include <winsock2.h>
#include <windows.h>
#include <psapi.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "MailLogFile.h"
#include "SecurityLibraries.h"
#include "SmtpPassword.h"

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

static int Hold(const char *path)
{
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

int main(int argc, char **argv)
{
    if (argc == 3 && strcmp(argv[1], "-hold") == 0)
        return Hold(argv[2]);

    int measure = 0;
    int verbose = 0;
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
        fprintf(stderr, "usage: mailfile [-c ms] [-r ms] [-m] [-v] [-p port] [-s security] [-u user]\n"
                        "                [-w password] [-a ca] [-f N] [-C] path server from to [...]\n"
                        "       mailfile -hold path\n");
        return 100;
    }

    int result = 0;
    DWORD start = GetTickCount();
    for (; arg < argc; arg += 4) {
        ReadsDone = 0;
        result = MailLogFile(argv[arg], argv[arg + 1], argv[arg + 2], argv[arg + 3], &settings);
        printf("%d\n", result);
        if (verbose)
            printf("tls=%d certificate=%d\n", LastTlsFailure, LastCertificateVerdict);
        if (verbose && SchannelStandIn != NULL)
            printf("requests=%d\n", CertificateRequests);
        fflush(stdout);
    }
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
