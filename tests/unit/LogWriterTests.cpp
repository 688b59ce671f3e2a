#include <gtest/gtest.h>

#include <string.h>

#include <regex>
#include <string>

#include "FakeEventLog.h"
#include "LogWriter.h"
#include "ReaderThread.h"
#include "ServiceState.h"

namespace {

// A log whose writes fail until Heal() (a read-only handle stands in for a
// full disk), then succeed into the same file.
class HeldLog : public ::testing::Test {
protected:
    void SetUp() override
    {
        char dir[MAX_PATH];
        GetTempPathA(sizeof dir, dir);
        GetTempFileNameA(dir, "hld", 0, path);
        strcpy(CurrentLogPath, path);
        memset(&Params, 0, sizeof Params);
        Params.VerboseLevel = 1;
        ParametersRead = TRUE;
        ResetLogWriter();
        LineStart = TRUE;
        LogHandle = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
        ASSERT_NE(LogHandle, INVALID_HANDLE_VALUE);
    }
    void TearDown() override
    {
        CloseHandle(LogHandle);
        LogHandle = INVALID_HANDLE_VALUE;
        ResetLogWriter();
        DeleteFileA(path);
    }
    void Heal()
    {
        CloseHandle(LogHandle);
        LogHandle = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, NULL);
        SetFilePointer(LogHandle, 0, NULL, FILE_END);
    }
    std::string Contents()
    {
        std::string out;
        HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                                  OPEN_EXISTING, 0, NULL);
        static char buffer[65536];
        DWORD got;
        while (ReadFile(file, buffer, sizeof buffer, &got, NULL) && got > 0)
            out.append(buffer, got);
        CloseHandle(file);
        return out;
    }
    void Capture(const std::string &text)
    {
        CaptureBytes((const BYTE *)text.data(), (DWORD)text.size());
    }
    char path[MAX_PATH];
    FakeEventLog log;
};

TEST_F(HeldLog, BytesThatCannotBeWrittenWaitInOrderWithTheirStampsAndFollowOnceWritingWorks)
{
    Params.TimestampFormat = 1;
    Capture("one\r\ntw");
    Capture("o\r\nthree");
    EXPECT_EQ(Contents(), "");
    ASSERT_EQ(log.Events().size(), 1u);
    EXPECT_EQ(log.Events()[0].Type, EVENTLOG_ERROR_TYPE);
    EXPECT_EQ(log.Events()[0].Text, "Could not write to the log file \"" + std::string(path) +
                                        "\" (error 5); received data is held until it can be written");
    DWORD due = LogCareDueInMs();
    EXPECT_LE(due, (DWORD)LOG_CARE_INTERVAL_MS);

    LogCare();                          // still failing: nothing changes, tried again later
    EXPECT_NE(LogCareDueInMs(), INFINITE);
    EXPECT_EQ(log.Events().size(), 1u);

    Heal();
    Capture("\r\n");                    // new bytes go behind the held ones
    EXPECT_EQ(Contents(), "");
    LogCare();
    static const std::regex stamp("\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3}: ");
    EXPECT_EQ(std::regex_replace(Contents(), stamp, "<T>"), "<T>one\r\n<T>two\r\n<T>three\r\n");
    ASSERT_EQ(log.Events().size(), 2u);
    EXPECT_EQ(log.Events()[1].Type, EVENTLOG_INFORMATION_TYPE);
    EXPECT_EQ(log.Events()[1].Text,
              "Writing to the log file \"" + std::string(path) + "\" works again; capture continues");
    EXPECT_EQ(LogCareDueInMs(), INFINITE);     // written and flushed: nothing waits

    // Writes go straight to the file again, and flushing is due within the interval.
    Capture("four");
    EXPECT_EQ(Contents().substr(Contents().size() - 4), "four");
    EXPECT_LE(LogCareDueInMs(), (DWORD)LOG_CARE_INTERVAL_MS);
}

TEST_F(HeldLog, BeyondTheBoundTheNewestBytesAreLostCountedAndReportedOnce)
{
    std::string block(4096, 'x');
    DWORD sent = 0;
    int lostAt = 0;
    for (int i = 0; sent < LOG_HOLD_SIZE + 10000; i++) {
        for (size_t j = 0; j < block.size(); j += 64)
            block[j] = (char)('A' + i % 26);
        if (!WriteToLog(block.data(), (DWORD)block.size()) && lostAt == 0)
            lostAt = i;
        sent += (DWORD)block.size();
    }
    EXPECT_EQ(lostAt, LOG_HOLD_SIZE / 4096);   // the first block that did not fit
    ASSERT_EQ(log.Events().size(), 2u);
    EXPECT_EQ(log.Events()[1].Type, EVENTLOG_ERROR_TYPE);
    EXPECT_EQ(log.Events()[1].Text, "No more received data can be held for the log file \"" +
                                        std::string(path) + "\" (1048576 bytes wait); further "
                                        "data is lost until the file can be written");

    Heal();
    LogCare();
    std::string written = Contents();
    ASSERT_EQ(written.size(), (size_t)LOG_HOLD_SIZE);
    EXPECT_EQ(written[0], 'A');
    EXPECT_EQ(written[LOG_HOLD_SIZE - 4096], (char)('A' + (LOG_HOLD_SIZE / 4096 - 1) % 26));
    ASSERT_EQ(log.Events().size(), 3u);
    EXPECT_EQ(log.Events()[2].Type, EVENTLOG_ERROR_TYPE);
    EXPECT_EQ(log.Events()[2].Text,
              "Writing to the log file \"" + std::string(path) + "\" works again; " +
                  std::to_string(sent - LOG_HOLD_SIZE) + " bytes of received data were lost");

    // A later failure is a new run: reported again, its loss counted afresh.
    CloseHandle(LogHandle);
    LogHandle = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                            OPEN_EXISTING, 0, NULL);
    WriteToLog("y", 1);
    ASSERT_EQ(log.Events().size(), 4u);
    Heal();
    LogCare();
    ASSERT_EQ(log.Events().size(), 5u);
    EXPECT_EQ(log.Events()[4].Type, EVENTLOG_INFORMATION_TYPE);
}

TEST_F(HeldLog, AStopWithBytesStillHeldSaysHowManyAreLost)
{
    WriteToLog("abcde", 5);
    EXPECT_FALSE(FinishLogFile());
    ReportLogLostAtStop();
    ASSERT_EQ(log.Events().size(), 2u);
    EXPECT_EQ(log.Events()[1].Text, "5 held bytes could not be written to the log file \"" +
                                        std::string(path) + "\" before the stop and are lost");
    Heal();
    EXPECT_TRUE(FinishLogFile());
    EXPECT_EQ(Contents(), "abcde");
}

}  // namespace
