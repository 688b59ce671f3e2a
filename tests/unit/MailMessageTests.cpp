#include <gtest/gtest.h>

#include <string.h>
#include <string>

#include "common/mail/MailMessage.h"
#include "common/mail/MailOrigin.h"

namespace {

SYSTEMTIME SundayEvening()
{
    SYSTEMTIME t = {};
    t.wYear = 2026;
    t.wMonth = 12;
    t.wDayOfWeek = 0;
    t.wDay = 6;
    t.wHour = 17;
    t.wMinute = 20;
    t.wSecond = 53;
    return t;
}

MailStamp Stamp(const SYSTEMTIME &local, DWORD tick, int offsetMinutes = 60)
{
    MailStamp stamp = {local, offsetMinutes, tick, "<20261206172053.00ab12cf.0000002a.00000001@mail.plant.example>"};
    return stamp;
}

TEST(MailMessage, HeaderByteForByte)
{
    MailStamp stamp = Stamp(SundayEvening(), 0x00AB12CF);
    char header[MAIL_HEADER_SIZE];
    int length = FormatMailHeader(header, sizeof header, &stamp, "log@plant.example", "ops@plant.example",
                                  "Quillbox1_2026-12-06_17-20.log");
    const char *expected =
        "From: <log@plant.example>\r\n"
        "To: <ops@plant.example>\r\n"
        "Subject: Tallyline Log File Quillbox1_2026-12-06_17-20.log\r\n"
        "Date: Sun, 6 Dec 2026 17:20:53 +0100\r\n"
        "Message-ID: <20261206172053.00ab12cf.0000002a.00000001@mail.plant.example>\r\n"
        "X-Mailer: Tallyline SMTP Mailer by Kestrin\r\n"
        "MIME-Version: 1.0\r\n"
        "Content-Type: multipart/mixed;\r\n"
        "\tboundary=\"--=_KVTMsgPart123X456_001_ab12cf\"\r\n"
        "\r\n"
        "This is a multipart message in MIME format.\r\n"
        "\r\n"
        "----=_KVTMsgPart123X456_001_ab12cf\r\n"
        "Content-Type: text/plain;\r\n"
        "\tcharset=\"iso-8859-1\"\r\n"
        "Content-Transfer-Encoding: 7bit\r\n"
        "\r\n"
        "Attached is the log file Quillbox1_2026-12-06_17-20.log.\r\n"
        "----=_KVTMsgPart123X456_001_ab12cf\r\n"
        "Content-Type: application/octet-stream;\r\n"
        "\tname=\"Quillbox1_2026-12-06_17-20.log\"\r\n"
        "Content-Transfer-Encoding: base64\r\n"
        "Content-Disposition: attachment;\r\n"
        "\tfilename=\"Quillbox1_2026-12-06_17-20.log\"\r\n"
        "\r\n";
    EXPECT_EQ(std::string(expected), std::string(header, length));

    char trailer[64];
    length = FormatMailTrailer(trailer, sizeof trailer, 0x00AB12CF);
    EXPECT_EQ("----=_KVTMsgPart123X456_001_ab12cf--\r\n\r\n.\r\n", std::string(trailer, length));
}

TEST(MailMessage, DateFieldsPadAndNameTheDay)
{
    SYSTEMTIME now = {};
    now.wYear = 987;
    now.wMonth = 1;
    now.wDayOfWeek = 6;
    now.wDay = 31;
    now.wHour = 5;
    now.wMinute = 4;
    now.wSecond = 3;
    char header[MAIL_HEADER_SIZE];
    MailStamp stamp = Stamp(now, 0, -270);
    FormatMailHeader(header, sizeof header, &stamp, "a", "b", "c");
    EXPECT_NE(nullptr, strstr(header, "\r\nDate: Sat, 31 Jan 0987 05:04:03 -0430\r\n"));
    EXPECT_NE(nullptr, strstr(header, "_001_0\"\r\n"));
    // A time outside the tables reads no name from beyond them.
    stamp.Local.wMonth = 13;
    stamp.Local.wDayOfWeek = 9;
    stamp.OffsetMinutes = 0;
    FormatMailHeader(header, sizeof header, &stamp, "a", "b", "c");
    EXPECT_NE(nullptr, strstr(header, "\r\nDate: Sun, 31 Jan 0987 05:04:03 +0000\r\n"));
}

TEST(MailMessage, LongestFieldsFitAndLineBreaksCannotInject)
{
    MailStamp stamp = Stamp(SundayEvening(), 0xFFFFFFFF);
    std::string address(200, 'a');
    std::string name(400, 'n');
    char header[MAIL_HEADER_SIZE];
    int length = FormatMailHeader(header, sizeof header, &stamp, address.c_str(), address.c_str(), name.c_str());
    ASSERT_GT(length, 0);
    std::string text(header, length);
    EXPECT_NE(std::string::npos, text.find("From: <" + std::string(63, 'a') + ">\r\n"));
    EXPECT_NE(std::string::npos, text.find("\tfilename=\"" + std::string(259, 'n') + "\"\r\n\r\n"));
    EXPECT_EQ(text.size() - 4, text.rfind("\r\n\r\n"));
    // The longest part of a zipped log fits too.
    char part[MAIL_ATTACHMENT_NAME_SIZE];
    FormatPartName(part, sizeof part, std::string(259, 'n').c_str(), 998, 999);
    std::string zip = std::string(part) + ".zip";
    AttachmentLabel label = {zip.c_str(), "application/zip", 998, 999};
    length = FormatMailHeader(header, sizeof header, &stamp, address.c_str(), address.c_str(), name.c_str(),
                              &label);
    ASSERT_GT(length, 0);
    text.assign(header, length);
    EXPECT_NE(std::string::npos, text.find(std::string(259, 'n') + " (part 998 of 999)\r\nDate: "));
    EXPECT_NE(std::string::npos, text.find(std::string(259, 'n') + " (part 998 of 999).\r\n----"));
    EXPECT_NE(std::string::npos, text.find("Content-Type: application/zip;\r\n\tname=\"" +
                                           std::string(259, 'n') + "-part998of999.zip\"\r\n"));
    const std::string end = "\tfilename=\"" + std::string(259, 'n') + "-part998of999.zip\"\r\n\r\n";
    EXPECT_EQ(text.size() - end.size(), text.rfind(end));

    char field[MAIL_ADDRESS_SIZE];
    CopyMailField(field, sizeof field, "me@x.example>\r\nRCPT TO: <evil@x.example");
    EXPECT_STREQ("me@x.example>", field);
    CopyMailField(field, sizeof field, "a@b\nDATA");
    EXPECT_STREQ("a@b", field);
    CopyMailField(field, sizeof field, NULL);
    EXPECT_STREQ("", field);
    length = FormatMailHeader(header, sizeof header, &stamp, "x@y\r\nBcc: z", "t", "f");
    EXPECT_EQ(0, strncmp(header, "From: <x@y>\r\nTo: <t>\r\n", 22));

    // Too small a buffer is refused rather than overrun.
    EXPECT_EQ(0, FormatMailHeader(header, 100, &stamp, "a", "b", "c"));
}

TEST(MailMessage, FileNameIsWhatFollowsTheLastBackslash)
{
    EXPECT_STREQ("Quillbox1.log", MailFileName("C:\\logs\\Quillbox1.log"));
    EXPECT_STREQ("Quillbox1.log", MailFileName("Quillbox1.log"));
    EXPECT_STREQ("logs/Quillbox1.log", MailFileName("C:\\x\\logs/Quillbox1.log"));
    EXPECT_STREQ("", MailFileName("C:\\logs\\"));
}

TEST(MailMessage, PartNamesSortInOrderAndKeepTheExtension)
{
    char name[MAIL_ATTACHMENT_NAME_SIZE];
    FormatPartName(name, sizeof name, "Quillbox1202612071021.log", 2, 12);
    EXPECT_STREQ("Quillbox1202612071021-part02of12.log", name);
    FormatPartName(name, sizeof name, "a.b.log", 7, 7);
    EXPECT_STREQ("a.b-part7of7.log", name);
    FormatPartName(name, sizeof name, ".log", 1, 100);
    EXPECT_STREQ(".log-part001of100", name);
}

TEST(MailMessage, NoticeTextIsDotStuffedAndCannotInject)
{
    char buffer[MAIL_NOTICE_SIZE];
    MailStamp stamp = Stamp(SundayEvening(), 0);
    int length = FormatNoticeMessage(buffer, sizeof buffer, &stamp, "a@x", "b@y", "Alarm\r\nBcc: c@z",
                                     "first\n.second\n..\nbin\x01\xE9");
    ASSERT_GT(length, 0);
    std::string message(buffer, length);
    EXPECT_NE(message.find("Subject: Alarm\r\nDate: Sun, 6 Dec 2026 17:20:53 +0100\r\nMessage-ID: <2026"), std::string::npos);
    EXPECT_EQ(message.find("Bcc"), std::string::npos);
    EXPECT_EQ(message.substr(message.find("\r\n\r\n")), "\r\n\r\nfirst\r\n..second\r\n...\r\nbin??\r\n");
    EXPECT_EQ(FormatNoticeMessage(buffer, 200, &stamp, "a@x", "b@y", "s", std::string(300, 'x').c_str()), 0);
}

TEST(MailOrigin, TheGreetingNamesAQualifiedHostElseTheAddress)
{
    char name[MAIL_HELO_NAME_SIZE];
    ASSERT_TRUE(ChooseHeloName("plant-pc.plant.example", "[192.0.2.15]", name, sizeof name));
    EXPECT_STREQ(name, "plant-pc.plant.example");
    for (const char *unqualified : {"", "vm", "plant pc.example", "-pc.example", "pc..example", "pc.example."}) {
        ASSERT_TRUE(ChooseHeloName(unqualified, "[IPv6:2001:db8::7]", name, sizeof name));
        EXPECT_STREQ(name, "[IPv6:2001:db8::7]") << unqualified;
    }
    EXPECT_FALSE(ChooseHeloName("vm", "", name, sizeof name));
}

} // namespace
