#include <gtest/gtest.h>

#include <string.h>
#include <string>
#include <vector>

#include "service/capture/ComPort.h"
#include "service/core/CheckParameters.h"
#include "service/core/ServiceState.h"
#include "service/ReadParameters.h"
#include "tests/unit/FakeEventLog.h"

namespace {

// The service's own keys in the registry of the Wine session, filled with
// values as a hand editor or another program might have stored them.
class HostileValues : public ::testing::Test {
protected:
    void SetUp() override
    {
        strcpy(ServiceName, "QuillboxParameterTests");
        snprintf(path, sizeof path, PARAMETERS_KEY_FORMAT, ServiceName);
        ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, path, 0, NULL, 0, KEY_ALL_ACCESS, NULL,
                                  &params, NULL), ERROR_SUCCESS);
        ASSERT_EQ(RegCreateKeyExA(params, "Port1", 0, NULL, 0, KEY_ALL_ACCESS, NULL, &port, NULL),
                  ERROR_SUCCESS);
        memset(&Params, 0, sizeof Params);
        ParametersRead = FALSE;
        ForgetParameterProblems();
        Number(params, "VerboseLevel", 1);
        Text(port, "PortName", "COM5");
    }
    void TearDown() override
    {
        RegCloseKey(port);
        RegCloseKey(params);
        RegDeleteTreeA(HKEY_LOCAL_MACHINE, path);
        ParametersRead = FALSE;
        ForgetParameterProblems();
    }
    static void Number(HKEY key, const char *name, DWORD value)
    {
        RegSetValueExA(key, name, 0, REG_DWORD, (const BYTE *)&value, 4);
    }
    static void Text(HKEY key, const char *name, const std::string &text)
    {
        RegSetValueExA(key, name, 0, REG_SZ, (const BYTE *)text.c_str(), (DWORD)text.size() + 1);
    }
    static void Raw(HKEY key, const char *name, DWORD type, const void *data, DWORD size)
    {
        RegSetValueExA(key, name, 0, type, (const BYTE *)data, size);
    }
    std::vector<std::string> Texts()
    {
        std::vector<std::string> texts;
        for (const RecordedEvent &e : log.Events()) {
            EXPECT_EQ(e.Type, EVENTLOG_ERROR_TYPE) << e.Text;
            texts.push_back(e.Text);
        }
        return texts;
    }
    char path[MAX_PATH];
    HKEY params, port;
    FakeEventLog log;
};

TEST_F(HostileValues, AValueOfAnotherTypeIsLeftOutNotReadAsRawBytes)
{
    DWORD letterA = 0x41;
    Raw(params, "LogFilename", REG_DWORD, &letterA, 4);    // once read as the path "A"
    Text(params, "TimestampFormat", "abc");                // 4 bytes: once read as 0x00636261
    Raw(port, "BaudRate", REG_BINARY, "\x00\xc2\x01\x00", 4);
    Raw(port, "NetSendUsers", REG_EXPAND_SZ, "ops", 4);
    Text(port, "FlowControl", "1");
    ASSERT_TRUE(ReadParameters());
    EXPECT_STREQ(Params.LogFilename, "");
    EXPECT_EQ(Params.TimestampFormat, 0u);
    EXPECT_EQ(Params.BaudRate, 0u);
    EXPECT_STREQ(Params.NetSendUsers, "");
    EXPECT_STREQ(Params.PortName, "COM5");
    EXPECT_EQ(Texts(), (std::vector<std::string>{
        "The registry value \"LogFilename\" is of type REG_DWORD, not REG_SZ; it is left out",
        "The registry value \"TimestampFormat\" is of type REG_SZ, not REG_DWORD; it is left out",
        "The registry value \"BaudRate\" is of type REG_BINARY, not REG_DWORD; it is left out",
        "The registry value \"NetSendUsers\" is of type REG_EXPAND_SZ, not REG_SZ; it is left out",
        "The registry value \"FlowControl\" is of type REG_SZ, not REG_DWORD; the port cannot be set",
    }));
    EXPECT_EQ(Params.FlowControl, (DWORD)OPTIONAL_UNFIT_VALUE);
}

TEST_F(HostileValues, AStringTooLongForItsBufferIsLeftOutAndTheLongestThatFitsIsTaken)
{
    Text(port, "PortName", "COM12345");                    // 8 characters; the buffer holds 7
    Text(params, "LogFilename", "C:\\" + std::string(256, 'x'));          // 259: fits
    Text(params, "SmtpServer", std::string(64, 's'));
    Raw(params, "SmtpToAddress", REG_SZ, std::string(64, 't').data(), 64);  // no terminator
    Raw(port, "Timeout", REG_DWORD, "\x05\x00", 2);
    ASSERT_TRUE(ReadParameters());
    EXPECT_STREQ(Params.PortName, "");
    EXPECT_EQ(strlen(Params.LogFilename), 259u);
    EXPECT_STREQ(Params.SmtpServer, "");
    EXPECT_STREQ(Params.SmtpToAddress, "");
    EXPECT_EQ(Params.Timeout, 0u);
    EXPECT_EQ(Texts(), (std::vector<std::string>{
        "The registry value \"SmtpServer\" is longer than 63 characters; it is left out",
        "The registry value \"SmtpToAddress\" is longer than 63 characters; it is left out",
        "The registry value \"PortName\" is longer than 7 characters; it is left out",
        "The registry value \"Timeout\" is 2 bytes long, not 4; it is left out",
    }));
}

TEST_F(HostileValues, NumbersOutsideTheirRangeAreReportedWithWhatTheServiceDoes)
{
    Number(params, "LogRotation", 6);
    Number(port, "ByteSize", 264);      // a byte of it would be a plausible 8
    Number(port, "Parity", 5);
    Number(port, "StopBits", 3);
    Number(port, "StartHour", 24);
    Number(port, "StartMin", 60);
    Number(port, "EndHour", 25);
    Number(port, "EndMin", 0xFFFFFFFF);
    Number(port, "Timeout", 0xFFFFFFFF);       // no range: any number of seconds
    Number(port, "FlowControl", 4);
    ASSERT_TRUE(ReadParameters());
    EXPECT_EQ(Params.LogRotation, 6u);          // kept as stored: the report shows it
    EXPECT_FALSE(ByteFormatInRange());
    EXPECT_EQ(Texts(), (std::vector<std::string>{
        "The registry value \"LogRotation\" is 6, outside 0 to 5; the log is not rotated",
        "The registry value \"ByteSize\" is 264, outside 4 to 8; the port cannot be set",
        "The registry value \"Parity\" is 5, outside 0 to 4; the port cannot be set",
        "The registry value \"StopBits\" is 3, outside 0 to 2; the port cannot be set",
        "The registry value \"StartHour\" is 24, outside 0 to 23; the alarm never acts",
        "The registry value \"StartMin\" is 60, outside 0 to 59; the alarm never acts",
        "The registry value \"EndHour\" is 25, outside 0 to 24; the alarm never acts",
        "The registry value \"EndMin\" is 4294967295, outside 0 to 59; the alarm never acts",
        "The registry value \"FlowControl\" is 4, outside 0 to 3; the port cannot be set",
    }));
}

TEST_F(HostileValues, AbsentValuesAreNoProblemAndInRangeValuesPass)
{
    Number(port, "ByteSize", 8);
    Number(port, "StopBits", 2);
    Number(port, "EndHour", 24);
    ASSERT_TRUE(ReadParameters());
    EXPECT_TRUE(ByteFormatInRange());
    EXPECT_TRUE(Texts().empty());
}

TEST_F(HostileValues, ARefusedVerboseLevelIsReportedThenSilenceAsWithoutOne)
{
    Text(params, "VerboseLevel", "15");
    Number(params, "LogRotation", 9);
    ASSERT_TRUE(ReadParameters());
    EXPECT_EQ(Params.VerboseLevel, 0u);
    EXPECT_EQ(Texts(), (std::vector<std::string>{
        "The registry value \"VerboseLevel\" is of type REG_SZ, not REG_DWORD; it is left out",
        "The registry value \"LogRotation\" is 9, outside 0 to 5; the log is not rotated",
    }));
    ReportServiceEvent("Com port could not be opened, service stopping", EVENTLOG_ERROR_TYPE);
    EXPECT_EQ(log.Events().size(), 2u);
}

TEST_F(HostileValues, VerboseLevelZeroSilencesTheProblemsToo)
{
    Number(params, "VerboseLevel", 0);
    Number(params, "TimestampFormat", 0);
    Text(port, "Parity", "odd");
    Number(port, "StopBits", 7);
    ASSERT_TRUE(ReadParameters());
    EXPECT_TRUE(log.Events().empty());
}

TEST_F(HostileValues, EveryPortFieldIsSetOnPurposeAndARefusedQueueSizeIsReported)
{
    Number(port, "ComBufferSize", 65536);
    Number(port, "ByteSize", 8);
    ASSERT_TRUE(ReadParameters());
    // CTS, RTS, DSR, DTR, XON/XOFF out and in, for each FlowControl code.
    const char *flows[FLOW_CONTROL_COUNT] = {"010100", "120100", "011200", "010111"};
    DCB dcb;
    for (DWORD flow = 0; flow < FLOW_CONTROL_COUNT; flow++) {
        memset(&dcb, 0xFF, sizeof dcb);      // every flag a careless program could leave
        Params.FlowControl = flow;
        ASSERT_TRUE(SetPortSettings(&dcb));
        char got[8];
        snprintf(got, sizeof got, "%d%d%d%d%d%d", dcb.fOutxCtsFlow, dcb.fRtsControl, dcb.fOutxDsrFlow,
                 dcb.fDtrControl, dcb.fOutX, dcb.fInX);
        EXPECT_STREQ(got, flows[flow]);
        EXPECT_TRUE(dcb.fBinary && !dcb.fParity && !dcb.fNull && !dcb.fErrorChar && !dcb.fAbortOnError &&
                    !dcb.fDsrSensitivity && !dcb.ErrorChar && !dcb.EofChar && !dcb.EvtChar);
    }
    Params.FlowControl = FLOW_CONTROL_COUNT;     // no code: the port is not set
    EXPECT_FALSE(SetPortSettings(&dcb));
    // A file is no port: its driver refuses every call, and each refusal is said.
    HANDLE file = CreateFileA("portless.tmp", GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_FLAG_DELETE_ON_CLOSE, NULL);
    EXPECT_FALSE(ConfigureComPort(file, TRUE));
    CloseHandle(file);
    ASSERT_EQ(Texts().size(), 3u);
    EXPECT_EQ(Texts()[0].rfind("Warning: Unable to set the com buffer size of \"COM5\" to 65536 bytes (error ", 0), 0u);
}

}  // namespace
