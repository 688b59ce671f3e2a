// Text of the mail message: the header with its sixteen placeholders, the
// boundary lines, and the bounded fields that go into them.
#pragma once

#include <windows.h>
#include <stddef.h>

// Field sizes, terminating zero included: an address as the registry holds
// it, and a file name as a Windows path can hold it.
#define MAIL_ADDRESS_SIZE   64
#define MAIL_FILE_NAME_SIZE 260
// A part's name adds "-part999of999", a zip's ".zip".
#define MAIL_ATTACHMENT_NAME_SIZE (MAIL_FILE_NAME_SIZE + 20)
// Room for the header with every field at its longest: names outside ASCII
// grow up to nine times as they are encoded.
#define MAIL_HEADER_SIZE    12288
// "<" 14 digits, three 8-digit numbers, "@", a host name and ">".
#define MAIL_MESSAGE_ID_SIZE 320

// When a message is sent and what names it: its Date (the local time and
// how far it is ahead of UTC), its boundary number and its Message-ID.
struct MailStamp {
    SYSTEMTIME Local;
    int OffsetMinutes;
    DWORD Tick;
    char MessageId[MAIL_MESSAGE_ID_SIZE];
};

// Copies text into a field of the given size, cut at the first CR or LF (so
// an address cannot carry further SMTP commands or header lines) and at the
// field's size. A null text gives an empty field.
void CopyMailField(char *field, size_t size, const char *text);

// The part of the path after its last backslash, or the whole path.
const char *MailFileName(const char *path);

// What the header says of an attachment other than the log as it is: its
// name and type, and which part of the log it holds.
struct AttachmentLabel {
    const char *Name;           // the attachment's file name
    const char *ContentType;    // "application/zip"
    DWORD Part, Parts;          // 0 of 0: the whole log
};

// Formats the message header for the stamp: its 24 lines and the
// Message-ID after the Date. Without a label the attachment is the log
// itself. Names outside ASCII are encoded (MimeText.h): the Subject, the
// text part and the attachment's names, which then take more lines. Returns
// the header's length, 0 if it did not fit.
int FormatMailHeader(char *buffer, size_t size, const MailStamp *stamp, const char *from, const char *to,
                     const char *fileName, const AttachmentLabel *label = NULL);

// The name of part `part` of `parts` of a log: "-part<k>of<n>" before the
// name's extension, k with as many digits as n ("Quillbox1.log", 2 of 12:
// "Quillbox1-part02of12.log"), so that the parts sort in order and never
// share a name.
void FormatPartName(char *out, size_t size, const char *fileName, DWORD part, DWORD parts);

// Bytes of the base64 lines (76 characters and CR LF) that `bytes` bytes of
// attachment take, and the most bytes whose lines fit in `room`.
ULONGLONG Base64LinesSize(ULONGLONG bytes);
ULONGLONG LargestAttachment(ULONGLONG room);

// The closing delimiter line, the end of the DATA phase included.
int FormatMailTrailer(char *buffer, size_t size, DWORD tick);

// A short message of plain text (an alarm): the header with the subject
// (Date and Message-ID as the stamp says), then the text, one line for each
// of its "\n"-separated lines, each ended by CR LF, a line that begins with "." doubled as SMTP wants, and any character
// outside printable ASCII as "?". The subject is cut at a CR or LF like the
// addresses. Returns the length (the final "." not included), 0 when it did
// not fit.
#define MAIL_NOTICE_SIZE 4096
int FormatNoticeMessage(char *buffer, size_t size, const MailStamp *stamp, const char *from, const char *to,
                        const char *subject, const char *text);
