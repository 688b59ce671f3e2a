#include <gtest/gtest.h>

#include <string.h>
#include <string>
#include <vector>

#include "LogFile.h"
#include "ReadParameters.h"
#include "ReaderThread.h"
#include "ReportServiceEvent.h"
#include "RotationThread.h"
#include "ServiceState.h"

namespace {

SYSTEMTIME At(WORD year, WORD month, WORD day, WORD hour, WORD minute, WORD second = 0,
              WORD ms = 0)
{
    SYSTEMTIME t = {};
    t.wYear = year;
    t.wMonth = month;
    t.wDay = day;
    t.wHour = hour;
    t.wMinute = minute;
    t.wSecond = second;
    t.wMilliseconds = ms;
    // Let the system fill in the day of the week.
    FILETIME f;
    SystemTimeToFileTime(&t, &f);
    FileTimeToSystemTime(&f, &t);
    return t;
}

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
    // At the end of January the next midnight is February: rotate.
    EXPECT_TRUE(RotationDue(RotationMonthly, At(2026, 2, 1, 0, 0, 0), 1));
    // Mid-month midnights pass without a rotation.
    EXPECT_FALSE(RotationDue(RotationMonthly, At(2026, 1, 16, 0, 0, 0), 1));
    // A month that changed during a pause: the first midnight rotates.
    EXPECT_TRUE(RotationDue(RotationMonthly, At(2026, 3, 5, 0, 0, 0), 1));
    EXPECT_TRUE(RotationDue(RotationDaily, At(2026, 1, 16, 0, 0, 0), 1));
    EXPECT_TRUE(RotationDue(RotationMinutely, At(2026, 1, 16, 0, 0, 0), 1));
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
        char temp[MAX_PATH];
        GetTempPathA(sizeof temp, temp);
        dir = std::string(temp) + "rotation" + std::to_string(GetCurrentProcessId()) + "_" +
              ::testing::UnitTest::GetInstance()->current_test_info()->name();
        CreateDirectoryA(dir.c_str(), NULL);
    }
    void TearDown() override
    {
        if (LogHandle != INVALID_HANDLE_VALUE)
            CloseHandle(LogHandle);
        LogHandle = INVALID_HANDLE_VALUE;
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
        *rotated = RotationDue(Params.LogRotation, then, LogMonth) && RotateLogFile(then);
        return then;
    }
    void Write(const char *text)
    {
        EnterCriticalSection(&LogLock);
        for (const char *c = text; *c; c++)
            CaptureByte((BYTE)*c);
        LeaveCriticalSection(&LogLock);
    }
    std::string dir;
    EventLogApi saved;
};

TEST_F(Rotation, HourlyFromTwentyPastTenNamesEachFileForItsHour)
{
    Configure(RotationHourly);
    ASSERT_TRUE(OpenLogFileAt(At(2026, 12, 7, 10, 20, 30)));
    EXPECT_EQ(CurrentLogPath, Path("2026120710"));
    LineStart = TRUE;
    Write("first line\r\nhalf of a li");
    int rotated;
    SYSTEMTIME t = NextRotation(At(2026, 12, 7, 10, 20, 30), &rotated);
    EXPECT_TRUE(rotated);
    EXPECT_EQ(t.wHour, 11);
    EXPECT_EQ(t.wMinute, 0);
    EXPECT_EQ(CurrentLogPath, Path("2026120711"));
    Write("ne\r\nnext\r\n");
    NextRotation(t, &rotated);
    EXPECT_EQ(CurrentLogPath, Path("2026120712"));

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
    LineStart = TRUE;
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
    EXPECT_EQ(CurrentLogPath, Path("20261209"));
    int rotated;
    SYSTEMTIME t = NextRotation(wednesday, &rotated);
    EXPECT_TRUE(rotated);
    EXPECT_EQ(t.wDayOfWeek, 0);
    EXPECT_EQ(CurrentLogPath, Path("20261213"));
    NextRotation(t, &rotated);
    EXPECT_EQ(CurrentLogPath, Path("20261220"));
}

TEST_F(Rotation, MonthlyPassesMidMonthMidnightsAndRotatesOnTheFirst)
{
    Configure(RotationMonthly);
    SYSTEMTIME t = At(2026, 1, 15, 9, 30, 0);
    ASSERT_TRUE(OpenLogFileAt(t));
    EXPECT_EQ(CurrentLogPath, Path("202601"));
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
    EXPECT_EQ(CurrentLogPath, Path("202602"));
    EXPECT_EQ(LogMonth, 2);
}

TEST_F(Rotation, ANextFileThatCannotBeOpenedKeepsEveryByteInTheOpenOne)
{
    Configure(RotationMinutely);
    ASSERT_TRUE(OpenLogFileAt(At(2026, 12, 7, 10, 20, 30)));
    LineStart = TRUE;
    Write("before ");
    // A folder already holds the next file's name.
    ASSERT_TRUE(CreateDirectoryA(Path("202612071021").c_str(), NULL));
    HANDLE open = LogHandle;
    int rotated;
    SYSTEMTIME t = NextRotation(At(2026, 12, 7, 10, 20, 30), &rotated);
    EXPECT_FALSE(rotated);
    EXPECT_EQ(LogHandle, open);
    EXPECT_EQ(CurrentLogPath, Path("202612071020"));
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
    EXPECT_EQ(CurrentLogPath, Path("202612071022"));
    Write("after");
    EXPECT_EQ(ReadFileText(Path("202612071020")), "before during ");
    EXPECT_EQ(ReadFileText(Path("202612071022")), "after");
    EXPECT_EQ(Events.size(), 1u);
}

TEST_F(Rotation, ARotationTimeThatNamesTheOpenFileChangesNothing)
{
    Configure(RotationDaily);
    ASSERT_TRUE(OpenLogFileAt(At(2026, 12, 7, 0, 0, 0)));
    HANDLE open = LogHandle;
    // Woken a moment early, or the clock was set back.
    EXPECT_FALSE(RotateLogFile(At(2026, 12, 7, 23, 59, 59, 990)));
    EXPECT_EQ(LogHandle, open);
    EXPECT_TRUE(Events.empty());
}

TEST_F(Rotation, TheThreadEndsAtOnceFromItsWaitAndOnlyOneRuns)
{
    Configure(RotationDaily);
    ASSERT_TRUE(OpenLogFile());
    ResetEvent(StopEvent);
    ASSERT_TRUE(StartRotationThread());
    HANDLE first = RotationHandle;
    ASSERT_NE(first, (HANDLE)NULL);
    EXPECT_TRUE(StartRotationThread());     // a second start keeps the one thread
    EXPECT_EQ(RotationHandle, first);
    Sleep(50);
    DWORD began = GetTickCount();
    EndRotationThread();                    // it sleeps towards midnight
    EXPECT_LT(GetTickCount() - began, 2000u);
    EXPECT_EQ(RotationHandle, (HANDLE)NULL);
    // Started anew after a pause, and ended by the stop event as well.
    ASSERT_TRUE(StartRotationThread());
    HANDLE second = RotationHandle;
    SetEvent(StopEvent);
    EXPECT_EQ(WaitForSingleObject(second, 2000), WAIT_OBJECT_0);
    EndRotationThread();
    ResetEvent(StopEvent);
    // Without rotation there is no thread.
    Params.LogRotation = RotationNever;
    EXPECT_TRUE(StartRotationThread());
    EXPECT_EQ(RotationHandle, (HANDLE)NULL);
}

}  // namespace
