// Delivery of the alarm's pop-up to one recipient.
#pragma once

#include <windows.h>
#include <stddef.h>

// The pop-up text and its UTF-16 form: 127 characters and the terminator.
#define ALARM_TEXT_SIZE     128
// One recipient in UTF-16: a name has at most 31 characters. A longer name is
// cut to its first 31 characters; messenger names and Windows user names
// are all shorter, so no name that could be delivered is changed.
#define RECIPIENT_NAME_SIZE 32

// Title of the pop-up where it is delivered to a user's session.
#define POPUP_TITLE "Tallyline"

// Widens each byte of `text` to one UTF-16 unit of the same value, terminator
// included, into `units` units; a longer text is cut and always terminated.
// Units after the terminator are zero, so a buffer passed whole carries no
// stale memory.
void WidenText(const char *text, WCHAR *wide, size_t units);

// Sends `text` to `recipient` through the messenger (NetMessageBufferSend,
// resolved at run time). Where the messenger is missing or fails - on current
// Windows it always does, the messenger service is gone - the text goes to
// every active session whose user name equals the recipient, ignoring case,
// with WTSSendMessageA (no wait). Failures are silent.
void SendMessengerPopup(const char *recipient, const char *text);

// Whether the process runs under Wine (ntdll exports wine_get_version).
int RunningUnderWine();

// Whether a loaded module is one of Wine's own builtin DLLs (as opposed to a
// native DLL loaded through an override): their header carries Wine's mark.
int IsWineBuiltinModule(HMODULE module);
