#include <gtest/gtest.h>

#include <string.h>
#include <string>
#include <vector>

#include "service/core/ReportServiceEvent.h"
#include "service/core/ServiceState.h"
#include "service/mail/MailThread.h"
#include "service/ServiceMain.h"

namespace {

struct RecordedEvent {
    WORD Type;
    std::string Text;
};
std::vector<RecordedEvent> Events;
CRITICAL_SECTION Guard;     // the fakes run on the mail threads

HANDLE WINAPI FakeRegister(LPCSTR, LPCSTR) { return (HANDLE)1; }
BOOL WINAPI FakeReport(HANDLE, WORD type, WORD, DWORD, PSID, WORD, DWORD, LPCSTR *texts, LPVOID)
{
    EnterCriticalSection(&Guard);
    Events.push_back({type, texts[0]});
    LeaveCriticalSection(&Guard);
    return TRUE;
}
BOOL WINAPI FakeDeregister(HANDLE) { return TRUE; }

// A mailer that takes MailMs per mail and notes who mailed what, and how
// many mails ran at once. Paths ending in '2' cannot connect.
std::vector<std::string> Mailed;
std::string Addresses;
LONG Running, MostAtOnce;
DWORD MailMs;
HANDLE MailBegan;

int FakeMail(const char *path, const char *server, const char *from, const char *to)
{
    LONG now = InterlockedIncrement(&Running);
    EnterCriticalSection(&Guard);
    if (now > MostAtOnce)
        MostAtOnce = now;
    Mailed.push_back(path);
    Addresses = std::string(server) + " " + from + " " + to;
    LeaveCriticalSection(&Guard);
    SetEvent(MailBegan);
    Sleep(MailMs);
    InterlockedDecrement(&Running);
    return path[strlen(path) - 1] == '2' ? 2 : 0;
}

size_t MailedCount()
{
    EnterCriticalSection(&Guard);
    size_t n = Mailed.size();
    LeaveCriticalSection(&Guard);
    return n;
}

class Mailing : public ::testing::Test {
protected:
    void SetUp() override
    {
        static bool once;
        if (!once) {
            InitializeCriticalSection(&Guard);
            MailBegan = CreateEventA(NULL, FALSE, FALSE, NULL);
            once = true;
        }
        ASSERT_TRUE(CreateServiceSynchronisation());
        ResetEvent(StopEvent);
        ResetEvent(MailBegan);
        saved = EventLog;
        EventLog = {FakeRegister, FakeReport, FakeDeregister};
        savedMailer = MailLogFileFunction;
        MailLogFileFunction = FakeMail;
        Events.clear();
        Mailed.clear();
        Running = MostAtOnce = 0;
        memset(&Params, 0, sizeof Params);
        ParametersRead = TRUE;
        strcpy(Params.SmtpServer, "mail.plant.example");
        strcpy(Params.SmtpFromAddress, "tally@plant.example");
        strcpy(Params.SmtpToAddress, "ops@plant.example");
    }
    void TearDown() override
    {
        // Let every mail thread of the test end before the next one.
        for (int i = 0; i < 100 && (Running != 0 || MailInProgress()); i++)
            Sleep(20);
        Sleep(50);
        ResetEvent(StopEvent);
        EventLog = saved;
        MailLogFileFunction = savedMailer;
    }
    EventLogApi saved;
    MailFunction savedMailer;
};

TEST_F(Mailing, MailsRunOneAtATimeInRotationOrderEachReported)
{
    Params.VerboseLevel = 8;
    MailMs = 120;
    const char *paths[] = {"C:\\logs\\Q1.log1", "C:\\logs\\Q1.log2", "C:\\logs\\Q1.log3",
                           "C:\\logs\\Q1.log4"};
    for (const char *path : paths)
        ASSERT_TRUE(StartMailThread(path));     // faster than one mail takes
    for (int i = 0; i < 200 && !(MailedCount() == 4 && Running == 0); i++)
        Sleep(20);
    ASSERT_TRUE(WaitForMail(2000));

    EXPECT_EQ(Mailed, std::vector<std::string>(paths, paths + 4));
    EXPECT_EQ(MostAtOnce, 1);
    EXPECT_EQ(Addresses, "mail.plant.example tally@plant.example ops@plant.example");
    ASSERT_EQ(Events.size(), 4u);
    EXPECT_EQ(Events[0].Type, EVENTLOG_INFORMATION_TYPE);
    EXPECT_EQ(Events[0].Text, "Successfully emailed logfile C:\\logs\\Q1.log1");
    EXPECT_EQ(Events[1].Type, EVENTLOG_ERROR_TYPE);
    EXPECT_EQ(Events[1].Text, "Failed to email logfile C:\\logs\\Q1.log2 (reason: 2)");
    EXPECT_EQ(Events[3].Text, "Successfully emailed logfile C:\\logs\\Q1.log4");
}

TEST_F(Mailing, AStopWaitsOnlyForTheMailInProgress)
{
    Params.VerboseLevel = 1;    // no mail bit: nothing reported
    MailMs = 600;
    EXPECT_FALSE(MailInProgress());
    ASSERT_TRUE(StartMailThread("C:\\logs\\first.log"));
    ASSERT_TRUE(StartMailThread("C:\\logs\\second.log"));
    ASSERT_EQ(WaitForSingleObject(MailBegan, 2000), WAIT_OBJECT_0);
    EXPECT_TRUE(MailInProgress());
    EXPECT_FALSE(WaitForMail(50));          // still mailing

    SetEvent(StopEvent);
    DWORD began = GetTickCount();
    EXPECT_TRUE(WaitForMail(5000));
    EXPECT_LT(GetTickCount() - began, 2000u);
    Sleep(200);
    // The queued mail was not begun after the stop.
    EXPECT_EQ(Mailed, std::vector<std::string>{"C:\\logs\\first.log"});
    EXPECT_FALSE(MailInProgress());
    EXPECT_TRUE(Events.empty());
}

// The system's shutdown notices: what a stop does, and the handler answers
// while a mail goes on (the Service Control Manager cannot send them, so
// the end-to-end tests cannot).
TEST_F(Mailing, ShutdownAndPreShutdownStopAsAStopDoesAnsweringAtOnce)
{
    Params.VerboseLevel = 1;
    MailConfigured = TRUE;
    MailMs = 2500;
    strcpy(ServiceName, "Quillbox7");
    for (DWORD control : {(DWORD)SERVICE_CONTROL_SHUTDOWN, (DWORD)SERVICE_CONTROL_PRESHUTDOWN}) {
        Events.clear();
        ResetEvent(StopEvent);
        ASSERT_TRUE(StartMailThread("C:\\logs\\finished.log"));
        ASSERT_EQ(WaitForSingleObject(MailBegan, 2000), WAIT_OBJECT_0);
        ServiceStatus.dwCurrentState = SERVICE_RUNNING;
        EXPECT_EQ(ServiceHandler(control, 0, NULL, NULL), (DWORD)NO_ERROR);
        EXPECT_TRUE(MailInProgress());
        EXPECT_EQ(ServiceStatus.dwCurrentState, (DWORD)SERVICE_STOP_PENDING);
        EXPECT_GE(ServiceStatus.dwCheckPoint, 1u);
        for (int i = 0; i < 250 && ServiceStatus.dwCurrentState != SERVICE_STOPPED; i++)
            Sleep(20);
        EXPECT_EQ(ServiceStatus.dwCurrentState, (DWORD)SERVICE_STOPPED);
        EXPECT_FALSE(MailInProgress());
        EnterCriticalSection(&Guard);
        bool stopping = false;
        for (const RecordedEvent &e : Events)
            stopping = stopping || e.Text == "Quillbox7 Stopping";
        LeaveCriticalSection(&Guard);
        EXPECT_TRUE(stopping);
    }
    MailConfigured = FALSE;
}

}  // namespace
