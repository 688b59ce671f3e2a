#include "PageText.h"
#include "Parameters.h"

#include <gtest/gtest.h>
#include <string.h>
#include <string>

static std::string Preview(const char *name, DWORD rotation, size_t size = 128)
{
    char text[300];
    memset(text, 'Z', sizeof text);
    FormatNamePreview(name, rotation, text, size);
    EXPECT_EQ(text[size], 'Z') << "written past the buffer";
    return text;
}

TEST(NamePreview, StampBeforeTheFirstDotOfTheFileNamePart)
{
    EXPECT_EQ(Preview("C:\\logs\\Quillbox2.log", 0), "Quillbox2.log");
    EXPECT_EQ(Preview("C:\\logs\\Quillbox2.log", 1), "Quillbox2yyyymm.log");
    EXPECT_EQ(Preview("C:\\logs\\Quillbox2.log", 2), "Quillbox2yyyymmdd.log");
    EXPECT_EQ(Preview("C:\\logs\\Quillbox2.log", 3), "Quillbox2yyyymmdd.log");
    EXPECT_EQ(Preview("C:\\logs\\Quillbox2.log", 5), "Quillbox2yyyymmddhhmm.log");
    EXPECT_EQ(Preview("C:\\logs\\capture", 4), "captureyyyymmddhh");
    EXPECT_EQ(Preview("C:\\logs\\calls.port1.log", 3), "callsyyyymmdd.port1.log");
    // Directories with dots do not count; a bare name has no directory.
    EXPECT_EQ(Preview("C:\\v1.2\\calls", 1), "callsyyyymm");
    EXPECT_EQ(Preview("calls.log", 1), "callsyyyymm.log");
    EXPECT_EQ(Preview("C:\\logs\\", 1), "yyyymm");
    // Unknown codes show the name unchanged.
    EXPECT_EQ(Preview("C:\\logs\\calls.log", 6), "calls.log");
    EXPECT_EQ(Preview("C:\\logs\\calls.log", 0xFFFFFFFF), "calls.log");
}

TEST(NamePreview, OverlongPartsAreCutNeverOverrun)
{
    std::string longName = "C:\\" + std::string(250, 'n') + ".log";
    std::string shown = Preview(longName.c_str(), 5);
    EXPECT_EQ(shown.size(), 127u);
    EXPECT_EQ(shown, std::string(127, 'n'));
    std::string longExtension = "C:\\a." + std::string(100, 'e');
    shown = Preview(longExtension.c_str(), 1);
    EXPECT_EQ(shown, "ayyyymm." + std::string(30, 'e'));
    // A small caller buffer holds what fits.
    EXPECT_EQ(Preview("C:\\logs\\Quillbox2.log", 1, 8), "Quillbo");
}

TEST(ParseDecimal, ReadsLikeGetDlgItemInt)
{
    DWORD v = 99;
    EXPECT_TRUE(ParseDecimal("14400", 1, &v));
    EXPECT_EQ(v, 14400u);
    EXPECT_TRUE(ParseDecimal("  300 ", 0, &v));
    EXPECT_EQ(v, 300u);
    EXPECT_TRUE(ParseDecimal("-5", 1, &v));
    EXPECT_EQ(v, 0xFFFFFFFBu);
    EXPECT_TRUE(ParseDecimal("2147483647", 1, &v));
    EXPECT_EQ(v, 2147483647u);
    EXPECT_TRUE(ParseDecimal("-2147483648", 1, &v));
    EXPECT_EQ(v, 0x80000000u);
    EXPECT_TRUE(ParseDecimal("4294967295", 0, &v));
    EXPECT_EQ(v, 4294967295u);
    // Not a number, or out of range: 0.
    const char *bad[] = {"", "fast", "12x", "-", "- 1", "2147483648", "99999999999999999999"};
    for (const char *text : bad) {
        v = 7;
        EXPECT_FALSE(ParseDecimal(text, 1, &v)) << text;
        EXPECT_EQ(v, 0u) << text;
    }
    EXPECT_FALSE(ParseDecimal("-5", 0, &v));
    EXPECT_FALSE(ParseDecimal("4294967296", 0, &v));
}

TEST(MailBoxes, PortDigitsUpTo65535AndZeroForTheDefault)
{
    int clamped;
    EXPECT_EQ(PortFromText("587", &clamped), 587u);
    EXPECT_FALSE(clamped);
    EXPECT_EQ(PortFromText("", &clamped), 0u);
    EXPECT_EQ(PortFromText("65535", &clamped), 65535u);
    EXPECT_FALSE(clamped);
    EXPECT_EQ(PortFromText("65536", &clamped), 65535u);
    EXPECT_TRUE(clamped);
    EXPECT_EQ(PortFromText("99999999999", &clamped), 65535u);
    EXPECT_TRUE(clamped);
    char text[8];
    FormatPortText(0, text, sizeof text);
    EXPECT_STREQ(text, "25");
    FormatPortText(465, text, sizeof text);
    EXPECT_STREQ(text, "465");
}

TEST(MailBoxes, ThePlaceholderKeepsEmptyClearsAnythingElseReplaces)
{
    char password[SMTP_PASSWORD_SIZE];
    EXPECT_EQ(ReadPasswordText(PASSWORD_PLACEHOLDER, password, sizeof password), PasswordKept);
    EXPECT_EQ(ReadPasswordText("", password, sizeof password), PasswordCleared);
    EXPECT_EQ(ReadPasswordText("s3cret pass", password, sizeof password), PasswordReplaced);
    EXPECT_STREQ(password, "s3cret pass");
    // Part of the placeholder deleted and typed on: only the typing counts;
    // all of it deleted but one character: nothing is left, the password goes.
    std::string edited = std::string(PASSWORD_PLACEHOLDER).substr(3) + "new";
    EXPECT_EQ(ReadPasswordText(edited.c_str(), password, sizeof password), PasswordReplaced);
    EXPECT_STREQ(password, "new");
    EXPECT_EQ(ReadPasswordText("\x1F", password, sizeof password), PasswordCleared);
    // Bounded by the buffer.
    std::string longer(300, 'p');
    EXPECT_EQ(ReadPasswordText(longer.c_str(), password, sizeof password), PasswordReplaced);
    EXPECT_EQ(strlen(password), sizeof password - 1);
}
