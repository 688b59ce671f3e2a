// Test helper: mails files with MailLogFile and prints each MailResult.
//   mailfile [-c connectMs] [-r replyMs] [-m] path server from to [path server from to ...]
//     several groups run in one process, one after the other, so the
//     process-wide resolve state carries over; -m adds the time spent mailing
//     and the process's peak working set.
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
    int arg = 1;
    while (arg < argc && argv[arg][0] == '-' && argv[arg][1] != '\0') {
        if (strcmp(argv[arg], "-m") == 0) {
            measure = 1;
            arg++;
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
        fprintf(stderr, "usage: mailfile [-c ms] [-r ms] [-m] path server from to [...]\n"
                        "       mailfile -hold path\n");
        return 100;
    }

    int result = 0;
    DWORD start = GetTickCount();
    for (; arg < argc; arg += 4) {
        result = MailLogFile(argv[arg], argv[arg + 1], argv[arg + 2], argv[arg + 3]);
        printf("%d\n", result);
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
