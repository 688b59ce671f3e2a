#include "common/mail/MailMessage.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include "common/mail/MimeText.h"

#define MAIL_BOUNDARY "--=_KVTMsgPart123X456_001_"

static const char DayNames[] = "SunMonTueWedThuFriSat";
static const char MonthNames[] = "JanFebMarAprMayJunJulAugSepOctNovDec";

// The header up to the Subject's name, and from the Date to the text
// part's type; then its text, and the attachment's part.
static const char FromTo[] = "From: <%s>\r\nTo: <%s>\r\nSubject: Tallyline Log File";
static const char DateToText[] =
    "Date: %.3s, %d %.3s %.4d %.2d:%.2d:%.2d %c%02d%02d\r\n"
    "Message-ID: %s\r\n"
    "X-Mailer: Tallyline SMTP Mailer by Kestrin\r\n"
    "MIME-Version: 1.0\r\n"
    "Content-Type: multipart/mixed;\r\n"
    "\tboundary=\"" MAIL_BOUNDARY "%x\"\r\n"
    "\r\n"
    "This is a multipart message in MIME format.\r\n"
    "\r\n"
    "--" MAIL_BOUNDARY "%x\r\n"
    "Content-Type: text/plain;\r\n";
static const char PlainText[] =
    "\tcharset=\"iso-8859-1\"\r\n"
    "Content-Transfer-Encoding: 7bit\r\n"
    "\r\n"
    "Attached is the log file %s%s.\r\n";
static const char EncodedText[] =
    "\tcharset=\"utf-8\"\r\n"
    "Content-Transfer-Encoding: quoted-printable\r\n"
    "\r\n";
static const char AttachmentType[] =
    "--" MAIL_BOUNDARY "%x\r\n"
    "Content-Type: %s;\r\n";
static const char Disposition[] =
    "Content-Transfer-Encoding: base64\r\n"
    "Content-Disposition: attachment;\r\n";

void CopyMailField(char *field, size_t size, const char *text)
{
    size_t n = 0;
    if (text != NULL) {
        while (n + 1 < size && text[n] != '\0' && text[n] != '\r' && text[n] != '\n') {
            field[n] = text[n];
            n++;
        }
    }
    field[n] = '\0';
}

const char *MailFileName(const char *path)
{
    const char *slash = strrchr(path, '\\');
    return slash != NULL ? slash + 1 : path;
}

static int Formatted(int length, size_t size)
{
    return (length > 0 && (size_t)length < size) ? length : 0;
}

// Appends formatted text at *length; non-zero when it fitted.
static int AppendFormat(char *buffer, size_t size, size_t *length, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    int added = *length < size ? vsnprintf(buffer + *length, size - *length, format, args) : -1;
    va_end(args);
    if (added < 0 || *length + (size_t)added >= size)
        return 0;
    *length += (size_t)added;
    return 1;
}

// A parameter of the attachment: name="x" as it always was, or, for a name
// outside ASCII, its UTF-8 in RFC 2231's form.
static int AppendNameParameter(char *buffer, size_t size, size_t *length, const char *parameter, const char *name,
                               const char *utf8)
{
    if (!HasNonAscii(name))
        return AppendFormat(buffer, size, length, "\t%s=\"%s\"\r\n", parameter, name);
    return AppendExtendedParameter(buffer, size, length, parameter, utf8);
}

int FormatMailHeader(char *buffer, size_t size, const MailStamp *stamp, const char *from, const char *to,
                     const char *fileName, const AttachmentLabel *label)
{
    char fromField[MAIL_ADDRESS_SIZE];
    char toField[MAIL_ADDRESS_SIZE];
    char nameField[MAIL_FILE_NAME_SIZE];
    char attachmentField[MAIL_ATTACHMENT_NAME_SIZE];
    static char nameUtf8[3 * MAIL_FILE_NAME_SIZE];
    static char attachmentUtf8[3 * MAIL_ATTACHMENT_NAME_SIZE];
    static char sentence[3 * MAIL_FILE_NAME_SIZE + 64];
    char part[40] = "";
    CopyMailField(fromField, sizeof fromField, from);
    CopyMailField(toField, sizeof toField, to);
    CopyMailField(nameField, sizeof nameField, fileName);
    CopyMailField(attachmentField, sizeof attachmentField, label != NULL ? label->Name : nameField);
    if (label != NULL && label->Parts != 0)
        snprintf(part, sizeof part, " (part %lu of %lu)", (unsigned long)label->Part,
                 (unsigned long)label->Parts);
    const char *type = label != NULL ? label->ContentType : "application/octet-stream";
    int encoded = HasNonAscii(nameField);
    if ((encoded && !AnsiToUtf8(nameField, nameUtf8, sizeof nameUtf8)) ||
        (HasNonAscii(attachmentField) && !AnsiToUtf8(attachmentField, attachmentUtf8, sizeof attachmentUtf8)))
        return 0;
    // The names are read from fixed tables: keep a stray time inside them.
    const SYSTEMTIME *now = &stamp->Local;
    int day = now->wDayOfWeek <= 6 ? now->wDayOfWeek : 0;
    int month = (now->wMonth >= 1 && now->wMonth <= 12) ? now->wMonth : 1;
    int offset = stamp->OffsetMinutes < 0 ? -stamp->OffsetMinutes : stamp->OffsetMinutes;
    unsigned tick = (unsigned)stamp->Tick;
    size_t length = 0;
    int ok = AppendFormat(buffer, size, &length, FromTo, fromField, toField);
    if (encoded)
        ok = ok && AppendEncodedWords(buffer, size, &length, nameUtf8) &&
             AppendFormat(buffer, size, &length, part[0] != '\0' ? "\r\n%s\r\n" : "\r\n", part);
    else
        ok = ok && AppendFormat(buffer, size, &length, " %s%s\r\n", nameField, part);
    ok = ok && AppendFormat(buffer, size, &length, DateToText, DayNames + 3 * day, (int)now->wDay,
                            MonthNames + 3 * (month - 1), (int)now->wYear, (int)now->wHour, (int)now->wMinute,
                            (int)now->wSecond, stamp->OffsetMinutes < 0 ? '-' : '+', offset / 60 % 100,
                            offset % 60, stamp->MessageId, tick, tick);
    if (encoded) {
        snprintf(sentence, sizeof sentence, "Attached is the log file %s%s.", nameUtf8, part);
        ok = ok && AppendFormat(buffer, size, &length, "%s", EncodedText) &&
             AppendQuotedPrintable(buffer, size, &length, sentence);
    } else {
        ok = ok && AppendFormat(buffer, size, &length, PlainText, nameField, part);
    }
    ok = ok && AppendFormat(buffer, size, &length, AttachmentType, tick, type) &&
         AppendNameParameter(buffer, size, &length, "name", attachmentField, attachmentUtf8) &&
         AppendFormat(buffer, size, &length, "%s", Disposition) &&
         AppendNameParameter(buffer, size, &length, "filename", attachmentField, attachmentUtf8) &&
         AppendFormat(buffer, size, &length, "\r\n");
    return ok ? Formatted((int)length, size) : 0;
}

void FormatPartName(char *out, size_t size, const char *fileName, DWORD part, DWORD parts)
{
    const char *dot = strrchr(fileName, '.');
    if (dot == NULL || dot == fileName)
        dot = fileName + strlen(fileName);
    int digits = snprintf(NULL, 0, "%lu", (unsigned long)parts);
    snprintf(out, size, "%.*s-part%0*luof%lu%s", (int)(dot - fileName), fileName, digits,
             (unsigned long)part, (unsigned long)parts, dot);
}

// Every 57 bytes make one full line of 76 characters and CR LF.
ULONGLONG Base64LinesSize(ULONGLONG bytes)
{
    ULONGLONG characters = (bytes + 2) / 3 * 4;
    return characters + (characters + 75) / 76 * 2;
}

ULONGLONG LargestAttachment(ULONGLONG room)
{
    ULONGLONG rest = room % 78;
    // A last, shorter line: groups of four characters, and its CR LF.
    return room / 78 * 57 + (rest >= 6 ? (rest - 2) / 4 * 3 : 0);
}

int FormatMailTrailer(char *buffer, size_t size, DWORD tick)
{
    int length = snprintf(buffer, size, "--" MAIL_BOUNDARY "%x--\r\n\r\n.\r\n", (unsigned)tick);
    return Formatted(length, size);
}

int FormatNoticeMessage(char *buffer, size_t size, const MailStamp *stamp, const char *from, const char *to,
                        const char *subject, const char *text)
{
    char fromField[MAIL_ADDRESS_SIZE];
    char toField[MAIL_ADDRESS_SIZE];
    char subjectField[256];
    CopyMailField(fromField, sizeof fromField, from);
    CopyMailField(toField, sizeof toField, to);
    CopyMailField(subjectField, sizeof subjectField, subject);
    const SYSTEMTIME *now = &stamp->Local;
    int day = now->wDayOfWeek <= 6 ? now->wDayOfWeek : 0;
    int month = (now->wMonth >= 1 && now->wMonth <= 12) ? now->wMonth : 1;
    int offset = stamp->OffsetMinutes < 0 ? -stamp->OffsetMinutes : stamp->OffsetMinutes;
    int length = snprintf(buffer, size,
                          "From: <%s>\r\nTo: <%s>\r\nSubject: %s\r\n"
                          "Date: %.3s, %d %.3s %.4d %.2d:%.2d:%.2d %c%02d%02d\r\nMessage-ID: %s\r\n"
                          "X-Mailer: Tallyline SMTP Mailer by Kestrin\r\nMIME-Version: 1.0\r\n"
                          "Content-Type: text/plain; charset=\"us-ascii\"\r\nContent-Transfer-Encoding: 7bit\r\n\r\n",
                          fromField, toField, subjectField, DayNames + 3 * day, (int)now->wDay,
                          MonthNames + 3 * (month - 1), (int)now->wYear, (int)now->wHour, (int)now->wMinute,
                          (int)now->wSecond, stamp->OffsetMinutes < 0 ? '-' : '+', offset / 60 % 100, offset % 60,
                          stamp->MessageId);
    if (Formatted(length, size) == 0)
        return 0;
    size_t used = (size_t)length;
    int lineStart = 1;
    for (const char *p = text != NULL ? text : ""; ; p++) {
        // Room for a doubled dot, a character, and the CR LF of the end.
        if (used + 5 > size)
            return 0;
        if (*p == '\0' || *p == '\n') {
            buffer[used++] = '\r';
            buffer[used++] = '\n';
            lineStart = 1;
            if (*p == '\0')
                break;
            continue;
        }
        if (lineStart && *p == '.')
            buffer[used++] = '.';
        lineStart = 0;
        unsigned char c = (unsigned char)*p;
        buffer[used++] = (c >= 0x20 && c < 0x7F) || c == '\t' ? (char)c : '?';
    }
    buffer[used] = '\0';
    return (int)used;
}
