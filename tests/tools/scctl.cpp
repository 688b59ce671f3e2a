// Service Control Manager tool for the end-to-end tests: Wine's own `sc`
// cannot pause, and does not show checkpoint, wait hint and exit codes.
//   scctl create NAME PATH [auto|demand]    scctl delete NAME
//   scctl start NAME                        scctl control NAME stop|pause|continue|CODE
//   scctl query NAME                        scctl wait NAME STATE TIMEOUT_MS
//   scctl cycle NAME COUNT                  COUNT pause/continue pairs, each sent as
//                                           soon as the SCM took the one before
//   scctl kill NAME                         ends the service's process at once, as a
//                                           crash or a power cut would
// Prints the service status as "state=4 checkpoint=0 waithint=0 exit=0 specific=0
// type=0x30 controls=3"; exits 0 on success, 1 on failure (with the error).
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static void PrintStatus(const SERVICE_STATUS &s)
{
    printf("state=%lu checkpoint=%lu waithint=%lu exit=%lu specific=%lu type=0x%lx controls=%lu\n",
           s.dwCurrentState, s.dwCheckPoint, s.dwWaitHint, s.dwWin32ExitCode,
           s.dwServiceSpecificExitCode, s.dwServiceType, s.dwControlsAccepted);
}

static int Fail(const char *what)
{
    printf("error %s %lu\n", what, GetLastError());
    return 1;
}

int main(int argc, char **argv)
{
    if (argc < 3) {
        fprintf(stderr, "usage: scctl create|delete|start|control|query|wait NAME ...\n");
        return 2;
    }
    const char *verb = argv[1], *name = argv[2];
    SC_HANDLE scm = OpenSCManagerA(NULL, NULL, SC_MANAGER_ALL_ACCESS);
    if (scm == NULL)
        return Fail("OpenSCManager");

    if (strcmp(verb, "create") == 0 && argc >= 4) {
        DWORD start = (argc >= 5 && strcmp(argv[4], "auto") == 0) ? SERVICE_AUTO_START
                                                                   : SERVICE_DEMAND_START;
        SC_HANDLE s = CreateServiceA(scm, name, name, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                                     start, SERVICE_ERROR_NORMAL, argv[3], NULL, NULL, NULL, NULL,
                                     NULL);
        if (s == NULL && GetLastError() != ERROR_SERVICE_EXISTS)
            return Fail("CreateService");
        if (s == NULL) {
            s = OpenServiceA(scm, name, SERVICE_ALL_ACCESS);
            if (s == NULL || !ChangeServiceConfigA(s, SERVICE_NO_CHANGE, start, SERVICE_NO_CHANGE,
                                                   argv[3], NULL, NULL, NULL, NULL, NULL, NULL))
                return Fail("ChangeServiceConfig");
        }
        printf("created\n");
        return 0;
    }

    SC_HANDLE service = OpenServiceA(scm, name, SERVICE_ALL_ACCESS);
    if (service == NULL)
        return Fail("OpenService");
    SERVICE_STATUS status = {};

    if (strcmp(verb, "delete") == 0) {
        if (!DeleteService(service))
            return Fail("DeleteService");
        printf("deleted\n");
        return 0;
    }
    if (strcmp(verb, "start") == 0) {
        // Another start under way locks the service manager's database for
        // a moment (1055): wait and try again, bounded, as its callers must.
        DWORD began = GetTickCount(), pause = 100;
        while (!StartServiceA(service, 0, NULL)) {
            if (GetLastError() != ERROR_SERVICE_DATABASE_LOCKED || GetTickCount() - began > 30000)
                return Fail("StartService");
            Sleep(pause);
            pause = pause < 1000 ? pause * 2 : pause;
        }
        QueryServiceStatus(service, &status);
        PrintStatus(status);
        return 0;
    }
    if (strcmp(verb, "control") == 0 && argc >= 4) {
        DWORD code = strcmp(argv[3], "stop") == 0       ? SERVICE_CONTROL_STOP
                     : strcmp(argv[3], "pause") == 0    ? SERVICE_CONTROL_PAUSE
                     : strcmp(argv[3], "continue") == 0 ? SERVICE_CONTROL_CONTINUE
                                                        : strtoul(argv[3], NULL, 10);
        if (!ControlService(service, code, &status))
            return Fail("ControlService");
        PrintStatus(status);
        return 0;
    }
    if (strcmp(verb, "query") == 0) {
        if (!QueryServiceStatus(service, &status))
            return Fail("QueryServiceStatus");
        PrintStatus(status);
        return 0;
    }
    if (strcmp(verb, "wait") == 0 && argc >= 5) {
        DWORD wanted = strtoul(argv[3], NULL, 10), limit = strtoul(argv[4], NULL, 10);
        DWORD start = GetTickCount();
        for (;;) {
            if (!QueryServiceStatus(service, &status))
                return Fail("QueryServiceStatus");
            if (status.dwCurrentState == wanted || GetTickCount() - start > limit)
                break;
            Sleep(20);
        }
        PrintStatus(status);
        return status.dwCurrentState == wanted ? 0 : 1;
    }
    if (strcmp(verb, "cycle") == 0 && argc >= 4) {
        // A control the service cannot take yet (1061, still pending) is sent
        // again at once; any other failure is counted and ends the run.
        long pairs = strtol(argv[3], NULL, 10), done = 0, busy = 0;
        DWORD failure = 0;
        for (long i = 0; i < pairs && failure == 0; i++) {
            static const DWORD codes[2] = {SERVICE_CONTROL_PAUSE, SERVICE_CONTROL_CONTINUE};
            for (DWORD code : codes) {
                while (!ControlService(service, code, &status)) {
                    if (GetLastError() != ERROR_SERVICE_CANNOT_ACCEPT_CTRL) {
                        failure = GetLastError();
                        break;
                    }
                    busy++;
                }
                if (failure != 0)
                    break;
            }
            if (failure == 0)
                done++;
        }
        printf("pairs=%ld busy=%ld failure=%lu\n", done, busy, failure);
        QueryServiceStatus(service, &status);
        PrintStatus(status);
        return failure == 0 ? 0 : 1;
    }
    if (strcmp(verb, "kill") == 0) {
        SERVICE_STATUS_PROCESS process = {};
        DWORD needed;
        if (!QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, (BYTE *)&process, sizeof process, &needed))
            return Fail("QueryServiceStatusEx");
        HANDLE handle = OpenProcess(PROCESS_TERMINATE, FALSE, process.dwProcessId);
        if (handle == NULL || !TerminateProcess(handle, 9))
            return Fail("TerminateProcess");
        CloseHandle(handle);
        printf("killed %lu\n", process.dwProcessId);
        return 0;
    }
    fprintf(stderr, "unknown command %s\n", verb);
    return 2;
}
