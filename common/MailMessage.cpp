#include "MailMessage.h"

#include <stdio.h>
#include <string.h>

#define MAIL_BOUNDARY "--=_KVTMsgPart123X456_001_"

static const char DayNames[] = "SunMonTueWedThuFriSat";
static const char MonthNames[] = "JanFebMarAprMayJunJulAugSepOctNovDec";

static const char HeaderFormat[] =
    "From: <%s>\r\n"
    "To: <%s>\r\n"
    "Subject: Tallyline Log File %s\r\n"
    "Date: %.3s, %d %.3s %.4d %.2d:%.2d:%.2d\r\n"
    "X-Mailer: Tallyline SMTP Mailer by Kestrin\r\n"
    "MIME-Version: 1.0\r\n"
    "Content-Type: multipart/mixed;\r\n"
    "\tboundary=\"" MAIL_BOUNDARY "%x\"\r\n"
    "\r\n"
    "This is a multipart message in MIME format.\r\n"
    "\r\n"
    "--" MAIL_BOUNDARY "%x\r\n"
    "Content-Type: text/plain;\r\n"
    "\tcharset=\"iso-8859-1\"\r\n"
    "Content-Transfer-Encoding: 7bit\r\n"
    "\r\n"
    "Attached is the log file %s.\r\n"
    "--" MAIL_BOUNDARY "%x\r\n"
    "Content-Type: application/octet-stream;\r\n"
    "\tname=\"%s\"\r\n"
    "Content-Transfer-Encoding: base64\r\n"
    "Content-Disposition: attachment;\r\n"
    "\tfilename=\"%s\"\r\n"
    "\r\n";

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

int FormatMailHeader(char *buffer, size_t size, const SYSTEMTIME *now, DWORD tick,
                     const char *from, const char *to, const char *fileName)
{
    char fromField[MAIL_ADDRESS_SIZE];
    char toField[MAIL_ADDRESS_SIZE];
    char nameField[MAIL_FILE_NAME_SIZE];
    CopyMailField(fromField, sizeof fromField, from);
    CopyMailField(toField, sizeof toField, to);
    CopyMailField(nameField, sizeof nameField, fileName);
    // The names are read from fixed tables: keep a stray time inside them.
    int day = now->wDayOfWeek <= 6 ? now->wDayOfWeek : 0;
    int month = (now->wMonth >= 1 && now->wMonth <= 12) ? now->wMonth : 1;
    int length = snprintf(buffer, size, HeaderFormat, fromField, toField, nameField,
                          DayNames + 3 * day, (int)now->wDay, MonthNames + 3 * (month - 1),
                          (int)now->wYear, (int)now->wHour, (int)now->wMinute,
                          (int)now->wSecond, (unsigned)tick, (unsigned)tick, nameField,
                          (unsigned)tick, nameField, nameField);
    return Formatted(length, size);
}

int FormatMailTrailer(char *buffer, size_t size, DWORD tick)
{
    int length = snprintf(buffer, size, "--" MAIL_BOUNDARY "%x--\r\n\r\n.\r\n", (unsigned)tick);
    return Formatted(length, size);
}
