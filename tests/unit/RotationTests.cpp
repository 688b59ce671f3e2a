#include <gtest/gtest.h>

#include <string.h>
#include <string>
#include <vector>

#include "service/capture/Timestamp.h"
#include "service/core/ReportServiceEvent.h"
#include "service/core/ServiceState.h"
#include "service/log/LogFile.h"
#include "service/log/LogWriter.h"
#include "service/log/LogWriterThread.h"
#include "service/log/RotationCalendar.h"
#include "service/log/RotationThread.h"
#include "service/ReadParameters.h"
#include "tests/unit/TestCapture.h"
#include "tests/unit/TestTime.h"

namespace {

SYSTEMTIME Plus(const SYSTEMTIME &t, DWORD ms)
{
    FILETIME f;
    SystemTimeToFileTime(&t, &f);
    ULARGE_INTEGER u;
    u.LowPart = f.dwLowDateTime;
    u.HighPart = f.dwHighDateTime;
    u.QuadPart += (ULONGLONG)ms * 10000;
    f.dwLowDateTime = u.LowPart;
    f.dwHighDateTime = u.HighPart;
    SYSTEMTIME out;
    FileTimeToSystemTime(&f, &out);
    return out;
}

const DWORD Second = 1000, Minute = 60 * Second, Hour = 60 * Minute, Day = 24 * Hour;

TEST(RotationWait, EachKindWaitsToItsNextBoundaryInWholeSeconds)
{
    SYSTEMTIME t = At(2026, 12, 7, 10, 20, 30, 999);  // a Monday; the 999 ms are left out
    EXPECT_EQ(RotationWaitMs(RotationMinutely, t), 30 * Second);
    EXPECT_EQ(RotationWaitMs(RotationHourly, t), 39 * Minute + 30 * Second);
    EXPECT_EQ(RotationWaitMs(RotationDaily, t), 13 * Hour + 39 * Minute + 30 * Second);
    EXPECT_EQ(RotationWaitMs(RotationMonthly, t), RotationWaitMs(RotationDaily, t));
    // Weekly: to the midnight between Saturday and Sunday.
    SYSTEMTIME wednesday = At(2026, 12, 9, 14, 0, 0);
    ASSERT_EQ(wednesday.wDayOfWeek, 3);
    EXPECT_EQ(RotationWaitMs(RotationWeekly, wednesday), 3 * Day + 10 * Hour);
    EXPECT_EQ(RotationWaitMs(RotationWeekly, At(2026, 12, 12, 23, 59, 59)), Second);
    EXPECT_EQ(RotationWaitMs(RotationWeekly, At(2026, 12, 13, 0, 0, 0)), 7 * Day);
    // One second before a boundary, and right on it (a full period).
    EXPECT_EQ(RotationWaitMs(RotationDaily, At(2026, 12, 31, 23, 59, 59)), Second);
    EXPECT_EQ(RotationWaitMs(RotationHourly, At(2027, 1, 1, 0, 0, 0, 400)), Hour);
    // Codes that do not rotate.
    EXPECT_EQ(RotationWaitMs(RotationNever, t), 0u);
    EXPECT_EQ(RotationWaitMs(6, t), 0u);
}

TEST(RotationDue, MonthlyOnlyWhenTheMonthOfTheOpenLogHasPassed)
{
    SYSTEMTIME january = At(2026, 1, 15, 9, 30);
    // At the end of January the next midnight is February: rotate.
    EXPECT_TRUE(RotationDue(RotationMonthly, At(2026, 2, 1, 0, 0, 0), january));
    // Mid-month midnights pass without a rotation.
    EXPECT_FALSE(RotationDue(RotationMonthly, At(2026, 1, 16, 0, 0, 0), january));
    // A month that changed during a pause: the first midnight rotates.
    EXPECT_TRUE(RotationDue(RotationMonthly, At(2026, 3, 5, 0, 0, 0), january));
    // So does the same month of another year.
    EXPECT_TRUE(RotationDue(RotationMonthly, At(2027, 1, 16, 0, 0, 0), january));
    EXPECT_TRUE(RotationDue(RotationDaily, At(2026, 1, 16, 0, 0, 0), january));
    EXPECT_TRUE(RotationDue(RotationMinutely, At(2026, 1, 16, 0, 0, 0), january));
}

// --- the schedule over days, with a clock that follows a time zone -----------

// Local time in Central Europe in 2026: UTC+1, and UTC+2 from 29 March 01:00
// UTC (02:00 becomes 03:00) to 25 October 01:00 UTC (03:00 becomes 02:00).
const ULONGLONG MsTicks = 10000;
ULONGLONG Ticks(const SYSTEMTIME &t)
{
    FILETIME f;
    SystemTimeToFileTime(&t, &f);
    return ((ULONGLONG)f.dwHighDateTime << 32) | f.dwLowDateTime;
}
SYSTEMTIME FromTicks(ULONGLONG ticks)
{
    FILETIME f = {(DWORD)ticks, (DWORD)(ticks >> 32)};
    SYSTEMTIME t;
    FileTimeToSystemTime(&f, &t);
    return t;
}
SYSTEMTIME BerlinTime(ULONGLONG utc)
{
    static const ULONGLONG summerFrom = Ticks(At(2026, 3, 29, 1, 0)), summerTo = Ticks(At(2026, 10, 25, 1, 0));
    ULONGLONG offset = (utc >= summerFrom && utc < summerTo ? 2 : 1) * 3600000ULL * MsTicks;
    return FromTicks(utc + offset);
}

struct Rotated {
    SYSTEMTIME At;
    std::string Stamp;
};

// Runs the rotation thread's decisions from service start at local time
// `startLocal` until `endLocal`, each wait `early` ms short of what was
// asked, as a timer may wake a little early. Returns the rotations with the
// local time each happened at.
std::vector<Rotated> Simulate(DWORD rotation, const SYSTEMTIME &startLocal, const SYSTEMTIME &endLocal,
                              DWORD early = 0)
{
    ULONGLONG utc = Ticks(startLocal) - 2 * 3600000ULL * MsTicks;
    if (Ticks(BerlinTime(utc)) != Ticks(startLocal))
        utc += 3600000ULL * MsTicks;
    SYSTEMTIME opened = BerlinTime(utc), reference = opened;
    std::vector<Rotated> rotations;
    for (int steps = 0; steps < 200000; steps++) {
        SYSTEMTIME now = BerlinTime(utc);
        if (Ticks(now) >= Ticks(endLocal))
            break;
        RotationStep step = NextRotationStep(rotation, now, &reference, opened);
        if (step.Rotate) {
            opened = now;
            char stamp[32];
            snprintf(stamp, sizeof stamp, "%04d%02d%02d%02d%02d", now.wYear, now.wMonth, now.wDay, now.wHour,
                     now.wMinute);
            rotations.push_back({now, stamp});
        }
        EXPECT_GT(step.WaitMs, early);
        utc += (ULONGLONG)(step.WaitMs - early) * MsTicks;
    }
    return rotations;
}

// Every rotation came within the second after a boundary of its kind, and
// the boundaries it came at are exactly `expected` (local stamps).
void ExpectRotationsAt(const std::vector<Rotated> &got, const std::vector<std::string> &expected)
{
    std::vector<std::string> stamps;
    for (const Rotated &r : got) {
        stamps.push_back(r.Stamp);
        EXPECT_EQ(r.At.wSecond, 0) << r.Stamp;
    }
    EXPECT_EQ(stamps, expected);
}

std::vector<std::string> Series(const char *prefix, int from, int to, const char *suffix)
{
    std::vector<std::string> out;
    for (int i = from; i <= to; i++) {
        char text[32];
        snprintf(text, sizeof text, "%s%02d%s", prefix, i, suffix);
        out.push_back(text);
    }
    return out;
}

TEST(RotationSchedule, WeeklyAndDailyAcrossBothDaylightSavingNights)
{
    for (DWORD early : {0u, 5u}) {
        SCOPED_TRACE(early);
        // Both nights fall on Sundays; the weeks around them hold 167 and 169 hours.
        ExpectRotationsAt(Simulate(RotationWeekly, At(2026, 3, 18, 10, 20, 30), At(2026, 4, 9, 0, 0), early),
                          {"202603220000", "202603290000", "202604050000"});
        ExpectRotationsAt(Simulate(RotationWeekly, At(2026, 10, 21, 10, 20, 30), At(2026, 11, 12, 0, 0), early),
                          {"202610250000", "202611010000", "202611080000"});
        ExpectRotationsAt(Simulate(RotationDaily, At(2026, 3, 27, 10, 20, 30), At(2026, 3, 31, 12, 0), early),
                          Series("202603", 28, 31, "0000"));
        ExpectRotationsAt(Simulate(RotationDaily, At(2026, 10, 23, 10, 20, 30), At(2026, 10, 27, 12, 0), early),
                          Series("202610", 24, 27, "0000"));
        ExpectRotationsAt(Simulate(RotationMonthly, At(2026, 3, 15, 9, 0), At(2026, 4, 3, 0, 0), early),
                          {"202604010000"});
        ExpectRotationsAt(Simulate(RotationMonthly, At(2026, 10, 15, 9, 0), At(2026, 11, 3, 0, 0), early),
                          {"202611010000"});
    }
}

TEST(RotationSchedule, HourlyAndMinutelyNeverReuseTheRepeatedHour)
{
    for (DWORD early : {0u, 5u}) {
        SCOPED_TRACE(early);
        // Spring: there is no 02 hour; every other hour starts a file.
        std::vector<std::string> spring = Series("20260329", 1, 1, "00");
        for (const std::string &h : Series("20260329", 3, 6, "00"))
            spring.push_back(h);
        ExpectRotationsAt(Simulate(RotationHourly, At(2026, 3, 29, 0, 30), At(2026, 3, 29, 6, 30), early), spring);
        // Autumn: 02:00 comes twice; its file runs through both, so no name is
        // opened a second time.
        ExpectRotationsAt(Simulate(RotationHourly, At(2026, 10, 25, 0, 30), At(2026, 10, 25, 5, 30), early),
                          Series("20261025", 1, 5, "00"));
        std::vector<Rotated> minutes =
            Simulate(RotationMinutely, At(2026, 10, 25, 1, 58, 10), At(2026, 10, 25, 3, 2, 0), early);
        std::vector<std::string> expected = Series("2026102501", 59, 59, "");
        for (const std::string &m : Series("2026102502", 0, 59, ""))
            expected.push_back(m);
        for (const std::string &m : Series("2026102503", 0, 1, ""))
            expected.push_back(m);
        ExpectRotationsAt(minutes, expected);
    }
}

TEST(RotationSchedule, ABoundaryBetweenNamingTheLogAndTheFirstLookRotatesAtOnce)
{
    SYSTEMTIME named = At(2026, 12, 7, 10, 59, 59, 900);
    SYSTEMTIME reference = named;
    RotationStep step = NextRotationStep(RotationHourly, At(2026, 12, 7, 11, 0, 0, 100), &reference, named);
    EXPECT_TRUE(step.Rotate);
    EXPECT_EQ(step.WaitMs, ROTATION_MAX_WAIT_MS);
    // From the time of a continue instead, nothing passed: no rotation.
    SYSTEMTIME resumed = At(2026, 12, 7, 11, 0, 0, 50);
    step = NextRotationStep(RotationHourly, At(2026, 12, 7, 11, 0, 0, 100), &resumed, named);
    EXPECT_FALSE(step.Rotate);
}

TEST(RotationSchedule, AClockSetBackByHandIsFollowed)
{
    SYSTEMTIME opened = At(2026, 12, 7, 10, 20);
    SYSTEMTIME reference = opened;
    // Set back a day: no rotation now, and the next boundary of the new
    // time rotates as usual.
    EXPECT_FALSE(NextRotationStep(RotationHourly, At(2026, 12, 6, 10, 30), &reference, opened).Rotate);
    EXPECT_TRUE(NextRotationStep(RotationHourly, At(2026, 12, 6, 11, 0, 0, 200), &reference, opened).Rotate);
}

// --- the swap, on real files -------------------------------------------------

struct RecordedEvent {
    WORD Type;
    std::string Text;
};
std::vector<RecordedEvent> Events;

HANDLE WINAPI FakeRegister(LPCSTR, LPCSTR) { return (HANDLE)1; }
BOOL WINAPI FakeReport(HANDLE, WORD type, WORD, DWORD, PSID, WORD, DWORD, LPCSTR *texts, LPVOID)
{
    Events.push_back({type, texts[0]});
    return TRUE;
}
BOOL WINAPI FakeDeregister(HANDLE) { return TRUE; }

std::string ReadFileText(const std::string &path)
{
    std::string out;
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              NULL, OPEN_EXISTING, 0, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return "<missing>";
    char buffer[4096];
    DWORD got;
    while (ReadFile(file, buffer, sizeof buffer, &got, NULL) && got > 0)
        out.append(buffer, got);
    CloseHandle(file);
    return out;
}

class Rotation : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(CreateServiceSynchronisation());
        saved = EventLog;
        EventLog = {FakeRegister, FakeReport, FakeDeregister};
        Events.clear();
        memset(&Params, 0, sizeof Params);
        Params.VerboseLevel = 1;
        ParametersRead = TRUE;
        MailConfigured = FALSE;
        ResetLogWriter();
        char temp[MAX_PATH];
        GetTempPathA(sizeof temp, temp);
        dir = std::string(temp) + "rotation" + std::to_string(GetCurrentProcessId()) + "_" +
              ::testing::UnitTest::GetInstance()->current_test_info()->name();
        CreateDirectoryA(dir.c_str(), NULL);
    }
    void TearDown() override
    {
        if (LogFileHandle() != INVALID_HANDLE_VALUE)
            CloseHandle(LogFileHandle());
        UseLogFile(INVALID_HANDLE_VALUE, NULL);
        EventLog = saved;
        WIN32_FIND_DATAA found;
        HANDLE search = FindFirstFileA((dir + "\\*").c_str(), &found);
        if (search != INVALID_HANDLE_VALUE) {
            do {
                std::string p = dir + "\\" + found.cFileName;
                if (found.cFileName[0] == '.')
                    continue;
                if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                    RemoveDirectoryA(p.c_str());
                else
                    DeleteFileA(p.c_str());
            } while (FindNextFileA(search, &found));
            FindClose(search);
        }
        RemoveDirectoryA(dir.c_str());
    }
    void Configure(DWORD rotation)
    {
        strcpy(Params.LogFilename, (dir + "\\Q.log").c_str());
        Params.LogRotation = rotation;
        ExtensionPos = FindExtensionPos(Params.LogFilename);
    }
    std::string Path(const char *stamp) { return dir + "\\Q" + stamp + ".log"; }
    // Waits as the rotation thread would, from `now`, and rotates when due.
    SYSTEMTIME NextRotation(const SYSTEMTIME &now, int *rotated)
    {
        SYSTEMTIME then = Plus(now, RotationWaitMs(Params.LogRotation, now));
        BOOL refused;
        *rotated = RotationDue(Params.LogRotation, then, OpenLogTime()) &&
                   RotateLogFile(then, QueuedPosition(), &refused);
        return then;
    }
    // Bytes that arrive at the time that named the open log.
    void Write(const char *text)
    {
        HandOverAt(text, OpenLogTime());
        WriteQueuedBytes();
    }
    std::string dir;
    EventLogApi saved;
};

TEST_F(Rotation, HourlyFromTwentyPastTenNamesEachFileForItsHour)
{
    Configure(RotationHourly);
    ASSERT_TRUE(OpenLogFileAt(At(2026, 12, 7, 10, 20, 30)));
    EXPECT_EQ(LogFilePath(), Path("2026120710"));
    Write("first line\r\nhalf of a li");
    int rotated;
    SYSTEMTIME t = NextRotation(At(2026, 12, 7, 10, 20, 30), &rotated);
    EXPECT_TRUE(rotated);
    EXPECT_EQ(t.wHour, 11);
    EXPECT_EQ(t.wMinute, 0);
    EXPECT_EQ(LogFilePath(), Path("2026120711"));
    Write("ne\r\nnext\r\n");
    NextRotation(t, &rotated);
    EXPECT_EQ(LogFilePath(), Path("2026120712"));

    // Timestamps are off here; the cut line continues in the new file as it was.
    EXPECT_EQ(ReadFileText(Path("2026120710")), "first line\r\nhalf of a li");
    EXPECT_EQ(ReadFileText(Path("2026120711")), "ne\r\nnext\r\n");
    EXPECT_TRUE(Events.empty());
}

TEST_F(Rotation, ACutLineContinuesUnstampedInTheNextFile)
{
    Configure(RotationMinutely);
    Params.TimestampFormat = 1;
    ASSERT_TRUE(OpenLogFileAt(At(2026, 12, 7, 10, 20, 30)));
    Write("abc");
    int rotated;
    NextRotation(At(2026, 12, 7, 10, 20, 30), &rotated);
    ASSERT_TRUE(rotated);
    Write("def\r\nghi");
    std::string first = ReadFileText(Path("202612071020"));
    std::string second = ReadFileText(Path("202612071021"));
    EXPECT_EQ(first.size(), TIMESTAMP_LENGTH + 3u);
    EXPECT_EQ(first.substr(TIMESTAMP_LENGTH), "abc");
    EXPECT_EQ(second.substr(0, 5), "def\r\n");
    EXPECT_EQ(second.substr(5 + TIMESTAMP_LENGTH), "ghi");
}

TEST_F(Rotation, WeeklyFromAWednesdayThenEverySunday)
{
    Configure(RotationWeekly);
    SYSTEMTIME wednesday = At(2026, 12, 9, 14, 5, 0);
    ASSERT_TRUE(OpenLogFileAt(wednesday));
    EXPECT_EQ(LogFilePath(), Path("20261209"));
    int rotated;
    SYSTEMTIME t = NextRotation(wednesday, &rotated);
    EXPECT_TRUE(rotated);
    EXPECT_EQ(t.wDayOfWeek, 0);
    EXPECT_EQ(LogFilePath(), Path("20261213"));
    NextRotation(t, &rotated);
    EXPECT_EQ(LogFilePath(), Path("20261220"));
}

TEST_F(Rotation, MonthlyPassesMidMonthMidnightsAndRotatesOnTheFirst)
{
    Configure(RotationMonthly);
    SYSTEMTIME t = At(2026, 1, 15, 9, 30, 0);
    ASSERT_TRUE(OpenLogFileAt(t));
    EXPECT_EQ(LogFilePath(), Path("202601"));
    int rotations = 0, midnights = 0;
    while (rotations == 0) {
        int rotated;
        t = NextRotation(t, &rotated);
        rotations += rotated;
        midnights++;
    }
    EXPECT_EQ(midnights, 17);   // 16 January to 1 February
    EXPECT_EQ(t.wMonth, 2);
    EXPECT_EQ(t.wDay, 1);
    EXPECT_EQ(LogFilePath(), Path("202602"));
    EXPECT_EQ(OpenLogTime().wMonth, 2);
}

TEST_F(Rotation, ANextFileThatCannotBeOpenedKeepsEveryByteInTheOpenOne)
{
    Configure(RotationMinutely);
    ASSERT_TRUE(OpenLogFileAt(At(2026, 12, 7, 10, 20, 30)));
    Write("before ");
    // A folder already holds the next file's name.
    ASSERT_TRUE(CreateDirectoryA(Path("202612071021").c_str(), NULL));
    HANDLE open = LogFileHandle();
    int rotated;
    SYSTEMTIME t = NextRotation(At(2026, 12, 7, 10, 20, 30), &rotated);
    EXPECT_FALSE(rotated);
    EXPECT_EQ(LogFileHandle(), open);
    EXPECT_EQ(LogFilePath(), Path("202612071020"));
    Write("during ");
    ASSERT_EQ(Events.size(), 1u);
    EXPECT_EQ(Events[0].Type, EVENTLOG_ERROR_TYPE);
    std::string expected = "Could not open the next log file \"" + Path("202612071021") +
                           "\" (error ";
    EXPECT_EQ(Events[0].Text.substr(0, expected.size()), expected);
    EXPECT_NE(Events[0].Text.find("logging continues in \"" + Path("202612071020") + "\""),
              std::string::npos);

    // The next rotation time tries again.
    NextRotation(t, &rotated);
    EXPECT_TRUE(rotated);
    EXPECT_EQ(LogFilePath(), Path("202612071022"));
    Write("after");
    EXPECT_EQ(ReadFileText(Path("202612071020")), "before during ");
    EXPECT_EQ(ReadFileText(Path("202612071022")), "after");
    EXPECT_EQ(Events.size(), 1u);
}

TEST_F(Rotation, ASwapRefusedForHeldBytesIsTriedEverySecondNotAtTheNextBoundary)
{
    Configure(RotationWeekly);
    ASSERT_TRUE(OpenLogFileAt(At(2026, 12, 12, 23, 50, 0)));
    LogFileOpened();
    Write("before ");
    LogCare();
    // Writes fail from here (a full disk), so the next bytes are held.
    HANDLE writable = LogFileHandle();
    UseLogFile(CreateFileA(LogFilePath(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                            NULL, OPEN_EXISTING, 0, NULL), NULL);
    Write("held ");
    RequestLogSwap(At(2026, 12, 13, 0, 0, 0, 300));
    ServeLogWriter();
    EXPECT_TRUE(LogSwapPending());
    EXPECT_EQ(LogFilePath(), Path("20261212"));
    ASSERT_EQ(Events.size(), 1u);           // the failed write; the kept file says nothing more

    // Space is back a moment later: the held bytes go into their own file and
    // the swap follows within about a second, not a week.
    CloseHandle(LogFileHandle());
    UseLogFile(writable, NULL);
    HandOverAt("after", At(2026, 12, 13, 0, 0, 1));
    for (DWORD began = GetTickCount(); LogSwapPending() && GetTickCount() - began < 5000; Sleep(20))
        ServeLogWriter();
    EXPECT_FALSE(LogSwapPending());
    EXPECT_EQ(LogFilePath(), Path("20261213"));
    EXPECT_EQ(ReadFileText(Path("20261212")), "before held ");
    EXPECT_EQ(ReadFileText(Path("20261213")), "after");
}

TEST_F(Rotation, BytesThatArriveAfterTheBoundaryGoIntoTheNextFileHoweverLateTheRotationThread)
{
    Configure(RotationHourly);
    ASSERT_TRUE(OpenLogFileAt(At(2026, 12, 7, 10, 59, 0)));
    LogFileOpened();
    HandOverAt("before ", At(2026, 12, 7, 10, 59, 59, 900));
    HandOverAt("after", At(2026, 12, 7, 11, 0, 0, 400));
    ServeLogWriter();                       // no rotation time asked for yet
    EXPECT_EQ(LogFilePath(), Path("2026120711"));
    RequestLogSwap(At(2026, 12, 7, 11, 0, 1));
    ServeLogWriter();                       // a moment later: nothing more to do
    EXPECT_EQ(LogFilePath(), Path("2026120711"));
    LogCare();
    EXPECT_EQ(ReadFileText(Path("2026120710")), "before ");
    EXPECT_EQ(ReadFileText(Path("2026120711")), "after");
    EXPECT_TRUE(Events.empty());
}

HANDLE WINAPI OpenAllButTheDeadOne(const char *path)
{
    if (strstr(path, "202612071020") != NULL) {
        SetLastError(ERROR_DEVICE_NOT_CONNECTED);
        return INVALID_HANDLE_VALUE;
    }
    return OpenLogPath(path);
}

TEST_F(Rotation, AFinishedFileWhoseHandleDiedDoesNotHoldTheSwapUp)
{
    Configure(RotationMinutely);
    ASSERT_TRUE(OpenLogFileAt(At(2026, 12, 7, 10, 20, 30)));
    LogFileOpened();
    Write("before ");
    LogCare();
    LogFileApi real = LogFileCalls;
    DeadHandle() = LogFileHandle();
    LogFileCalls.Write = WriteToPulledDisk;
    LogFileCalls.Open = OpenAllButTheDeadOne;
    Write("held ");
    RequestLogSwap(At(2026, 12, 7, 10, 21, 0));
    ServeLogWriter();
    LogFileCalls = real;
    EXPECT_FALSE(LogSwapPending());
    EXPECT_EQ(LogFilePath(), Path("202612071021"));
    EXPECT_EQ(ReadFileText(Path("202612071020")), "before ");
    EXPECT_EQ(ReadFileText(Path("202612071021")), "held ");
    ASSERT_EQ(Events.size(), 3u);        // the failed write, this, and writing works again
    EXPECT_EQ(Events[1].Text, "The log file \"" + Path("202612071020") + "\" could not be finished "
                              "(error 1167); the 5 bytes received for it that it could not take are "
                              "written to \"" + Path("202612071021") + "\"");
}

TEST_F(Rotation, ARotationTimeThatNamesTheOpenFileChangesNothing)
{
    Configure(RotationDaily);
    ASSERT_TRUE(OpenLogFileAt(At(2026, 12, 7, 0, 0, 0)));
    HANDLE open = LogFileHandle();
    // Woken a moment early, or the clock was set back.
    BOOL refused;
    EXPECT_FALSE(RotateLogFile(At(2026, 12, 7, 23, 59, 59, 990), QueuedPosition(), &refused));
    EXPECT_FALSE(refused);
    EXPECT_EQ(LogFileHandle(), open);
    EXPECT_TRUE(Events.empty());
}

TEST_F(Rotation, TheThreadEndsAtOnceFromItsWaitAndOnlyOneRuns)
{
    Configure(RotationDaily);
    ASSERT_TRUE(OpenLogFile());
    ResetEvent(StopEvent);
    SYSTEMTIME now;
    GetLocalTime(&now);
    ASSERT_TRUE(StartRotationThread(now));
    HANDLE first = RotationThreadHandle();
    ASSERT_NE(first, (HANDLE)NULL);
    EXPECT_TRUE(StartRotationThread(now));      // a second start keeps the one thread
    EXPECT_EQ(RotationThreadHandle(), first);
    Sleep(50);
    DWORD began = GetTickCount();
    EndRotationThread();                    // it sleeps towards midnight
    EXPECT_LT(GetTickCount() - began, 2000u);
    EXPECT_EQ(RotationThreadHandle(), (HANDLE)NULL);
    // Started anew after a pause, and ended by the stop event as well.
    ASSERT_TRUE(ResumeRotation(now));
    HANDLE second = RotationThreadHandle();
    SetEvent(StopEvent);
    EXPECT_EQ(WaitForSingleObject(second, 2000), WAIT_OBJECT_0);
    EndRotationThread();
    ResetEvent(StopEvent);
    // Without rotation there is no thread.
    Params.LogRotation = RotationNever;
    EXPECT_TRUE(StartRotationThread(now));
    EXPECT_EQ(RotationThreadHandle(), (HANDLE)NULL);
}

}  // namespace
