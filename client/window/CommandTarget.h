// Command routing of the configuration program's small window layer.
// A command (menu bar, shortcut or context menu) is offered to a chain of
// targets, the view first and the frame last. The first target that knows
// the command decides: its enabling rule is evaluated again right before the
// command runs, and a command that is disabled at that moment is dropped.
#pragma once

#include <windows.h>

struct CommandState {
    int Enabled;
    int Checked;
};

class CCommandTarget {
public:
    virtual ~CCommandTarget() {}
    // Non-zero when this target handles the command; then *state holds
    // whether it is enabled (and checked) now.
    virtual int QueryCommand(UINT id, CommandState *state) = 0;
    // Carries out a command this target handles. Called only while enabled.
    virtual void RunCommand(UINT id) = 0;
};

// Offers the command to each target of the chain in turn. Returns non-zero
// when a target ran it; 0 when nobody knows it or it is disabled.
int RouteCommandThrough(CCommandTarget *const *chain, int count, UINT id);

// Evaluates the command's state along the chain. A command nobody handles
// is disabled. Returns non-zero when some target handles it.
int QueryCommandThrough(CCommandTarget *const *chain, int count, UINT id, CommandState *state);
