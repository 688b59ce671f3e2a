#include <gtest/gtest.h>

#include <winsock2.h>
#include <ws2tcpip.h>

#include <string.h>

#include <string>

#include "common/net/SocketIo.h"
#include "common/settings/SourceSettings.h"
#include "service/capture/NetworkSource.h"
#include "service/capture/Rfc2217Stream.h"
#include "service/capture/SenderRefusals.h"
#include "service/capture/TcpClientSource.h"
#include "service/core/ServiceState.h"
#include "tests/unit/FakeEventLog.h"

namespace {

std::string Short(const char *source)
{
    char text[300];
    FormatSourceShort(source, "COM3", text, sizeof text);
    return text;
}

TEST(SourceValue, TheFourFormsAreTakenAndShownInShort)
{
    EXPECT_EQ(Short(""), "COM3");
    EXPECT_EQ(Short("socket://10.1.1.5:1752"), "tcp 10.1.1.5:1752");
    EXPECT_EQ(Short("RFC2217://pbx-1.example:4001"), "rfc2217 pbx-1.example:4001");
    EXPECT_EQ(Short("listen://:1752"), "listen :1752");
    EXPECT_EQ(Short("udp://[fe80::1:2]:514"), "udp [fe80::1:2]:514");
    SourceAddress address;
    ASSERT_TRUE(ParseSource("socket://[::ffff:10.0.0.1]:65535", &address, NULL, 0));
    EXPECT_EQ(address.Kind, SourceTcpClient);
    EXPECT_STREQ(address.Host, "::ffff:10.0.0.1");
    EXPECT_EQ(address.Port, 65535);
    char text[SOURCE_SIZE];
    ASSERT_TRUE(FormatSource(&address, text, sizeof text));
    EXPECT_STREQ(text, "socket://[::ffff:10.0.0.1]:65535");
}

TEST(SourceValue, WhatIsNoSourceIsRefusedWithAReason)
{
    const char *refused[] = {
        "COM3", "tcp://h:1", "socket://h", "socket://:1752", "socket://h:0", "socket://h:65536",
        "socket://h:80/x", "socket://h:80 ", "socket://::1:80", "socket://[::1:80", "socket://[1::2::3]:80",
        "socket://h st:1", "listen://pbx:1752", "udp://300.1.1.1:514", "listen://[::1]", "socket://h:+80",
    };
    for (const char *text : refused) {
        char reason[160] = "";
        EXPECT_FALSE(ParseSource(text, NULL, reason, sizeof reason)) << text;
        EXPECT_NE(reason[0], '\0') << text;
        EXPECT_EQ(Short(text), text);   // shown as stored
    }
    std::string tooLong = "socket://" + std::string(260, 'a') + ":1";
    EXPECT_FALSE(ParseSource(tooLong.c_str(), NULL, NULL, 0));
}

int Allowed(const AllowedSenderList &list, const char *address)
{
    addrinfo hints = {}, *found = NULL;
    hints.ai_flags = AI_NUMERICHOST;
    StartWinsock();
    if (getaddrinfo(address, NULL, &hints, &found) != 0)
        return -1;
    int allowed = found->ai_family == AF_INET
                      ? SenderIsAllowed(&list, 4, (const BYTE *)&((sockaddr_in *)found->ai_addr)->sin_addr)
                      : SenderIsAllowed(&list, 6, (const BYTE *)&((sockaddr_in6 *)found->ai_addr)->sin6_addr);
    freeaddrinfo(found);
    return allowed;
}

TEST(AllowedSendersValue, AddressesAndRangesOfBothFamiliesDecide)
{
    AllowedSenderList list;
    ASSERT_TRUE(ParseAllowedSenders(" 10.1.0.0/16,192.168.1.5 , 2001:db8::/32,::1,172.16.0.0/12", &list, NULL, 0));
    EXPECT_EQ(list.Count, 5);
    EXPECT_EQ(Allowed(list, "10.1.255.3"), 1);
    EXPECT_EQ(Allowed(list, "10.2.0.1"), 0);
    EXPECT_EQ(Allowed(list, "192.168.1.5"), 1);
    EXPECT_EQ(Allowed(list, "192.168.1.6"), 0);
    EXPECT_EQ(Allowed(list, "172.31.0.9"), 1);     // a range whose prefix ends inside a byte
    EXPECT_EQ(Allowed(list, "172.32.0.9"), 0);
    EXPECT_EQ(Allowed(list, "::ffff:10.1.2.3"), 1);  // IPv4 through a dual-stack socket
    EXPECT_EQ(Allowed(list, "2001:db8:5::1"), 1);
    EXPECT_EQ(Allowed(list, "2001:db9::1"), 0);
    EXPECT_EQ(Allowed(list, "::1"), 1);
    ASSERT_TRUE(ParseAllowedSenders("", &list, NULL, 0));
    EXPECT_EQ(Allowed(list, "203.0.113.9"), 1);     // empty: anyone
    for (const char *text : {"10.0.0.0/33", "pbx.example", "1.2.3", ",", "1.2.3.4,", "::1::2", "1.2.3.4/", "::/129"}) {
        char reason[160] = "";
        EXPECT_FALSE(ParseAllowedSenders(text, &list, reason, sizeof reason)) << text;
        EXPECT_NE(reason[0], '\0') << text;
    }
}

const SerialSettings Settings115200 = {115200, 7, 2, 2, FlowRtsCts};

std::string Bytes(std::initializer_list<int> values)
{
    std::string s;
    for (int v : values)
        s.push_back((char)v);
    return s;
}

std::string Filter(Rfc2217Stream *stream, const std::string &input, bool byteByByte)
{
    std::string data = input, out;
    if (!byteByByte) {
        DWORD kept = FilterRfc2217(stream, (BYTE *)&data[0], (DWORD)data.size());
        return data.substr(0, kept);
    }
    for (char c : input) {
        BYTE b = (BYTE)c;
        if (FilterRfc2217(stream, &b, 1) == 1)
            out.push_back((char)b);
    }
    return out;
}

TEST(Rfc2217, TheTelnetLayerIsRemovedWholeHoweverTheBytesAreSplit)
{
    std::string all, escaped;
    for (int i = 0; i < 256; i++) {
        all.push_back((char)i);
        escaped.push_back((char)i);
        if (i == 0xFF)
            escaped.push_back((char)0xFF);
    }
    // Negotiation, a line-state report, a long unknown subnegotiation and
    // other commands between the data; CR NUL stays in binary mode.
    std::string wire = Bytes({255, 251, 0, 255, 253, 0}) + escaped.substr(0, 100) +
                       Bytes({255, 250, 44, 106, 0x12, 255, 240, 255, 241}) + escaped.substr(100) +
                       Bytes({255, 250, 99}) + std::string(200, 'x') + Bytes({255, 255, 255, 240}) + "\r" +
                       Bytes({0, 255, 255});
    for (bool byteByByte : {false, true}) {
        Rfc2217Stream stream;
        StartRfc2217Stream(&stream, Settings115200);
        EXPECT_EQ(Filter(&stream, wire, byteByByte), all + "\r" + Bytes({0, 255})) << byteByByte;
        EXPECT_EQ(stream.LineErrors, (DWORD)CE_OVERRUN);
    }
    // Without binary mode a CR alone comes as CR NUL.
    Rfc2217Stream stream;
    StartRfc2217Stream(&stream, Settings115200);
    EXPECT_EQ(Filter(&stream, Bytes({255, 252, 0}) + "a\r" + Bytes({0}) + "b\r\n" + Bytes({0}), false),
              "a\rb\r\n" + Bytes({0}));
}

TEST(Rfc2217, ThePortSettingsFollowTheServersConsentAndNoAnswerLoops)
{
    Rfc2217Stream stream;
    StartRfc2217Stream(&stream, Settings115200);
    EXPECT_EQ(std::string((char *)stream.Reply, stream.ReplyLength),
              Bytes({255, 251, 0, 255, 253, 0, 255, 251, 3, 255, 253, 3, 255, 251, 44}));
    stream.ReplyLength = 0;
    // The server agrees to what was asked (no answer), asks for an unknown
    // option (refused) and takes the com port option: the settings follow.
    std::string reply = Filter(&stream, Bytes({255, 251, 0, 255, 253, 0, 255, 253, 24, 255, 253, 44}), false);
    EXPECT_EQ(reply, "");
    std::string settings = Bytes({255, 252, 24}) +
                           Bytes({255, 250, 44, 1, 0, 1, 0xC2, 0, 255, 240}) +   // 115200
                           Bytes({255, 250, 44, 2, 7, 255, 240}) + Bytes({255, 250, 44, 3, 3, 255, 240}) +
                           Bytes({255, 250, 44, 4, 2, 255, 240}) + Bytes({255, 250, 44, 5, 3, 255, 240}) +
                           Bytes({255, 250, 44, 5, 16, 255, 240}) + Bytes({255, 250, 44, 5, 8, 255, 240}) +
                           Bytes({255, 250, 44, 10, 14, 255, 240}) + Bytes({255, 250, 44, 11, 0, 255, 240});
    EXPECT_EQ(std::string((char *)stream.Reply, stream.ReplyLength), settings);
    stream.ReplyLength = 0;
    // Said again, nothing is answered; withdrawn, the withdrawal is acknowledged once.
    Filter(&stream, Bytes({255, 251, 0, 255, 253, 44, 255, 252, 0, 255, 252, 0}), false);
    EXPECT_EQ(std::string((char *)stream.Reply, stream.ReplyLength), Bytes({255, 254, 0}));
    // A byte 0xFF of the baud rate is doubled.
    SerialSettings odd = {0xFF, 8, 0, 0, FlowNone};
    StartRfc2217Stream(&stream, odd);
    stream.ReplyLength = 0;
    Filter(&stream, Bytes({255, 253, 44}), false);
    EXPECT_EQ(std::string((char *)stream.Reply, 11), Bytes({255, 250, 44, 1, 0, 0, 0, 255, 255, 255, 240}));
    EXPECT_FALSE(stream.ComPortRefused);
    Filter(&stream, Bytes({255, 254, 44}), false);
    EXPECT_TRUE(stream.ComPortRefused);
}

TEST(NetworkSchedule, ReconnectsBackOffToThirtySecondsAndRefusalsAreReportedHourly)
{
    DWORD expected[] = {1000, 2000, 4000, 8000, 15000, 30000, 30000};
    for (int i = 0; i < 7; i++)
        EXPECT_EQ(ReconnectDelayMs(i), expected[i]);
    ForgetRefusals();
    BYTE a[4] = {10, 0, 0, 1}, b[4] = {10, 0, 0, 2};
    EXPECT_TRUE(RefusalToReport(4, a, 1000));
    EXPECT_FALSE(RefusalToReport(4, a, 1000 + REFUSAL_REPORT_INTERVAL_MS - 1));
    EXPECT_TRUE(RefusalToReport(4, b, 2000));
    EXPECT_TRUE(RefusalToReport(4, a, 1000 + REFUSAL_REPORT_INTERVAL_MS));
    // More senders than are remembered: the table never grows.
    for (DWORD i = 0; i < 3 * REFUSALS_REMEMBERED; i++) {
        BYTE c[4] = {192, 0, (BYTE)(i >> 8), (BYTE)i};
        EXPECT_TRUE(RefusalToReport(4, c, 5000 + i));
    }
}

// --- real sockets on loopback -------------------------------------------

class LoopbackSource : public ::testing::Test {
protected:
    void SetUp() override
    {
        CreateServiceSynchronisation();
        StartWinsock();
        memset(&Params, 0, sizeof Params);
        Params.VerboseLevel = 0xF;
        ParametersRead = TRUE;
    }
    void TearDown() override { NetworkCaptureSource.Close(); }

    // Opens Source with the port of `listener` (0: a free port of our own).
    bool Open(const char *scheme, SOCKET listener = INVALID_SOCKET)
    {
        sockaddr_in address = {};
        int length = sizeof address;
        if (listener != INVALID_SOCKET)
            getsockname(listener, (sockaddr *)&address, &length);
        port = listener != INVALID_SOCKET ? ntohs(address.sin_port) : FreePort();
        snprintf(Params.Network.Source, sizeof Params.Network.Source, "%s://127.0.0.1:%u", scheme, port);
        return NetworkCaptureSource.Open() != 0;
    }
    static unsigned FreePort()
    {
        SOCKET s = Listen();
        sockaddr_in address = {};
        int length = sizeof address;
        getsockname(s, (sockaddr *)&address, &length);
        closesocket(s);
        return ntohs(address.sin_port);
    }
    // A socket on loopback; on `at`, which a closed connection may still hold.
    static SOCKET Listen(int type = SOCK_STREAM, unsigned at = 0)
    {
        SOCKET s = socket(AF_INET, type, 0);
        sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons((u_short)at);
        BOOL on = TRUE;
        setsockopt(s, SOL_SOCKET, SO_REUSEADDR, (const char *)&on, sizeof on);
        bind(s, (sockaddr *)&address, sizeof address);
        if (type == SOCK_STREAM)
            listen(s, 4);
        return s;
    }
    SOCKET Connect(const char *from = "127.0.0.1")
    {
        SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address = {};
        address.sin_family = AF_INET;
        inet_pton(AF_INET, from, &address.sin_addr);
        bind(s, (sockaddr *)&address, sizeof address);
        inet_pton(AF_INET, "127.0.0.1", &address.sin_addr);
        address.sin_port = htons((u_short)port);
        connect(s, (sockaddr *)&address, sizeof address);
        return s;
    }
    // Reads until `expected` bytes came or `ms` passed.
    std::string ReadFor(size_t expected, DWORD ms)
    {
        std::string got;
        DWORD began = GetTickCount();
        while (got.size() < expected && GetTickCount() - began < ms) {
            BYTE buffer[4096];
            DWORD count = 0;
            if (NetworkCaptureSource.Read(buffer, sizeof buffer, 200, &count) == SourceData)
                got.append((char *)buffer, count);
        }
        return got;
    }
    bool Reported(const char *text)
    {
        for (const RecordedEvent &e : log.Events())
            if (e.Text.find(text) != std::string::npos)
                return true;
        return false;
    }
    FakeEventLog log;
    unsigned port = 0;
};

TEST_F(LoopbackSource, AClientReconnectsAfterADropAndReportsTheEpisodeOnce)
{
    SOCKET listener = Listen();
    ASSERT_TRUE(Open("socket", listener));
    std::string all;
    for (int i = 0; i < 256; i++)
        all.push_back((char)i);
    BYTE nothing[16];
    DWORD count;
    EXPECT_EQ(NetworkCaptureSource.Read(nothing, sizeof nothing, 300, &count), SourceQuiet);
    SOCKET device = accept(listener, NULL, NULL);
    send(device, all.data(), (int)all.size(), 0);
    EXPECT_EQ(ReadFor(256, 5000), all);
    EXPECT_TRUE(NetworkCaptureSource.Connected());
    closesocket(device);
    EXPECT_EQ(ReadFor(1, 500), "");
    EXPECT_FALSE(NetworkCaptureSource.Connected());
    EXPECT_TRUE(Reported("The connection to \"tcp 127.0.0.1:"));
    // Away for a while: one report, however many tries fail.
    closesocket(listener);
    ReadFor(1, 4000);
    listener = Listen(SOCK_STREAM, port);
    DWORD began = GetTickCount();
    while (!NetworkCaptureSource.Connected() && GetTickCount() - began < 9000)
        ReadFor(1, 200);   // the next try comes at most 4 s after the last
    device = accept(listener, NULL, NULL);
    send(device, "again", 5, 0);
    EXPECT_EQ(ReadFor(5, 5000), "again");
    EXPECT_TRUE(Reported("Connected to \"tcp 127.0.0.1:"));
    size_t failures = 0;
    for (const RecordedEvent &e : log.Events())
        failures += e.Text.find("Could not connect") != std::string::npos;
    EXPECT_EQ(failures, 0u);   // the drop began the episode and was its one report
    closesocket(device);
    closesocket(listener);
}

TEST_F(LoopbackSource, TheNewestConnectionWinsAndRefusedSendersAreReportedOnce)
{
    snprintf(Params.Network.AllowedSenders, sizeof Params.Network.AllowedSenders, "127.0.0.1, 127.0.0.3");
    ASSERT_TRUE(Open("listen"));
    SOCKET first = Connect();
    send(first, "old ", 4, 0);
    EXPECT_EQ(ReadFor(4, 5000), "old ");
    // The first one stays open, as a half-open connection would.
    SOCKET second = Connect("127.0.0.3");
    send(second, "new", 3, 0);
    EXPECT_EQ(ReadFor(3, 5000), "new");
    send(first, "lost", 4, 0);
    EXPECT_EQ(ReadFor(1, 500), "");
    SOCKET stranger = Connect("127.0.0.2"), again = Connect("127.0.0.2");
    EXPECT_EQ(ReadFor(1, 500), "");
    EXPECT_TRUE(NetworkCaptureSource.Connected());
    int refusals = 0;
    for (const RecordedEvent &e : log.Events())
        refusals += e.Text.find("A connection from 127.0.0.2 to \"listen 127.0.0.1:") == 0;
    EXPECT_EQ(refusals, 1);
    for (SOCKET s : {first, second, stranger, again})
        closesocket(s);
    // The port is this instance's alone.
    NetworkCaptureSource.Close();
    SOCKET holder = Listen();
    sockaddr_in address = {};
    int length = sizeof address;
    getsockname(holder, (sockaddr *)&address, &length);
    port = ntohs(address.sin_port);
    snprintf(Params.Network.Source, sizeof Params.Network.Source, "udp://:%u", port);
    EXPECT_TRUE(NetworkCaptureSource.Open());   // another protocol: free
    NetworkCaptureSource.Close();
    snprintf(Params.Network.Source, sizeof Params.Network.Source, "listen://127.0.0.1:%u", port);
    EXPECT_FALSE(NetworkCaptureSource.Open());
    EXPECT_TRUE(Reported("Could not listen on \"listen 127.0.0.1:"));
    closesocket(holder);
}

TEST_F(LoopbackSource, ADatagramLargerThanAReadArrivesWholeAndInOrderAndWaitingOnesInOneRead)
{
    ASSERT_TRUE(Open("udp"));
    SOCKET sender = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    inet_pton(AF_INET, "127.0.0.1", &address.sin_addr);
    address.sin_port = htons((u_short)port);
    std::string big(10000, 'b'), small = "small";
    for (size_t i = 0; i < big.size(); i++)
        big[i] = (char)(i * 7);
    sendto(sender, big.data(), (int)big.size(), 0, (sockaddr *)&address, sizeof address);
    sendto(sender, small.data(), (int)small.size(), 0, (sockaddr *)&address, sizeof address);
    EXPECT_EQ(ReadFor(big.size() + small.size(), 5000), big + small);
    // Datagrams that wait are taken in one read, not one a wake.
    std::string many;
    for (int i = 0; i < 50; i++) {
        std::string datagram = "d" + std::to_string(i) + ";";
        sendto(sender, datagram.data(), (int)datagram.size(), 0, (sockaddr *)&address, sizeof address);
        many += datagram;
    }
    BYTE buffer[4096];
    DWORD count = 0;
    ASSERT_EQ(NetworkCaptureSource.Read(buffer, sizeof buffer, 1000, &count), SourceData);
    EXPECT_EQ(std::string((char *)buffer, count), many);
    closesocket(sender);
    EXPECT_TRUE(Reported("Warning: AllowedSenders is empty"));
}

}  // namespace
