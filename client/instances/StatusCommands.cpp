#include "client/instances/StatusCommands.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include "client/instances/ConfigurationCommands.h"
#include "client/instances/InstanceStatus.h"
#include "client/instances/InstanceStore.h"
#include "client/instances/ServiceControl.h"
#include "common/settings/StatusKey.h"

static BOOL Capturing(DWORD state)
{
    return state == SERVICE_RUNNING || state == SERVICE_CONTINUE_PENDING || state == SERVICE_START_PENDING;
}

static void FormatAlarmField(const InstanceSettings &record, const InstanceLiveStatus &live, ULONGLONG now,
                             char *text, size_t size)
{
    if (!Capturing(record.LastStatus.dwCurrentState) || !live.Present)
        snprintf(text, size, "-");
    else if (!live.Connected)
        snprintf(text, size, "disconnected");
    else if (live.SilentSince != 0)
        snprintf(text, size, "silent:%llu", now > live.SilentSince ? (now - live.SilentSince) / FILETIME_PER_SECOND : 0);
    else
        snprintf(text, size, "none");
}

int ShowInstanceStatus(int n, CommandReport report)
{
    if (!OpenInstancesForCommand())
        return CONFIGURATION_NOT_REACHED;
    if (n != 0 && !InstanceTable[n].InUse) {
        ReportCommandLine(report, "Instance %d is not installed", n);
        CloseInstancesForCommand();
        return CONFIGURATION_NOT_REACHED;
    }
    ULONGLONG now = UtcNowFiletime();
    for (int i = 1; i <= MAX_INSTANCES; i++) {
        const InstanceSettings &record = InstanceTable[i];
        if (!record.InUse || (n != 0 && i != n))
            continue;
        InstanceLiveStatus live;
        memset(&live, 0, sizeof live);
        ReadInstanceLiveStatus(i, &live);
        const char *state = ServiceStateText(record.LastStatus.dwCurrentState);
        char last[UTC_TEXT_SIZE] = "-", alarm[32];
        if (live.Present && live.LastData == 0)
            snprintf(last, sizeof last, "never");
        else if (live.Present)
            FormatUtcText(live.LastData, last, sizeof last);
        FormatAlarmField(record, live, now, alarm, sizeof alarm);
        ReportCommandLine(report, "%-3d %-8s %-10s %-20s %-10llu %-12s %-5lu %s", i,
                          record.PortName[0] != '\0' ? record.PortName : "-", state[0] != '\0' ? state : "Unknown",
                          last, BytesReceivedToday(&live, now), alarm,
                          (unsigned long)(live.Present ? live.OutboxCount : OutboxMailCount(i)),
                          live.Present && live.LogFile[0] != '\0' ? live.LogFile : record.LogFilename);
    }
    CloseInstancesForCommand();
    return CONFIGURATION_DONE;
}

// What the check found, worst first; bounded texts.
struct CheckFindings {
    int State;
    char Text[2048];
    char Performance[6144];
};

static void Append(char *buffer, size_t size, const char *format, ...)
{
    size_t used = strnlen(buffer, size);
    if (used + 1 >= size)
        return;
    va_list args;
    va_start(args, format);
    vsnprintf(buffer + used, size - used, format, args);
    va_end(args);
}

static void Find(CheckFindings *findings, int state, int n, const char *what, ULONGLONG seconds)
{
    if (state > findings->State)
        findings->State = state;
    Append(findings->Text, sizeof findings->Text, "%sQuillbox%d %s", findings->Text[0] != '\0' ? "; " : "", n, what);
    if (seconds != 0)
        Append(findings->Text, sizeof findings->Text, " for %llu s", seconds);
}

static void CheckInstance(int n, int named, long warnSeconds, long critSeconds, ULONGLONG now, CheckFindings *f)
{
    const InstanceSettings &record = InstanceTable[n];
    DWORD state = record.ServiceHandle != NULL ? record.LastStatus.dwCurrentState : SERVICE_STOPPED;
    if (state == SERVICE_STOPPED || state == SERVICE_STOP_PENDING) {
        if (named || record.AutoStart)
            Find(f, CHECK_CRITICAL, n, record.ServiceHandle != NULL ? "is stopped" : "has no service", 0);
        return;
    }
    if (state == SERVICE_PAUSED || state == SERVICE_PAUSE_PENDING) {
        Find(f, CHECK_WARNING, n, "is paused", 0);
        return;
    }
    InstanceLiveStatus live;
    memset(&live, 0, sizeof live);
    if (!ReadInstanceLiveStatus(n, &live)) {
        if (state == SERVICE_RUNNING)
            Find(f, CHECK_UNKNOWN, n, "publishes no status", 0);
        return;
    }
    ULONGLONG quiet = SecondsWithoutData(&live, now);
    ULONGLONG today = BytesReceivedToday(&live, now);
    Append(f->Performance, sizeof f->Performance, "%sq%d_silence=%llus;", f->Performance[0] != '\0' ? " " : "", n,
           quiet);
    if (warnSeconds >= 0)
        Append(f->Performance, sizeof f->Performance, "%ld", warnSeconds);
    Append(f->Performance, sizeof f->Performance, ";");
    if (critSeconds >= 0)
        Append(f->Performance, sizeof f->Performance, "%ld", critSeconds);
    Append(f->Performance, sizeof f->Performance, ";0 q%d_today=%lluB;;;0 q%d_outbox=%lu;;;0", n, today, n,
           (unsigned long)live.OutboxCount);

    if (!live.Connected)
        Find(f, CHECK_CRITICAL, n, "has its source disconnected", 0);
    else if (critSeconds >= 0 ? quiet >= (ULONGLONG)critSeconds : live.SilentSince != 0)
        Find(f, CHECK_CRITICAL, n, "is silent", quiet);
    else if (warnSeconds >= 0 && quiet >= (ULONGLONG)warnSeconds)
        Find(f, CHECK_WARNING, n, "is quiet", quiet);
    if (live.OutboxCount > 0 && live.OutboxOldest != 0 &&
        now > live.OutboxOldest + CHECK_MAIL_WAIT_SECONDS * FILETIME_PER_SECOND)
        Find(f, CHECK_WARNING, n, "has mail waiting", (now - live.OutboxOldest) / FILETIME_PER_SECOND);
    if (LostToday(&live, now))
        Find(f, CHECK_WARNING, n, "lost received data today", 0);
}

int CheckInstances(int n, long warnSeconds, long critSeconds, CommandReport report)
{
    static const char *const states[] = {"OK", "WARNING", "CRITICAL", "UNKNOWN"};
    static CheckFindings findings;
    memset(&findings, 0, sizeof findings);
    if (!OpenInstancesForCommand()) {
        ReportCommandLine(report, "TALLYLINE UNKNOWN - the Service Control Manager could not be opened");
        return CHECK_UNKNOWN;
    }
    int checked = 0;
    ULONGLONG now = UtcNowFiletime();
    for (int i = 1; i <= MAX_INSTANCES; i++) {
        if (!InstanceTable[i].InUse || (n != 0 && i != n))
            continue;
        checked++;
        CheckInstance(i, n != 0, warnSeconds, critSeconds, now, &findings);
    }
    CloseInstancesForCommand();
    if (checked == 0) {
        ReportCommandLine(report, n != 0 ? "TALLYLINE UNKNOWN - instance %d is not installed"
                                         : "TALLYLINE UNKNOWN - no instance is installed", n);
        return CHECK_UNKNOWN;
    }
    if (findings.Text[0] == '\0')
        snprintf(findings.Text, sizeof findings.Text, "%d instance%s checked", checked, checked == 1 ? "" : "s");
    // Longer than a report line may be: 64 instances' performance data.
    static char line[sizeof findings.Text + sizeof findings.Performance + 64];
    snprintf(line, sizeof line, "TALLYLINE %s - %s%s%s", states[findings.State], findings.Text,
             findings.Performance[0] != '\0' ? " | " : "", findings.Performance);
    if (report != NULL)
        report(line);
    return findings.State;
}
