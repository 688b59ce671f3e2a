// Where and when a message comes from, as RFC 5321 and RFC 5322 ask: the
// name the client gives in EHLO (the machine's fully qualified DNS name, or
// when it has none its address on the connection as a literal, where a
// fixed name is refused by servers that check it), the message's
// Message-ID, and the local time with its offset from UTC for the Date.
#pragma once

#include <winsock2.h>
#include <windows.h>
#include <stddef.h>

#include "common/mail/MailMessage.h"

// A DNS name at its longest, or an IPv6 literal.
#define MAIL_HELO_NAME_SIZE 256

// The EHLO name: dnsName when it is a fully qualified host name (labels of
// letters, digits and hyphens, at least two of them), else the address
// literal. Non-zero when one of them fitted.
int ChooseHeloName(const char *dnsName, const char *addressLiteral, char *name, size_t size);

// The EHLO name of this machine on a connected socket.
int MachineHeloName(SOCKET sock, char *name, size_t size);

// Stamps a message about to be sent: the local time, its offset, the tick
// count (the boundary number) and a Message-ID unique to it, whose right
// side is the EHLO name.
void StampMail(MailStamp *stamp, const char *heloName);
