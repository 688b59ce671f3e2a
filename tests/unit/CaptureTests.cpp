#include <gtest/gtest.h>

#include <string.h>

#include <regex>
#include <string>

#include "service/ServiceMain.h"
#include "service/capture/ComPort.h"
#include "service/capture/DriverLoss.h"
#include "service/capture/ReaderThread.h"
#include "service/capture/Timestamp.h"
#include "service/core/CaptureStatus.h"
#include "service/core/ServiceState.h"
#include "service/log/LogFile.h"
#include "service/log/LogWriter.h"
#include "service/log/LogWriterThread.h"
#include "tests/unit/FakeEventLog.h"
#include "tests/unit/TestCapture.h"
#include "tests/unit/TestTime.h"

namespace {

// Captures `input` byte by byte (each its own chunk) into a scratch file and returns the file with
// every timestamp replaced by "<T>". A gap (bytes lost, time passed unseen) comes before byte `gapAt`.
std::string Capture(const std::string &input, DWORD timestampFormat, size_t gapAt = std::string::npos)
{
    char dir[MAX_PATH], path[MAX_PATH];
    GetTempPathA(sizeof dir, dir);
    GetTempFileNameA(dir, "cap", 0, path);
    UseLogFile(CreateFileA(path, GENERIC_WRITE | GENERIC_READ, FILE_SHARE_READ, NULL,
                            CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL), NULL);
    CreateServiceSynchronisation();
    ResetLogWriter();
    Params.TimestampFormat = timestampFormat;
    for (size_t i = 0; i < input.size(); i++) {
        if (i == gapAt)
            MarkCaptureGap();
        HandOver(std::string(1, input[i]));
    }
    WriteQueuedBytes();
    CloseHandle(LogFileHandle());
    UseLogFile(INVALID_HANDLE_VALUE, NULL);

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

TEST(LineStart, AfterAGapTheNextByteBeginsALineOfItsOwn)
{
    // The port went and came back twenty minutes later: "CALL 56" must not
    // continue the cut line of "CALL 55" under its stamp.
    EXPECT_EQ(Capture("CALL 55CALL 56\r\n", 1, 7), "<T>CALL 55<T>CALL 56\r\n");
    EXPECT_EQ(Capture("CALL 55\r\nx", 1, 8), "<T>CALL 55\r<T>\nx");
    EXPECT_EQ(Capture("ab", 0, 1), "ab");
}

TEST(LineStart, OnceAStopGivesUpOnTheReaderNothingMoreIsQueuedAndWhatCameIsCounted)
{
    CreateServiceSynchronisation();
    ResetLogWriter();
    HandOver("kept");
    CloseCaptureQueue();
    HandOver("refused");
    EXPECT_EQ(QueuedPosition(), 4u);
    EXPECT_EQ(ForgetRefused(), 7u);
    ResetLogWriter();
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
    CreateServiceSynchronisation();
    ResetLogWriter();
    UseLogFile(INVALID_HANDLE_VALUE, "C:\\logs\\gone.log");
    for (int i = 0; i < 5; i++) {
        HandOver("x");
        WriteQueuedBytes();
    }
    ASSERT_EQ(log.Events().size(), 1u);
    EXPECT_EQ(log.Events()[0].Type, EVENTLOG_ERROR_TYPE);
    EXPECT_EQ(log.Events()[0].Text.rfind("Could not write to the log file \"C:\\logs\\gone.log\"", 0), 0u);
    ResetLogWriter();
}

// A disk that hangs in a flush: the reader's hand-over goes on, each line
// keeps the time its first byte arrived, however late it is written, and
// what came meanwhile is written once the flush returns (the reader wakes
// only an idle writer: one that found bytes waiting after its flush used to
// sleep on, until a rotation, a stop or half a queue of bytes woke it).
HANDLE FlushEntered, FlushReleased;
BOOL WINAPI HangingFlush(HANDLE file)
{
    SetEvent(FlushEntered);
    WaitForSingleObject(FlushReleased, INFINITE);
    return FlushFileBuffers(file);
}
DWORD WINAPI HandOverLines(LPVOID)
{
    SYSTEMTIME arrival = At(2026, 12, 7, 10, 20, 30, 123);
    for (int i = 0; i < 1000; i++)
        CaptureBytes((const BYTE *)"line\r\n", 6, arrival);
    return 0;
}

TEST(SlowDisk, TheReaderNeverWaitsForTheWriterAndStampsAreArrivalTimes)
{
    char dir[MAX_PATH], path[MAX_PATH];
    GetTempPathA(sizeof dir, dir);
    GetTempFileNameA(dir, "slw", 0, path);
    ASSERT_TRUE(CreateServiceSynchronisation());
    UseLogFile(CreateFileA(path, GENERIC_WRITE | GENERIC_READ, FILE_SHARE_READ, NULL,
                            CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL), path);
    ResetLogWriter();
    Params.TimestampFormat = 1;
    FlushEntered = CreateEventA(NULL, FALSE, FALSE, NULL);
    FlushReleased = CreateEventA(NULL, TRUE, FALSE, NULL);
    LogFileApi real = LogFileCalls;
    LogFileCalls.Flush = HangingFlush;
    ASSERT_TRUE(StartLogWriter());
    HandOver("first\r\n");
    ASSERT_EQ(WaitForSingleObject(FlushEntered, 5000), WAIT_OBJECT_0);

    HANDLE reader = CreateThread(NULL, 0, HandOverLines, NULL, 0, NULL);
    EXPECT_EQ(WaitForSingleObject(reader, 5000), WAIT_OBJECT_0);    // while the flush hangs
    CloseHandle(reader);
    SetEvent(FlushReleased);
    std::string lines;
    for (int i = 0; i < 1000; i++)
        lines += "2026-12-07 10:20:30.123: line\r\n";
    std::string expected = "first\r\n" + lines, content;
    for (DWORD began = GetTickCount(); GetTickCount() - began < 3000; Sleep(20)) {
        HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING, 0, NULL);
        static char buffer[65536];
        DWORD got = 0;
        ReadFile(file, buffer, sizeof buffer, &got, NULL);
        CloseHandle(file);
        content.assign(buffer, got);
        if (content.size() >= TIMESTAMP_LENGTH + expected.size())
            break;
    }
    EndLogWriter();
    ASSERT_TRUE(WaitForLogWriterEnd(5000));
    LogFileCalls = real;
    DeleteFileA(path);
    ASSERT_GT(content.size(), (size_t)TIMESTAMP_LENGTH);
    EXPECT_EQ(content.substr(TIMESTAMP_LENGTH), expected);
}

// A line by line device is gathered, up to the bound; a source that fills
// half a chunk faster than that is never held up (the tail of a drained
// backlog included), and a long silence before a byte cannot overflow.
TEST(ReadGather, ATrickleIsGatheredAFastSourceIsReadAgainAtOnce)
{
    EXPECT_EQ(ReadGatherMs(0, 5000000), 0u);
    EXPECT_EQ(ReadGatherMs(576, 50000), (DWORD)READ_GATHER_MS);             // 115200 baud
    EXPECT_EQ(ReadGatherMs(1024, 10000), 20u);
    EXPECT_EQ(ReadGatherMs(READ_CHUNK_SIZE / 2, 1000000), 0u);
    EXPECT_EQ(ReadGatherMs(1000, 200), 0u);
    EXPECT_EQ(ReadGatherMs(1, 100000000000ULL), (DWORD)READ_GATHER_MS);
}

TEST(DriverLoss, OneReportPerEpisodeWithTheCountsOnceTheDriverIsQuiet)
{
    FakeEventLog log;
    ParametersRead = TRUE;
    Params.VerboseLevel = 1;
    strcpy(Params.PortName, "COM5");
    NoteCommErrors(CE_BREAK, 1000);                 // no loss
    EXPECT_EQ(DriverLossDueInMs(1000), INFINITE);
    NoteCommErrors(CE_RXOVER, 1000);
    NoteCommErrors(CE_OVERRUN | CE_FRAME, 3000);
    NoteCommErrors(CE_RXPARITY | CE_RXOVER, 4000);
    EXPECT_EQ(DriverLossDueInMs(8000), (DWORD)DRIVER_LOSS_QUIET_MS - 4000);
    EXPECT_EQ(DriverLossDueInMs(4000 + DRIVER_LOSS_QUIET_MS), 0u);
    ReportDriverLoss();
    ReportDriverLoss();
    ASSERT_EQ(log.Events().size(), 1u);
    EXPECT_EQ(log.Events()[0].Type, EVENTLOG_ERROR_TYPE);
    EXPECT_EQ(log.Events()[0].Text, "Received data was lost or damaged on \"COM5\" (counted by its driver: "
                                    "input queue full 2, hardware overrun 1, framing errors 1, parity errors 1)");
    EXPECT_EQ(DriverLossDueInMs(20000), INFINITE);
}

// A driver Wine's is not: every read completes at once with nothing, or
// fails; time-outs are refused.
LONG DriverReads;
BOOL DriverFails;
HANDLE FakePortOpen(const char *, BOOL) { return CreateEventA(NULL, TRUE, FALSE, NULL); }
BOOL WINAPI FakePortRead(HANDLE, LPVOID, DWORD, LPDWORD got, LPOVERLAPPED)
{
    DriverReads++;
    *got = 0;
    SetLastError(ERROR_GEN_FAILURE);
    return !DriverFails;
}
BOOL WINAPI FakePortResult(HANDLE, LPOVERLAPPED, LPDWORD got, BOOL) { *got = 0; return TRUE; }
BOOL WINAPI FakePortErrors(HANDLE, LPDWORD errors, LPCOMSTAT status)
{
    *errors = 0;
    memset(status, 0, sizeof *status);
    return TRUE;
}
BOOL WINAPI FakePortTimeouts(HANDLE, LPCOMMTIMEOUTS) { SetLastError(ERROR_INVALID_PARAMETER); return FALSE; }

size_t EventsStarting(const FakeEventLog &log, const std::string &text)
{
    size_t n = 0;
    for (const RecordedEvent &e : log.Events())
        n += e.Text.rfind(text, 0) == 0;
    return n;
}

TEST(ComPortDriver, InstantEmptyReadsDoNotSpinRefusalsAndFailuresAreToldOncePerEpisode)
{
    FakeEventLog log;
    ASSERT_TRUE(CreateServiceSynchronisation());
    ComPortApi real = ComPortCalls;
    ComPortCalls = {FakePortOpen, FakePortRead, FakePortResult, FakePortErrors, FakePortTimeouts};
    ParametersRead = TRUE;
    Params.VerboseLevel = 1;
    Params.Timeout = 30;
    strcpy(Params.PortName, "COM7");
    ASSERT_TRUE(ComPortSource.Open());
    BYTE buffer[64];
    DWORD count;
    DriverReads = 0;
    for (DWORD began = GetTickCount(), wait = 20000; GetTickCount() - began < 500; wait -= 100)
        EXPECT_EQ(ComPortSource.Read(buffer, sizeof buffer, wait, &count), SourceQuiet);
    EXPECT_LE(DriverReads, 12);     // one a 50 ms pause, not thousands
    EXPECT_EQ(EventsStarting(log, "Warning: Unable to set com timeouts for \"COM7\""), 1u);

    // A port that fails its reads and opens again at once: one error until a read works.
    DriverFails = TRUE;
    for (int i = 0; i < 3; i++) {
        EXPECT_EQ(ComPortSource.Read(buffer, sizeof buffer, 1000, &count), SourceLost);
        EXPECT_TRUE(ComPortSource.Reopen());
    }
    EXPECT_EQ(EventsStarting(log, "Reading from \"COM7\" failed (error 31)"), 1u);
    DriverFails = FALSE;
    ComPortSource.Close();
    ComPortCalls = real;
}

// A source whose read never comes back until the test lets it: a driver
// that ignores the cancel of a stop, which Wine's never does.
HANDLE ReaderInRead, ReaderRelease;
int StuckOpen() { return 1; }
SourceResult StuckRead(BYTE *, DWORD, DWORD, DWORD *count)
{
    *count = 0;
    SetEvent(ReaderInRead);
    WaitForSingleObject(ReaderRelease, INFINITE);
    return SourceQuiet;
}
DWORD StuckRetryMs(DWORD) { return 1000; }
DWORD StuckTakeWaiting(BYTE *, DWORD) { return 0; }
void StuckClose() {}
BOOL StuckConnected() { return TRUE; }
const CaptureSource StuckSource = {StuckOpen, StuckRead, StuckOpen, StuckRetryMs, StuckTakeWaiting, StuckClose,
                                   StuckConnected};

TEST(StopGuard, AReaderStuckInItsDriverEndsTheStopWithAnErrorAndExitCode5)
{
    FakeEventLog log;
    ASSERT_TRUE(CreateServiceSynchronisation());
    ParametersRead = TRUE;
    Params.VerboseLevel = 1;
    Params.Timeout = 0;
    strcpy(ServiceName, "Quillbox9");
    ReaderRelease = CreateEventA(NULL, TRUE, FALSE, NULL);
    Source = &StuckSource;
    ReaderInRead = CreateEventA(NULL, TRUE, FALSE, NULL);
    ASSERT_TRUE(StartReader());
    ASSERT_EQ(WaitForSingleObject(ReaderInRead, 5000), WAIT_OBJECT_0);
    ServiceStatus.dwCurrentState = SERVICE_RUNNING;
    EXPECT_EQ(ServiceHandler(SERVICE_CONTROL_STOP, 0, NULL, NULL), (DWORD)NO_ERROR);
    for (DWORD began = GetTickCount(); GetTickCount() - began < READER_END_WAIT_MS + 10000; Sleep(50))
        if (ServiceStatus.dwCurrentState == SERVICE_STOPPED)
            break;
    EXPECT_EQ(ServiceStatus.dwCurrentState, (DWORD)SERVICE_STOPPED);
    EXPECT_EQ(ServiceStatus.dwWin32ExitCode, (DWORD)ERROR_SERVICE_SPECIFIC_ERROR);
    EXPECT_EQ(ServiceStatus.dwServiceSpecificExitCode, (DWORD)StopIncomplete);
    EXPECT_EQ(EventsStarting(log, "The reader did not end within 5 seconds of the stop"), 1u);
    SetEvent(ReaderRelease);
    EXPECT_TRUE(WaitForReaderEnd(5000));
    Source = &ComPortSource;
}

ULONGLONG StatusCount(const char *name)
{
    ULONGLONG value = 0;
    DWORD size = sizeof value;
    RegGetValueA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Services\\QuillboxStatusTest\\Status", name,
                 RRF_RT_ANY, NULL, &value, &size);
    return value;
}

TEST(LiveStatus, LinesCountedAcrossChunksTheLastLineKeptAndTodayKeptOverARestart)
{
    strcpy(ServiceName, "QuillboxStatusTest");
    ResetCaptureStatus();
    ASSERT_TRUE(OpenStatusKey());
    SYSTEMTIME today;
    GetLocalTime(&today);
    SYSTEMTIME yesterday = today;
    yesterday.wDay = today.wDay == 1 ? 2 : today.wDay - 1;
    // CR LF split between chunks counts once; CR or LF alone end a line too.
    const char *chunks[] = {"old\r\n", "one\r", "\ntwo\n", "thr\x01" "ee\rfou", "r"};
    for (size_t i = 0; i < sizeof chunks / sizeof chunks[0]; i++)
        NoteDataReceived((const BYTE *)chunks[i], (DWORD)strlen(chunks[i]), i == 0 ? yesterday : today);
    EXPECT_TRUE(PublishStatus());
    EXPECT_FALSE(PublishStatus());                  // nothing changed since
    EXPECT_EQ(StatusCount("Lines"), 4u);
    EXPECT_EQ(StatusCount("LinesToday"), 3u);       // yesterday's line not
    EXPECT_EQ(StatusCount("BytesToday"), 20u);
    char line[64];
    LastReceivedLine(line, sizeof line);
    EXPECT_STREQ(line, "thr.ee");
    CloseStatusKey();

    // The next run of the same day goes on with today's figures.
    ResetCaptureStatus();
    ASSERT_TRUE(OpenStatusKey());
    NoteDataReceived((const BYTE *)"five\r\n", 6, today);
    EXPECT_TRUE(PublishStatus());
    EXPECT_EQ(StatusCount("Lines"), 1u);
    EXPECT_EQ(StatusCount("LinesToday"), 4u);
    CloseStatusKey();
    RegDeleteTreeA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Services\\QuillboxStatusTest");
}

}  // namespace
