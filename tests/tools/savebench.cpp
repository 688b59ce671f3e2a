// savebench.exe N [SAVES]: how long the configuration program's save takes
// for N instances under this system's registry and Service Control Manager,
// and where the time goes. Registers Quillbox1..N, saves, times, and deletes
// them again (run it where no Quillbox instance is installed). Prints the
// figures.
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>

#include "client/instances/InstanceCommands.h"
#include "client/instances/InstanceStore.h"

static double Now()
{
    static LARGE_INTEGER frequency;
    if (frequency.QuadPart == 0)
        QueryPerformanceFrequency(&frequency);
    LARGE_INTEGER t;
    QueryPerformanceCounter(&t);
    return (double)t.QuadPart * 1000.0 / (double)frequency.QuadPart;
}

int main(int argc, char **argv)
{
    int count = argc > 1 ? atoi(argv[1]) : 1;
    int rounds = argc > 2 ? atoi(argv[2]) : 5;
    if (!IsInstanceNumber(count))
        return 2;
    if (!ConnectServiceManager())
        return 1;
    for (int n = 1; n <= count; n++)
        SetNewInstanceDefaults(&InstanceTable[n], n);

    double began = Now();
    SaveFailures failures = {0, {0}};
    SaveInstances(0, &failures);
    printf("first save (registers %d services): %.1f ms, %d failed\n", count, Now() - began, failures.Count);

    double best = 1e9, total = 0;
    double startType = 0, parameters = 0, port = 0, query = 0;
    for (int r = 0; r < rounds; r++) {
        began = Now();
        SaveInstances(0, &failures);
        double took = Now() - began;
        total += took;
        if (took < best)
            best = took;
        // The parts of one save, timed on their own.
        for (int n = 1; n <= count; n++) {
            double t = Now();
            SetServiceStartType(InstanceTable[n].ServiceHandle, 0);
            startType += Now() - t;
            t = Now();
            int autoStart;
            ReadServiceStartType(InstanceTable[n].ServiceHandle, &autoStart);
            query += Now() - t;
            t = Now();
            HKEY key = OpenInstanceKey(n, InParametersKey, KEY_ALL_ACCESS);
            WriteInstanceKey(key, InParametersKey, &InstanceTable[n]);
            RegCloseKey(key);
            parameters += Now() - t;
            t = Now();
            key = OpenInstanceKey(n, InPortKey, KEY_ALL_ACCESS);
            WriteInstanceKey(key, InPortKey, &InstanceTable[n]);
            RegCloseKey(key);
            port += Now() - t;
        }
    }
    printf("save of %d instances: best %.1f ms, mean %.1f ms over %d saves\n", count, best, total / rounds, rounds);
    printf("  per save: start types %.1f ms, Parameters values %.1f ms, Port1 values %.1f ms;"
           " reading the start types %.1f ms\n",
           startType / rounds, parameters / rounds, port / rounds, query / rounds);

    for (int n = 1; n <= count; n++)
        InstanceTable[n].InUse = 0;
    SaveInstances(0, &failures);   // deletes the services again
    CloseServiceHandles();
    return 0;
}
