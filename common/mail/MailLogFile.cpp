#include "common/mail/MailLogFile.h"

#include <stdio.h>
#include <string.h>

#include "common/mail/MailMessage.h"
#include "common/mail/MailOrigin.h"
#include "common/mail/MimeText.h"
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

// Room left beyond the header a log's parts are planned with: a later
// part's Date, Message-ID and greeting name may be a little longer.
#define MAIL_HEADER_SLACK 128

BOOL (WINAPI *MailReadFile)(HANDLE, LPVOID, DWORD, LPDWORD, LPOVERLAPPED) = ReadFile;

MailFailure LastMailFailure;

int LastTlsFailure;
int LastCertificateVerdict;

static char MessageBuffer[SMTP_RECEIVE_SIZE];
static char HeaderBuffer[MAIL_HEADER_SIZE];
static BYTE FileBuffer[MAIL_FILE_BLOCK];
static char BodyBuffer[MAIL_SEND_BLOCKS * MAIL_BODY_BLOCK_SIZE];
static TlsStream Tls;

// The connection kept open between the messages of a queue (RFC 5321 lets
// one session carry many transactions): which server and settings it was
// made for, what the server declared, and the name this machine gave.
static struct {
    SOCKET Socket;                      // INVALID_SOCKET: none open
    SmtpChannel Channel;
    char Server[SERVER_NAME_SIZE];
    SmtpSettings Settings;
    ULONGLONG SizeLimit;                // the last EHLO's SIZE; 0: none
    char HeloName[MAIL_HELO_NAME_SIZE];
} Session = {INVALID_SOCKET, {INVALID_SOCKET, NULL}, "", {}, 0, ""};

static int SendText(SmtpChannel *channel, const char *text)
{
    return ChannelSend(channel, text, (int)strlen(text));
}

// Reads the reply to a step of the message and expects the code; the step
// and what the server answered are kept for LastMailFailure.
static int ExpectStepReply(SmtpChannel *channel, int step, const char *code, DWORD timeoutMs = MailReplyTimeoutMs)
{
    SmtpReply reply;
    LastMailFailure.Step = step;
    LastMailFailure.Code[0] = '\0';
    if (!ReadSmtpReply(channel, &reply, timeoutMs))
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

// Streams the file's first `length` bytes as base64 lines, the lines of
// several blocks per send: a file still being written goes as it was when
// the message was measured. A read that fails or comes up short ends the
// mail before its final ".": the server then drops the message instead of
// delivering a cut one.
static MailResult SendAttachment(SmtpChannel *channel, HANDLE file, ULONGLONG length)
{
    BodyLength = 0;
    LARGE_INTEGER start = {};
    if (!SetFilePointerEx(file, start, NULL, FILE_BEGIN))
        return FileNotOpened;
    while (length > 0) {
        DWORD want = length < sizeof FileBuffer ? (DWORD)length : (DWORD)sizeof FileBuffer;
        DWORD read = 0;
        if (!MailReadFile(file, FileBuffer, want, &read, NULL) || read == 0)
            return FileNotOpened;
        if (!AddEncodedBlock(channel, FileBuffer, read))
            return BadReply;
        length -= read;
    }
    return ChannelSend(channel, BodyBuffer, BodyLength) ? Sent : BadReply;
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

// EHLO with this machine's name, and its reply, whose keywords say what
// the server offers.
static int Hello(SmtpChannel *channel, SmtpReply *reply)
{
    int length = snprintf(MessageBuffer, sizeof MessageBuffer, "EHLO %s\r\n", Session.HeloName);
    return length > 0 && (size_t)length < sizeof MessageBuffer && ChannelSend(channel, MessageBuffer, length) &&
           ReadSmtpReply(channel, reply, MailReplyTimeoutMs) && strcmp(reply->Code, "250") == 0;
}

static int UsesOAuth(const SmtpSettings *settings)
{
    return settings->OAuth.SmtpAuthMethod == AuthOAuth2;
}

// From the greeting to a server that will take MAIL FROM: the plain
// greeting and EHLO, with STARTTLS and a second EHLO, or with TLS from the
// first byte; then AUTH when a user is set. The last EHLO's SIZE, if any,
// goes to sizeLimit.
static MailResult Greet(SmtpChannel *channel, const char *server, const SmtpSettings *settings,
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

// Closes the kept connection: after QUIT when `quit` (its answer awaited
// when `wait`), else at once, as after a reply that went wrong. Non-zero
// when QUIT was answered 221.
static int CloseSession(int quit, int wait)
{
    if (Session.Socket == INVALID_SOCKET)
        return 0;
    int answered = 0;
    if (quit && SendText(&Session.Channel, "QUIT\r\n"))
        answered = wait && ExpectSmtpReply(&Session.Channel, "221", MailReplyTimeoutMs);
    TlsEnd(&Tls);
    closesocket(Session.Socket);
    Session.Socket = INVALID_SOCKET;
    Session.Channel.Socket = INVALID_SOCKET;
    Session.Channel.Tls = NULL;
    return answered;
}

// Resolves the server afresh (a server that moved is found where it is
// now), obtains the token first (a mail that cannot sign in is not begun;
// OAuth names the mailbox in SmtpUser, and without it nothing is asked or
// sent), connects to its addresses in turn and greets it. Sent when the
// server will take MAIL FROM; the connection is then kept.
static MailResult OpenSession(const char *server, const SmtpSettings *settings)
{
    static HostAddresses addresses;
    if (strlen(server) >= sizeof Session.Server || !ResolveHost(server, SmtpPortOf(settings), &addresses))
        return ServerNotResolved;
    const char *token = NULL;
    if (UsesOAuth(settings) && (settings->SmtpUser[0] == '\0' || (token = ObtainAccessToken(settings, 0)) == NULL))
        return settings->SmtpUser[0] == '\0' ? AuthenticationRefused : AccessTokenNotObtained;
    SOCKET sock = ConnectToAddresses(&addresses, MailConnectTimeoutMs, MailReplyTimeoutMs);
    if (sock == INVALID_SOCKET)
        return ConnectFailed;
    Session.Socket = sock;
    Session.Channel.Socket = sock;
    Session.Channel.Tls = NULL;
    strcpy(Session.Server, server);
    Session.Settings = *settings;
    Session.SizeLimit = 0;
    if (!MachineHeloName(sock, Session.HeloName, sizeof Session.HeloName))
        strcpy(Session.HeloName, "localhost");
    MailResult greeted = Greet(&Session.Channel, server, settings, token, &Session.SizeLimit);
    if (greeted != Sent)
        CloseSession(0, 0);
    return greeted;
}

// The kept connection serves a mail to the same server with the same
// settings.
static int SessionFits(const char *server, const SmtpSettings *settings)
{
    return Session.Socket != INVALID_SOCKET && strcmp(Session.Server, server) == 0 &&
           memcmp(&Session.Settings, settings, sizeof *settings) == 0;
}

// What a mail is to carry, and what the server's EHLO said of its size.
struct MailChoice {
    DWORD Kind;                 // MailAttachmentKind
    const MailPart *Part;       // null: the whole log
    ULONGLONG FileSize;
    ULONGLONG SizeLimit;        // the server's SIZE; 0: none
};

// One message's attachment: the log as it is, or zipped, whole or one part.
// The zip's entry name is UTF-8; the zip's name as the log's (ANSI).
struct Attachment {
    int Zipped;
    ULONGLONG Offset, Length;                   // the bytes of the log it holds
    DWORD Part, Parts;                          // 0 of 0: the whole log
    char Entry[3 * MAIL_ATTACHMENT_NAME_SIZE];  // in the zip: the log's or the part's name
    char Name[MAIL_ATTACHMENT_NAME_SIZE];       // the zip's name
    int HeaderLength;                           // of its header in HeaderBuffer
};

// The entry's name, from the ANSI name in Entry, as UTF-8 in place.
static void EntryAsUtf8(Attachment *attachment)
{
    static char utf8[sizeof attachment->Entry];
    if (HasNonAscii(attachment->Entry) && AnsiToUtf8(attachment->Entry, utf8, sizeof utf8))
        strcpy(attachment->Entry, utf8);
}

static void ChooseWhole(Attachment *attachment, const char *fileName, ULONGLONG size, int zipped)
{
    memset(attachment, 0, sizeof *attachment);
    attachment->Zipped = zipped;
    attachment->Length = size;
    CopyMailField(attachment->Name, sizeof attachment->Name - 4, fileName);
    snprintf(attachment->Entry, sizeof attachment->Entry, "%s", attachment->Name);
    strcat(attachment->Name, ".zip");
    EntryAsUtf8(attachment);
}

static void ChoosePart(Attachment *attachment, const char *fileName, const MailPart *part)
{
    memset(attachment, 0, sizeof *attachment);
    attachment->Zipped = 1;
    attachment->Offset = part->Offset;
    attachment->Length = part->Length;
    attachment->Part = part->Index;
    attachment->Parts = part->Count;
    FormatPartName(attachment->Name, sizeof attachment->Name - 4, fileName, part->Index, part->Count);
    snprintf(attachment->Entry, sizeof attachment->Entry, "%s", attachment->Name);
    strcat(attachment->Name, ".zip");
    EntryAsUtf8(attachment);
}

// The attachment's header into HeaderBuffer; non-zero when it fitted.
static int FormatHeader(Attachment *attachment, const MailStamp *stamp, const char *from, const char *to,
                        const char *fileName)
{
    AttachmentLabel label = {attachment->Name, "application/zip", attachment->Part, attachment->Parts};
    attachment->HeaderLength = FormatMailHeader(HeaderBuffer, sizeof HeaderBuffer, stamp, from, to, fileName,
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
                                   const MailStamp *stamp, const char *from, const char *to, const char *fileName)
{
    if (choice->Part != NULL)
        ChoosePart(attachment, fileName, choice->Part);
    else
        ChooseWhole(attachment, fileName, choice->FileSize, choice->Kind == AttachZipAlways);
    if (!FormatHeader(attachment, stamp, from, to, fileName))
        return BadReply;
    ULONGLONG limit = choice->SizeLimit;
    if (limit == 0)
        return Sent;
    if (!attachment->Zipped) {
        if (MessageSize(attachment, attachment->Length, stamp->Tick) <= limit)
            return Sent;
        if (choice->Kind != AttachZipWhenTooLarge)
            return MessageTooLarge;
        ChooseWhole(attachment, fileName, choice->FileSize, 1);
        if (!FormatHeader(attachment, stamp, from, to, fileName))
            return BadReply;
    }
    // A zip never grows much beyond its bytes: one that fits even so is not
    // zipped twice.
    ULONGLONG bound = ZipDeflateBound(attachment->Length) +
                      ZipContainerSize(strlen(attachment->Entry), ZipIsLarge(attachment->Length));
    if (MessageSize(attachment, bound, stamp->Tick) <= limit)
        return Sent;
    if (!ZipFileRange(file, attachment->Offset, attachment->Length, attachment->Entry, NULL, NULL))
        return FileNotOpened;
    return MessageSize(attachment, ZipOutputSize(), stamp->Tick) <= limit ? Sent : MessageTooLarge;
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

// One transaction over the session: from MAIL FROM to the server's answer
// to the final ".", which is awaited as long as a server may take to scan
// what it received. Sent when the server took the message (the QUIT is the
// session's). *begun says whether MAIL FROM went out: before it, the
// session is as it was.
static MailResult SendMessageOver(HANDLE file, const MailChoice *choice, const MailStamp *stamp,
                                  const char *from, const char *to, const char *fileName, int *begun)
{
    SmtpChannel *channel = &Session.Channel;
    Attachment attachment;
    *begun = 0;
    MailResult chosen = ChooseAttachment(&attachment, choice, file, stamp, from, to, fileName);
    if (chosen != Sent)
        return chosen;
    *begun = 1;
    if (!StartData(channel, from, to) || !ChannelSend(channel, HeaderBuffer, attachment.HeaderLength))
        return BadReply;
    MailResult body = attachment.Zipped ? SendZipped(channel, file, &attachment)
                                        : SendAttachment(channel, file, attachment.Length);
    if (body != Sent)
        return body;
    int length = FormatMailTrailer(MessageBuffer, sizeof MessageBuffer, stamp->Tick);
    if (length == 0 || !ChannelSend(channel, MessageBuffer, length) ||
        !ExpectStepReply(channel, MailStepMessage, "250", MailDataReplyTimeoutMs))
        return BadReply;
    // Accepted: what follows is only the courtesy of QUIT.
    LastMailFailure.Step = MailStepQuit;
    return Sent;
}

// The parts of a log whose zip exceeds the server's limit, planned for the
// longest header and zip that any part can have (part 999 of 999).
static void PlanParts(MailPlan *plan, HANDLE file, const MailChoice *choice, const MailStamp *stamp,
                      const char *from, const char *to, const char *fileName)
{
    MailPart widest = {MAIL_MAX_PARTS, MAIL_MAX_PARTS, 0, choice->FileSize};
    Attachment attachment;
    ChoosePart(&attachment, fileName, &widest);
    if (!FormatHeader(&attachment, stamp, from, to, fileName))
        return;
    ULONGLONG fixed = MessageSize(&attachment, 0, stamp->Tick) + MAIL_HEADER_SLACK;
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

static void BeginResults()
{
    LastTlsFailure = TlsNoFailure;
    LastCertificateVerdict = CertificateAccepted;
    LastMailFailure.Step = MailStepSession;
    LastMailFailure.Code[0] = '\0';
}

// One message: the whole log (part null) or one part; plan, when not null,
// receives the parts of a whole log that is too large. The connection is
// kept for the next message, except after a failure that leaves it in an
// unknown state, and before the parts are planned.
static MailResult MailLog(const char *path, const char *server, const char *from, const char *to,
                          const SmtpSettings *settings, DWORD kind, const MailPart *part, MailPlan *plan)
{
    static const SmtpSettings Defaults = {};
    if (settings == NULL)
        settings = &Defaults;
    BeginResults();
    if (plan != NULL)
        plan->Count = 0;

    if (path == NULL)
        return FileNotOpened;
    // Shared for writing and deleting too: a finished log that another
    // program holds open (a sync agent, a backup, an editor) is still mailed,
    // as it was when its size was taken.
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
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

    if (server == NULL) {
        CloseHandle(file);
        return ServerNotResolved;
    }
    int kept = SessionFits(server, settings);
    if (!kept)
        CloseSession(1, 1);
    MailResult result;
    MailStamp stamp;
    int begun = 0;
    for (;;) {
        if (Session.Socket == INVALID_SOCKET && (result = OpenSession(server, settings)) != Sent)
            break;
        choice.SizeLimit = Session.SizeLimit;
        StampMail(&stamp, Session.HeloName);
        result = SendMessageOver(file, &choice, &stamp, fromField, toField, nameField, &begun);
        // A kept connection the server has closed meanwhile (servers drop
        // idle ones) answers nothing to MAIL FROM: the mail goes once more,
        // over a new connection.
        if (result == BadReply && kept && LastMailFailure.Step == MailStepSender && LastMailFailure.Code[0] == '\0') {
            CloseSession(0, 0);
            kept = 0;
            LastMailFailure.Step = MailStepSession;
            continue;
        }
        break;
    }
    if (result == MessageTooLarge && plan != NULL && part == NULL && choice.Kind != AttachLog) {
        // Planned with the connection closed: cutting a large log takes a while.
        CloseSession(1, 1);
        PlanParts(plan, file, &choice, &stamp, fromField, toField, nameField);
    } else if (result != Sent && (begun || (result != FileNotOpened && result != MessageTooLarge))) {
        CloseSession(0, 0);
    }
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

const char *SecureConnectionFailureText()
{
    static char text[512];
    text[0] = '\0';
    if (LastTlsFailure == TlsCertificateRefused && LastCertificateVerdict == CertificateIssuerMissing)
        snprintf(text, sizeof text, "the server's certificate was refused: %s",
                 CertificateVerdictText(LastCertificateVerdict));
    return text;
}

MailResult MailLogInSession(const char *path, const char *server, const char *from, const char *to,
                            const SmtpSettings *settings, DWORD attachment, const MailPart *part, MailPlan *plan)
{
    return MailLog(path, server, from, to, settings, part != NULL ? (DWORD)AttachZipAlways : attachment, part, plan);
}

int EndMailSession(int wait)
{
    return CloseSession(1, wait);
}

// A message in a connection of its own: Sent only when the server also
// answered QUIT with 221, as a mail has always counted.
static MailResult MailAlone(const char *path, const char *server, const char *from, const char *to,
                            const SmtpSettings *settings, DWORD kind, const MailPart *part, MailPlan *plan)
{
    MailResult result = MailLog(path, server, from, to, settings, kind, part, plan);
    int answered = CloseSession(1, 1);
    return result == Sent && !answered ? BadReply : result;
}

MailResult MailLogFile(const char *path, const char *server, const char *from, const char *to,
                       const SmtpSettings *settings, DWORD attachment, MailPlan *plan)
{
    return MailAlone(path, server, from, to, settings, attachment, NULL, plan);
}

MailResult MailLogPart(const char *path, const char *server, const char *from, const char *to,
                       const SmtpSettings *settings, const MailPart *part)
{
    if (part == NULL)
        return FileNotOpened;
    return MailAlone(path, server, from, to, settings, AttachZipAlways, part, NULL);
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
    if (server == NULL)
        return ServerNotResolved;
    char fromField[MAIL_ADDRESS_SIZE];
    char toField[MAIL_ADDRESS_SIZE];
    CopyMailField(fromField, sizeof fromField, from);
    CopyMailField(toField, sizeof toField, to);
    // A notice has a connection of its own, ended by QUIT like a single log.
    CloseSession(1, 1);
    MailResult result = OpenSession(server, settings);
    if (result == Sent) {
        MailStamp stamp;
        StampMail(&stamp, Session.HeloName);
        int length = FormatNoticeMessage(Notice, sizeof Notice - 3, &stamp, fromField, toField, subject, text);
        if (length != 0)
            memcpy(Notice + length, ".\r\n", 4);
        if (length == 0 || !StartData(&Session.Channel, fromField, toField) ||
            !ChannelSend(&Session.Channel, Notice, length + 3) ||
            !ExpectStepReply(&Session.Channel, MailStepMessage, "250", MailDataReplyTimeoutMs))
            result = BadReply;
        else
            LastMailFailure.Step = MailStepQuit;
    }
    int answered = CloseSession(result == Sent, 1);
    return result == Sent && !answered ? BadReply : result;
}
