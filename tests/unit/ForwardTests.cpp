// Forwarding: log lines made into syslog messages (stamps, line ends, long
// lines, framing), the collector's address, and the chain of logs and the
// place in them on the real registry: a "restart" closes the chain and
// opens it again, so all that survives is what the registry holds.
#include <gtest/gtest.h>

#include <stdio.h>
#include <string.h>
#include <string>
#include <vector>

#include "common/settings/ForwardSettings.h"
#include "service/core/ServiceState.h"
#include "service/forward/ForwardBatch.h"
#include "service/forward/ForwardChain.h"
#include "service/forward/ForwardThread.h"
#include "tests/unit/FakeEventLog.h"
#include "tests/unit/TestTime.h"

namespace {

SyslogHeader Header(const char *host = "plant.example.com")
{
    SyslogHeader h;
    MakeSyslogHeader(&h, 17, host, "Quillbox3");
    return h;
}

// The messages of a stream batch, their octet counts checked.
std::vector<std::string> Messages(const ForwardBatch &batch)
{
    std::vector<std::string> out;
    size_t at = 0;
    for (int i = 0; i < batch.Count; i++) {
        std::string framed(batch.Data + at, batch.Ends[i] - at);
        size_t space = framed.find(' ');
        std::string msg = framed.substr(space + 1);
        EXPECT_EQ(std::to_string(msg.size()), framed.substr(0, space));
        out.push_back(msg);
        at = batch.Ends[i];
    }
    return out;
}

std::string Take(const std::string &log, BOOL stamps, BOOL finished, size_t *taken = nullptr,
                 ForwardBatch *into = nullptr)
{
    static ForwardBatch batch;
    ForwardBatch *b = into ? into : &batch;
    ClearBatch(b, 0);
    LineCursor cursor;
    StartLineCursor(&cursor, stamps);
    SyslogHeader h = Header();
    size_t n = TakeLines(&cursor, (const BYTE *)log.data(), log.size(), finished, At(2026, 1, 2, 3, 4, 5, 6), &h, b);
    if (taken)
        *taken = n;
    std::string all;
    for (const std::string &m : Messages(*b))
        all += m + "\n";
    return all;
}

}  // namespace

TEST(SyslogMessages, StampedLinesCarryTheirStampAsLocalTimeAndTheRestAsMsg)
{
    // Winter and summer in the test session's zone are read off the system;
    // the text of the offset is checked here.
    char text[SYSLOG_TIMESTAMP_LENGTH + 1];
    FormatSyslogTimestamp(At(2026, 12, 7, 23, 48, 8, 52), 60, text);
    EXPECT_STREQ("2026-12-07T23:48:08.052+01:00", text);
    FormatSyslogTimestamp(At(2026, 7, 1, 0, 0, 0, 0), -330, text);
    EXPECT_STREQ("2026-07-01T00:00:00.000-05:30", text);

    std::string log = "2026-12-07 23:48:08.052: 00001 EXT 204\r\n"
                      "2026-12-07 23:48:09.100: \r\n"           // empty: left out
                      "continued without a stamp\n"
                      "2026-13-07 23:48:09.100: not a stamp\r";
    size_t taken;
    std::string got = Take(log, TRUE, FALSE, &taken);
    char first[SYSLOG_TIMESTAMP_LENGTH + 1];
    SYSTEMTIME stamp = At(2026, 12, 7, 23, 48, 8, 52);
    FormatSyslogTimestamp(stamp, LocalOffsetMinutes(stamp), first);
    std::string head = std::string("<142>1 ") + first + " plant.example.com Tallyline Quillbox3 - - ";
    SYSTEMTIME second = At(2026, 12, 7, 23, 48, 9, 100);
    FormatSyslogTimestamp(second, LocalOffsetMinutes(second), first);
    std::string later = std::string("<142>1 ") + first + " plant.example.com Tallyline Quillbox3 - - ";
    EXPECT_EQ(head + "00001 EXT 204\n" + later + "continued without a stamp\n" + later +
                  "2026-13-07 23:48:09.100: not a stamp\n",
              got);
    EXPECT_EQ(log.size(), taken);
}

TEST(SyslogMessages, AnUnfinishedLineWaitsUntilItsEndOrTheFilesEnd)
{
    size_t taken;
    EXPECT_EQ("", Take("half a li", FALSE, FALSE, &taken));
    EXPECT_EQ(0u, taken);
    std::string got = Take("one\rtwo\n\nthree", FALSE, FALSE, &taken);
    EXPECT_NE(std::string::npos, got.find("- - one\n"));
    EXPECT_NE(std::string::npos, got.find("- - two\n"));
    EXPECT_EQ(std::string::npos, got.find("three"));
    EXPECT_EQ(9u, taken);
    EXPECT_NE(std::string::npos, Take("three", FALSE, TRUE, &taken).find("- - three\n"));
    EXPECT_EQ(5u, taken);
    // Without stamps a line carries the time it was read.
    EXPECT_NE(std::string::npos, Take("x\n", FALSE, FALSE).find("<142>1 2026-01-02T03:04:05.006"));
}

TEST(SyslogMessages, ALongLineGoesWholeInPiecesNoneLargerThanTheLimit)
{
    std::string line;
    for (int i = 0; line.size() < 5000; i++)
        line += std::to_string(i) + ",";
    static ForwardBatch batch;
    size_t taken;
    Take(line + "\r\n", FALSE, FALSE, &taken, &batch);
    std::string joined;
    for (const std::string &m : Messages(batch)) {
        EXPECT_LE(m.size(), (size_t)SYSLOG_MESSAGE_LIMIT);
        joined += m.substr(m.find(" - - ") + 5);
    }
    EXPECT_EQ(3, batch.Count);
    EXPECT_EQ(line, joined);
    EXPECT_EQ(1u, batch.Lines);
    // A piece that fills a message goes before the line's end has come.
    Take(line, FALSE, FALSE, &taken, &batch);
    EXPECT_EQ(2, batch.Count);
    EXPECT_LT(taken, line.size());
}

TEST(SyslogMessages, HeaderFieldsHoldOnlyWhatRfc5424Allows)
{
    SyslogHeader h = Header("bad host\x7f");
    EXPECT_STREQ(" bad_host_ Tallyline Quillbox3 - - ", h.Tail);
    EXPECT_STREQ(" - Tallyline Quillbox3 - - ", Header("").Tail);
    // A full batch takes no more: the rest waits for the next.
    static ForwardBatch batch;
    std::string many;
    for (int i = 0; i < 3000; i++)
        many += "line " + std::to_string(i) + "\n";
    size_t taken;
    Take(many, FALSE, FALSE, &taken, &batch);
    EXPECT_GT(batch.Count, 0);
    EXPECT_LT(taken, many.size());
    EXPECT_EQ('\n', many[taken - 1]);
    EXPECT_EQ((DWORD)batch.Count, batch.Lines);
}

TEST(ForwardTo, TakesTcpTlsAndUdpWithHostAndPortOnly)
{
    ForwardTarget t;
    ASSERT_TRUE(ParseForwardTo("TLS://logs.plant.example:6514", &t));
    EXPECT_EQ(ForwardTls, t.Transport);
    EXPECT_STREQ("logs.plant.example", t.Host);
    EXPECT_EQ(6514u, t.Port);
    ASSERT_TRUE(ParseForwardTo("udp://127.0.0.1:514", &t));
    EXPECT_EQ(ForwardUdp, t.Transport);
    const char *bad[] = {"tcp://host", "tcp://host:0", "tcp://host:65536", "tcp://:514", "http://host:514",
                         "tcp://ho st:514", "tcp://host:514/", "tcp://[::1]:514", "tcp//host:514", ""};
    for (const char *text : bad)
        EXPECT_FALSE(ParseForwardTo(text, &t)) << text;
    EXPECT_EQ(0u, ForwardRetryDelayMs(0));
    EXPECT_EQ(1000u, ForwardRetryDelayMs(1));
    EXPECT_EQ(32000u, ForwardRetryDelayMs(6));
    EXPECT_EQ(60000u, ForwardRetryDelayMs(7));
    EXPECT_EQ(60000u, ForwardRetryDelayMs(40));
}

TEST(ForwardChain, EveryOpenedLogJoinsOnceInOrderAndThePlaceSurvivesARestart)
{
    FakeEventLog events;
    snprintf(ServiceName, sizeof ServiceName, "TallyForwardTest");
    const char *key = "SYSTEM\\CurrentControlSet\\Services\\TallyForwardTest";
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Services\\TallyForwardTest\\Forward");
    CloseForwardChain();
    // The first log is forwarded from where it stood when it was opened.
    char first[MAX_PATH], second[MAX_PATH];
    GetTempPathA(MAX_PATH, first);
    strcat(first, "forward-first.log");
    GetTempPathA(MAX_PATH, second);
    strcat(second, "forward-second.log");
    FILE *f = fopen(first, "wb");
    fputs("old lines\r\n", f);
    fclose(f);
    strcpy(Params.Forward.ForwardTo, "tcp://127.0.0.1:514");
    NoteLogOpened(first);
    NoteLogOpened(first);               // a restart into the same log
    NoteLogOpened(second);
    DWORD sequence, next;
    ULONGLONG offset;
    ASSERT_TRUE(ReadForwardPosition(&sequence, &offset));
    EXPECT_EQ(1u, sequence);
    EXPECT_EQ(11u, offset);
    EXPECT_EQ(2u, NewestForwardLog());
    ASSERT_TRUE(SaveForwardPosition(2, 5, 2));
    CloseForwardChain();
    NoteLogOpened(second);              // the restart: nothing new
    char path[MAX_PATH];
    EXPECT_EQ(0, ForwardLogPath(1, path, sizeof path));
    ASSERT_EQ(1, ForwardLogPath(2, path, sizeof path));
    EXPECT_STREQ(second, path);
    EXPECT_FALSE(NextForwardLog(2, &next));
    ASSERT_TRUE(ReadForwardPosition(&sequence, &offset));
    EXPECT_EQ(2u, sequence);
    EXPECT_EQ(5u, offset);
    EXPECT_FALSE(ParseForwardPosition("file=00000002 offset=", &sequence, &offset));
    EXPECT_FALSE(ParseForwardPosition("file=0000002 offset=5", &sequence, &offset));
    EXPECT_FALSE(ParseForwardPosition("file=00000002 offset=99999999999999999999", &sequence, &offset));
    // Forwarding turned off forgets the place: turned on again it starts afresh.
    Params.Forward.ForwardTo[0] = '\0';
    CloseForwardChain();
    NoteLogOpened(second);
    HKEY forward;
    EXPECT_NE(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE,
                                           "SYSTEM\\CurrentControlSet\\Services\\TallyForwardTest\\Forward", 0,
                                           KEY_READ, &forward));
    EXPECT_TRUE(events.Events().empty());
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, key);
    DeleteFileA(first);
    snprintf(ServiceName, sizeof ServiceName, SERVICE_BASE_NAME);
}
