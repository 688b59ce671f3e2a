#include <gtest/gtest.h>

#include <string.h>

#include <regex>
#include <string>

#include "service/capture/Timestamp.h"
#include "service/core/ServiceState.h"
#include "service/log/LogFile.h"
#include "service/log/LogWriter.h"
#include "service/log/LogWriterThread.h"
#include "tests/unit/FakeEventLog.h"
#include "tests/unit/TestCapture.h"

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
        UseLogFile(LogFileHandle(), path);
        memset(&Params, 0, sizeof Params);
        Params.VerboseLevel = 1;
        ParametersRead = TRUE;
        ASSERT_TRUE(CreateServiceSynchronisation());
        ResetLogWriter();
        UseLogFile(CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL), NULL);
        ASSERT_NE(LogFileHandle(), INVALID_HANDLE_VALUE);
    }
    void TearDown() override
    {
        CloseHandle(LogFileHandle());
        UseLogFile(INVALID_HANDLE_VALUE, NULL);
        ResetLogWriter();
        DeleteFileA(path);
    }
    void Heal()
    {
        CloseHandle(LogFileHandle());
        UseLogFile(CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, NULL), NULL);
        SetFilePointer(LogFileHandle(), 0, NULL, FILE_END);
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
        HandOver(text);
        WriteQueuedBytes();
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

TEST_F(HeldLog, AHandleThatDiedIsOpenedAgainByItsPathAndTheHeldBytesFollow)
{
    DeadHandle() = LogFileHandle();
    LogFileApi real = LogFileCalls;
    LogFileCalls.Write = WriteToPulledDisk;
    Capture("one ");
    EXPECT_EQ(Contents(), "");
    LogCare();                          // the next try opens the path again
    Capture("two");
    LogFileCalls = real;
    EXPECT_EQ(Contents(), "one two");
    ASSERT_EQ(log.Events().size(), 3u);
    EXPECT_EQ(log.Events()[0].Text, "Could not write to the log file \"" + std::string(path) +
                                        "\" (error 1167); received data is held until it can be written");
    EXPECT_EQ(log.Events()[1].Text, "The log file \"" + std::string(path) +
                                        "\" was opened again after its handle failed (error 1167)");
    EXPECT_EQ(log.Events()[2].Type, EVENTLOG_INFORMATION_TYPE);
}

TEST_F(HeldLog, APauseHoldsOnceItsOwnBytesAreWrittenAndThenWritesNothingWhileTheReaderGoesOn)
{
    Heal();
    DWORD first = PauseLogWriter();
    ServeLogWriter();
    EXPECT_TRUE(WaitForLogWriterPause(first, 0));
    ContinueLogWriter();
    HandOver("continued ");
    // Paused again before the writer took the continue's bytes: the first
    // pause's hold does not answer the second.
    DWORD second = PauseLogWriter();
    EXPECT_FALSE(WaitForLogWriterPause(second, 0));
    ServeLogWriter();
    EXPECT_TRUE(WaitForLogWriterPause(second, 0));
    EXPECT_EQ(Contents(), "continued ");
    HandOver("paused");
    ServeLogWriter();
    EXPECT_EQ(Contents(), "continued ");
    ContinueLogWriter();
    ServeLogWriter();
    EXPECT_EQ(Contents(), "continued paused");
}

TEST_F(HeldLog, BeyondTheBoundTheNewestBytesAreLostCountedAndReportedOnce)
{
    std::string block(4096, 'x');
    DWORD sent = 0;
    int lostAt = 0;
    for (int i = 0; sent < CAPTURE_QUEUE_SIZE + 10000; i++) {
        for (size_t j = 0; j < block.size(); j += 64)
            block[j] = (char)('A' + i % 26);
        Capture(block);
        if (DroppedBytes() > 0 && lostAt == 0)
            lostAt = i;
        sent += (DWORD)block.size();
    }
    EXPECT_EQ(lostAt, CAPTURE_QUEUE_SIZE / 4096);   // the first block that did not fit
    ASSERT_EQ(log.Events().size(), 2u);
    EXPECT_EQ(log.Events()[1].Type, EVENTLOG_ERROR_TYPE);
    EXPECT_EQ(log.Events()[1].Text, "No more received data can be held for the log file \"" +
                                        std::string(path) + "\" (1048576 bytes wait); further "
                                        "data is lost until the file can be written");

    Heal();
    LogCare();
    std::string written = Contents();
    ASSERT_EQ(written.size(), (size_t)CAPTURE_QUEUE_SIZE);
    EXPECT_EQ(written[0], 'A');
    EXPECT_EQ(written[CAPTURE_QUEUE_SIZE - 4096], (char)('A' + (CAPTURE_QUEUE_SIZE / 4096 - 1) % 26));
    ASSERT_EQ(log.Events().size(), 3u);
    EXPECT_EQ(log.Events()[2].Type, EVENTLOG_ERROR_TYPE);
    EXPECT_EQ(log.Events()[2].Text,
              "Writing to the log file \"" + std::string(path) + "\" works again; " +
                  std::to_string(sent - CAPTURE_QUEUE_SIZE) + " bytes of received data were lost");

    // A later failure is a new run: reported again, its loss counted afresh.
    CloseHandle(LogFileHandle());
    UseLogFile(CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                            OPEN_EXISTING, 0, NULL), NULL);
    Capture("y");
    ASSERT_EQ(log.Events().size(), 4u);
    Heal();
    LogCare();
    ASSERT_EQ(log.Events().size(), 5u);
    EXPECT_EQ(log.Events()[4].Type, EVENTLOG_INFORMATION_TYPE);
}

TEST_F(HeldLog, AStopWithBytesStillHeldSaysHowManyReceivedBytesAreLost)
{
    Params.TimestampFormat = 1;         // a stamp is no received data
    Capture("abcde");
    EXPECT_FALSE(FinishLogFile(QueuedPosition()));
    ReportLogLostAtStop();
    ASSERT_EQ(log.Events().size(), 2u);
    EXPECT_EQ(log.Events()[1].Text, "5 bytes of received data could not be written to the log file \"" +
                                        std::string(path) + "\" before the stop and are lost (5 held, 0 found no room)");
    Heal();
    EXPECT_TRUE(FinishLogFile(QueuedPosition()));
    EXPECT_EQ(Contents().substr(TIMESTAMP_LENGTH), "abcde");
}

TEST_F(HeldLog, AtTheBoundNoStampIsCutNoLinesJoinAndAStopCountsHeldAndDroppedTogether)
{
    Params.TimestampFormat = 1;
    std::string sent, chunk;
    for (int i = 0; sent.size() < CAPTURE_QUEUE_SIZE; i++) {
        char line[64];
        snprintf(line, sizeof line, "%06d abcdefghijklmnopqrstuvwxyz\r\n", i);
        chunk += line;
        if (i % 100 == 99) {
            Capture(chunk);
            sent += chunk;
            chunk.clear();
        }
    }
    Capture("000000 a line cut by the gap");    // dropped: the gap ends inside a line
    sent += "000000 a line cut by the gap";
    ULONGLONG kept = sent.size() - DroppedBytes();
    ReportLogLostAtStop();
    ASSERT_EQ(log.Events().size(), 3u);
    EXPECT_EQ(log.Events()[2].Text, std::to_string(sent.size()) + " bytes of received data could not be "
                                        "written to the log file \"" + std::string(path) + "\" before the "
                                        "stop and are lost (" + std::to_string(kept) + " held, " +
                                        std::to_string(sent.size() - kept) + " found no room)");

    Heal();
    LogCare();
    Capture("rest of it\r\nnext\r\n");
    std::string expected = "<T>";
    for (size_t i = 0; i < kept; i++) {
        expected += sent[i];
        if (sent[i] == '\n' && i + 1 < kept)
            expected += "<T>";
    }
    static const std::regex stamp("\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3}: ");
    EXPECT_EQ(std::regex_replace(Contents(), stamp, "<T>"), expected + "<T>rest of it\r\n<T>next\r\n");
}

BOOL WINAPI FailingFlush(HANDLE)
{
    SetLastError(ERROR_IO_DEVICE);
    return FALSE;
}
BOOL WINAPI FailingRead(HANDLE, LPVOID, DWORD, LPDWORD, LPOVERLAPPED)
{
    SetLastError(ERROR_IO_DEVICE);
    return FALSE;
}
BOOL WINAPI FailingClose(HANDLE file)
{
    CloseHandle(file);
    SetLastError(ERROR_IO_DEVICE);
    return FALSE;
}
BOOL SaysDeleted(HANDLE) { return TRUE; }

TEST_F(HeldLog, AFailedFlushCloseOrCopyBackIsReportedNotPassedOver)
{
    Heal();
    LogFileApi real = LogFileCalls;
    LogFileCalls.Flush = FailingFlush;
    for (const char *text : {"one ", "two "}) {
        Capture(text);
        LogCare();
    }
    LogFileCalls.Flush = real.Flush;
    LogCare();                           // the run of failures ends
    LogFileCalls.Flush = FailingFlush;
    Capture("three ");
    LogCare();
    const std::string flush = "Could not flush the log file \"" + std::string(path) +
                              "\" to disk (error 1117); trying again every second";
    ASSERT_EQ(log.Events().size(), 2u);
    EXPECT_EQ(log.Events()[0].Text, flush);
    EXPECT_EQ(log.Events()[1].Text, flush);
    LogFileCalls.Flush = real.Flush;

    // The file is "deleted" and made again, but what went into it since it
    // was last seen cannot be read back: lost, and said so.
    // (Made again under a name of its own: the test's handle keeps the file
    // open for writing, which the new handle does not share.)
    const std::string again = std::string(path) + ".again";
    UseLogFile(LogFileHandle(), again.c_str());
    LogFileCalls.Deleted = SaysDeleted;
    LogFileCalls.Read = FailingRead;
    Capture("four ");
    LogCare();
    LogFileCalls = real;
    ASSERT_EQ(log.Events().size(), 4u);
    EXPECT_EQ(log.Events()[3].Type, EVENTLOG_ERROR_TYPE);
    EXPECT_EQ(log.Events()[3].Text, "The log file \"" + again + "\" was created again, but 5 bytes "
                                        "received since it was last seen could not be copied into it "
                                        "(error 1117) and are lost");

    LogFileCalls.Close = FailingClose;
    CloseLogFile();
    LogFileCalls = real;
    DeleteFileA(again.c_str());
    ASSERT_EQ(log.Events().size(), 5u);
    EXPECT_EQ(log.Events()[4].Text, "Could not close the log file \"" + again + "\" (error 1117)");
}

}  // namespace
