// Signing in: the AUTH commands' text, and the dialogue against a scripted
// server on a loopback socket.
#include <gtest/gtest.h>

#include <winsock2.h>
#include <string.h>
#include <string>
#include <vector>

#include "common/mail/SmtpAuth.h"
#include "common/mail/SmtpReply.h"
#include "common/net/TlsStream.h"
#include "common/secrets/SmtpPassword.h"
#include "common/system/SecurityLibraries.h"
#include "common/text/Base64Codec.h"

namespace {

TEST(SmtpAuth, PlainCarriesUserAndPasswordInOneBase64Token)
{
    char command[512];
    int length = FormatAuthPlain(command, sizeof command, "alice", "s3cret pass");
    EXPECT_STREQ(command, "AUTH PLAIN AGFsaWNlAHMzY3JldCBwYXNz\r\n");
    EXPECT_EQ(length, (int)strlen(command));
    EXPECT_EQ(FormatBase64Line(command, sizeof command, "alice"), 10);
    EXPECT_STREQ(command, "YWxpY2U=\r\n");

    // The longest user and password the registry and the page allow fit...
    std::string user(SMTP_USER_SIZE - 1, 'u'), password(SMTP_PASSWORD_SIZE - 1, 'p');
    EXPECT_GT(FormatAuthPlain(command, sizeof command, user.c_str(), password.c_str()), 0);
    // ...one more character is refused, and so is a buffer too small.
    EXPECT_EQ(FormatAuthPlain(command, sizeof command, (user + "u").c_str(), "p"), 0);
    EXPECT_EQ(FormatAuthPlain(command, sizeof command, "u", (password + "p").c_str()), 0);
    EXPECT_EQ(FormatAuthPlain(command, 20, "alice", "s3cret pass"), 0);
    EXPECT_EQ(std::string(command, 20), std::string(20, '\0'));   // nothing half-written stays
}

// Whether the stack below the caller's frame, where its callees had theirs,
// still holds the bytes (no call of its own meanwhile).
__declspec(noinline) static bool DeadStackHolds(const char *bytes, int length)
{
    volatile char mark = 0;
    volatile uintptr_t top = (uintptr_t)&mark;
    for (int at = length, i = 0; at < 2048; at++, i = 0) {
        while (i < length && ((const volatile char *)(top - at))[i] == bytes[i])
            i++;
        if (i == length)
            return true;
    }
    return false;
}

static SECURITY_STATUS SEC_ENTRY RefuseToEncrypt(PCtxtHandle, ULONG, PSecBufferDesc, ULONG) { return SEC_E_INTERNAL_ERROR; }

TEST(SmtpAuth, NothingOfTheSecretStaysBehind)
{
    char command[512];
    FormatAuthPlain(command, sizeof command, "alice", "s3cret pass");
    std::string input((const char *)Codec.GetInputBuffer(), BASE64_BUFFER_SIZE);
    std::string output(Codec.GetOutputBuffer(), BASE64_BUFFER_SIZE);
    EXPECT_EQ(input, std::string(BASE64_BUFFER_SIZE, '\0'));
    EXPECT_EQ(output, std::string(BASE64_BUFFER_SIZE, '\0'));
    // Nor does the encoding leave its last quantum on the stack.
    Codec.EncodeBuffer((const uint8_t *)"pa55Q#Zw", 9);
    EXPECT_FALSE(DeadStackHolds("Zw", 3));
    // Nor a command whose encryption failed, in the send buffer.
    static SecurityFunctionTableA refusing;
    refusing.EncryptMessage = RefuseToEncrypt;
    static TlsStream tls;
    tls.Sizes = {5, 16, 16384, 4, 16};
    SchannelStandIn = &refusing;
    EXPECT_FALSE(TlsSend(&tls, command, (int)strlen(command)));
    SchannelStandIn = NULL;
    EXPECT_EQ(std::string(tls.Sending, sizeof tls.Sending).find("AUTH PLAIN"), std::string::npos);
}

// A server on a loopback socket that answers each line it receives with the
// next scripted reply, and keeps the lines.
class ScriptedServer {
public:
    explicit ScriptedServer(std::vector<std::string> replies) : m_Replies(replies)
    {
        WSADATA data;
        WSAStartup(0x0202, &data);
        m_Listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(0x7F000001);
        bind(m_Listener, (sockaddr *)&address, sizeof address);
        int size = sizeof address;
        getsockname(m_Listener, (sockaddr *)&address, &size);
        listen(m_Listener, 1);
        m_Client = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        connect(m_Client, (sockaddr *)&address, sizeof address);
        m_Server = accept(m_Listener, NULL, NULL);
        m_Thread = CreateThread(NULL, 0, Serve, this, 0, NULL);
    }
    ~ScriptedServer()
    {
        closesocket(m_Client);
        WaitForSingleObject(m_Thread, 5000);
        CloseHandle(m_Thread);
        closesocket(m_Server);
        closesocket(m_Listener);
    }
    SOCKET Client() const { return m_Client; }
    std::vector<std::string> Lines()
    {
        closesocket(m_Client);
        m_Client = INVALID_SOCKET;
        WaitForSingleObject(m_Thread, 5000);
        return m_Lines;
    }

private:
    static DWORD WINAPI Serve(LPVOID self)
    {
        ScriptedServer *server = (ScriptedServer *)self;
        std::string line;
        size_t next = 0;
        char c;
        while (recv(server->m_Server, &c, 1, 0) == 1) {
            line += c;
            if (c != '\n')
                continue;
            server->m_Lines.push_back(line);
            line.clear();
            if (next < server->m_Replies.size()) {
                const std::string &reply = server->m_Replies[next++];
                send(server->m_Server, reply.data(), (int)reply.size(), 0);
            }
        }
        return 0;
    }
    std::vector<std::string> m_Replies;
    std::vector<std::string> m_Lines;
    SOCKET m_Listener, m_Client, m_Server;
    HANDLE m_Thread;
};

class SigningIn : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_BlobSize = ProtectSmtpPassword("s3cret pass", m_Blob, sizeof m_Blob);
        ASSERT_GT(m_BlobSize, 0u);
    }
    MailResult SignIn(ScriptedServer &server, unsigned extensions, DWORD timeoutMs = 3000)
    {
        SmtpChannel channel = {server.Client(), NULL};
        return AuthenticateSmtp(&channel, extensions, "alice", m_Blob, m_BlobSize, timeoutMs);
    }
    BYTE m_Blob[SMTP_PASSWORD_BLOB_SIZE];
    DWORD m_BlobSize;
};

TEST_F(SigningIn, PlainIsPreferredAndOneCommandSuffices)
{
    ScriptedServer server({"235 2.7.0 Authentication successful\r\n"});
    EXPECT_EQ(SignIn(server, SMTP_EXTENSION_AUTH_PLAIN | SMTP_EXTENSION_AUTH_LOGIN), Sent);
    EXPECT_EQ(server.Lines(), std::vector<std::string>{"AUTH PLAIN AGFsaWNlAHMzY3JldCBwYXNz\r\n"});
}

TEST_F(SigningIn, LoginAnswersTwoChallengesWithUserThenPassword)
{
    ScriptedServer server({"334 VXNlcm5hbWU6\r\n", "334 UGFzc3dvcmQ6\r\n", "235 ok\r\n"});
    EXPECT_EQ(SignIn(server, SMTP_EXTENSION_AUTH_LOGIN), Sent);
    EXPECT_EQ(server.Lines(), (std::vector<std::string>{"AUTH LOGIN\r\n", "YWxpY2U=\r\n", "czNjcmV0IHBhc3M=\r\n"}));
}

TEST_F(SigningIn, UserAndPasswordGoOutAsUtf8WhateverProgramStoredThePassword)
{
    ASSERT_EQ(GetACP(), 1252u) << "the ANSI texts below are Western European";
    // The user as stored (ANSI); "p\u00e4ss" as today's program stores it (UTF-8) and older ones (ANSI).
    for (const char *password : {"p\xC3\xA4ss", "p\xE4ss"}) {
        m_BlobSize = ProtectSmtpPassword(password, m_Blob, sizeof m_Blob);
        ScriptedServer plain({"235 ok\r\n"});
        SmtpChannel channel = {plain.Client(), NULL};
        EXPECT_EQ(AuthenticateSmtp(&channel, SMTP_EXTENSION_AUTH_PLAIN, "j\xFCrgen", m_Blob, m_BlobSize, 3000), Sent);
        EXPECT_EQ(plain.Lines(), std::vector<std::string>{"AUTH PLAIN AGrDvHJnZW4AcMOkc3M=\r\n"});
        ScriptedServer login({"334 VXNlcm5hbWU6\r\n", "334 UGFzc3dvcmQ6\r\n", "235 ok\r\n"});
        channel.Socket = login.Client();
        EXPECT_EQ(AuthenticateSmtp(&channel, SMTP_EXTENSION_AUTH_LOGIN, "j\xFCrgen", m_Blob, m_BlobSize, 3000), Sent);
        EXPECT_EQ(login.Lines(), (std::vector<std::string>{"AUTH LOGIN\r\n", "asO8cmdlbg==\r\n", "cMOkc3M=\r\n"}));
    }
}

TEST_F(SigningIn, ARefusalAtAnyStepIsAuthenticationRefused)
{
    {
        ScriptedServer server({"535 5.7.8 Authentication credentials invalid\r\n"});
        EXPECT_EQ(SignIn(server, SMTP_EXTENSION_AUTH_PLAIN), AuthenticationRefused);
    }
    {
        ScriptedServer server({"334 VXNlcm5hbWU6\r\n", "535 no such user\r\n"});
        EXPECT_EQ(SignIn(server, SMTP_EXTENSION_AUTH_LOGIN), AuthenticationRefused);
        EXPECT_EQ(server.Lines().size(), 2u);      // the password was never sent
    }
    {
        ScriptedServer server({"504 5.5.4 Unrecognized authentication type\r\n"});
        EXPECT_EQ(SignIn(server, SMTP_EXTENSION_AUTH_LOGIN), AuthenticationRefused);
        EXPECT_EQ(server.Lines().size(), 1u);
    }
}

TEST_F(SigningIn, AMalformedOrMissingReplyIsABadReply)
{
    {
        ScriptedServer server({"2\r\n"});
        EXPECT_EQ(SignIn(server, SMTP_EXTENSION_AUTH_PLAIN), BadReply);
    }
    {
        ScriptedServer server({});
        DWORD began = GetTickCount();
        EXPECT_EQ(SignIn(server, SMTP_EXTENSION_AUTH_PLAIN, 500), BadReply);
        EXPECT_LT(GetTickCount() - began, 5000u);
    }
}

TEST_F(SigningIn, NothingIsSentWithoutAMechanismOrWithAPasswordThatDoesNotDecrypt)
{
    {
        ScriptedServer server({"235 ok\r\n"});
        EXPECT_EQ(SignIn(server, SMTP_EXTENSION_STARTTLS), AuthenticationRefused);
        EXPECT_TRUE(server.Lines().empty());
    }
    {
        ScriptedServer server({"235 ok\r\n"});
        SmtpChannel channel = {server.Client(), NULL};
        BYTE garbage[64];
        memset(garbage, 0x5A, sizeof garbage);
        EXPECT_EQ(AuthenticateSmtp(&channel, SMTP_EXTENSION_AUTH_PLAIN, "alice", garbage, sizeof garbage, 3000),
                  AuthenticationRefused);
        EXPECT_TRUE(server.Lines().empty());
    }
}

TEST(SmtpPassword, OnlyTheEncryptedFormLeavesMemoryAndItComesBackWhole)
{
    BYTE blob[SMTP_PASSWORD_BLOB_SIZE];
    DWORD size = ProtectSmtpPassword("s3cret pass", blob, sizeof blob);
    ASSERT_GT(size, 0u);
    EXPECT_EQ(std::string((const char *)blob, size).find("s3cret"), std::string::npos);
    char password[SMTP_PASSWORD_SIZE];
    ASSERT_TRUE(UnprotectSmtpPassword(blob, size, password, sizeof password));
    EXPECT_STREQ(password, "s3cret pass");

    // The longest password fits; a longer one is not encrypted at all.
    std::string longest(SMTP_PASSWORD_SIZE - 1, 'p');
    size = ProtectSmtpPassword(longest.c_str(), blob, sizeof blob);
    ASSERT_GT(size, 0u);
    ASSERT_TRUE(UnprotectSmtpPassword(blob, size, password, sizeof password));
    EXPECT_EQ(password, longest);
    EXPECT_EQ(ProtectSmtpPassword((longest + "p").c_str(), blob, sizeof blob), 0u);
    // A blob too small for the encrypted form gets nothing.
    EXPECT_EQ(ProtectSmtpPassword("s3cret pass", blob, 16), 0u);
}

TEST(SmtpPassword, WhatCannotBeDecryptedWholeGivesAnEmptyPassword)
{
    BYTE blob[SMTP_PASSWORD_BLOB_SIZE];
    char password[SMTP_PASSWORD_SIZE];
    memset(blob, 0x5A, sizeof blob);
    strcpy(password, "left over");
    EXPECT_FALSE(UnprotectSmtpPassword(blob, 200, password, sizeof password));
    EXPECT_STREQ(password, "");
    EXPECT_FALSE(UnprotectSmtpPassword(NULL, 0, password, sizeof password));
    // A clear text longer than the caller's buffer is not cut: it fails.
    DWORD size = ProtectSmtpPassword("s3cret pass", blob, sizeof blob);
    char small[8];
    EXPECT_FALSE(UnprotectSmtpPassword(blob, size, small, sizeof small));
    EXPECT_STREQ(small, "");
}

}  // namespace
