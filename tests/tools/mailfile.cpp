// Test helper: mails files with MailLogFile and prints each MailResult.
//   mailfile [-c connectMs] [-r replyMs] [-m] [-v] [-p port] [-s security]
//            [-u user] [-w password] [-a trustedCaFile] [-f N] [-x]
//            path server from to [path server from to ...]
//     several groups run in one process, one after the other, so the
//     process-wide resolve state carries over; -m adds the time spent mailing
//     and the process's peak working set; -v adds, after each result, why a
//     secure connection failed ("tls=F certificate=V"). -p, -s, -u, -a set
//     the SMTP settings of every group; -w's password is encrypted as the
//     configuration program stores it; with -f N the Nth read of each file
//     fails (a disk error halfway); -x answers a server's request for a
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

static int FailingRead;      // the read that fails; 0: none
static int ReadsDone;

static BOOL WINAPI ReadOrFail(HANDLE file, LPVOID buffer, DWORD size, LPDWORD read, LPOVERLAPPED overlapped)
{
    if (++ReadsDone == FailingRead) {
        SetLastError(ERROR_IO_DEVICE);
        return FALSE;
    }
    return ReadFile(file, buffer, size, read, overlapped);
}

// Windows' Schannel, asked for a client certificate that its credentials
// lack, returns SEC_I_INCOMPLETE_CREDENTIALS and leaves the server's
// messages unread until it is called again with ISC_REQ_USE_SUPPLIED_CREDS;
// Wine's goes on by itself. This stand-in behaves as Windows' does.
static SecurityFunctionTableA WindowsLike;
static INITIALIZE_SECURITY_CONTEXT_FN_A RealInitialize;
static int CertificateRequests;

// A CertificateRequest (13) among the handshake messages of the records.
static int AsksForCertificate(const SecBufferDesc *input)
{
    if (input == NULL || input->pBuffers[0].BufferType != SECBUFFER_TOKEN)
        return 0;
    const BYTE *data = (const BYTE *)input->pBuffers[0].pvBuffer;
    ULONG size = input->pBuffers[0].cbBuffer, end;
    for (ULONG record = 0; record + 5 <= size && data[record] == 22; record = end) {
        end = record + 5 + ((data[record + 3] << 8) | data[record + 4]);
        for (ULONG m = record + 5; m + 4 <= end && m + 4 <= size;
             m += 4 + ((data[m + 1] << 16) | (data[m + 2] << 8) | data[m + 3]))
            if (data[m] == 13)
                return 1;
    }
    return 0;
}

static SECURITY_STATUS SEC_ENTRY InitializeLikeWindows(PCredHandle credentials, PCtxtHandle context, SEC_CHAR *target,
                                                       ULONG request, ULONG reserved1, ULONG representation,
                                                       PSecBufferDesc input, ULONG reserved2, PCtxtHandle newContext,
                                                       PSecBufferDesc output, PULONG attributes, PTimeStamp expiry)
{
    if (!(request & ISC_REQ_USE_SUPPLIED_CREDS) && AsksForCertificate(input)) {
        CertificateRequests++;
        return SEC_I_INCOMPLETE_CREDENTIALS;
    }
    return RealInitialize(credentials, context, target, request, reserved1, representation, input, reserved2,
                          newContext, output, attributes, expiry);
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
        } else if (strcmp(argv[arg], "-x") == 0 && Schannel() != NULL) {
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
                        "                [-w password] [-a ca] [-f N] [-x] path server from to [...]\n"
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
