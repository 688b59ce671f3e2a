// The mail outbox on the real registry, with a scripted mailer in place of
// the server. A "restart" closes the outbox and opens it again: all that
// survives is what the registry holds.
#include <gtest/gtest.h>

#include <stdio.h>
#include <string.h>
#include <string>
#include <vector>

#include "common/mail/MailLogFile.h"
#include "service/core/ServiceState.h"
#include "service/mail/MailOutbox.h"
#include "service/mail/OutboxThread.h"
#include "tests/unit/FakeEventLog.h"

namespace {

const char *const TestService = "TallyOutboxTest";
const char *const OutboxPath = "SYSTEM\\CurrentControlSet\\Services\\TallyOutboxTest\\Outbox";

// What the scripted server does with each try, in order; and what it was given.
struct Reply {
    int Result;
    int Failure;
    DWORD Parts;        // with MessageTooLarge for a whole log: the log is cut into this many
    bool LoseKey = false;   // the registry fails the outbox from this mail on
};
std::vector<Reply> Script;
std::vector<std::string> Tries;

int ScriptedMailer(const char *path, const MailPart *part, MailPlan *plan, int *failure)
{
    char what[300];
    if (part != NULL)
        snprintf(what, sizeof what, "%s %lu/%lu@%llu+%llu", path, (unsigned long)part->Index,
                 (unsigned long)part->Count, (unsigned long long)part->Offset, (unsigned long long)part->Length);
    else
        snprintf(what, sizeof what, "%s", path);
    Tries.push_back(what);
    Reply reply = Script.empty() ? Reply{Sent, FailureForNow, 0} : Script.front();
    if (!Script.empty())
        Script.erase(Script.begin());
    if (reply.LoseKey)
        CloseOutbox();
    plan->Count = reply.Parts;
    for (DWORD k = 0; k < reply.Parts; k++)
        plan->Ends[k] = 100 * (k + 1);
    *failure = reply.Failure;
    return reply.Result;
}

// The text up to where a report names the time the retries end.
std::string UpToUntil(const std::string &text)
{
    return text.substr(0, text.find(" until "));
}

std::vector<std::string> Texts()
{
    std::vector<std::string> texts;
    for (const RecordedEvent &e : RecordedEvents())
        texts.push_back(e.Text);
    return texts;
}

std::string Value(const char *name)
{
    char text[OUTBOX_TEXT_SIZE] = "";
    DWORD size = sizeof text - 1;
    if (RegGetValueA(HKEY_LOCAL_MACHINE, OutboxPath, name, RRF_RT_REG_SZ, NULL, text, &size) != ERROR_SUCCESS)
        return "(none)";
    return text;
}

void SetValue(const char *name, DWORD type, const void *data, DWORD size)
{
    HKEY key;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, OutboxPath, 0, NULL, 0, KEY_SET_VALUE, NULL, &key, NULL),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExA(key, name, 0, type, (const BYTE *)data, size), ERROR_SUCCESS);
    RegCloseKey(key);
}

class Outbox : public ::testing::Test {
protected:
    void SetUp() override
    {
        RegDeleteTreeA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Services\\TallyOutboxTest");
        memset(&Params, 0, sizeof Params);
        strcpy(ServiceName, TestService);
        ParametersRead = TRUE;
        Params.VerboseLevel = 8;
        Params.Mail.MailRetryHours = 24;
        saved = OutboxMailFunction;
        OutboxMailFunction = ScriptedMailer;
        Script.clear();
        Tries.clear();
        RecordedEvents().clear();
        ResetMailOutbox();
    }
    void TearDown() override
    {
        CloseOutbox();
        ResetMailOutbox();
        MailConfigured = FALSE;
        OutboxMailFunction = saved;
        RegDeleteTreeA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Services\\TallyOutboxTest");
    }
    static void Restart()
    {
        CloseOutbox();
        ASSERT_TRUE(OpenOutbox());
    }
    FakeEventLog events;
    OutboxMailer saved;
};

TEST(OutboxEntry, TheTextRoundTripsAndAnythingElseIsRefused)
{
    OutboxEntry entry = {}, back = {};
    SYSTEMTIME t = {2026, 12, 0, 9, 13, 0, 5, 0};
    FILETIME f;
    SystemTimeToFileTime(&t, &f);
    entry.Since = ((ULONGLONG)f.dwHighDateTime << 32) | f.dwLowDateTime;
    entry.Tries = 4;
    entry.LastReason = 3;
    entry.Plan.Count = 3;
    entry.PartsSent = 1;
    entry.Plan.Ends[0] = 4000, entry.Plan.Ends[1] = 8000, entry.Plan.Ends[2] = 9100;
    strcpy(entry.Path, "C:\\Log Files\\Quillbox1 202612091300.log");
    char text[OUTBOX_TEXT_SIZE];
    ASSERT_TRUE(FormatOutboxEntry(&entry, text, sizeof text));
    EXPECT_STREQ(text, "since=2026-12-09T13:00:05Z tries=4 reason=3 parts=3 sent=1 ends=4000,8000,9100 "
                       "path=C:\\Log Files\\Quillbox1 202612091300.log");
    ASSERT_TRUE(ParseOutboxEntry(text, &back));
    EXPECT_EQ(memcmp(&back.Plan, &entry.Plan, sizeof entry.Plan.Count + 3 * sizeof entry.Plan.Ends[0]), 0);
    EXPECT_EQ(back.Since, entry.Since);
    EXPECT_EQ(back.Tries, 4u);
    EXPECT_EQ(back.PartsSent, 1u);
    EXPECT_STREQ(back.Path, entry.Path);
    // A text that fits no buffer is refused, not cut.
    EXPECT_FALSE(FormatOutboxEntry(&entry, text, 60));

    std::string tooLong = "since=2026-12-09T13:00:05Z tries=0 reason=0 parts=0 sent=0 path=" + std::string(LOG_PATH_SIZE, 'x');
    const char *refused[] = {
        "",
        "since=2026-13-09T13:00:05Z tries=0 reason=0 parts=0 sent=0 path=C:\\a.log",
        "since=2026-12-09T13:00:05Z tries=99999999999 reason=0 parts=0 sent=0 path=C:\\a.log",
        "since=2026-12-09T13:00:05Z tries=0 reason=0 parts=1000 sent=0 path=C:\\a.log",
        "since=2026-12-09T13:00:05Z tries=0 reason=0 parts=2 sent=2 ends=1,2 path=C:\\a.log",
        "since=2026-12-09T13:00:05Z tries=0 reason=0 parts=2 sent=0 ends=5,5 path=C:\\a.log",
        "since=2026-12-09T13:00:05Z tries=0 reason=0 parts=2 sent=0 ends=5 path=C:\\a.log",
        "since=2026-12-09T13:00:05Z tries=-1 reason=0 parts=0 sent=0 path=C:\\a.log",
        "since=2026-12-09T13:00:05Z tries=0 reason=0 parts=0 sent=0 path=",
        "since=2026-12-09T13:00:05Z tries=0 reason=0 parts=0 sent=0",
        tooLong.c_str(),
    };
    for (const char *text : refused)
        EXPECT_FALSE(ParseOutboxEntry(text, &back)) << text;
}

TEST_F(Outbox, OldestFirstAFailureMakesTheQueueWaitAndARestartKeepsEveryLogAndItsTries)
{
    ASSERT_TRUE(OpenOutbox());
    ASSERT_TRUE(AddToOutbox("C:\\logs\\a.log"));
    ASSERT_TRUE(AddToOutbox("C:\\logs\\b.log"));
    EXPECT_EQ(OutboxCount(), 2u);
    EXPECT_EQ(Value("00000001").substr(0, 6), "since=");

    Script = {{BadReply, FailureForNow, 0}};
    EXPECT_EQ(MailOldestInOutbox(), OutboxWaits);
    Restart();
    EXPECT_EQ(OutboxCount(), 2u);
    EXPECT_NE(Value("00000001").find(" tries=1 reason=3 "), std::string::npos) << Value("00000001");
    // Silent retries: only the first failure is said.
    Script = {{ConnectFailed, FailureForNow, 0}};
    EXPECT_EQ(MailOldestInOutbox(), OutboxWaits);
    EXPECT_EQ(MailOldestInOutbox(), OutboxGoesOn);
    EXPECT_EQ(MailOldestInOutbox(), OutboxGoesOn);
    EXPECT_EQ(MailOldestInOutbox(), OutboxIdle);
    EXPECT_EQ(Value("00000001"), "(none)");

    EXPECT_EQ(Tries, std::vector<std::string>({"C:\\logs\\a.log", "C:\\logs\\a.log", "C:\\logs\\a.log",
                                               "C:\\logs\\b.log"}));
    std::vector<std::string> texts = Texts();
    ASSERT_EQ(texts.size(), 3u);
    EXPECT_EQ(UpToUntil(texts[0]), "Failed to email logfile C:\\logs\\a.log (reason: 3); it will be tried again");
    EXPECT_EQ(texts[1], "Successfully emailed logfile C:\\logs\\a.log (tries: 3)");
    EXPECT_EQ(texts[2], "Successfully emailed logfile C:\\logs\\b.log");
    // The queue's waits after failures in a row.
    const DWORD minutes[] = {1, 2, 4, 8, 15, 30, 30, 30};
    for (DWORD n = 1; n <= 8; n++)
        EXPECT_EQ(OutboxRetryDelayMs(n), minutes[n - 1] * 60000) << n;
}

TEST_F(Outbox, ARefusalForGoodAGoneFileOrTimeUpIsGivenUpWithoutHoldingTheNextBack)
{
    // Left by an earlier run: an entry whose hours are over, and values
    // that are none of the outbox's, which are reported and removed.
    const char expired[] = "since=2026-01-01T00:00:00Z tries=5 reason=2 parts=0 sent=0 path=C:\\logs\\old.log";
    const char garbled[] = "since=yesterday";
    DWORD number = 7;
    SetValue("00000003", REG_SZ, expired, sizeof expired);
    SetValue("00000004", REG_SZ, garbled, sizeof garbled);
    SetValue("00000005", REG_DWORD, &number, sizeof number);
    SetValue("not a number", REG_SZ, expired, sizeof expired);
    ASSERT_TRUE(OpenOutbox());
    EXPECT_EQ(OutboxCount(), 2u);
    ASSERT_TRUE(AddToOutbox("C:\\logs\\refused.log"));
    ASSERT_TRUE(AddToOutbox("C:\\logs\\gone.log"));
    ASSERT_TRUE(AddToOutbox("C:\\logs\\next.log"));
    // Numbered on from the newest entry found.
    EXPECT_EQ(Value("00000005").substr(Value("00000005").size() - 24), "path=C:\\logs\\refused.log");

    Script = {{ConnectFailed, FailureForNow, 0}, {BadReply, FailureRefused, 0}, {FileNotOpened, FailureFileGone, 0}};
    for (int step = 0; step < 3; step++)
        EXPECT_EQ(MailOldestInOutbox(), OutboxGoesOn) << step;
    EXPECT_EQ(MailOldestInOutbox(), OutboxGoesOn);
    EXPECT_EQ(MailOldestInOutbox(), OutboxIdle);
    EXPECT_EQ(Tries, std::vector<std::string>({"C:\\logs\\old.log", "C:\\logs\\refused.log", "C:\\logs\\gone.log",
                                               "C:\\logs\\next.log"}));
    std::vector<std::string> texts = Texts();
    ASSERT_EQ(texts.size(), 7u);
    EXPECT_EQ(RecordedEvents()[0].Type, EVENTLOG_WARNING_TYPE);
    EXPECT_EQ(texts[2], "Gave up emailing logfile C:\\logs\\old.log (reason: 2, tries: 6): its time for retries is over");
    EXPECT_EQ(texts[3], "The mail outbox entry 00000004 cannot be read as one; it is removed");
    EXPECT_EQ(texts[4], "Gave up emailing logfile C:\\logs\\refused.log (reason: 3, tries: 1): the server refused it");
    EXPECT_EQ(texts[5], "Gave up emailing logfile C:\\logs\\gone.log (reason: 4, tries: 1): the file is no longer there");
    EXPECT_EQ(texts[6], "Successfully emailed logfile C:\\logs\\next.log");
}

TEST_F(Outbox, ALogTooLargeIsCutOnceAndEachPartIsMailedUntilTheServerTakesItNeverAgain)
{
    ASSERT_TRUE(OpenOutbox());
    ASSERT_TRUE(AddToOutbox("C:\\logs\\big.log"));
    Script = {{MessageTooLarge, FailureForNow, 3}, {Sent, FailureForNow, 0}, {ConnectFailed, FailureForNow, 0}};
    EXPECT_EQ(MailOldestInOutbox(), OutboxGoesOn);      // cut
    EXPECT_EQ(MailOldestInOutbox(), OutboxGoesOn);      // part 1
    EXPECT_EQ(MailOldestInOutbox(), OutboxWaits);       // part 2 failed
    EXPECT_NE(Value("00000001").find(" tries=1 reason=2 parts=3 sent=1 ends=100,200,300 path="), std::string::npos)
        << Value("00000001");
    Restart();
    EXPECT_EQ(MailOldestInOutbox(), OutboxGoesOn);
    EXPECT_EQ(MailOldestInOutbox(), OutboxGoesOn);
    EXPECT_EQ(MailOldestInOutbox(), OutboxIdle);
    EXPECT_EQ(Tries, std::vector<std::string>({"C:\\logs\\big.log", "C:\\logs\\big.log 1/3@0+100",
                                               "C:\\logs\\big.log 2/3@100+100", "C:\\logs\\big.log 2/3@100+100",
                                               "C:\\logs\\big.log 3/3@200+100"}));
    std::vector<std::string> texts = Texts();
    ASSERT_EQ(texts.size(), 2u);
    EXPECT_EQ(UpToUntil(texts[0]), "Failed to email part 2 of 3 of logfile C:\\logs\\big.log (reason: 2); it will be "
                                   "tried again");
    EXPECT_EQ(texts[1], "Successfully emailed logfile C:\\logs\\big.log in 3 parts (tries: 4)");
}

TEST_F(Outbox, AFileAtFaultIsSetAsideTheNextGoesOnAndALogTheServerTookIsNeverMailedAgain)
{
    // A log cut into parts that has changed since: planned again, later.
    char folder[MAX_PATH], changed[MAX_PATH];
    GetTempPathA(sizeof folder, folder);
    snprintf(changed, sizeof changed, "%stally-outbox-changed.log", folder);
    FILE *file = fopen(changed, "wb");
    ASSERT_NE(file, nullptr);
    fwrite(std::string(250, 'x').data(), 1, 250, file);
    fclose(file);
    // Entered now: a fixed date would have its retries run out one day.
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    char since[OUTBOX_TIME_SIZE];
    ASSERT_TRUE(FormatOutboxTime(((ULONGLONG)now.dwHighDateTime << 32) | now.dwLowDateTime, since, sizeof since));
    std::string parts = std::string("since=") + since + " tries=0 reason=0 parts=3 sent=1 ends=100,200,300 path=" +
                        std::string(changed);
    SetValue("00000001", REG_SZ, parts.c_str(), (DWORD)parts.size() + 1);
    ASSERT_TRUE(OpenOutbox());
    ASSERT_TRUE(AddToOutbox("C:\\logs\\held.log"));
    ASSERT_TRUE(AddToOutbox("C:\\logs\\next.log"));
    ASSERT_TRUE(AddToOutbox("C:\\logs\\last.log"));
    // held.log cannot be opened (another program has it); the server takes
    // next.log, but the registry fails the outbox just then.
    Script = {{FileNotOpened, FailureFile, 0}, {Sent, FailureForNow, 0, true}};
    EXPECT_EQ(MailOldestInOutbox(), OutboxGoesOn);      // changed.log set aside unmailed
    EXPECT_NE(Value("00000001").find(" tries=1 reason=4 parts=0 sent=0 path="), std::string::npos);
    EXPECT_EQ(MailOldestInOutbox(), OutboxGoesOn);      // held.log set aside
    EXPECT_EQ(MailOldestInOutbox(), OutboxWaits);       // next.log delivered, not removed
    ASSERT_TRUE(OpenOutbox());
    EXPECT_EQ(MailOldestInOutbox(), OutboxGoesOn);      // next.log removed without a mail
    EXPECT_EQ(MailOldestInOutbox(), OutboxGoesOn);      // last.log
    EXPECT_EQ(MailOldestInOutbox(), OutboxIdle);        // the two set aside wait on their own
    EXPECT_EQ(Tries, std::vector<std::string>({"C:\\logs\\held.log", "C:\\logs\\next.log", "C:\\logs\\last.log"}));
    EXPECT_EQ(OutboxCount(), 2u);
    std::vector<std::string> texts = Texts();
    ASSERT_EQ(texts.size(), 5u);
    EXPECT_EQ(UpToUntil(texts[1]), "Failed to email logfile C:\\logs\\held.log (reason: 4); it will be tried again");
    EXPECT_EQ(texts[2], "Successfully emailed logfile C:\\logs\\next.log");
    EXPECT_EQ(texts[3].rfind("The mail outbox could not be changed after the mail of logfile C:\\logs\\next.log (error ", 0),
              0u) << texts[3];
    EXPECT_EQ(texts[4], "Successfully emailed logfile C:\\logs\\last.log");
    // The next run tries them at once, oldest first, the changed log whole.
    ResetMailOutbox();
    Restart();
    EXPECT_EQ(MailOldestInOutbox(), OutboxGoesOn);
    EXPECT_EQ(Tries.back(), changed);
    remove(changed);
}

TEST_F(Outbox, TheOpenLogIsRecordedAndAStartAfterItsPeriodEntersItOnceWhateverStoppedTheService)
{
    char folder[MAX_PATH];
    GetTempPathA(sizeof folder, folder);
    std::vector<std::string> logs;
    for (const char *name : {"a", "b", "c", "d"}) {
        logs.push_back(std::string(folder) + "tally-open-" + name + ".log");
        FILE *file = fopen(logs.back().c_str(), "wb");
        ASSERT_NE(file, nullptr);
        fclose(file);
    }
    auto newRun = [] {
        CloseOutbox();
        ResetMailOutbox();
    };
    MailConfigured = TRUE;
    Params.LogRotation = RotationMinutely;
    OutboxLogOpened(logs[0].c_str());                   // the start
    EXPECT_EQ(OutboxCount(), 0u);
    OutboxLogOpened(logs[1].c_str());                   // a rotation: a is entered with b's record
    EXPECT_TRUE(MailFinishedLog(logs[0].c_str()));      // ...and not a second time
    EXPECT_EQ(OutboxCount(), 1u);
    // Stopped before the next boundary, started after it: b is finished.
    newRun();
    OutboxLogOpened(logs[2].c_str());
    EXPECT_EQ(OutboxCount(), 2u);
    // Started again within the same period: nothing is finished.
    newRun();
    OutboxLogOpened(logs[2].c_str());
    EXPECT_EQ(OutboxCount(), 2u);
    // A crash between entering a finished log and recording the next one.
    ASSERT_TRUE(AddToOutbox(logs[2].c_str()));
    newRun();
    OutboxLogOpened(logs[3].c_str());
    EXPECT_EQ(OutboxCount(), 3u);
    while (MailOldestInOutbox() == OutboxGoesOn) {
    }
    EXPECT_EQ(Tries, std::vector<std::string>({logs[0], logs[1], logs[2]}));
    // Retries switched off: the open log is forgotten, what is entered still goes once.
    ASSERT_TRUE(AddToOutbox(logs[0].c_str()));
    newRun();
    Params.Mail.MailRetryHours = 0;
    OutboxLogOpened(logs[0].c_str());
    EXPECT_EQ(OutboxCount(), 2u);                       // d, and the entry left waiting
    Script = {{ConnectFailed, FailureForNow, 0}};
    EXPECT_EQ(MailOldestInOutbox(), OutboxGoesOn);      // given up after its one try
    std::string record = std::string(OutboxPath) + "\\" OUTBOX_OPEN_LOG_KEY;
    char path[MAX_PATH];
    DWORD size = sizeof path;
    EXPECT_NE(RegGetValueA(HKEY_LOCAL_MACHINE, record.c_str(), OUTBOX_OPEN_LOG_VALUE, RRF_RT_REG_SZ, NULL, path, &size),
              ERROR_SUCCESS);
    for (const std::string &log : logs)
        remove(log.c_str());
}

}  // namespace
