#include <gtest/gtest.h>

#include <string.h>
#include <string>

#include "common/mail/SmtpReply.h"

namespace {

// Feeds the text in pieces of the given size, as TCP segments might split it.
int FeedInPieces(SmtpReply &reply, const std::string &text, size_t piece)
{
    StartSmtpReply(&reply);
    int state = SmtpReplyPending;
    for (size_t at = 0; at < text.size() && state == SmtpReplyPending; at += piece) {
        size_t n = text.size() - at < piece ? text.size() - at : piece;
        state = FeedSmtpReply(&reply, text.data() + at, (int)n);
    }
    return state;
}

TEST(SmtpReply, MultiLineReplyCompletesOnlyAtItsFinalLineHoweverSplit)
{
    const std::string ehlo = "250-mail.example.org Hello\r\n250-SIZE 33554432\r\n"
                             "250-8BITMIME\r\n250 HELP\r\n";
    for (size_t piece = 1; piece <= ehlo.size(); piece++) {
        SmtpReply reply;
        ASSERT_EQ(SmtpReplyComplete, FeedInPieces(reply, ehlo, piece)) << piece;
        EXPECT_STREQ("250", reply.Code);
    }
    SmtpReply reply;
    EXPECT_EQ(SmtpReplyPending, FeedInPieces(reply, "250-first\r\n250-second\r\n", 5));
    EXPECT_EQ(SmtpReplyPending, FeedInPieces(reply, "250 no line end yet", 100));
}

TEST(SmtpReply, FinalLineFormsAndItsCode)
{
    SmtpReply reply;
    EXPECT_EQ(SmtpReplyComplete, FeedInPieces(reply, "221\r\n", 100));
    EXPECT_STREQ("221", reply.Code);
    EXPECT_EQ(SmtpReplyComplete, FeedInPieces(reply, "354 go ahead\n", 100));
    EXPECT_STREQ("354", reply.Code);
    // The final line decides, and bytes after it are not taken.
    EXPECT_EQ(SmtpReplyComplete, FeedInPieces(reply, "250-ok\r\n554 no\r\n250 later\r\n", 100));
    EXPECT_STREQ("554", reply.Code);
    // A line of any length passes through the fixed record.
    std::string longLine = "250-" + std::string(5000, 'x') + "\r\n250 end\r\n";
    EXPECT_EQ(SmtpReplyComplete, FeedInPieces(reply, longLine, 700));
    EXPECT_STREQ("250", reply.Code);
}

TEST(SmtpReply, LinesShorterThanACodeAreMalformed)
{
    SmtpReply reply;
    EXPECT_EQ(SmtpReplyMalformed, FeedInPieces(reply, "25\r\n", 100));
    EXPECT_EQ(SmtpReplyMalformed, FeedInPieces(reply, "\r\n", 100));
    EXPECT_EQ(SmtpReplyMalformed, FeedInPieces(reply, "250-ok\r\n\r\n", 100));
}

TEST(SmtpReply, EhloKeywordsAreFoundHoweverTheReplyIsSplit)
{
    const std::string ehlo = "250-mail.example.org greets KVT\r\n250-SIZE 35882577\r\n"
                             "250-starttls\r\n250-AUTH LOGIN PLAIN XOAUTH2\r\n250 HELP\r\n";
    for (size_t piece = 1; piece <= ehlo.size(); piece++) {
        SmtpReply reply;
        ASSERT_EQ(SmtpReplyComplete, FeedInPieces(reply, ehlo, piece)) << piece;
        EXPECT_EQ(reply.Extensions, (unsigned)(SMTP_EXTENSION_STARTTLS | SMTP_EXTENSION_AUTH_PLAIN |
                                               SMTP_EXTENSION_AUTH_LOGIN |
                                               SMTP_EXTENSION_AUTH_XOAUTH2)) << piece;
        EXPECT_EQ(reply.SizeLimit, 35882577u) << piece;
    }
}

TEST(SmtpReply, SizeIsTheNumberAfterTheKeywordElseNoLimit)
{
    SmtpReply reply;
    FeedInPieces(reply, "250-example.org\r\n250-SIZE 100000 more\r\n250 OK\r\n", 100);
    EXPECT_EQ(reply.SizeLimit, 100000u);
    // No number, 0 (no fixed maximum), not a number, a number too long to
    // keep, the line that names the server, another keyword.
    for (const char *ehlo : {"250-e\r\n250 SIZE\r\n", "250-e\r\n250 SIZE 0\r\n", "250-e\r\n250 SIZE 12k\r\n",
                             "250-e\r\n250 SIZE 12345678901234567\r\n", "250 SIZE 5000\r\n",
                             "250-e\r\n250-X-SIZE 5\r\n250 AUTH 5\r\n"}) {
        FeedInPieces(reply, ehlo, 100);
        EXPECT_EQ(reply.SizeLimit, 0u) << ehlo;
    }
}

TEST(SmtpReply, OnlyKeywordsAndTheMechanismsOfAnAuthLineCount)
{
    SmtpReply reply;
    // The older "AUTH=" form, a final line that carries a keyword, and
    // mechanisms named only once each.
    FeedInPieces(reply, "250-example.org\r\n250-AUTH=LOGIN\r\n250 STARTTLS\r\n", 100);
    EXPECT_EQ(reply.Extensions, (unsigned)(SMTP_EXTENSION_AUTH_LOGIN | SMTP_EXTENSION_STARTTLS));
    // Words that are not in the keyword's place, mechanisms outside an AUTH
    // line, and longer names that merely begin like ours.
    FeedInPieces(reply, "250-example.org offers STARTTLS\r\n250-X-PLAIN PLAIN LOGIN\r\n"
                        "250-STARTTLSX\r\n250-AUTH PLAINTEXT LOGINS CRAM-MD5\r\n250 OK\r\n", 7);
    EXPECT_EQ(reply.Extensions, 0u);
    // The first line names the server, whatever it says; a word longer than
    // the record holds is skipped whole, the ones after it still read.
    FeedInPieces(reply, "250 STARTTLS\r\n", 100);
    EXPECT_EQ(reply.Extensions, 0u);
    FeedInPieces(reply, "250-example.org\r\n250-AUTH " + std::string(200, 'Q') + " PLAIN\r\n250 OK\r\n", 9);
    EXPECT_EQ(reply.Extensions, (unsigned)SMTP_EXTENSION_AUTH_PLAIN);
}

} // namespace
