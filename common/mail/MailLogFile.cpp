#include "common/mail/MailLogFile.h"

#include <stdio.h>
#include <string.h>

#include "common/mail/MailMessage.h"
#include "common/mail/SmtpAuth.h"
#include "common/mail/SmtpChannel.h"
#include "common/mail/SmtpReply.h"
#include "common/mail/ZipStream.h"
#include "common/net/SocketIo.h"
#include "common/net/TlsStream.h"
#include "common/oauth/OAuthToken.h"
#include "common/text/Base64Codec.h"

// The file is read in blocks of 18 x 57 bytes: each encodes to exactly 18
// lines of 76 characters, so every line but the last is full and padding
// only ends the attachment.
#define MAIL_FILE_BLOCK 1026
#define MAIL_LINE_CHARS 76
// One block's lines with their line ends: 1,368 characters + 18 CRLF.
#define MAIL_BODY_BLOCK_SIZE (1368 + 18 * 2)
// Lines are gathered over this many blocks per send: every send costs a round
// trip through the socket layer, and one per block made a 100 MB file crawl
// at 5 MB/s under Wine.
#define MAIL_SEND_BLOCKS 32
// A server name as long as DNS allows.
#define SERVER_NAME_SIZE 256

BOOL (WINAPI *MailReadFile)(HANDLE, LPVOID, DWORD, LPDWORD, LPOVERLAPPED) = ReadFile;

MailFailure LastMailFailure;

sockaddr_in ServerAddress;
int MustResolve = 1;
int LastTlsFailure;
int LastCertificateVerdict;

// The name ServerAddress was resolved from: a call naming another server
// resolves that one instead of mailing to the old address.
static char ResolvedServer[SERVER_NAME_SIZE];

static char MessageBuffer[SMTP_RECEIVE_SIZE];
static char HeaderBuffer[MAIL_HEADER_SIZE];
static BYTE FileBuffer[MAIL_FILE_BLOCK];
static char BodyBuffer[MAIL_SEND_BLOCKS * MAIL_BODY_BLOCK_SIZE];
static TlsStream Tls;

static int ResolveServer(const char *server)
{
    if (!MustResolve && strcmp(server, ResolvedServer) == 0)
        return 1;
    MustResolve = 1;
    in_addr address;
    // A failed start of Winsock leaves the name unresolved and is tried
    // again by the next call.
    if (strlen(server) >= sizeof ResolvedServer || !ResolveIpv4(server, &address))
        return 0;
    memset(&ServerAddress, 0, sizeof ServerAddress);
    ServerAddress.sin_family = AF_INET;
    ServerAddress.sin_port = htons(SMTP_DEFAULT_PORT);
    ServerAddress.sin_addr = address;
    strcpy(ResolvedServer, server);
    MustResolve = 0;
    return 1;
}

// Connects with a bounded wait.
static SOCKET ConnectServer()
{
    return ConnectWithin(&ServerAddress, MailConnectTimeoutMs, MailReplyTimeoutMs);
}

static int SendText(SmtpChannel *channel, const char *text)
{
    return ChannelSend(channel, text, (int)strlen(text));
}

// Reads the reply to a step of the message and expects the code; the step
// and what the server answered are kept for LastMailFailure.
static int ExpectStepReply(SmtpChannel *channel, int step, const char *code)
{
    SmtpReply reply;
    LastMailFailure.Step = step;
    LastMailFailure.Code[0] = '\0';
    if (!ReadSmtpReply(channel, &reply, MailReplyTimeoutMs))
        return 0;
    memcpy(LastMailFailure.Code, reply.Code, sizeof LastMailFailure.Code);
    return strncmp(reply.Code, code, 3) == 0;
}

// Sends a command of the message formatted around one field and expects the code.
static int SendCommand(SmtpChannel *channel, int step, const char *format, const char *field, const char *code)
{
    int length = snprintf(MessageBuffer, sizeof MessageBuffer, format, field);
    if (length <= 0 || (size_t)length >= sizeof MessageBuffer)
        return 0;
    return ChannelSend(channel, MessageBuffer, length) && ExpectStepReply(channel, step, code);
}

// Adds one block's base64 lines of 76 characters to the body, which goes out
// when it holds the lines of several blocks.
static int BodyLength;

static int AddEncodedBlock(SmtpChannel *channel, const BYTE *block, DWORD size)
{
    Codec.EncodeBuffer(block, size);
    const char *text = Codec.GetOutputBuffer();
    int textLength = Codec.GetOutputLength();
    if (BodyLength > (int)sizeof BodyBuffer - MAIL_BODY_BLOCK_SIZE) {
        if (!ChannelSend(channel, BodyBuffer, BodyLength))
            return 0;
        BodyLength = 0;
    }
    for (int offset = 0; offset < textLength; offset += MAIL_LINE_CHARS) {
        int line = textLength - offset;
        if (line > MAIL_LINE_CHARS)
            line = MAIL_LINE_CHARS;
        memcpy(BodyBuffer + BodyLength, text + offset, line);
        BodyLength += line;
        BodyBuffer[BodyLength++] = '\r';
        BodyBuffer[BodyLength++] = '\n';
    }
    return 1;
}

// Streams the file as base64 lines, the lines of several blocks per send. A
// read that fails ends the mail before its final ".": the server then drops
// the message instead of delivering a cut one.
static MailResult SendAttachment(SmtpChannel *channel, HANDLE file)
{
    BodyLength = 0;
    for (;;) {
        DWORD read = 0;
        if (!MailReadFile(file, FileBuffer, sizeof FileBuffer, &read, NULL))
            return FileNotOpened;
        if (read == 0)
            return ChannelSend(channel, BodyBuffer, BodyLength) ? Sent : BadReply;
        if (!AddEncodedBlock(channel, FileBuffer, read))
            return BadReply;
    }
}

// A zipped attachment: the zip's bytes, in whatever amounts they come, are
// gathered into blocks of the file's size, so its lines are cut as a log's.
static DWORD BlockLength;
static int ZipSendFailed;

static int SendZipBytes(void *context, const BYTE *data, DWORD length)
{
    SmtpChannel *channel = (SmtpChannel *)context;
    while (length > 0) {
        DWORD piece = sizeof FileBuffer - BlockLength;
        if (piece > length)
            piece = length;
        memcpy(FileBuffer + BlockLength, data, piece);
        BlockLength += piece;
        data += piece;
        length -= piece;
        if (BlockLength == sizeof FileBuffer) {
            BlockLength = 0;
            if (!AddEncodedBlock(channel, FileBuffer, sizeof FileBuffer)) {
                ZipSendFailed = 1;
                return 0;
            }
        }
    }
    return 1;
}

// Secures the connection: handshake and certificate check, bounded like one
// reply. From here on the dialogue runs through TLS.
static int SecureChannel(SmtpChannel *channel, const char *server, const SmtpSettings *settings)
{
    int secured = TlsStart(&Tls, channel->Socket, server, settings->SmtpTrustedCa, MailReplyTimeoutMs);
    LastTlsFailure = Tls.Failure;
    LastCertificateVerdict = Tls.Verdict;
    if (secured)
        channel->Tls = &Tls;
    return secured;
}

// EHLO and its reply, whose keywords say what the server offers.
static int Hello(SmtpChannel *channel, SmtpReply *reply)
{
    return SendText(channel, "EHLO KVT\r\n") && ReadSmtpReply(channel, reply, MailReplyTimeoutMs) &&
           strcmp(reply->Code, "250") == 0;
}

static int UsesOAuth(const SmtpSettings *settings)
{
    return settings->OAuth.SmtpAuthMethod == AuthOAuth2;
}

// From the greeting to a server that will take MAIL FROM: the plain
// greeting and EHLO, with STARTTLS and a second EHLO, or with TLS from the
// first byte; then AUTH when a user is set. The last EHLO's SIZE, if any,
// goes to sizeLimit.
static MailResult OpenSession(SmtpChannel *channel, const char *server, const SmtpSettings *settings,
                              const char *token, ULONGLONG *sizeLimit)
{
    if (settings->SmtpSecurity == SecurityImplicitTls && !SecureChannel(channel, server, settings))
        return SecureConnectionFailed;
    SmtpReply reply;
    if (!ExpectSmtpReply(channel, "220", MailReplyTimeoutMs) || !Hello(channel, &reply))
        return BadReply;
    if (settings->SmtpSecurity == SecurityStartTls) {
        // Never a silent fall back to plain text: no STARTTLS, no mail.
        if (!(reply.Extensions & SMTP_EXTENSION_STARTTLS))
            return SecureConnectionFailed;
        if (!SendText(channel, "STARTTLS\r\n") || !ReadSmtpReply(channel, &reply, MailReplyTimeoutMs))
            return BadReply;
        if (strcmp(reply.Code, "220") != 0 || !SecureChannel(channel, server, settings))
            return SecureConnectionFailed;
        // What the server said before TLS counts for nothing now.
        if (!Hello(channel, &reply))
            return BadReply;
    }
    *sizeLimit = reply.SizeLimit;
    if (UsesOAuth(settings))
        return AuthenticateXoauth2(channel, reply.Extensions, settings, token, MailReplyTimeoutMs);
    if (settings->SmtpUser[0] == '\0')
        return Sent;
    return AuthenticateSmtp(channel, reply.Extensions, settings->SmtpUser, settings->SmtpPassword,
                            settings->SmtpPasswordSize, MailReplyTimeoutMs);
}

// What a mail is to carry, and what the server's EHLO said of its size.
struct MailChoice {
    DWORD Kind;                 // MailAttachmentKind
    const MailPart *Part;       // null: the whole log
    ULONGLONG FileSize;
    ULONGLONG SizeLimit;        // the server's SIZE; 0: none
};

// One message's attachment: the log as it is, or zipped, whole or one part.
struct Attachment {
    int Zipped;
    ULONGLONG Offset, Length;                   // the bytes of the log it holds
    DWORD Part, Parts;                          // 0 of 0: the whole log
    char Entry[MAIL_ATTACHMENT_NAME_SIZE];      // in the zip: the log's or the part's name
    char Name[MAIL_ATTACHMENT_NAME_SIZE];       // the zip's name
    int HeaderLength;                           // of its header in HeaderBuffer
};

static void ChooseWhole(Attachment *attachment, const char *fileName, ULONGLONG size, int zipped)
{
    memset(attachment, 0, sizeof *attachment);
    attachment->Zipped = zipped;
    attachment->Length = size;
    CopyMailField(attachment->Entry, sizeof attachment->Entry, fileName);
    snprintf(attachment->Name, sizeof attachment->Name, "%s.zip", attachment->Entry);
}

static void ChoosePart(Attachment *attachment, const char *fileName, const MailPart *part)
{
    memset(attachment, 0, sizeof *attachment);
    attachment->Zipped = 1;
    attachment->Offset = part->Offset;
    attachment->Length = part->Length;
    attachment->Part = part->Index;
    attachment->Parts = part->Count;
    FormatPartName(attachment->Entry, sizeof attachment->Entry, fileName, part->Index, part->Count);
    snprintf(attachment->Name, sizeof attachment->Name, "%s.zip", attachment->Entry);
}

// The attachment's header into HeaderBuffer; non-zero when it fitted.
static int FormatHeader(Attachment *attachment, const SYSTEMTIME *now, DWORD tick, const char *from,
                        const char *to, const char *fileName)
{
    AttachmentLabel label = {attachment->Name, "application/zip", attachment->Part, attachment->Parts};
    attachment->HeaderLength = FormatMailHeader(HeaderBuffer, sizeof HeaderBuffer, now, tick, from, to, fileName,
                                                attachment->Zipped ? &label : NULL);
    return attachment->HeaderLength != 0;
}

// The message's size as SIZE counts it: everything before the final ".".
static ULONGLONG MessageSize(const Attachment *attachment, ULONGLONG attachmentBytes, DWORD tick)
{
    char trailer[64];
    int trailerLength = FormatMailTrailer(trailer, sizeof trailer, tick);
    return attachment->HeaderLength + Base64LinesSize(attachmentBytes) + (trailerLength - 3);
}

// Picks what the message carries and, when the server declares a SIZE,
// measures it (a zip by zipping it once without sending): Sent when it fits,
// MessageTooLarge when nothing allowed does, FileNotOpened when the log
// cannot be read.
static MailResult ChooseAttachment(Attachment *attachment, const MailChoice *choice, HANDLE file,
                                   const SYSTEMTIME *now, DWORD tick, const char *from, const char *to,
                                   const char *fileName)
{
    if (choice->Part != NULL)
        ChoosePart(attachment, fileName, choice->Part);
    else
        ChooseWhole(attachment, fileName, choice->FileSize, choice->Kind == AttachZipAlways);
    if (!FormatHeader(attachment, now, tick, from, to, fileName))
        return BadReply;
    ULONGLONG limit = choice->SizeLimit;
    if (limit == 0)
        return Sent;
    if (!attachment->Zipped) {
        if (MessageSize(attachment, attachment->Length, tick) <= limit)
            return Sent;
        if (choice->Kind != AttachZipWhenTooLarge)
            return MessageTooLarge;
        ChooseWhole(attachment, fileName, choice->FileSize, 1);
        if (!FormatHeader(attachment, now, tick, from, to, fileName))
            return BadReply;
    }
    // A zip never grows much beyond its bytes: one that fits even so is not
    // zipped twice.
    ULONGLONG bound = ZipDeflateBound(attachment->Length) +
                      ZipContainerSize(strlen(attachment->Entry), ZipIsLarge(attachment->Length));
    if (MessageSize(attachment, bound, tick) <= limit)
        return Sent;
    if (!ZipFileRange(file, attachment->Offset, attachment->Length, attachment->Entry, NULL, NULL))
        return FileNotOpened;
    return MessageSize(attachment, ZipOutputSize(), tick) <= limit ? Sent : MessageTooLarge;
}

// Streams the zip of the attachment's bytes as its base64 lines.
static MailResult SendZipped(SmtpChannel *channel, HANDLE file, const Attachment *attachment)
{
    BodyLength = 0;
    BlockLength = 0;
    ZipSendFailed = 0;
    if (!ZipFileRange(file, attachment->Offset, attachment->Length, attachment->Entry, SendZipBytes, channel))
        return ZipSendFailed ? BadReply : FileNotOpened;
    if ((BlockLength > 0 && !AddEncodedBlock(channel, FileBuffer, BlockLength)) ||
        !ChannelSend(channel, BodyBuffer, BodyLength))
        return BadReply;
    return Sent;
}

// MAIL FROM, RCPT TO and DATA: non-zero when the server waits for the message.
static int StartData(SmtpChannel *channel, const char *from, const char *to)
{
    if (!SendCommand(channel, MailStepSender, "MAIL FROM: <%s>\r\n", from, "250") ||
        !SendCommand(channel, MailStepRecipient, "RCPT TO: <%s>\r\n", to, "250") ||
        !SendText(channel, "DATA\r\n") || !ExpectStepReply(channel, MailStepData, "354"))
        return 0;
    LastMailFailure.Step = MailStepMessage;
    LastMailFailure.Code[0] = '\0';
    return 1;
}

// The end of the message (its final "." included) and QUIT: Sent when the
// server took it and answered QUIT.
static MailResult FinishData(SmtpChannel *channel, const char *end, int length)
{
    if (!ChannelSend(channel, end, length) || !ExpectStepReply(channel, MailStepMessage, "250"))
        return BadReply;
    // Accepted: what follows is only the courtesy of QUIT.
    LastMailFailure.Step = MailStepQuit;
    if (!SendText(channel, "QUIT\r\n") || !ExpectSmtpReply(channel, "221", MailReplyTimeoutMs))
        return BadReply;
    return Sent;
}

// The dialogue after the connect; Sent when the server took the message and
// answered QUIT.
static MailResult TalkSmtp(SmtpChannel *channel, HANDLE file, const SYSTEMTIME *now, DWORD tick,
                           const char *from, const char *to, const char *fileName, const char *server,
                           const SmtpSettings *settings, const char *token, MailChoice *choice)
{
    MailResult opened = OpenSession(channel, server, settings, token, &choice->SizeLimit);
    if (opened != Sent)
        return opened;
    Attachment attachment;
    MailResult chosen = ChooseAttachment(&attachment, choice, file, now, tick, from, to, fileName);
    if (chosen != Sent) {
        // A polite end; the result stands whatever the server answers.
        if (chosen == MessageTooLarge && SendText(channel, "QUIT\r\n"))
            ExpectSmtpReply(channel, "221", MailReplyTimeoutMs);
        return chosen;
    }
    if (!StartData(channel, from, to) || !ChannelSend(channel, HeaderBuffer, attachment.HeaderLength))
        return BadReply;
    if (attachment.Zipped) {
        MailResult sent = SendZipped(channel, file, &attachment);
        if (sent != Sent)
            return sent;
    } else {
        MailResult body = SendAttachment(channel, file);
        if (body != Sent)
            return body;
    }
    int length = FormatMailTrailer(MessageBuffer, sizeof MessageBuffer, tick);
    return length != 0 ? FinishData(channel, MessageBuffer, length) : BadReply;
}

// The parts of a log whose zip exceeds the server's limit, planned for the
// longest header and zip that any part can have (part 999 of 999).
static void PlanParts(MailPlan *plan, HANDLE file, const MailChoice *choice, const SYSTEMTIME *now,
                      DWORD tick, const char *from, const char *to, const char *fileName)
{
    MailPart widest = {MAIL_MAX_PARTS, MAIL_MAX_PARTS, 0, choice->FileSize};
    Attachment attachment;
    ChoosePart(&attachment, fileName, &widest);
    if (!FormatHeader(&attachment, now, tick, from, to, fileName))
        return;
    ULONGLONG fixed = MessageSize(&attachment, 0, tick);
    if (fixed >= choice->SizeLimit)
        return;
    ULONGLONG zip = LargestAttachment(choice->SizeLimit - fixed);
    ULONGLONG container = ZipContainerSize(strlen(attachment.Entry), 1);
    if (zip > container)
        PlanLogParts(file, choice->FileSize, zip - container, plan);
}

// Settings the mail cannot go out with, whatever the server: a security
// value that is not one of the codes, or a user or token to sign in without
// TLS (the password or token would cross the network in clear).
static int Unusable(const SmtpSettings *settings)
{
    return settings->SmtpSecurity >= SMTP_SECURITY_COUNT ||
           (settings->SmtpSecurity == SecurityNone && (settings->SmtpUser[0] != '\0' || UsesOAuth(settings)));
}

// Resolves the server, obtains the token of an OAuth sign-in, and connects:
// Sent with *sock connected, or why not.
static MailResult ConnectForMail(const char *server, const SmtpSettings *settings, const char **token, SOCKET *sock)
{
    *token = NULL;
    if (server == NULL || !ResolveServer(server))
        return ServerNotResolved;
    // The token first: a mail that cannot sign in is not begun. OAuth names
    // the mailbox in SmtpUser; without it nothing is asked or sent.
    if (UsesOAuth(settings) && (settings->SmtpUser[0] == '\0' || (*token = ObtainAccessToken(settings, 0)) == NULL))
        return settings->SmtpUser[0] == '\0' ? AuthenticationRefused : AccessTokenNotObtained;
    ServerAddress.sin_port = htons((u_short)SmtpPortOf(settings));
    *sock = ConnectServer();
    return *sock == INVALID_SOCKET ? ConnectFailed : Sent;
}

static void BeginResults()
{
    LastTlsFailure = TlsNoFailure;
    LastCertificateVerdict = CertificateAccepted;
    LastMailFailure.Step = MailStepSession;
    LastMailFailure.Code[0] = '\0';
}

// One message: the whole log (part null) or one part; plan, when not null,
// receives the parts of a whole log that is too large.
static MailResult MailLog(const char *path, const char *server, const char *from, const char *to,
                          const SmtpSettings *settings, DWORD kind, const MailPart *part, MailPlan *plan)
{
    static const SmtpSettings Defaults = {};
    if (settings == NULL)
        settings = &Defaults;
    SYSTEMTIME now;
    GetLocalTime(&now);
    DWORD tick = GetTickCount();
    BeginResults();
    if (plan != NULL)
        plan->Count = 0;

    if (path == NULL)
        return FileNotOpened;
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return FileNotOpened;
    // A part must be one of a plan and lie inside the file: a file that
    // changed since its plan was made is not the file planned.
    LARGE_INTEGER size;
    MailChoice choice = {kind < MAIL_ATTACHMENT_COUNT ? kind : (DWORD)AttachLog, part, 0, 0};
    if (!GetFileSizeEx(file, &size) ||
        (part != NULL && (part->Index == 0 || part->Index > part->Count || part->Count > MAIL_MAX_PARTS ||
                          part->Offset > (ULONGLONG)size.QuadPart ||
                          part->Length > (ULONGLONG)size.QuadPart - part->Offset))) {
        CloseHandle(file);
        return FileNotOpened;
    }
    choice.FileSize = (ULONGLONG)size.QuadPart;
    if (Unusable(settings)) {
        CloseHandle(file);
        return SecureConnectionFailed;
    }

    // Addresses end at a CR or LF: nothing after it can reach the server.
    char fromField[MAIL_ADDRESS_SIZE];
    char toField[MAIL_ADDRESS_SIZE];
    char nameField[MAIL_FILE_NAME_SIZE];
    CopyMailField(fromField, sizeof fromField, from);
    CopyMailField(toField, sizeof toField, to);
    CopyMailField(nameField, sizeof nameField, MailFileName(path));

    const char *token;
    SOCKET sock;
    MailResult connected = ConnectForMail(server, settings, &token, &sock);
    if (connected != Sent) {
        CloseHandle(file);
        return connected;
    }
    SmtpChannel channel = {sock, NULL};
    MailResult result = TalkSmtp(&channel, file, &now, tick, fromField, toField, nameField, server, settings,
                                 token, &choice);
    TlsEnd(&Tls);
    closesocket(sock);
    // Planned with the connection closed: cutting a large log takes a while.
    if (result == MessageTooLarge && plan != NULL && part == NULL && choice.Kind != AttachLog)
        PlanParts(plan, file, &choice, &now, tick, fromField, toField, nameField);
    CloseHandle(file);
    return result;
}

int MailRefusedForGood()
{
    return LastMailFailure.Step >= MailStepSender && LastMailFailure.Step <= MailStepMessage &&
           LastMailFailure.Code[0] == '5';
}

int MailAccepted()
{
    return LastMailFailure.Step == MailStepQuit;
}

MailResult MailLogFile(const char *path, const char *server, const char *from, const char *to,
                       const SmtpSettings *settings, DWORD attachment, MailPlan *plan)
{
    return MailLog(path, server, from, to, settings, attachment, NULL, plan);
}

MailResult MailLogPart(const char *path, const char *server, const char *from, const char *to,
                       const SmtpSettings *settings, const MailPart *part)
{
    if (part == NULL)
        return FileNotOpened;
    return MailLog(path, server, from, to, settings, AttachZipAlways, part, NULL);
}

MailResult MailLogInFull(const char *path, const char *server, const char *from, const char *to,
                         const SmtpSettings *settings, DWORD attachment, MailPlan *plan, DWORD *failedPart)
{
    *failedPart = 0;
    MailResult result = MailLogFile(path, server, from, to, settings, attachment, plan);
    if (result != MessageTooLarge || plan->Count == 0)
        return result;
    MailPart part;
    for (DWORD k = 1; GetMailPart(plan, k, &part); k++) {
        result = MailLogPart(path, server, from, to, settings, &part);
        if (result != Sent) {
            *failedPart = k;
            return result;
        }
    }
    return Sent;
}

MailResult MailNotice(const char *server, const char *from, const char *to, const SmtpSettings *settings,
                      const char *subject, const char *text)
{
    static const SmtpSettings Defaults = {};
    static char Notice[MAIL_NOTICE_SIZE];
    if (settings == NULL)
        settings = &Defaults;
    BeginResults();
    if (Unusable(settings))
        return SecureConnectionFailed;
    char fromField[MAIL_ADDRESS_SIZE];
    char toField[MAIL_ADDRESS_SIZE];
    CopyMailField(fromField, sizeof fromField, from);
    CopyMailField(toField, sizeof toField, to);
    SYSTEMTIME now;
    GetLocalTime(&now);
    int length = FormatNoticeMessage(Notice, sizeof Notice - 3, &now, fromField, toField, subject, text);
    if (length == 0)
        return BadReply;
    memcpy(Notice + length, ".\r\n", 4);
    const char *token;
    SOCKET sock;
    MailResult result = ConnectForMail(server, settings, &token, &sock);
    if (result != Sent)
        return result;
    SmtpChannel channel = {sock, NULL};
    ULONGLONG sizeLimit;
    result = OpenSession(&channel, server, settings, token, &sizeLimit);
    if (result == Sent)
        result = StartData(&channel, fromField, toField) ? FinishData(&channel, Notice, length + 3) : BadReply;
    TlsEnd(&Tls);
    closesocket(sock);
    return result;
}
