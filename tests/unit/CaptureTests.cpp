#include <gtest/gtest.h>

#include <string.h>

#include <regex>
#include <string>

#include "FakeEventLog.h"
#include "LogWriter.h"
#include "ReaderThread.h"
#include "ServiceState.h"

namespace {

// Captures `input` byte by byte into a scratch file and returns the file with
// every timestamp replaced by "<T>".
std::string Capture(const std::string &input, DWORD timestampFormat)
{
    char dir[MAX_PATH], path[MAX_PATH];
    GetTempPathA(sizeof dir, dir);
    GetTempFileNameA(dir, "cap", 0, path);
    LogHandle = CreateFileA(path, GENERIC_WRITE | GENERIC_READ, FILE_SHARE_READ, NULL,
                            CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    ResetLogWriter();
    Params.TimestampFormat = timestampFormat;
    LineStart = TRUE;
    for (unsigned char c : input)
        CaptureByte(c);
    CloseHandle(LogHandle);
    LogHandle = INVALID_HANDLE_VALUE;

    std::string out;
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    char buffer[4096];
    DWORD got;
    while (ReadFile(file, buffer, sizeof buffer, &got, NULL) && got > 0)
        out.append(buffer, got);
    CloseHandle(file);
    DeleteFileA(path);
    static const std::regex stamp("\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3}: ");
    return std::regex_replace(out, stamp, "<T>");
}

TEST(LineStart, CrLfLinesAreEachStampedBeforeTheirFirstCharacter)
{
    EXPECT_EQ(Capture("one\r\ntwo\r\n", 1), "<T>one\r\n<T>two\r\n");
}

TEST(LineStart, LineFeedsAloneNeverStartALine)
{
    EXPECT_EQ(Capture("one\ntwo\nthree\n", 1), "<T>one\ntwo\nthree\n");
}

TEST(LineStart, CarriageReturnsAloneStampEveryLine)
{
    EXPECT_EQ(Capture("one\rtwo\r", 1), "<T>one\r<T>two\r");
}

TEST(LineStart, AnEmptyLineGetsItsOwnStampBeforeItsCarriageReturn)
{
    EXPECT_EQ(Capture("one\r\n\r\ntwo\r\n", 1), "<T>one\r\n<T>\r\n<T>two\r\n");
}

TEST(LineStart, LineFeedsAtTheStartOfALineAreWrittenUnstamped)
{
    EXPECT_EQ(Capture("\n\nabc\r\n\nx", 1), "\n\n<T>abc\r\n\n<T>x");
}

TEST(LineStart, WithoutTimestampsTheLogIsAByteCopy)
{
    std::string all;
    for (int i = 0; i < 256; i++)
        all.push_back((char)i);
    EXPECT_EQ(Capture(all, 0), all);
}

TEST(LogWrites, ARunOfFailedWritesIsReportedOnce)
{
    FakeEventLog log;
    ParametersRead = TRUE;
    Params.VerboseLevel = 1;
    ResetLogWriter();
    strcpy(CurrentLogPath, "C:\\logs\\gone.log");
    LogHandle = INVALID_HANDLE_VALUE;
    for (int i = 0; i < 5; i++)
        CaptureByte('x');
    ASSERT_EQ(log.Events().size(), 1u);
    EXPECT_EQ(log.Events()[0].Type, EVENTLOG_ERROR_TYPE);
    EXPECT_EQ(log.Events()[0].Text.rfind("Could not write to the log file \"C:\\logs\\gone.log\"", 0), 0u);
    ResetLogWriter();
}

}  // namespace
