#include "client/PageText.h"
#include "common/secrets/SmtpPassword.h"
#include "common/settings/Parameters.h"
#include "common/settings/SmtpSettings.h"

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
    EXPECT_EQ(DigitsUpTo("587", 65535, &clamped), 587u);
    EXPECT_FALSE(clamped);
    EXPECT_EQ(DigitsUpTo("", 65535, &clamped), 0u);
    EXPECT_EQ(DigitsUpTo("65535", 65535, &clamped), 65535u);
    EXPECT_FALSE(clamped);
    EXPECT_EQ(DigitsUpTo("65536", 65535, &clamped), 65535u);
    EXPECT_TRUE(clamped);
    EXPECT_EQ(DigitsUpTo("99999999999999999999999", 65535, &clamped), 65535u);
    EXPECT_TRUE(clamped);
    char text[8];
    FormatPortText(0, text, sizeof text);
    EXPECT_STREQ(text, "25");
    FormatPortText(465, text, sizeof text);
    EXPECT_STREQ(text, "465");
}

static PasswordEdit Judge(const std::wstring &text, int showsPlaceholder, char *password, std::wstring *shown)
{
    WCHAR box[SMTP_PASSWORD_SIZE];
    PasswordEdit edit = ReadPasswordText(text.c_str(), showsPlaceholder, password, SMTP_PASSWORD_SIZE, box,
                                         SMTP_PASSWORD_SIZE);
    *shown = box;
    return edit;
}

TEST(MailBoxes, ThePlaceholderKeepsEmptyClearsAnythingElseReplaces)
{
    char password[SMTP_PASSWORD_SIZE];
    std::wstring shown;
    const std::wstring placeholder(PASSWORD_PLACEHOLDER_LENGTH, PASSWORD_PLACEHOLDER_CHAR);
    EXPECT_EQ(Judge(placeholder, 1, password, &shown), PasswordKept);
    EXPECT_EQ(Judge(L"", 0, password, &shown), PasswordCleared);
    EXPECT_EQ(Judge(L"s3cret pass", 0, password, &shown), PasswordReplaced);
    EXPECT_STREQ(password, "s3cret pass");
    // Any edit of the placeholder starts from empty: the box is to show only
    // what was typed; and the placeholder brought back (undo) is no longer
    // the stored password but an empty box.
    EXPECT_EQ(Judge(placeholder.substr(3) + L"new" + placeholder.substr(9), 1, password, &shown), PasswordRetyped);
    EXPECT_EQ(shown, L"new");
    EXPECT_EQ(Judge(placeholder.substr(1), 1, password, &shown), PasswordRetyped);
    EXPECT_EQ(shown, L"");
    EXPECT_EQ(Judge(placeholder, 0, password, &shown), PasswordRetyped);
    EXPECT_EQ(shown, L"");
    // Any character as its UTF-8; what does not fit in UTF-8 is cut back to
    // the longest start that does, never inside a surrogate pair.
    EXPECT_EQ(Judge(L"P\u00e4ss \u20ac\u2713\U0001F600", 0, password, &shown), PasswordReplaced);
    EXPECT_STREQ(password, "P\xc3\xa4ss \xe2\x82\xac\xe2\x9c\x93\xf0\x9f\x98\x80");
    EXPECT_EQ(Judge(std::wstring(127, L'\u00e4'), 0, password, &shown), PasswordTooLong);
    EXPECT_EQ(shown, std::wstring(63, L'\u00e4'));
    std::wstring faces = L"a";
    for (int i = 0; i < 40; i++)
        faces += L"\U0001F600";
    EXPECT_EQ(Judge(faces, 0, password, &shown), PasswordTooLong);
    EXPECT_EQ(shown, faces.substr(0, 1 + 2 * 31));   // 125 bytes
}

static DWORD RefuseToProtect(const char *, BYTE *, DWORD) { return 0; }

TEST(MailBoxes, AStoredPasswordIsItsUtf8EncryptedAndAFailedEncryptionKeepsNone)
{
    SmtpSettings smtp = {};
    const char utf8[] = "P\xc3\xa4ss \xe2\x9c\x93";
    ASSERT_TRUE(StorePasswordEdit(PasswordReplaced, utf8, smtp.SmtpPassword, sizeof smtp.SmtpPassword,
                                  &smtp.SmtpPasswordSize, ProtectSmtpPassword));
    char clear[SMTP_PASSWORD_SIZE];
    ASSERT_TRUE(UnprotectSmtpPassword(smtp.SmtpPassword, smtp.SmtpPasswordSize, clear, sizeof clear));
    EXPECT_STREQ(clear, utf8);
    // The caller shows its message on 0: nothing is dropped silently.
    EXPECT_FALSE(StorePasswordEdit(PasswordReplaced, "next", smtp.SmtpPassword, sizeof smtp.SmtpPassword,
                                   &smtp.SmtpPasswordSize, RefuseToProtect));
    EXPECT_EQ(smtp.SmtpPasswordSize, 0u);
}
