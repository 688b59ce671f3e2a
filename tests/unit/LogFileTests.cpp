#include <gtest/gtest.h>

#include <string.h>

#include "service/capture/Timestamp.h"
#include "service/core/ServiceState.h"
#include "service/log/LogFile.h"
#include "service/ReadParameters.h"
#include "tests/unit/TestTime.h"

namespace {

std::string Stamped(const char *logFilename, DWORD rotation, const SYSTEMTIME &now)
{
    strcpy(Params.LogFilename, logFilename);
    Params.LogRotation = rotation;
    ExtensionPos = FindExtensionPos(Params.LogFilename);
    char path[STAMPED_PATH_MAX + 1];
    if (!BuildLogFileName(now, path, sizeof path))
        return "<failed>";
    return path;
}

TEST(FindExtensionPos, OnlyADotInTheLastElementCounts)
{
    EXPECT_EQ(FindExtensionPos("C:\\logs\\Quillbox1.log"), 17u);
    EXPECT_EQ(FindExtensionPos("C:\\my.logs\\Quillbox1"), 20u);
    EXPECT_EQ(FindExtensionPos("a.b.log"), 3u);
    EXPECT_EQ(FindExtensionPos(".log"), 4u);  // a dot at index 0 is no extension
    EXPECT_EQ(FindExtensionPos("capture"), 7u);
    EXPECT_EQ(FindExtensionPos(""), 0u);
}

TEST(LogFileName, EveryRotationKindStampsBeforeTheExtension)
{
    SYSTEMTIME t = At(2004, 2, 17, 9, 5);
    EXPECT_EQ(Stamped("C:\\logs\\Quillbox1.log", RotationNever, t), "C:\\logs\\Quillbox1.log");
    EXPECT_EQ(Stamped("C:\\logs\\Quillbox1.log", RotationMonthly, t), "C:\\logs\\Quillbox1200402.log");
    EXPECT_EQ(Stamped("C:\\logs\\Quillbox1.log", RotationWeekly, t), "C:\\logs\\Quillbox120040217.log");
    EXPECT_EQ(Stamped("C:\\logs\\Quillbox1.log", RotationDaily, t), "C:\\logs\\Quillbox120040217.log");
    EXPECT_EQ(Stamped("C:\\logs\\Quillbox1.log", RotationHourly, t), "C:\\logs\\Quillbox12004021709.log");
    EXPECT_EQ(Stamped("C:\\logs\\Quillbox1.log", RotationMinutely, t),
              "C:\\logs\\Quillbox1200402170905.log");
}

TEST(LogFileName, NoExtensionDotsInFoldersAndSeveralDots)
{
    SYSTEMTIME t = At(2004, 2, 17, 9, 5);
    EXPECT_EQ(Stamped("C:\\logs\\capture", RotationHourly, t), "C:\\logs\\capture2004021709");
    EXPECT_EQ(Stamped("C:\\my.logs\\Quillbox1", RotationDaily, t), "C:\\my.logs\\Quillbox120040217");
    EXPECT_EQ(Stamped("a.b.log", RotationDaily, t), "a.b20040217.log");
}

TEST(LogFileName, ANameTooLongForItsStampIsRefusedNotOverflowed)
{
    std::string name = "C:\\" + std::string(240, 'x') + ".log";  // 247 characters
    SYSTEMTIME t = At(2004, 2, 17, 9, 5);
    EXPECT_EQ(Stamped(name.c_str(), RotationDaily, t), name.substr(0, 243) + "20040217.log");
    EXPECT_EQ(Stamped(name.c_str(), RotationMinutely, t), "<failed>");  // 259 > 255
    EXPECT_EQ(Stamped("", RotationNever, t), "<failed>");
}

TEST(LogFileName, UnknownRotationCodeKeepsTheConfiguredName)
{
    EXPECT_EQ(Stamped("C:\\logs\\q.log", 9, At(2004, 2, 17, 9, 5)), "C:\\logs\\q.log");
}

TEST(Timestamp, HasTheFixedWidthFormat)
{
    char text[TIMESTAMP_LENGTH + 1];
    FormatTimestamp(At(2004, 2, 17, 9, 5, 3, 42), text);
    EXPECT_STREQ(text, "2004-02-17 09:05:03.042: ");
    EXPECT_EQ(strlen(text), (size_t)TIMESTAMP_LENGTH);
}

}  // namespace
