// The Windows Firewall's inbound rule of an instance that waits for a device
// (listen://, udp://): named after the instance ("Tallyline (N)"), for
// tallysvc.exe, the instance's service and its port and protocol. Made
// through the firewall's own interface (INetFwPolicy2), loaded at run time.
// Where the firewall cannot be reached (an edition without it, Wine) the
// first failure of a run leaves a notice for the window or the command line
// to show once, with the netsh line that does it by hand; nothing else
// changes.
#pragma once

#include <windows.h>

// The rule's name for instance N.
void FormatFirewallRuleName(int n, char *out, size_t size);

// After instance N's Source changed from `before` (as stored until now) to
// `after`: the rule is made (or made again) while the instance listens and
// removed when it listened and no longer does; an instance that never
// listened is left alone. Non-zero when done, or nothing was to do.
int UpdateFirewallRule(int n, const char *before, const char *after);

// Instance N is deleted: its rule goes, when its Source listened.
int RemoveFirewallRule(int n, const char *source);

// The notice of a firewall that could not be reached: its text once per run,
// after the first such failure; NULL otherwise.
const char *TakeFirewallNotice();
