// Delivery of the alarm's pop-up to one recipient.
#pragma once

#include <windows.h>

// Title of the pop-up where it is delivered to a user's session.
#define POPUP_TITLE "Tallyline"

// Sends `text` to `recipient` through the messenger (NetMessageBufferSend,
// resolved at run time). Where the messenger is missing or fails - on current
// Windows it always does, the messenger service is gone - the text goes to
// every active session whose user name equals the recipient, ignoring case,
// with WTSSendMessageA (no wait). Failures are silent.
void SendMessengerPopup(const char *recipient, const char *text);

// Starts the alarm command as a process of its own, not waited for and
// without keeping a handle of it. Returns its process id, 0 on failure.
DWORD StartAlarmCommand(const char *commandLine);

// Whether the process runs under Wine (ntdll exports wine_get_version).
int RunningUnderWine();

// Whether a loaded module is one of Wine's own builtin DLLs (as opposed to a
// native DLL loaded through an override): their header carries Wine's mark.
int IsWineBuiltinModule(HMODULE module);
